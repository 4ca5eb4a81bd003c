#include "platform/usbmux/usbmux_wire.h"

#include "runtime/socket_io.h"

namespace lumivane::usbmux {

std::string encodeHeader(const Header& header) {
    std::string out(kHeaderLength, '\0');
    writeLittle32(out.data(), header.length);
    writeLittle32(out.data() + 4, header.version);
    writeLittle32(out.data() + 8, header.message);
    writeLittle32(out.data() + 12, header.tag);
    return out;
}

Header decodeHeader(const void* bytes) {
    auto* p = static_cast<const char*>(bytes);
    return {readLittle32(p), readLittle32(p + 4), readLittle32(p + 8), readLittle32(p + 12)};
}

std::string encodeFrame(std::uint32_t tag, std::string_view payload) {
    auto length = static_cast<std::uint32_t>(payload.size() + kHeaderLength);
    std::string out = encodeHeader({length, kVersion, kPlistMessage, tag});
    out.append(payload);
    return out;
}

std::optional<Frame> readFrame(int fd) {
    char header[kHeaderLength];
    if (!readExact(fd, header, sizeof header)) return std::nullopt;
    Frame frame{decodeHeader(header), {}};
    if (frame.header.length < kMinFrameLength || frame.header.length > kMaxFrameLength) return std::nullopt;
    frame.payload.resize(frame.header.length - kHeaderLength);
    if (!readExact(fd, frame.payload.data(), frame.payload.size())) return std::nullopt;
    return frame;
}

bool writeFrame(int fd, std::uint32_t tag, std::string_view payload) {
    std::string bytes = encodeFrame(tag, payload);
    return writeAll(fd, bytes.data(), bytes.size());
}

std::string encodeLockdownFrame(std::string_view payload) {
    std::string out(4, '\0');
    writeBig32(out.data(), static_cast<std::uint32_t>(payload.size()));
    out.append(payload);
    return out;
}

std::optional<std::string> readLockdownFrame(int fd) {
    char size[4];
    if (!readExact(fd, size, sizeof size)) return std::nullopt;
    std::uint32_t length = readBig32(size);
    if (length < 1 || length > kMaxLockdownLength) return std::nullopt;
    std::string body(length, '\0');
    if (!readExact(fd, body.data(), body.size())) return std::nullopt;
    return body;
}

}  // namespace lumivane::usbmux
