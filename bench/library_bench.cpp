// "videoFrames" of a library video: three 160 px JPEG frames of a 1080p H.264
// clip, against what a user would run instead, the ffmpeg command once per
// frame.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

#include "bench/ratio_reporter.h"
#include "bench/run_command.h"
#include "bench/scratch_folder.h"
#include "bridges/library/library_bridge.h"
#include "platform/sim/sim_mac.h"
#include "runtime/allocator.h"

using namespace lumivane;
namespace fs = std::filesystem;

namespace {

constexpr double kSeconds = 10;
const double kFractions[] = {0.2, 0.5, 0.8};
// Made once and kept between runs.
const std::string kLibrary = "/tmp/lumivane-bench-photos/library";
std::string scratch;

std::string video() { return kLibrary + "/CLIP.MOV"; }

bool prepare() {
    fs::create_directories(kLibrary);
    if (!fs::exists(video()) && !runCommand({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                             "testsrc2=size=1920x1080:rate=30", "-t", std::to_string(kSeconds), "-c:v",
                                             "libx264", "-pix_fmt", "yuv420p", "-f", "mov", video() + ".part"}))
        return false;
    if (fs::exists(video() + ".part")) fs::rename(video() + ".part", video());
    std::ofstream(kLibrary + "/library.json")
        << R"({"assets": [{"id": "clip", "mediaType": "video", "duration": )" << kSeconds
        << R"(, "resources": [{"type": "video", "file": "CLIP.MOV"}]}]})";
    return true;
}

void BM_LibraryVideoFrames(benchmark::State& state) {
    MainLoop loop;
    Log log{Log::Options{false, false, false}};
    SimMac mac{
        SimMac::Options{(fs::create_directories(scratch + "/home"), scratch + "/home"), "com.lumivane.app", "", &log},
        loop};
    mac.library().load(kLibrary);
    SystemClock clock;
    ImportSources sources;
    LibraryBridge bridge{
        BridgeContext{mac.platform(), loop, log, clock, std::make_shared<EventHandler>(loop), scratch, sources}};
    for (auto _ : state)
        if (bridge.videoFrames("clip", {std::begin(kFractions), std::end(kFractions)}, 160).size() != 3)
            state.SkipWithError("no frames");
}

void BM_FfmpegCommandPerFrame(benchmark::State& state) {
    for (auto _ : state)
        for (double fraction : kFractions)
            if (!runCommand({"ffmpeg", "-v", "error", "-y", "-ss", std::to_string(kSeconds * fraction), "-i", video(),
                             "-frames:v", "1", "-vf", "scale=160:160:force_original_aspect_ratio=decrease", "-q:v", "3",
                             scratch + "/frame.jpg"}))
                state.SkipWithError("ffmpeg failed");
}

BENCHMARK(BM_LibraryVideoFrames)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FfmpegCommandPerFrame)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    tuneAllocatorForLargeBuffers();  // as the host process does
    ScratchFolder scratchFolder;     // removed when the run ends
    scratch = scratchFolder.path();
    if (!prepare()) return 1;
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"\"videoFrames\", three 160 px frames of a 10 s 1080p H.264 clip / the ffmpeg command "
          "once per frame (goal: at most 1)",
          "BM_LibraryVideoFrames", "BM_FfmpegCommandPerFrame"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
