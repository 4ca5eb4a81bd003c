#include "platform/linux/zenity_open_panel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

namespace lumivane {
namespace {

TEST(ZenityOpenPanel, WithoutADisplayOrZenityThereIsNoFolderAndOneLineSaysWhy) {
    const char* display = std::getenv("DISPLAY");
    std::string saved = display ? display : "";
    unsetenv("WAYLAND_DISPLAY");
    struct Case {
        const char* display;
        const char* why;
    } cases[] = {{nullptr, "there is no display to show it on"}, {":99", "zenity is not installed"}};
    for (const auto& c : cases) {
        if (c.display && access("/usr/bin/zenity", X_OK) == 0) continue;  // it would open
        Log log = Log::capturing();
        ZenityOpenPanel panel(log);
        c.display ? setenv("DISPLAY", c.display, 1) : unsetenv("DISPLAY");
        auto outcome = panel.run({"Choose a folder", "Choose", "/tmp", false, true, true, false});
        EXPECT_FALSE(outcome.ok);
        EXPECT_FALSE(outcome.path);
        EXPECT_TRUE(log.contains(std::string("Lumivane: no folder chooser: ") + c.why)) << c.why;
    }
    display ? setenv("DISPLAY", saved.c_str(), 1) : unsetenv("DISPLAY");
}

}  // namespace
}  // namespace lumivane
