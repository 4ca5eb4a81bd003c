// Real-phone code on the wire: the libimobiledevice provider against the phone
// emulator (usbmux, lockdown, AFC over a Unix socket). A 256 MiB download
// against a plain copy of the same file, and a scan of 2,000 files cold and
// warm. Ratios are against baselines measured in this run.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "bench/iphone_rig.h"
#include "bench/plain_copy.h"
#include "bench/ratio_reporter.h"
#include "bench/scratch_folder.h"
#include "runtime/allocator.h"
#include "tools/phone_emulator/phone_emulator.h"

using namespace lumivane;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMiB = 1 << 20;
constexpr int kScanFiles = 2'000;
constexpr char kDownUdid[] = "00008110-000000000000D0A1", kScanUdid[] = "00008110-000000000000D0A2";

std::string providerPath;
std::string work;

struct Rig : IPhoneRig {
    Rig(const std::string& udid) : IPhoneRig(providerPath, work, udid, 8) {}
};

void BM_PlainCopy256MiB(benchmark::State& state) {
    for (auto _ : state) {
        auto start = steady_clock::now();
        plainCopy(work + "/down/DCIM/100APPLE/BIG.MOV", work + "/plain.out");
        state.SetIterationTime(duration<double>(steady_clock::now() - start).count());
        fs::remove(work + "/plain.out");
    }
}

void BM_WireDownload256MiB(benchmark::State& state) {
    Rig rig(kDownUdid);
    for (auto _ : state) {
        auto start = steady_clock::now();
        rig.download({{"100APPLE/BIG.MOV", work + "/download.out"}});
        state.SetIterationTime(duration<double>(steady_clock::now() - start).count());
        if (!fs::exists(work + "/download.out") || fs::file_size(work + "/download.out") != 256 * kMiB)
            state.SkipWithError("short download");
        fs::remove(work + "/download.out");
    }
}

void scan(benchmark::State& state, bool warm) {
    Rig rig(kScanUdid);
    if (warm) rig.scan();
    for (auto _ : state) {
        auto start = steady_clock::now();
        auto found = rig.scan();
        state.SetIterationTime(duration<double>(steady_clock::now() - start).count());
        if (found != std::size_t(kScanFiles)) state.SkipWithError("the scan did not list every file");
    }
}
void BM_WireScanCold(benchmark::State& state) { scan(state, false); }
void BM_WireScanWarm(benchmark::State& state) { scan(state, true); }

BENCHMARK(BM_PlainCopy256MiB)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WireDownload256MiB)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WireScanCold)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WireScanWarm)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    tuneAllocatorForLargeBuffers();
    ScratchFolder scratchFolder;  // removed when the run ends
    work = scratchFolder.path();
    providerPath = beside("../lib/liblumivane_imobiledevice.so");
    makeFile(work + "/down/DCIM/100APPLE/BIG.MOV", 256 * kMiB);
    for (int i = 0; i < kScanFiles; ++i)
        makeFile(work + "/scan/DCIM/" + std::to_string(100 + i / 1000) + "APPLE/IMG_" + std::to_string(i) + ".JPG", 64);
    emulator::PhoneEmulator emulator;
    emulator.addPhone(kDownUdid, work + "/down", "Down");
    emulator.addPhone(kScanUdid, work + "/scan", "Scan");
    if (!emulator.start(work + "/usbmuxd")) return 1;
    setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + work + "/usbmuxd").c_str(), 1);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        {{"plain copy / download of 256 MiB through the emulator, i.e. wire download throughput as a share of a "
          "plain copy (goal: at least 0.5)",
          "BM_PlainCopy256MiB", "BM_WireDownload256MiB"},
         {"warm re-scan / cold scan of 2,000 files through the emulator", "BM_WireScanWarm", "BM_WireScanCold"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    emulator.stop();
    return 0;
}
