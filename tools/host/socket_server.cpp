#include "tools/host/socket_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "runtime/mutex.h"
#include "runtime/serial_queue.h"

namespace lumivane {

namespace {

using Steady = std::chrono::steady_clock;
constexpr std::size_t kReadChunk = 64u << 10;
constexpr std::size_t kReadPerTurn = 1u << 20;  // per client and turn, so that one client cannot starve the rest
constexpr auto kFlushOnStop = std::chrono::seconds(1);

bool isSuccessEnvelope(const Bytes& reply) { return !reply.empty() && reply[0] == 0; }

}  // namespace

// What the I/O thread, the main loop and pending replies share. `mutex`
// guards `clients` and every Client field marked so; the rest of a Client is
// the I/O thread's alone.
struct SocketServer::Core : std::enable_shared_from_this<Core> {
    struct Client {
        explicit Client(int descriptor) : fd(descriptor) {}
        int fd;
        Bytes inbox;                                // I/O thread: bytes read, not yet framed
        std::size_t inboxStart = 0;                 // I/O thread: where the next frame begins
        std::optional<Steady::time_point> partial;  // I/O thread: when the unfinished frame began
        std::deque<Bytes> outbox;                   // guarded (by the core's mutex, as are those below)
        std::size_t written = 0;                    // guarded: bytes of outbox.front() already sent
        std::size_t unsent = 0;                     // guarded
        std::size_t unanswered = 0;                 // guarded: calls handed to the main loop, not yet answered
        bool drop = false;                          // guarded: close it at the next turn
    };

    Core(MainLoop& loop, Log& log, Limits limits) : loop(loop), log(log), limits(limits) {}

    // Any thread: queues bytes for a client (gone: dropped).
    void enqueue(ClientId id, Bytes bytes, bool answersACall) {
        {
            MutexLock guard(mutex);
            auto it = clients.find(id);
            if (it == clients.end()) return;
            Client& client = *it->second;
            if (answersACall && client.unanswered > 0) --client.unanswered;
            client.unsent += bytes.size();
            client.outbox.push_back(std::move(bytes));
            if (client.unsent > limits.dropUnsentBytes && !client.drop) {
                client.drop = true;
                log.write("Lumivane: closing a client connection that stopped reading");
            }
        }
        wake();
    }
    void wake() {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    }
    std::size_t unsentTotal() {
        MutexLock guard(mutex);
        std::size_t total = 0;
        for (auto& [id, client] : clients) total += client->unsent;
        return total;
    }

    void run();
    void acceptClients();
    // Answers false when the client is to be closed.
    bool flush(Client& client);
    bool read(Client& client);
    bool parse(ClientId id, Client& client);
    bool paused(const Client& client) const {  // mutex held
        return client.unsent > limits.pauseUnsentBytes || client.unanswered >= limits.pauseUnanswered;
    }
    void close(ClientId id);

    MainLoop& loop;
    Log& log;
    Limits limits;
    int listenFd = -1;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    SocketServer* server = nullptr;  // main loop only; null once stopped
    Mutex mutex;
    std::map<ClientId, std::shared_ptr<Client>> clients LUMIVANE_GUARDED_BY(mutex);
    ClientId nextId = 1;  // I/O thread
};

void SocketServer::Core::run() {
    nameCurrentThread("lumivane.socket");
    std::vector<pollfd> fds;
    std::vector<std::pair<ClientId, std::shared_ptr<Client>>> polled;
    while (!stopping) {
        fds.assign({{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}});
        polled.clear();
        auto now = Steady::now();
        auto timeout = std::chrono::milliseconds(1000);
        std::vector<ClientId> dropped;
        {
            MutexLock guard(mutex);
            for (auto& [id, client] : clients) {
                if (client->drop) {
                    dropped.push_back(id);
                    continue;
                }
                short events = paused(*client) ? 0 : POLLIN;
                if (!client->outbox.empty()) events |= POLLOUT;
                fds.push_back({client->fd, events, 0});
                polled.emplace_back(id, client);
                if (client->partial) {
                    auto left = *client->partial + limits.partialFrameTimeout - now;
                    timeout = std::max(std::chrono::milliseconds(1),
                                       std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(left)));
                }
            }
        }
        for (auto id : dropped) close(id);
        if (::poll(fds.data(), fds.size(), static_cast<int>(timeout.count())) < 0 && errno != EINTR) break;
        if (fds[1].revents) {
            std::uint64_t count;
            [[maybe_unused]] auto n = ::read(wakeFd, &count, sizeof count);
        }
        if (fds[0].revents & POLLIN) acceptClients();
        now = Steady::now();
        for (std::size_t i = 0; i < polled.size(); ++i) {
            auto& [id, client] = polled[i];
            short revents = fds[i + 2].revents;
            bool keep = true;
            if (revents & POLLOUT) keep = flush(*client);
            if (keep && (revents & (POLLIN | POLLHUP | POLLERR))) keep = read(*client);
            if (keep) keep = parse(id, *client);
            if (keep && client->partial && now - *client->partial > limits.partialFrameTimeout) {
                log.write("Lumivane: closing the client connection: a frame was left half-sent");
                keep = false;
            }
            if (!keep) close(id);
        }
    }
}

void SocketServer::Core::acceptClients() {
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        MutexLock guard(mutex);
        clients.emplace(nextId++, std::make_shared<Client>(fd));
    }
}

bool SocketServer::Core::flush(Client& client) {
    MutexLock guard(mutex);
    while (!client.outbox.empty()) {
        const Bytes& front = client.outbox.front();
        ssize_t n = ::send(client.fd, front.data() + client.written, front.size() - client.written, MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        client.written += static_cast<std::size_t>(n);
        client.unsent -= static_cast<std::size_t>(n);
        if (client.written == front.size()) {
            client.outbox.pop_front();
            client.written = 0;
        }
    }
    return true;
}

bool SocketServer::Core::read(Client& client) {
    for (std::size_t total = 0; total < kReadPerTurn;) {
        std::size_t used = client.inbox.size();
        client.inbox.resize(used + kReadChunk);  // grows only by what arrives
        ssize_t n = ::recv(client.fd, client.inbox.data() + used, kReadChunk, 0);
        client.inbox.resize(used + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n == 0) {
            if (client.inbox.size() > client.inboxStart)
                log.write("Lumivane: closing the client connection: connection lost in a frame");
            return false;
        }
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        total += static_cast<std::size_t>(n);
    }
    return true;
}

bool SocketServer::Core::parse(ClientId id, Client& client) {
    for (;;) {
        {
            MutexLock guard(mutex);
            if (paused(client)) break;  // its frames wait in the inbox until it catches up
        }
        std::size_t available = client.inbox.size() - client.inboxStart;
        if (available < 4) break;
        std::uint32_t length = readLittle32(client.inbox.data() + client.inboxStart);
        if (length > Frame::kMaxSize) {
            log.write("Lumivane: closing the client connection: frame of " + std::to_string(length) +
                      " bytes is over the limit");
            return false;
        }
        if (available - 4 < length) break;
        auto frame = Frame::decode(client.inbox.data() + client.inboxStart + 4, length);
        if (!frame) {
            log.write("Lumivane: closing the client connection: undecodable frame: " + frame.error().message);
            return false;
        }
        client.inboxStart += 4 + length;
        client.partial.reset();
        if (frame->kind != Frame::kMessage) continue;  // the host sends nothing that expects a reply
        {
            MutexLock guard(mutex);
            ++client.unanswered;
        }
        loop.post([weak = weak_from_this(), id, decoded = std::move(frame).value()]() mutable {
            auto core = weak.lock();
            if (core && core->server) core->server->handleFrame(id, std::move(decoded));
        });
    }
    // What is left is the start of a frame still on its way.
    client.inbox.erase(client.inbox.begin(), client.inbox.begin() + static_cast<std::ptrdiff_t>(client.inboxStart));
    client.inboxStart = 0;
    bool waiting = !client.inbox.empty();
    {
        MutexLock guard(mutex);
        if (paused(client)) waiting = false;  // the wait is ours, not the client's
    }
    if (!waiting)
        client.partial.reset();
    else if (!client.partial)
        client.partial = Steady::now();
    return true;
}

void SocketServer::Core::close(ClientId id) {
    std::shared_ptr<Client> client;
    {
        MutexLock guard(mutex);
        auto it = clients.find(id);
        if (it == clients.end()) return;
        client = it->second;
        clients.erase(it);
    }
    ::close(client->fd);
    loop.post([weak = weak_from_this(), id] {
        auto core = weak.lock();
        if (core && core->server) core->server->clientClosed(id);
    });
}

SocketServer::SocketServer(MainLoop& loop, HostMessenger& messenger, Log& log, Limits limits)
    : loop_(loop), messenger_(messenger), log_(log), limits_(limits) {}

SocketServer::~SocketServer() { stop(); }

bool SocketServer::start(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        log_.write("Lumivane: socket path too long: " + path);
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {  // a burst of clients waits, not refused
        log_.write("Lumivane: cannot listen on " + path + ": " + std::strerror(errno));
        ::close(fd);
        return false;
    }
    core_ = std::make_shared<Core>(loop_, log_, limits_);
    core_->listenFd = fd;
    core_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    core_->server = this;
    path_ = path;
    // Events go to every client listening on their channel.
    messenger_.setOutbound([this](const std::string& channel, Bytes message) {
        auto it = listeners_.find(channel);
        if (it == listeners_.end() || it->second.empty() || !core_) return;
        Bytes frame = Frame{Frame::kMessage, 0, channel, std::move(message)}.encode();
        for (auto client : it->second) core_->enqueue(client, frame, false);
    });
    ioThread_ = std::thread([core = core_] { core->run(); });
    return true;
}

void SocketServer::stop() {
    if (!core_) return;
    core_->server = nullptr;  // frames and closes still on their way to the main loop are dropped
    messenger_.setOutbound(nullptr);
    // Answers already given (the last one may be what quit the host) go out
    // first, for as long as clients take them; one that stopped reading is
    // not waited for.
    auto deadline = Steady::now() + kFlushOnStop;
    for (std::size_t unsent = core_->unsentTotal(), stalls = 0;
         unsent > 0 && stalls < 10 && Steady::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::size_t now = core_->unsentTotal();
        stalls = now < unsent ? 0 : stalls + 1;
        unsent = now;
    }
    core_->stopping = true;
    core_->wake();
    ioThread_.join();
    {
        MutexLock guard(core_->mutex);
        for (auto& [id, client] : core_->clients) ::close(client->fd);
        core_->clients.clear();
    }
    ::close(core_->listenFd);
    ::close(core_->wakeFd);
    ::unlink(path_.c_str());
    core_.reset();  // replies still pending now go nowhere
    listeners_.clear();
}

void SocketServer::answerDirectly(ClientId client, const Frame& frame, Bytes reply) {
    core_->enqueue(client, Frame{Frame::kReply, frame.id, frame.channel, std::move(reply)}.encode(), true);
}

void SocketServer::handleFrame(ClientId client, Frame frame) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    auto call = StandardMethodCodec::decodeMethodCall(frame.payload.data(), frame.payload.size());
    bool listen = call && call->method == "listen", cancel = call && call->method == "cancel";
    auto it = listeners_.find(frame.channel);
    if (listen && it != listeners_.end() && !it->second.count(client)) {
        // The stream is already open for other clients: this one joins it.
        it->second.insert(client);
        return answerDirectly(client, frame, StandardMethodCodec::encodeSuccessEnvelope(EncodableValue()));
    }
    if (cancel && it != listeners_.end()) {
        it->second.erase(client);
        if (!it->second.empty())  // others still listen: the stream stays open
            return answerDirectly(client, frame, StandardMethodCodec::encodeSuccessEnvelope(EncodableValue()));
        listeners_.erase(it);
    }
    deliver(client, frame, listen);
}

void SocketServer::deliver(ClientId client, const Frame& frame, bool listenedOnSuccess) {
    messenger_.deliver(frame.channel, frame.payload,
                       [this, weak = std::weak_ptr<Core>(core_), client, id = frame.id, channel = frame.channel,
                        listenedOnSuccess](Bytes reply) {
                           auto core = weak.lock();
                           if (!core || !core->server) return;  // stopped: nobody to answer
                           if (listenedOnSuccess && isSuccessEnvelope(reply)) listeners_[channel].insert(client);
                           core->enqueue(client, Frame{Frame::kReply, id, channel, std::move(reply)}.encode(), true);
                       });
}

void SocketServer::clientClosed(ClientId client) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    // The last client to leave a stream cancels it.
    auto cancel = StandardMethodCodec::encodeMethodCall(MethodCall{"cancel", EncodableValue()});
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        if (it->second.erase(client) && it->second.empty()) {
            messenger_.deliver(it->first, cancel, [](Bytes) {});
            it = listeners_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace lumivane
