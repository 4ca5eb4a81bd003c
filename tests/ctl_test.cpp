// lumivanectl against a host process: what a person at a terminal sees.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "runtime/testing/build_paths.h"
#include "runtime/testing/temp_folder.h"
#include "tests/host_process.h"
#include "tools/transport/host_client.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

struct Ran {
    int status = -1;
    std::string out;
};

// Runs lumivanectl with `arguments` (already quoted for the shell); its
// standard output and exit status.
Ran lumivanectl(const HostProcess& host, const std::string& arguments) {
    std::string command =
        buildPath("bin/lumivanectl") + " --socket '" + host.socketPath() + "' " + arguments + " 2>/dev/null";
    Ran ran;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return ran;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) ran.out.append(buffer, got);
    int status = ::pclose(pipe);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
}

TEST(Lumivanectl, ItemsShowWhatTheEngineImportsAndImportGoesToTheRememberedFolder) {
    HostProcess host;
    TempFolder home;
    auto card = home / "CARD", photos = home / "Photos";
    fs::create_directories(card + "/DCIM/100CANON");
    fs::create_directories(photos);
    for (const char* name : {"IMG_1.CR2", "IMG_1.JPG", "IMG_1.XMP", "IMG_2.JPG", "MVI_3.MOV", "notes.txt"})
        std::ofstream(card + "/DCIM/100CANON/" + name) << "bytes of " << name;
    HostClient control;
    ASSERT_TRUE(control.connect(host.socketPath()));
    ASSERT_TRUE(control.call("sim/control", "volume.mount",
                             EncodableMap{{"path", card}, {"removable", true}, {"ejectable", true}}));

    auto items = lumivanectl(host, "items 'volume:" + card + "'");
    EXPECT_EQ(items.status, 0);
    EXPECT_EQ(items.out, card + "/DCIM/100CANON/IMG_1.CR2  18 B  raw  + IMG_1.JPG IMG_1.XMP\n" + card +
                             "/DCIM/100CANON/IMG_2.JPG  18 B  photo\n" + card +
                             "/DCIM/100CANON/MVI_3.MOV  18 B  video\n"
                             "3 items: 1 photo, 1 raw, 1 video; 2 twins and sidecars with them\n");
    EXPECT_EQ(lumivanectl(host, "items volume:/no/such/card").status, 1);

    // No folder given and none remembered: refused; once one is, it is used.
    EXPECT_EQ(lumivanectl(host, "import '" + card + "'").status, 1);
    ASSERT_TRUE(control.call("lumivane/import", "import.remember",
                             EncodableMap{{"settings", EncodableMap{{"destination", photos}}}}));
    auto imported = lumivanectl(host, "import '" + card + "'");
    EXPECT_EQ(imported.status, 0);
    EXPECT_EQ(imported.out, "done: 5 imported, 0 skipped, 0 failed of 5\n");
    EXPECT_TRUE(fs::exists(photos + "/IMG_1.XMP"));
}

}  // namespace
