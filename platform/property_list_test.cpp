#include "platform/property_list.h"

#include <gtest/gtest.h>

using namespace lumivane;

namespace {

// A binary property list of `objects` (each already encoded) whose top object
// is the first; one-byte offsets and references.
std::string binary(const std::vector<std::string>& objects) {
    std::string out = "bplist00";
    std::vector<std::uint8_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(static_cast<std::uint8_t>(out.size()));
        out += object;
    }
    std::size_t table = out.size();
    for (auto offset : offsets) out += static_cast<char>(offset);
    std::string trailer(32, '\0');
    trailer[6] = 1;  // offset size
    trailer[7] = 1;  // reference size
    trailer[15] = static_cast<char>(objects.size());
    trailer[31] = static_cast<char>(table);
    return out + trailer;
}

}  // namespace

TEST(PropertyList, DepthIsBoundedBeforeLibplistParses) {
    auto nested = [](int levels) {
        std::string xml = "<plist version=\"1.0\">";
        for (int i = 0; i < levels; ++i) xml += "<array>";
        for (int i = 0; i < levels; ++i) xml += "</array>";
        return xml + "</plist>";
    };
    EXPECT_EQ(plist::depth(nested(512)), 512);
    EXPECT_FALSE(plist::depth(nested(513)));
    EXPECT_TRUE(plist::parse(nested(40)));
    EXPECT_FALSE(plist::parse(nested(600)));
    EXPECT_EQ(plist::depth("<plist><dict/><array></array></plist>"), 1);

    struct Case {
        const char* name;
        std::string bytes;
        bool ok;
    } cases[] = {
        {"an array holding a string", binary({"\xA1\x01", "\x51x"}), true},
        {"an array holding itself", binary({"\xA1\x00"}), false},
        {"two arrays holding each other", binary({"\xA1\x01", "\xA1\x00"}), false},
        {"a reference past the objects", binary({"\xA1\x05"}), false},
        {"a count past the end", binary({"\xAF\x10\x7F"}), false},
        {"a truncated trailer", std::string("bplist00\xA0", 9), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(plist::depth(c.bytes).has_value(), c.ok);
        EXPECT_EQ(plist::parse(c.bytes) != nullptr, c.ok);
    }
}
