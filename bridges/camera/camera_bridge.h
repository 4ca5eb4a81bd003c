#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridges/common/bridge.h"
#include "bridges/common/event_handler.h"
#include "bridges/common/host_handler.h"
#include "bridges/common/pending_result.h"
#include "channel/arguments.h"
#include "platform/image_capture.h"
#include "runtime/concurrent_queue.h"
#include "runtime/lifetime.h"

namespace lumivane {

// The camera bridge: the locally attached camera devices the browser reports
// (cameras, card readers, phones shown as cameras), a session on each as soon
// as it appears, whether each is locked and whether its catalog is complete,
// and the "camera." methods of the host channel.
//
// Main loop: calls, browser and device callbacks, answers and events; a
// "camera.media" answer is written on `answers_`, from items, which never
// change once reported.
class CameraBridge final : public Bridge,
                           public HostHandler,
                           public DeviceBrowserDelegate,
                           public CameraDeviceDelegate {
public:
    CameraBridge(DeviceBrowser& browser, MainLoop& loop, std::shared_ptr<EventHandler> events);

    // Start-up: browses local camera devices.
    void start(BinaryMessenger&) override;
    // Imports waiting on a device give up.
    void shutdown() override { *stopping_ = true; }
    // Main loop, before start(): offers the ready cameras as import sources
    // ("camera", by key), staging their downloads under `dataFolder`, and
    // tells `sources` when a camera becomes ready.
    void offerImports(ImportSources& sources, const std::string& dataFolder);
    HostHandler* hostHandler() override { return this; }
    bool handle(const MethodCall& call, MethodResult& result) override;

    // The key the interface knows a device by: its UUID, else its hash.
    static std::string deviceKey(const CameraDevice& device);

    // ---- DeviceBrowserDelegate ----
    void didAddDevice(const std::shared_ptr<CaptureDevice>& device) override;
    void didRemoveDevice(const std::shared_ptr<CaptureDevice>& device) override;
    // ---- CameraDeviceDelegate ----
    void didOpenSession(CameraDevice& device, std::optional<std::int64_t> errorCode) override;
    void didCloseSession(CameraDevice& device) override;
    void didEnableAccessRestriction(CameraDevice& device) override;
    void didRemoveAccessRestriction(CameraDevice& device) override;
    void didBecomeReadyWithCompleteContentCatalog(CameraDevice& device) override;
    void didAddItems(CameraDevice& device) override;
    void didRemoveItems(CameraDevice& device) override;

    static constexpr std::int64_t kPasscodeLocked = -9943;

private:
    struct Ready {
        std::string key;
        CameraDevice* device;
    };
    // The device of a device-bound call, or the error already answered.
    std::optional<Ready> readyDevice(const Arguments& args, MethodResult& result);
    EncodableMap deviceMap(const std::string& key, CameraDevice& device);
    void changed();
    // The file a call's "path" names on a ready device, or the error already answered.
    std::shared_ptr<CameraItem> lookupFile(const Arguments& args, CameraDevice& device, MethodResult& result);
    // The methods: each a row of the table.
    using Method = void (CameraBridge::*)(const Arguments& args, MethodResult& result);
    static const std::map<std::string, Method, std::less<>>& methods();
    void list(const Arguments& args, MethodResult& result);
    void children(const Arguments& args, MethodResult& result);
    void media(const Arguments& args, MethodResult& result);
    void cancel(const Arguments& args, MethodResult& result);
    void thumbnail(const Arguments& args, MethodResult& result);
    void download(const Arguments& args, MethodResult& result);
    void eject(const Arguments& args, MethodResult& result);

    DeviceBrowser& browser_;
    MainLoop& loop_;
    std::shared_ptr<EventHandler> events_;
    std::map<std::string, std::shared_ptr<CaptureDevice>> devices_;
    std::vector<std::string> order_;  // first added first; never a key twice
    std::set<std::string> locked_;
    std::set<std::string> ready_;
    std::map<std::string, std::shared_ptr<CameraProgress>> downloads_;  // by token
    ImportSources* sources_ = nullptr;                                  // told of cameras that become ready
    ImportSources::Registration offered_;  // cameras as import sources, while this bridge lives
    // Shared with the import sources it made, which may outlive it.
    std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
    ConcurrentQueue answers_{"lumivane.camera.answers", 2};  // large answers are written here
    Lifetime lifetime_;                                      // completions ask it; the last member
};

// Item maps and paths of a device's catalog.
namespace camera_catalog {
// The folder's entries, or none when the path leads nowhere.
std::optional<std::vector<std::shared_ptr<CameraItem>>> resolveFolder(const CameraDevice& device,
                                                                      const std::string& path);
// The names of the item's folders from the top down, joined with "/".
std::string ancestorPath(const CameraItem& item);
// Writes the item's map: name, path, dates, type and what a folder or a
// file has.
void writeItem(ValueWriter& out, CameraItem& item, const std::string& parentPath);
}  // namespace camera_catalog

}  // namespace lumivane
