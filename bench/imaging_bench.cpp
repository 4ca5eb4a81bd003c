// Thumbnails of 12-megapixel photos: the host's imaging against the
// `vipsthumbnail` command on the same files, a HEIC's thumbnail item against
// its full picture, and the memory of eight renders at once.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "bench/run_command.h"
#include "bench/scratch_folder.h"
#include "bridges/common/jpeg_thumbnail.h"
#include "platform/vips/vips_imaging.h"
#include "runtime/allocator.h"
#include "tools/sample_images/sample_images.h"

using namespace lumivane;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

constexpr int kPhotos = 30;
constexpr int kPx = 256;

// Generated once and kept between runs: making thirty HEIC files takes a while.
const std::string kSamples = "/tmp/lumivane-bench-photos";
std::string scratch;  // this run's output folder

struct Set {
    const char* name;
    samples::Spec spec;
};
const Set kSets[] = {
    {"jpeg420", {.format = samples::Format::jpeg, .width = 4000, .height = 3000, .detailed = true, .quality = 92}},
    {"jpeg444", {.format = samples::Format::jpeg444, .width = 4000, .height = 3000, .detailed = true, .quality = 92}},
    {"heic", {.format = samples::Format::heic, .width = 4000, .height = 3000, .detailed = true, .quality = 60}},
    {"heic-thumb",
     {.format = samples::Format::heic,
      .width = 4000,
      .height = 3000,
      .thumbnail = 320,
      .detailed = true,
      .quality = 60}},
};

std::vector<std::string> files(const std::string& set) {
    std::vector<std::string> out;
    for (int i = 0; i < kPhotos; ++i) out.push_back(kSamples + "/" + set + "/" + std::to_string(i) + ".img");
    return out;
}

bool prepare() {
    for (const auto& set : kSets) {
        fs::create_directories(kSamples + "/" + set.name);
        for (const auto& path : files(set.name)) {
            if (fs::exists(path)) continue;
            std::fprintf(stderr, "making %s\n", path.c_str());
            if (!samples::write(path + ".part", set.spec)) return false;
            fs::rename(path + ".part", path);
        }
    }
    return true;
}

// What a user would run instead: one `vipsthumbnail` per photo, paying its
// start each time, or one for all thirty.
void vipsthumbnail(benchmark::State& state, const char* set, bool oneProcess) {
    auto photos = files(set);
    auto output = "--output=" + scratch + "/%s.jpg[Q=80,strip]";
    for (auto _ : state) {
        if (oneProcess) {
            std::vector<std::string> args{"vipsthumbnail", "-s", std::to_string(kPx), output};
            args.insert(args.end(), photos.begin(), photos.end());
            if (!runCommand(args)) state.SkipWithError("vipsthumbnail failed");
        } else {
            for (const auto& photo : photos)
                if (!runCommand({"vipsthumbnail", "-s", std::to_string(kPx), output, photo}))
                    state.SkipWithError("vipsthumbnail failed");
        }
    }
    state.SetItemsProcessed(state.iterations() * kPhotos);
}

void host(benchmark::State& state, const char* set, ThumbnailFrom from) {
    VipsImaging imaging;
    auto photos = files(set);
    for (auto _ : state) {
        for (const auto& photo : photos) {
            auto source = imaging.sourceAtPath(photo);
            auto jpeg = source ? jpegThumbnail(imaging, *source, from, kPx) : std::nullopt;
            if (!jpeg) state.SkipWithError("no thumbnail");
            benchmark::DoNotOptimize(jpeg);
        }
    }
    state.SetItemsProcessed(state.iterations() * kPhotos);
}

// How far the resident size rises while eight photos render at once.
void peak(benchmark::State& state, const char* set) {
    VipsImaging imaging;
    auto photos = files(set);
    for (auto _ : state) {
        resetPeakMemory();
        long before = statusKiB("VmRSS:");
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&, i] {
                auto source = imaging.sourceAtPath(photos[i]);
                if (source) benchmark::DoNotOptimize(jpegThumbnail(imaging, *source, ThumbnailFrom::imageAlways, kPx));
            });
        for (auto& thread : threads) thread.join();
        state.counters["peak_growth_MiB"] = static_cast<double>(statusKiB("VmHWM:") - before) / 1024.0;
        // What is still held once the burst is over: the host gives back
        // what the renders left a second after the last one.
        std::this_thread::sleep_for(seconds(2));
        state.counters["after_burst_MiB"] = static_cast<double>(statusKiB("VmRSS:") - before) / 1024.0;
    }
}

void BM_HostJpeg420(benchmark::State& s) { host(s, "jpeg420", ThumbnailFrom::imageAlways); }
void BM_HostJpeg444(benchmark::State& s) { host(s, "jpeg444", ThumbnailFrom::imageAlways); }
void BM_HostHeic(benchmark::State& s) { host(s, "heic", ThumbnailFrom::imageAlways); }
void BM_VipsthumbnailEachJpeg420(benchmark::State& s) { vipsthumbnail(s, "jpeg420", false); }
void BM_VipsthumbnailEachJpeg444(benchmark::State& s) { vipsthumbnail(s, "jpeg444", false); }
void BM_VipsthumbnailEachHeic(benchmark::State& s) { vipsthumbnail(s, "heic", false); }
void BM_VipsthumbnailOnceJpeg420(benchmark::State& s) { vipsthumbnail(s, "jpeg420", true); }
void BM_VipsthumbnailOnceJpeg444(benchmark::State& s) { vipsthumbnail(s, "jpeg444", true); }
void BM_VipsthumbnailOnceHeic(benchmark::State& s) { vipsthumbnail(s, "heic", true); }
void BM_HeicThumbnailItem(benchmark::State& s) { host(s, "heic-thumb", ThumbnailFrom::embeddedIfPresent); }
void BM_HeicFullPicture(benchmark::State& s) { host(s, "heic-thumb", ThumbnailFrom::imageAlways); }
void BM_PeakEightJpeg(benchmark::State& s) { peak(s, "jpeg420"); }
void BM_PeakEightHeic(benchmark::State& s) { peak(s, "heic"); }

#define LUMIVANE_BENCH(name, iterations) \
    BENCHMARK(name)->Iterations(iterations)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()
LUMIVANE_BENCH(BM_HostJpeg420, 3);
LUMIVANE_BENCH(BM_VipsthumbnailEachJpeg420, 3);
LUMIVANE_BENCH(BM_VipsthumbnailOnceJpeg420, 3);
LUMIVANE_BENCH(BM_HostJpeg444, 3);
LUMIVANE_BENCH(BM_VipsthumbnailEachJpeg444, 3);
LUMIVANE_BENCH(BM_VipsthumbnailOnceJpeg444, 3);
LUMIVANE_BENCH(BM_HostHeic, 2);
LUMIVANE_BENCH(BM_VipsthumbnailEachHeic, 2);
LUMIVANE_BENCH(BM_VipsthumbnailOnceHeic, 2);
LUMIVANE_BENCH(BM_HeicThumbnailItem, 3);
LUMIVANE_BENCH(BM_HeicFullPicture, 2);
BENCHMARK(BM_PeakEightJpeg)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakEightHeic)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    tuneAllocatorForLargeBuffers();  // as the host process does
    if (!prepare()) return 1;
    ScratchFolder scratchFolder;  // removed when the run ends
    scratch = scratchFolder.path();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"JPEG 4:2:0 thumbnail, host / vipsthumbnail per photo (goal: at most 1)", "BM_HostJpeg420",
          "BM_VipsthumbnailEachJpeg420"},
         {"JPEG 4:2:0 thumbnail, host / vipsthumbnail, one process for all", "BM_HostJpeg420",
          "BM_VipsthumbnailOnceJpeg420"},
         {"JPEG 4:4:4 thumbnail, host / vipsthumbnail per photo (goal: at most 1)", "BM_HostJpeg444",
          "BM_VipsthumbnailEachJpeg444"},
         {"JPEG 4:4:4 thumbnail, host / vipsthumbnail, one process for all", "BM_HostJpeg444",
          "BM_VipsthumbnailOnceJpeg444"},
         {"HEIC thumbnail, host / vipsthumbnail per photo (goal: at most 1)", "BM_HostHeic",
          "BM_VipsthumbnailEachHeic"},
         {"HEIC thumbnail, host / vipsthumbnail, one process for all", "BM_HostHeic", "BM_VipsthumbnailOnceHeic"},
         {"HEIC full picture / thumbnail item (goal: at least 10)", "BM_HeicFullPicture", "BM_HeicThumbnailItem"}},
        {"peak memory: see peak_growth_MiB of BM_PeakEight* (goal: under 400 MiB), and after_burst_MiB for what "
         "is still held two seconds after (goal: under 32 MiB)"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
