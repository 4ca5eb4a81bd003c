// Which volumes are import sources and which may lose files after an import,
// and a deletion that takes only the very file listed.
#include "bridges/files/volume_import_source.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/testing/fake_volumes.h"
#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

namespace fs = std::filesystem;

TEST(VolumeImportSource, OnlyVolumesOfTheirOwnAreSourcesAndOnlyRemovableOnesDelete) {
    TempFolder root;
    auto card = root / "card";
    fs::create_directories(card);
    struct Case {
        const char* what;
        std::string mountPoint;
        VolumeValues values;
        std::optional<std::string> holderOfOwnData;  // the volume volumeOf() names for the home and data
        bool opens, deletes;
    };
    auto values = [](std::optional<bool> removable, std::optional<bool> ejectable, std::optional<bool> internal,
                     std::optional<bool> rootFileSystem = std::nullopt) {
        VolumeValues v;
        v.name = "V";
        v.removable = removable;
        v.ejectable = ejectable;
        v.internal = internal;
        v.rootFileSystem = rootFileSystem;
        return v;
    };
    const Case cases[] = {
        {"a card", card, values(true, true, false), "/", true, true},
        {"a USB disk not flagged removable", card, values(false, true, false), "/", true, true},
        {"an internal disk", card, values(false, false, true), "/", true, false},
        {"an ejectable internal bay", card, values(false, true, true), "/", true, false},
        {"nothing said", card, values({}, {}, {}), "/", true, false},
        {"the root file system", "/", values(false, false, true), "/", false, false},
        {"a volume flagged as the system's root", card, values(false, false, true, true), "/", false, false},
        {"the volume holding the home and the data", card, values(true, true, false), card, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeVolumes volumes;
        volumes.add(c.mountPoint, c.values);
        if (c.holderOfOwnData) volumes.pathVolume = PathVolume{*c.holderOfOwnData, std::nullopt};
        auto opened = VolumeImportSource::open(volumes, c.mountPoint, {root / "home", root / "data"});
        ASSERT_EQ(opened.ok(), c.opens);
        if (!opened.ok()) {
            EXPECT_EQ(opened.error().code, Error::Code::noPermission);
            continue;
        }
        EXPECT_EQ(opened.value()->canDelete(), c.deletes);
    }
    FakeVolumes none;
    auto missing = VolumeImportSource::open(none, card, {});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, Error::Code::notFound);
}

TEST(VolumeImportSource, RemovesOnlyTheFileListedUnchanged) {
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> change;  // between the listing and the deletion
        bool removed;
    };
    const Case cases[] = {
        {"unchanged", [](const std::string&) {}, true},
        {"its time changed",
         [](const std::string& path) {
             fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(1));
         },
         false},
        {"its size changed", [](const std::string& path) { std::ofstream(path, std::ios::app) << "!"; }, false},
        {"replaced by another file of the same size and time",
         [](const std::string& path) {
             // Made while the first still exists, so it cannot reuse its inode.
             auto time = fs::last_write_time(path);
             std::ofstream(path + ".new") << "other bytes";
             fs::last_write_time(path + ".new", time);
             fs::rename(path + ".new", path);
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder card;
        fs::create_directories(card / "DCIM");
        auto photo = card / "DCIM/IMG_0001.JPG";
        std::ofstream(photo) << "photo bytes";
        FakeVolumes volumes;
        VolumeValues values;
        values.removable = true;
        volumes.add(card.path(), values);
        auto source = VolumeImportSource::open(volumes, card.path(), {});
        ASSERT_TRUE(source.ok());
        auto listed = source.value()->list();
        ASSERT_TRUE(listed.ok());
        ASSERT_EQ(listed.value().size(), 1u);
        c.change(photo);
        auto removed = source.value()->remove(listed.value()[0]);
        EXPECT_EQ(removed.ok(), c.removed);
        EXPECT_EQ(fs::exists(photo), !c.removed);
    }
}

}  // namespace
}  // namespace lumivane
