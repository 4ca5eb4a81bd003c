#pragma once
// Control functions of the simulated MobileDevice provider, beside the 32
// entry points of the contract. The simulated Mac resolves them by name from
// the same library the host loads, so both see the same phones. Any thread.
#include <plist/plist.h>
#include <cstdint>

extern "C" {

// Forgets every phone (tests start from an empty provider).
std::int32_t LVSimReset(void);
// Adds or replaces a phone whose file system root is `root` (it holds DCIM/
// and PhotoData/). Not attached until LVSimAttach.
std::int32_t LVSimAddPhone(const char* udid, const char* name, const char* root, int trusted);
// interface: 1 USB, 2 Wi-Fi. Attaching an attached link does nothing.
std::int32_t LVSimAttach(const char* udid, std::uint32_t interface);
std::int32_t LVSimDetach(const char* udid, std::uint32_t interface);
// Trust: 1, a pairing record present and pairing accepted; 0, neither (the
// Trust prompt waits); -1, neither and the prompt was answered "Don't Trust".
std::int32_t LVSimSetTrusted(const char* udid, int trusted);
// Added to every AFC open and read call.
std::int32_t LVSimSetLatency(const char* udid, std::uint32_t microseconds);
// A lockdown value; domain "" is no domain. The value is copied.
std::int32_t LVSimSetValue(const char* udid, const char* domain, const char* key, plist_t value);
// A fault: operation `op` ("dir", "info", "open", "read", "service", "connect"
// or "session") answers
// `code` on its `nth` call from now (1-based), or, with a path, on every call
// for that path. With `detach`, the phone's links drop when it fires.
std::int32_t LVSimAddFault(const char* udid, const char* op, std::int32_t code, std::uint32_t nth, const char* path,
                           int detach);
// File information of this phone leaves `key` out (as a phone may).
std::int32_t LVSimHideInfoKey(const char* udid, const char* key);
// How often an operation ran ("dir", "info", "open", "read", "service",
// "pair", "connect", "session").
std::uint64_t LVSimCallCount(const char* udid, const char* op);

}  // extern "C"

// clang-format off: one entry a line
#define LUMIVANE_SIM_MOBILE_DEVICE_CONTROLS(X) \
    X(LVSimReset)                              \
    X(LVSimAddPhone)                           \
    X(LVSimAttach)                             \
    X(LVSimDetach)                             \
    X(LVSimSetTrusted)                         \
    X(LVSimSetLatency)                         \
    X(LVSimSetValue)                           \
    X(LVSimAddFault)                           \
    X(LVSimHideInfoKey)                        \
    X(LVSimCallCount)
// clang-format on
