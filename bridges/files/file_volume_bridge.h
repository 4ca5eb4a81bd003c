#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "bridges/common/bridge.h"
#include "bridges/common/event_handler.h"
#include "bridges/common/host_handler.h"
#include "channel/arguments.h"
#include "channel/encodable_value.h"
#include "runtime/concurrent_queue.h"
#include "runtime/lifetime.h"
#include "runtime/mutex.h"

namespace lumivane {

// The file and volume handler: mounted volumes (list, eject, change events),
// the volume and free space of any path, thumbnails of photo and video files,
// the folder chooser and showing a file in the file manager. It keeps no
// state of its own beyond the thumbnail queue.
//
// Threads: handle() and every answer and event on the main loop; thumbnails
// render on the concurrent "lumivane.thumbnails" queue, made on first use.
// `queueLock_` guards `thumbnails_`; queued work refers to the bridge through
// `lifetime_`.
class FileVolumeBridge final : public Bridge, public HostHandler {
public:
    explicit FileVolumeBridge(const BridgeContext& context);
    ~FileVolumeBridge() override;

    // Start-up: follows the workspace's mount, unmount and rename notices,
    // each sending one "volumes" event.
    void start(BinaryMessenger&) override;
    void shutdown() override { stopping_ = true; }
    HostHandler* hostHandler() override { return this; }
    bool handle(const MethodCall& call, MethodResult& result) override;

    // ---- the work behind the methods; main loop unless said ----
    EncodableList volumeList();
    // Any thread: a JPEG of the picture in the file, or of the frame of the
    // video at half a second, its longer edge at most `px`.
    std::optional<Bytes> thumbnail(const std::string& path, int px);

private:
    // A method: what runs it, and whether it takes a "path" (without one it
    // answers null).
    struct Method {
        void (FileVolumeBridge::*run)(const Arguments& args, const std::string& path, MethodResult& result);
        bool takesPath;
    };
    static const std::map<std::string, Method, std::less<>>& methods();
    void list(const Arguments& args, const std::string& path, MethodResult& result);
    void eject(const Arguments& args, const std::string& path, MethodResult& result);
    void volumeInfo(const Arguments& args, const std::string& path, MethodResult& result);
    void freeSpace(const Arguments& args, const std::string& path, MethodResult& result);
    void thumbnailMethod(const Arguments& args, const std::string& path, MethodResult& result);
    void pickFolder(const Arguments& args, const std::string& path, MethodResult& result);
    void reveal(const Arguments& args, const std::string& path, MethodResult& result);

    EncodableMap volumeMap(const std::string& mountPoint, const VolumeValues& values);
    void thumbnailLater(const std::string& path, int px, MethodResult& result);

    Platform platform_;
    MainLoop& loop_;
    std::shared_ptr<EventHandler> events_;
    ImportSources& sources_;
    std::set<std::string> mounted_;                   // main loop: the volumes mounted at the last notice
    std::vector<Volumes::Observation> observations_;  // main loop: this bridge's volume observers
    ImportSources::Registration offered_;             // volumes as import sources, while this bridge lives
    std::atomic<bool> stopping_{false};
    Mutex queueLock_;
    std::unique_ptr<ConcurrentQueue> thumbnails_ LUMIVANE_GUARDED_BY(queueLock_);
    Lifetime lifetime_;  // queued work asks it; the last member
};

}  // namespace lumivane
