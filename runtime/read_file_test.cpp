#include "runtime/read_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>

#include "runtime/testing/temp_folder.h"

using namespace lumivane;
namespace fs = std::filesystem;

TEST(ReadFile, OnlyARegularFileWithinTheLimitIsRead) {
    TempFolder folder;
    std::ofstream(folder / "photo.jpg") << "12345";
    ::mkfifo((folder / "fifo.jpg").c_str(), 0600);
    fs::create_symlink(folder / "photo.jpg", folder / "link.jpg");
    struct Case {
        std::string path;
        std::size_t limit;
        std::optional<std::string> contents;
    };
    const Case cases[] = {
        {folder / "photo.jpg", 5, "12345"},
        {folder / "photo.jpg", 4, std::nullopt},  // one byte over
        {folder / "link.jpg", 5, "12345"},
        {folder / "fifo.jpg", 5, std::nullopt},  // would wait for a writer
        {"/dev/zero", 5, std::nullopt},
        {folder.path(), 5, std::nullopt},
        {folder / "missing.jpg", 5, std::nullopt},
        {std::string("photo.jpg\0x", 11), 5, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(readFile(c.path, c.limit), c.contents);
        EXPECT_EQ(isRegularFile(c.path), c.path == folder / "photo.jpg" || c.path == folder / "link.jpg");
    }
}

TEST(ReadFile, ARegularFileHeldOpenIsTheOneCheckedEvenWhenItsPathIsSwapped) {
    TempFolder folder;
    auto path = folder / "IMG_0001.JPG";
    std::ofstream(path) << "the photo";
    auto file = RegularFile::open(path);
    ASSERT_TRUE(file);
    // The path now names a FIFO: a decoder opening it would wait for good.
    ::mkfifo((folder / "fifo").c_str(), 0600);
    fs::rename(folder / "fifo", path);
    EXPECT_FALSE(RegularFile::open(path));
    EXPECT_EQ(readFile(file->path(), 100), "the photo");
    // Each opening has its own offset; a moved-from file keeps its descriptor open.
    std::ifstream first(file->path()), second(file->path());
    std::string a, b;
    first >> a;
    second >> b;
    EXPECT_EQ(a, "the");
    EXPECT_EQ(b, "the");
    auto moved = std::move(*file);
    EXPECT_EQ(readFile(moved.path(), 100), "the photo");
}
