#include "platform/sim/sim_usbmux_daemon.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/common/property_list.h"
#include "platform/usbmux/usbmux_wire.h"
#include "runtime/mutex.h"
#include "runtime/socket_io.h"

namespace lumivane {

namespace {

bool reply(int fd, std::uint32_t tag, plist_t payload) { return usbmux::writeFrame(fd, tag, plist::toXml(payload)); }

Plist result(std::int64_t number) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "MessageType", plist_new_string("Result"));
    plist_dict_set_item(dict, "Number", plist_new_uint(static_cast<std::uint64_t>(number)));
    return Plist(dict);
}

plist_t deviceEntry(const SimUsbmuxDaemon::Device& device, std::int64_t id, bool usb) {
    plist_t properties = plist_new_dict();
    plist_dict_set_item(properties, "ConnectionType", plist_new_string(usb ? "USB" : "Network"));
    plist_dict_set_item(properties, "DeviceID", plist_new_uint(static_cast<std::uint64_t>(id)));
    plist_dict_set_item(properties, "SerialNumber", plist_new_string(device.udid.c_str()));
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "DeviceID", plist_new_uint(static_cast<std::uint64_t>(id)));
    plist_dict_set_item(entry, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(entry, "Properties", properties);
    return entry;
}

}  // namespace

SimUsbmuxDaemon::SimUsbmuxDaemon(std::string socketPath) : path_(std::move(socketPath)) {}

SimUsbmuxDaemon::~SimUsbmuxDaemon() {
    if (listenFd_ < 0) return;
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    ::close(listenFd_);
    ::unlink(path_.c_str());
}

bool SimUsbmuxDaemon::start() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    ::unlink(path_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return false;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 16) != 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

void SimUsbmuxDaemon::addDevice(Device device) {
    MutexLock lock(mutex_);
    auto existing =
        std::find_if(devices_.begin(), devices_.end(), [&](const Device& d) { return d.udid == device.udid; });
    device.usbId = nextId_++;
    device.wifiId = nextId_++;
    if (existing != devices_.end())
        *existing = std::move(device);
    else
        devices_.push_back(std::move(device));
}

bool SimUsbmuxDaemon::removeDevice(const std::string& udid) {
    MutexLock lock(mutex_);
    auto before = devices_.size();
    std::erase_if(devices_, [&](const Device& d) { return d.udid == udid; });
    return devices_.size() != before;
}

std::vector<SimUsbmuxDaemon::Device> SimUsbmuxDaemon::snapshot() const {
    MutexLock lock(mutex_);
    return devices_;
}

void SimUsbmuxDaemon::serve() {
    while (!stopping_) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;
        }
        timeval timeout{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        handle(fd);
        ::close(fd);
    }
}

void SimUsbmuxDaemon::handle(int fd) {
    for (;;) {
        auto frame = usbmux::readFrame(fd);
        if (!frame) return;
        std::uint32_t tag = frame->header.tag;
        Plist request = plist::parse(frame->payload);
        auto type = plist::string(request.get(), "MessageType");

        if (type == std::optional<std::string>("ListDevices")) {
            plist_t list = plist_new_array();
            for (const auto& device : snapshot()) {
                if (device.usb) plist_array_append_item(list, deviceEntry(device, device.usbId, true));
                if (device.wifi) plist_array_append_item(list, deviceEntry(device, device.wifiId, false));
            }
            Plist answer(plist_new_dict());
            plist_dict_set_item(answer.get(), "DeviceList", list);
            if (!reply(fd, tag, answer.get())) return;
            continue;
        }
        if (type != std::optional<std::string>("Connect")) {
            if (!reply(fd, tag, result(usbmux::kResultBadCommand).get())) return;
            continue;
        }
        auto id = plist::integer(request.get(), "DeviceID");
        auto port = plist::integer(request.get(), "PortNumber");
        std::optional<Device> target;
        for (const auto& device : snapshot())
            if (id && ((device.usb && device.usbId == *id) || (device.wifi && device.wifiId == *id))) target = device;
        if (!target || port != std::optional<std::int64_t>(usbmux::kLockdownPortSwapped) || !target->readable) {
            reply(fd, tag, result(usbmux::kResultConnectionRefused).get());
            return;
        }
        if (!reply(fd, tag, result(usbmux::kResultOk).get())) return;

        // From here the connection is the device's lockdown service.
        auto lockdownBody = usbmux::readLockdownFrame(fd);
        if (!lockdownBody) return;
        Plist lockdown = plist::parse(*lockdownBody);
        if (plist::string(lockdown.get(), "Request") != std::optional<std::string>("GetValue")) return;
        plist_t values = plist_new_dict();
        plist_dict_set_item(values, "DeviceName", plist_new_string(target->name.c_str()));
        plist_dict_set_item(values, "DeviceClass", plist_new_string(target->deviceClass.c_str()));
        plist_dict_set_item(values, "ProductType", plist_new_string(target->productType.c_str()));
        plist_dict_set_item(values, "ProductVersion", plist_new_string(target->osVersion.c_str()));
        plist_dict_set_item(values, "UniqueDeviceID", plist_new_string(target->udid.c_str()));
        Plist answer(plist_new_dict());
        plist_dict_set_item(answer.get(), "Request", plist_new_string("GetValue"));
        plist_dict_set_item(answer.get(), "Value", values);
        std::string out = usbmux::encodeLockdownFrame(plist::toXml(answer.get()));
        writeAll(fd, out.data(), out.size());
        return;
    }
}

}  // namespace lumivane
