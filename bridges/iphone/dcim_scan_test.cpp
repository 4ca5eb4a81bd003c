#include "bridges/iphone/dcim_scan.h"

#include <fstream>
#include <gtest/gtest.h>

#include "bridges/iphone/stat_cache.h"
#include "tests/support/temp_folder.h"

using namespace lumivane;

TEST(DcimScan, SortNumbersAndMediaOrder) {
    struct Case {
        const char* name;
        std::int64_t number;
    } numbers[] = {{"IMG_0009.JPG", 9},
                   {"IMG_0010.JPG", 10},
                   {"NONUMBER.JPG", 0},
                   {"A12B34.JPG", 12},
                   {"IMG_99999999999999999999.JPG", 0},  // does not fit: 0
                   {"IMG_9223372036854775807.JPG", 9223372036854775807}};
    for (const auto& c : numbers) EXPECT_EQ(DcimScan::sortNumber(c.name), c.number) << c.name;

    auto entry = [](const std::string& path) {
        return EncodableValue(EncodableMap{{"path", path}, {"name", path.substr(path.find('/') + 1)}, {"dir", false}});
    };
    EncodableList media{entry("100APPLE/IMG_0009.JPG"), entry("100APPLE/IMG_0010.JPG"), entry("101APPLE/IMG_0001.JPG"),
                        entry("100APPLE/IMG_99999999999999999999.JPG"), entry("100APPLE/X.JPG"),
                        entry("100APPLE/IMG_0010.MOV")};
    DcimScan::sortMedia(media);
    std::vector<std::string> order;
    for (auto& e : media) order.push_back(*e.get<EncodableMap>()->find("path")->get<std::string>());
    EXPECT_EQ(order, (std::vector<std::string>{"101APPLE/IMG_0001.JPG", "100APPLE/IMG_0010.JPG",
                                               "100APPLE/IMG_0010.MOV",  // equal keys keep listing order
                                               "100APPLE/IMG_0009.JPG", "100APPLE/IMG_99999999999999999999.JPG",
                                               "100APPLE/X.JPG"}));
}

TEST(StatCache, UnusableFilesAreAnEmptyCacheThatTheNextSaveReplaces) {
    std::string deep(100000, '[');
    const char* contents[] = {"not json",
                              "{\"100APPLE/A.JPG\": {\"size\": 1, \"modi",
                              "[1, 2]",
                              "{\"100APPLE/A.JPG\": {\"size\": \"1\", \"modified\": 2}}",
                              "{\"100APPLE/A.JPG\": 5}",
                              deep.c_str()};
    for (const char* text : contents) {
        SCOPED_TRACE(std::string(text).substr(0, 40));
        TempFolder folder;
        StatCache cache(folder.path(), "UDID");
        std::ofstream(cache.file()) << text;
        EXPECT_FALSE(cache.lookup("100APPLE/A.JPG"));
        cache.store("100APPLE/B.JPG", {7, 8});
        cache.save();
        StatCache reread(folder.path(), "UDID");
        EXPECT_EQ(reread.lookup("100APPLE/B.JPG"), (StatCache::Entry{7, 8}));
    }
}

TEST(StatCache, NothingIsWrittenWithoutChangesAndASavedCacheLoadsBack) {
    TempFolder folder;
    {
        StatCache cache(folder.path(), "UDID");
        cache.lookup("x");
        cache.save();
        EXPECT_FALSE(std::filesystem::exists(cache.file()));
        cache.store("100APPLE/IMG_0001.HEIC", {2'500'000, 1'733'550'000'000});
        cache.save();
    }
    StatCache cache(folder.path(), "UDID");
    EXPECT_EQ(cache.lookup("100APPLE/IMG_0001.HEIC"), (StatCache::Entry{2'500'000, 1'733'550'000'000}));
}
