// A real card on this machine: an ext4 image with a label, loop-mounted in a
// mount namespace of the test's own (so nothing outside sees it), listed,
// announced and ejected through the files bridge over the Linux platform.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>

#include "bridges/common/testing/handler_call.h"
#include "bridges/files/file_volume_bridge.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/run_tool.h"
#include "runtime/testing/temp_folder.h"

using namespace lumivane;
using namespace std::chrono_literals;

TEST(LinuxVolumes, ALoopMountedCardIsListedAnnouncedAndEjected) {
    if (geteuid() != 0 || access("/dev/loop-control", F_OK) != 0 || access("/sbin/mkfs.ext4", X_OK) != 0)
        GTEST_SKIP() << "mounting needs root, loop devices and mkfs.ext4";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "no private mount namespace here";
    TempFolder folder;
    auto image = folder / "card.img", point = folder / "CARD";
    std::filesystem::create_directories(point);
    ASSERT_EQ(runTool({"/usr/bin/truncate", "-s", "16M", image}).exitCode, 0);
    ASSERT_EQ(runTool({"/sbin/mkfs.ext4", "-q", "-L", "HOLIDAY", "-U", "0c3e6d38-5f2a-4f1e-9a57-3b6d2f0e4a11", image})
                  .exitCode,
              0);

    MainLoop loop;
    Log log = Log::capturing();
    SystemClock clock;
    LinuxPlatform linux(loop, log);
    ImportSources sources;
    FileVolumeBridge bridge(
        {linux.platform(), loop, log, clock, std::make_shared<EventHandler>(loop), folder.path(), sources});
    int changes = 0;
    std::vector<Volumes::Observation> observations;
    for (auto change : {Volumes::Change::didMount, Volumes::Change::didUnmount, Volumes::Change::didRenameVolume})
        observations.push_back(linux.platform().volumes.addObserver(change, [&] { ++changes; }));
    auto call = [&](const char* method, EncodableMap args) { return callHandler(bridge, loop, log, method, args); };
    auto settle = [&] {
        loop.runUntil([&] { return changes > 0; }, 5s);
        loop.runUntil([] { return false; }, 200ms);
    };

    auto mounted = runTool({"/bin/mount", "-o", "loop", image, point});
    if (mounted.exitCode != 0) GTEST_SKIP() << "cannot loop-mount here: " << mounted.errors;
    settle();
    EXPECT_EQ(changes, 1);

    EncodableMap* card = nullptr;
    auto listed = std::get<EncodableValue>(call("volume.list", {}));
    for (auto& volume : *listed.get<EncodableList>())
        if (*volume.get<EncodableMap>()->find("path") == EncodableValue(point)) card = volume.get<EncodableMap>();
    ASSERT_TRUE(card);
    EXPECT_EQ(*card->find("name"), EncodableValue("HOLIDAY"));
    EXPECT_EQ(*card->find("uuid"), EncodableValue("0c3e6d38-5f2a-4f1e-9a57-3b6d2f0e4a11"));
    EXPECT_EQ(*card->find("fs"), EncodableValue("ext4"));
    EXPECT_EQ(*card->find("ejectable"), EncodableValue(true));
    EXPECT_EQ(*card->find("network"), EncodableValue(false));
    EXPECT_GT(card->find("total")->integer().value_or(0), 10 << 20);
    EXPECT_GT(card->find("free")->integer().value_or(0), 0);
    EXPECT_EQ(std::get<EncodableValue>(call("file.volumeInfo", {{"path", point + "/lost+found"}})),
              EncodableValue(EncodableMap{{"root", point}, {"uuid", "0c3e6d38-5f2a-4f1e-9a57-3b6d2f0e4a11"}}));
    EXPECT_TRUE(std::get<EncodableValue>(call("file.freeSpace", {{"path", point + "/Imports/2026"}})).integer());

    // A new label written to the mounted disk: one rename, and the new name.
    std::string device;
    for (const auto& entry : readMountTable())
        if (entry.mountPoint == point) device = entry.source;
    changes = 0;
    ASSERT_EQ(runTool({"/sbin/e2label", device, "TRIP"}).exitCode, 0);
    loop.runUntil([&] { return changes > 0; }, LinuxVolumes::kLabelInterval * 3);
    loop.runUntil([] { return false; }, 200ms);
    EXPECT_EQ(changes, 1);
    auto renamed = std::get<EncodableValue>(call("volume.list", {}));
    bool seen = false;
    for (auto& volume : *renamed.get<EncodableList>())
        if (*volume.get<EncodableMap>()->find("path") == EncodableValue(point))
            seen = *volume.get<EncodableMap>()->find("name") == EncodableValue("TRIP");
    EXPECT_TRUE(seen);

    changes = 0;
    EXPECT_EQ(std::get<EncodableValue>(call("volume.eject", {{"path", point}})), EncodableValue());
    settle();
    EXPECT_EQ(changes, 1);
    auto again = call("volume.eject", {{"path", point}});
    ASSERT_TRUE(std::holds_alternative<MethodError>(again));
    EXPECT_EQ(std::get<MethodError>(again).code, "eject_failed");
}
