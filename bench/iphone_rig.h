#pragma once
// A phone bridge for the benchmarks, over any MobileDevice provider.
#include <filesystem>
#include <fstream>

#include "bridges/iphone/dcim_scan.h"
#include "bridges/iphone/iphone_thumbnail.h"
#include "bridges/iphone/mobile_device_bridge.h"
#include "platform/vips/vips_imaging.h"
#include "runtime/group.h"

namespace lumivane {

inline std::string beside(const std::string& relative) {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / relative).lexically_normal().string();
}

// A file of `size` bytes at `path`, its folders made.
inline void makeFile(const std::string& path, std::size_t size) {
    constexpr std::size_t kMiB = 1 << 20;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    std::string block(kMiB, 'v');
    for (std::size_t left = size; left > 0; left -= std::min(left, kMiB))
        out.write(block.data(), static_cast<std::streamsize>(std::min(left, kMiB)));
}

// A phone bridge over the provider at `providerPath`, with the phone `udid`
// attached; its stat cache lives in a fresh folder under `work`. Used on the
// benchmark's thread, which runs its main loop.
struct IPhoneRig {
    MainLoop loop;
    Log log{Log::Options{false, false, false}};
    SystemClock clock;
    VipsImaging imaging;
    std::shared_ptr<EventHandler> events = std::make_shared<EventHandler>(loop);
    std::unique_ptr<MobileDeviceBridge> bridge;
    std::string udid;

    IPhoneRig(const std::string& providerPath, const std::string& work, const std::string& phoneUdid,
              std::size_t workers)
        : udid(phoneUdid) {
        MobileDeviceBridge::Options options;
        options.dataFolder = work + "/data-" + udid;
        options.maxSizingWorkers = workers;
        std::filesystem::remove_all(options.dataFolder);  // a cold cache
        bridge = std::make_unique<MobileDeviceBridge>(MobileDevice::open(providerPath, log), loop, events, log, clock,
                                                      imaging, options);
        bridge->subscribe();
        loop.runUntil(
            [&] {
                auto phone = bridge->links().phone(udid);
                if (!phone) return false;
                MutexLock lock(phone->infoLock);
                return phone->name.has_value();  // the attach's refresh has run
            },
            std::chrono::seconds(10));
    }

    // A full "iphone.media" scan on the phone's queue; answers its length.
    std::size_t scan() {
        auto phone = bridge->links().phone(udid);
        Semaphore done;
        std::size_t found = 0;
        phone->queue.post([&] {
            auto listed = bridge->links().withControlConnection<MediaListing>(
                *phone, [&](AFCConnection& control) { return DcimScan(bridge->context(), *phone, control).media(); });
            if (listed.ok()) found = listed.value().size();
            done.signal();
        });
        done.waitFor(std::chrono::seconds(300));
        return found;
    }

    // "iphone.thumbnail" on the phone's queue; answers whether it rendered.
    bool thumbnail(const std::string& path) {
        auto phone = bridge->links().phone(udid);
        Semaphore done;
        bool rendered = false;
        phone->queue.post([&] {
            auto jpeg =
                bridge->links().withControlConnection<std::optional<Bytes>>(*phone, [&](AFCConnection& control) {
                    return IPhoneThumbnail(*bridge->links().api(), control, imaging).render(path, 256);
                });
            rendered = jpeg.ok() && jpeg.value();
            done.signal();
        });
        done.waitFor(std::chrono::seconds(60));
        return rendered;
    }

    // Downloads through the channel handler, all at once; runs the main loop
    // until every answer is in.
    void download(const std::vector<std::pair<std::string, std::string>>& pathsAndTargets) {
        int answers = 0;
        std::vector<MethodResult> keep;
        for (std::size_t i = 0; i < pathsAndTargets.size(); ++i) {
            MethodCall call{"iphone.download", EncodableMap{{"udid", udid},
                                                            {"path", pathsAndTargets[i].first},
                                                            {"target", pathsAndTargets[i].second},
                                                            {"token", "bench" + std::to_string(i)}}};
            MethodResult result(
                "iphone.download", [&](Bytes) { ++answers; }, log);
            bridge->handle(call, result);
        }
        loop.runUntil([&] { return answers == static_cast<int>(pathsAndTargets.size()); }, std::chrono::seconds(600));
    }
};

}  // namespace lumivane
