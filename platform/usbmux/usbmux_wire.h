#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The usbmux daemon's wire format, for everything that speaks it: the client,
// the simulated daemon and the tests' scripted daemons. Any thread.
//
// A daemon message is a 16-byte little-endian header (total length, protocol
// version, message type, tag) followed by an XML property list. Once a
// "Connect" succeeds, the socket is a tunnel to the device's lockdown
// service, whose messages are a 32-bit big-endian length and a property list.
namespace lumivane::usbmux {

inline constexpr std::uint32_t kHeaderLength = 16;
inline constexpr std::uint32_t kVersion = 1;       // the property-list protocol
inline constexpr std::uint32_t kPlistMessage = 8;  // message type: property list
inline constexpr std::uint32_t kMinFrameLength = kHeaderLength + 1;
inline constexpr std::uint32_t kMaxFrameLength = 16'777'215;
inline constexpr std::uint32_t kMaxLockdownLength = 0xFFFFF;
inline constexpr std::int64_t kLockdownPortSwapped = 32498;  // port 62078 in network byte order

// "Result" numbers of the daemon.
inline constexpr std::int64_t kResultOk = 0;
inline constexpr std::int64_t kResultBadCommand = 1;
inline constexpr std::int64_t kResultConnectionRefused = 3;

struct Header {
    std::uint32_t length;  // of the whole frame, header included
    std::uint32_t version;
    std::uint32_t message;
    std::uint32_t tag;
};

std::string encodeHeader(const Header& header);
Header decodeHeader(const void* bytes);  // kHeaderLength bytes

// A property-list message with this tag, its length filled in.
std::string encodeFrame(std::uint32_t tag, std::string_view payload);

struct Frame {
    Header header;
    std::string payload;
};
// Reads one frame; absent on a short read, a timeout, or a length outside
// kMinFrameLength..kMaxFrameLength (the payload is then never read).
std::optional<Frame> readFrame(int fd);
bool writeFrame(int fd, std::uint32_t tag, std::string_view payload);

std::string encodeLockdownFrame(std::string_view payload);
// Reads one lockdown message of 1..kMaxLockdownLength bytes.
std::optional<std::string> readLockdownFrame(int fd);

}  // namespace lumivane::usbmux
