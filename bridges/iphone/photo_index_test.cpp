#include "bridges/iphone/photo_index.h"

#include <sys/stat.h>

#include "bridges/iphone/iphone_bridge_fixture.h"

using namespace lumivane;

namespace {

class PhotoIndexTest : public IPhoneBridgeTest {
protected:
    void SetUp() override {
        IPhoneBridgeTest::SetUp();
        udid = addPhone("");
        fs::create_directories(phoneFile(""));
        attach(udid, kAMDInterfaceUSB);
    }
    std::string phoneFile(const std::string& name) { return folder / udid + "/PhotoData/" + name; }
    std::string localFile(const std::string& name) {
        return PhotoIndex::folder(folder / "data", udid) + (name.empty() ? "" : "/" + name);
    }
    void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string read(const std::string& path) { return readBack(path).value_or("<none>"); }
    static std::optional<std::string> readBack(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    IPhoneResult<EncodableMap> copy() {
        std::optional<IPhoneResult<EncodableMap>> outcome;
        onPhone(udid, [&](IPhone& phone) {
            outcome.emplace(bridge->links().withControlConnection<EncodableMap>(
                phone, [&](AFCConnection& control) { return PhotoIndex(bridge->context(), phone, control).copy(); }));
        });
        return std::move(*outcome);
    }
    static bool copied(const EncodableMap& answer) { return *answer.find("copied") == EncodableValue(true); }
    // The phone's "st_mtime" text: nanoseconds since 1970.
    static std::string mtime(const std::string& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return std::to_string(std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec);
    }

    std::string udid;
};

}  // namespace

TEST_F(PhotoIndexTest, CopiesWhatThePhoneHasAndRemovesALogItNoLongerHas) {
    put(phoneFile("Photos.sqlite"), std::string(3 << 20, 'd'));  // three chunks
    put(phoneFile("Photos.sqlite-shm"), "shared memory");
    fs::create_directories(localFile(""));
    put(localFile("Photos.sqlite-wal"), "an old log");
    auto answer = copy();
    ASSERT_TRUE(answer.ok()) << answer.error().message;
    EXPECT_EQ(*answer.value().find("path"), EncodableValue(localFile("Photos.sqlite")));
    EXPECT_TRUE(copied(answer.value()));
    EXPECT_EQ(answer.value().find("bytes")->integer(), (3 << 20) + 13);
    EXPECT_TRUE(answer.value().find("ms")->integer());
    EXPECT_EQ(read(localFile("Photos.sqlite")), read(phoneFile("Photos.sqlite")));
    EXPECT_EQ(read(localFile("Photos.sqlite-shm")), "shared memory");
    EXPECT_FALSE(fs::exists(localFile("Photos.sqlite-wal")));
    EXPECT_EQ(read(localFile("stamp")), "Photos.sqlite:3145728:" + mtime(phoneFile("Photos.sqlite")) +
                                            "\nPhotos.sqlite-shm:13:" + mtime(phoneFile("Photos.sqlite-shm")));
    EXPECT_TRUE(log.contains("Lumivane iPhone: copied the photo index, 3145741 bytes in "));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(localFile(""))) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Photos.sqlite", "Photos.sqlite-shm", "stamp"}));
}

TEST_F(PhotoIndexTest, CopiesAgainOnlyWhenTheStampOrTheLocalDatabaseSaysSo) {
    for (const char* name : PhotoIndex::kFiles) put(phoneFile(name), std::string("first ") + name);
    ASSERT_TRUE(copy().ok());
    struct Case {
        const char* name;
        std::function<void()> change;
        bool copies;
    } cases[] = {
        {"nothing changed", [] {}, false},
        {"the local database was deleted", [&] { fs::remove(localFile("Photos.sqlite")); }, true},
        {"only the shared-memory file's time changed",
         [&] { fs::last_write_time(phoneFile("Photos.sqlite-shm"), fs::file_time_type::clock::now() + 1h); }, true},
        {"the log grew", [&] { put(phoneFile("Photos.sqlite-wal"), "a longer log than before"); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        auto reads = calls(udid, "read");
        auto answer = copy();
        ASSERT_TRUE(answer.ok());
        EXPECT_EQ(copied(answer.value()), c.copies);
        if (c.copies) {
            EXPECT_GE(calls(udid, "read") - reads, 3u);  // all three files, whatever changed
            EXPECT_EQ(read(localFile("Photos.sqlite-wal")), read(phoneFile("Photos.sqlite-wal")));
        } else {
            EXPECT_EQ(calls(udid, "read"), reads);
            EXPECT_EQ(answer.value().size(), 2u);  // no "bytes" or "ms"
        }
    }
}

TEST_F(PhotoIndexTest, AFailedCopyLeavesTheEarlierCopyAndItsStamp) {
    for (const char* name : PhotoIndex::kFiles) put(phoneFile(name), std::string("first ") + name);
    ASSERT_TRUE(copy().ok());
    auto stamp = read(localFile("stamp"));
    for (const char* name : PhotoIndex::kFiles) put(phoneFile(name), std::string("second, longer ") + name);
    // The log's first read fails, after the database has arrived (its data
    // and its end took the first two).
    auto reads = calls(udid, "read");
    sim.LVSimAddFault(udid.c_str(), "read", kAFCObjectNotFound, 3, nullptr, 0);
    auto answer = copy();
    ASSERT_FALSE(answer.ok());
    EXPECT_EQ(answer.error().message, "Object not found: /PhotoData/Photos.sqlite-wal");
    EXPECT_EQ(calls(udid, "read") - reads, 3u);
    EXPECT_EQ(read(localFile("stamp")), stamp);
    for (const char* name : PhotoIndex::kFiles) EXPECT_EQ(read(localFile(name)), std::string("first ") + name);
}

TEST_F(PhotoIndexTest, APhoneWithoutADatabaseSaysItsIndexIsUnreadable) {
    put(phoneFile("Photos.sqlite-wal"), "a log alone");
    auto answer = copy();
    ASSERT_FALSE(answer.ok());
    EXPECT_EQ(answer.error().message, "The phone's photo index isn't readable over this connection.");
    EXPECT_FALSE(fs::exists(localFile("stamp")));
}
