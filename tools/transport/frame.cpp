#include "tools/transport/frame.h"

#include "channel/value_writer.h"

#include "runtime/utf8.h"

#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace lumivane {

Bytes Frame::encode() const& { return Frame(*this).encode(); }

Bytes Frame::encode() && {
    // The body is its own codec message: [kind, id, channel, payload]. None of
    // its values is aligned, so the payload's bytes go in as they are, and
    // the frame is made in the payload's own buffer when it has room: a
    // large reply is never held twice.
    Bytes head(4, 0);
    ValueWriter body(head);
    body.list(4);
    body.integer(kind);
    body.integer(id);
    body.string(channel);
    if (payload.empty())
        body.null();
    else
        body.bytesHeader(payload.size());
    writeLittle32(head.data(), static_cast<std::uint32_t>(head.size() - 4 + payload.size()));
    Bytes out = std::move(payload);
    out.insert(out.begin(), head.begin(), head.end());
    return out;
}

Result<Frame> Frame::decode(const std::uint8_t* data, std::size_t size) {
    auto value = StandardMessageCodec::decodeMessage(data, size);
    if (!value) return value.error();
    auto* list = value->get<EncodableList>();  // owned here: entries are moved out
    auto fail = [](const char* why) { return Error(Error::Code::badInput, why); };
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

Result<Frame> readFrame(int fd) {
    std::uint8_t header[4];
    ssize_t first;
    do {
        first = ::read(fd, header, 1);
    } while (first < 0 && errno == EINTR);
    if (first == 0) return Error(Error::Code::unavailable, "the connection closed");  // between frames
    if (first < 0 || !readExact(fd, header + 1, 3)) return Error("connection lost in a frame header");
    std::uint32_t length = readLittle32(header);
    if (length > Frame::kMaxSize)
        return Error(Error::Code::badInput, "frame of " + std::to_string(length) + " bytes is over the limit");
    Bytes body(length);
    if (!readExact(fd, body.data(), body.size())) return Error("connection lost in a frame");
    auto frame = Frame::decode(body.data(), body.size());
    if (!frame) return Error(Error::Code::badInput, "undecodable frame: " + frame.error().message);
    return frame;
}

}  // namespace lumivane
