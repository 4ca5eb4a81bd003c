#include "runtime/utf8.h"

#include <cstdint>

namespace lumivane {

namespace {

// Where each raw byte that is not UTF-8 goes on the wire: U+F780 + (b - 0x80),
// three bytes EF 9E/9F xx in UTF-8.
constexpr std::uint32_t kByteBase = 0xF780;

// The length of the well-formed UTF-8 sequence at `p`, 0 when there is none.
int sequenceLength(const std::uint8_t* p, const std::uint8_t* end) {
    std::uint8_t lead = *p;
    if (lead < 0x80) return 1;
    int length;
    std::uint32_t min, code;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (end - p < length) return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    auto* end = p + text.size();
    while (p < end) {
        int length = sequenceLength(p, end);
        if (length == 0) return false;
        p += length;
    }
    return true;
}

std::string wireText(std::string_view raw) {
    if (isValidUtf8(raw)) return std::string(raw);
    std::string text;
    text.reserve(raw.size() + raw.size() / 2);
    auto* p = reinterpret_cast<const std::uint8_t*>(raw.data());
    auto* end = p + raw.size();
    while (p < end) {
        int length = sequenceLength(p, end);
        if (length > 0) {
            text.append(reinterpret_cast<const char*>(p), std::size_t(length));
            p += length;
            continue;
        }
        std::uint32_t code = kByteBase + (*p++ - 0x80);  // a stray byte is always 0x80 or above
        text += char(0xE0 | (code >> 12));
        text += char(0x80 | ((code >> 6) & 0x3F));
        text += char(0x80 | (code & 0x3F));
    }
    return text;
}

std::string rawText(std::string_view text) {
    std::string raw;
    raw.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto b0 = std::uint8_t(text[i]);
        if (b0 == 0xEF && i + 2 < text.size()) {
            auto b1 = std::uint8_t(text[i + 1]), b2 = std::uint8_t(text[i + 2]);
            std::uint32_t code = ((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
            if ((b1 & 0xC0) == 0x80 && (b2 & 0xC0) == 0x80 && code >= kByteBase && code <= kByteBase + 0x7F) {
                raw += char(0x80 + (code - kByteBase));
                i += 3;
                continue;
            }
        }
        raw += text[i++];
    }
    return raw;
}

}  // namespace lumivane
