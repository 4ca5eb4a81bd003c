#include "bridges/iphone/transfer.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bridges/iphone/dcim_scan.h"
#include "bridges/iphone/mobile_device_bridge.h"

namespace lumivane {

namespace {

constexpr std::uint32_t kChunk = 1 << 20;
constexpr auto kEventInterval = std::chrono::milliseconds(100);

// The temporary sibling of a target: open for writing, removed unless kept.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) : path_(target + ".lumivane-XXXXXX") {
        fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
        // A download is the user's file, not a private one: readable by all, as
        // files the user makes are.
        if (fd_ >= 0) ::fchmod(fd_, 0644);
    }
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_) ::unlink(path_.c_str());
    }
    bool open() const { return fd_ >= 0; }

    // Answers the system's description of a failure, empty on success.
    std::string write(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::strerror(errno);
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return {};
    }
    // Flushes, closes and renames onto `target`.
    std::string commit(const std::string& target) {
        std::string error;
        if (::fsync(fd_) != 0) error = std::strerror(errno);
        if (::close(fd_) != 0 && error.empty()) error = std::strerror(errno);
        fd_ = -1;
        if (error.empty() && ::rename(path_.c_str(), target.c_str()) != 0) error = std::strerror(errno);
        kept_ = error.empty();
        return error;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

// Closes the phone file on every way out.
struct PhoneFile {
    const MobileDevice& api;
    AFCConnectionRef connection;
    AFCFileRef file;
    ~PhoneFile() { api.AFCFileRefClose(connection, file); }
};

}  // namespace

Outcome<std::string> Transfer::run(MobileDeviceBridge& bridge, const std::shared_ptr<AFCConnection>& connection) const {
    auto outcome = copy(bridge, *connection);
    connection->close();
    return outcome;
}

Outcome<std::string> Transfer::copy(MobileDeviceBridge& bridge, AFCConnection& connection) const {
    const MobileDevice& api = *bridge.api();
    const std::string phonePath = DcimScan::phonePath(path);
    auto info = fileInfo(api, connection, phonePath);
    if (!info.ok()) return info.error();
    std::int64_t total = 0;
    if (auto size = info.value().find("st_size"); size != info.value().end()) {
        const auto& text = size->second;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), total);
        if (error != std::errc() || end != text.data() + text.size()) total = 0;
    }

    TemporaryFile local(target);
    if (!local.open()) return DeviceError{"Can't write to " + target + "."};

    AFCFileRef file = 0;
    std::int32_t code = api.AFCFileRefOpen(connection.handle(), phonePath.c_str(), 1, &file);
    if (code != 0) return AFCError{code, phonePath};
    PhoneFile phoneFile{api, connection.handle(), file};

    Bytes buffer(kChunk);
    std::int64_t written = 0;
    std::optional<Clock::Steady> lastEvent;  // none yet: the first chunk always reports
    for (;;) {
        std::uint32_t length = kChunk;
        code = api.AFCFileRefRead(connection.handle(), file, buffer.data(), &length);
        if (code != 0) return AFCError{code, phonePath};
        if (length == 0) break;
        if (bridge.takeCancel(token)) return DeviceError{"Cancelled"};
        // A local write error (a full disk, say) is told in the system's words.
        if (auto error = local.write(buffer.data(), length); !error.empty()) return DeviceError{error};
        written += length;
        auto now = bridge.clock().steadyNow();
        if (!lastEvent || now - *lastEvent > kEventInterval || written == total) {
            lastEvent = now;
            bridge.postEvent(EncodableMap{{"type", "download"}, {"token", token}, {"done", written}, {"total", total}});
        }
    }
    if (total >= 1 && written != total)
        return DeviceError{path + ": got " + std::to_string(written) + " of " + std::to_string(total) + " bytes."};
    if (auto error = local.commit(target); !error.empty()) return DeviceError{error};
    return target;
}

}  // namespace lumivane
