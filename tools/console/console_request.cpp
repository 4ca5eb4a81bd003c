#include "tools/console/console_request.h"

#include <filesystem>

namespace lumivane {

namespace fs = std::filesystem;

std::string jsonText(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string cookieToken(const std::string& cookies, const std::string& name) {
    std::string key = name + "=";
    for (std::size_t at = 0; at < cookies.size();) {
        while (at < cookies.size() && (cookies[at] == ' ' || cookies[at] == ';')) ++at;
        auto end = cookies.find(';', at);
        auto part = cookies.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (part.rfind(key, 0) == 0) return part.substr(key.size());
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return "";
}

bool sameToken(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool under(const std::string& path, const std::string& folder, bool orItself) {
    if (path.empty() || path.front() != '/' || folder.empty() || folder.front() != '/') return false;
    if (path.find('\0') != std::string::npos) return false;
    std::error_code error;
    auto resolved = fs::weakly_canonical(fs::path(path).lexically_normal(), error);
    if (error) return false;
    // Compared by whole components: "/x/dest-other" is not inside "/x/dest".
    auto relative = resolved.lexically_normal().lexically_relative(fs::path(folder).lexically_normal());
    if (relative.empty() || *relative.begin() == "..") return false;
    return orItself || relative != ".";
}

Json parseRequest(const std::string& text) {
    int depth = 0;
    bool quoted = false, escaped = false;
    for (char c : text) {
        if (quoted) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '[' || c == '{') {
            if (++depth > 32) return Json(Json::value_t::discarded);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return Json::parse(text, nullptr, false);
}

std::string typedFolder(const std::string& typed, const std::string& home) {
    if (typed.empty() || typed.find('\0') != std::string::npos) return "";
    if (typed.front() == '/') return typed;
    if (home.empty() || home.front() != '/') return "";
    if (typed == "~") return home;
    if (typed.rfind("~/", 0) == 0) return home + typed.substr(1);
    if (typed.front() == '~') return "";  // another user's home is not this console's to name
    return home + "/" + typed;
}

std::string canonicalFolder(const std::string& path) {
    std::error_code error;
    auto canonical = std::filesystem::weakly_canonical(std::filesystem::path(path).lexically_normal(), error)
                         .lexically_normal()
                         .string();
    while (canonical.size() > 1 && canonical.back() == '/') canonical.pop_back();
    return canonical;
}

}  // namespace lumivane
