// Camera-roll listing, sizing and downloads through the host channel, over
// the simulated provider serving real files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "tests/support/camera_roll_fixture.h"

using namespace lumivane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Steady time that moves 50 ms every time it is read.
class TickingClock final : public Clock {
public:
    explicit TickingClock(long stepMs) : stepMs_(stepMs) {}
    Steady steadyNow() const override { return Steady(std::chrono::milliseconds(stepMs_ * ++ticks_)); }
    Wall wallNow() const override { return Wall(); }

private:
    long stepMs_;
    mutable std::atomic<long> ticks_{0};
};

}  // namespace

TEST_F(CameraRoll, MediaListsCameraFoldersNewestNumberedFirstWithSizesAndTimes) {
    for (auto name :
         {"100APPLE/IMG_0009.JPG", "100APPLE/IMG_0010.JPG", "100APPLE/IMG_0008.MOV", "100APPLE/NOEXT",
          "100APPLE/.hidden.JPG", "100APPLE/IMG_0001.", "101APPLE/IMG_0011.HEIC", ".Trashes/X.JPG", "MISC.X/Y.JPG"})
        file(name, 7);
    attachPhone();
    auto media = list("iphone.media");
    EXPECT_EQ(paths(media), (std::vector<std::string>{"101APPLE/IMG_0011.HEIC", "100APPLE/IMG_0010.JPG",
                                                      "100APPLE/IMG_0009.JPG", "100APPLE/IMG_0008.MOV"}));
    auto& first = *media[0].get<EncodableMap>();
    EXPECT_EQ(*first.find("name"), EncodableValue("IMG_0011.HEIC"));
    EXPECT_EQ(*first.find("dir"), EncodableValue(false));
    EXPECT_EQ(first.find("size")->integer(), 7);
    auto modified = first.find("modified")->integer().value_or(0);
    auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    EXPECT_NEAR(static_cast<double>(modified), static_cast<double>(now), 60'000.0);

    settle();
    auto scan = events("iphoneScan");
    ASSERT_GE(scan.size(), 3u);
    EXPECT_EQ(scan.front(), (EncodableMap{{"type", "iphoneScan"}, {"udid", udid}, {"stage", "listing"}}));
    EXPECT_EQ(scan[1],
              (EncodableMap{{"type", "iphoneScan"}, {"udid", udid}, {"stage", "sizing"}, {"done", 0}, {"total", 4}}));
    EXPECT_EQ(
        scan.back(),
        (EncodableMap{{"type", "iphoneScan"}, {"udid", udid}, {"stage", "arranging"}, {"done", 4}, {"total", 4}}));

    // A warm re-scan asks the phone nothing about files, and a file replaced
    // under the same path keeps its cached size.
    auto infoCalls = calls("info");
    file("100APPLE/IMG_0010.JPG", 99);
    h->events.clear();
    EXPECT_EQ(list("iphone.media"), media);
    EXPECT_EQ(calls("info"), infoCalls);
    settle();
    EXPECT_EQ(events("iphoneScan").size(), 1u);  // "listing" only
    EXPECT_TRUE(fs::exists(h->home / "Library/Application Support/com.lumivane.app/iphone-files/PHONE.json"));
}

TEST_F(CameraRoll, ChildrenListOneLevelWithCountsAtTheTop) {
    for (auto name : {"100APPLE/IMG_0001.JPG", "100APPLE/IMG_0002.JPG", "100APPLE/SUB/A.JPG", "101APPLE/IMG_0003.JPG"})
        file(name, 3);
    attachPhone();
    auto top = list("iphone.children");
    EXPECT_EQ(top,
              (EncodableList{EncodableMap{{"path", "100APPLE"}, {"name", "100APPLE"}, {"dir", true}, {"count", 3}},
                             EncodableMap{{"path", "101APPLE"}, {"name", "101APPLE"}, {"dir", true}, {"count", 1}}}));
    auto inside = list("iphone.children", {{"path", "100APPLE"}});
    ASSERT_EQ(inside.size(), 3u);
    EXPECT_EQ(*inside[0].get<EncodableMap>()->find("path"), EncodableValue("100APPLE/IMG_0001.JPG"));
    EXPECT_EQ(inside[0].get<EncodableMap>()->find("size")->integer(), 3);
    EXPECT_EQ(*inside[2].get<EncodableMap>(), (EncodableMap{{"path", "100APPLE/SUB"}, {"name", "SUB"}, {"dir", true}}));
    EXPECT_EQ(failure("iphone.children", {{"path", "NOPE"}}), "Object not found: /DCIM/NOPE");
}

TEST_F(CameraRoll, MissingTimesLeaveSizeOnlyAndAMissingSizeLeavesNeither) {
    file("100APPLE/IMG_0001.JPG", 5);
    attachPhone();
    control("phone.set", {{"hiddenInfoKeys", EncodableList{"st_birthtime", "st_mtime"}}});
    EXPECT_EQ(list("iphone.media")[0],
              EncodableValue(EncodableMap{
                  {"path", "100APPLE/IMG_0001.JPG"}, {"name", "IMG_0001.JPG"}, {"dir", false}, {"size", 5}}));
    file("100APPLE/IMG_0002.JPG", 5);
    control("phone.set", {{"hiddenInfoKeys", EncodableList{"st_size"}}});
    EXPECT_EQ(
        list("iphone.media")[0],
        EncodableValue(EncodableMap{{"path", "100APPLE/IMG_0002.JPG"}, {"name", "IMG_0002.JPG"}, {"dir", false}}));
}

TEST_F(CameraRoll, SizingUsesOneConnectionPerFortyFilesUpToEight) {
    struct Case {
        int files;
        std::uint64_t extraConnections;
        bool failThirdExtraOpen;
    } cases[] = {{39, 0, false}, {40, 0, false},  {41, 0, false}, {79, 0, false},
                 {80, 1, false}, {400, 7, false}, {400, 2, true}};
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.files);
        start({});
        udid = "PHONE" + std::to_string(round++);
        for (int i = 0; i < c.files; ++i) file("100APPLE/IMG_" + std::to_string(1000 + i) + ".JPG", 1);
        attachPhone();
        auto before = calls("service");
        // The control connection is the first service; its extra ones follow.
        if (c.failThirdExtraOpen) control("phone.fault", {{"op", "service"}, {"code", 5}, {"nth", 4}});
        auto media = list("iphone.media");
        ASSERT_EQ(media.size(), static_cast<std::size_t>(c.files));
        for (auto& entry : media) EXPECT_TRUE(entry.get<EncodableMap>()->find("size"));
        auto opened = calls("service") - before - 1 - (c.failThirdExtraOpen ? 1 : 0);
        EXPECT_EQ(opened, c.extraConnections);
        fs::remove_all(root());
    }
}

TEST_F(CameraRoll, SizingProgressIsThrottledToOneEventPerEightyMilliseconds) {
    struct Case {
        long stepMs;  // how far the clock moves at each reading (one per sized file)
        std::vector<std::int64_t> done;
    } cases[] = {
        {50, {0, 2, 4, 6, 8, 10}},  // 100 ms after two files
        {40, {0, 3, 6, 9}},         // exactly 80 ms after two files is not yet more than 80
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stepMs);
        TickingClock clock(c.stepMs);
        Host::Options options;
        options.clock = &clock;
        start(options);
        udid = "PHONE" + std::to_string(round++);
        for (int i = 0; i < 10; ++i) file("100APPLE/IMG_" + std::to_string(i) + ".JPG", 1);
        attachPhone();
        list("iphone.media");
        settle();
        std::vector<std::int64_t> done;
        for (auto& e : events("iphoneScan"))
            if (*e.find("stage") == EncodableValue("sizing")) done.push_back(*e.find("done")->integer());
        EXPECT_EQ(done, c.done);
        h.reset();  // before the clock goes
    }
}

TEST_F(CameraRoll, ThePhotoIndexIsCopiedThroughTheChannelWithIndexingProgress) {
    attachPhone();
    EXPECT_EQ(failure("iphone.photosIndex"), "The phone's photo index isn't readable over this connection.");
    fs::create_directories(root() + "/PhotoData");
    std::ofstream(root() + "/PhotoData/Photos.sqlite") << std::string(2 << 20, 'd');
    h->events.clear();
    auto response = call("iphone.photosIndex");
    auto* answer = std::get<EncodableValue>(response).get<EncodableMap>();
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer->find("copied"), EncodableValue(true));
    EXPECT_EQ(answer->find("bytes")->integer(), 2 << 20);
    settle();
    auto indexing = events("iphoneScan");
    ASSERT_FALSE(indexing.empty());
    EXPECT_EQ(
        indexing.front(),
        (EncodableMap{{"type", "iphoneScan"}, {"udid", udid}, {"stage", "indexing"}, {"done", 0}, {"total", 2 << 20}}));
    auto again = call("iphone.photosIndex");
    EXPECT_EQ(*std::get<EncodableValue>(again).get<EncodableMap>()->find("copied"), EncodableValue(false));
}

TEST_F(CameraRoll, ACorruptCacheFileIsIgnoredAndRewritten) {
    file("100APPLE/IMG_0001.JPG", 4);
    attachPhone();
    auto cache = h->home / "Library/Application Support/com.lumivane.app/iphone-files/PHONE.json";
    fs::create_directories(fs::path(cache).parent_path());
    std::ofstream(cache) << "{\"100APPLE/IMG_0001.JPG\": {\"size\": 1, \"modi";
    EXPECT_EQ(list("iphone.media")[0].get<EncodableMap>()->find("size")->integer(), 4);
    std::ifstream in(cache);
    auto json = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(json.is_object());
    EXPECT_EQ(json["100APPLE/IMG_0001.JPG"]["size"], 4);
}

TEST_F(CameraRoll, AListingThatLosesTheLinkReconnectsOnce) {
    file("100APPLE/IMG_0001.JPG", 4);
    attachPhone();
    control("phone.fault", {{"op", "dir"}, {"code", 12}});
    EXPECT_EQ(list("iphone.media").size(), 1u);
    control("phone.fault", {{"op", "dir"}, {"code", 12}, {"nth", 1}});
    control("phone.fault", {{"op", "dir"}, {"code", 12}, {"nth", 2}});
    EXPECT_EQ(failure("iphone.media"), "Operation timed out: /DCIM");
}

TEST_F(CameraRoll, LookupFailuresInOrder) {
    attachPhone();
    EXPECT_EQ(failure("iphone.media", {{"udid", 5}}), "No device given.");
    EXPECT_EQ(failure("iphone.media", {{"udid", "OTHER"}}),
              "The iPhone isn't on this network right now. Wake it, or plug it in once with Lumivane open.");
    // The download's own arguments are checked first, even for an unknown phone.
    EXPECT_EQ(failure("iphone.download", {{"udid", "OTHER"}, {"path", "a"}, {"target", "b"}}), "Bad download request.");
    EXPECT_EQ(failure("iphone.download", {{"path", "a"}, {"target", "b"}, {"token", 3}}), "Bad download request.");

    Host::Options without;
    without.bridges.iphone.provider = simulatedProviderPath("liblumivane_sim_mobile_device_incomplete.so");
    start(without);
    EXPECT_EQ(failure("iphone.media"), "This Mac can't reach iPhones over Wi-Fi (MobileDevice.framework is missing).");
}

TEST_F(CameraRoll, ADetachedPhoneWaitsForALinkThenFails) {
    attachPhone();
    control("phone.detach", {{"link", "usb"}});
    ASSERT_TRUE(h->loop.runUntil(
        [&] { return h->value("lumivane/macos", "iphone.list") == EncodableValue(EncodableList{}); }, 5s));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure("iphone.media"),
              "Ada's iPhone isn't answering over Wi-Fi. Wake it \u2014 turn its screen on \u2014 and try again.");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

// ---- downloads ----

struct Downloads : CameraRoll {
    std::string target() { return h->home / "out/photo.jpg"; }
    void SetUp() override {
        CameraRoll::SetUp();
        fs::create_directories(h->home / "out");
    }
    std::string contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    MethodResponse download(const std::string& path, const std::string& token, const std::string& to = "") {
        return call("iphone.download", {{"path", path}, {"target", to.empty() ? target() : to}, {"token", token}});
    }
    // Nothing but the target (or nothing at all) is left in the folder.
    std::vector<std::string> leftovers() {
        std::vector<std::string> names;
        for (auto& entry : fs::directory_iterator(h->home / "out")) names.push_back(entry.path().filename());
        return names;
    }
};

TEST_F(Downloads, CopiesInChunksWithProgressEndingAtTheTotal) {
    file("100APPLE/IMG_0001.MOV", 3 * 1048576 + 5);
    attachPhone();
    auto response = download("100APPLE/IMG_0001.MOV", "t1");
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(response));
    EXPECT_EQ(std::get<EncodableValue>(response), EncodableValue(target()));
    EXPECT_EQ(contents(target()).size(), 3u * 1048576 + 5);
    auto progress = events("download");  // sent before the answer
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(),
              (EncodableMap{{"type", "download"}, {"token", "t1"}, {"done", 1048576}, {"total", 3 * 1048576 + 5}}));
    EXPECT_EQ(progress.back().find("done")->integer(), 3 * 1048576 + 5);
    EXPECT_EQ(leftovers(), std::vector<std::string>{"photo.jpg"});
}

TEST_F(Downloads, FailuresLeaveTheTargetAsItWasAndNoTemporaryFile) {
    struct Case {
        const char* name;
        std::function<void(Downloads&)> arrange;
        std::string error;
    } cases[] = {
        {"cancelled before the first chunk",
         [](Downloads& d) {
             d.call("iphone.cancel", {{"token", "t"}});
         },
         "Cancelled"},
        {"a read error",
         [](Downloads& d) {
             d.control("phone.fault", {{"op", "read"}, {"code", 4}, {"nth", 2}});
         },
         "Read error: /DCIM/100APPLE/IMG_0001.MOV"},
        {"the link drops mid-transfer",
         [](Downloads& d) {
             d.control("phone.fault", {{"op", "read"}, {"code", 11}, {"nth", 2}, {"detach", true}});
         },
         "Service not connected: /DCIM/100APPLE/IMG_0001.MOV"},
        {"the file cannot be opened",
         [](Downloads& d) {
             d.control("phone.fault", {{"op", "open"}, {"code", 10}});
         },
         "Permission denied: /DCIM/100APPLE/IMG_0001.MOV"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start({});
        fs::create_directories(h->home / "out");
        file("100APPLE/IMG_0001.MOV", 3 * 1048576);
        attachPhone();
        std::ofstream(target()) << "what was there before";
        c.arrange(*this);
        auto response = download("100APPLE/IMG_0001.MOV", "t");
        ASSERT_TRUE(std::holds_alternative<MethodError>(response));
        EXPECT_EQ(std::get<MethodError>(response), (MethodError{"iphone", c.error, EncodableValue()}));
        EXPECT_EQ(contents(target()), "what was there before");
        EXPECT_EQ(leftovers(), std::vector<std::string>{"photo.jpg"});
    }
}

TEST_F(Downloads, AFileThatShrinksDuringTheCopyIsAShortCopy) {
    file("100APPLE/IMG_0001.MOV", 3 * 1048576);
    attachPhone();
    control("phone.set", {{"latencyMs", 100}});
    std::optional<Bytes> reply;
    h->host->messenger().deliver(
        "lumivane/macos",
        StandardMethodCodec::encodeMethodCall(
            {"iphone.download",
             EncodableMap{{"udid", udid}, {"path", "100APPLE/IMG_0001.MOV"}, {"target", target()}, {"token", "s"}}}),
        [&](Bytes bytes) { reply = std::move(bytes); });
    ASSERT_TRUE(h->loop.runUntil([&] { return !events("download").empty(); }, 5s));
    fs::resize_file(root() + "/DCIM/100APPLE/IMG_0001.MOV", 1048576 + 10);
    ASSERT_TRUE(h->loop.runUntil([&] { return reply.has_value(); }, 10s));
    auto response = *StandardMethodCodec::decodeEnvelope(reply->data(), reply->size());
    EXPECT_EQ(std::get<MethodError>(response).message, "100APPLE/IMG_0001.MOV: got 1048586 of 3145728 bytes.");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Downloads, AMissingSizeDownloadsWholeWithTotalZero) {
    file("100APPLE/IMG_0001.MOV", 2 * 1048576 + 1);
    attachPhone();
    control("phone.set", {{"hiddenInfoKeys", EncodableList{"st_size"}}});
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(download("100APPLE/IMG_0001.MOV", "z")));
    EXPECT_EQ(contents(target()).size(), 2u * 1048576 + 1);
    for (auto& event : events("download")) EXPECT_EQ(event.find("total")->integer(), 0);
}

TEST_F(Downloads, TwoDownloadsOfOnePhoneProgressTogether) {
    file("100APPLE/A.MOV", 4 * 1048576);
    file("100APPLE/B.MOV", 4 * 1048576);
    attachPhone();
    control("phone.set", {{"latencyMs", 30}});
    int answers = 0;
    for (auto [name, token] : {std::pair{"A.MOV", "a"}, std::pair{"B.MOV", "b"}}) {
        h->host->messenger().deliver(
            "lumivane/macos",
            StandardMethodCodec::encodeMethodCall(
                {"iphone.download", EncodableMap{{"udid", udid},
                                                 {"path", std::string("100APPLE/") + name},
                                                 {"target", h->home / ("out/" + std::string(name))},
                                                 {"token", token}}}),
            [&](Bytes) { ++answers; });
    }
    ASSERT_TRUE(h->loop.runUntil([&] { return answers == 2; }, 20s));
    auto progress = events("download");
    auto firstOf = [&](const char* token) {
        for (std::size_t i = 0; i < progress.size(); ++i)
            if (*progress[i].find("token") == EncodableValue(token)) return i;
        return progress.size();
    };
    auto lastOf = [&](const char* token) {
        std::size_t last = 0;
        for (std::size_t i = 0; i < progress.size(); ++i)
            if (*progress[i].find("token") == EncodableValue(token)) last = i;
        return last;
    };
    EXPECT_LT(firstOf("b"), lastOf("a"));
    EXPECT_LT(firstOf("a"), lastOf("b"));
    EXPECT_EQ(contents(h->home / "out/A.MOV").size(), 4u * 1048576);
    EXPECT_EQ(contents(h->home / "out/B.MOV").size(), 4u * 1048576);
}

TEST_F(Downloads, AFullDiskFailsWithTheSystemsWordsAndKeepsTheOldTarget) {
    file("100APPLE/IMG_0001.MOV", 3 * 1048576);
    attachPhone();
    std::ofstream(target()) << "old";
    // Files of this process may not grow past 1 MiB: the second chunk fails
    // as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1048576, RLIM_INFINITY};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    auto response = download("100APPLE/IMG_0001.MOV", "f");
    limit.rlim_cur = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &limit);
    ASSERT_TRUE(std::holds_alternative<MethodError>(response));
    EXPECT_EQ(std::get<MethodError>(response).message, std::string(std::strerror(EFBIG)));
    EXPECT_EQ(contents(target()), "old");
    EXPECT_EQ(leftovers(), std::vector<std::string>{"photo.jpg"});
}
