#pragma once
#include <cstdio>
#include <string>

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

}  // namespace lumivane
