#include "channel/encodable_value.h"

#include <gtest/gtest.h>

#include <limits>

#include "channel/arguments.h"

using namespace lumivane;

TEST(EncodableMap, KeepsInsertionOrderAndReplacesInPlace) {
    // Small maps search linearly, large ones through the hash index: the rules
    // must hold on both sides of the switch.
    for (int size : {3, 40}) {
        SCOPED_TRACE(size);
        EncodableMap map;
        for (int i = 0; i < size; ++i) map.set(EncodableValue("k" + std::to_string(i)), i);
        map.set(EncodableValue("k1"), "replaced");
        ASSERT_EQ(map.size(), static_cast<std::size_t>(size));
        int i = 0;
        for (const auto& [key, value] : map) {
            EXPECT_EQ(key, EncodableValue("k" + std::to_string(i)));
            if (i == 1)
                EXPECT_EQ(value, EncodableValue("replaced"));
            else
                EXPECT_EQ(value, EncodableValue(i));
            ++i;
        }
        EXPECT_TRUE(map.erase(EncodableValue("k0")));
        EXPECT_EQ(map.find("k0"), nullptr);
        ASSERT_NE(map.find("k2"), nullptr);
        EXPECT_EQ(*map.find("k2"), EncodableValue(2));
        // int32 1 and int64 1 are different keys, as on the wire
        map.set(EncodableValue(1), "int32");
        map.set(EncodableValue(std::int64_t{1}), "int64");
        EXPECT_EQ(*map.find(EncodableValue(1)), EncodableValue("int32"));
    }
}

TEST(Arguments, ReadsOnlyMapsAndOnlyEntriesOfTheRightType) {
    EncodableValue args = EncodableMap{{"on", true},  {"small", 7},      {"big", std::int64_t{1} << 40},
                                       {"name", "x"}, {"wrong", "true"}, {"list", EncodableList{1}}};
    Arguments reader(args);
    EXPECT_EQ(reader.boolean("on"), true);
    EXPECT_EQ(reader.boolean("wrong"), std::nullopt);
    EXPECT_EQ(reader.integer("small"), 7);
    EXPECT_EQ(reader.integer("big"), std::int64_t{1} << 40);
    EXPECT_EQ(reader.integer("name"), std::nullopt);
    EXPECT_EQ(reader.string("name"), "x");
    EXPECT_EQ(reader.string("missing"), std::nullopt);
    EXPECT_NE(reader.list("list"), nullptr);
    EXPECT_EQ(reader.map("list"), nullptr);

    for (const EncodableValue& notAMap :
         {EncodableValue(), EncodableValue(EncodableList{"on", true}), EncodableValue("on")}) {
        Arguments empty(notAMap);
        EXPECT_EQ(empty.boolean("on"), std::nullopt);
        EXPECT_EQ(empty.value("on"), nullptr);
    }
}

TEST(Arguments, PixelSizesAreHeldBetweenZeroAndTheLargestPicture) {
    struct Case {
        EncodableValue px;
        int read;
    } cases[] = {
        {EncodableValue(), 256},  // absent: the call's default
        {EncodableValue("300"), 256},
        {EncodableValue(300), 300},
        {EncodableValue(0), 0},
        {EncodableValue(-1), 0},
        {EncodableValue(std::numeric_limits<std::int64_t>::min()), 0},
        {EncodableValue(Arguments::kMaxPixelSize), Arguments::kMaxPixelSize},
        {EncodableValue(Arguments::kMaxPixelSize + 1), Arguments::kMaxPixelSize},
        {EncodableValue(std::int64_t{1} << 62), Arguments::kMaxPixelSize},
    };
    for (const auto& c : cases) {
        EncodableMap map;
        if (!c.px.isNull()) map.set("px", c.px);
        EncodableValue args(map);
        EXPECT_EQ(Arguments(args).pixelSize("px", 256), c.read);
    }
}
