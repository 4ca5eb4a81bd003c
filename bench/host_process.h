#pragma once
// A host process for the benchmarks that measure what a client of the socket
// sees (on the simulated Mac unless told otherwise): spawned from the build's
// own binary, stopped with the signal a user's session would send. Used on
// the benchmark's thread; memory() may be read from any thread.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/transport/host_client.h"

extern char** environ;

namespace lumivane {

class HostProcess {
public:
    // Starts `binFolder`/lumivane-host with `platform` (its platform and
    // that platform's options), its socket, home and data folders under
    // `work` and `environment` ("NAME=value") added to its own, and waits
    // until the socket answers.
    HostProcess(const std::string& binFolder, const std::string& work,
                std::vector<std::string> platform = {"--platform", "sim"}, std::vector<std::string> environment = {})
        : socket_(work + "/host.sock"), home_(work + "/home") {
        std::string binary = binFolder + "/lumivane-host";
        std::filesystem::create_directories(home_);
        std::vector<std::string> words{binary, "--socket", socket_, "--home", home_};
        words.insert(words.end(), platform.begin(), platform.end());
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        // A host on this machine's own services keeps its files under `work` too.
        std::vector<std::string> variables{"XDG_DATA_HOME=" + work + "/data", "XDG_CONFIG_HOME=" + work + "/config"};
        variables.insert(variables.end(), environment.begin(), environment.end());
        for (char** variable = environ; *variable; ++variable)
            if (!std::string_view(*variable).starts_with("XDG_DATA_HOME=") &&
                !std::string_view(*variable).starts_with("XDG_CONFIG_HOME="))
                variables.emplace_back(*variable);
        std::vector<char*> envp;
        for (auto& variable : variables) envp.push_back(variable.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
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
    // The CPU time the host has used so far, user and system, in seconds.
    double cpuSeconds() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        auto fields = text.rfind(')');  // the command's name may hold spaces
        if (fields == std::string::npos) return 0;
        std::istringstream rest(text.substr(fields + 2));
        std::string skip;
        for (int i = 3; i < 14; ++i) rest >> skip;  // state .. cmajflt
        double user = 0, system = 0;
        rest >> user >> system;
        return (user + system) / double(::sysconf(_SC_CLK_TCK));
    }
    // Lowers the host's peak to its resident size now.
    void resetPeak() const { std::ofstream("/proc/" + std::to_string(pid_) + "/clear_refs") << "5"; }

private:
    std::string socket_, home_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace lumivane
