// A 512 MiB download from a simulated camera through "camera.download",
// against a plain flushed copy of the same file, and the memory it takes.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

#include "bench/plain_copy.h"
#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "bridges/camera/camera_bridge.h"
#include "platform/ffmpeg/ffmpeg_video_frames.h"
#include "platform/sim/sim_cameras.h"
#include "platform/vips/vips_imaging.h"
#include "runtime/allocator.h"

using namespace lumivane;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMiB = 1 << 20;
std::string work;

struct Rig {
    MainLoop loop;
    Log log{Log::Options{false, false, false}};
    VipsImaging imaging;
    FfmpegVideoFrames frames{imaging};
    SimCameraBrowser browser{loop, imaging, frames};
    CameraBridge bridge{browser, loop, std::make_shared<EventHandler>(loop)};
    HostMessenger messenger;

    Rig() {
        bridge.start(messenger);
        browser.add({.uuid = "CAM", .name = "Camera", .root = work + "/card"});
        loop.runUntil([] { return false; }, milliseconds(50));
    }
    bool download(const std::string& target) {
        std::optional<Bytes> reply;
        MethodResult result(
            "camera.download", [&](Bytes bytes) { reply = std::move(bytes); }, log);
        bridge.handle({"camera.download", EncodableMap{{"id", "CAM"},
                                                       {"path", "DCIM/BIG.MOV"},
                                                       {"dir", work},
                                                       {"name", fs::path(target).filename().string()},
                                                       {"token", "bench"}}},
                      result);
        loop.runUntil([&] { return reply.has_value(); }, seconds(600));
        return fs::exists(target);
    }
};

void BM_PlainCopy512MiB(benchmark::State& state) {
    for (auto _ : state) {
        plainCopy(work + "/card/DCIM/BIG.MOV", work + "/plain.out");
        fs::remove(work + "/plain.out");
    }
}

void BM_CameraDownload512MiB(benchmark::State& state) {
    Rig rig;
    for (auto _ : state) {
        if (!rig.download(work + "/camera.out")) state.SkipWithError("no download");
        fs::remove(work + "/camera.out");
    }
}

void BM_CameraDownloadPeakMemory(benchmark::State& state) {
    Rig rig;
    for (auto _ : state) {
        resetPeakMemory();
        long before = statusKiB("VmRSS:");
        rig.download(work + "/memory.out");
        state.counters["peak_growth_MiB"] = static_cast<double>(statusKiB("VmHWM:") - before) / 1024.0;
        fs::remove(work + "/memory.out");
    }
}

BENCHMARK(BM_PlainCopy512MiB)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CameraDownload512MiB)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CameraDownloadPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    tuneAllocatorForLargeBuffers();  // as the host process does
    char pattern[] = "/tmp/lumivane-bench-XXXXXX";
    work = mkdtemp(pattern);
    fs::create_directories(work + "/card/DCIM");
    {
        std::ofstream out(work + "/card/DCIM/BIG.MOV", std::ios::binary);
        std::string block(kMiB, 'v');
        for (int i = 0; i < 512; ++i) out.write(block.data(), std::streamsize(block.size()));
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"plain copy / camera download of 512 MiB, i.e. download throughput as a share of a plain "
                             "copy (goal: at least 0.8)",
                             "BM_PlainCopy512MiB", "BM_CameraDownload512MiB"}},
                           {"peak memory: see peak_growth_MiB of BM_CameraDownloadPeakMemory (goal: flat)"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fs::remove_all(work);
    return 0;
}
