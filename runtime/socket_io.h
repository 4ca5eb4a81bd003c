#pragma once
#include <cstddef>
#include <cstdint>

namespace lumivane {

// Blocking socket I/O that retries on EINTR and partial transfers. A transfer
// of less than one byte (an error, a timeout, the peer closing) answers false.
// Writes never raise SIGPIPE. Any thread.
bool writeAll(int fd, const void* data, std::size_t size);
bool readExact(int fd, void* data, std::size_t size);

// Unsigned 32-bit integers as the wire protocols lay them out.
inline std::uint32_t readLittle32(const void* bytes) {
    auto* p = static_cast<const std::uint8_t*>(bytes);
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
inline std::uint32_t readBig32(const void* bytes) {
    auto* p = static_cast<const std::uint8_t*>(bytes);
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}
inline void writeLittle32(void* bytes, std::uint32_t value) {
    auto* p = static_cast<std::uint8_t*>(bytes);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline void writeBig32(void* bytes, std::uint32_t value) {
    auto* p = static_cast<std::uint8_t*>(bytes);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

}  // namespace lumivane
