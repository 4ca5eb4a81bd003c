#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/property_list.h"
#include "platform/environment.h"
#include "runtime/clock.h"

namespace lumivane {

// Lists the Apple devices the usbmux daemon knows, over USB or the network,
// each described by a few values from its lockdown service. Speaks the
// daemon's framed property-list protocol on its Unix socket: one connection
// per listing or device read, closed before the call returns.
//
// Every method runs on the usbmux queue (serial), so the request counter and
// the values cache need no lock. Every failure answers absent, after closing
// the socket; nothing here reports an error message.
class UsbmuxClient {
public:
    static constexpr const char* kDefaultSocketPath = "/var/run/usbmuxd";
    static constexpr auto kRetryAfter = std::chrono::seconds(30);

    struct Options {
        std::string socketPath = kDefaultSocketPath;
        std::chrono::milliseconds timeout = std::chrono::seconds(2);
    };
    // One Apple device, however many links it has. The values are absent
    // when its lockdown service could not be read.
    struct AppleDevice {
        std::string udid;
        std::vector<std::string> links;  // "usb", "wifi", sorted
        std::optional<std::string> name, deviceClass, productType, osVersion;
        bool operator==(const AppleDevice&) const = default;
    };
    struct DeviceEntry {
        std::int64_t deviceId;
        Plist properties;
    };

    UsbmuxClient(Options options, const Clock& clock);

    // The Apple devices in the order the daemon first lists each serial;
    // absent when the daemon is unreachable or its list unusable.
    std::optional<std::vector<AppleDevice>> listAppleDevices();

    std::optional<std::vector<DeviceEntry>> listDevices();
    Plist readDeviceValues(std::int64_t deviceId);
    // Values are kept for the life of the client; a serial whose read failed
    // is asked again only after kRetryAfter.
    plist_t cachedDeviceValues(const std::string& serial, const std::vector<std::int64_t>& deviceIds);

    // The daemon's socket: "UNIX:/path" in USBMUXD_SOCKET_ADDRESS when set
    // (the usbmux tools' convention), else `fallback`.
    static std::string socketPath(const Environment& environment, const std::string& fallback = kDefaultSocketPath);

private:
    struct CachedValues {
        Plist values;  // null when the read failed
        Clock::Steady storedAt;
    };

    int connect();
    Plist exchange(int fd, const char* messageType, plist_t extra = nullptr);
    Plist request(const char* messageType);

    Options options_;
    const Clock& clock_;
    std::uint32_t tag_ = 0;  // incremented before each request; wraps around
    std::map<std::string, CachedValues> cache_;
};

}  // namespace lumivane
