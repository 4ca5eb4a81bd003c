#include "tools/console/slow_request_guard.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include "runtime/mutex.h"

namespace lumivane {

namespace {

// The address and port of a socket address; none for other families.
bool describe(const sockaddr_storage& address, std::string& host, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    } else {
        return false;
    }
    host = text;
    return true;
}

}  // namespace

SlowRequestGuard::SlowRequestGuard(int port, std::chrono::milliseconds limit)
    : port_(port), limit_(limit), watcher_([this] { watch(); }) {}

SlowRequestGuard::~SlowRequestGuard() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

std::string SlowRequestGuard::peerName(const std::string& address, int port) {
    return address + ":" + std::to_string(port);
}

void SlowRequestGuard::handling(const std::string& peer) {
    MutexLock lock(mutex_);
    connections_[peer].handling = true;
}

void SlowRequestGuard::answered(const std::string& peer) {
    MutexLock lock(mutex_);
    auto& connection = connections_[peer];
    connection.handling = false;
    connection.since = std::chrono::steady_clock::now();
}

namespace {

// The peer of a connected socket accepted on `port`, or "".
std::string acceptedPeer(int fd, int port) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) return {};
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    std::string host;
    int localPort = 0, peerPort = 0;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        !describe(local, host, localPort) || localPort != port)
        return {};
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 || !describe(peer, host, peerPort))
        return {};  // the listening socket, or one its peer has left
    return SlowRequestGuard::peerName(host, peerPort);
}

bool sameSocket(int fd, int port, const std::string& peer) { return acceptedPeer(fd, port) == peer; }

}  // namespace

std::map<std::string, int> SlowRequestGuard::acceptedSockets() const {
    std::map<std::string, int> sockets;
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder) return sockets;
    while (dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == ::dirfd(folder)) continue;
        if (auto peer = acceptedPeer(int(fd), port_); !peer.empty()) sockets[peer] = int(fd);
    }
    ::closedir(folder);
    return sockets;
}

void SlowRequestGuard::watch() {
    auto period = std::clamp(limit_ / 4, std::chrono::milliseconds(50), std::chrono::milliseconds(1000));
    MutexLock lock(mutex_);
    while (!wake_.wait_for(lock, period, [&]() LUMIVANE_REQUIRES(mutex_) { return stopping_; })) {
        lock.unlock();
        auto sockets = acceptedSockets();
        lock.lock();
        auto now = std::chrono::steady_clock::now();
        // Connections gone are forgotten (but one a handler took before it
        // was first seen); new ones start reading now.
        for (auto it = connections_.begin(); it != connections_.end();) {
            bool gone = !sockets.count(it->first) && (it->second.fd >= 0 || !it->second.handling);
            it = gone ? connections_.erase(it) : std::next(it);
        }
        for (const auto& [peer, fd] : sockets) {
            auto [it, added] = connections_.try_emplace(peer, Connection{fd, now, false});
            it->second.fd = fd;
            if (it->second.handling || now - it->second.since <= limit_) continue;
            // Still that connection (its descriptor was not closed and reused
            // since the look): shut down, the worker's read ends and it
            // closes the socket.
            if (sameSocket(fd, port_, peer)) ::shutdown(fd, SHUT_RDWR);
            connections_.erase(it);
        }
    }
}

}  // namespace lumivane
