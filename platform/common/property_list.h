#pragma once
#include <plist/plist.h>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/utf8.h"

namespace lumivane {

// Owning handle of a libplist node.
struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

// Property lists for the usbmux and lockdown protocols, over libplist.
// Stateless; any thread.
namespace plist {

constexpr int kMaxDepth = 512;

// Parses an XML or binary property list. Input nested deeper than kMaxDepth,
// holding text with a NUL, or (in binary form) referring to itself or
// expanding past a bound is refused before libplist sees it.
Plist parse(std::string_view bytes);
// Nesting depth of a property list in either form, or nullopt when it is
// deeper than kMaxDepth or its binary structure is broken.
std::optional<int> depth(std::string_view bytes);

std::string toXml(plist_t node);

// Typed lookups in a dictionary node; absent when the key is missing or the
// value has another type.
plist_t dictItem(plist_t dict, const char* key, plist_type type);
std::optional<std::string> string(plist_t dict, const char* key);
// A string node's text, read by pointer and length; absent when it is no
// string, holds a NUL, or is not UTF-8 (nothing a channel can carry).
std::optional<std::string> stringValue(plist_t node);
// A number (integer or real) by its integer value.
std::optional<std::int64_t> integer(plist_t dict, const char* key);
std::optional<std::int64_t> integerValue(plist_t node);
bool isDict(plist_t node);
// Calls `visit` with each key and value of a parsed dictionary node, in its
// order; keys that are not UTF-8 are passed over.
template <typename Visit>
void forEachItem(plist_t dict, Visit&& visit) {
    if (!isDict(dict)) return;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(dict, it, &key, &item);
        if (!key) break;
        std::string text(key);
        free(key);
        if (isValidUtf8(text)) visit(text, item);
    }
    free(it);
}

}  // namespace plist
}  // namespace lumivane
