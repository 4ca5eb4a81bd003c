// The camera roll against the simulated provider: scan parallelism, warm
// re-scans, download throughput against a plain copy of the same file, and the
// memory a download holds. Ratios are against baselines measured in this run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "bench/iphone_rig.h"
#include "bench/plain_copy.h"
#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "bench/scratch_folder.h"
#include "bridges/iphone/dcim_scan.h"
#include "bridges/iphone/iphone_thumbnail.h"
#include "bridges/iphone/mobile_device_bridge.h"
#include "platform/sim/sim_phones.h"
#include "platform/vips/vips_imaging.h"
#include "runtime/allocator.h"
#include "tools/sample_images/sample_images.h"

using namespace lumivane;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

constexpr int kScanFiles = 10'000;
constexpr std::uint32_t kInfoLatencyMicros = 2000;
constexpr std::size_t kMiB = 1 << 20;

std::string providerPath;
std::string work;  // scratch folder of this run

// A bridge over the simulated provider with one attached phone.
struct Rig : IPhoneRig {
    Rig(const std::string& phoneUdid, std::size_t workers) : IPhoneRig(providerPath, work, phoneUdid, workers) {}
};

void scanBenchmark(benchmark::State& state, const char* udid, std::size_t workers, bool warm) {
    Rig rig(udid, workers);
    if (warm) rig.scan();  // fills the cache
    for (auto _ : state) {
        auto start = steady_clock::now();
        auto found = rig.scan();
        state.SetIterationTime(duration<double>(steady_clock::now() - start).count());
        if (found != static_cast<std::size_t>(kScanFiles)) state.SkipWithError("the scan did not list every file");
    }
}

void BM_ScanColdEightConnections(benchmark::State& state) { scanBenchmark(state, "SCAN8", 8, false); }
void BM_ScanColdOneConnection(benchmark::State& state) { scanBenchmark(state, "SCAN1", 1, false); }
void BM_ScanWarm(benchmark::State& state) { scanBenchmark(state, "SCANW", 8, true); }

// What the scan would take with 8 connections and nothing but file-info waits.
void BM_ScanIdealEight(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(kScanFiles * kInfoLatencyMicros / 1e6 / 8);
}

void BM_PlainCopy512MiB(benchmark::State& state) {
    for (auto _ : state) {
        auto start = steady_clock::now();
        plainCopy(work + "/DOWN/DCIM/100APPLE/BIG.MOV", work + "/plain.out");
        state.SetIterationTime(duration<double>(steady_clock::now() - start).count());
        fs::remove(work + "/plain.out");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 512 * kMiB));
}

void BM_Download512MiB(benchmark::State& state) {
    Rig rig("DOWN", 8);
    for (auto _ : state) {
        auto start = steady_clock::now();
        rig.download({{"100APPLE/BIG.MOV", work + "/download.out"}});
        state.SetIterationTime(duration<double>(steady_clock::now() - start).count());
        if (fs::file_size(work + "/download.out") != 512 * kMiB) state.SkipWithError("short download");
        fs::remove(work + "/download.out");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 512 * kMiB));
}

void BM_FourParallelDownloads128MiB(benchmark::State& state) {
    Rig rig("DOWN", 8);
    for (auto _ : state) {
        std::vector<std::pair<std::string, std::string>> jobs;
        for (int i = 0; i < 4; ++i)
            jobs.emplace_back("100APPLE/PART" + std::to_string(i) + ".MOV",
                              work + "/part" + std::to_string(i) + ".out");
        auto start = steady_clock::now();
        rig.download(jobs);
        state.SetIterationTime(duration<double>(steady_clock::now() - start).count());
        for (auto& job : jobs) fs::remove(job.second);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 512 * kMiB));
}

constexpr int kThumbnails = 5;

// Photos 1 to 5 have the phone's own rendering; 6 to 10 are the same
// 12-megapixel photos without one.
void thumbnailBenchmark(benchmark::State& state, int first) {
    Rig rig("THUMB", 8);
    for (auto _ : state) {
        for (int i = first; i < first + kThumbnails; ++i)
            if (!rig.thumbnail("100APPLE/IMG_" + std::to_string(i) + ".JPG")) state.SkipWithError("no thumbnail");
    }
    state.SetItemsProcessed(state.iterations() * kThumbnails);
}
void BM_ThumbnailFromPhoneRendering(benchmark::State& state) { thumbnailBenchmark(state, 1); }
void BM_ThumbnailFromPhoto(benchmark::State& state) { thumbnailBenchmark(state, 1 + kThumbnails); }

// How far the resident size rises above its level before a 512 MiB download.
void BM_DownloadPeakMemory(benchmark::State& state) {
    Rig rig("DOWN", 8);
    for (auto _ : state) {
        resetPeakMemory();
        long before = statusKiB("VmRSS:");
        rig.download({{"100APPLE/BIG.MOV", work + "/memory.out"}});
        state.counters["peak_growth_MiB"] = static_cast<double>(statusKiB("VmHWM:") - before) / 1024.0;
        fs::remove(work + "/memory.out");
    }
}

BENCHMARK(BM_ScanIdealEight)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanColdEightConnections)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanColdOneConnection)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanWarm)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCopy512MiB)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Download512MiB)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FourParallelDownloads128MiB)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThumbnailFromPhoneRendering)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThumbnailFromPhoto)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    tuneAllocatorForLargeBuffers();  // as the host process does
    ScratchFolder scratchFolder;     // removed when the run ends
    work = scratchFolder.path();
    providerPath = beside("../lib/liblumivane_sim_mobile_device.so");
    SimPhones sim;
    if (!sim.open(providerPath)) return 1;
    for (int i = 0; i < kScanFiles; ++i) {
        auto folder = work + "/scan/DCIM/" + std::to_string(100 + i / 1000) + "APPLE";
        if (i % 1000 == 0) fs::create_directories(folder);
        std::ofstream(folder + "/IMG_" + std::to_string(i) + ".JPG") << "jpeg";
    }
    for (const char* udid : {"SCAN8", "SCAN1", "SCANW"}) {
        sim.LVSimAddPhone(udid, udid, (work + "/scan").c_str(), 1);
        sim.LVSimSetLatency(udid, kInfoLatencyMicros);
        sim.LVSimAttach(udid, kAMDInterfaceUSB);
    }
    makeFile(work + "/DOWN/DCIM/100APPLE/BIG.MOV", 512 * kMiB);
    for (int i = 0; i < 4; ++i) makeFile(work + "/DOWN/DCIM/100APPLE/PART" + std::to_string(i) + ".MOV", 128 * kMiB);
    sim.LVSimAddPhone("DOWN", "DOWN", (work + "/DOWN").c_str(), 1);
    sim.LVSimAttach("DOWN", kAMDInterfaceUSB);

    auto photo = samples::make({.width = 4000, .height = 3000, .detailed = true, .quality = 92});
    auto rendering = samples::make({.width = 256, .height = 192, .quality = 75});
    for (int i = 1; i <= 2 * kThumbnails; ++i) {
        auto name = "IMG_" + std::to_string(i) + ".JPG";
        fs::create_directories(work + "/THUMB/DCIM/100APPLE");
        std::ofstream(work + "/THUMB/DCIM/100APPLE/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(photo.data()), std::streamsize(photo.size()));
        if (i > kThumbnails) continue;
        auto folder = work + "/THUMB/PhotoData/Thumbnails/V2/DCIM/100APPLE/" + name;
        fs::create_directories(folder);
        std::ofstream(folder + "/5005.JPG", std::ios::binary)
            .write(reinterpret_cast<const char*>(rendering.data()), std::streamsize(rendering.size()));
    }
    sim.LVSimAddPhone("THUMB", "THUMB", (work + "/THUMB").c_str(), 1);
    sim.LVSimAttach("THUMB", kAMDInterfaceUSB);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"cold scan of 10,000 files, one connection / eight (goal: at least 7)", "BM_ScanColdOneConnection",
          "BM_ScanColdEightConnections"},
         {"cold scan, eight connections / the ideal n x 2 ms / 8", "BM_ScanColdEightConnections", "BM_ScanIdealEight"},
         {"warm re-scan / cold scan (goal: under 0.05)", "BM_ScanWarm", "BM_ScanColdEightConnections"},
         {"plain copy / download of 512 MiB, i.e. download throughput as a share of a plain copy (goal: at least 0.8)",
          "BM_PlainCopy512MiB", "BM_Download512MiB"},
         {"4 parallel 128 MiB downloads / one 512 MiB download (goal: at most 1)", "BM_FourParallelDownloads128MiB",
          "BM_Download512MiB"},
         {"\"iphone.thumbnail\" of a 12 MP photo read over AFC / through the phone's 5005.JPG", "BM_ThumbnailFromPhoto",
          "BM_ThumbnailFromPhoneRendering"}},
        {"peak memory: see peak_growth_MiB of BM_DownloadPeakMemory (goal: a few MiB)"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
