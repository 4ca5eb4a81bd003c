#include "bridges/iphone/stat_cache.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <set>

#include "runtime/testing/temp_folder.h"

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

TEST(StatCache, NamesThatAreNotUtf8AreNeverCachedSoNoFileGetsAnothersSize) {
    TempFolder folder;
    // Two names that JSON would both turn into "IMG_\uFFFD.JPG".
    const std::string latin1 = "100APPLE/IMG_\xE9.JPG", other = "100APPLE/IMG_\xE8.JPG";
    {
        StatCache cache(folder.path(), "UDID");
        cache.store(latin1, {1, 1});
        cache.store(other, {2, 2});
        cache.store("100APPLE/IMG_0001.JPG", {3, 3});
        EXPECT_FALSE(cache.lookup(latin1));
        cache.save();
    }
    StatCache reread(folder.path(), "UDID");
    EXPECT_FALSE(reread.lookup(latin1));
    EXPECT_FALSE(reread.lookup(other));
    EXPECT_EQ(reread.lookup("100APPLE/IMG_0001.JPG"), (StatCache::Entry{3, 3}));
}

TEST(StatCache, ASaveReplacesTheFileWholeRatherThanWritingIntoIt) {
    TempFolder folder;
    StatCache cache(folder.path(), "UDID");
    cache.store("100APPLE/IMG_0001.JPG", {1, 1});
    cache.save();
    // A second name for the saved file: a save that wrote into that file
    // would change what this name shows too.
    std::filesystem::create_hard_link(cache.file(), folder / "before.json");
    std::ifstream in(folder / "before.json");
    std::string before(std::istreambuf_iterator<char>(in), {});
    cache.store("100APPLE/IMG_0002.JPG", {2, 2});
    cache.save();
    std::ifstream again(folder / "before.json");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), before);
    EXPECT_EQ(StatCache(folder.path(), "UDID").lookup("100APPLE/IMG_0002.JPG"), (StatCache::Entry{2, 2}));
}

TEST(StatCache, AnyDeviceIdentifierNamesOneFileOfItsOwnInsideTheDataFolder) {
    TempFolder folder;
    const std::string udids[] = {"00008030-001A2B3C4D5E802E", "../../preferences", "..", ".", "", "a/b", "a%2Fb", "%",
                                 std::string("x\0y", 3)};
    std::set<std::string> files;
    for (const auto& udid : udids) {
        SCOPED_TRACE(udid);
        StatCache cache(folder.path(), udid);
        auto file = std::filesystem::path(cache.file());
        EXPECT_EQ(file.parent_path(), std::filesystem::path(folder / "iphone-files"));
        EXPECT_TRUE(files.insert(file.filename()).second);  // never another identifier's file
        cache.store("100APPLE/IMG_0001.JPG", {1, 1});
        cache.save();
        EXPECT_TRUE(std::filesystem::is_regular_file(file));
    }
    EXPECT_EQ(StatCache(folder.path(), udids[0]).file(), folder / "iphone-files/00008030-001A2B3C4D5E802E.json");
    // Nothing but the cache folder was made in the data folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator()),
              1);
}
