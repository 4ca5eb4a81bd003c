#pragma once
#include <optional>
#include <string>
#include <vector>

namespace lumivane {

// What a finished tool said.
struct ToolOutcome {
    int exitCode = -1;   // -1: it could not be started or did not exit normally
    std::string output;  // standard output, to its end (at most 1 MiB kept)
    std::string errors;  // standard error, likewise
};

// Runs `argv[0]` (an absolute path) with the arguments and waits for it,
// reading both of its outputs to their ends so it never blocks on a full
// pipe. Standard input is /dev/null. Blocks the calling thread; any thread.
ToolOutcome runTool(const std::vector<std::string>& argv);

}  // namespace lumivane
