#include "tools/transport/frame.h"

#include "runtime/utf8.h"

#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace lumivane {

Bytes Frame::encode() const {
    Bytes out(4, 0);
    EncodableValue body = EncodableList{EncodableValue(kind), EncodableValue(id), EncodableValue(channel),
                                        payload.empty() ? EncodableValue() : EncodableValue(payload)};
    // The body is its own codec message: alignment counts from its first byte.
    Bytes encoded = StandardMessageCodec::encodeMessage(body);
    writeLittle32(out.data(), static_cast<std::uint32_t>(encoded.size()));
    out.insert(out.end(), encoded.begin(), encoded.end());
    return out;
}

std::optional<Frame> Frame::decode(const std::uint8_t* data, std::size_t size, std::string* error) {
    auto value = StandardMessageCodec::decodeMessage(data, size, error);
    if (!value) return std::nullopt;
    auto* list = value->get<EncodableList>();  // owned here: entries are moved out
    auto fail = [error](const char* why) -> std::optional<Frame> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (!list || list->size() != 4) return fail("frame is not a list of four");
    Frame frame;
    auto kind = (*list)[0].integer();
    auto id = (*list)[1].integer();
    auto* channel = (*list)[2].get<std::string>();
    if (!kind || (*kind != kMessage && *kind != kReply)) return fail("bad frame kind");
    if (!id) return fail("bad frame id");
    if (!channel || !isValidUtf8(*channel)) return fail("bad frame channel");
    frame.kind = *kind;
    frame.id = *id;
    frame.channel = *channel;
    if (auto* payload = (*list)[3].get<Bytes>())
        frame.payload = std::move(*payload);
    else if (!(*list)[3].isNull())
        return fail("bad frame payload");
    return frame;
}

std::optional<Frame> readFrame(int fd, std::string* error) {
    std::uint8_t header[4];
    ssize_t first;
    do {
        first = ::read(fd, header, 1);
    } while (first < 0 && errno == EINTR);
    if (first == 0) return std::nullopt;  // closed between frames
    if (first < 0 || !readExact(fd, header + 1, 3)) {
        if (error) *error = "connection lost in a frame header";
        return std::nullopt;
    }
    std::uint32_t length = readLittle32(header);
    if (length > Frame::kMaxSize) {
        if (error) *error = "frame of " + std::to_string(length) + " bytes is over the limit";
        return std::nullopt;
    }
    Bytes body(length);
    if (!readExact(fd, body.data(), body.size())) {
        if (error) *error = "connection lost in a frame";
        return std::nullopt;
    }
    std::string why;
    auto frame = Frame::decode(body.data(), body.size(), &why);
    if (!frame && error) *error = "undecodable frame: " + why;
    return frame;
}

}  // namespace lumivane
