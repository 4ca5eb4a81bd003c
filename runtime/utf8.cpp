#include "runtime/utf8.h"

#include <cstdint>

namespace lumivane {

bool isValidUtf8(std::string_view text) {
    auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    auto* end = p + text.size();
    while (p < end) {
        std::uint8_t lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        int length;
        std::uint32_t min, code;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, min = 0x80, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, min = 0x800, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, min = 0x10000, code = lead & 0x07;
        } else {
            return false;
        }
        if (end - p < length) return false;
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        p += length;
    }
    return true;
}

}  // namespace lumivane
