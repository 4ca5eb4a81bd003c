// A HEIF meta box as writers lay it out, and as a hostile file might: the
// EXIF item's extents come back only when every field they depend on holds.
#include "bridges/import/heif_exif.h"

#include <gtest/gtest.h>

#include <string>

namespace lumivane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes be(std::uint64_t value, int bytes) {
    Bytes out;
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return out;
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes box(const std::string& type, const Bytes& body) { return be(8 + body.size(), 4) + text(type) + body; }
Bytes fullBox(const std::string& type, int version, const Bytes& body) {
    return box(type, Bytes{static_cast<std::uint8_t>(version), 0, 0, 0} + body);
}
Bytes infe(int id, const std::string& type, int version = 2) {
    return fullBox("infe", version, be(id, version == 2 ? 2 : 4) + be(0, 2) + text(type) + Bytes{0});
}
Bytes iinf(const Bytes& entries, int count, int version = 0) {
    return fullBox("iinf", version, be(count, version == 0 ? 2 : 4) + entries);
}

struct Location {
    int id;
    std::uint64_t base = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> extents;  // offset, length
    int method = 0;
    int reference = 0;
};
// An item location box with offsets and lengths of `size` bytes and a base of `baseSize`.
Bytes iloc(int version, const std::vector<Location>& items, int size = 4, int baseSize = 4) {
    Bytes body = Bytes{static_cast<std::uint8_t>(size << 4 | size), static_cast<std::uint8_t>(baseSize << 4)} +
                 be(items.size(), version < 2 ? 2 : 4);
    for (const auto& item : items) {
        body = body + be(item.id, version < 2 ? 2 : 4);
        if (version > 0) body = body + be(item.method, 2);
        body = body + be(item.reference, 2) + be(item.base, baseSize) + be(item.extents.size(), 2);
        for (auto [offset, length] : item.extents) body = body + be(offset, size) + be(length, size);
    }
    return fullBox("iloc", version, body);
}
Bytes meta(const Bytes& children) { return fullBox("meta", 0, fullBox("hdlr", 0, Bytes(20, 0)) + children); }

std::vector<std::pair<std::int64_t, std::int64_t>> extentsOf(const Bytes& bytes) {
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const auto& e : heifExifExtents(bytes.data(), bytes.size())) out.emplace_back(e.offset, e.length);
    return out;
}

TEST(HeifExif, FindsTheExifItemWhereverTheLocationBoxPutsIt) {
    const Bytes items = iinf(infe(1, "hvc1") + infe(2, "Exif"), 2);
    const Location picture{1, 0, {{400, 90000}}};
    struct Case {
        const char* name;
        Bytes box;
        std::vector<std::pair<std::int64_t, std::int64_t>> expected;
    };
    const Case cases[] = {
        {"version 0, after the picture", meta(items + iloc(0, {picture, {2, 0, {{90400, 242}}}})), {{90400, 242}}},
        {"version 1, a base offset added", meta(items + iloc(1, {picture, {2, 90000, {{400, 242}}}})), {{90400, 242}}},
        {"version 2, 8-byte fields",
         meta(items + iloc(2, {{2, 1ull << 33, {{8, 242}}}}, 8, 8)),
         {{(1ll << 33) + 8, 242}}},
        {"two extents", meta(items + iloc(0, {{2, 0, {{1000, 100}, {5000, 50}}}})), {{1000, 100}, {5000, 50}}},
        {"location box first, version 1 item infos",
         meta(iloc(0, {{7, 0, {{64, 10}}}}) + iinf(infe(7, "Exif", 3), 1, 1)),
         {{64, 10}}},
        {"a 64-bit meta size",
         Bytes{0, 0, 0, 1} + text("meta") + be(16 + 4 + items.size() + iloc(0, {{2, 0, {{9, 9}}}}).size(), 8) +
             Bytes{0, 0, 0, 0} + items + iloc(0, {{2, 0, {{9, 9}}}}),
         {{9, 9}}},
        // Nothing to fetch:
        {"no EXIF item", meta(iinf(infe(1, "hvc1"), 1) + iloc(0, {picture})), {}},
        {"EXIF item not located", meta(items + iloc(0, {picture})), {}},
        {"kept in the meta box's own data", meta(items + iloc(1, {{2, 0, {{0, 242}}, 1}})), {}},
        {"in another file", meta(items + iloc(0, {{2, 0, {{0, 242}}, 0, 1}})), {}},
        {"to the end of the file", meta(items + iloc(0, {{2, 0, {{400, 0}}}})), {}},
        {"larger than an EXIF block", meta(items + iloc(0, {{2, 0, {{400, kMaxExifBytes + 1}}}})), {}},
        {"too many extents",
         meta(items +
              iloc(0, {{2, 0, std::vector<std::pair<std::uint64_t, std::uint64_t>>(kMaxExifExtents + 1, {1, 1})}})),
         {}},
        {"an odd field size", meta(items + iloc(0, {{2, 0, {{400, 242}}}}, 3)), {}},
        {"an unknown location version", meta(items + iloc(3, {{2, 0, {{400, 242}}}})), {}},
        {"old item infos without types", meta(iinf(infe(2, "Exif", 1), 1) + iloc(0, {{2, 0, {{400, 242}}}})), {}},
        {"not a meta box", fullBox("moov", 0, items + iloc(0, {{2, 0, {{400, 242}}}})), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(extentsOf(c.box), c.expected);
    }
}

TEST(HeifExif, ACutOrOverstatedBoxGivesNothing) {
    Bytes whole = meta(iinf(infe(2, "Exif"), 1) + iloc(0, {{2, 0, {{400, 242}}}}));
    ASSERT_EQ(extentsOf(whole).size(), 1u);
    // Cut anywhere, the box no longer fits what it says it holds.
    for (std::size_t size = 0; size < whole.size(); ++size)
        EXPECT_TRUE(extentsOf(Bytes(whole.begin(), whole.begin() + size)).empty()) << size;
    // A child that claims more than its parent holds.
    Bytes overstated = whole;
    overstated[8 + 4 + 3] = 0xff;  // the first child's (hdlr's) size
    EXPECT_TRUE(extentsOf(overstated).empty());
    // More locations counted than the box holds.
    Bytes counted = meta(iinf(infe(2, "Exif"), 1) + fullBox("iloc", 0, Bytes{0x44, 0x40} + be(5, 2)));
    EXPECT_TRUE(extentsOf(counted).empty());
}

}  // namespace
}  // namespace lumivane
