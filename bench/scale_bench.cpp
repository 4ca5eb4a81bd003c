// A phone and a camera of 100,000 files each, asked through the socket of a
// host process on the simulated Mac, against `find` listing the same tree
// with sizes and times (what a user could run instead); and the same files as
// a camera on libgphoto2's Directory Browse driver, 20,000 and 100,000 of them.
//
// Counters: host_peak_MiB is the host process's peak resident size, from its
// start to the end of the measured calls; max_ping_ms is the longest a
// "ping" of the host's main loop waited while the camera was catalogued.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/host_process.h"
#include "bench/ratio_reporter.h"
#include "bench/run_command.h"
#include "bench/scratch_folder.h"
#include "bridges/camera/camera_bridge.h"
#include "platform/gphoto/gphoto_cameras.h"
#include "platform/vips/vips_imaging.h"

using namespace lumivane;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 100'000, kSmallFiles = 20'000, kPerFolder = 1000;
std::string work, binFolder;

std::string tree(int files) { return work + "/tree" + std::to_string(files); }

// `files` small photos, a phone's thousand to a folder.
void makeTree(int files) {
    for (int i = 0; i < files; ++i) {
        auto folder = tree(files) + "/DCIM/" + std::to_string(100 + i / kPerFolder) + "APPLE";
        if (i % kPerFolder == 0) fs::create_directories(folder);
        std::ofstream(folder + "/IMG_" + std::to_string(10000 + i) + ".JPG") << "jpeg";
    }
}

double secondsSince(steady_clock::time_point start) { return duration<double>(steady_clock::now() - start).count(); }

std::size_t listed(const Result<MethodResponse>& reply) {
    auto* value = reply.ok() ? std::get_if<EncodableValue>(&reply.value()) : nullptr;
    auto* list = value ? value->get<EncodableList>() : nullptr;
    return list ? list->size() : 0;
}

void BM_Find(benchmark::State& state) {
    auto files = int(state.range(0));
    for (auto _ : state)
        if (!runCommand({"sh", "-c", "find " + tree(files) + " -printf '%s %T@ %p\\n' >/dev/null"}))
            state.SkipWithError("find failed");
}

// A host with a phone of the tree attached over USB.
struct PhoneHost {
    HostProcess host{binFolder, work + "/phone-host"};
    HostClient client;
    PhoneHost() {
        client.connect(host.socket());
        (void)client.call("sim/control", "phone.add",
                          EncodableMap{{"udid", "PHONE"}, {"name", "iPhone"}, {"root", tree(kFiles)}});
        (void)client.call("sim/control", "phone.attach", EncodableMap{{"udid", "PHONE"}, {"link", "usb"}});
        // The phone is known once the host has handled its attach notice.
        while (listed(client.call("lumivane/macos", "iphone.list")) == 0) std::this_thread::sleep_for(milliseconds(10));
    }
    std::size_t media() {
        return listed(client.call("lumivane/macos", "iphone.media", EncodableMap{{"udid", "PHONE"}}));
    }
};

// The first "iphone.media" of a phone: every size and time asked of it.
void BM_PhoneMediaCold(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto host = std::make_unique<PhoneHost>();
        state.ResumeTiming();
        if (host->media() != kFiles) state.SkipWithError("the phone's listing is not complete");
        state.counters["host_peak_MiB"] = host->host.memory("VmHWM:");
        state.PauseTiming();
        host.reset();
        fs::remove_all(work + "/phone-host");
        state.ResumeTiming();
    }
}

// Later listings of the same phone, from its stat cache.
void BM_PhoneMediaWarm(benchmark::State& state) {
    PhoneHost host;
    host.media();
    state.counters["after_cold_MiB"] = host.host.memory("VmHWM:");
    for (auto _ : state)
        if (host.media() != kFiles) state.SkipWithError("the phone's listing is not complete");
    state.counters["host_peak_MiB"] = host.host.memory("VmHWM:");
    state.counters["host_idle_MiB"] = host.host.memory("VmRSS:");
}

// Pings the host's main loop on a connection of its own until stopped; the
// longest wait is the answer.
class Pinger {
public:
    explicit Pinger(const std::string& socket) {
        thread_ = std::thread([this, socket] {
            HostClient client;
            client.connect(socket);
            while (!stop_) {
                auto sent = steady_clock::now();
                (void)client.call("sim/control", "ping");
                longest_ = std::max(longest_.load(), secondsSince(sent) * 1000);
                std::this_thread::sleep_for(milliseconds(20));
            }
        });
    }
    double stop() {
        stop_ = true;
        thread_.join();
        return longest_;
    }

private:
    std::atomic<bool> stop_ = false;
    std::atomic<double> longest_ = 0;
    std::thread thread_;
};

// A host with the tree as a camera: from the camera's arrival to its
// complete catalogue, with the main loop pinged all the while; then the
// first "camera.media". Later "camera.media" calls are BM_CameraMediaAgain.
struct CameraHost {
    HostProcess host{binFolder, work + "/camera-host"};
    HostClient client;
    std::string id;
    double readySeconds = 0, maxPingMs = 0;

    CameraHost() {
        client.connect(host.socket());
        Pinger pinger(host.socket());
        auto started = steady_clock::now();
        (void)client.call("sim/control", "camera.add", EncodableMap{{"root", tree(kFiles)}, {"uuid", "CAM"}});
        while (!ready() && secondsSince(started) < 600) std::this_thread::sleep_for(milliseconds(20));
        readySeconds = secondsSince(started);
        maxPingMs = pinger.stop();
    }
    bool ready() {
        auto reply = client.call("lumivane/macos", "camera.list");
        auto* value = reply.ok() ? std::get_if<EncodableValue>(&reply.value()) : nullptr;
        auto* list = value ? value->get<EncodableList>() : nullptr;
        if (!list || list->empty()) return false;
        auto& camera = *(*list)[0].get<EncodableMap>();
        id = *camera.find("id")->get<std::string>();
        return *camera.find("ready") == EncodableValue(true);
    }
    std::size_t media() { return listed(client.call("lumivane/macos", "camera.media", EncodableMap{{"id", id}})); }
};

std::unique_ptr<CameraHost> cameraHost;

void BM_CameraCatalog(benchmark::State& state) {
    for (auto _ : state) {
        cameraHost.reset();
        fs::remove_all(work + "/camera-host");
        cameraHost = std::make_unique<CameraHost>();
        auto started = steady_clock::now();
        if (cameraHost->media() != kFiles) state.SkipWithError("the camera's listing is not complete");
        state.counters["ready_s"] = cameraHost->readySeconds;
        state.counters["first_media_s"] = secondsSince(started);
        state.counters["max_ping_ms"] = cameraHost->maxPingMs;
        state.SetIterationTime(cameraHost->readySeconds);
    }
}

void BM_CameraMediaAgain(benchmark::State& state) {
    if (!cameraHost) return state.SkipWithError("BM_CameraCatalog did not run");
    for (auto _ : state)
        if (cameraHost->media() != kFiles) state.SkipWithError("the camera's listing is not complete");
    state.counters["host_peak_MiB"] = cameraHost->host.memory("VmHWM:");
    cameraHost.reset();
}

// The tree on libgphoto2's Directory Browse driver, in this process: from the
// session's start to a complete catalogue, and then its "camera.media".
void BM_GphotoCatalog(benchmark::State& state) {
    auto files = int(state.range(0));
    for (auto _ : state) {
        MainLoop loop;
        Log log{Log::Options{false, false, false}};
        VipsImaging imaging;
        GphotoCameras browser(loop, imaging, {tree(files)});
        CameraBridge bridge(browser, loop, std::make_shared<EventHandler>(loop));
        HostMessenger messenger;
        auto call = [&](const std::string& method, EncodableMap args) {
            std::optional<Bytes> reply;
            MethodResult result(
                method, [&](Bytes bytes) { reply = std::move(bytes); }, log);
            bridge.handle({method, std::move(args)}, result);
            loop.runUntil([&] { return reply.has_value(); }, seconds(600));
            auto answer = reply ? StandardMethodCodec::decodeEnvelope(reply->data(), reply->size())
                                : Result<MethodResponse>(Error("no answer"));
            auto* value = answer.ok() ? std::get_if<EncodableValue>(&answer.value()) : nullptr;
            return value ? *value : EncodableValue();
        };
        auto started = steady_clock::now();
        bridge.start(messenger);
        std::string id;
        loop.runUntil(
            [&] {
                auto list = call("camera.list", {});
                auto* cameras = list.get<EncodableList>();
                if (!cameras || cameras->empty()) return false;
                auto& camera = *(*cameras)[0].get<EncodableMap>();
                id = *camera.find("id")->get<std::string>();
                return *camera.find("ready") == EncodableValue(true);
            },
            seconds(600));
        state.SetIterationTime(secondsSince(started));
        auto mediaStarted = steady_clock::now();
        auto media = call("camera.media", {{"id", id}});
        state.counters["media_s"] = secondsSince(mediaStarted);
        if (!media.get<EncodableList>() || media.get<EncodableList>()->size() != std::size_t(files))
            state.SkipWithError("the catalogue is not complete");
    }
    state.SetItemsProcessed(state.iterations() * files);
}

BENCHMARK(BM_Find)->Arg(kFiles)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PhoneMediaCold)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PhoneMediaWarm)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CameraCatalog)->Iterations(1)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_CameraMediaAgain)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GphotoCatalog)
    ->Arg(kSmallFiles)
    ->Arg(kFiles)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    ScratchFolder scratch;
    work = scratch.path();
    binFolder = fs::canonical("/proc/self/exe").parent_path().string();
    makeTree(kFiles);
    makeTree(kSmallFiles);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"cold \"iphone.media\" of 100,000 files / find (goal: at most 4)", "BM_PhoneMediaCold", "BM_Find/100000"},
         {"warm \"iphone.media\" / find (goal: at most 2)", "BM_PhoneMediaWarm", "BM_Find/100000"},
         {"a second \"camera.media\" of 100,000 files / find (goal: at most 3)", "BM_CameraMediaAgain",
          "BM_Find/100000"}},
        {"memory: host_peak_MiB of BM_PhoneMediaCold and BM_PhoneMediaWarm (goal: under 64) and of "
         "BM_CameraMediaAgain (goal: under 128)",
         "main loop: max_ping_ms of BM_CameraCatalog (goal: under 500)",
         "libgphoto2: the time of BM_GphotoCatalog/N to a complete catalogue, and its media_s"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
