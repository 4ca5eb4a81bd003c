#include "tools/transport/host_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstring>
#include <thread>

namespace lumivane {

HostClient::~HostClient() { close(); }

void HostClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool HostClient::connect(const std::string& path, std::chrono::milliseconds timeout) {
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            fd_ = fd;
            return true;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool HostClient::handleEvent(Frame&& frame) {
    auto event = StandardMethodCodec::decodeEnvelope(frame.payload.data(), frame.payload.size());
    if (!event) return false;
    if (onEvent_)
        onEvent_(frame.channel, *event);
    else
        pending_.emplace_back(frame.channel, std::move(*event));
    return true;
}

bool HostClient::post(const std::string& channel, const std::string& method, const EncodableValue& arguments) {
    if (fd_ < 0) return false;
    Frame request{Frame::kMessage, nextId_++, channel,
                  StandardMethodCodec::encodeMethodCall(MethodCall{method, arguments})};
    auto bytes = request.encode();
    return writeAll(fd_, bytes.data(), bytes.size());
}

Result<Bytes> HostClient::send(const std::string& channel, const Bytes& payload) {
    const Error closed(Error::Code::unavailable, "the host closed the connection");
    if (fd_ < 0) return Error(Error::Code::unavailable, "not connected");
    Frame request{Frame::kMessage, nextId_++, channel, payload};
    auto bytes = request.encode();
    if (!writeAll(fd_, bytes.data(), bytes.size())) return closed;
    for (;;) {
        auto frame = readFrame(fd_);
        if (!frame) return frame.error().code == Error::Code::unavailable ? closed : frame.error();
        if (frame->kind == Frame::kReply && frame->id == request.id) return std::move(frame->payload);
        if (frame->kind == Frame::kMessage) handleEvent(std::move(*frame));
    }
}

Result<MethodResponse> HostClient::call(const std::string& channel, const std::string& method,
                                        const EncodableValue& arguments) {
    auto reply = send(channel, StandardMethodCodec::encodeMethodCall(MethodCall{method, arguments}));
    if (!reply) return reply.error();
    auto response = StandardMethodCodec::decodeEnvelope(reply->data(), reply->size());
    if (!response) return Error(Error::Code::badInput, "undecodable reply: " + response.error().message);
    return response;
}

std::optional<std::pair<std::string, MethodResponse>> HostClient::nextEvent(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pending_.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || fd_ < 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        auto frame = readFrame(fd_);
        if (!frame) {
            close();
            return std::nullopt;
        }
        if (frame->kind != Frame::kMessage) continue;
        auto callback = std::move(onEvent_);
        handleEvent(std::move(*frame));
        onEvent_ = std::move(callback);
    }
    auto event = std::move(pending_.front());
    pending_.pop_front();
    return event;
}

}  // namespace lumivane
