#pragma once
#include <string>
#include <vector>

#include "bridges/import/import_history.h"
#include "runtime/result.h"

namespace lumivane {

// A job's plain-text log, written beside its copies when asked: who it read
// from, how it ended, and one line per item, what became of it and why.
// Names come from the device, so every control character in them is shown
// as a space: a name cannot start a line of its own.
//
// Any thread.
struct ImportLog {
    ImportHistory::Job job;
    JobState state = JobState::done;
    std::string reason;
    std::string destination;
    std::vector<ImportHistory::Item> items;  // in the job's order
    ImportHistory::Counts counts;

    std::string text() const;
    // Written into `destination` under a free name made from the job's start
    // ("Import log 2026-12-10 06.03.12.txt", or "… 1.txt"), whole or not at
    // all; the path it took.
    Result<std::string> write() const;
};

}  // namespace lumivane
