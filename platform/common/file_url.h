#pragma once
#include <cstdio>
#include <string>
#include <string_view>

namespace lumivane {

// The "file://" URL of an absolute path, its bytes percent-encoded except
// the unreserved characters and "/". Any thread.
inline std::string fileURL(const std::string& path) {
    std::string url = "file://";
    for (unsigned char c : path) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            url += char(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            url += escaped;
        }
    }
    return url;
}

// The path of a "file://" URL, percent-escapes decoded; empty when it is not
// one. Any thread.
inline std::string filePath(const std::string& url) {
    constexpr std::string_view kScheme = "file://";
    if (url.compare(0, kScheme.size(), kScheme) != 0) return {};
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
    };
    std::string path;
    for (std::size_t i = kScheme.size(); i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size() && hex(url[i + 1]) >= 0 && hex(url[i + 2]) >= 0) {
            path += char(hex(url[i + 1]) * 16 + hex(url[i + 2]));
            i += 2;
        } else {
            path += url[i];
        }
    }
    return path;
}

}  // namespace lumivane
