#pragma once
#include <cstdint>
#include <string>
#include <variant>

#include "runtime/result.h"

namespace lumivane {

// An AFC call failed: its result code and the phone path concerned.
struct AFCError {
    std::int32_t code;
    std::string path;
};

// A failure whose text is shown to the user unchanged.
struct DeviceError {
    std::string description;
};

using IPhoneError = std::variant<AFCError, DeviceError>;

// What the iPhone bridge's operations answer: a value or the failure that
// prevented it.
template <typename T>
using IPhoneResult = Result<T, IPhoneError>;

// The AFC code of a failure, or -1 when it is not an AFC failure.
inline std::int32_t afcCode(const IPhoneError& error) {
    auto* afc = std::get_if<AFCError>(&error);
    return afc ? afc->code : -1;
}

}  // namespace lumivane
