#include "bridges/iphone/media_listing.h"

#include <gtest/gtest.h>

#include "channel/method_result.h"
#include "channel/standard_codec.h"

using namespace lumivane;

namespace {

std::vector<std::string> paths(const MediaListing& listing) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < listing.size(); ++i) out.push_back(listing.path(i));
    return out;
}

}  // namespace

TEST(MediaListing, SortNumbersAndNewestFirstOrder) {
    struct Case {
        const char* name;
        std::int64_t number;
    } numbers[] = {{"IMG_0009.JPG", 9},
                   {"IMG_0010.JPG", 10},
                   {"NONUMBER.JPG", 0},
                   {"A12B34.JPG", 12},
                   {"IMG_99999999999999999999.JPG", 0},  // does not fit: 0
                   {"IMG_9223372036854775807.JPG", 9223372036854775807}};
    for (const auto& c : numbers) EXPECT_EQ(MediaListing::sortNumber(c.name), c.number) << c.name;

    MediaListing listing(6);
    listing.addFolder("100APPLE");
    for (const char* name : {"IMG_0009.JPG", "IMG_0010.JPG"}) ASSERT_TRUE(listing.addFile(name));
    listing.addFolder("101APPLE");
    ASSERT_TRUE(listing.addFile("IMG_0001.JPG"));
    listing.addFolder("100APPLE");  // the same folder again, as another listing could give it
    for (const char* name : {"IMG_99999999999999999999.JPG", "X.JPG", "IMG_0010.MOV"})
        ASSERT_TRUE(listing.addFile(name));
    EXPECT_FALSE(listing.addFile("IMG_0011.JPG"));  // full: refused, nothing added
    listing.sort();
    EXPECT_EQ(paths(listing), (std::vector<std::string>{"101APPLE/IMG_0001.JPG", "100APPLE/IMG_0010.JPG",
                                                        "100APPLE/IMG_0010.MOV",  // equal keys keep listing order
                                                        "100APPLE/IMG_0009.JPG",
                                                        "100APPLE/IMG_99999999999999999999.JPG", "100APPLE/X.JPG"}));
}

// The answer written straight from the listing is, byte for byte, the list
// of its entry maps as the codec writes it: sized or not, with or without a
// time, in a folder or at the top, and a name that is not UTF-8.
TEST(MediaListing, TheWrittenAnswerIsTheCodecsEncodingOfItsEntries) {
    MediaListing listing;
    listing.addFolder("100APPLE");
    for (const char* name : {"IMG_0001.JPG", "IMG_0002.HEIC", "IMG_0003.MOV", "IMG_\xE9.JPG"})
        ASSERT_TRUE(listing.addFile(name));
    listing.addFolder("");
    ASSERT_TRUE(listing.addFile("TOP.JPG"));
    listing.setSize(0, 1234, 1'733'550'000'000);
    listing.setSize(1, 5'000'000'000, 0);  // no usable time: no "modified"
    listing.setSize(4, 7, 1);
    EXPECT_EQ(listing.entry(4), (EncodableMap{{"path", "TOP.JPG"},
                                              {"name", "TOP.JPG"},
                                              {"dir", false},
                                              {"size", std::int64_t(7)},
                                              {"modified", std::int64_t(1)}}));
    EXPECT_EQ(listing.entry(2),
              (EncodableMap{{"path", "100APPLE/IMG_0003.MOV"}, {"name", "IMG_0003.MOV"}, {"dir", false}}));

    EncodableList entries;
    for (std::size_t i = 0; i < listing.size(); ++i) entries.push_back(listing.entry(i));
    auto answer = EncodedAnswer::written([&](ValueWriter& writer) { listing.write(writer); });
    EXPECT_EQ(answer.envelope, StandardMethodCodec::encodeSuccessEnvelope(entries));
    EXPECT_GE(listing.encodedSizeHint(), answer.envelope.size());
}

// The answer is written into room reserved from the hint: a hint short by a
// byte has the whole answer copied into a buffer twice its size, so it must
// hold every kind of listing, every file sized and timed.
TEST(MediaListing, TheSizeHintHoldsTheWholeAnswer) {
    struct Case {
        const char* what;
        std::size_t nameLength, folderLength;
        std::int64_t size;
    };
    for (const auto& c : {Case{"a phone's names", 13, 8, 3'000'000}, Case{"long names", 300, 8, 5'000'000'000},
                          Case{"a long folder", 13, 250, 7}, Case{"one-letter names", 1, 1, 1}}) {
        MediaListing listing;
        listing.addFolder(std::string(c.folderLength, 'F'));
        for (int i = 0; i < 1000; ++i) {
            auto name = std::to_string(i);
            name.resize(std::max(c.nameLength, name.size()), 'n');
            ASSERT_TRUE(listing.addFile(name));
            listing.setSize(std::size_t(i), c.size, 1'733'550'000'000 + i);
        }
        auto answer = EncodedAnswer::written([&](ValueWriter& writer) { listing.write(writer); });
        EXPECT_GE(listing.encodedSizeHint(), answer.envelope.size()) << c.what;
    }
}
