#include "bridges/iphone/afc_connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "bridges/iphone/iphone_bridge_fixture.h"

using namespace lumivane;

TEST_F(IPhoneBridgeTest, SmallFilesUpToTheLimitAreReadAndLargerOnesAreNot) {
    auto udid = addPhone("");
    attach(udid, kUSB);
    onPhone(udid, [&](IPhone& phone) {
        auto read = [&](std::size_t limit) {
            return bridge->links().withControlConnection<std::optional<Bytes>>(phone, [&](AFCConnection& c) {
                return readSmallFile(*bridge->links().api(), c, "/DCIM/100APPLE/IMG_0001.JPG", limit);
            });
        };
        auto exact = read(10);
        ASSERT_TRUE(exact.ok());
        ASSERT_TRUE(exact.value());
        EXPECT_EQ(std::string(exact.value()->begin(), exact.value()->end()), "0123456789");
        auto over = read(9);
        ASSERT_TRUE(over.ok());
        EXPECT_FALSE(over.value());
        auto missing = bridge->links().withControlConnection<std::optional<Bytes>>(
            phone, [&](AFCConnection& c) { return readSmallFile(*bridge->links().api(), c, "/DCIM/none.JPG", 10); });
        EXPECT_EQ(missing.error().message, "Object not found: /DCIM/none.JPG");

        auto info = bridge->links().withControlConnection<std::map<std::string, std::string>>(
            phone,
            [&](AFCConnection& c) { return fileInfo(*bridge->links().api(), c, "/DCIM/100APPLE/IMG_0001.JPG"); });
        ASSERT_TRUE(info.ok());
        EXPECT_EQ(info.value()["st_size"], "10");
        EXPECT_EQ(info.value()["st_ifmt"], "S_IFREG");
    });
}

// A phone's file-info values are its own words: only a whole decimal number,
// in range, is a number; anything else is no number rather than its start.
TEST(FileInfoNumber, OnlyAWholeDecimalInRangeIsANumber) {
    const std::pair<std::string, std::optional<std::int64_t>> cases[] = {
        {"0", 0},
        {"1234567", 1234567},
        {"-5", -5},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", std::nullopt},  // one past the range
        {"", std::nullopt},
        {"12abc", std::nullopt},
        {"12 ", std::nullopt},
        {" 12", std::nullopt},
        {"+12", std::nullopt},
        {"0x10", std::nullopt},
        {"1.5", std::nullopt},
    };
    for (const auto& [text, number] : cases) EXPECT_EQ(fileInfoNumber(text), number) << '"' << text << '"';
}
