// Every method of every channel the host serves, on the simulated Mac with a
// phone, a camera, a card and a peer, called with arguments of every shape:
// empty, ".", "..", NUL, 5,000 characters, negative, 2^62, wrong types,
// device paths, FIFOs. Each call must be answered, within seconds, and never
// by the dispatcher's "internal_error" (an exception that left a handler).
//
// Paths that a call may write to ("dir", "target") only ever name places
// inside this run's own folder: a fuzzer run as root must not replace
// anything of the machine's.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/host_harness.h"
#include "tools/sample_images/sample_images.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

struct Method {
    const char* channel;
    const char* name;
};

const Method kMethods[] = {
    {"lumivane/macos", "fullDiskAccessStatus"},
    {"lumivane/macos", "openFullDiskAccessSettings"},
    {"lumivane/macos", "window.launcher"},
    {"lumivane/macos", "listAppleDevices"},
    {"lumivane/macos", "camera.list"},
    {"lumivane/macos", "camera.children"},
    {"lumivane/macos", "camera.media"},
    {"lumivane/macos", "camera.thumbnail"},
    {"lumivane/macos", "camera.download"},
    {"lumivane/macos", "camera.cancel"},
    {"lumivane/macos", "camera.eject"},
    {"lumivane/macos", "volume.list"},
    {"lumivane/macos", "volume.eject"},
    {"lumivane/macos", "file.volumeInfo"},
    {"lumivane/macos", "file.freeSpace"},
    {"lumivane/macos", "file.thumbnail"},
    {"lumivane/macos", "file.pickFolder"},
    {"lumivane/macos", "file.reveal"},
    {"lumivane/macos", "iphone.available"},
    {"lumivane/macos", "iphone.list"},
    {"lumivane/macos", "iphone.children"},
    {"lumivane/macos", "iphone.media"},
    {"lumivane/macos", "iphone.photosIndex"},
    {"lumivane/macos", "iphone.thumbnail"},
    {"lumivane/macos", "iphone.download"},
    {"lumivane/macos", "iphone.cancel"},
    {"lumivane/macos", "iphone.setAutoWifi"},
    {"lumivane/macos", "airdrop.available"},
    {"lumivane/macos", "airdrop.send"},
    {"lumivane/macos", "no.such.method"},
    {"lumivane/macos/events", "listen"},
    {"lumivane/macos/events", "cancel"},
    {"lumivane/library", "fileSize"},
    {"lumivane/library", "faceQuality"},
    {"lumivane/library", "traits"},
    {"lumivane/library", "videoFrames"},
    {"lumivane/bonjour", "publish"},
    {"lumivane/bonjour", "unpublish"},
    {"lumivane/bonjour/events", "listen"},
    {"lumivane/bonjour/events", "cancel"},
    {"lumivane/import", "import.start"},
    {"lumivane/import", "import.status"},
    {"lumivane/import", "import.list"},
    {"lumivane/import", "import.cancel"},
    {"lumivane/import", "import.resume"},
    {"lumivane/import", "import.dates"},
    {"lumivane/import", "import.settings"},
    {"lumivane/import", "import.remember"},
    {"lumivane/import/events", "listen"},
};

const char* const kKeys[] = {"path",        "dir",     "name",        "target", "token",      "udid",   "id",    "px",
                             "ids",         "on",      "title",       "start",  "paths",      "port",   "txt",   "at",
                             "within",      "source",  "destination", "backup", "subfolders", "rename", "items", "job",
                             "deleteAfter", "onlyNew", "autoResume",  "item",   "settings"};

// Keys whose value a call may write to (or, for an import, delete from).
bool writes(const std::string& key) {
    return key == "dir" || key == "target" || key == "destination" || key == "backup" || key == "source";
}

struct World {
    World() : harness(Host::Options{}) {
        auto root = home();
        // Relative paths resolve here, so ".." and "../.." stay in the run's folder.
        fs::create_directories(root + "/a/b/c");
        if (::chdir((root + "/a/b/c").c_str()) != 0) std::abort();
        fs::create_directories(root + "/phone/DCIM/100APPLE");
        fs::create_directories(root + "/phone/PhotoData");
        fs::create_directories(root + "/camera/DCIM/100CANON");
        fs::create_directories(root + "/card/DCIM");
        fs::create_directories(root + "/out");
        samples::write(root + "/phone/DCIM/100APPLE/IMG_0001.JPG", {.width = 64, .height = 48, .thumbnail = 16});
        samples::write(root + "/camera/DCIM/100CANON/IMG_0001.JPG", {.width = 64, .height = 48});
        samples::write(root + "/card/DCIM/IMG_0002.JPG", {.width = 32, .height = 32});
        std::ofstream(root + "/camera/DCIM/100CANON/CLIP.MOV") << "not a movie";
        for (const char* fifo :
             {"/phone/DCIM/100APPLE/IMG_0002.JPG", "/camera/DCIM/100CANON/IMG_0002.JPG", "/card/DCIM/FIFO.JPG"})
            ::mkfifo((root + fifo).c_str(), 0600);
        control("phone.add", {{"udid", kUdid}, {"name", "Fuzz"}, {"root", root + "/phone"}});
        control("phone.attach", {{"udid", kUdid}, {"link", "usb"}});
        control("usbmux.add", {{"udid", kUdid}, {"name", "Fuzz"}});
        camera = control("camera.add", {{"root", root + "/camera"}, {"uuid", "CAM"}});
        // Fuzzed calls meet a camera that has read its catalogue.
        harness.loop.runUntil(
            [&] {
                auto list = harness.value("lumivane/macos", "camera.list");
                auto* cameras = list.get<EncodableList>();
                return cameras && !cameras->empty() &&
                       *(*cameras)[0].get<EncodableMap>()->find("ready") == EncodableValue(true);
            },
            std::chrono::seconds(10));
        control("volume.mount", {{"path", root + "/card"}, {"removable", true}, {"ejectable", true}, {"free", 1000}});
        control("peer.add", {{"name", "Peer"}, {"port", 1234}, {"addresses", EncodableList{"127.0.0.1"}}});
    }
    std::string home() const { return harness.home.path(); }
    EncodableValue control(const char* method, EncodableMap args) { return harness.value("sim/control", method, args); }

    static constexpr const char* kUdid = "00008030-FUZZ";
    HostHarness harness;
    EncodableValue camera;
};

World& world() {
    static World* made = [] {
        auto* w = new World();  // lives as long as the process
        static std::string folder = w->home();
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        });
        return w;
    }();
    return *made;
}

std::string text(const EncodableValue& value) {
    auto* s = value.get<std::string>();
    return s ? *s : std::string();
}

// A string for `key`: the shapes that break paths and names, the fixture's
// own names, and bytes from the input. Never a place outside the run's folder
// for a key that writes.
std::string stringFor(const std::string& key, FuzzedDataProvider& in) {
    auto& w = world();
    const std::string root = w.home();
    switch (in.ConsumeIntegralInRange<int>(0, 19)) {
        case 0: return "";
        case 1: return ".";
        case 2: return "..";
        case 3: return "../..";
        case 4: return std::string("a\0b", 3);
        case 5: return std::string(5000, 'x');
        case 6: return root + "/out";
        case 7: return root + "/out/.";
        case 8: return root + "/out/IMG_0001.JPG";
        case 9: return "IMG_0001.JPG";
        case 10: return "../IMG_0001.JPG";
        case 11: return "DCIM/100CANON/IMG_0001.JPG";
        case 12: return "100APPLE/IMG_0001.JPG";
        case 13: return World::kUdid;
        case 14: return text(w.camera);
        case 15: return root + "/card";
        case 16: return writes(key) ? root + "/card/DCIM" : root + "/camera/DCIM/100CANON/IMG_0002.JPG";
        case 17: return writes(key) ? root + "/out/x/y" : "/dev/zero";
        case 18: return writes(key) ? root + "/out/\xff\xfe.JPG" : "/dev/null";
        default: {
            auto bytes = in.ConsumeRandomLengthString(64);
            // Free text is a name in the run's folder when it may be written to.
            if (writes(key) && (bytes.find("..") != std::string::npos || bytes.starts_with("/"))) return "fuzz";
            return bytes;
        }
    }
}

EncodableValue valueFor(const std::string& key, FuzzedDataProvider& in, int depth = 0) {
    // An import's source: mostly the fixture's devices, sometimes not.
    if (key == "source" && in.ConsumeBool()) {
        const char* kinds[] = {"volume", "iphone", "camera", "scanner"};
        return EncodableMap{{"kind", kinds[in.ConsumeIntegralInRange<int>(0, 3)]}, {"id", stringFor("source", in)}};
    }
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: return EncodableValue();
        case 1: return EncodableValue(in.ConsumeBool());
        case 2: return EncodableValue(in.ConsumeIntegral<std::int32_t>());
        case 3: {
            const std::int64_t edges[] = {-1, 0, 1, 65535, 65536, 1LL << 31, 1LL << 62, INT64_MIN, INT64_MAX};
            return EncodableValue(edges[in.ConsumeIntegralInRange<int>(0, 8)]);
        }
        case 4: return EncodableValue(in.ConsumeFloatingPoint<double>());
        case 5:
        case 6: {
            if (depth > 2) return EncodableValue();
            EncodableList list;
            for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) list.push_back(valueFor(key, in, depth + 1));
            return list;
        }
        case 7: {
            if (depth > 2) return EncodableValue();
            EncodableMap map;
            for (int n = in.ConsumeIntegralInRange<int>(0, 2); n > 0; --n)
                map.set(stringFor("", in), valueFor("", in, depth + 1));
            return map;
        }
        default: return EncodableValue(stringFor(key, in));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("LUMIVANE_BUILD_DIR", LUMIVANE_FUZZ_BUILD_DIR, 1);
    world();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& w = world();
    FuzzedDataProvider in(data, size);
    for (int calls = 0; calls < 4 && in.remaining_bytes() > 0; ++calls) {
        const auto& method = kMethods[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kMethods) - 1)];
        EncodableValue arguments;
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            arguments = valueFor("path", in);  // not a map at all
        } else {
            EncodableMap map;
            for (int n = in.ConsumeIntegralInRange<int>(0, 5); n > 0; --n) {
                std::string key = kKeys[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKeys) - 1)];
                map.set(key, valueFor(key, in));
            }
            arguments = map;
        }
        std::optional<Bytes> reply;
        w.harness.host->messenger().deliver(method.channel,
                                            StandardMethodCodec::encodeMethodCall({method.name, arguments}),
                                            [&](Bytes bytes) { reply = std::move(bytes); });
        w.harness.loop.runUntil([&] { return reply.has_value(); }, std::chrono::seconds(8));
        if (!reply) {
            std::fprintf(stderr, "\"%s\" on %s was not answered\n", method.name, method.channel);
            std::abort();
        }
        for (const auto& line : w.harness.log.lines())
            if (line.find("\" failed: ") != std::string::npos || line.find("answered twice") != std::string::npos) {
                std::fprintf(stderr, "%s\n", line.c_str());
                std::abort();
            }
        w.harness.log.clear();
        w.harness.events.clear();
    }
    return 0;
}
