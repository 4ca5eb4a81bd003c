#include "platform/common/process_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace lumivane {

Result<std::string> ProcessRunner::run(const std::string& executable, const std::vector<std::string>& arguments) {
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return failure(Error::system());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    std::vector<std::string> argv{executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (auto& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    pid_t pid = 0;
    int launched = posix_spawn(&pid, executable.c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (launched != 0) {
        ::close(output[0]);
        return failure(Error::system(launched));
    }

    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(output[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, std::min<std::size_t>(std::size_t(got), kMaxOutput - std::min(kMaxOutput, text.size())));
    }
    ::close(output[0]);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return text;
}

std::string installedLsof() {
    for (const char* path : {"/usr/bin/lsof", "/usr/sbin/lsof"})
        if (::access(path, X_OK) == 0) return path;
    return "/usr/bin/lsof";
}

}  // namespace lumivane
