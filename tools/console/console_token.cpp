#include "tools/console/console_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "runtime/file_writer.h"

namespace lumivane {

namespace {

constexpr std::size_t kTokenLength = 64;

bool isToken(const std::string& text) {
    return text.size() == kTokenLength && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The token in `path` when it is a private regular file of this user (no
// link followed, nothing that could block opened).
std::string readPrivate(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat info {};
    std::string text(kTokenLength + 1, '\0');
    bool usable =
        ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
    auto got = usable ? ::read(fd, text.data(), text.size()) : -1;
    ::close(fd);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return isToken(text) ? text : std::string();
}

}  // namespace

std::string newToken() {
    std::random_device random;
    std::string token;
    for (int i = 0; i < 8; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", random());
        token += part;
    }
    return token;
}

std::string userConfigFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return config;
    const char* home = std::getenv("HOME");
    return home && home[0] == '/' ? std::string(home) + "/.config" : std::string();
}

std::string keptToken(const std::string& configFolder, int port) {
    if (configFolder.empty()) return newToken();
    auto folder = configFolder + "/lumivane";
    std::error_code error;
    if (std::filesystem::create_directories(folder, error)) ::chmod(folder.c_str(), 0700);
    auto path = folder + "/console-" + std::to_string(port) + ".token";
    if (auto kept = readPrivate(path); !kept.empty()) return kept;
    auto token = newToken();
    (void)writeFileAtomically(path, token + "\n", 0600);  // unkept, it still serves this run
    return token;
}

}  // namespace lumivane
