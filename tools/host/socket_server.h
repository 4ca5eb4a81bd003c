#pragma once
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "channel/binary_messenger.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"
#include "tools/transport/frame.h"

namespace lumivane {

// Serves the host messenger on a Unix socket to several clients at once. Each
// client's calls are answered to that client; an event channel's events go to
// every client listening on it, and its stream handler sees "listen" when the
// first client listens and "cancel" when the last one cancels or leaves.
//
// One I/O thread accepts, reads and writes every connection without blocking.
// No client can hurt the host or the other clients: a client's frames are not
// read while its unsent replies or unanswered calls are over a bound (and are
// again once it catches up), buffers grow only as bytes arrive, a frame left
// half-sent past a timeout, a frame over the size limit or one that does not
// decode closes that connection with a log line, and a client that falls a
// long way behind on events is dropped.
//
// start() and stop() on the main thread; everything that touches the
// messenger and the listener table runs on the main loop.
class SocketServer {
public:
    struct Limits {
        std::size_t pauseUnsentBytes = 4u << 20;  // stop reading a client above this...
        std::size_t pauseUnanswered = 256;        // ...or with this many calls unanswered
        std::size_t dropUnsentBytes = 64u << 20;  // a client this far behind is closed
        std::chrono::milliseconds partialFrameTimeout = std::chrono::seconds(10);
    };

    SocketServer(MainLoop& loop, HostMessenger& messenger, Log& log, Limits limits);
    SocketServer(MainLoop& loop, HostMessenger& messenger, Log& log) : SocketServer(loop, messenger, log, Limits{}) {}
    ~SocketServer();

    bool start(const std::string& path);
    // Stops accepting, sends what is already queued (for a moment at most),
    // then closes every connection. Answers given after this go nowhere.
    void stop();

private:
    struct Core;  // shared with the I/O thread and with pending replies (weakly)
    using ClientId = std::uint64_t;

    void handleFrame(ClientId client, Frame frame);  // main loop
    void deliver(ClientId client, const Frame& frame, bool listenedOnSuccess);
    void clientClosed(ClientId client);  // main loop
    void answerDirectly(ClientId client, const Frame& frame, Bytes reply);

    MainLoop& loop_;
    HostMessenger& messenger_;
    Log& log_;
    Limits limits_;
    std::shared_ptr<Core> core_;
    std::thread ioThread_;
    std::string path_;
    std::map<std::string, std::set<ClientId>> listeners_;  // event channel -> its clients; main loop only
};

}  // namespace lumivane
