#pragma once
#include <plist/plist.h>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

// Parses an XML or binary property list. Input nested deeper than kMaxDepth
// (or, in binary form, referring to itself, or expanding past a bound) is
// refused before libplist sees it.
Plist parse(std::string_view bytes);
// Nesting depth of a property list in either form, or nullopt when it is
// deeper than kMaxDepth or its binary structure is broken.
std::optional<int> depth(std::string_view bytes);

std::string toXml(plist_t node);

// Typed lookups in a dictionary node; absent when the key is missing or the
// value has another type.
plist_t dictItem(plist_t dict, const char* key, plist_type type);
std::optional<std::string> string(plist_t dict, const char* key);
// A number (integer or real) by its integer value.
std::optional<std::int64_t> integer(plist_t dict, const char* key);
std::optional<std::int64_t> integerValue(plist_t node);
bool isDict(plist_t node);
// Calls `visit` with each key and value of a dictionary node, in its order.
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
        visit(std::string(key), item);
        free(key);
    }
    free(it);
}

}  // namespace plist
}  // namespace lumivane
