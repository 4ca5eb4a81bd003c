#include "tools/host/socket_server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstring>

#include "runtime/group.h"
#include "tools/transport/frame.h"

namespace lumivane {

struct SocketServer::Connection {
    explicit Connection(int descriptor) : fd(descriptor) {}
    ~Connection() { ::close(fd); }
    int fd;
    std::atomic<bool> open{true};
    std::set<std::string> listening;  // event channels listened to; main loop only
};

SocketServer::SocketServer(MainLoop& loop, HostMessenger& messenger, Log& log)
    : loop_(loop), messenger_(messenger), log_(log) {}

SocketServer::~SocketServer() { stop(); }

bool SocketServer::start(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        log_.write("Lumivane: socket path too long: " + path);
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return false;
    ::unlink(path.c_str());
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listenFd_, 8) != 0) {
        log_.write("Lumivane: cannot listen on " + path + ": " + std::strerror(errno));
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    path_ = path;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void SocketServer::stop() {
    if (listenFd_ < 0) return;
    // Answers already given (the last one may be what quit the host) go out
    // before the connection is shut.
    Semaphore flushed;
    writer_.post([&flushed] { flushed.signal(); });
    flushed.waitFor(std::chrono::seconds(2));
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    int client = clientFd_.load();
    if (client >= 0) ::shutdown(client, SHUT_RDWR);
    acceptThread_.join();
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(path_.c_str());
}

void SocketServer::acceptLoop() {
    nameCurrentThread("lumivane.accept");
    while (!stopping_) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;
        }
        clientFd_ = fd;
        if (stopping_) ::shutdown(fd, SHUT_RDWR);
        serve(std::make_shared<Connection>(fd));
        clientFd_ = -1;
    }
}

void SocketServer::serve(std::shared_ptr<Connection> connection) {
    // The main loop writes through this connection while it is the current one.
    loop_.post([this, weak = std::weak_ptr<Connection>(connection)] {
        messenger_.setOutbound([this, weak](const std::string& channel, Bytes message) {
            auto connection = weak.lock();
            if (!connection || !connection->open) return;
            Frame frame{Frame::kMessage, 0, channel, std::move(message)};
            writer_.post([connection, bytes = frame.encode()] {
                if (connection->open) writeAll(connection->fd, bytes.data(), bytes.size());
            });
        });
    });

    for (;;) {
        std::string error;
        auto frame = readFrame(connection->fd, &error);
        if (!frame) {
            if (!error.empty() && !stopping_) log_.write("Lumivane: closing the client connection: " + error);
            break;
        }
        if (frame->kind != Frame::kMessage) continue;  // the host sends nothing that expects a reply
        loop_.post([this, connection, frame = std::move(*frame)] {
            if (!connection->open) return;
            if (auto call = StandardMethodCodec::decodeMethodCall(frame.payload.data(), frame.payload.size())) {
                if (call->method == "listen") connection->listening.insert(frame.channel);
                if (call->method == "cancel") connection->listening.erase(frame.channel);
            }
            auto id = frame.id;
            auto channel = frame.channel;
            messenger_.deliver(frame.channel, frame.payload, [this, connection, id, channel](Bytes reply) {
                Frame answer{Frame::kReply, id, channel, std::move(reply)};
                writer_.post([connection, bytes = answer.encode()] {
                    if (connection->open) writeAll(connection->fd, bytes.data(), bytes.size());
                });
            });
        });
    }
    connection->open = false;
    ::shutdown(connection->fd, SHUT_RDWR);
    loop_.post([this, connection] { connectionClosed(connection); });
}

void SocketServer::connectionClosed(const std::shared_ptr<Connection>& connection) {
    messenger_.setOutbound(nullptr);
    auto cancel = StandardMethodCodec::encodeMethodCall(MethodCall{"cancel", EncodableValue()});
    for (const auto& channel : connection->listening) messenger_.deliver(channel, cancel, [](Bytes) {});
    connection->listening.clear();
}

}  // namespace lumivane
