#include "platform/linux/linux_volumes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>
#include "runtime/read_file.h"
#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

TEST(MountTable, LinesParseAndAFileManagersChoiceIsShown) {
    auto table = parseMountInfo(
        "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
        "21 26 0:20 / /proc rw - proc proc rw\n"
        "24 23 0:22 / /dev/shm rw - tmpfs tmpfs rw\n"
        "30 26 8:17 / /media/ada/HOLIDAY\\040CARD rw,nosuid shared:1 - vfat /dev/sdb1 rw\n"
        "31 26 0:40 / /mnt/nas rw - cifs //nas.local/photos rw\n"
        "32 26 0:41 / /mnt/home rw - nfs4 nas:/export/home rw\n"
        "33 26 0:42 / /mnt/box rw - fuse.sshfs ada@box:photos rw\n"
        "34 26 7:0 / /snap/core/1 ro - squashfs /dev/loop0 ro\n"
        "35 26 254:0 /etc/hosts /etc/hosts rw - ext4 /dev/vda rw\n"
        "36 26 0:50 / /run/user/0 rw - tmpfs tmpfs rw\n"
        "37 26 8:33 / /run/media/ada/CAM rw - exfat /dev/sdc1 rw\n"
        "not a mount line\n"
        "38 26 8:x / /bad rw - ext4 /dev/sdd1 rw\n");
    ASSERT_EQ(table.size(), 11u);
    EXPECT_EQ(table[3], (MountEntry{8, 17, "/media/ada/HOLIDAY CARD", "vfat", "/dev/sdb1"}));

    struct Case {
        std::size_t line;
        bool shown;
        std::optional<std::string> remount;
    } cases[] = {
        {0, true, std::nullopt},
        {1, false, std::nullopt},
        {2, false, std::nullopt},
        {3, true, std::nullopt},
        {4, true, "smb://nas.local/photos"},
        {5, true, "nfs://nas/export/home"},
        {6, true, "sftp://ada@box/photos"},
        {7, false, std::nullopt},
        {8, false, std::nullopt},
        {9, false, std::nullopt},
        {10, true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(table[c.line].mountPoint);
        EXPECT_EQ(isShownVolume(table[c.line]), c.shown);
        EXPECT_EQ(remountURL(table[c.line]), c.remount);
    }
}

TEST(LinuxVolumes, TheRootVolumeIsListedWithItsCapacities) {
    MainLoop loop;
    LinuxVolumes volumes(loop);
    auto paths = volumes.mountedVolumePaths();
    ASSERT_NE(std::find(paths.begin(), paths.end(), "/"), paths.end());
    auto root = volumes.values("/");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->rootFileSystem, true);
    EXPECT_EQ(root->local, true);
    EXPECT_GT(root->totalCapacity.value_or(0), 0);
    EXPECT_GT(root->availableCapacity.value_or(0), 0);
    EXPECT_TRUE(root->localizedFormatDescription);
    EXPECT_FALSE(volumes.values("/proc"));
    EXPECT_EQ(volumes.volumeOf("/proc/self")->root, "/proc");
    EXPECT_FALSE(volumes.volumeOf("/no/such/path"));
    EXPECT_GT(volumes.capacityAt("/")->available.value_or(0), 0);
}

// udisks2's tool and umount stood in for by scripts that note how they were
// called: which tool the eject takes, in what order, and how a refusal reads.
TEST(LinuxVolumes, EjectAsksUdisksWhenItIsThereElseUmountAndSaysWhyItFailed) {
    TempFolder folder;
    auto point = folder / "CARD", calls = folder / "calls";
    std::filesystem::create_directories(point);
    std::ofstream(folder / "mountinfo") << "26 1 254:0 / / rw - ext4 /dev/vda rw\n"
                                        << "40 26 250:250 / " << point << " rw - vfat /dev/sdz1 rw\n";
    auto script = [&](const std::string& name, const std::string& body) {
        std::ofstream(folder / name) << "#!/bin/sh\necho \"" << name << " $*\" >> " << calls << "\n" << body;
        std::filesystem::permissions(folder / name, std::filesystem::perms::owner_all);
        return folder / name;
    };
    std::ofstream(folder / "bus") << "";
    // The card's disk, as sysfs shows it: on USB, and (as many USB disks are)
    // not flagged removable.
    auto disk = folder / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdz";
    std::filesystem::create_directories(disk + "/sdz1");
    std::ofstream(disk + "/removable") << "0\n";
    std::ofstream(disk + "/sdz1/partition") << "1\n";
    std::filesystem::create_directories(folder / "sys/dev/block");
    std::filesystem::create_directory_symlink(disk + "/sdz1", folder / "sys/dev/block/250:250");
    struct Case {
        const char* name;
        std::string udisksBody, umountBody;
        bool bus;
        std::optional<std::string> error;
        std::string calls;
        bool usbDisk = false;
    } cases[] = {
        {"udisks", "exit 0\n", "exit 0\n", true, std::nullopt,
         "udisksctl unmount --no-user-interaction -b /dev/sdz1\n"},
        {"udisks, a USB disk not flagged removable: powered off too", "exit 0\n", "exit 0\n", true, std::nullopt,
         "udisksctl unmount --no-user-interaction -b /dev/sdz1\n"
         "udisksctl power-off --no-user-interaction -b /dev/sdz1\n",
         true},
        {"udisks refuses", "echo 'Error unmounting /dev/sdz1: target is busy' >&2\nexit 1\n", "exit 0\n", true,
         "Error unmounting /dev/sdz1: target is busy", "udisksctl unmount --no-user-interaction -b /dev/sdz1\n"},
        {"no system bus", "exit 0\n", "exit 0\n", false, std::nullopt, "umount " + point + "\n"},
        {"umount refuses", "exit 0\n", "echo \"umount: " + point + ": target is busy.\" >&2\nexit 32\n", false,
         "umount: " + point + ": target is busy.", "umount " + point + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(calls);
        MainLoop loop;
        LinuxVolumes volumes(
            loop, {folder / "mountinfo", script("udisksctl", c.udisksBody), c.bus ? folder / "bus" : folder / "no-bus",
                   script("umount", c.umountBody), c.usbDisk ? folder / "sys" : folder / "no-sys"});
        auto ejected = volumes.unmountAndEject(point + "/");
        EXPECT_EQ(ejected.ok(), !c.error);
        if (c.error && !ejected.ok()) {
            EXPECT_EQ(ejected.error().message, *c.error);
        }
        EXPECT_EQ(readFile(calls, 4096).value_or(""), c.calls);
        // Never the volume that merely holds a path.
        EXPECT_FALSE(volumes.unmountAndEject(point + "/DCIM").ok());
        EXPECT_FALSE(volumes.unmountAndEject("/").ok());
    }

    // Two mounts on one point: the later one covers the first, and is the one ejected.
    std::ofstream(folder / "stacked") << "26 1 254:0 / / rw - ext4 /dev/vda rw\n"
                                      << "40 26 250:250 / " << point << " rw - vfat /dev/sdz1 rw\n"
                                      << "41 40 250:251 / " << point << " rw - vfat /dev/sdy1 rw\n";
    std::filesystem::remove(calls);
    MainLoop loop;
    LinuxVolumes stacked(loop, {folder / "stacked", script("udisksctl", "exit 0\n"), folder / "bus",
                                script("umount", "exit 0\n"), folder / "no-sys"});
    EXPECT_TRUE(stacked.unmountAndEject(point).ok());
    EXPECT_EQ(readFile(calls, 4096).value_or(""), "udisksctl unmount --no-user-interaction -b /dev/sdy1\n");
}

// What a volume is (removable, ejectable, internal) comes from the disk
// behind the mount on top of its point, as sysfs shows that disk.
TEST(LinuxVolumes, AVolumesKindIsItsTopMountsDiskAsSysfsShowsIt) {
    TempFolder folder;
    namespace fs = std::filesystem;
    struct Disk {
        const char* device;  // major:minor
        std::string path;    // below sys/devices
        const char* removable;
    };
    const Disk disks[] = {
        {"250:1", "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda1", "0"},
        {"250:2", "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdz/sdz1", "0"},
        {"250:3", "platform/fe320000.mmc/mmc_host/mmc0/mmc0:0001/block/mmcblk0/mmcblk0p1", "1"},
        {"250:4", "virtual/block/loop4", "0"},
    };
    for (const auto& disk : disks) {
        auto at = folder / ("sys/devices/" + disk.path);
        fs::create_directories(at);
        bool partition = std::string(disk.path).find("loop") == std::string::npos;
        if (partition) std::ofstream(at + "/partition") << "1\n";
        std::ofstream((partition ? fs::path(at).parent_path().string() : at) + "/removable") << disk.removable << "\n";
        fs::create_directories(folder / "sys/dev/block");
        fs::create_directory_symlink(at, folder / (std::string("sys/dev/block/") + disk.device));
    }
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> mounts;  // device, type; the last on top
        bool removable, ejectable, internal;
        const char* type;
    } cases[] = {
        {"an internal disk", {{"250:1", "ext4"}}, false, false, true, "ext4"},
        {"a USB disk not flagged removable", {{"250:2", "exfat"}}, false, true, false, "exfat"},
        {"a card in a reader", {{"250:3", "vfat"}}, true, true, false, "vfat"},
        {"a disk image", {{"250:4", "hfsplus"}}, false, true, false, "hfsplus"},
        {"a card mounted over an internal folder", {{"250:1", "ext4"}, {"250:3", "vfat"}}, true, true, false, "vfat"},
        {"an internal disk mounted over a card", {{"250:3", "vfat"}, {"250:1", "ext4"}}, false, false, true, "ext4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto point = folder / (std::string("media/") + c.name);
        fs::create_directories(point);
        std::ofstream table(folder / "mountinfo", std::ios::trunc);
        table << "26 1 254:0 / / rw - ext4 /dev/vda rw\n";
        int id = 40;
        for (const auto& [device, type] : c.mounts) {
            std::string escaped;  // mountinfo writes a space as \040
            for (char ch : point) escaped += ch == ' ' ? std::string("\\040") : std::string(1, ch);
            table << id << " 26 " << device << " / " << escaped << " rw - " << type << " /dev/x" << id << " rw\n";
            ++id;
        }
        table.close();
        MainLoop loop;
        LinuxVolumes volumes(loop,
                             {folder / "mountinfo", "/nonexistent", "/nonexistent", "/nonexistent", folder / "sys"});
        auto values = volumes.values(point);
        ASSERT_TRUE(values);
        EXPECT_EQ(values->removable, c.removable);
        EXPECT_EQ(values->ejectable, c.ejectable);
        EXPECT_EQ(values->internal, c.internal);
        EXPECT_EQ(values->localizedFormatDescription, c.type);
    }
}

}  // namespace
}  // namespace lumivane
