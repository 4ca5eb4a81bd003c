// A 512 MiB download from a simulated camera through "camera.download",
// against a plain flushed copy of the same file, and the memory it takes; a
// 256 MiB download and a catalog of 2,000 files through libgphoto2's
// Directory Browse driver.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

#include "bench/plain_copy.h"
#include "bench/process_memory.h"
#include "bench/ratio_reporter.h"
#include "bench/scratch_folder.h"
#include "bridges/camera/camera_bridge.h"
#include "platform/ffmpeg/ffmpeg_video_frames.h"
#include "platform/gphoto/gphoto_cameras.h"
#include "platform/sim/sim_cameras.h"
#include "platform/vips/vips_imaging.h"
#include "runtime/allocator.h"

using namespace lumivane;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMiB = 1 << 20;
std::string work;

// The camera bridge over a device browser with one camera.
struct BridgeRig {
    MainLoop loop;
    Log log{Log::Options{false, false, false}};
    VipsImaging imaging;
    std::string id;

    // The first camera of the list once it is ready, within `limit`.
    void waitForCamera(CameraBridge& bridge, seconds limit) {
        loop.runUntil(
            [&] {
                auto list = call(bridge, "camera.list", {});
                auto* cameras = list.get<EncodableList>();
                if (!cameras || cameras->empty()) return false;
                auto& camera = *(*cameras)[0].get<EncodableMap>();
                id = *camera.find("id")->get<std::string>();
                return *camera.find("ready") == EncodableValue(true);
            },
            limit);
    }
    EncodableValue call(CameraBridge& bridge, const std::string& method, EncodableMap args) {
        std::optional<Bytes> reply;
        MethodResult result(
            method, [&](Bytes bytes) { reply = std::move(bytes); }, log);
        bridge.handle({method, std::move(args)}, result);
        loop.runUntil([&] { return reply.has_value(); }, seconds(600));
        if (!reply) return EncodableValue();
        auto answer = StandardMethodCodec::decodeEnvelope(reply->data(), reply->size());
        auto* value = answer ? std::get_if<EncodableValue>(&*answer) : nullptr;
        return value ? *value : EncodableValue();
    }
    bool download(CameraBridge& bridge, const std::string& path, const std::string& target) {
        call(bridge, "camera.download",
             {{"id", id},
              {"path", path},
              {"dir", work},
              {"name", fs::path(target).filename().string()},
              {"token", "bench"}});
        return fs::exists(target);
    }
};

struct Rig : BridgeRig {
    FfmpegVideoFrames frames{imaging};
    SimCameraBrowser browser{loop, imaging, frames};
    CameraBridge bridge{browser, loop, std::make_shared<EventHandler>(loop)};
    HostMessenger messenger;

    Rig() {
        bridge.start(messenger);
        browser.add({.uuid = "CAM", .name = "Camera", .root = work + "/card"});
        waitForCamera(bridge, seconds(5));
    }
    bool download(const std::string& target) { return BridgeRig::download(bridge, "DCIM/BIG.MOV", target); }
};

// A Directory Browse camera at `folder` through libgphoto2.
struct GphotoRig : BridgeRig {
    GphotoCameras browser;
    CameraBridge bridge{browser, loop, std::make_shared<EventHandler>(loop)};
    HostMessenger messenger;

    explicit GphotoRig(const std::string& folder) : browser(loop, imaging, {folder}) {
        bridge.start(messenger);
        waitForCamera(bridge, seconds(120));
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

void BM_PlainCopy256MiB(benchmark::State& state) {
    for (auto _ : state) {
        plainCopy(work + "/gphoto/DCIM/100CANON/MVI_0001.MOV", work + "/plain.out");
        fs::remove(work + "/plain.out");
    }
}

void BM_GphotoDownload256MiB(benchmark::State& state) {
    GphotoRig rig(work + "/gphoto");
    for (auto _ : state) {
        if (!rig.download(rig.bridge, "DCIM/100CANON/MVI_0001.MOV", work + "/gphoto.out"))
            state.SkipWithError("no download");
        fs::remove(work + "/gphoto.out");
    }
}

// From the session's start to a complete catalog of 2,000 files.
void BM_GphotoCatalog2000(benchmark::State& state) {
    for (auto _ : state) {
        GphotoRig rig(work + "/catalog");
        auto media = rig.call(rig.bridge, "camera.media", {{"id", rig.id}});
        if (!media.get<EncodableList>() || media.get<EncodableList>()->size() != 2000)
            state.SkipWithError("the catalog is not complete");
    }
    state.SetItemsProcessed(state.iterations() * 2000);
}

BENCHMARK(BM_PlainCopy512MiB)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CameraDownload512MiB)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CameraDownloadPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCopy256MiB)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GphotoDownload256MiB)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GphotoCatalog2000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    tuneAllocatorForLargeBuffers();  // as the host process does
    ScratchFolder scratchFolder;     // removed when the run ends
    work = scratchFolder.path();
    fs::create_directories(work + "/card/DCIM");
    {
        std::ofstream out(work + "/card/DCIM/BIG.MOV", std::ios::binary);
        std::string block(kMiB, 'v');
        for (int i = 0; i < 512; ++i) out.write(block.data(), std::streamsize(block.size()));
    }
    fs::create_directories(work + "/gphoto/DCIM/100CANON");
    fs::copy_file(work + "/card/DCIM/BIG.MOV", work + "/gphoto/DCIM/100CANON/MVI_0001.MOV");
    fs::resize_file(work + "/gphoto/DCIM/100CANON/MVI_0001.MOV", 256 * kMiB);
    for (int i = 0; i < 2000; ++i) {
        auto folder = work + "/catalog/DCIM/" + std::to_string(100 + i / 500) + "CANON";
        fs::create_directories(folder);
        std::ofstream(folder + "/IMG_" + std::to_string(1000 + i) + ".JPG") << "jpeg";
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"plain copy / camera download of 512 MiB, i.e. download throughput as a share of a plain "
                             "copy (goal: at least 0.8)",
                             "BM_PlainCopy512MiB", "BM_CameraDownload512MiB"},
                            {"plain copy / libgphoto2 directory-camera download of 256 MiB (goal: at least 0.7)",
                             "BM_PlainCopy256MiB", "BM_GphotoDownload256MiB"}},
                           {"peak memory: see peak_growth_MiB of BM_CameraDownloadPeakMemory (goal: flat)",
                            "catalog: see items_per_second of BM_GphotoCatalog2000 (files a second)"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
