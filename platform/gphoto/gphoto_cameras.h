#pragma once
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/image_capture.h"
#include "platform/imaging.h"
#include "runtime/lifetime.h"
#include "runtime/main_loop.h"

namespace lumivane {

// Cameras through libgphoto2 (PTP/MTP over USB, and every camera it drives):
// the device browser polls libgphoto2's detection on a thread of its own
// every few seconds and reports each camera added or removed on the main
// loop; folders given at construction are cameras on libgphoto2's "Directory
// Browse" driver, for trying the adapter without a camera (and for the tests).
// A camera's session, catalog, thumbnails, downloads and eject run on its own
// serial queue, since libgphoto2 is not safe to share for one camera;
// different cameras work in parallel. Every report reaches its delegate on
// the main loop.
//
// Threads: the DeviceBrowser methods on the main loop; `mutex_` guards
// `stopping_`; the poll thread sleeps in poll() on `stopFd_` (and on udev's
// USB notices where libudev is there). `devices_` and `ejected_` belong to the
// main loop.
class GphotoCameras final : public DeviceBrowser {
public:
    GphotoCameras(MainLoop& loop, Imaging& imaging, std::vector<std::string> directoryFolders);
    ~GphotoCameras() override;

    void setDelegate(DeviceBrowserDelegate* delegate) override { delegate_ = delegate; }
    void setBrowsedDeviceTypeMask(std::uint32_t) override {}
    void start() override;

    class Device;
    // ---- for the devices ----
    // Runs `report` on the main loop, unless the browser is gone by then.
    void later(std::function<void()> report);
    // Main loop: an ejected camera leaves; a detected one stays away until it
    // is no longer detected.
    void ejected(const std::shared_ptr<Device>& device);
    Imaging& imaging() { return imaging_; }

    static constexpr auto kPollInterval = std::chrono::seconds(3);
    // A passcode-locked device, as the system reports it when a session opens.
    static constexpr std::int64_t kLockedSessionError = -9943;

    // The session error to report for libgphoto2's `result`, given the last
    // error text the camera's driver gave: a phone that answers PTP with
    // "Access Denied" is locked; anything else is the result itself.
    static std::int64_t sessionError(int result, const std::string& driverMessage);

    // A camera libgphoto2 detects: its model and port ("usb:001,004").
    struct Found {
        std::string model, port;
        bool operator<(const Found& other) const { return std::tie(model, port) < std::tie(other.model, other.port); }
    };
    // Main loop: the cameras detected now (what the poll thread finds each
    // round). New ones are added, missing ones removed; an ejected one stays
    // away until a round no longer finds it, then comes back when plugged in.
    void detected(const std::set<Found>& found);

private:
    void poll();
    void add(const Found& found);

    MainLoop& loop_;
    Imaging& imaging_;
    std::vector<std::string> folders_;
    DeviceBrowserDelegate* delegate_ = nullptr;
    std::map<Found, std::shared_ptr<Device>> devices_;
    std::set<Found> ejected_;
    std::mutex mutex_;
    bool stopping_ = false;
    int stopFd_ = -1;  // an eventfd, written once to end the poll thread
    std::thread poller_;
    Lifetime lifetime_;  // reports hopping back ask it; ended before the devices go
};

}  // namespace lumivane
