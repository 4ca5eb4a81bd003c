#pragma once
// The names of the MobileDevice contract's result codes, for every provider's
// AMDErrorString and AFCErrorString: static strings, or null for a code the
// contract does not name. Any thread.
#include <cstdint>

#include "platform/mobile_device.h"

namespace lumivane {

// A code the framework answers when the user taps "Don't Trust".
constexpr std::int32_t kAMDUserDeniedPairingError = static_cast<std::int32_t>(0xE8000095);

inline const char* amdErrorName(std::int32_t code) {
    switch (code) {
        case 0: return "kAMDSuccess";
        case kAMDDeviceDisconnectedError: return "kAMDDeviceDisconnectedError";
        case kAMDInvalidPairRecordError: return "kAMDInvalidPairRecordError";
        case kAMDPairingDialogResponsePendingError: return "kAMDPairingDialogResponsePendingError";
        case kAMDUserDeniedPairingError: return "kAMDUserDeniedPairingError";
        case kAMDNotConnectedError: return "kAMDNotConnectedError";
        case kAMDInvalidHostIDError: return "kAMDInvalidHostIDError";
        case kAMDSessionInactiveError: return "kAMDSessionInactiveError";
        case kAMDInvalidServiceError: return "kAMDInvalidServiceError";
        case kAMDInvalidArgumentError: return "kAMDInvalidArgumentError";
        default: return nullptr;
    }
}

inline const char* afcErrorName(std::int32_t code) {
    static const char* const names[] = {
        "Success",
        "Unknown error",
        "Invalid header",
        "No resources",
        "Read error",
        "Write error",
        "Unknown packet type",
        "Invalid argument",
        "Object not found",
        "Object is a directory",
        "Permission denied",
        "Service not connected",
        "Operation timed out",
        "Too much data",
        "End of data",
        "Operation not supported",
        "Object exists",
        "Object busy",
        "No space left",
        "Operation would block",
        "I/O error",
        "Operation interrupted",
        "Operation in progress",
        "Internal error",
    };
    if (code >= 0 && code < static_cast<std::int32_t>(sizeof names / sizeof names[0])) return names[code];
    return nullptr;
}

}  // namespace lumivane
