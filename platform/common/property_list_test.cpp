#include "platform/common/property_list.h"

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

TEST(PropertyList, OnlyRealContainerElementsCountAndACloseWithoutItsOpenIsRefused) {
    std::string commentedCloses = "<plist><!--";
    for (int i = 0; i < 1000; ++i) commentedCloses += "</array>";
    commentedCloses += "-->";
    for (int i = 0; i < 600; ++i) commentedCloses += "<array>";
    struct Case {
        const char* name;
        std::string xml;
        std::optional<int> depth;
    } cases[] = {
        {"closes in a comment do not offset real opens", commentedCloses, std::nullopt},
        {"more closes than opens", "<plist></array></array><array><array></array></plist>", std::nullopt},
        {"markup in CDATA and instructions", "<?x <array>?><plist><string><![CDATA[<array><array>]]></string></plist>",
         0},
        {"an element whose name only starts like one", "<plist><arrayish><dictionary></plist>", 0},
        {"an unterminated comment", "<plist><!-- <array>", std::nullopt},
        {"a NUL byte", std::string("<plist><string>a\0b</string></plist>", 35), std::nullopt},
        {"a reference to NUL", "<plist><string>a&#x00;b</string></plist>", std::nullopt},
        {"an ordinary reference", "<plist><string>a&#10;b</string></plist>", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(plist::depth(c.xml), c.depth);
    }
}

TEST(PropertyList, SharedReferencesAreBoundedByTheWorkOfExpandingThem) {
    // Ten arrays, each holding the next one 15 times: 15^9 nodes once expanded,
    // from a few hundred bytes.
    std::vector<std::string> objects;
    for (int level = 0; level < 10; ++level) {
        std::string array(1, '\xAF');
        array += "\x10\x0F";  // a count of 15
        for (int i = 0; i < 15; ++i) array += static_cast<char>(level < 9 ? level + 1 : 10);
        objects.push_back(array);
    }
    objects.push_back("\x51x");
    EXPECT_FALSE(plist::depth(binary(objects)));
    objects.resize(3);  // 15 x 15 of them is fine
    objects[2] = std::string("\x51x");
    objects[1] = std::string(1, '\xAF') + "\x10\x0F" + std::string(15, '\x02');
    EXPECT_EQ(plist::depth(binary(objects)), 3);
}

TEST(PropertyList, TextIsReadByLengthAndRefusedWhenAChannelCannotCarryIt) {
    struct Case {
        const char* name;
        std::string object;  // the string object under the top array
        bool parses;
        std::optional<std::string> text;
    } cases[] = {
        {"ASCII",
         "\x53"
         "abc",
         true, "abc"},
        {"ASCII holding a NUL",
         std::string("\x53"
                     "a\0c",
                     4),
         false, std::nullopt},
        {"UTF-16 holding a NUL", std::string("\x62\0a\0\0", 5), false, std::nullopt},
        {"UTF-16", std::string("\x62\0a\x20\xAC", 5), true, "a\xE2\x82\xAC"},
        {"bytes that are not UTF-8",
         "\x53"
         "a\xE9z",
         true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Plist parsed = plist::parse(binary({"\xA1\x01", c.object}));
        ASSERT_EQ(parsed != nullptr, c.parses);
        if (parsed) EXPECT_EQ(plist::stringValue(plist_array_get_item(parsed.get(), 0)), c.text);
    }
}
