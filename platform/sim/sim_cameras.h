#pragma once
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/image_capture.h"
#include "runtime/main_loop.h"

namespace lumivane {

// Simulated camera devices whose item tree is a real folder: hidden files
// left out, entries in name order, sizes and modification times from the
// disk. Every report reaches its delegate later on the main loop, as the
// system's would. Main thread only.
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

    explicit SimCameraBrowser(MainLoop& loop) : loop_(loop) {}
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
    bool itemsChanged(const std::string& key, bool added, bool removed);

    class Device;

private:
    std::shared_ptr<Device> find(const std::string& key);
    void later(std::function<void()> report);

    MainLoop& loop_;
    DeviceBrowserDelegate* delegate_ = nullptr;
    std::uint32_t mask_ = 0;
    bool started_ = false;
    std::vector<std::shared_ptr<Device>> devices_;                // attached, in order
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // reports wait on it
};

}  // namespace lumivane
