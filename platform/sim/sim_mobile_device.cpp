// The simulated MobileDevice provider: phones backed by folders, attached and
// detached over USB and Wi-Fi, with trust, lockdown values, per-call latency
// and fault plans. AFC serves the folder's real files. Built as a shared
// library and loaded by name, as the real framework is.
//
// Its state is process-wide, as a framework's is: one registry guarded by
// `mutex`. Device notices are delivered on the provider's own thread.
#include "platform/sim/sim_mobile_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/mobile_device.h"
#include "platform/mobile_device_errors.h"
#include "platform/mobile_device_provider.h"

#define LV_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Phone;

struct Fault {
    std::string op;
    std::int32_t code;
    std::uint32_t nth;
    std::optional<std::string> path;
    bool detach;
    std::uint32_t seen = 0;
    bool spent = false;
};

}  // namespace

struct LVDevice {
    std::atomic<int> references{1};
    std::shared_ptr<Phone> phone;
    std::uint32_t interface;
    std::atomic<bool> attached{true};
    std::atomic<bool> connected{false};
    std::atomic<bool> inSession{false};
};

struct LVServiceConnection {
    LVDevice* device;
    int sockets[2];
};

struct LVAFCConnection {
    LVServiceConnection* service;
    std::mutex mutex;  // guards `files` and `nextFile`
    std::map<AFCFileRef, int> files;
    AFCFileRef nextFile = 1;
};

namespace {

struct Phone {
    std::string udid, name, root;
    bool trusted = true;
    bool refused = false;  // untrusted, and the person tapped "Don't Trust"
    std::uint32_t latencyMicros = 0;
    std::map<std::string, std::map<std::string, plist_t>> values;  // domain -> key -> value (owned)
    LVDevice* usb = nullptr;
    LVDevice* wifi = nullptr;
    std::vector<Fault> faults;
    std::vector<std::string> hiddenInfoKeys;
    std::map<std::string, std::uint64_t> counts;
    ~Phone() {
        for (auto& [domain, keys] : values)
            for (auto& [key, value] : keys) plist_free(value);
    }
};

void release(LVDevice* device) {
    if (device && --device->references == 0) delete device;
}

class Registry {
public:
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<Phone>> phones;
    std::vector<LVNotification*> subscriptions;    // never freed: callers keep their handles
    std::map<int, LVServiceConnection*> services;  // by socket

    // Queues a notice for every subscriber; mutex held.
    void notifyAll(LVDevice* device, std::uint32_t kind) {
        for (auto* subscription : subscriptions) notify(subscription, device, kind);
    }
    void notify(LVNotification* subscription, LVDevice* device, std::uint32_t kind) {
        notices_.post(subscription, device, kind);
    }
    // Drops a link; mutex held.
    void detach(Phone& phone, std::uint32_t interface) {
        LVDevice*& slot = interface == kAMDInterfaceWiFi ? phone.wifi : phone.usb;
        LVDevice* device = slot;
        if (!device) return;
        slot = nullptr;
        device->attached = false;
        notifyAll(device, kAMDeviceDetached);
        release(device);
    }

private:
    lumivane::provider::NoticeQueue<LVDevice, release> notices_{"sim.mobiledevice"};
};

Registry& registry() {
    // Leaked on purpose: the notice thread may outlive static destruction.
    static Registry* instance = new Registry();
    return *instance;
}

std::shared_ptr<Phone> findPhone(const char* udid) {
    if (!udid) return nullptr;
    auto it = registry().phones.find(udid);
    return it == registry().phones.end() ? nullptr : it->second;
}

// Counts the call and answers the code of a fault that fires; mutex held.
// Every counting fault sees every call of its operation, fired or not.
std::optional<std::int32_t> fault(Phone& phone, const std::string& op, const std::string& path = "") {
    ++phone.counts[op];
    Fault* firing = nullptr;
    for (auto& f : phone.faults) {
        if (f.op != op || f.spent) continue;
        bool fires = f.path ? *f.path == path : ++f.seen == f.nth;
        if (fires && !firing) firing = &f;
    }
    if (!firing) return std::nullopt;
    if (!firing->path) firing->spent = true;
    if (firing->detach) {
        registry().detach(phone, kAMDInterfaceUSB);
        registry().detach(phone, kAMDInterfaceWiFi);
    }
    return firing->code;
}

void sleepMicros(std::uint32_t micros) {
    if (micros) std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

// The start of every AFC call: the phone behind the connection (its link must
// still be up), the phone's latency, and the fault plan. Answers the phone, or
// sets `code` to the call's answer.
std::shared_ptr<Phone> beginAFCCall(AFCConnectionRef connection, const char* op, const char* path, std::int32_t& code) {
    std::shared_ptr<Phone> phone;
    std::uint32_t latency = 0;
    {
        std::lock_guard lock(registry().mutex);
        if (connection && connection->service && connection->service->device->attached) {
            phone = connection->service->device->phone;
            latency = phone->latencyMicros;
        }
    }
    if (!phone) {
        code = kAFCServiceNotConnected;
        return nullptr;
    }
    sleepMicros(latency);
    std::lock_guard lock(registry().mutex);
    if (auto fired = fault(*phone, op, path ? path : "")) {
        code = *fired;
        return nullptr;
    }
    return phone;
}

bool safePath(const char* path) {
    if (!path || path[0] != '/') return false;
    std::string p(path);
    return p.find("/../") == std::string::npos && (p.size() < 3 || p.compare(p.size() - 3, 3, "/..") != 0);
}

std::int32_t afcCode(int error) {
    switch (error) {
        case ENOENT: return kAFCObjectNotFound;
        case EACCES: return kAFCPermissionDenied;
        case EISDIR: return kAFCObjectIsDirectory;
        default: return kAFCUnknownError;
    }
}

}  // namespace

// ---- control functions --------------------------------------------------

LV_EXPORT std::int32_t LVSimReset(void) {
    std::lock_guard lock(registry().mutex);
    for (auto& [udid, phone] : registry().phones) {
        registry().detach(*phone, kAMDInterfaceUSB);
        registry().detach(*phone, kAMDInterfaceWiFi);
    }
    registry().phones.clear();
    return 0;
}

LV_EXPORT std::int32_t LVSimAddPhone(const char* udid, const char* name, const char* root, int trusted) {
    if (!udid || !*udid || !root) return kAMDInvalidArgumentError;
    std::lock_guard lock(registry().mutex);
    auto& slot = registry().phones[udid];
    if (slot) {
        registry().detach(*slot, kAMDInterfaceUSB);
        registry().detach(*slot, kAMDInterfaceWiFi);
    }
    slot = std::make_shared<Phone>();
    slot->udid = udid;
    slot->name = name ? name : "iPhone";
    slot->root = root;
    slot->trusted = trusted != 0;
    slot->values[""]["DeviceName"] = plist_new_string(slot->name.c_str());
    slot->values[""]["ProductType"] = plist_new_string("iPhone15,2");
    slot->values["com.apple.mobile.wireless_lockdown"]["EnableWifiConnections"] = plist_new_bool(0);
    return 0;
}

LV_EXPORT std::int32_t LVSimAttach(const char* udid, std::uint32_t interface) {
    std::lock_guard lock(registry().mutex);
    auto phone = findPhone(udid);
    if (!phone || (interface != kAMDInterfaceUSB && interface != kAMDInterfaceWiFi)) return kAMDInvalidArgumentError;
    LVDevice*& slot = interface == kAMDInterfaceWiFi ? phone->wifi : phone->usb;
    if (slot) return 0;
    slot = new LVDevice();
    slot->phone = phone;
    slot->interface = interface;
    registry().notifyAll(slot, kAMDeviceAttached);
    return 0;
}

LV_EXPORT std::int32_t LVSimDetach(const char* udid, std::uint32_t interface) {
    std::lock_guard lock(registry().mutex);
    auto phone = findPhone(udid);
    if (!phone) return kAMDInvalidArgumentError;
    registry().detach(*phone, interface);
    return 0;
}

LV_EXPORT std::int32_t LVSimSetTrusted(const char* udid, int trusted) {
    std::lock_guard lock(registry().mutex);
    auto phone = findPhone(udid);
    if (!phone) return kAMDInvalidArgumentError;
    bool newlyTrusted = trusted > 0 && !phone->trusted;
    phone->trusted = trusted > 0;
    phone->refused = trusted < 0;
    // A phone that has just been trusted is reported again, now paired, as
    // MobileDevice reports a device once its pairing completes.
    if (newlyTrusted && phone->usb) registry().notifyAll(phone->usb, kAMDeviceAttached);
    return 0;
}

LV_EXPORT std::int32_t LVSimSetLatency(const char* udid, std::uint32_t microseconds) {
    std::lock_guard lock(registry().mutex);
    auto phone = findPhone(udid);
    if (!phone) return kAMDInvalidArgumentError;
    phone->latencyMicros = microseconds;
    return 0;
}

LV_EXPORT std::int32_t LVSimSetValue(const char* udid, const char* domain, const char* key, plist_t value) {
    std::lock_guard lock(registry().mutex);
    auto phone = findPhone(udid);
    if (!phone || !key || !value) return kAMDInvalidArgumentError;
    plist_t& slot = phone->values[domain ? domain : ""][key];
    if (slot) plist_free(slot);
    slot = plist_copy(value);
    return 0;
}

LV_EXPORT std::int32_t LVSimAddFault(const char* udid, const char* op, std::int32_t code, std::uint32_t nth,
                                     const char* path, int detach) {
    std::lock_guard lock(registry().mutex);
    auto phone = findPhone(udid);
    if (!phone || !op) return kAMDInvalidArgumentError;
    phone->faults.push_back(Fault{op, code, std::max<std::uint32_t>(nth, 1),
                                  path ? std::optional<std::string>(path) : std::nullopt, detach != 0});
    return 0;
}

LV_EXPORT std::int32_t LVSimHideInfoKey(const char* udid, const char* key) {
    std::lock_guard lock(registry().mutex);
    auto phone = findPhone(udid);
    if (!phone || !key) return kAMDInvalidArgumentError;
    phone->hiddenInfoKeys.emplace_back(key);
    return 0;
}

LV_EXPORT std::uint64_t LVSimCallCount(const char* udid, const char* op) {
    std::lock_guard lock(registry().mutex);
    auto phone = findPhone(udid);
    if (!phone || !op) return 0;
    auto it = phone->counts.find(op);
    return it == phone->counts.end() ? 0 : it->second;
}

// ---- devices ------------------------------------------------------------

LV_EXPORT std::int32_t AMDeviceNotificationSubscribeWithOptions(am_device_notification_callback callback, std::uint32_t,
                                                                std::uint32_t, void* context,
                                                                AMDeviceNotificationRef* subscription, plist_t) {
    if (!callback || !subscription) return kAMDInvalidArgumentError;
    std::lock_guard lock(registry().mutex);
    auto* created = new LVNotification{callback, context};
    registry().subscriptions.push_back(created);
    for (auto& [udid, phone] : registry().phones) {
        if (phone->usb) registry().notify(created, phone->usb, kAMDeviceAttached);
        if (phone->wifi) registry().notify(created, phone->wifi, kAMDeviceAttached);
    }
    *subscription = created;
    return 0;
}

LV_EXPORT AMDeviceRef AMDeviceRetain(AMDeviceRef device) {
    if (device) ++device->references;
    return device;
}

LV_EXPORT void AMDeviceRelease(AMDeviceRef device) { release(device); }

LV_EXPORT std::uint32_t AMDeviceGetInterfaceType(AMDeviceRef device) { return device ? device->interface : 0; }

LV_EXPORT plist_t AMDeviceCopyDeviceIdentifier(AMDeviceRef device) {
    return device ? plist_new_string(device->phone->udid.c_str()) : nullptr;
}

LV_EXPORT std::int32_t AMDeviceConnect(AMDeviceRef device) {
    if (!device) return kAMDInvalidArgumentError;
    std::lock_guard lock(registry().mutex);
    if (auto code = fault(*device->phone, "connect")) return *code;
    if (!device->attached) return kAMDDeviceDisconnectedError;
    device->connected = true;
    return 0;
}

LV_EXPORT std::int32_t AMDeviceDisconnect(AMDeviceRef device) {
    if (!device) return kAMDInvalidArgumentError;
    device->connected = false;
    device->inSession = false;
    return 0;
}

LV_EXPORT std::int32_t AMDeviceIsPaired(AMDeviceRef device) {
    std::lock_guard lock(registry().mutex);
    return device && device->phone->trusted ? 1 : 0;
}

LV_EXPORT std::int32_t AMDeviceValidatePairing(AMDeviceRef device) {
    std::lock_guard lock(registry().mutex);
    if (!device || !device->connected) return kAMDNotConnectedError;
    return device->phone->trusted ? 0 : kAMDInvalidPairRecordError;
}

LV_EXPORT std::int32_t AMDevicePair(AMDeviceRef device) {
    std::lock_guard lock(registry().mutex);
    if (!device) return kAMDInvalidArgumentError;
    ++device->phone->counts["pair"];
    if (!device->connected) return kAMDNotConnectedError;
    if (device->phone->trusted) return 0;
    return device->phone->refused ? lumivane::kAMDUserDeniedPairingError : kAMDPairingDialogResponsePendingError;
}

LV_EXPORT std::int32_t AMDeviceStartSession(AMDeviceRef device) {
    std::lock_guard lock(registry().mutex);
    if (!device) return kAMDInvalidArgumentError;
    if (auto code = fault(*device->phone, "session")) return *code;
    if (!device->attached) return kAMDDeviceDisconnectedError;
    if (!device->connected) return kAMDNotConnectedError;
    if (!device->phone->trusted) return kAMDInvalidHostIDError;
    device->inSession = true;
    return 0;
}

LV_EXPORT std::int32_t AMDeviceStopSession(AMDeviceRef device) {
    if (!device) return kAMDInvalidArgumentError;
    device->inSession = false;
    return 0;
}

LV_EXPORT plist_t AMDeviceCopyValue(AMDeviceRef device, plist_t domain, plist_t key) {
    std::lock_guard lock(registry().mutex);
    if (!device || !device->connected || !device->attached) return nullptr;
    auto& domains = device->phone->values;
    auto d = domains.find(lumivane::provider::text(domain));
    if (d == domains.end()) return nullptr;
    auto v = d->second.find(lumivane::provider::text(key));
    return v == d->second.end() ? nullptr : plist_copy(v->second);
}

LV_EXPORT std::int32_t AMDeviceSetValue(AMDeviceRef device, plist_t domain, plist_t key, plist_t value) {
    std::lock_guard lock(registry().mutex);
    if (!device || !key || !value) return kAMDInvalidArgumentError;
    if (!device->inSession) return kAMDSessionInactiveError;
    plist_t& slot = device->phone->values[lumivane::provider::text(domain)][lumivane::provider::text(key)];
    if (slot) plist_free(slot);
    slot = plist_copy(value);
    return 0;
}

LV_EXPORT std::int32_t AMDeviceSecureStartService(AMDeviceRef device, plist_t serviceName, plist_t,
                                                  AMDServiceConnectionRef* service) {
    if (!device || !service) return kAMDInvalidArgumentError;
    std::lock_guard lock(registry().mutex);
    *service = nullptr;
    if (auto code = fault(*device->phone, "service")) return *code;  // code 0: "success" without a service
    if (!device->attached) return kAMDDeviceDisconnectedError;
    if (!device->inSession) return kAMDSessionInactiveError;
    if (lumivane::provider::text(serviceName) != "com.apple.afc") return kAMDInvalidServiceError;
    auto* created = new LVServiceConnection{device, {-1, -1}};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, created->sockets) != 0) {
        delete created;
        return kAMDInvalidArgumentError;
    }
    ++device->references;
    registry().services[created->sockets[0]] = created;
    *service = created;
    return 0;
}

LV_EXPORT int AMDServiceConnectionGetSocket(AMDServiceConnectionRef service) {
    return service ? service->sockets[0] : -1;
}

LV_EXPORT void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef service) {
    // Wi-Fi links are encrypted; USB ones run in the clear.
    return service && service->device->interface == kAMDInterfaceWiFi ? service : nullptr;
}

LV_EXPORT void AMDServiceConnectionInvalidate(AMDServiceConnectionRef service) {
    if (!service) return;
    {
        std::lock_guard lock(registry().mutex);
        registry().services.erase(service->sockets[0]);
    }
    ::close(service->sockets[0]);
    ::close(service->sockets[1]);
    release(service->device);
    delete service;
}

LV_EXPORT const char* AMDErrorString(std::int32_t code) { return lumivane::amdErrorName(code); }

LV_EXPORT const char* AFCErrorString(std::int32_t code) { return lumivane::afcErrorName(code); }

// ---- AFC ----------------------------------------------------------------

LV_EXPORT std::int32_t AFCConnectionOpen(int socket, std::uint32_t, AFCConnectionRef* connection) {
    if (!connection) return kAFCInvalidArgument;
    std::lock_guard lock(registry().mutex);
    auto it = registry().services.find(socket);
    if (it == registry().services.end()) return kAFCServiceNotConnected;
    *connection = new LVAFCConnection();
    (*connection)->service = it->second;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCConnectionSetSecureContext(AFCConnectionRef connection, void*) {
    return connection ? kAFCSuccess : kAFCInvalidArgument;
}

LV_EXPORT std::int32_t AFCConnectionClose(AFCConnectionRef connection) {
    if (!connection) return kAFCInvalidArgument;
    for (auto& [ref, fd] : connection->files) ::close(fd);
    delete connection;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCDirectoryOpen(AFCConnectionRef connection, const char* path, AFCDirectoryRef* directory) {
    if (!directory) return kAFCInvalidArgument;
    *directory = nullptr;
    std::int32_t code = kAFCSuccess;
    auto phone = beginAFCCall(connection, "dir", path, code);
    if (!phone) return code;
    if (!safePath(path)) return kAFCInvalidArgument;
    DIR* dir = ::opendir((phone->root + path).c_str());
    if (!dir) return afcCode(errno);
    auto* created = new LVAFCDirectory();
    while (dirent* entry = ::readdir(dir)) created->names.emplace_back(entry->d_name);
    ::closedir(dir);
    std::sort(created->names.begin(), created->names.end());
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
    if (!info) return kAFCInvalidArgument;
    *info = nullptr;
    std::int32_t code = kAFCSuccess;
    auto phone = beginAFCCall(connection, "info", path, code);
    if (!phone) return code;
    if (!safePath(path)) return kAFCInvalidArgument;
    struct statx st;
    if (::statx(AT_FDCWD, (phone->root + path).c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return afcCode(errno);
    auto nanos = [](const statx_timestamp& t) { return std::to_string(t.tv_sec * 1'000'000'000LL + t.tv_nsec); };
    const char* format = S_ISDIR(st.stx_mode) ? "S_IFDIR" : S_ISLNK(st.stx_mode) ? "S_IFLNK" : "S_IFREG";
    auto* created = new LVAFCKeyValues();
    created->pairs = {{"st_size", std::to_string(st.stx_size)},
                      {"st_blocks", std::to_string(st.stx_blocks)},
                      {"st_nlink", std::to_string(st.stx_nlink)},
                      {"st_ifmt", format},
                      {"st_mtime", nanos(st.stx_mtime)},
                      {"st_birthtime", nanos((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime)}};
    {
        std::lock_guard lock(registry().mutex);
        for (const auto& hidden : phone->hiddenInfoKeys)
            std::erase_if(created->pairs, [&](const auto& pair) { return pair.first == hidden; });
    }
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
    if (!file) return kAFCInvalidArgument;
    *file = 0;
    std::int32_t code = kAFCSuccess;
    auto phone = beginAFCCall(connection, "open", path, code);
    if (!phone) return code;
    if (mode != 1 || !safePath(path)) return kAFCInvalidArgument;
    // Never blocks on a FIFO in the phone's folder: a phone's storage holds
    // only files and folders, so anything else cannot be opened.
    int fd = ::open((phone->root + path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return afcCode(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return S_ISDIR(st.st_mode) ? kAFCObjectIsDirectory : kAFCPermissionDenied;
    }
    std::lock_guard lock(connection->mutex);
    *file = connection->nextFile++;
    connection->files[*file] = fd;
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer,
                                      std::uint32_t* length) {
    if (!buffer || !length) return kAFCInvalidArgument;
    std::int32_t code = kAFCSuccess;
    if (!beginAFCCall(connection, "read", nullptr, code)) return code;
    int fd;
    {
        std::lock_guard lock(connection->mutex);
        auto it = connection->files.find(file);
        if (it == connection->files.end()) return kAFCInvalidArgument;
        fd = it->second;
    }
    ssize_t n;
    do {
        n = ::read(fd, buffer, *length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return afcCode(errno);
    *length = static_cast<std::uint32_t>(n);
    return kAFCSuccess;
}

LV_EXPORT std::int32_t AFCFileRefSeek(AFCConnectionRef connection, AFCFileRef file, std::int64_t offset,
                                      std::uint64_t whence) {
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (whence > 2) return kAFCInvalidArgument;
    std::int32_t code = kAFCSuccess;
    if (!beginAFCCall(connection, "seek", nullptr, code)) return code;
    std::lock_guard lock(connection->mutex);
    auto it = connection->files.find(file);
    if (it == connection->files.end()) return kAFCInvalidArgument;
    if (::lseek(it->second, static_cast<off_t>(offset), kWhence[whence]) < 0) return afcCode(errno);
    return kAFCSuccess;
}

#ifndef LUMIVANE_SIM_OMIT_FILE_REF_CLOSE
LV_EXPORT std::int32_t AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file) {
    if (!connection) return kAFCInvalidArgument;
    std::lock_guard lock(connection->mutex);
    auto it = connection->files.find(file);
    if (it == connection->files.end()) return kAFCInvalidArgument;
    ::close(it->second);
    connection->files.erase(it);
    return kAFCSuccess;
}
#endif
