#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "bridges/common/event_handler.h"
#include "bridges/iphone/phone_links.h"
#include "runtime/clock.h"
#include "runtime/concurrent_queue.h"
#include "runtime/log.h"

namespace lumivane {

// What the phone's operations (the camera-roll scan, a download, the photo
// index copy) may use of the host: the links to the phone, the clock, the
// log, the event stream, the transfers queue, the data folder, and whether to
// stop. Made once by the iPhone bridge and outlived by it; every member may be
// used from the phone's queue and the transfers queue.
struct PhoneContext {
    PhoneLinks& links;
    const Clock& clock;
    Log& log;
    EventHandler& events;
    ConcurrentQueue& transfers;
    std::string dataFolder;
    std::size_t maxSizingWorkers = 8;  // AFC connections per scan at most
    // Whether the download with this token was cancelled (a cancel is consumed
    // here); every download counts as cancelled once the host is going.
    std::function<bool(const std::string& token)> takeCancel;

    const MobileDevice& api() const { return *links.api(); }
    bool stopping() const { return links.stopping(); }
};

}  // namespace lumivane
