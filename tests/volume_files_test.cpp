// The console's own file work on cards: which paths count as on a card, what
// a listing shows, and copies that are whole or absent.
#include "tools/console/volume_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "runtime/testing/temp_folder.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

void write(const fs::path& path, std::size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

std::string names(const nlohmann::ordered_json& entries) {
    std::string out;
    for (const auto& entry : entries) out += entry["name"].get<std::string>() + (entry["dir"].get<bool>() ? "/ " : " ");
    return out;
}

}  // namespace

TEST(VolumeFiles, OnlyPathsOnTheGivenVolumesAndNeverTheSystemDisk) {
    TempFolder temp;
    auto card = fs::path(temp.path()) / "card";
    fs::create_directories(card / "DCIM");
    fs::create_directories(fs::path(temp.path()) / "cardigan");
    fs::create_symlink("/etc", card / "etc");
    struct Case {
        std::string path;
        std::vector<std::string> volumes;
        bool on;
    };
    const Case cases[] = {
        {card.string(), {card.string()}, true},
        {(card / "DCIM").string(), {card.string()}, true},
        {(card / "DCIM/../..").string(), {card.string()}, false},                 // steps out
        {(fs::path(temp.path()) / "cardigan").string(), {card.string()}, false},  // shares only a prefix
        {(card / "etc/passwd").string(), {card.string()}, false},                 // a link out of the card
        {"/etc/passwd", {"/"}, false},                                            // the system's own disk
        {"DCIM", {card.string()}, false},                                         // relative
        {card.string(), {}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(!onVolume(c.path, c.volumes).empty(), c.on) << c.path;
}

TEST(VolumeFiles, ListingsLeaveOutHiddenEntriesLinksAndNonMedia) {
    TempFolder temp;
    auto card = fs::path(temp.path());
    write(card / "DCIM/100MSDCF/IMG_0002.JPG", 5);
    write(card / "DCIM/100MSDCF/MVI_0003.MP4", 7);
    write(card / "DCIM/100MSDCF/NOTES.TXT", 1);
    write(card / "DCIM/.Trashes/IMG_0009.JPG", 1);
    write(card / ".hidden.JPG", 1);
    write(card / "A.JPG", 3);
    ASSERT_EQ(::mkfifo((card / "FIFO.JPG").c_str(), 0600), 0);  // a special file is never an entry
    fs::create_directory_symlink(card / "DCIM", card / "loop");
    fs::create_symlink(card / "A.JPG", card / "link.JPG");

    EXPECT_EQ(names(folderEntries(card.string())), "A.JPG DCIM/ ");
    auto top = folderEntries(card.string());
    EXPECT_EQ(top[0]["size"], 3);
    EXPECT_EQ(top[1]["count"], 1);  // .Trashes is not counted
    EXPECT_EQ(folderEntries(card.string(), 1).size(), 1u);

    EXPECT_TRUE(folderEntries((card / "missing").string()).empty());
}
