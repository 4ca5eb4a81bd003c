// Cameras through libgphoto2, on its own "Directory Browse" driver pointed at
// folders of the test's: a real libgphoto2 code path with real files, driven
// through the host channel as on the simulated Mac.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <gphoto2/gphoto2-result.h>
#include <filesystem>
#include <fstream>

#include "platform/gphoto/gphoto_cameras.h"
#include "platform/testing/replaced_services.h"
#include "tests/support/host_harness.h"
#include "tools/sample_images/sample_images.h"

using namespace lumivane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Gphoto : ::testing::Test {
    TempFolder folder;
    std::string card = folder / "card";
    std::string out = folder / "out";
    std::unique_ptr<HostHarness> h;
    std::unique_ptr<GphotoCameras> cameras;
    std::string id;

    void SetUp() override {
        fs::create_directories(card + "/DCIM/100CANON");
        fs::create_directories(out);
        ASSERT_TRUE(
            samples::write(card + "/DCIM/100CANON/IMG_0001.JPG", {.width = 640, .height = 480, .thumbnail = 160}));
        ASSERT_TRUE(samples::write(card + "/DCIM/100CANON/IMG_0002.JPG", {.width = 640, .height = 480}));
        std::string movie(3 << 20, '\0');
        for (std::size_t i = 0; i < movie.size(); ++i) movie[i] = char(i * 31 % 251);
        std::ofstream(card + "/DCIM/100CANON/MVI_0003.MOV", std::ios::binary) << movie;
    }
    void start() {
        h = std::make_unique<HostHarness>(Host::Options{}, "com.lumivane.app", false);
        cameras = std::make_unique<GphotoCameras>(h->loop, h->mac.platform().imaging, std::vector<std::string>{card});
        auto p = h->mac.platform();
        Platform platform = withServices(p, {.cameras = cameras.get()});
        h->control.reset();
        h->host = std::make_unique<Host>(platform, h->loop, h->log, Host::Options{});
        h->host->messenger().setOutbound([this](const std::string& channel, Bytes message) {
            if (auto event = StandardMethodCodec::decodeEnvelope(message.data(), message.size()))
                h->events.emplace_back(channel, *event);
        });
        h->host->start();
        h->value("lumivane/macos/events", "listen");
        ASSERT_TRUE(h->loop.runUntil([&] { return ready(); }, 10s));
    }
    bool ready() {
        auto list = h->value("lumivane/macos", "camera.list");
        auto* cameras = list.get<EncodableList>();
        if (!cameras || cameras->empty()) return false;
        auto& camera = *(*cameras)[0].get<EncodableMap>();
        id = *camera.find("id")->get<std::string>();
        return *camera.find("ready") == EncodableValue(true);
    }
    MethodResponse call(const std::string& method, EncodableMap args) {
        args.set("id", id);
        return h->call("lumivane/macos", method, args);
    }
    EncodableValue value(const std::string& method, EncodableMap args) {
        auto response = call(method, std::move(args));
        auto* v = std::get_if<EncodableValue>(&response);
        return v ? *v : EncodableValue("<not a value>");
    }
    std::vector<std::string> names(const EncodableValue& list) {
        std::vector<std::string> out;
        for (const auto& item : *list.get<EncodableList>())
            out.push_back(*item.get<EncodableMap>()->find("name")->get<std::string>());
        return out;
    }
    std::vector<std::string> outFiles() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(out)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace

TEST_F(Gphoto, ADirectoryCameraIsListedBrowsedAndEjected) {
    // A FIFO named like a photo would block the camera's queue for good: it is no item.
    ASSERT_EQ(::mkfifo((card + "/DCIM/100CANON/IMG_0004.JPG").c_str(), 0600), 0);
    start();
    auto list = *h->value("lumivane/macos", "camera.list").get<EncodableList>();
    auto& camera = *list[0].get<EncodableMap>();
    EXPECT_EQ(*camera.find("name"), EncodableValue("Directory Browse"));
    EXPECT_EQ(*camera.find("kind"), EncodableValue("Camera"));
    EXPECT_EQ(*camera.find("count"), EncodableValue(3));
    EXPECT_EQ(names(value("camera.children", {{"path", "DCIM"}})), std::vector<std::string>{"100CANON"});
    EXPECT_EQ(names(value("camera.children", {{"path", "DCIM/100CANON"}})),
              (std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", "MVI_0003.MOV"}));
    auto media = value("camera.media", {});
    EXPECT_EQ(names(media), (std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", "MVI_0003.MOV"}));
    auto& first = *(*media.get<EncodableList>())[0].get<EncodableMap>();
    EXPECT_EQ(*first.find("size"), EncodableValue(int(fs::file_size(card + "/DCIM/100CANON/IMG_0001.JPG"))));
    EXPECT_EQ(*first.find("uti"), EncodableValue("public.jpeg"));

    EXPECT_EQ(value("camera.eject", {}), EncodableValue());
    EXPECT_TRUE(h->loop.runUntil(
        [&] { return h->value("lumivane/macos", "camera.list") == EncodableValue(EncodableList{}); }, 5s));
}

TEST(GphotoSession, APhoneThatAnswersAccessDeniedIsLocked) {
    EXPECT_EQ(GphotoCameras::sessionError(GP_ERROR, "PTP Access Denied"), GphotoCameras::kLockedSessionError);
    EXPECT_EQ(GphotoCameras::sessionError(GP_ERROR_IO_USB_CLAIM, "Could not claim the USB device"),
              GP_ERROR_IO_USB_CLAIM);
    EXPECT_EQ(GphotoCameras::sessionError(GP_ERROR_CAMERA_BUSY, ""), GP_ERROR_CAMERA_BUSY);
}

TEST_F(Gphoto, ThumbnailsTakeTheCamerasPreviewElseThePicture) {
    start();
    auto preview = value("camera.thumbnail", {{"path", "DCIM/100CANON/IMG_0001.JPG"}, {"px", 256}});
    ASSERT_TRUE(preview.get<Bytes>());
    auto seen = samples::look(*preview.get<Bytes>());
    EXPECT_EQ(seen.width, 160);  // the stored preview, at least half the size asked for
    EXPECT_TRUE(samples::isGreen(seen.topLeft));
    auto picture = value("camera.thumbnail", {{"path", "DCIM/100CANON/IMG_0001.JPG"}, {"px", 400}});
    ASSERT_TRUE(picture.get<Bytes>());
    seen = samples::look(*picture.get<Bytes>());
    EXPECT_EQ(seen.width, 400);  // the preview is too small: the picture itself
    EXPECT_TRUE(samples::isRed(seen.topLeft));
    auto plain = value("camera.thumbnail", {{"path", "DCIM/100CANON/IMG_0002.JPG"}, {"px", 200}});
    ASSERT_TRUE(plain.get<Bytes>());
    EXPECT_TRUE(samples::isRed(samples::look(*plain.get<Bytes>()).topLeft));
}

TEST_F(Gphoto, DownloadsAreByteIdenticalWithProgressUnderFreeNamesAndACancelLeavesNothing) {
    // Not a whole number of MiB: the last progress event still tells the whole file.
    const std::int64_t size = (3 << 20) + 12'345;
    fs::resize_file(card + "/DCIM/100CANON/MVI_0003.MOV", size);
    start();
    const EncodableMap args{{"path", "DCIM/100CANON/MVI_0003.MOV"}, {"dir", out}, {"name", "MVI_0003.MOV"}};
    auto first = args, second = args;
    first.set("token", "a");
    second.set("token", "b");
    EXPECT_EQ(value("camera.download", first), EncodableValue(out + "/MVI_0003.MOV"));
    EXPECT_EQ(value("camera.download", second), EncodableValue(out + "/MVI_0003 1.MOV"));
    EXPECT_EQ(std::system(("cmp -s '" + out + "/MVI_0003.MOV' '" + card + "/DCIM/100CANON/MVI_0003.MOV'").c_str()), 0);
    bool progressed = false;
    for (auto& [channel, event] : h->events)
        if (auto* map = std::get<EncodableValue>(event).get<EncodableMap>())
            if (*map->find("type") == EncodableValue("download") && map->find("done")->integer() == size)
                progressed = true;
    EXPECT_TRUE(progressed);

    // Grown on the camera (sparse, so quick to make), the file takes long
    // enough to copy that the cancel always lands while it runs.
    fs::resize_file(card + "/DCIM/100CANON/MVI_0003.MOV", std::uintmax_t(512) << 20);
    auto cancelled = args;
    cancelled.set("token", "c");
    std::optional<Bytes> reply;
    auto callWith = [&](const std::string& method, EncodableMap a) {
        a.set("id", id);
        h->host->messenger().deliver("lumivane/macos", StandardMethodCodec::encodeMethodCall({method, a}),
                                     [&, method](Bytes bytes) {
                                         if (method == "camera.download") reply = std::move(bytes);
                                     });
    };
    callWith("camera.download", cancelled);
    callWith("camera.cancel", {{"token", "c"}});
    ASSERT_TRUE(h->loop.runUntil([&] { return reply.has_value(); }, 10s));
    auto answer = *StandardMethodCodec::decodeEnvelope(reply->data(), reply->size());
    ASSERT_TRUE(std::holds_alternative<MethodError>(answer));
    EXPECT_EQ(std::get<MethodError>(answer).code, "download_failed");
    EXPECT_EQ(std::get<MethodError>(answer).message, "The download was cancelled.");
    EXPECT_EQ(outFiles(), (std::vector<std::string>{"MVI_0003 1.MOV", "MVI_0003.MOV"}));  // nothing left behind

    // The file shrinks on the camera after the catalog was read: the copy
    // comes up short and is not kept.
    fs::resize_file(card + "/DCIM/100CANON/MVI_0003.MOV", 1 << 20);
    auto shortened = args;
    shortened.set("token", "d");
    auto failed = call("camera.download", shortened);
    ASSERT_TRUE(std::holds_alternative<MethodError>(failed));
    EXPECT_EQ(std::get<MethodError>(failed).code, "download_failed");
    EXPECT_EQ(std::get<MethodError>(failed).message, "The camera sent 1048576 of " + std::to_string(size) + " bytes.");
    EXPECT_EQ(outFiles(), (std::vector<std::string>{"MVI_0003 1.MOV", "MVI_0003.MOV"}));
}

TEST(GphotoDetection, AnEjectedCameraStaysAwayUntilUnpluggedAndComesBackWhenPluggedIn) {
    MainLoop loop;
    TempFolder home;
    Log log = Log::capturing();
    SimMac mac(SimMac::Options{home.path(), "com.lumivane.app", "", &log}, loop);
    GphotoCameras cameras(loop, mac.platform().imaging, {});  // not started: the test plays the poll thread
    struct Delegate final : DeviceBrowserDelegate {
        std::vector<std::shared_ptr<CaptureDevice>> present;
        int added = 0;
        void didAddDevice(const std::shared_ptr<CaptureDevice>& device) override {
            present.push_back(device);
            ++added;
        }
        void didRemoveDevice(const std::shared_ptr<CaptureDevice>& device) override { std::erase(present, device); }
    } delegate;
    cameras.setDelegate(&delegate);
    const GphotoCameras::Found canon{"Canon EOS 90D", "usb:001,004"}, nikon{"Nikon Z 6", "usb:001,005"};

    struct Round {
        const char* what;
        std::set<GphotoCameras::Found> found;
        bool ejectFirst;  // the first camera present is ejected before this round
        std::size_t present;
        int added;  // in total
    } rounds[] = {
        {"both plugged in", {canon, nikon}, false, 2, 2},
        {"the same again", {canon, nikon}, false, 2, 2},
        {"the Nikon unplugged without an eject", {canon}, false, 1, 2},
        {"the Canon ejected, still plugged in", {canon}, true, 0, 2},
        {"still plugged in later", {canon}, false, 0, 2},
        {"unplugged", {}, false, 0, 2},
        {"plugged back in", {canon}, false, 1, 3},
        {"the Nikon plugged back in", {canon, nikon}, false, 2, 4},
    };
    for (const auto& round : rounds) {
        SCOPED_TRACE(round.what);
        if (round.ejectFirst) {
            ASSERT_FALSE(delegate.present.empty());
            bool done = false;
            delegate.present.front()->asCamera()->requestEject([&](std::optional<Error> error) {
                EXPECT_FALSE(error);
                done = true;
            });
            ASSERT_TRUE(loop.runUntil([&] { return done && delegate.present.size() == round.present; }, 10s));
        }
        cameras.detected(round.found);
        EXPECT_EQ(delegate.present.size(), round.present);
        EXPECT_EQ(delegate.added, round.added);
    }
}

TEST_F(Gphoto, AFileDeletedAfterItsImportLeavesTheCamerasListing) {
    start();
    h->value("lumivane/import/events", "listen");
    auto started = h->value("lumivane/import", "import.start",
                            EncodableMap{{"source", EncodableMap{{"kind", "camera"}, {"id", id}}},
                                         {"items", EncodableList{"DCIM/100CANON/IMG_0002.JPG"}},
                                         {"destination", out},
                                         {"deleteAfter", true}});
    ASSERT_TRUE(started.get<std::string>()) << ::testing::PrintToString(started);
    auto state = [&] {
        auto status = h->value("lumivane/import", "import.status", EncodableMap{{"job", started}});
        auto* map = status.get<EncodableMap>();
        return map ? *map->find("state")->get<std::string>() : std::string("?");
    };
    ASSERT_TRUE(h->loop.runUntil([&] { return state() != "running"; }, 60s));
    EXPECT_EQ(state(), "done");
    EXPECT_EQ(outFiles(), std::vector<std::string>{"IMG_0002.JPG"});
    EXPECT_FALSE(fs::exists(card + "/DCIM/100CANON/IMG_0002.JPG"));
    EXPECT_EQ(names(value("camera.media", {})), (std::vector<std::string>{"IMG_0001.JPG", "MVI_0003.MOV"}));
}

// The directory driver reads only whole files, as some cameras do. A photo
// of up to 64 MiB is read whole into memory, never through the staging
// folder: with no staging folder to be had, those still import and only the
// larger file fails; then that one goes through a scratch copy, gone once
// read. Each copy is byte for byte the file; a file that grew or shrank on
// the camera since its catalogue was read fails and is kept.
TEST_F(Gphoto, ACameraThatReadsOnlyWholeFilesImportsPhotosFromMemoryAndLargerFilesThroughAScratchCopy) {
    // Bytes that repeat only every 253 (no two parts of a file alike), made
    // by doubling: byte by byte, 64 MiB takes seconds in a sanitizer build.
    auto write = [&](const std::string& name, std::size_t size, int seed) {
        std::string bytes;
        for (std::size_t i = 0; i < 253; ++i) bytes += char((i * 131 + std::size_t(seed)) % 253);
        while (bytes.size() < size) bytes += bytes;
        bytes.resize(size);
        std::ofstream(card + "/DCIM/100CANON/" + name, std::ios::binary) << bytes;
    };
    write("IMG_0005.JPG", 5 << 20, 1);                      // more than one part: read whole, asked for at once
    write("MVI_0006.MOV", (std::size_t{64} << 20) + 1, 2);  // one byte more than memory takes
    write("IMG_0007.JPG", 300'000, 3);
    write("IMG_0008.JPG", 6 << 20, 4);
    start();
    std::ofstream(card + "/DCIM/100CANON/IMG_0007.JPG", std::ios::app) << "grown";
    fs::resize_file(card + "/DCIM/100CANON/IMG_0008.JPG", 5 << 20);
    auto data = h->home / "Library/Application Support/com.lumivane.app";
    fs::create_directories(data);
    std::ofstream(data + "/import-staging") << "in the way of the staging folder";

    h->value("lumivane/import/events", "listen");
    auto run = [&](EncodableMap args) {
        args.set("source", EncodableMap{{"kind", "camera"}, {"id", id}});
        args.set("destination", out);
        args.set("onlyNew", false);
        auto started = h->value("lumivane/import", "import.start", args);
        EXPECT_TRUE(started.get<std::string>()) << ::testing::PrintToString(started);
        auto state = [&] {
            auto status = h->value("lumivane/import", "import.status", EncodableMap{{"job", started}});
            auto* map = status.get<EncodableMap>();
            return map ? *map->find("state")->get<std::string>() : std::string("?");
        };
        EXPECT_TRUE(h->loop.runUntil([&] { return state() != "running"; }, 120s));
    };
    auto same = [&](const std::string& name) {
        std::ifstream a(card + "/DCIM/100CANON/" + name, std::ios::binary), b(out + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(a), {}) == std::string(std::istreambuf_iterator<char>(b), {});
    };
    run({});
    EXPECT_EQ(outFiles(), (std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0005.JPG", "MVI_0003.MOV"}));
    for (auto name : {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0005.JPG", "MVI_0003.MOV"}) EXPECT_TRUE(same(name)) << name;
    EXPECT_TRUE(fs::exists(card + "/DCIM/100CANON/IMG_0007.JPG"));

    fs::remove(data + "/import-staging");
    run({{"items", EncodableList{"DCIM/100CANON/MVI_0006.MOV"}}});
    EXPECT_TRUE(fs::exists(out + "/MVI_0006.MOV"));
    EXPECT_TRUE(same("MVI_0006.MOV"));
    EXPECT_TRUE(fs::is_empty(data + "/import-staging")) << "the scratch copy was left";
}
