#pragma once
#include <string_view>

namespace lumivane {

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF), as text on a channel must be. Any thread.
bool isValidUtf8(std::string_view text);

}  // namespace lumivane
