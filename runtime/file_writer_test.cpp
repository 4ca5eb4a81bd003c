#include "runtime/file_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "runtime/read_file.h"
#include "runtime/testing/temp_folder.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
std::string contents(const std::string& path) { return readFile(path, 1 << 20).value_or("<none>"); }

// The names in `folder`, so that a stray temporary shows up.
std::vector<std::string> names(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) out.push_back(entry.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(FileWriter, CommitsByReplaceOrByALinkThatKeepsAnExistingTarget) {
    struct Case {
        const char* name;
        bool targetExists;
        FileWriter::Commit how;
        bool ok;
        const char* after;
    };
    const Case cases[] = {
        {"replace, no target", false, FileWriter::Commit::replace, true, "new"},
        {"replace, old target", true, FileWriter::Commit::replace, true, "new"},
        {"keep existing, no target", false, FileWriter::Commit::keepExisting, true, "new"},
        {"keep existing, old target", true, FileWriter::Commit::keepExisting, false, "old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        auto target = folder / "photo.jpg";
        if (c.targetExists) put(target, "old");
        auto writer = FileWriter::create(target);
        ASSERT_TRUE(writer.ok());
        ASSERT_TRUE(writer.value().write("ne", 2).ok());
        ASSERT_TRUE(writer.value().write("w", 1).ok());
        EXPECT_EQ(contents(target), c.targetExists ? "old" : "<none>");  // nothing shows before the commit
        auto committed = writer.value().commit(c.how);
        EXPECT_EQ(committed.ok(), c.ok);
        if (!c.ok) {
            EXPECT_EQ(committed.error(), Error(Error::Code::nameTaken, "File exists"));
        }
        EXPECT_EQ(contents(target), c.after);
        EXPECT_EQ(names(folder.path()), std::vector<std::string>{"photo.jpg"});
    }
}

// A verification reads back exactly what was written, wherever the end falls
// against the disk's blocks and the read's pieces; the writer goes on
// writing and commits after it.
TEST(FileWriter, ReadsBackExactlyWhatWasWrittenAndGoesOnAfter) {
    const std::size_t sizes[] = {0, 1, 4095, 4096, 4097, (4 << 20) - 1, 4 << 20, (4 << 20) + 1, (9 << 20) + 5};
    for (bool bulk : {false, true}) {
        for (auto size : sizes) {
            SCOPED_TRACE(std::to_string(size) + (bulk ? " bytes, a bulk copy" : " bytes"));
            TempFolder folder;
            std::string bytes(size, '\0');
            for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 % 251);
            auto writer = FileWriter::create(folder / "clip.mov");
            ASSERT_TRUE(writer.ok());
            if (bulk) writer.value().bulkCopy();
            ASSERT_TRUE(writer.value().write(bytes.data(), bytes.size()).ok());
            std::string back;
            ASSERT_TRUE(writer.value()
                            .readBack([&](const std::uint8_t* data, std::size_t n) {
                                back.append(reinterpret_cast<const char*>(data), n);
                            })
                            .ok());
            EXPECT_EQ(back.size(), size);
            EXPECT_TRUE(back == bytes);
            ASSERT_TRUE(writer.value().write("tail", 4).ok());
            ASSERT_TRUE(writer.value().commit().ok());
            EXPECT_TRUE(readFile(folder / "clip.mov", 16 << 20) == bytes + "tail");
        }
    }
}

TEST(FileWriter, AbortDestructionAndAFailedWriteLeaveTheTargetAsItWas) {
    TempFolder folder;
    auto target = folder / "movie.mov";
    put(target, "old");
    {
        auto aborted = FileWriter::create(target);
        ASSERT_TRUE(aborted.ok());
        ASSERT_TRUE(aborted.value().write("partial", 7).ok());
        aborted.value().abort();
        EXPECT_FALSE(aborted.value().commit().ok());  // nothing left to commit
        auto dropped = FileWriter::create(target);
        ASSERT_TRUE(dropped.ok());
        ASSERT_TRUE(dropped.value().write("partial", 7).ok());
    }
    EXPECT_EQ(contents(target), "old");
    EXPECT_EQ(names(folder.path()), std::vector<std::string>{"movie.mov"});

    // A full disk: the file size limit stands in for it.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{}, limit{};
    getrlimit(RLIMIT_FSIZE, &saved);
    limit = saved;
    limit.rlim_cur = 4;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    {
        auto full = FileWriter::create(target);
        ASSERT_TRUE(full.ok());
        auto written = full.value().write("too long", 8);
        setrlimit(RLIMIT_FSIZE, &saved);
        ASSERT_FALSE(written.ok());
        EXPECT_EQ(written.error().message, "File too large");
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(contents(target), "old");
    EXPECT_EQ(names(folder.path()), std::vector<std::string>{"movie.mov"});
}

TEST(FileWriter, TargetsThatCannotBeWrittenAreRefusedBeforeAnythingIsCreated) {
    TempFolder folder;
    fs::create_directory(folder / "album");
    put(folder / "plain", "x");
    struct Case {
        std::string target;
        const char* error;
    };
    const Case cases[] = {
        {"", "Is a directory"},
        {folder / "album/", "Is a directory"},
        {folder / "album", "Is a directory"},
        {folder / "missing/photo.jpg", "No such file or directory"},
        {folder / "plain/photo.jpg", "Not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        auto checked = FileWriter::checkWritable(c.target);
        ASSERT_FALSE(checked.ok());
        EXPECT_EQ(checked.error().message, c.error);
        auto writer = FileWriter::create(c.target);
        ASSERT_FALSE(writer.ok());
        EXPECT_EQ(writer.error().message, c.error);
    }
    EXPECT_EQ(names(folder.path()), (std::vector<std::string>{"album", "plain"}));
    EXPECT_TRUE(FileWriter::checkWritable(folder / "photo.jpg").ok());
}

TEST(FileWriter, TakesTheModeLessTheUmask) {
    TempFolder folder;
    mode_t saved = ::umask(022);
    for (mode_t mode : {0644, 0600, 0666}) {
        auto target = folder / ("file" + std::to_string(mode));
        ASSERT_TRUE(writeFileAtomically(target, "x", mode).ok());
        struct stat info {};
        ASSERT_EQ(::stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, mode & ~022u) << std::oct << mode;
    }
    ::umask(saved);
}

TEST(FileWriter, RemovesStaleTemporariesOfItsTargetButNotALiveWritersOrOthers) {
    TempFolder folder;
    auto target = folder / "photo.jpg";
    put(folder / "photo.jpg.lumivane-AbC123", "killed mid-download");
    put(folder / "photo.jpg.lumivane-short", "not one of ours: wrong length");
    put(folder / "other.jpg.lumivane-AbC123", "another target's");
    auto live = FileWriter::create(folder / "photo.jpg");  // removes the stale one
    ASSERT_TRUE(live.ok());
    EXPECT_FALSE(fs::exists(folder / "photo.jpg.lumivane-AbC123"));
    EXPECT_TRUE(fs::exists(folder / "photo.jpg.lumivane-short"));
    EXPECT_TRUE(fs::exists(folder / "other.jpg.lumivane-AbC123"));

    FileWriter::removeStale(target);  // a second download to the same target
    EXPECT_TRUE(fs::exists(live.value().temporaryPath()));
    ASSERT_TRUE(live.value().write("ok", 2).ok());
    ASSERT_TRUE(live.value().commit().ok());
    EXPECT_EQ(contents(target), "ok");

    // A writer that keeps stale temporaries searches nothing; its caller
    // clears the temporaries of every target with a prefix at once.
    put(folder / ".job-1-1.lumivane-AbC123", "killed mid-copy");
    put(folder / ".job-10-1.lumivane-AbC123", "another job's");
    auto keeping = FileWriter::create(folder.path(), ".job-1-1", 0644, {}, FileWriter::Stale::keep);
    ASSERT_TRUE(keeping.ok());
    EXPECT_TRUE(fs::exists(folder / ".job-1-1.lumivane-AbC123"));
    FileWriter::removeStaleWithPrefix(folder.path(), ".job-1-");
    EXPECT_FALSE(fs::exists(folder / ".job-1-1.lumivane-AbC123"));
    EXPECT_TRUE(fs::exists(keeping.value().temporaryPath()));
    EXPECT_TRUE(fs::exists(folder / ".job-10-1.lumivane-AbC123"));
    EXPECT_TRUE(fs::exists(folder / "other.jpg.lumivane-AbC123"));
}

TEST(FileWriter, WritersOfOneTargetAtOnceNeverTakeEachOthersTemporary) {
    // Each new writer clears stale temporaries of its target: one that has
    // just been made and not yet locked must not look stale.
    TempFolder folder;
    constexpr int kThreads = 6, kEach = 40;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                auto writer = FileWriter::create(folder.path(), "same.jpg");
                bool ok = writer.ok() && writer.value().write("x", 1).ok() && writer.value().commitUnderFreeName().ok();
                failed += !ok;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(names(folder.path()).size(), std::size_t(kThreads * kEach));
}

TEST(FileWriter, WithinAFolderTheWayDownFollowsNoLinkAndStaysUnderIt) {
    TempFolder root, elsewhere;
    auto dest = root / "dest";
    fs::create_directories(dest + "/2026/12");
    fs::create_directories(root / "dest-other");
    fs::create_directory_symlink(elsewhere.path(), dest + "/swapped");
    fs::create_directory_symlink(dest + "/2026", dest + "/inner-link");
    struct Case {
        std::string folder;
        const char* error;  // nullptr: written
    };
    const Case cases[] = {
        {dest, nullptr},
        {dest + "/", nullptr},
        {dest + "/2026/12", nullptr},
        {dest + "/./2026//12/", nullptr},
        {dest + "/swapped", "Too many levels of symbolic links"},
        {dest + "/inner-link/12", "Too many levels of symbolic links"},  // even a link that stays inside
        {dest + "/2026/../../dest-other", "Permission denied"},
        {root / "dest-other", "Permission denied"},
        {root.path(), "Permission denied"},
        {"relative/dest", "Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        auto writer = FileWriter::create(c.folder, "photo.jpg", 0644, dest);
        if (!c.error) {
            ASSERT_TRUE(writer.ok()) << writer.error().message;
            ASSERT_TRUE(writer.value().write("in", 2).ok());
            ASSERT_TRUE(writer.value().commit().ok());
            EXPECT_EQ(contents(c.folder + "/photo.jpg"), "in");
            fs::remove(c.folder + "/photo.jpg");
        } else {
            ASSERT_FALSE(writer.ok());
            EXPECT_EQ(writer.error().message, c.error);
        }
    }
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
    EXPECT_TRUE(fs::is_empty(root / "dest-other"));
    // The root itself may be reached through a link: it is the caller's choice.
    fs::create_directory_symlink(dest, root / "chosen");
    EXPECT_TRUE(FileWriter::create(root / "chosen/2026", "photo.jpg", 0644, root / "chosen").ok());
}

TEST(FreeFileName, OneRuleNamesTheNextFreeFile) {
    TempFolder folder;
    auto put = [&](const std::string& name) { std::ofstream(folder / name) << "x"; };
    put("IMG_0001.JPG");
    put("IMG_0001 1.JPG");
    put("notes");
    put(".hidden");
    ASSERT_EQ(::symlink("/nowhere", (folder / "LINK.JPG").c_str()), 0);  // a dangling link is still a name
    struct Case {
        const char* name;
        std::set<std::string> reserved;  // names other imports have spoken for
        const char* expected;
    };
    const Case cases[] = {
        {"NEW.JPG", {}, "NEW.JPG"},
        {"IMG_0001.JPG", {}, "IMG_0001 2.JPG"},
        {"IMG_0001.JPG", {"IMG_0001 2.JPG"}, "IMG_0001 3.JPG"},
        {"NEW.JPG", {"NEW.JPG"}, "NEW 1.JPG"},
        {"notes", {}, "notes 1"},
        {".hidden", {}, ".hidden 1"},  // a leading dot starts no extension
        {"LINK.JPG", {}, "LINK 1.JPG"},
        {"a.tar.gz", {}, "a.tar.gz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto taken = [&](const std::string& path) { return c.reserved.count(path.substr(path.rfind('/') + 1)) > 0; };
        EXPECT_EQ(freeFileName(folder.path(), c.name, taken), c.expected);
    }
    EXPECT_EQ(numberedName("a.tar.gz", 2), "a.tar 2.gz");
}
