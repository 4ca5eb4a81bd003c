// Templates and single verified copies, over a source of the test's own.
#include "bridges/import/item_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "bridges/import/testing/no_metadata.h"
#include "runtime/testing/temp_folder.h"

namespace lumivane {
namespace {

namespace fs = std::filesystem;

TEST(ImportTemplate, RefusesWhatCouldLeaveTheDestinationAndRendersTheRest) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    struct Case {
        const char* text;
        ImportTemplate::Kind kind;
        const char* rendered;  // null: refused at parse
    };
    using K = ImportTemplate::Kind;
    const Case cases[] = {
        {"", K::folders, ""},
        {"{YYYY}/{YYYY}-{MM}-{DD}", K::folders, "2021/2021-07-04"},
        {"{YYYY}{MM}{DD}_{hh}{mm}{ss}_{name}", K::fileName, "20210704_071530_IMG_0001"},
        {"{device}/{ext}-{seq}", K::folders, "Ada_s phone/JPG-7"},
        {"{job}/{YYYY}", K::folders, "Wed_ding/2021"},
        {"{name}", K::fileName, "IMG_0001"},
        {"..", K::folders, nullptr},
        {"a/../b", K::folders, nullptr},
        {"./a", K::folders, nullptr},
        {"/abs", K::folders, nullptr},
        {"a//b", K::folders, nullptr},
        {"a/", K::folders, nullptr},
        {"{YYYY", K::folders, nullptr},
        {"YYYY}", K::folders, nullptr},
        {"{yyyy}", K::folders, nullptr},
        {"a/{name}", K::fileName, nullptr},
        {"", K::fileName, nullptr},
        {"a\nb", K::folders, nullptr},
        {"{name}\t", K::fileName, nullptr},
    };
    ImportNameFields fields{1625382930, "IMG_0001", "JPG", 7, "Ada/s phone", "Wed/ding"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto parsed = ImportTemplate::parse(c.text, c.kind);
        ASSERT_EQ(parsed.ok(), c.rendered != nullptr);
        if (!c.rendered) {
            EXPECT_EQ(parsed.error().code, Error::Code::badInput);
            continue;
        }
        auto rendered = parsed.value().render(fields);
        ASSERT_TRUE(rendered.ok());
        EXPECT_EQ(rendered.value(), c.rendered);
    }
    // Names that could never be made are refused at once; the longest that can be, taken.
    std::string years;
    for (int i = 0; i < 64; ++i) years += "{YYYY}";
    const std::pair<std::string, bool> lengths[] = {
        {years, false},                            // 256 bytes at least
        {years.substr(6 * 2) + "{MM}{DD}", true},  // 252
        {std::string(255, 'x'), true},             // one folder of 255
        {std::string(256, 'x'), false},
        {std::string(255, 'x') + "/" + std::string(255, 'y') + "/{YYYY}", true},
        {"a/" + std::string(256, 'x') + "/b", false},  // a long part in the middle
    };
    for (const auto& [text, taken] : lengths)
        EXPECT_EQ(ImportTemplate::parse(text, K::folders).ok(), taken) << text.size();
    EXPECT_TRUE(ImportTemplate::parse(std::string(240, 'x'), K::fileName).ok());
    EXPECT_FALSE(ImportTemplate::parse(std::string(241, 'x'), K::fileName).ok());
    // A token that renders to nothing or to dots is no folder.
    for (const char* name : {"", ".", ".."}) {
        auto parsed = ImportTemplate::parse("{name}/x", K::folders);
        ASSERT_TRUE(parsed.ok());
        EXPECT_FALSE(parsed.value().render({0, name, "", 1, ""}).ok()) << name;
    }
    ::unsetenv("TZ");
    ::tzset();
}

// A copy watched by a test: cancelled when it says, no duplicates, nothing journaled.
struct Watch final : CopyObserver {
    std::function<bool()> cancel = [] { return false; };
    bool cancelled() override { return cancel(); }
    void copied(std::int64_t) override {}
    std::optional<std::string> duplicate(std::int64_t, const std::string&) override { return std::nullopt; }
    Result<void> naming(const std::string&, const std::string&) override { return {}; }
};

// A device of one item whose bytes the test chooses, sent in small chunks.
struct OneItemSource final : ImportSource {
    std::string bytes;
    std::function<void(std::size_t chunk)> between;  // runs before each chunk
    std::string name() const override { return "Test"; }
    std::string identity() const override { return "test:1"; }
    bool canDelete() const override { return false; }
    Result<std::vector<ImportItem>> list() override { return std::vector<ImportItem>{}; }
    Result<void> read(const ImportItem&, const Sink& sink, const std::function<bool()>& cancelled) override {
        for (std::size_t at = 0, n = 0; at < bytes.size(); at += 4, ++n) {
            if (between) between(n);
            if (cancelled()) return failure(Error{Error::Code::cancelled, "Cancelled."});
            auto chunk = bytes.substr(at, 4);
            if (auto put = sink(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()); !put.ok())
                return put;
        }
        return {};
    }
    Result<void> remove(const ImportItem&) override { return failure(Error{"no"}); }
};

struct Copy : ::testing::Test {
    TempFolder folder;
    NoPhotoMetadata photos;
    NoVideoFrames videos;
    CopyPlan plan{folder.path(),
                  "",
                  ImportTemplate::parse("", ImportTemplate::Kind::folders).value(),
                  ImportTemplate::parse("{name}", ImportTemplate::Kind::fileName).value(),
                  true,
                  "job-1",
                  "Test"};
    ItemCopy copier{plan, {photos, videos}};

    void SetUp() override { ASSERT_TRUE(copier.holdFolders().ok()); }

    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder.path())) found.push_back(entry.path().filename());
        std::sort(found.begin(), found.end());
        return found;
    }
};

TEST_F(Copy, AnItemThatChangesOrIsCancelledLeavesNoFile) {
    struct Case {
        const char* why;
        std::int64_t listedSize;
        bool cancelAtSecondChunk;
        bool diskChangesIt;  // what the disk holds differs from what was written
        ItemCopy::Outcome::Kind kind;
    };
    using K = ItemCopy::Outcome::Kind;
    const Case cases[] = {
        {"it grew", 8, false, false, K::failed},
        {"it shrank", 40, false, false, K::failed},
        {"cancelled", 12, true, false, K::cancelled},
        {"read back other bytes", 12, false, true, K::failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        OneItemSource source;
        source.bytes = "twelve bytes";
        bool cancel = false;
        source.between = [&](std::size_t chunk) {
            cancel = c.cancelAtSecondChunk && chunk == 1;
            if (c.diskChangesIt && chunk == 2) {
                // A byte already written turns, as a failing disk's would.
                std::string temporary;
                for (const auto& entry : fs::directory_iterator(folder.path())) temporary = entry.path();
                int fd = ::open(temporary.c_str(), O_WRONLY);
                ASSERT_GE(fd, 0) << temporary;
                EXPECT_EQ(::pwrite(fd, "T", 1, 0), 1);
                ::close(fd);
            }
        };
        Watch watch;
        watch.cancel = [&] { return cancel; };
        auto copied = copier.copy(source, {"DCIM/A.JPG", c.listedSize, 1e9}, 1, watch);
        EXPECT_EQ(copied.kind, c.kind);
        EXPECT_EQ(names(), std::vector<std::string>{});
    }
}

TEST_F(Copy, CopiesOfOneNameAtOnceTakeFreeNamesAndKeepTheFileTime) {
    OneItemSource first, second;
    first.bytes = "first copy..";
    second.bytes = "second copy.";
    Watch watchOne, watchTwo;
    ItemCopy::Outcome a, b;
    std::thread one([&] { a = copier.copy(first, {"A.JPG", 12, 1600000000.5}, 1, watchOne); });
    std::thread two([&] { b = copier.copy(second, {"A.JPG", 12, 1600000000.5}, 2, watchTwo); });
    one.join();
    two.join();
    ASSERT_EQ(a.kind, ItemCopy::Outcome::Kind::imported);
    ASSERT_EQ(b.kind, ItemCopy::Outcome::Kind::imported);
    EXPECT_EQ(names(), (std::vector<std::string>{"A 1.JPG", "A.JPG"}));
    EXPECT_NE(a.copy.path, b.copy.path);
    EXPECT_NE(a.copy.hash, b.copy.hash);
    EXPECT_EQ(ItemCopy::hashOf(a.copy.path), a.copy.hash);
    struct stat info {};
    ASSERT_EQ(::stat(a.copy.path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1600000000);
    // The file time named it: neither fake knows a capture time.
    EXPECT_EQ(a.copy.captureTime, 1600000000);
}

}  // namespace
}  // namespace lumivane
