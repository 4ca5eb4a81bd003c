// The MobileDevice provider for real phones on Linux: the 32 entry points of
// the contract over libimobiledevice, libusbmuxd and libplist. Device notices
// come from the usbmux daemon's "Listen" stream, read by the provider's own
// listener thread through the project's usbmux wire module: it waits for a
// daemon that is not there yet, follows one that restarts (udev starts the
// daemon when a phone is plugged in and stops it with the last one), backs off
// from one that answers nonsense, and keeps at most kMaxDevices devices.
// libimobiledevice is handed only the connections. Notices are handed on from
// the provider's own notice thread.
// libimobiledevice's clients are not safe to share between threads: each
// device's lockdown client and each AFC connection is used under its own lock.
// Nothing of libimobiledevice's error enums leaves this file: every answer is
// a code of the contract.
#include <fcntl.h>
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbmuxd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/common/property_list.h"
#include "platform/mobile_device.h"
#include "platform/mobile_device_errors.h"
#include "platform/mobile_device_provider.h"
#include "platform/usbmux/usbmux_wire.h"

#define LV_EXPORT extern "C" __attribute__((visibility("default")))

struct LVDevice {
    std::atomic<int> references{1};
    std::string udid;
    std::uint32_t interface = kAMDInterfaceUSB;
    std::atomic<bool> attached{true};
    std::mutex mutex;  // guards everything below
    idevice_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;
    std::string session;  // the running session's identifier; empty: none
};

struct LVServiceConnection {
    LVDevice* device;  // retained
    afc_client_t afc = nullptr;
    int handle;  // what stands for its socket
};

struct LVAFCConnection {
    LVServiceConnection* service;
    std::mutex mutex;  // one request at a time on the wire
};

namespace {

// At most this many devices at once (a phone's daemon lists a handful; one
// that lists thousands must not cost a thread and a connection each), and
// identifiers of at most this many bytes.
constexpr std::size_t kMaxDevices = 64;
constexpr std::size_t kMaxUdidLength = 128;

void release(LVDevice* device) {
    if (!device || --device->references > 0) return;
    if (device->lockdown) lockdownd_client_free(device->lockdown);
    if (device->device) idevice_free(device->device);
    delete device;
}

// What the provider keeps for the process: the devices the daemon reports,
// the subscribers, the services by handle. `mutex` guards the maps;
// notices wait in `notices` for the notice thread.
class Registry {
public:
    std::mutex mutex;
    std::map<std::pair<std::string, std::uint32_t>, LVDevice*> devices;  // (udid, interface) -> attached device
    std::vector<LVNotification*> subscriptions;                          // never freed: callers keep their handles
    std::map<int, LVServiceConnection*> services;
    int nextHandle = 1 << 20;
    bool subscribed = false;

    // mutex held.
    void notify(LVNotification* subscription, LVDevice* device, std::uint32_t kind) {
        notices_.post(subscription, device, kind);
    }
    void notifyAll(LVDevice* device, std::uint32_t kind) {
        for (auto* subscription : subscriptions) notify(subscription, device, kind);
    }

private:
    lumivane::provider::NoticeQueue<LVDevice, release> notices_{"lv.mobiledevice"};
};

Registry& registry() {
    // Leaked on purpose: the notice thread may outlive static destruction.
    static Registry* instance = new Registry();
    return *instance;
}

// A device the daemon reports, under (udid, interface). Listener thread.
void attach(const std::string& udid, std::uint32_t interface) {
    auto key = std::make_pair(udid, interface);
    std::lock_guard lock(registry().mutex);
    if (registry().devices.count(key) || registry().devices.size() >= kMaxDevices) return;
    auto* device = new LVDevice();
    device->udid = udid;
    device->interface = interface;
    registry().devices[key] = device;
    registry().notifyAll(device, kAMDeviceAttached);
}

void detach(const std::pair<std::string, std::uint32_t>& key) {
    std::lock_guard lock(registry().mutex);
    auto found = registry().devices.find(key);
    if (found == registry().devices.end()) return;
    LVDevice* device = found->second;
    registry().devices.erase(found);
    device->attached = false;
    registry().notifyAll(device, kAMDeviceDetached);
    release(device);
}

// The daemon's socket: "UNIX:/path" in USBMUXD_SOCKET_ADDRESS when set (as
// libusbmuxd reads it), else the system's.
std::string daemonSocket() {
    const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    if (address && std::strncmp(address, "UNIX:", 5) == 0 && address[5]) return address + 5;
    return "/var/run/usbmuxd";
}

int connectDaemon() {
    auto path = daemonSocket();
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    timeval timeout{5, 0};  // a frame begun is finished within this, or the daemon is dropped
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return fd;
}

// A dictionary from the daemon, parsed by the project's bounded parser; null
// for anything else.
lumivane::Plist dictionary(const std::string& payload) {
    auto node = lumivane::plist::parse(payload);
    return lumivane::plist::isDict(node.get()) ? std::move(node) : nullptr;
}

// The "Listen" stream of one connection to the daemon, until it ends or the
// daemon answers anything but "OK". The devices it reported are detached when
// it does (a daemon that goes takes its devices with it; a new one reports
// them again).
void listen(int fd, int stopFd) {
    namespace plist = lumivane::plist;
    lumivane::Plist request(plist_new_dict());
    plist_dict_set_item(request.get(), "MessageType", plist_new_string("Listen"));
    plist_dict_set_item(request.get(), "ClientVersionString", plist_new_string("lumivane"));
    plist_dict_set_item(request.get(), "ProgName", plist_new_string("lumivane"));
    plist_dict_set_item(request.get(), "kLibUSBMuxVersion", plist_new_uint(3));
    if (!lumivane::usbmux::writeFrame(fd, 1, plist::toXml(request.get()))) return;
    auto answer = lumivane::usbmux::readFrame(fd);
    auto result = answer ? dictionary(answer->payload) : nullptr;
    if (!result || plist::string(result.get(), "MessageType") != "Result" ||
        plist::integer(result.get(), "Number") != 0)
        return;

    using Key = std::pair<std::string, std::uint32_t>;
    std::map<std::int64_t, Key> reported;  // the daemon's DeviceID -> (udid, interface)
    // Forgets a DeviceID; its device goes unless another DeviceID stands for it too.
    auto forget = [&](std::map<std::int64_t, Key>::iterator found) {
        Key key = found->second;
        reported.erase(found);
        for (const auto& [other, otherKey] : reported)
            if (otherKey == key) return;
        detach(key);
    };
    for (;;) {
        pollfd waits[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (waits[1].revents) break;
        auto frame = lumivane::usbmux::readFrame(fd);
        if (!frame) break;  // the daemon went, or sent what is no frame
        auto message = dictionary(frame->payload);
        if (!message) continue;  // a frame we cannot read: the next one may do
        auto type = plist::string(message.get(), "MessageType");
        auto id = plist::integer(message.get(), "DeviceID");
        if (type == "Attached" && id) {
            plist_t properties = plist::dictItem(message.get(), "Properties", PLIST_DICT);
            auto udid = plist::string(properties, "SerialNumber").value_or("");
            auto link = plist::string(properties, "ConnectionType").value_or("");
            // A device needs a name to be found again: no serial, no device.
            if (udid.empty() || udid.size() > kMaxUdidLength) continue;
            if (reported.size() >= kMaxDevices && !reported.count(*id)) continue;
            std::uint32_t interface = link == "Network" ? kAMDInterfaceWiFi : kAMDInterfaceUSB;
            // The same DeviceID for another device: the first one went.
            if (auto earlier = reported.find(*id); earlier != reported.end() && earlier->second != Key{udid, interface})
                forget(earlier);
            reported[*id] = {udid, interface};
            attach(udid, interface);
        } else if (type == "Detached" && id) {
            if (auto found = reported.find(*id); found != reported.end()) forget(found);
        }
    }
    for (const auto& [id, key] : reported) detach(key);
}

// The listener thread: connects, listens, and connects again for as long as
// the process lives. Waits between attempts grow from 100 ms to 2 s while
// the daemon is absent or answers nonsense, and start again from 100 ms once
// a connection has lasted 5 s.
void listenForever(int stopFd) {
    using namespace std::chrono;
    milliseconds wait(100);
    for (;;) {
        auto began = steady_clock::now();
        int fd = connectDaemon();
        if (fd >= 0) {
            listen(fd, stopFd);
            ::close(fd);
        }
        if (steady_clock::now() - began >= seconds(5)) wait = milliseconds(100);
        pollfd stop{stopFd, POLLIN, 0};
        if (::poll(&stop, 1, int(wait.count())) > 0) return;
        wait = std::min<milliseconds>(wait * 2, seconds(2));
    }
}

void startListening() {
    int stop[2];
    if (::pipe2(stop, O_CLOEXEC) != 0) return;
    // The write end stays open for the life of the process: the listener
    // never stops, and holds no lock anyone else needs while it waits.
    std::thread([readEnd = stop[0]] { listenForever(readEnd); }).detach();
}

std::int32_t lockdownCode(lockdownd_error_t error) {
    switch (error) {
        case LOCKDOWN_E_SUCCESS: return kAMDSuccess;
        case LOCKDOWN_E_INVALID_ARG: return kAMDInvalidArgumentError;
        case LOCKDOWN_E_INVALID_HOST_ID: return kAMDInvalidHostIDError;
        case LOCKDOWN_E_INVALID_CONF:
        case LOCKDOWN_E_INVALID_PAIR_RECORD:
        case LOCKDOWN_E_PAIRING_FAILED: return kAMDInvalidPairRecordError;
        case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING: return kAMDPairingDialogResponsePendingError;
        case LOCKDOWN_E_USER_DENIED_PAIRING: return lumivane::kAMDUserDeniedPairingError;
        case LOCKDOWN_E_SESSION_INACTIVE:
        case LOCKDOWN_E_NO_RUNNING_SESSION: return kAMDSessionInactiveError;
        case LOCKDOWN_E_INVALID_SERVICE: return kAMDInvalidServiceError;
        default: return kAMDDeviceDisconnectedError;  // the wire went, or the phone said nothing we know
    }
}

std::int32_t afcCode(afc_error_t error) {
    if (error >= AFC_E_SUCCESS && error <= AFC_E_INTERNAL_ERROR) return error;
    return kAFCServiceNotConnected;  // the connection under it went
}

// The host identifier of the pair record the daemon keeps; empty without one.
std::string pairedHostId(const std::string& udid) {
    char* data = nullptr;
    std::uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) != 0 || !data) {
        std::free(data);
        return "";
    }
    plist_t record = nullptr;
    if (size >= 8 && std::memcmp(data, "bplist00", 8) == 0)
        plist_from_bin(data, size, &record);
    else
        plist_from_xml(data, size, &record);
    std::free(data);
    std::string hostId = record ? lumivane::provider::text(plist_dict_get_item(record, "HostID")) : "";
    plist_free(record);
    return hostId;
}

}  // namespace

// ---- devices ------------------------------------------------------------

LV_EXPORT std::int32_t AMDeviceNotificationSubscribeWithOptions(am_device_notification_callback callback, std::uint32_t,
                                                                std::uint32_t, void* context,
                                                                AMDeviceNotificationRef* subscription, plist_t) {
    if (!callback || !subscription) return kAMDInvalidArgumentError;
    std::lock_guard lock(registry().mutex);
    auto* created = new LVNotification{callback, context};
    registry().subscriptions.push_back(created);
    for (auto& [key, device] : registry().devices) registry().notify(created, device, kAMDeviceAttached);
    if (!registry().subscribed) {
        startListening();
        registry().subscribed = true;
    }
    *subscription = created;
    return kAMDSuccess;
}

LV_EXPORT AMDeviceRef AMDeviceRetain(AMDeviceRef device) {
    if (device) ++device->references;
    return device;
}

LV_EXPORT void AMDeviceRelease(AMDeviceRef device) { release(device); }

LV_EXPORT std::uint32_t AMDeviceGetInterfaceType(AMDeviceRef device) { return device ? device->interface : 0; }

LV_EXPORT plist_t AMDeviceCopyDeviceIdentifier(AMDeviceRef device) {
    return device ? plist_new_string(device->udid.c_str()) : nullptr;
}

LV_EXPORT std::int32_t AMDeviceConnect(AMDeviceRef device) {
    if (!device) return kAMDInvalidArgumentError;
    std::lock_guard lock(device->mutex);
    if (!device->attached) return kAMDDeviceDisconnectedError;
    if (device->lockdown) return kAMDSuccess;
    auto lookup = device->interface == kAMDInterfaceWiFi ? IDEVICE_LOOKUP_NETWORK : IDEVICE_LOOKUP_USBMUX;
    if (idevice_new_with_options(&device->device, device->udid.c_str(), lookup) != IDEVICE_E_SUCCESS)
        return kAMDDeviceDisconnectedError;
    auto error = lockdownd_client_new(device->device, &device->lockdown, "Lumivane");
    if (error != LOCKDOWN_E_SUCCESS) {
        idevice_free(device->device);
        device->device = nullptr;
        device->lockdown = nullptr;
        return lockdownCode(error);
    }
    return kAMDSuccess;
}

LV_EXPORT std::int32_t AMDeviceDisconnect(AMDeviceRef device) {
    if (!device) return kAMDInvalidArgumentError;
    std::lock_guard lock(device->mutex);
    if (device->lockdown) lockdownd_client_free(device->lockdown);  // ends a running session too
    if (device->device) idevice_free(device->device);
    device->lockdown = nullptr;
    device->device = nullptr;
    device->session.clear();
    return kAMDSuccess;
}

LV_EXPORT std::int32_t AMDeviceIsPaired(AMDeviceRef device) {
    return device && !pairedHostId(device->udid).empty() ? 1 : 0;
}

LV_EXPORT std::int32_t AMDeviceValidatePairing(AMDeviceRef device) {
    if (!device) return kAMDInvalidArgumentError;
    std::lock_guard lock(device->mutex);
    if (!device->lockdown) return kAMDNotConnectedError;
    if (pairedHostId(device->udid).empty()) return kAMDInvalidPairRecordError;
    auto error = lockdownd_validate_pair(device->lockdown, nullptr);
    return error == LOCKDOWN_E_INVALID_HOST_ID ? kAMDInvalidPairRecordError : lockdownCode(error);
}

LV_EXPORT std::int32_t AMDevicePair(AMDeviceRef device) {
    if (!device) return kAMDInvalidArgumentError;
    std::lock_guard lock(device->mutex);
    if (!device->lockdown) return kAMDNotConnectedError;
    return lockdownCode(lockdownd_pair(device->lockdown, nullptr));
}

LV_EXPORT std::int32_t AMDeviceStartSession(AMDeviceRef device) {
    if (!device) return kAMDInvalidArgumentError;
    std::lock_guard lock(device->mutex);
    if (!device->attached) return kAMDDeviceDisconnectedError;
    if (!device->lockdown) return kAMDNotConnectedError;
    auto hostId = pairedHostId(device->udid);
    if (hostId.empty()) return kAMDInvalidHostIDError;
    char* session = nullptr;
    auto error = lockdownd_start_session(device->lockdown, hostId.c_str(), &session, nullptr);
    if (error != LOCKDOWN_E_SUCCESS) return lockdownCode(error);
    device->session = session ? session : "";
    std::free(session);
    return kAMDSuccess;
}

LV_EXPORT std::int32_t AMDeviceStopSession(AMDeviceRef device) {
    if (!device) return kAMDInvalidArgumentError;
    std::lock_guard lock(device->mutex);
    if (device->lockdown && !device->session.empty()) lockdownd_stop_session(device->lockdown, device->session.c_str());
    device->session.clear();
    return kAMDSuccess;
}

LV_EXPORT plist_t AMDeviceCopyValue(AMDeviceRef device, plist_t domain, plist_t key) {
    if (!device) return nullptr;
    std::lock_guard lock(device->mutex);
    if (!device->lockdown || !device->attached) return nullptr;
    auto domainText = lumivane::provider::text(domain), keyText = lumivane::provider::text(key);
    plist_t value = nullptr;
    if (lockdownd_get_value(device->lockdown, domainText.empty() ? nullptr : domainText.c_str(),
                            keyText.empty() ? nullptr : keyText.c_str(), &value) != LOCKDOWN_E_SUCCESS) {
        plist_free(value);
        return nullptr;
    }
    return value;
}

LV_EXPORT std::int32_t AMDeviceSetValue(AMDeviceRef device, plist_t domain, plist_t key, plist_t value) {
    if (!device || !key || !value) return kAMDInvalidArgumentError;
    std::lock_guard lock(device->mutex);
    if (!device->lockdown || device->session.empty()) return kAMDSessionInactiveError;
    auto domainText = lumivane::provider::text(domain), keyText = lumivane::provider::text(key);
    return lockdownCode(lockdownd_set_value(device->lockdown, domainText.empty() ? nullptr : domainText.c_str(),
                                            keyText.c_str(), plist_copy(value)));
}

LV_EXPORT std::int32_t AMDeviceSecureStartService(AMDeviceRef device, plist_t serviceName, plist_t,
                                                  AMDServiceConnectionRef* service) {
    if (!device || !service) return kAMDInvalidArgumentError;
    *service = nullptr;
    if (lumivane::provider::text(serviceName) != "com.apple.afc") return kAMDInvalidServiceError;
    afc_client_t afc = nullptr;
    {
        std::lock_guard lock(device->mutex);
        if (!device->attached) return kAMDDeviceDisconnectedError;
        if (!device->lockdown || device->session.empty()) return kAMDSessionInactiveError;
        lockdownd_service_descriptor_t descriptor = nullptr;
        auto error = lockdownd_start_service(device->lockdown, "com.apple.afc", &descriptor);
        if (error != LOCKDOWN_E_SUCCESS) return lockdownCode(error);
        auto connected = afc_client_new(device->device, descriptor, &afc);
        lockdownd_service_descriptor_free(descriptor);
        if (connected != AFC_E_SUCCESS) return kAMDDeviceDisconnectedError;
    }
    std::lock_guard lock(registry().mutex);
    ++device->references;
    auto* created = new LVServiceConnection{device, afc, registry().nextHandle++};
    registry().services[created->handle] = created;
    *service = created;
    return kAMDSuccess;
}

LV_EXPORT int AMDServiceConnectionGetSocket(AMDServiceConnectionRef service) { return service ? service->handle : -1; }

LV_EXPORT void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef service) {
    // libimobiledevice keeps a service's TLS inside its client: no context to hand on.
    (void)service;
    return nullptr;
}

LV_EXPORT void AMDServiceConnectionInvalidate(AMDServiceConnectionRef service) {
    if (!service) return;
    {
        std::lock_guard lock(registry().mutex);
        registry().services.erase(service->handle);
    }
    afc_client_free(service->afc);
    release(service->device);
    delete service;
}

LV_EXPORT const char* AMDErrorString(std::int32_t code) { return lumivane::amdErrorName(code); }

LV_EXPORT const char* AFCErrorString(std::int32_t code) { return lumivane::afcErrorName(code); }

// ---- AFC ----------------------------------------------------------------

LV_EXPORT std::int32_t AFCConnectionOpen(int socket, std::uint32_t, AFCConnectionRef* connection) {
    if (!connection) return kAFCInvalidArgument;
    std::lock_guard lock(registry().mutex);
    auto found = registry().services.find(socket);
    if (found == registry().services.end()) return kAFCServiceNotConnected;
    *connection = new LVAFCConnection();
    (*connection)->service = found->second;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCConnectionSetSecureContext(AFCConnectionRef connection, void*) {
    return connection ? kAFCSuccess : kAFCInvalidArgument;
}

LV_EXPORT std::int32_t AFCConnectionClose(AFCConnectionRef connection) {
    if (!connection) return kAFCInvalidArgument;
    delete connection;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCDirectoryOpen(AFCConnectionRef connection, const char* path, AFCDirectoryRef* directory) {
    if (!connection || !path || !directory) return kAFCInvalidArgument;
    *directory = nullptr;
    if (!connection->service->device->attached) return kAFCServiceNotConnected;
    char** names = nullptr;
    afc_error_t error;
    {
        std::lock_guard lock(connection->mutex);
        error = afc_read_directory(connection->service->afc, path, &names);
    }
    if (error != AFC_E_SUCCESS) return afcCode(error);
    auto* created = new LVAFCDirectory();
    for (char** at = names; at && *at; ++at) created->names.emplace_back(*at);
    afc_dictionary_free(names);
    *directory = created;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCDirectoryRead(AFCConnectionRef, AFCDirectoryRef directory, char** name) {
    return lumivane::provider::readName(directory, name);
}

LV_EXPORT std::int32_t AFCDirectoryClose(AFCConnectionRef, AFCDirectoryRef directory) {
    delete directory;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCFileInfoOpen(AFCConnectionRef connection, const char* path, AFCDictionaryRef* info) {
    if (!connection || !path || !info) return kAFCInvalidArgument;
    *info = nullptr;
    if (!connection->service->device->attached) return kAFCServiceNotConnected;
    char** values = nullptr;
    afc_error_t error;
    {
        std::lock_guard lock(connection->mutex);
        error = afc_get_file_info(connection->service->afc, path, &values);
    }
    if (error != AFC_E_SUCCESS) return afcCode(error);
    auto* created = new LVAFCKeyValues();
    for (char** at = values; at && at[0] && at[1]; at += 2) created->pairs.emplace_back(at[0], at[1]);
    afc_dictionary_free(values);
    *info = created;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCKeyValueRead(AFCDictionaryRef info, char** key, char** value) {
    return lumivane::provider::readKeyValue(info, key, value);
}

LV_EXPORT std::int32_t AFCKeyValueClose(AFCDictionaryRef info) {
    delete info;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCFileRefOpen(AFCConnectionRef connection, const char* path, std::uint64_t mode,
                                      AFCFileRef* file) {
    if (!connection || !path || !file) return kAFCInvalidArgument;
    *file = 0;
    if (mode != AFC_FOPEN_RDONLY) return kAFCInvalidArgument;
    if (!connection->service->device->attached) return kAFCServiceNotConnected;
    std::lock_guard lock(connection->mutex);
    return afcCode(afc_file_open(connection->service->afc, path, AFC_FOPEN_RDONLY, file));
}

LV_EXPORT std::int32_t AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer,
                                      std::uint32_t* length) {
    if (!connection || !buffer || !length) return kAFCInvalidArgument;
    if (!connection->service->device->attached) return kAFCServiceNotConnected;
    std::lock_guard lock(connection->mutex);
    std::uint32_t got = 0;
    auto error = afc_file_read(connection->service->afc, file, static_cast<char*>(buffer), *length, &got);
    if (error != AFC_E_SUCCESS) return afcCode(error);
    *length = got;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCFileRefSeek(AFCConnectionRef connection, AFCFileRef file, std::int64_t offset,
                                      std::uint64_t whence) {
    if (!connection || whence > 2) return kAFCInvalidArgument;
    if (!connection->service->device->attached) return kAFCServiceNotConnected;
    std::lock_guard lock(connection->mutex);
    return afcCode(afc_file_seek(connection->service->afc, file, offset, static_cast<int>(whence)));
}

LV_EXPORT std::int32_t AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file) {
    if (!connection) return kAFCInvalidArgument;
    std::lock_guard lock(connection->mutex);
    return afcCode(afc_file_close(connection->service->afc, file));
}
