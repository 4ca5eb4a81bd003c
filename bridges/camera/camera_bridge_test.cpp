#include "bridges/camera/camera_bridge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "bridges/common/testing/handler_call.h"
#include "channel/binary_messenger.h"
#include "channel/standard_codec.h"
#include "platform/ffmpeg/ffmpeg_video_frames.h"
#include "platform/sim/sim_cameras.h"
#include "platform/vips/vips_imaging.h"
#include "runtime/testing/temp_folder.h"
#include "tools/sample_images/sample_images.h"
#include "tools/sample_images/sample_videos.h"

namespace lumivane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct CameraBridgeTest : ::testing::Test {
    TempFolder folder;
    MainLoop loop;
    Log log = Log::capturing();
    HostMessenger messenger;
    std::vector<EncodableValue> sent;
    std::shared_ptr<EventHandler> events = std::make_shared<EventHandler>(loop);
    VipsImaging imaging;
    FfmpegVideoFrames frames{imaging};
    SimCameraBrowser browser{loop, imaging, frames};
    CameraBridge bridge{browser, loop, events};

    void SetUp() override {
        messenger.setOutbound([&](const std::string&, Bytes message) {
            sent.push_back(
                std::get<EncodableValue>(*StandardMethodCodec::decodeEnvelope(message.data(), message.size())));
        });
        events->onListen(EncodableValue(), std::make_unique<EventSink>(messenger, "lumivane/macos/events"));
        bridge.start(messenger);
    }
    // Runs the reports made so far, and those of every catalogue being read.
    void settle() {
        loop.runUntil([] { return false; }, 30ms);
        ASSERT_TRUE(loop.runUntil([&] { return browser.catalogued(); }, 10s));
    }
    int cameraEvents() {
        settle();
        auto count = std::count(sent.begin(), sent.end(), EncodableValue(EncodableMap{{"type", "cameras"}}));
        sent.clear();
        return int(count);
    }
    MethodResponse call(const std::string& method, EncodableMap args = {}) {
        return callHandler(bridge, loop, log, method, std::move(args));
    }
    // Answers that come later: runs the loop until it arrives.
    MethodResponse later(const std::string& method, EncodableMap args) {
        return callHandler(bridge, loop, log, method, std::move(args));
    }
    EncodableValue value(const std::string& method, EncodableMap args = {}) {
        auto response = call(method, std::move(args));
        auto* v = std::get_if<EncodableValue>(&response);
        return v ? *v : EncodableValue("<not a value>");
    }
    std::string error(const std::string& method, EncodableMap args) {
        auto response = call(method, std::move(args));
        auto* e = std::get_if<MethodError>(&response);
        return e ? e->code + ": " + e->message.value_or("") : "<no error>";
    }
    std::string card(const std::string& name) {
        auto root = folder / name;
        fs::create_directories(root + "/DCIM/100CANON");
        std::ofstream(root + "/DCIM/100CANON/IMG_0001.JPG") << "jpeg";
        std::ofstream(root + "/DCIM/100CANON/MVI_0002.MOV") << "movie!";
        std::ofstream(root + "/DCIM/100CANON/.hidden") << "x";
        std::ofstream(root + "/MISC.TXT") << "text";
        return root;
    }
};

TEST_F(CameraBridgeTest, DevicesAreListedInOrderWithTheirFallbacksAndEveryChangeSendsOneEvent) {
    EXPECT_EQ(value("camera.list"), EncodableValue(EncodableList{}));
    browser.add({.uuid = "A",
                 .name = "EOS R6",
                 .kind = "Camera",
                 .transport = "ICTransportTypeUSB",
                 .serial = "123",
                 .root = card("a")});
    auto reader = browser.add({.root = card("b"), .canEject = false, .ready = false});
    browser.add({.uuid = "P", .root = card("p"), .camera = false});  // not a camera: never listed
    EXPECT_EQ(cameraEvents(), 5);                                    // two adds, two session reports, and A ready
    EXPECT_EQ(value("camera.list"), EncodableValue(EncodableList{
                                        EncodableMap{{"id", "A"},
                                                     {"name", "EOS R6"},
                                                     {"kind", "Camera"},
                                                     {"transport", "usb"},
                                                     {"locked", false},
                                                     {"ready", true},
                                                     {"canEject", true},
                                                     {"serial", "123"},
                                                     {"count", 3}},
                                        EncodableMap{{"id", reader},
                                                     {"name", "Camera"},
                                                     {"kind", ""},
                                                     {"transport", "other"},
                                                     {"locked", false},
                                                     {"ready", false},
                                                     {"canEject", false}},
                                    }));
    EXPECT_EQ(error("camera.media", {{"id", reader}}), "not_ready: Still reading the device\u2026");
    browser.setLocked("A", true);
    EXPECT_EQ(cameraEvents(), 1);
    EXPECT_EQ(error("camera.media", {{"id", "A"}}), "locked: Unlock EOS R6 to see its files.");
    browser.remove("A");  // unplugged while locked
    EXPECT_EQ(cameraEvents(), 1);
    browser.add({.uuid = "A", .name = "EOS R6", .root = folder / "a"});
    settle();
    auto list = value("camera.list");
    ASSERT_EQ(list.get<EncodableList>()->size(), 2u);
    EXPECT_EQ(*(*list.get<EncodableList>())[1].get<EncodableMap>()->find("id"), EncodableValue("A"));  // to the end
    EXPECT_EQ(*(*list.get<EncodableList>())[1].get<EncodableMap>()->find("locked"),
              EncodableValue(false));  // plugged back
    EXPECT_EQ(error("camera.media", {}), "gone: That device is no longer connected.");
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(call("camera.noSuchMethod")));
}

TEST_F(CameraBridgeTest, ASessionThatFailsLocksOnlyForThePasscodeCode) {
    browser.add({.uuid = "PHONE", .name = "Ada's iPhone", .root = card("p"), .sessionError = -9943});
    browser.add({.uuid = "OLD", .root = card("o"), .sessionError = -9912});
    EXPECT_EQ(cameraEvents(), 4);  // each add and each session report, error or not
    EXPECT_EQ(error("camera.media", {{"id", "PHONE"}}), "locked: Unlock Ada's iPhone to see its files.");
    EXPECT_EQ(error("camera.media", {{"id", "OLD"}}), "not_ready: Still reading the device\u2026");
    browser.setLocked("PHONE", false);
    browser.makeReady("PHONE");
    EXPECT_EQ(cameraEvents(), 2);
    EXPECT_TRUE(value("camera.media", {{"id", "PHONE"}}).get<EncodableList>());
    browser.closeSession("PHONE");
    EXPECT_EQ(cameraEvents(), 1);
    EXPECT_EQ(error("camera.media", {{"id", "PHONE"}}), "not_ready: Still reading Ada's iPhone\u2026");
}

TEST_F(CameraBridgeTest, TheCatalogIsBrowsedFolderByFolderOrAsOneListOfMedia) {
    browser.add({.uuid = "A",
                 .name = "EOS R6",
                 .root = card("a"),
                 .mediaFiles = std::vector<std::string>{"DCIM/100CANON/IMG_0001.JPG", "DCIM/100CANON/MVI_0002.MOV"}});
    settle();
    auto top = value("camera.children", {{"id", "A"}});
    ASSERT_TRUE(top.get<EncodableList>());
    ASSERT_EQ(top.get<EncodableList>()->size(), 2u);
    auto& dcim = *(*top.get<EncodableList>())[0].get<EncodableMap>();
    EXPECT_EQ(*dcim.find("path"), EncodableValue("DCIM"));
    EXPECT_EQ(*dcim.find("dir"), EncodableValue(true));
    EXPECT_EQ(*dcim.find("count"), EncodableValue(1));
    auto inner = value("camera.children", {{"id", "A"}, {"path", "DCIM/100CANON/"}});
    ASSERT_EQ(inner.get<EncodableList>()->size(), 2u);  // the hidden file is left out
    auto& photo = *(*inner.get<EncodableList>())[0].get<EncodableMap>();
    EXPECT_EQ(*photo.find("path"), EncodableValue("DCIM/100CANON//IMG_0001.JPG"));  // the argument, unchanged
    EXPECT_EQ(*photo.find("uti"), EncodableValue("public.jpeg"));
    EXPECT_EQ(*photo.find("size"), EncodableValue(4));
    EXPECT_TRUE(photo.find("modified"));
    EXPECT_EQ(error("camera.children", {{"id", "A"}, {"path", "MISC.TXT"}}), "not_found: No folder MISC.TXT on EOS R6");
    auto media = value("camera.media", {{"id", "A"}});
    ASSERT_EQ(media.get<EncodableList>()->size(), 2u);
    EXPECT_EQ(*(*media.get<EncodableList>())[1].get<EncodableMap>()->find("path"),
              EncodableValue("DCIM/100CANON/MVI_0002.MOV"));

    // Real pictures and videos carry their pixel size and length; the
    // catalogue is the one the device read, until it reports a change.
    ASSERT_TRUE(samples::write(folder / "a/DCIM/100CANON/IMG_0001.JPG", {.width = 400, .height = 300}));
    ASSERT_TRUE(makeVideo(folder / "a/DCIM/100CANON/MVI_0002.MOV", {.seconds = 1.5}));
    EXPECT_EQ(value("camera.media", {{"id", "A"}}), media);
    sent.clear();
    browser.itemsChanged("A", true, true);
    EXPECT_EQ(cameraEvents(), 2);  // added and removed, once the folder is read again
    auto real = value("camera.media", {{"id", "A"}});
    auto& still = *(*real.get<EncodableList>())[0].get<EncodableMap>();
    EXPECT_EQ(*still.find("width"), EncodableValue(400));
    EXPECT_EQ(*still.find("height"), EncodableValue(300));
    EXPECT_FALSE(still.find("duration"));
    auto& movie = *(*real.get<EncodableList>())[1].get<EncodableMap>();
    ASSERT_TRUE(movie.find("duration") && movie.find("duration")->get<double>());
    EXPECT_NEAR(*movie.find("duration")->get<double>(), 1.5, 0.1);
}

TEST_F(CameraBridgeTest, ThumbnailsDownloadsCancelAndEject) {
    auto root = card("a");
    ASSERT_TRUE(samples::write(root + "/DCIM/100CANON/IMG_0003.JPG", {.width = 800, .height = 600, .thumbnail = 160}));
    std::ofstream(root + "/DCIM/100CANON/BIG.MOV", std::ios::binary) << std::string(5 << 20, 'v');
    ASSERT_EQ(::mkfifo((root + "/DCIM/100CANON/IMG_0009.JPG").c_str(), 0600), 0);  // would block whoever reads it
    browser.add({.uuid = "A", .name = "EOS R6", .root = root});
    EncodableValue media;
    loop.runUntil(
        [&] {
            media = value("camera.media", {{"id", "A"}});
            return media.get<EncodableList>() != nullptr;
        },
        10s);
    ASSERT_TRUE(media.get<EncodableList>());
    for (const auto& item : *media.get<EncodableList>())
        EXPECT_NE(*item.get<EncodableMap>()->find("name"), EncodableValue("IMG_0009.JPG"));
    auto thumb = later("camera.thumbnail", {{"id", "A"}, {"path", "DCIM/100CANON/IMG_0003.JPG"}, {"px", "300"}});
    ASSERT_TRUE(std::get<EncodableValue>(thumb).get<Bytes>());
    EXPECT_EQ(samples::look(*std::get<EncodableValue>(thumb).get<Bytes>()).width, 160);  // its own, at most 256
    EXPECT_EQ(error("camera.thumbnail", {{"id", "A"}, {"path", ""}}), "not_found:  is no longer on the device.");
    EXPECT_EQ(error("camera.thumbnail", {{"id", "A"}, {"path", "DCIM"}}),
              "not_found: DCIM is no longer on the device.");

    // A taken name keeps both files; progress never passes the total.
    auto into = folder / "imports";
    fs::create_directories(into);
    std::ofstream(into + "/IMG_0003.JPG") << "mine";
    sent.clear();
    auto saved = later("camera.download", {{"id", "A"},
                                           {"path", "DCIM/100CANON/IMG_0003.JPG"},
                                           {"dir", into},
                                           {"name", "IMG_0003.JPG"},
                                           {"token", "t1"}});
    EXPECT_EQ(std::get<EncodableValue>(saved), EncodableValue(into + "/IMG_0003 1.JPG"));
    std::string kept;
    std::getline(std::ifstream(into + "/IMG_0003.JPG"), kept);
    EXPECT_EQ(kept, "mine");  // never overwritten
    // The last progress event tells the whole file, whatever its size.
    auto total = std::int64_t(fs::file_size(root + "/DCIM/100CANON/IMG_0003.JPG"));
    auto finished = [&] { return !sent.empty() && sent.back().get<EncodableMap>()->find("done")->integer() == total; };
    loop.runUntil(finished, 10s);
    ASSERT_TRUE(finished());
    for (auto& event : sent) {
        auto& map = *event.get<EncodableMap>();
        EXPECT_LE(map.find("done")->integer(), map.find("total")->integer());
        EXPECT_EQ(map.find("total")->integer(), total);
    }
    // A name is one plain file name: nothing lands outside "dir".
    auto sub = folder / "other/sub";
    fs::create_directories(sub);
    for (const char* name : {"../IMG_0003.JPG", "/tmp/IMG_0003.JPG", ".", "..", ""}) {
        SCOPED_TRACE(name);
        auto refused =
            later("camera.download",
                  {{"id", "A"}, {"path", "DCIM/100CANON/IMG_0003.JPG"}, {"dir", sub}, {"name", name}, {"token", "t9"}});
        ASSERT_TRUE(std::holds_alternative<MethodError>(refused));
        EXPECT_EQ(std::get<MethodError>(refused).code, "download_failed");
    }
    EXPECT_TRUE(fs::is_empty(sub));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "other"), fs::directory_iterator()), 1);
    // Confined "within" a folder: a folder under it that is a link is not followed.
    fs::create_directory_symlink(sub, into + "/day");
    auto swapped = later("camera.download", {{"id", "A"},
                                             {"path", "DCIM/100CANON/IMG_0003.JPG"},
                                             {"dir", into + "/day"},
                                             {"name", "IMG_0003.JPG"},
                                             {"token", "t8"},
                                             {"within", into}});
    ASSERT_TRUE(std::holds_alternative<MethodError>(swapped));
    EXPECT_EQ(*std::get<MethodError>(swapped).message, "Too many levels of symbolic links");
    EXPECT_TRUE(fs::is_empty(sub));
    fs::remove(into + "/day");
    EXPECT_EQ(error("camera.download", {{"id", "A"}, {"path", "DCIM/100CANON/IMG_0003.JPG"}, {"dir", into}}),
              "download_failed: Missing name.");

    // No progress object: the answer alone.
    browser.setBehaviour("A", {.noProgress = true});
    sent.clear();
    auto quiet = later("camera.download", {{"id", "A"},
                                           {"path", "DCIM/100CANON/IMG_0001.JPG"},
                                           {"dir", into},
                                           {"name", "IMG_0001.JPG"},
                                           {"token", "t0"}});
    EXPECT_EQ(std::get<EncodableValue>(quiet), EncodableValue(into + "/IMG_0001.JPG"));
    settle();
    EXPECT_TRUE(sent.empty());

    // Cancelled a chunk in: an error, and nothing left behind.
    browser.setBehaviour("A", {.chunkDelay = 100ms});
    std::optional<MethodResponse> cancelled;
    MethodResult result(
        "camera.download",
        [&](Bytes reply) { cancelled = *StandardMethodCodec::decodeEnvelope(reply.data(), reply.size()); }, log);
    bridge.handle(
        {"camera.download",
         EncodableMap{
             {"id", "A"}, {"path", "DCIM/100CANON/BIG.MOV"}, {"dir", into}, {"name", "BIG.MOV"}, {"token", "t2"}}},
        result);
    loop.runUntil([] { return false; }, 150ms);
    EXPECT_EQ(value("camera.cancel", {{"token", "t2"}}), EncodableValue());
    loop.runUntil([&] { return cancelled.has_value(); }, 10s);
    ASSERT_TRUE(cancelled && std::holds_alternative<MethodError>(*cancelled));
    EXPECT_EQ(std::get<MethodError>(*cancelled).code, "download_failed");
    std::vector<std::string> left;
    for (auto& entry : fs::directory_iterator(into)) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"IMG_0001.JPG", "IMG_0003 1.JPG", "IMG_0003.JPG"}));

    browser.setEjectError("A", "The camera is busy.");
    EXPECT_EQ(std::get<MethodError>(later("camera.eject", {{"id", "A"}})).message, "The camera is busy.");
    EXPECT_EQ(std::get<EncodableValue>(later("camera.eject", {{"id", "A"}})), EncodableValue());
    settle();
    EXPECT_EQ(value("camera.list"), EncodableValue(EncodableList{}));  // gone, as unplugged
    EXPECT_EQ(value("camera.eject", {{"id", "A"}}), EncodableValue());
    auto reader = browser.add({.root = card("b"), .canEject = false});
    settle();
    EXPECT_EQ(error("camera.eject", {{"id", reader}}), "cannot_eject: Turn the camera off before unplugging it.");
}

// Where a camera reads parts of files, an import reads any part of an item
// (a video's index at its end), in as many of the device's parts as it takes.
TEST_F(CameraBridgeTest, AnImportReadsAnyPartOfAFileWhereTheCameraReadsParts) {
    ImportSources sources;
    bridge.offerImports(sources, folder.path());
    fs::create_directories(folder / "r5/DCIM/100CANON");
    std::string bytes(9 << 20, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7 % 251);
    std::ofstream(folder / "r5/DCIM/100CANON/MVI_0001.MOV", std::ios::binary) << bytes;
    auto key = browser.add({.root = folder / "r5"});
    ASSERT_TRUE(loop.runUntil([&] { return sources.open("camera", key).ok(); }, 10s));
    auto source = sources.open("camera", key).value();
    // A job's worker asks while the main loop answers the device's part.
    auto onWorker = [&](auto work) {
        auto done = std::async(std::launch::async, work);
        loop.runUntil([&] { return done.wait_for(0s) == std::future_status::ready; }, 30s);
        return done.get();
    };
    auto listed = onWorker([&] { return source->list(); });
    ASSERT_TRUE(listed.ok() && listed.value().size() == 1u);
    auto item = listed.value().front();
    const std::int64_t size = std::int64_t(bytes.size());
    struct Case {
        std::int64_t offset;
        std::size_t length;
        std::size_t expected;  // fewer at the file's end
    } cases[] = {{0, 16, 16}, {1, 5 << 20, 5 << 20}, {size - 100, 16, 16}, {size - 10, 16, 10}, {size, 16, 0}};
    for (const auto& each : cases) {
        SCOPED_TRACE(std::to_string(each.offset) + "+" + std::to_string(each.length));
        std::string got;
        auto read = onWorker([&] {
            return source->readAt(item, each.offset, each.length, [&](const std::uint8_t* data, std::size_t n) {
                got.append(reinterpret_cast<const char*>(data), n);
                return Result<void>();
            });
        });
        ASSERT_TRUE(read.ok()) << read.error().message;
        EXPECT_EQ(got.size(), each.expected);
        EXPECT_TRUE(got == bytes.substr(std::size_t(each.offset), each.expected));
    }
}

// An import job may hold a camera's source after the camera bridge is gone
// (whatever order the host lets bridges go in): the camera then reads as
// gone, and nothing of the bridge is touched.
TEST(CameraSourceLifetime, ASourceThatOutlivesItsBridgeFindsItsCameraGone) {
    TempFolder folder;
    MainLoop loop;
    HostMessenger messenger;
    auto events = std::make_shared<EventHandler>(loop);
    VipsImaging imaging;
    FfmpegVideoFrames frames{imaging};
    SimCameraBrowser browser{loop, imaging, frames};
    ImportSources sources;
    fs::create_directories(folder / "r5/DCIM/100CANON");
    std::ofstream(folder / "r5/DCIM/100CANON/IMG_0001.JPG") << "jpeg";
    for (bool shutDown : {true, false}) {
        SCOPED_TRACE(shutDown ? "shut down first" : "destroyed only");
        auto bridge = std::make_unique<CameraBridge>(browser, loop, events);
        bridge->start(messenger);
        bridge->offerImports(sources, folder.path());
        auto key = browser.add({.uuid = shutDown ? "R5-A" : "R5-B", .root = folder / "r5"});
        ASSERT_TRUE(loop.runUntil([&] { return sources.open("camera", key).ok(); }, std::chrono::seconds(60)));
        auto source = sources.open("camera", key).value();
        // A job's worker lists while the main loop answers the device's part.
        auto listing = [&] {
            auto listed = std::async(std::launch::async, [&] { return source->list(); });
            loop.runUntil([&] { return listed.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                          std::chrono::seconds(30));
            return listed.get();
        };
        auto listed = listing();
        ASSERT_TRUE(listed.ok()) << listed.error().message;
        EXPECT_EQ(listed.value().size(), 1u);
        if (shutDown) bridge->shutdown();
        bridge.reset();
        EXPECT_EQ(sources.open("camera", key).error().code, Error::Code::badInput);
        auto after = listing();
        ASSERT_FALSE(after.ok());
        EXPECT_EQ(after.error().code, Error::Code::unavailable);
    }
}

}  // namespace
}  // namespace lumivane
