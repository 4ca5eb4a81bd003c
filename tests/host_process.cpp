#include "tests/host_process.h"

#include "runtime/testing/build_paths.h"

#include <spawn.h>
#include <sys/wait.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace lumivane {

HostProcess::HostProcess(std::vector<std::string> extraArguments, const std::string& platform) {
    char pattern[] = "/tmp/lumivane-e2e-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    socket_ = folder_ + "/host.sock";
    std::string binary = buildPath("bin/lumivane-host");
    std::vector<std::string> words{binary, "--platform", platform, "--socket", socket_};
    words.insert(words.end(), extraArguments.begin(), extraArguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, binary.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + binary);
}

HostProcess::~HostProcess() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool HostProcess::running() {
    if (pid_ < 0) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
}

int HostProcess::waitForExit(std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (pid_ >= 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

int HostProcess::stop() {
    if (pid_ < 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace lumivane
