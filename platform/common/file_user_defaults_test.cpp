#include "platform/common/file_user_defaults.h"

#include <gtest/gtest.h>
#include <fstream>

#include "runtime/testing/temp_folder.h"

using namespace lumivane;

TEST(FileUserDefaults, ABurstOfChangesReachesTheFileAndACorruptFileReadsAsEmpty) {
    TempFolder folder;
    auto path = folder / "prefs/defaults.json";
    {
        FileUserDefaults defaults(path);
        for (int i = 0; i < 200; ++i) defaults.set("flutter.count", i);
        defaults.set("NSWindow Frame LumivaneMainWindow.v2", "1 2 3 4");
        defaults.flush();
        std::ifstream in(path);
        auto written = nlohmann::json::parse(in, nullptr, false);
        EXPECT_EQ(written["flutter.count"], 199);
        defaults.set("flutter.last", true);
    }  // the destructor writes what is still pending
    EXPECT_EQ(FileUserDefaults(path).value("flutter.last"), nlohmann::json(true));

    std::ofstream(path) << "{\"flutter.count\": 3,";
    FileUserDefaults corrupt(path);
    EXPECT_TRUE(corrupt.dictionary().empty());
    corrupt.set("flutter.fresh", 1);
    corrupt.flush();
    EXPECT_EQ(FileUserDefaults(path).dictionary(), nlohmann::json({{"flutter.fresh", 1}}));
}
