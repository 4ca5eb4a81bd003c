#include "bridges/iphone/stat_cache.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>

#include "tests/support/temp_folder.h"

using namespace lumivane;

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
