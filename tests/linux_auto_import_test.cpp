// Plug in and it imports, on this machine: the host on the Linux platform, a
// card image with a rule for its UUID loop-mounted beside it in a mount
// namespace of the test's own. Mounted read-only it is left alone; mounted
// to be written, it is imported by itself once, and ejected.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "channel/arguments.h"
#include "platform/linux/mount_table.h"
#include "platform/linux/run_tool.h"
#include "runtime/testing/temp_folder.h"
#include "tests/host_process.h"
#include "tools/transport/host_client.h"

using namespace lumivane;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUuid = "5d1f9a0e-2b7c-4c61-8e3a-0f4b6c2d9e71";

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool mounted(const std::string& point) {
    for (const auto& entry : readMountTable())
        if (entry.mountPoint == point) return true;
    return false;
}

// Polls `done` every 50 ms until it holds or `limit` passes.
bool eventually(const std::function<bool()>& done, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

}  // namespace

TEST(LinuxAutoImport, ACardWithARuleIsImportedOnceAndEjectedButNotWhenReadOnly) {
    if (geteuid() != 0 || access("/dev/loop-control", F_OK) != 0 || access("/sbin/mkfs.ext4", X_OK) != 0)
        GTEST_SKIP() << "mounting needs root, loop devices and mkfs.ext4";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "no private mount namespace here";
    TempFolder folder;
    auto files = folder / "files", image = folder / "card.img", point = folder / "EOS_DIGITAL",
         destination = folder / "Pictures";
    fs::create_directories(files + "/DCIM/100CANON");
    fs::create_directories(point);
    fs::create_directories(destination);
    for (int i = 1; i <= 3; ++i)
        std::ofstream(files + "/DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG")
            << std::string(1000 * i, char('a' + i));
    ASSERT_EQ(runTool({"/usr/bin/truncate", "-s", "16M", image}).exitCode, 0);
    ASSERT_EQ(runTool({"/sbin/mkfs.ext4", "-q", "-L", "EOS_DIGITAL", "-U", kUuid, "-d", files, image}).exitCode, 0);

    // The host's data and settings in the test's folder, no desktop bus.
    ::setenv("HOME", folder.path().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    HostProcess host({}, "linux");
    HostClient client;
    ASSERT_TRUE(eventually([&] { return client.connect(host.socketPath()); }, 30s)) << "the host did not start";
    auto call = [&](const std::string& method, EncodableMap args) -> EncodableValue {
        auto reply = client.call("lumivane/import", method, std::move(args));
        auto* value = reply.ok() ? std::get_if<EncodableValue>(&reply.value()) : nullptr;
        return value ? *value : EncodableValue("failed");
    };
    ASSERT_EQ(call("import.autoSet", {{"device", EncodableMap{{"kind", "volume"}, {"id", kUuid}}},
                                      {"settings", EncodableMap{{"destination", destination}}},
                                      {"eject", true}}),
              EncodableValue());
    auto automaticJobs = [&] {
        std::vector<EncodableValue> jobs;
        auto list = call("import.list", {});
        for (const auto& job : list.get<EncodableList>() ? *list.get<EncodableList>() : EncodableList())
            if (Arguments(job).boolean("auto").value_or(false)) jobs.push_back(job);
        return jobs;
    };

    // Read-only: no job, and it stays mounted.
    auto readOnly = runTool({"/bin/mount", "-o", "loop,ro", image, point});
    if (readOnly.exitCode != 0) GTEST_SKIP() << "cannot loop-mount here: " << readOnly.errors;
    auto volumeListed = [&] {
        auto reply = client.call("lumivane/macos", "volume.list", EncodableMap{});
        auto* value = reply.ok() ? std::get_if<EncodableValue>(&reply.value()) : nullptr;
        for (const auto& volume : value && value->get<EncodableList>() ? *value->get<EncodableList>() : EncodableList())
            if (Arguments(volume).string("path") == point) return true;
        return false;
    };
    ASSERT_TRUE(eventually(volumeListed, 20s));
    std::this_thread::sleep_for(1s);  // what a job would have had to start in
    EXPECT_TRUE(automaticJobs().empty());
    ASSERT_EQ(runTool({"/bin/umount", "-d", point}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return !volumeListed(); }, 20s));

    // Written: imported once, then ejected.
    ASSERT_EQ(runTool({"/bin/mount", "-o", "loop", image, point}).exitCode, 0);
    ASSERT_TRUE(eventually([&] { return !mounted(point); }, 60s)) << "the card was not ejected";
    auto jobs = automaticJobs();
    ASSERT_EQ(jobs.size(), 1u);
    Arguments job(jobs[0]);
    EXPECT_EQ(job.string("state"), "done");
    EXPECT_EQ(job.integer("imported"), 3);
    for (int i = 1; i <= 3; ++i) {
        auto name = "IMG_000" + std::to_string(i) + ".JPG";
        EXPECT_EQ(contents(destination + "/" + name), contents(files + "/DCIM/100CANON/" + name)) << name;
    }
}
