#pragma once
#include <string>
#include <string_view>

namespace lumivane {

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF), as text on a channel must be. Any thread.
bool isValidUtf8(std::string_view text);

// Names from devices and disks are bytes, and need not be UTF-8; text on a
// channel must be. One reversible rule joins them: each byte that is not part
// of a well-formed UTF-8 sequence travels as the private-use character
// U+F780 + (byte - 0x80), and comes back as that byte. So a file whose name
// is not UTF-8 is listed with a name any strict decoder accepts, and that
// name, sent back, names the same file. (A name that itself holds
// U+F780..U+F7FF comes back as bytes: no device names files so.)
std::string wireText(std::string_view raw);
// The bytes a text from the wire stands for (the rule above, backwards).
std::string rawText(std::string_view text);

}  // namespace lumivane
