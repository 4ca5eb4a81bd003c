#pragma once
#include <string>
#include <vector>

#include "runtime/result.h"

namespace lumivane {

// Runs a system tool: launches `executable` with `arguments`, reads its
// standard output to the end, then waits for it to exit. Standard input and
// standard error are /dev/null, so a tool that writes a flood of complaints
// can never block on a pipe nobody reads. The exit status is not looked at.
// The same on every platform. Blocks the calling thread; any thread.
class ProcessRunner {
public:
    // The output, at most kMaxOutput bytes of it (the rest is read and
    // dropped); the failure is the reason the tool could not be launched.
    static Result<std::string> run(const std::string& executable, const std::vector<std::string>& arguments);

    static constexpr std::size_t kMaxOutput = std::size_t{16} << 20;
};

// This machine's lsof (Debian keeps it in /usr/bin, the Mac in /usr/sbin).
std::string installedLsof();

}  // namespace lumivane
