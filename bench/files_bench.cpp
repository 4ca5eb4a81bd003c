// "file.thumbnail" on photos and a video on the Mac's own disks, against what
// a user would run instead (`vipsthumbnail`, the `ffmpeg` command), and with
// several calls in flight against one.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "bench/ratio_reporter.h"
#include "bench/run_command.h"
#include "bench/scratch_folder.h"
#include "bridges/files/file_volume_bridge.h"
#include "platform/sim/sim_mac.h"
#include "runtime/allocator.h"
#include "tools/sample_images/sample_images.h"

using namespace lumivane;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

constexpr int kPhotos = 30;
constexpr int kPx = 256;
// Made once and kept between runs.
const std::string kSamples = "/tmp/lumivane-bench-photos/files";
std::string scratch;

std::string photo(int i) { return kSamples + "/IMG_" + std::to_string(i) + ".JPG"; }
std::string video() { return kSamples + "/CLIP.MOV"; }

bool prepare() {
    fs::create_directories(kSamples);
    for (int i = 0; i < kPhotos; ++i) {
        if (fs::exists(photo(i))) continue;
        // Half carry the 160-pixel EXIF thumbnail a camera writes.
        samples::Spec spec{
            .width = 4000, .height = 3000, .thumbnail = i % 2 ? 160 : 0, .detailed = true, .quality = 92};
        if (!samples::write(photo(i) + ".part", spec)) return false;
        fs::rename(photo(i) + ".part", photo(i));
    }
    if (!fs::exists(video()) &&
        !runCommand({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30", "-t", "10",
                     "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "mov", video()}))
        return false;
    return true;
}

// A host's files bridge over the simulated Mac (real imaging, real frames).
struct Rig {
    std::string home = scratch + "/home";
    MainLoop loop;
    SimMac mac{SimMac::Options{(fs::create_directories(home), home), "com.lumivane.app", ""}, loop};
    Log log{Log::Options{false, false, false}};
    SystemClock clock;
    ImportSources sources;
    FileVolumeBridge bridge{
        BridgeContext{mac.platform(), loop, log, clock, std::make_shared<EventHandler>(loop), home, sources}};

    // Every photo through the channel handler, `inFlight` calls at a time.
    void thumbnails(int inFlight, benchmark::State& state) {
        int next = 0, answered = 0;
        auto send = [&] {
            MethodCall call{"file.thumbnail", EncodableMap{{"path", photo(next++)}, {"px", kPx}}};
            MethodResult result(
                "file.thumbnail", [&](Bytes) { ++answered; }, log);
            bridge.handle(call, result);
        };
        while (next < std::min(inFlight, kPhotos)) send();
        while (answered < kPhotos) {
            int before = answered;
            loop.runUntil([&] { return answered > before; }, seconds(60));
            while (next < kPhotos && next - answered < inFlight) send();
            if (answered == before) return state.SkipWithError("no answer");
        }
    }
};

void BM_FileThumbnailOneInFlight(benchmark::State& state) {
    Rig rig;
    for (auto _ : state) rig.thumbnails(1, state);
    state.SetItemsProcessed(state.iterations() * kPhotos);
}

void BM_FileThumbnailFourInFlight(benchmark::State& state) {
    Rig rig;
    for (auto _ : state) rig.thumbnails(4, state);
    state.SetItemsProcessed(state.iterations() * kPhotos);
}

void BM_VipsthumbnailEach(benchmark::State& state) {
    for (auto _ : state)
        for (int i = 0; i < kPhotos; ++i)
            if (!runCommand({"vipsthumbnail", "-s", std::to_string(kPx), "--output=" + scratch + "/%s.jpg[Q=80,strip]",
                             photo(i)}))
                state.SkipWithError("vipsthumbnail failed");
    state.SetItemsProcessed(state.iterations() * kPhotos);
}

constexpr int kVideoRuns = 10;

void BM_FileThumbnailVideo(benchmark::State& state) {
    Rig rig;
    for (auto _ : state)
        for (int i = 0; i < kVideoRuns; ++i)
            if (!rig.bridge.thumbnail(video(), kPx)) state.SkipWithError("no frame");
}

void BM_FfmpegCommandVideo(benchmark::State& state) {
    for (auto _ : state)
        for (int i = 0; i < kVideoRuns; ++i)
            if (!runCommand({"ffmpeg", "-v", "error", "-y", "-ss", "0.5", "-i", video(), "-frames:v", "1", "-vf",
                             "scale=256:256:force_original_aspect_ratio=decrease", "-q:v", "3",
                             scratch + "/frame.jpg"}))
                state.SkipWithError("ffmpeg failed");
}

BENCHMARK(BM_FileThumbnailOneInFlight)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FileThumbnailFourInFlight)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_VipsthumbnailEach)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FileThumbnailVideo)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FfmpegCommandVideo)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    tuneAllocatorForLargeBuffers();  // as the host process does
    ScratchFolder scratchFolder;     // removed when the run ends
    scratch = scratchFolder.path();
    if (!prepare()) return 1;
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"\"file.thumbnail\" of 30 12 MP photos (half with a 160 px EXIF thumbnail) / vipsthumbnail per photo "
          "(goal: at most 1)",
          "BM_FileThumbnailOneInFlight", "BM_VipsthumbnailEach"},
         {"\"file.thumbnail\", one call in flight / four (the speed-up of four)", "BM_FileThumbnailOneInFlight",
          "BM_FileThumbnailFourInFlight"},
         {"video thumbnail / the ffmpeg command (goal: at most 1)", "BM_FileThumbnailVideo", "BM_FfmpegCommandVideo"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
