// The user's folders as xdg-user-dirs writes them, and the forms not trusted.
#include "platform/linux/xdg_user_dirs.h"

#include <gtest/gtest.h>

namespace lumivane {
namespace {

TEST(XdgUserDirs, ThePicturesFolderIsReadAsXdgUserDirsWritesIt) {
    const std::string home = "/home/ada";
    struct Case {
        const char* name;
        std::string file;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"no file: the English default", "", "/home/ada/Pictures"},
        {"no entry for pictures", "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", "/home/ada/Pictures"},
        {"as written in German",
         "# written by "
         "xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n",
         "/home/ada/Bilder"},
        {"a folder of its own elsewhere", "XDG_PICTURES_DIR=\"/srv/photos/ada/\"\n", "/srv/photos/ada"},
        {"the last entry wins", "XDG_PICTURES_DIR=\"$HOME/A\"\nXDG_PICTURES_DIR=\"$HOME/B\"\n", "/home/ada/B"},
        {"a commented line is not an entry", "# XDG_PICTURES_DIR=\"/etc\"\n", "/home/ada/Pictures"},
        {"spaces in the name, a CR at the end", "  XDG_PICTURES_DIR=\"$HOME/My Photos\"\r\n", "/home/ada/My Photos"},
        {"$HOME alone turns it off", "XDG_PICTURES_DIR=\"$HOME/\"\n", std::nullopt},
        {"unquoted", "XDG_PICTURES_DIR=$HOME/Pictures\n", std::nullopt},
        {"relative", "XDG_PICTURES_DIR=\"Pictures\"\n", std::nullopt},
        {"another variable", "XDG_PICTURES_DIR=\"$USER/Pictures\"\n", std::nullopt},
        {"$HOME glued to a name", "XDG_PICTURES_DIR=\"$HOMEPAGE\"\n", std::nullopt},
        {"a command", "XDG_PICTURES_DIR=\"$HOME/`rm -rf ~`\"\n", std::nullopt},
        {"a variable inside", "XDG_PICTURES_DIR=\"/srv/$OTHER\"\n", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(xdgUserDir(c.file, "PICTURES", home), c.expected) << c.name;
    EXPECT_EQ(xdgUserDir("", "TEMPLATES", home), std::nullopt) << "no default for a kind without one";
}

}  // namespace
}  // namespace lumivane
