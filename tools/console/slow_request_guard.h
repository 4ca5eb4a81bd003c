#pragma once
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include "runtime/mutex.h"

namespace lumivane {

// Cuts connections that take too long to send a request. The HTTP library
// bounds each read, not a whole request, so a client sending a header or
// body byte every few seconds would hold a worker for good.
//
// A connection is "reading" from when it is first seen (accepted, or its last
// answer sent) until a handler starts on its request; one that reads for
// longer than the limit is shut down, which ends the worker's read at once.
// Connections are found among the process's sockets by the port they were
// accepted on, and named by their peer's address and port, as a request
// names its client.
//
// Threads: its own watch thread; handling() and answered() on the HTTP
// workers. `mutex_` guards `connections_` and `stopping_`.
class SlowRequestGuard {
public:
    SlowRequestGuard(int port, std::chrono::milliseconds limit);
    ~SlowRequestGuard();
    SlowRequestGuard(const SlowRequestGuard&) = delete;
    SlowRequestGuard& operator=(const SlowRequestGuard&) = delete;

    // A handler started on the request of the connection from `peer`: it is
    // no longer reading.
    void handling(const std::string& peer);
    // Its answer was sent: the next request is read from now.
    void answered(const std::string& peer);

    // "address:port" of a peer, as both sides name it.
    static std::string peerName(const std::string& address, int port);

private:
    struct Connection {
        int fd = -1;
        std::chrono::steady_clock::time_point since;
        bool handling = false;
    };
    void watch();
    // The connected sockets accepted on `port_`: peer name -> descriptor.
    std::map<std::string, int> acceptedSockets() const;

    const int port_;
    const std::chrono::milliseconds limit_;
    Mutex mutex_;
    CondVar wake_;
    bool stopping_ LUMIVANE_GUARDED_BY(mutex_) = false;
    std::map<std::string, Connection> connections_ LUMIVANE_GUARDED_BY(mutex_);
    std::thread watcher_;
};

}  // namespace lumivane
