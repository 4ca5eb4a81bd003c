#include "platform/usbmux/usbmux_client.h"

#include "platform/usbmux/usbmux_wire.h"
#include "runtime/socket_io.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace lumivane {

namespace {

// The daemon's address length: the family and a 104-byte path field.
constexpr socklen_t kAddressLength = 106;

// Closes the socket when the operation ends, whichever way it ends.
struct Socket {
    explicit Socket(int descriptor) : fd(descriptor) {}
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd;
};

Plist baseRequest(const char* messageType) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "MessageType", plist_new_string(messageType));
    plist_dict_set_item(dict, "ClientVersionString", plist_new_string("Lumivane"));
    plist_dict_set_item(dict, "ProgName", plist_new_string("Lumivane"));
    plist_dict_set_item(dict, "kLibUSBMuxVersion", plist_new_uint(3));
    return Plist(dict);
}

}  // namespace

UsbmuxClient::UsbmuxClient(Options options, const Clock& clock) : options_(std::move(options)), clock_(clock) {}

std::string UsbmuxClient::socketPath(const Environment& environment, const std::string& fallback) {
    auto address = environment.variable("USBMUXD_SOCKET_ADDRESS");
    if (address && address->rfind("UNIX:", 0) == 0 && address->size() > 5) return address->substr(5);
    return fallback;
}

int UsbmuxClient::connect() {
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    if (options_.socketPath.size() >= kAddressLength - sizeof(address.sun_family)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval timeout{};
    timeout.tv_sec = options_.timeout.count() / 1000;
    timeout.tv_usec = static_cast<suseconds_t>((options_.timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, options_.socketPath.data(), options_.socketPath.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), kAddressLength) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Plist UsbmuxClient::exchange(int fd, const char* messageType, plist_t extra) {
    Plist request = baseRequest(messageType);
    if (extra) {
        plist_t target = request.get();
        plist_dict_merge(&target, extra);
    }
    std::string payload = plist::toXml(request.get());
    if (payload.empty()) return nullptr;

    if (!usbmux::writeFrame(fd, ++tag_, payload)) return nullptr;

    // The reply is simply the next frame: its version, message and tag are not
    // examined.
    auto reply = usbmux::readFrame(fd);
    if (!reply) return nullptr;
    Plist parsed = plist::parse(reply->payload);
    return plist::isDict(parsed.get()) ? std::move(parsed) : nullptr;
}

std::optional<std::vector<UsbmuxClient::DeviceEntry>> UsbmuxClient::listDevices() {
    Socket socket(connect());
    if (socket.fd < 0) return std::nullopt;
    Plist reply = exchange(socket.fd, "ListDevices");
    plist_t list = plist::dictItem(reply.get(), "DeviceList", PLIST_ARRAY);
    if (!list) return std::nullopt;
    std::uint32_t count = plist_array_get_size(list);
    for (std::uint32_t i = 0; i < count; ++i)
        if (!plist::isDict(plist_array_get_item(list, i))) return std::nullopt;

    std::vector<DeviceEntry> entries;
    for (std::uint32_t i = 0; i < count; ++i) {
        plist_t element = plist_array_get_item(list, i);
        plist_t properties = plist::dictItem(element, "Properties", PLIST_DICT);
        if (!properties) continue;
        auto id = plist::integer(element, "DeviceID");
        if (!id) id = plist::integer(properties, "DeviceID");
        if (!id) continue;
        entries.push_back({*id, Plist(plist_copy(properties))});
    }
    return entries;
}

Plist UsbmuxClient::readDeviceValues(std::int64_t deviceId) {
    Socket socket(connect());
    if (socket.fd < 0) return nullptr;
    Plist extra(plist_new_dict());
    plist_dict_set_item(extra.get(), "DeviceID", plist_new_uint(static_cast<std::uint64_t>(deviceId)));
    plist_dict_set_item(extra.get(), "PortNumber", plist_new_uint(usbmux::kLockdownPortSwapped));
    Plist reply = exchange(socket.fd, "Connect", extra.get());
    auto number = plist::integer(reply.get(), "Number");
    if (!number || *number != 0) return nullptr;

    // The socket is now a tunnel to the device's lockdown service.
    Plist request(plist_new_dict());
    plist_dict_set_item(request.get(), "Label", plist_new_string("Lumivane"));
    plist_dict_set_item(request.get(), "Request", plist_new_string("GetValue"));
    std::string frame = usbmux::encodeLockdownFrame(plist::toXml(request.get()));
    if (!writeAll(socket.fd, frame.data(), frame.size())) return nullptr;
    auto body = usbmux::readLockdownFrame(socket.fd);
    if (!body) return nullptr;
    Plist lockdown = plist::parse(*body);
    plist_t values = plist::dictItem(lockdown.get(), "Value", PLIST_DICT);
    return values ? Plist(plist_copy(values)) : nullptr;
}

plist_t UsbmuxClient::cachedDeviceValues(const std::string& serial, const std::vector<std::int64_t>& deviceIds) {
    auto it = cache_.find(serial);
    if (it != cache_.end()) {
        if (it->second.values) return it->second.values.get();
        if (clock_.steadyNow() - it->second.storedAt < kRetryAfter) return nullptr;
    }
    Plist values;
    for (auto id : deviceIds) {
        values = readDeviceValues(id);
        if (values) break;
    }
    auto& entry = cache_[serial];
    entry = CachedValues{std::move(values), clock_.steadyNow()};
    return entry.values.get();
}

std::optional<std::vector<UsbmuxClient::AppleDevice>> UsbmuxClient::listAppleDevices() {
    auto entries = listDevices();
    if (!entries) return std::nullopt;

    struct Device {
        std::string serial;
        std::set<std::string> links;
        std::vector<std::pair<std::int64_t, bool>> identifiers;  // (device id, is USB), in entry order
    };
    std::vector<Device> devices;  // in first-seen order
    for (const auto& entry : *entries) {
        auto serial = plist::string(entry.properties.get(), "SerialNumber");
        if (!serial) continue;
        bool usb = plist::string(entry.properties.get(), "ConnectionType") == std::optional<std::string>("USB");
        auto device =
            std::find_if(devices.begin(), devices.end(), [&](const Device& d) { return d.serial == *serial; });
        if (device == devices.end()) device = devices.insert(devices.end(), Device{*serial, {}, {}});
        device->links.insert(usb ? "usb" : "wifi");
        device->identifiers.emplace_back(entry.deviceId, usb);
    }

    std::vector<AppleDevice> listed;
    for (auto& device : devices) {
        // USB links first, the daemon's order kept within each kind.
        std::stable_partition(device.identifiers.begin(), device.identifiers.end(),
                              [](const auto& pair) { return pair.second; });
        std::vector<std::int64_t> ids;
        for (const auto& [id, usb] : device.identifiers) ids.push_back(id);
        plist_t values = cachedDeviceValues(device.serial, ids);

        AppleDevice apple{device.serial, {device.links.begin(), device.links.end()}};  // a set: sorted
        if (values) {
            apple.name = plist::string(values, "DeviceName");
            apple.deviceClass = plist::string(values, "DeviceClass");
            apple.productType = plist::string(values, "ProductType");
            apple.osVersion = plist::string(values, "ProductVersion");
        }
        listed.push_back(std::move(apple));
    }
    return listed;
}

}  // namespace lumivane
