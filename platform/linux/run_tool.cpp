#include "platform/linux/run_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>

extern char** environ;

namespace lumivane {

namespace {
constexpr std::size_t kMaxKept = 1 << 20;
}

ToolOutcome runTool(const std::vector<std::string>& argv) {
    ToolOutcome outcome;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return outcome;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return outcome;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    bool started = !argv.empty() && posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (started) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        std::string* sinks[2] = {&outcome.output, &outcome.errors};
        int open = 2;
        char buffer[8192];
        while (open > 0 && poll(fds, 2, -1) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !fds[i].revents) continue;
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                if (n > 0) {
                    if (sinks[i]->size() < kMaxKept) sinks[i]->append(buffer, std::size_t(n));
                } else {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    }
    close(out[0]);
    close(err[0]);
    return outcome;
}

}  // namespace lumivane
