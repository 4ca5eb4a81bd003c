#include "runtime/file_name.h"

namespace lumivane {

bool isPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::string fileNameComponent(std::string_view identifier) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string name;
    name.reserve(identifier.size());
    for (unsigned char c : identifier) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (plain) {
            name += static_cast<char>(c);
        } else {
            name += '%';
            name += kHex[c >> 4];
            name += kHex[c & 0xF];
        }
    }
    return name.empty() ? "%" : name;  // an empty identifier still names one file of its own
}

}  // namespace lumivane
