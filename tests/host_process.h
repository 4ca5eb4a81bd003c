#pragma once
#include <sys/types.h>
#include <chrono>
#include <string>
#include <vector>

namespace lumivane {

// Runs lumivane-host in a child process on a fresh socket in a temporary
// folder, for end-to-end tests. The destructor stops it (SIGTERM, then waits).
// Used from the test's thread only.
class HostProcess {
public:
    // On the simulated Mac unless `platform` names another ("linux").
    explicit HostProcess(std::vector<std::string> extraArguments = {}, const std::string& platform = "sim");
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    const std::string& socketPath() const { return socket_; }
    const std::string& folder() const { return folder_; }
    bool running();
    pid_t pid() const { return pid_; }
    // Stops the host; answers its exit status.
    int stop();
    // Waits up to `limit` for the host to end by itself; its exit status, or
    // -1 while it still runs.
    int waitForExit(std::chrono::seconds limit);

private:
    std::string folder_;
    std::string socket_;
    pid_t pid_ = -1;
};

}  // namespace lumivane
