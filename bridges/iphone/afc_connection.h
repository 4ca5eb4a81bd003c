#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bridges/iphone/iphone_error.h"
#include "channel/encodable_value.h"
#include "platform/common/mobile_device_loader.h"

namespace lumivane {

// An AFC service connection to a phone. Closing is explicit and idempotent:
// the AFC connection is closed, then the service connection invalidated.
// Destroying the object closes nothing. Used by one thread at a time: the
// phone's queue, or the transfers queue for a transfer's own connection.
class AFCConnection {
public:
    AFCConnection(const MobileDevice& api, AMDServiceConnectionRef service, AFCConnectionRef afc)
        : api_(api), service_(service), afc_(afc) {}
    void close();
    bool isClosed() const { return closed_; }
    AFCConnectionRef handle() const { return afc_; }

private:
    const MobileDevice& api_;
    AMDServiceConnectionRef service_;
    AFCConnectionRef afc_;
    std::atomic<bool> closed_{false};
};

// Each of these fails with kAFCServiceNotConnected on a closed connection.

// Entry names in the phone's order, without "." and "..".
IPhoneResult<std::vector<std::string>> listDirectory(const MobileDevice& api, AFCConnection& connection,
                                                     const std::string& path);
// Key to value, UTF-8; a key that repeats keeps its later value.
IPhoneResult<std::map<std::string, std::string>> fileInfo(const MobileDevice& api, AFCConnection& connection,
                                                          const std::string& path);
// A file-info value as the whole decimal integer it should be; nullopt when
// it is empty or is not one.
std::optional<std::int64_t> fileInfoNumber(const std::string& text);
// Streams a phone file in chunks of up to 1 MiB through one reused buffer,
// handing each to `sink` in order; a sink error ends the read with that
// error. Answers the bytes read. The phone file is closed on every way out.
using ChunkSink = std::function<IPhoneResult<void>(const std::uint8_t* data, std::uint32_t length)>;
IPhoneResult<std::int64_t> streamFile(const MobileDevice& api, AFCConnection& connection, const std::string& path,
                                      const ChunkSink& sink);
// The same for at most `length` bytes from `offset` (fewer at the file's end).
IPhoneResult<std::int64_t> streamRange(const MobileDevice& api, AFCConnection& connection, const std::string& path,
                                       std::int64_t offset, std::int64_t length, const ChunkSink& sink);
// The whole file, or nullopt when it is larger than `limit` bytes. Reads in
// 1 MiB chunks.
IPhoneResult<std::optional<Bytes>> readSmallFile(const MobileDevice& api, AFCConnection& connection,
                                                 const std::string& path, std::size_t limit);

}  // namespace lumivane
