#pragma once
// A host process on the simulated Mac for the benchmarks that measure what a
// client of the socket sees: spawned from the build's own binary, stopped
// with the signal a user's session would send. Used on the benchmark's
// thread; memory() may be read from any thread.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/transport/host_client.h"

extern char** environ;

namespace lumivane {

class HostProcess {
public:
    // Starts `binFolder`/lumivane-host on the simulated Mac with its socket
    // and home under `work`, and waits until the socket answers.
    HostProcess(const std::string& binFolder, const std::string& work)
        : socket_(work + "/host.sock"), home_(work + "/home") {
        std::string binary = binFolder + "/lumivane-host";
        std::filesystem::create_directories(home_);
        std::vector<std::string> words{binary, "--platform", "sim", "--socket", socket_, "--home", home_};
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        HostClient probe;
        ready_ = pid_ > 0 && probe.connect(socket_, std::chrono::seconds(10));
    }
    ~HostProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    bool ready() const { return ready_; }
    const std::string& socket() const { return socket_; }
    const std::string& home() const { return home_; }

    // The host's resident memory now ("VmRSS:") or at its peak ("VmHWM:"), in MiB.
    double memory(const char* field) const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) / 1024.0;
        return 0;
    }
    // Lowers the host's peak to its resident size now.
    void resetPeak() const { std::ofstream("/proc/" + std::to_string(pid_) + "/clear_refs") << "5"; }

private:
    std::string socket_, home_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace lumivane
