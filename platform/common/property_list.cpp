#include "platform/common/property_list.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/utf8.h"

namespace lumivane::plist {

namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
// A binary list may share objects, which the parser copies out: a walk that
// has to expand more references than this is an expansion attack, not a
// property list anyone sends. It also bounds the walk's own pending stack.
constexpr std::size_t kMaxExpansion = 1'000'000;

std::uint64_t readBigEndian(const unsigned char* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

// Nesting depth of a binary property list: walks the object graph from the
// top object, refusing cycles, depth past kMaxDepth and broken offsets.
std::optional<int> binaryDepth(std::string_view bytes) {
    auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t size = bytes.size();
    if (size < kBinaryMagic.size() + 32) return std::nullopt;
    const unsigned char* trailer = data + size - 32;
    std::size_t offsetSize = trailer[6], refSize = trailer[7];
    std::uint64_t count = readBigEndian(trailer + 8, 8);
    std::uint64_t top = readBigEndian(trailer + 16, 8);
    std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return std::nullopt;
    if (count == 0 || top >= count || tableOffset >= size - 32) return std::nullopt;
    if (count > (size - 32 - tableOffset) / offsetSize) return std::nullopt;

    auto objectAt = [&](std::uint64_t index) -> std::optional<std::size_t> {
        std::uint64_t offset = readBigEndian(data + tableOffset + index * offsetSize, offsetSize);
        if (offset < kBinaryMagic.size() || offset >= tableOffset) return std::nullopt;
        return static_cast<std::size_t>(offset);
    };

    // The length of the object at `at` (its marker's low nibble, or an
    // integer object after it) and where its contents start.
    auto lengthOf = [&](std::size_t at) -> std::optional<std::pair<std::uint64_t, std::size_t>> {
        std::uint64_t n = data[at] & 0x0F;
        std::size_t contents = at + 1;
        if (n != 0x0F) return std::pair{n, contents};
        if (contents >= tableOffset) return std::nullopt;
        unsigned char intMarker = data[contents];
        if ((intMarker >> 4) != 0x1) return std::nullopt;
        std::size_t width = std::size_t{1} << (intMarker & 0x0F);
        if (width > 8 || contents + 1 + width > tableOffset) return std::nullopt;
        return std::pair{readBigEndian(data + contents + 1, width), contents + 1 + width};
    };

    struct Item {
        std::uint64_t object;
        int depth;
    };
    std::vector<Item> stack{{top, 1}};
    int deepest = 0;
    std::size_t work = 1;
    while (!stack.empty()) {
        Item item = stack.back();
        stack.pop_back();
        if (item.depth > kMaxDepth) return std::nullopt;
        deepest = std::max(deepest, item.depth);
        auto at = objectAt(item.object);
        if (!at) return std::nullopt;
        unsigned type = data[*at] >> 4;
        if (type != 0x5 && type != 0x6 && type != 0xA && type != 0xC && type != 0xD) continue;
        auto length = lengthOf(*at);
        if (!length) return std::nullopt;
        auto [n, contents] = *length;
        if (type == 0x5 || type == 0x6) {
            // Text holding a NUL is refused: nothing downstream can carry it
            // (libplist's own string getter aborts on it).
            std::size_t unit = type == 0x6 ? 2 : 1;
            if (n > (tableOffset - contents) / unit) return std::nullopt;
            for (std::uint64_t i = 0; i < n; ++i)
                if (readBigEndian(data + contents + i * unit, unit) == 0) return std::nullopt;
            continue;
        }
        std::uint64_t references = type == 0xD ? n * 2 : n;
        if (n > tableOffset || references > (tableOffset - contents) / refSize) return std::nullopt;
        if (references > kMaxExpansion - work) return std::nullopt;
        work += references;
        for (std::uint64_t i = 0; i < references; ++i) {
            std::uint64_t child = readBigEndian(data + contents + i * refSize, refSize);
            if (child >= count) return std::nullopt;
            stack.push_back({child, item.depth + 1});
        }
    }
    return deepest;
}

// Whether `name` (what follows "<" or "</") is exactly this element's name.
bool isElement(std::string_view name, std::string_view element) {
    if (name.substr(0, element.size()) != element) return false;
    if (name.size() == element.size()) return true;
    char next = name[element.size()];
    return next == '>' || next == '/' || next == ' ' || next == '\t' || next == '\r' || next == '\n';
}

// Nesting depth of an XML property list by its real container elements:
// comments, CDATA sections, processing instructions and declarations are
// skipped whole, so text inside them cannot move the count. A close without
// its open, an unterminated markup, a NUL byte or a character reference to
// NUL is refused.
std::optional<int> xmlDepth(std::string_view bytes) {
    if (bytes.find('\0') != std::string_view::npos) return std::nullopt;
    int depth = 0, deepest = 0;
    std::size_t i = 0;
    while ((i = bytes.find('<', i)) != std::string_view::npos) {
        auto rest = bytes.substr(i + 1);
        std::string_view terminator = ">";
        if (rest.substr(0, 3) == "!--")
            terminator = "-->";
        else if (rest.substr(0, 8) == "![CDATA[")
            terminator = "]]>";
        else if (rest.substr(0, 1) == "?")
            terminator = "?>";
        auto end = bytes.find(terminator, i + 1);
        if (end == std::string_view::npos) return std::nullopt;
        if (terminator == ">" && rest.substr(0, 1) != "!") {
            bool closing = rest.substr(0, 1) == "/";
            auto name = closing ? rest.substr(1) : rest;
            if (isElement(name, "dict") || isElement(name, "array")) {
                if (closing) {
                    if (--depth < 0) return std::nullopt;
                } else if (bytes[end - 1] != '/') {
                    if (++depth > kMaxDepth) return std::nullopt;
                    deepest = std::max(deepest, depth);
                }
            }
        }
        i = end + terminator.size();
    }
    for (std::size_t at = bytes.find("&#"); at != std::string_view::npos; at = bytes.find("&#", at + 2)) {
        auto digits = bytes.substr(at + 2);
        bool hex = !digits.empty() && (digits[0] == 'x' || digits[0] == 'X');
        if (hex) digits.remove_prefix(1);
        std::size_t n = 0;
        while (n < digits.size() && digits[n] == '0') ++n;
        if (n > 0 && n < digits.size() && digits[n] == ';') return std::nullopt;  // a reference to NUL
    }
    return deepest;
}

}  // namespace

std::optional<int> depth(std::string_view bytes) {
    if (bytes.substr(0, kBinaryMagic.size()) == kBinaryMagic) return binaryDepth(bytes);
    return xmlDepth(bytes);
}

Plist parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > UINT32_MAX || !depth(bytes)) return nullptr;
    plist_t node = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &node);
    return Plist(node);
}

std::string toXml(plist_t node) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (!xml) return {};
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

bool isDict(plist_t node) { return node && plist_get_node_type(node) == PLIST_DICT; }

plist_t dictItem(plist_t dict, const char* key, plist_type type) {
    if (!isDict(dict)) return nullptr;
    plist_t item = plist_dict_get_item(dict, key);
    return item && plist_get_node_type(item) == type ? item : nullptr;
}

std::optional<std::string> stringValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    std::uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    if (!value) return std::nullopt;
    std::string_view text(value, static_cast<std::size_t>(length));
    if (text.find('\0') != std::string_view::npos || !isValidUtf8(text)) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> string(plist_t dict, const char* key) {
    return stringValue(dictItem(dict, key, PLIST_STRING));
}

std::optional<std::int64_t> integerValue(plist_t node) {
    if (!node) return std::nullopt;
    if (plist_get_node_type(node) == PLIST_UINT) {
        std::uint64_t v = 0;
        plist_get_uint_val(node, &v);
        return static_cast<std::int64_t>(v);
    }
    if (plist_get_node_type(node) == PLIST_REAL) {
        double v = 0;
        plist_get_real_val(node, &v);
        if (!(v > -9.2e18 && v < 9.2e18)) return std::nullopt;  // NaN or out of range
        return static_cast<std::int64_t>(v);
    }
    return std::nullopt;
}

std::optional<std::int64_t> integer(plist_t dict, const char* key) {
    return isDict(dict) ? integerValue(plist_dict_get_item(dict, key)) : std::nullopt;
}

}  // namespace lumivane::plist
