#pragma once
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <chrono>
#include <thread>

#include "platform/image_capture.h"
#include "platform/imaging.h"
#include "platform/video_frames.h"
#include "runtime/concurrent_queue.h"
#include "runtime/lifetime.h"
#include "runtime/main_loop.h"

namespace lumivane {

struct SimCameraShared;

// Simulated camera devices whose item tree is a real folder: hidden files
// left out, entries in name order, sizes and modification times from the
// disk, pixel sizes and lengths from the files' headers. As a camera does,
// each device reads its catalogue when its session opens, on a queue of its
// own, and keeps it; "ready" and the item reports come once a new reading
// is done, and the main loop only swaps it in. Every report reaches its
// delegate later on the main loop, as the system's would. Main thread only.
class SimCameraBrowser final : public DeviceBrowser {
public:
    struct DeviceSpec {
        std::optional<std::string> uuid, name, kind, transport, serial;
        std::string root;  // the folder
        bool canEject = true;
        std::optional<std::vector<std::string>> mediaFiles;  // root-relative; none: every file
        std::optional<std::int64_t> sessionError;            // the session-open report's error code
        bool ready = true;                                   // the catalog completes right after a normal session open
        bool camera = true;                                  // false: a device that is not a camera
    };

    // Pixel sizes, durations and thumbnails come from the imaging and video
    // frame layers, as a camera's own would describe its files.
    SimCameraBrowser(MainLoop& loop, Imaging& imaging, VideoFrames& videoFrames)
        : loop_(loop), imaging_(imaging), videoFrames_(videoFrames) {}
    ~SimCameraBrowser() override;

    void setDelegate(DeviceBrowserDelegate* delegate) override { delegate_ = delegate; }
    void setBrowsedDeviceTypeMask(std::uint32_t mask) override { mask_ = mask; }
    void start() override;

    // ---- the controls; each answers the device key the bridge will use, or
    // none when no such device ----
    std::string add(const DeviceSpec& spec);
    bool remove(const std::string& key);
    bool setLocked(const std::string& key, bool locked);
    bool makeReady(const std::string& key);
    bool closeSession(const std::string& key);
    // Reads the device's folder again, then reports the items added or removed.
    bool itemsChanged(const std::string& key, bool added, bool removed);
    // Whether no catalogue is being read: every report of one has been made.
    bool catalogued() const { return building_ == 0; }
    // How the device's downloads and thumbnails behave from now on.
    struct Behaviour {
        std::chrono::milliseconds chunkDelay{0};   // a pause after each downloaded chunk
        bool noProgress = false;                   // downloads give no progress object
        std::optional<std::string> downloadError;  // the next download fails so
        bool thumbnailError = false;               // thumbnails deliver no data
        std::optional<std::string> ejectError;     // the next eject fails so
    };
    // Keeps the eject result apart: "camera.set" leaves it as it is.
    bool setBehaviour(const std::string& key, Behaviour behaviour);
    bool setEjectError(const std::string& key, std::optional<std::string> error);

    class Device;

    // ---- for the simulated devices and their items ----
    // Runs `report` on the main loop, unless the browser is gone by then.
    void later(std::function<void()> report);
    // Runs a download's copy on a worker of its own (workers retire when idle,
    // so a long-lived browser keeps no thread per download); the destructor
    // waits for copies in flight.
    void copyInBackground(std::function<void()> copy);
    Imaging& imaging() { return imaging_; }
    VideoFrames& videoFrames() { return videoFrames_; }

private:
    std::shared_ptr<Device> find(const std::string& key);

    MainLoop& loop_;
    Imaging& imaging_;
    VideoFrames& videoFrames_;
    DeviceBrowserDelegate* delegate_ = nullptr;
    std::unique_ptr<ConcurrentQueue> copies_ = std::make_unique<ConcurrentQueue>("lumivane.sim.camera.copies");
    std::uint32_t mask_ = 0;
    bool started_ = false;
    std::vector<std::shared_ptr<Device>> devices_;  // attached, in order
    // What each device ever added shares with its items, so that the
    // destructor can stop every catalogue still being read.
    std::vector<std::shared_ptr<SimCameraShared>> shared_;
    int building_ = 0;   // catalogues being read
    Lifetime lifetime_;  // reports hopping back ask it; ended before the copies go
};

}  // namespace lumivane
