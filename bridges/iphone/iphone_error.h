#pragma once
#include <cstdint>
#include <string>

#include "platform/common/mobile_device_loader.h"
#include "runtime/result.h"

namespace lumivane {

// What the iPhone bridge's operations answer: a value, or the Error that
// prevented it, whose message is shown to the user unchanged.
template <typename T>
using IPhoneResult = Result<T>;

// An AFC call failed with `code` on `path`: the framework's text for the
// code, then the path. The raw code stays here; what callers decide by is the
// error's code: unavailable when the link dropped (not connected, timed out,
// too much data, a mux error: worth one more try on a fresh session),
// notFound, noPermission, else failed.
Error afcError(const MobileDevice& api, std::int32_t code, const std::string& path);

}  // namespace lumivane
