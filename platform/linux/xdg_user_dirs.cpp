#include "platform/linux/xdg_user_dirs.h"

#include <sstream>

namespace lumivane {

namespace {

// The English folder names xdg-user-dirs falls back to.
std::string defaultName(const std::string& kind) {
    if (kind == "PICTURES") return "Pictures";
    if (kind == "DOWNLOAD") return "Downloads";
    if (kind == "VIDEOS") return "Videos";
    if (kind == "DOCUMENTS") return "Documents";
    if (kind == "DESKTOP") return "Desktop";
    if (kind == "MUSIC") return "Music";
    return "";
}

}  // namespace

std::optional<std::string> xdgUserDir(const std::string& userDirs, const std::string& kind, const std::string& home) {
    const std::string key = "XDG_" + kind + "_DIR=";
    std::optional<std::string> value;
    std::istringstream lines(userDirs);
    for (std::string line; std::getline(lines, line);) {
        auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
        value = line.substr(start + key.size());  // the last entry wins, as the shell reads it
    }
    if (!value) {
        auto name = defaultName(kind);
        return name.empty() ? std::nullopt : std::optional<std::string>(home + "/" + name);
    }
    auto& text = *value;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.pop_back();
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::nullopt;
    text = text.substr(1, text.size() - 2);
    // Only the forms xdg-user-dirs writes: no other expansion, no escapes.
    if (text.find_first_of("\\`") != std::string::npos) return std::nullopt;
    std::string path;
    if (text.rfind("$HOME", 0) == 0) {
        auto rest = text.substr(5);
        if (rest.empty() || rest == "/") return std::nullopt;  // "$HOME": the folder is off
        if (rest.front() != '/') return std::nullopt;
        path = home + rest;
    } else if (!text.empty() && text.front() == '/') {
        path = text;
    } else {
        return std::nullopt;
    }
    if (path.find('$') != std::string::npos) return std::nullopt;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace lumivane
