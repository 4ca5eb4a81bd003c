#include "bridges/iphone/afc_connection.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>

namespace lumivane {

namespace {
constexpr std::uint32_t kReadChunk = 1 << 20;
}

Error afcError(const MobileDevice& api, std::int32_t code, const std::string& path) {
    auto kind = Error::Code::failed;
    switch (code) {
        case kAFCServiceNotConnected:
        case kAFCOperationTimeout:
        case kAFCTooMuchData:
        case kAFCMuxError: kind = Error::Code::unavailable; break;
        case kAFCObjectNotFound: kind = Error::Code::notFound; break;
        case kAFCPermissionDenied: kind = Error::Code::noPermission; break;
        default: break;
    }
    return Error(kind, api.afcErrorText(code) + ": " + path);
}

void AFCConnection::close() {
    if (closed_.exchange(true)) return;
    api_.AFCConnectionClose(afc_);
    api_.AMDServiceConnectionInvalidate(service_);
}

IPhoneResult<std::vector<std::string>> listDirectory(const MobileDevice& api, AFCConnection& connection,
                                                     const std::string& path) {
    if (connection.isClosed()) return afcError(api, kAFCServiceNotConnected, path);  // its handles are gone
    AFCDirectoryRef directory = nullptr;
    std::int32_t code = api.AFCDirectoryOpen(connection.handle(), path.c_str(), &directory);
    if (code != 0 || !directory) return afcError(api, code, path);
    std::vector<std::string> names;
    char* name = nullptr;
    while (api.AFCDirectoryRead(connection.handle(), directory, &name) == 0 && name) {
        std::string entry(name);
        if (entry != "." && entry != "..") names.push_back(std::move(entry));
    }
    api.AFCDirectoryClose(connection.handle(), directory);
    return names;
}

std::optional<std::int64_t> fileInfoNumber(const std::string& text) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

IPhoneResult<std::map<std::string, std::string>> fileInfo(const MobileDevice& api, AFCConnection& connection,
                                                          const std::string& path) {
    if (connection.isClosed()) return afcError(api, kAFCServiceNotConnected, path);
    AFCDictionaryRef info = nullptr;
    std::int32_t code = api.AFCFileInfoOpen(connection.handle(), path.c_str(), &info);
    if (code != 0 || !info) return afcError(api, code, path);
    std::map<std::string, std::string> pairs;
    char* key = nullptr;
    char* value = nullptr;
    while (api.AFCKeyValueRead(info, &key, &value) == 0 && key && value) pairs[key] = value;
    api.AFCKeyValueClose(info);
    return pairs;
}

namespace {

// `length` bytes of the file from `offset`, or (no length) all from its start.
IPhoneResult<std::int64_t> stream(const MobileDevice& api, AFCConnection& connection, const std::string& path,
                                  std::int64_t offset, std::optional<std::int64_t> length, const ChunkSink& sink) {
    if (connection.isClosed()) return afcError(api, kAFCServiceNotConnected, path);
    AFCFileRef file = 0;
    std::int32_t code = api.AFCFileRefOpen(connection.handle(), path.c_str(), 1, &file);
    if (code != 0) return afcError(api, code, path);
    struct Closer {  // on every way out
        const MobileDevice& api;
        AFCConnectionRef connection;
        AFCFileRef file;
        ~Closer() { api.AFCFileRefClose(connection, file); }
    } closer{api, connection.handle(), file};
    if (offset > 0)
        if (code = api.AFCFileRefSeek(connection.handle(), file, offset, 0); code != 0)
            return afcError(api, code, path);
    // Not zeroed: each read fills what the sink is given, and a file of a
    // few kilobytes does not pay for clearing a megabyte.
    auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReadChunk);
    std::int64_t total = 0;
    while (!length || total < *length) {
        auto length32 =
            static_cast<std::uint32_t>(length ? std::min<std::int64_t>(kReadChunk, *length - total) : kReadChunk);
        code = api.AFCFileRefRead(connection.handle(), file, buffer.get(), &length32);
        if (code != 0) return afcError(api, code, path);
        if (length32 == 0) break;
        if (auto taken = sink(buffer.get(), length32); !taken.ok()) return taken.error();
        total += length32;
    }
    return total;
}

}  // namespace

IPhoneResult<std::int64_t> streamFile(const MobileDevice& api, AFCConnection& connection, const std::string& path,
                                      const ChunkSink& sink) {
    return stream(api, connection, path, 0, std::nullopt, sink);
}

IPhoneResult<std::int64_t> streamRange(const MobileDevice& api, AFCConnection& connection, const std::string& path,
                                       std::int64_t offset, std::int64_t length, const ChunkSink& sink) {
    return stream(api, connection, path, offset, length, sink);
}

IPhoneResult<std::optional<Bytes>> readSmallFile(const MobileDevice& api, AFCConnection& connection,
                                                 const std::string& path, std::size_t limit) {
    Bytes contents;
    bool tooLarge = false;
    auto read =
        streamFile(api, connection, path, [&](const std::uint8_t* data, std::uint32_t length) -> IPhoneResult<void> {
            contents.insert(contents.end(), data, data + length);
            if (contents.size() <= limit) return {};
            tooLarge = true;
            return Error();  // ends the read; not a failure
        });
    if (tooLarge) return std::optional<Bytes>();
    if (!read.ok()) return read.error();
    return std::optional<Bytes>(std::move(contents));
}

}  // namespace lumivane
