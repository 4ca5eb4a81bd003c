#pragma once
#include <memory>
#include <string>

#include "bridges/common/event_handler.h"
#include "bridges/common/host_handler.h"
#include "bridges/common/import_source.h"
#include "channel/binary_messenger.h"
#include "platform/platform.h"
#include "runtime/clock.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"

namespace lumivane {

// What the host hands every bridge it creates. The references outlive every
// bridge.
struct BridgeContext {
    Platform platform;
    MainLoop& loop;
    Log& log;
    const Clock& clock;
    std::shared_ptr<EventHandler> events;  // the host event stream
    std::string dataFolder;                // the local data folder
    ImportSources& importSources;          // bridges with devices add theirs
};

// A bridge as the host holds it: the handler it adds to the host channel, if
// any, and its one start-up step. Created, started and destroyed on the main
// loop; the host keeps it for the life of the process.
class Bridge {
public:
    virtual ~Bridge() = default;
    // Its handler on "lumivane/macos", or null.
    virtual HostHandler* hostHandler() { return nullptr; }
    // Its start-up step (start watching devices, install its own channels on
    // `messenger`), run once in its place of the start-up sequence.
    virtual void start(BinaryMessenger& messenger) = 0;
    // The host is going: drop queued work unanswered, make work in flight end
    // at its next step, start nothing new. The destructor then waits only for
    // what was in flight. Once, before destruction.
    virtual void shutdown() {}
};

}  // namespace lumivane
