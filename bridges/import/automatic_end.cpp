#include "bridges/import/automatic_end.h"

namespace lumivane {

namespace {

std::string photos(std::int64_t count) { return std::to_string(count) + (count == 1 ? " photo" : " photos"); }

}  // namespace

std::string AutomaticEnd::line() const {
    std::string line;
    switch (state) {
        case JobState::done: line = "Imported " + photos(counts.imported) + " from " + device; break;
        case JobState::cancelled:
            line = "The import from " + device + " was cancelled after " + photos(counts.imported);
            break;
        case JobState::running:  // not an end; said as an interruption would be
        case JobState::interrupted:
            line = "The import from " + device + " stopped after " + photos(counts.imported) +
                   (reason.empty() ? "" : ": " + reason);
            break;
        case JobState::failed:
            line = "The import from " + device + " failed" + (reason.empty() ? "" : ": " + reason);
            break;
    }
    if (counts.skipped > 0) line += " · " + std::to_string(counts.skipped) + " skipped";
    if (counts.failed > 0) line += " · " + std::to_string(counts.failed) + " failed";
    if (ejected) {
        std::string what = kind == "camera" ? "camera" : "card";
        line += ejected->ok() ? " · " + what + " ejected" : " · " + what + " not ejected: " + ejected->error().message;
    }
    return line;
}

}  // namespace lumivane
