#pragma once
// The MobileDevice provider contract: the 32 entry points through which the
// iPhone bridge reaches phones, resolved by name at run time from a provider
// library. C linkage, 32-bit result codes (0 = success), opaque handles.
// Where Apple's framework passes Core Foundation values (UDID text, lockdown
// keys and values, the subscription options) this contract passes libplist
// nodes; a node that an entry point returns is owned by the caller. AFC
// result codes are the AFC protocol's status codes. Error texts are static
// strings owned by the provider, or null.
//
// Device notices arrive on a thread of the provider's own; every other entry
// point may be called from any thread.
#include <plist/plist.h>
#include <cstdint>

extern "C" {

typedef struct LVDevice* AMDeviceRef;
typedef struct LVNotification* AMDeviceNotificationRef;
typedef struct LVServiceConnection* AMDServiceConnectionRef;
typedef struct LVAFCConnection* AFCConnectionRef;
typedef struct LVAFCDirectory* AFCDirectoryRef;
typedef struct LVAFCKeyValues* AFCDictionaryRef;
typedef std::uint64_t AFCFileRef;

enum { kAMDeviceAttached = 1, kAMDeviceDetached = 2 };

// AFC protocol status codes (what the AFC entry points answer).
enum : std::int32_t {
    kAFCSuccess = 0,
    kAFCUnknownError = 1,
    kAFCInvalidArgument = 7,
    kAFCObjectNotFound = 8,
    kAFCObjectIsDirectory = 9,
    kAFCPermissionDenied = 10,
    kAFCServiceNotConnected = 11,
    kAFCOperationTimeout = 12,
    kAFCTooMuchData = 13,
    kAFCMuxError = 26,
};

// MobileDevice result codes (what the device and service entry points answer).
enum : std::int32_t {
    kAMDSuccess = 0,
    kAMDInvalidArgumentError = static_cast<std::int32_t>(0xE8000007),
    kAMDSessionInactiveError = static_cast<std::int32_t>(0xE800001A),
    kAMDNotConnectedError = static_cast<std::int32_t>(0xE800001D),
    kAMDInvalidHostIDError = static_cast<std::int32_t>(0xE8000022),
    kAMDInvalidPairRecordError = static_cast<std::int32_t>(0xE8000025),
    kAMDDeviceDisconnectedError = static_cast<std::int32_t>(0xE8000084),
    kAMDPairingDialogResponsePendingError = static_cast<std::int32_t>(0xE8000096),
    kAMDInvalidServiceError = static_cast<std::int32_t>(0xE8000222),
};
enum { kAMDInterfaceUSB = 1, kAMDInterfaceWiFi = 2 };

struct am_device_notification_callback_info {
    AMDeviceRef device;
    std::uint32_t kind;  // kAMDeviceAttached or kAMDeviceDetached
    AMDeviceNotificationRef subscription;
};
typedef void (*am_device_notification_callback)(struct am_device_notification_callback_info* info, void* context);

std::int32_t AMDeviceNotificationSubscribeWithOptions(am_device_notification_callback callback, std::uint32_t unused0,
                                                      std::uint32_t unused1, void* context,
                                                      AMDeviceNotificationRef* subscription, plist_t options);
AMDeviceRef AMDeviceRetain(AMDeviceRef device);
void AMDeviceRelease(AMDeviceRef device);
std::uint32_t AMDeviceGetInterfaceType(AMDeviceRef device);
plist_t AMDeviceCopyDeviceIdentifier(AMDeviceRef device);
std::int32_t AMDeviceConnect(AMDeviceRef device);
std::int32_t AMDeviceDisconnect(AMDeviceRef device);
std::int32_t AMDeviceIsPaired(AMDeviceRef device);
std::int32_t AMDeviceValidatePairing(AMDeviceRef device);
std::int32_t AMDevicePair(AMDeviceRef device);
std::int32_t AMDeviceStartSession(AMDeviceRef device);
std::int32_t AMDeviceStopSession(AMDeviceRef device);
plist_t AMDeviceCopyValue(AMDeviceRef device, plist_t domain, plist_t key);
std::int32_t AMDeviceSetValue(AMDeviceRef device, plist_t domain, plist_t key, plist_t value);
std::int32_t AMDeviceSecureStartService(AMDeviceRef device, plist_t serviceName, plist_t options,
                                        AMDServiceConnectionRef* service);
int AMDServiceConnectionGetSocket(AMDServiceConnectionRef service);
void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef service);
void AMDServiceConnectionInvalidate(AMDServiceConnectionRef service);
const char* AMDErrorString(std::int32_t code);
const char* AFCErrorString(std::int32_t code);
std::int32_t AFCConnectionOpen(int socket, std::uint32_t ioTimeout, AFCConnectionRef* connection);
std::int32_t AFCConnectionSetSecureContext(AFCConnectionRef connection, void* context);
std::int32_t AFCConnectionClose(AFCConnectionRef connection);
std::int32_t AFCDirectoryOpen(AFCConnectionRef connection, const char* path, AFCDirectoryRef* directory);
// `name` stays valid until the next read or the close of the directory.
std::int32_t AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef directory, char** name);
std::int32_t AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef directory);
std::int32_t AFCFileInfoOpen(AFCConnectionRef connection, const char* path, AFCDictionaryRef* info);
// `key` and `value` stay valid until the next read or the close of the info.
std::int32_t AFCKeyValueRead(AFCDictionaryRef info, char** key, char** value);
std::int32_t AFCKeyValueClose(AFCDictionaryRef info);
std::int32_t AFCFileRefOpen(AFCConnectionRef connection, const char* path, std::uint64_t mode, AFCFileRef* file);
std::int32_t AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer, std::uint32_t* length);
// Moves the file's read position: `whence` 0 counts `offset` from the start,
// 1 from the position, 2 from the end (the host uses 0).
std::int32_t AFCFileRefSeek(AFCConnectionRef connection, AFCFileRef file, std::int64_t offset, std::uint64_t whence);
std::int32_t AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file);

}  // extern "C"

// Every entry point of the contract, for tables built from it.
// clang-format off: one entry a line
#define LUMIVANE_MOBILE_DEVICE_ENTRY_POINTS(X)  \
    X(AMDeviceNotificationSubscribeWithOptions) \
    X(AMDeviceRetain)                           \
    X(AMDeviceRelease)                          \
    X(AMDeviceGetInterfaceType)                 \
    X(AMDeviceCopyDeviceIdentifier)             \
    X(AMDeviceConnect)                          \
    X(AMDeviceDisconnect)                       \
    X(AMDeviceIsPaired)                         \
    X(AMDeviceValidatePairing)                  \
    X(AMDevicePair)                             \
    X(AMDeviceStartSession)                     \
    X(AMDeviceStopSession)                      \
    X(AMDeviceCopyValue)                        \
    X(AMDeviceSetValue)                         \
    X(AMDeviceSecureStartService)               \
    X(AMDServiceConnectionGetSocket)            \
    X(AMDServiceConnectionGetSecureIOContext)   \
    X(AMDServiceConnectionInvalidate)           \
    X(AMDErrorString)                           \
    X(AFCErrorString)                           \
    X(AFCConnectionOpen)                        \
    X(AFCConnectionSetSecureContext)            \
    X(AFCConnectionClose)                       \
    X(AFCDirectoryOpen)                         \
    X(AFCDirectoryRead)                         \
    X(AFCDirectoryClose)                        \
    X(AFCFileInfoOpen)                          \
    X(AFCKeyValueRead)                          \
    X(AFCKeyValueClose)                         \
    X(AFCFileRefOpen)                           \
    X(AFCFileRefRead)                           \
    X(AFCFileRefSeek)                           \
    X(AFCFileRefClose)
// clang-format on
