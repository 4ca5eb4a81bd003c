#pragma once
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "channel/standard_codec.h"
#include "tools/transport/frame.h"

namespace lumivane {

// A client of the host socket: method calls and event-channel listening.
// Single-threaded: use one instance from one thread.
class HostClient {
public:
    using EventCallback = std::function<void(const std::string& channel, const MethodResponse& event)>;

    HostClient() = default;
    ~HostClient();
    HostClient(const HostClient&) = delete;
    HostClient& operator=(const HostClient&) = delete;

    // Connects, retrying until `timeout` passes (the host may still be starting).
    bool connect(const std::string& path, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void close();
    int fd() const { return fd_; }

    // Sends a call and waits for its reply. Events that arrive meanwhile go to
    // `onEvent`. Fails when the connection does, saying why.
    Result<MethodResponse> call(const std::string& channel, const std::string& method,
                                const EncodableValue& arguments = EncodableValue());
    // Sends a call without waiting for its reply (which is then skipped).
    bool post(const std::string& channel, const std::string& method, const EncodableValue& arguments);
    // Sends a raw payload as a message and waits for the raw reply payload.
    Result<Bytes> send(const std::string& channel, const Bytes& payload);

    // Waits for the next event; nullopt on timeout or a lost connection.
    std::optional<std::pair<std::string, MethodResponse>> nextEvent(std::chrono::milliseconds timeout);

    void setEventCallback(EventCallback callback) { onEvent_ = std::move(callback); }

private:
    bool handleEvent(Frame&& frame);

    int fd_ = -1;
    std::int64_t nextId_ = 1;
    EventCallback onEvent_;
    std::deque<std::pair<std::string, MethodResponse>> pending_;  // events seen while waiting, without a callback
};

}  // namespace lumivane
