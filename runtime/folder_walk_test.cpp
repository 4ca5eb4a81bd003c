#include "runtime/folder_walk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

namespace fs = std::filesystem;

TEST(FolderWalk, VisitsRegularFilesOnlyNeverThroughLinksHiddenEntriesOrPastTheDepth) {
    TempFolder folder;
    auto root = folder / "root";
    for (const char* dir : {"a/b/c/d", ".hidden", "outside"}) fs::create_directories(root + "/" + dir);
    fs::create_directories(folder / "outside");
    for (const char* file : {"top.jpg", "a/one.jpg", "a/b/two.jpg", "a/b/c/three.jpg", "a/b/c/d/four.jpg",
                             ".hidden/secret.jpg", "a/.dot.jpg"})
        std::ofstream(root + "/" + file) << "x";
    std::ofstream(folder / "outside/far.jpg") << "x";
    fs::create_directory_symlink(folder / "outside", root + "/a/linked");
    fs::create_symlink(folder / "outside/far.jpg", root + "/a/far.jpg");
    ASSERT_EQ(::mkfifo((root + "/a/pipe.jpg").c_str(), 0600), 0);

    std::set<std::string> seen;
    EXPECT_TRUE(walkFiles(root, 2, [&](const std::string& path, const struct stat&) {
        seen.insert(path.substr(root.size() + 1));
        return true;
    }));
    // "a/b" is two folders down: entered; "a/b/c" is three: not.
    EXPECT_EQ(seen, (std::set<std::string>{"top.jpg", "a/one.jpg", "a/b/two.jpg"}));

    int visits = 0;
    EXPECT_FALSE(walkFiles(root, 8, [&](const std::string&, const struct stat&) { return ++visits < 2; }));
    EXPECT_EQ(visits, 2);
    EXPECT_TRUE(walkFiles(folder / "missing", 8, [](const std::string&, const struct stat&) { return false; }));
}

}  // namespace
}  // namespace lumivane
