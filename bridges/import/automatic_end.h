#pragma once
#include <optional>
#include <string>

#include "bridges/import/import_history.h"
#include "bridges/import/import_state.h"
#include "runtime/result.h"

namespace lumivane {

// How a job that started by itself ended, for the person who did not start
// it: what it imported from which device, and whether the device was let go.
struct AutomaticEnd {
    JobState state = JobState::done;
    std::string device;  // its name ("EOS_DIGITAL")
    std::string kind;    // "volume", "camera" or "iphone"
    std::string reason;  // why it stopped, when it did not finish
    ImportHistory::Counts counts;
    std::optional<Result<void>> ejected;  // none: no eject was asked

    // One line, as "Imported 212 photos from EOS_DIGITAL · 3 skipped · card
    // ejected". Any thread.
    std::string line() const;
};

}  // namespace lumivane
