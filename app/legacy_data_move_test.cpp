#include "app/legacy_data_move.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>

#include "platform/common/file_user_defaults.h"
#include "platform/sim/sim_services.h"
#include "runtime/testing/temp_folder.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

constexpr const char* kBundle = "com.lumivane.app";

const char* kOldPreferences = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>flutter.theme</key><string>dark</string>
  <key>flutter.count</key><integer>3</integer>
  <key>flutter.tags</key><array><string>a</string><string>b</string></array>
  <key>NSWindow Frame Main</key><string>0 0 10 10</string>
</dict></plist>)";

struct Machine {
    TempFolder home;
    SimEnvironment environment{home.path(), kBundle};
    FileUserDefaults defaults{home / "defaults.json"};
    std::string container = home / "Library/Containers/com.lumivane.app/Data";
    std::string destination = home / "Library/Application Support/com.lumivane.app/lumivane.db";
    Log log = Log::capturing();

    void write(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    void oldPreferences() { write(container + "/Library/Preferences/com.lumivane.app.plist", kOldPreferences); }
    void oldDatabase(const std::string& text = "old database") { write(container + "/Documents/lumivane.db", text); }
    std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

}  // namespace

TEST(LegacyDataMove, CopiesOnlyFlutterPreferencesAndTheDatabase) {
    Machine m;
    m.oldPreferences();
    m.oldDatabase();
    moveLegacyData(m.environment, m.defaults, m.log);
    EXPECT_EQ(m.defaults.value("flutter.theme"), nlohmann::json("dark"));
    EXPECT_EQ(m.defaults.value("flutter.count"), nlohmann::json(3));
    EXPECT_EQ(m.defaults.value("flutter.tags"), nlohmann::json({"a", "b"}));
    EXPECT_FALSE(m.defaults.value("NSWindow Frame Main"));
    EXPECT_EQ(m.read(m.destination), "old database");
    // Nothing but the database is left in its folder: no temporary file.
    int files = 0;
    for ([[maybe_unused]] auto& entry : fs::directory_iterator(fs::path(m.destination).parent_path())) ++files;
    EXPECT_EQ(files, 1);
}

TEST(LegacyDataMove, QuietStops) {
    struct Case {
        const char* name;
        std::function<void(Machine&)> arrange;
        bool expectPreferences;
        bool expectDatabase;
    } cases[] = {
        {"sandboxed process", [](Machine& m) { m.environment.overrideVariable("APP_SANDBOX_CONTAINER_ID", "x"); },
         false, false},
        {"current preferences already hold flutter keys", [](Machine& m) { m.defaults.set("flutter.mine", "kept"); },
         false, true},
        {"no preferences file: the database still moves",
         [](Machine& m) { fs::remove(m.container + "/Library/Preferences/com.lumivane.app.plist"); }, false, true},
        {"corrupt preferences file: the database still moves",
         [](Machine& m) { m.write(m.container + "/Library/Preferences/com.lumivane.app.plist", "<plist><dict><key>"); },
         false, true},
        {"no database: preferences still move", [](Machine& m) { fs::remove(m.container + "/Documents/lumivane.db"); },
         true, false},
        {"no container at all", [](Machine& m) { fs::remove_all(m.home / "Library/Containers"); }, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        m.oldPreferences();
        m.oldDatabase();
        c.arrange(m);
        moveLegacyData(m.environment, m.defaults, m.log);
        EXPECT_EQ(m.defaults.value("flutter.theme").has_value(), c.expectPreferences);
        EXPECT_EQ(fs::exists(m.destination), c.expectDatabase);
    }
}

TEST(LegacyDataMove, NoBundleIdentifierMeansNoMove) {
    Machine m;
    m.oldPreferences();
    m.oldDatabase();
    SimEnvironment noBundle(m.home.path(), std::nullopt);
    moveLegacyData(noBundle, m.defaults, m.log);
    EXPECT_FALSE(m.defaults.value("flutter.theme"));
    EXPECT_FALSE(fs::exists(m.destination));
}

TEST(LegacyDataMove, AnExistingDatabaseIsNeverReplaced) {
    Machine m;
    m.oldDatabase("newer database in the container");
    m.write(m.destination, "current database");
    moveLegacyData(m.environment, m.defaults, m.log);
    EXPECT_EQ(m.read(m.destination), "current database");
}

TEST(LegacyDataMove, AFailedCopyLeavesNoFileUnderTheFinalName) {
    Machine m;
    // A source that cannot be copied (here a folder under the database's name).
    fs::create_directories(m.container + "/Documents/lumivane.db");
    moveLegacyData(m.environment, m.defaults, m.log);
    EXPECT_FALSE(fs::exists(m.destination));
    // and a later start, once the source is sound, still moves it
    fs::remove(m.container + "/Documents/lumivane.db");
    m.oldDatabase();
    moveLegacyData(m.environment, m.defaults, m.log);
    EXPECT_EQ(m.read(m.destination), "old database");
}

TEST(LegacyDataMove, ALeftoverTemporaryFromAnInterruptedCopyIsNotTheDatabase) {
    Machine m;
    m.oldDatabase("complete database");
    // An earlier start died mid-copy: only a partial temporary exists.
    m.write(m.home / "Library/Application Support/com.lumivane.app/lumivane.db.lumivane-AbC123", "compl");
    moveLegacyData(m.environment, m.defaults, m.log);
    EXPECT_EQ(m.read(m.destination), "complete database");
    EXPECT_FALSE(fs::exists(m.home / "Library/Application Support/com.lumivane.app/lumivane.db.lumivane-AbC123"));
}

namespace {

// A binary property list of one dictionary, its values given as raw objects
// (marker and contents), so that a test can hold what no writer would make.
std::string binaryDictionary(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out = "bplist00";
    std::vector<std::size_t> offsets{out.size()};
    auto n = static_cast<char>(entries.size());
    out += static_cast<char>(0xD0 | n);
    for (std::size_t i = 0; i < entries.size(); ++i) out += static_cast<char>(1 + i);                   // keys
    for (std::size_t i = 0; i < entries.size(); ++i) out += static_cast<char>(1 + entries.size() + i);  // values
    for (const auto& [key, value] : entries) {
        offsets.push_back(out.size());
        out += static_cast<char>(0x50 | key.size());
        out += key;
    }
    for (const auto& [key, value] : entries) {
        offsets.push_back(out.size());
        out += value;
    }
    std::size_t table = out.size();
    for (auto offset : offsets) out += {static_cast<char>(offset >> 8), static_cast<char>(offset & 0xFF)};
    std::string trailer(32, '\0');
    trailer[6] = 2;  // offset size
    trailer[7] = 1;  // reference size
    trailer[15] = static_cast<char>(offsets.size());
    trailer[30] = static_cast<char>(table >> 8);
    trailer[31] = static_cast<char>(table & 0xFF);
    return out + trailer;
}

std::string ascii(const std::string& text) { return static_cast<char>(0x50 | text.size()) + text; }

}  // namespace

TEST(LegacyDataMove, PreferencesItCannotStoreAreSkippedWithOneLineAndTheRestMoves) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::string> moved;
        const char* line;
    };
    std::string deep = "<plist><dict><key>flutter.deep</key>";
    for (int i = 0; i < 600; ++i) deep += "<array>";
    const Case cases[] = {
        {"a value holding a NUL (UTF-16): the file is refused whole",
         binaryDictionary({{"flutter.nul", std::string("\x62\0a\0\0", 5)}, {"flutter.ok", ascii("fine")}}),
         {},
         "Lumivane: the earlier build's preferences are unreadable"},
        {"a value that is not UTF-8",
         binaryDictionary({{"flutter.latin1", ascii("caf\xE9")}, {"flutter.ok", ascii("fine")}}),
         {"flutter.ok"},
         "Lumivane: earlier preferences that cannot be stored were not moved: flutter.latin1"},
        {"nesting past any real preference", deep, {}, "Lumivane: the earlier build's preferences are unreadable"},
        {"not a property list at all",
         "\x01\x02garbage",
         {},
         "Lumivane: the earlier build's preferences are unreadable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        m.write(m.container + "/Library/Preferences/com.lumivane.app.plist", c.file);
        m.oldDatabase();
        moveLegacyData(m.environment, m.defaults, m.log);
        std::vector<std::string> keys;
        auto moved = m.defaults.dictionary();
        for (const auto& [key, value] : moved.items()) keys.push_back(key);
        EXPECT_EQ(keys, c.moved);
        ASSERT_EQ(m.log.lines().size(), 1u);
        EXPECT_EQ(m.log.lines()[0].rfind(c.line, 0), 0u) << m.log.lines()[0];
        EXPECT_EQ(m.read(m.destination), "old database");  // the database still moves
        m.defaults.flush();
    }
}
