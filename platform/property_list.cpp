#include "platform/property_list.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace lumivane::plist {

namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
// A binary list may share objects; a walk that visits more nodes than this is
// an expansion attack, not a property list anyone sends.
constexpr std::size_t kMaxVisits = 1'000'000;

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

    struct Item {
        std::uint64_t object;
        int depth;
    };
    std::vector<Item> stack{{top, 1}};
    int deepest = 0;
    std::size_t visits = 0;
    while (!stack.empty()) {
        Item item = stack.back();
        stack.pop_back();
        if (item.depth > kMaxDepth || ++visits > kMaxVisits) return std::nullopt;
        deepest = std::max(deepest, item.depth);
        auto at = objectAt(item.object);
        if (!at) return std::nullopt;
        unsigned char marker = data[*at];
        unsigned type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD) continue;  // not a container
        std::uint64_t n = marker & 0x0F;
        std::size_t refs = *at + 1;
        if (n == 0x0F) {  // the count follows as an integer object
            if (refs >= tableOffset) return std::nullopt;
            unsigned char intMarker = data[refs];
            if ((intMarker >> 4) != 0x1) return std::nullopt;
            std::size_t width = std::size_t{1} << (intMarker & 0x0F);
            if (width > 8 || refs + 1 + width > tableOffset) return std::nullopt;
            n = readBigEndian(data + refs + 1, width);
            refs += 1 + width;
        }
        std::uint64_t references = type == 0xD ? n * 2 : n;
        if (n > tableOffset || references > (tableOffset - refs) / refSize) return std::nullopt;
        for (std::uint64_t i = 0; i < references; ++i) {
            std::uint64_t child = readBigEndian(data + refs + i * refSize, refSize);
            if (child >= count) return std::nullopt;
            stack.push_back({child, item.depth + 1});
        }
    }
    return deepest;
}

// Nesting depth of an XML property list by its container tags. Text that only
// looks like a tag (in a comment, say) can only make the count stricter.
std::optional<int> xmlDepth(std::string_view bytes) {
    int depth = 0, deepest = 0;
    for (std::size_t i = bytes.find('<'); i != std::string_view::npos; i = bytes.find('<', i + 1)) {
        auto rest = bytes.substr(i + 1);
        bool closing = !rest.empty() && rest[0] == '/';
        if (closing) rest.remove_prefix(1);
        bool container = rest.rfind("dict", 0) == 0 || rest.rfind("array", 0) == 0;
        if (!container) continue;
        auto end = bytes.find('>', i);
        if (end == std::string_view::npos) return std::nullopt;
        bool selfClosing = bytes[end - 1] == '/';
        if (closing) {
            --depth;
        } else if (!selfClosing) {
            if (++depth > kMaxDepth) return std::nullopt;
            deepest = std::max(deepest, depth);
        }
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

std::optional<std::string> string(plist_t dict, const char* key) {
    plist_t item = dictItem(dict, key, PLIST_STRING);
    if (!item) return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(item, &value);
    if (!value) return std::nullopt;
    std::string out(value);
    std::free(value);
    return out;
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
