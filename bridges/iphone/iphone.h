#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridges/iphone/afc_connection.h"
#include "bridges/iphone/stat_cache.h"
#include "platform/mobile_device.h"
#include "runtime/clock.h"
#include "runtime/group.h"
#include "runtime/mutex.h"
#include "runtime/serial_queue.h"

namespace lumivane {

// One phone ever seen, by UDID; kept for the life of the bridge.
//
// `linkLock` guards `usb`, `wifi` and `linkWaiters`. `infoLock` guards `name`,
// `wifiEnabled` and `paired`, which the main loop reads for "iphone.list".
// `pairAskedAt`, `session`, `control` and `stats` belong to `queue`: only code
// on it touches them (the scan's sizing workers use `control` and `stats`
// while the queue waits for them; the cache has a lock of its own). No lock is held across an entry-point call or a
// wait.
struct IPhone {
    explicit IPhone(std::string id) : udid(std::move(id)), queue("lumivane.iphone." + udid) {}

    const std::string udid;

    Mutex linkLock;
    AMDeviceRef usb LUMIVANE_GUARDED_BY(linkLock) = nullptr;   // retained
    AMDeviceRef wifi LUMIVANE_GUARDED_BY(linkLock) = nullptr;  // retained
    std::vector<std::shared_ptr<Semaphore>> linkWaiters LUMIVANE_GUARDED_BY(linkLock);

    Mutex infoLock;
    std::optional<std::string> name LUMIVANE_GUARDED_BY(infoLock);
    std::optional<bool> wifiEnabled LUMIVANE_GUARDED_BY(infoLock);
    bool paired LUMIVANE_GUARDED_BY(infoLock) = true;

    std::optional<Clock::Steady> pairAskedAt;
    AMDeviceRef session = nullptr;
    std::shared_ptr<AFCConnection> control;
    std::unique_ptr<StatCache> stats;  // created on the first scan

    // Last member: destroyed first, so its pending work still sees the rest.
    SerialQueue queue;

    // The name for messages: `name`, or "The iPhone" when it is not known.
    std::string displayName() {
        MutexLock lock(infoLock);
        return name.value_or("The iPhone");
    }
};

}  // namespace lumivane
