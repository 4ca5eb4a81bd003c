// What the host remembers of a person's import choices: the shoots named
// last and each device's own names, bounded and refused as a whole.
#include "bridges/import/import_settings.h"

#include <gtest/gtest.h>

#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

struct Settings : ::testing::Test {
    TempFolder home;
    ImportSettings settings{home.path() + "/" + ImportSettings::kFile};
};

TEST_F(Settings, ShootsAreKeptNewestFirstEachOnceAndFew) {
    for (int i = 1; i <= 10; ++i) ASSERT_TRUE(settings.remember({{"shoot", "Shoot " + std::to_string(i)}}).ok());
    ASSERT_TRUE(settings.remember({{"shoot", "Shoot 5"}}).ok());
    EncodableList expected;
    for (int i : {5, 10, 9, 8, 7, 6, 4, 3}) expected.push_back("Shoot " + std::to_string(i));
    EXPECT_EQ(*settings.load().find("shoots"), EncodableValue(expected));
    for (const auto& bad : {std::string(), std::string("a\nb"), std::string(101, 'a')})
        EXPECT_FALSE(settings.remember({{"shoot", bad}, {"rename", "{job}"}}).ok()) << bad;
    EXPECT_EQ(*settings.load().find("shoots"), EncodableValue(expected));
    EXPECT_FALSE(settings.load().find("rename")) << "a refused change changes nothing";
}

TEST_F(Settings, ADevicesOwnNamesAreKeptApartBoundedAndForgotten) {
    ASSERT_TRUE(settings.remember({{"subfolders", "{YYYY}"}}).ok());
    struct Case {
        const char* what;
        EncodableMap preset;
        bool kept;
    };
    const Case cases[] = {
        {"names and a shift", {{"subfolders", "{YYYY}/{job}"}, {"clockShift", 90}}, true},
        {"the longest shift", {{"clockShift", ImportSettings::kMaxClockShift}}, true},
        {"the longest shift back", {{"clockShift", -ImportSettings::kMaxClockShift}}, true},
        {"a shift past 30 days", {{"clockShift", ImportSettings::kMaxClockShift + 1}}, false},
        {"a shift as text", {{"clockShift", "90"}}, false},
        {"a destination", {{"destination", "/elsewhere"}}, false},
        {"a shoot", {{"shoot", "Harbour"}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto before = settings.preset("camera:EOS-1");
        EXPECT_EQ(settings.rememberPreset("camera:EOS-1", c.preset).ok(), c.kept);
        EXPECT_EQ(settings.preset("camera:EOS-1"), c.kept ? c.preset : before);
        EXPECT_EQ(*settings.load().find("subfolders"), EncodableValue("{YYYY}")) << "the general ones stay";
        EXPECT_FALSE(settings.load().find("clockShift"));
    }
    // As many devices as kept, and no more; one forgotten makes room.
    for (std::size_t i = 1; i < ImportSettings::kPresets; ++i)
        ASSERT_TRUE(settings.rememberPreset("volume:" + std::to_string(i), {{"rename", "{name}"}}).ok()) << i;
    EXPECT_FALSE(settings.rememberPreset("volume:one-more", {{"rename", "{name}"}}).ok());
    EXPECT_TRUE(settings.rememberPreset("camera:EOS-1", {{"rename", "{seq}"}}).ok()) << "one kept is replaced";
    ASSERT_TRUE(settings.rememberPreset("volume:1", {}).ok());
    EXPECT_EQ(settings.preset("volume:1"), EncodableMap{});
    EXPECT_TRUE(settings.rememberPreset("volume:one-more", {{"rename", "{name}"}}).ok());
}

}  // namespace
}  // namespace lumivane
