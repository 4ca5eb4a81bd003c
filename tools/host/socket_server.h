#pragma once
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "channel/binary_messenger.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"
#include "runtime/serial_queue.h"

namespace lumivane {

// Serves the host messenger on a Unix socket, one client at a time: a second
// client waits in the listen backlog until the first one leaves. Frames are
// read on the server's own thread and handed to the main loop; replies and
// events are written on the "lumivane.socket" queue so a slow client never
// blocks the main loop. A frame over the size limit or one that does not
// decode ends that connection with a log line; the server then serves the next
// client. A client that leaves is taken to cancel every event channel it
// listened to.
//
// start()/stop() on the main thread; everything that touches the messenger
// runs on the main loop.
class SocketServer {
public:
    SocketServer(MainLoop& loop, HostMessenger& messenger, Log& log);
    ~SocketServer();

    bool start(const std::string& path);
    void stop();

private:
    struct Connection;
    void acceptLoop();
    void serve(std::shared_ptr<Connection> connection);
    void connectionClosed(const std::shared_ptr<Connection>& connection);  // main loop

    MainLoop& loop_;
    HostMessenger& messenger_;
    Log& log_;
    SerialQueue writer_{"lumivane.socket"};
    std::string path_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> clientFd_{-1};  // the connection being served, shut down by stop()
    std::thread acceptThread_;
};

}  // namespace lumivane
