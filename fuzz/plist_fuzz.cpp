// Property lists as the usbmux daemon and a phone's lockdown service send
// them: parsed, then read the way the host reads them (typed lookups, text by
// length, every dictionary item), and written back out.
#include "platform/common/property_list.h"

using namespace lumivane;

namespace {

void walk(plist_t node, int depth) {
    if (!node || depth > plist::kMaxDepth + 1) return;
    plist::stringValue(node);
    plist::integerValue(node);
    switch (plist_get_node_type(node)) {
        case PLIST_ARRAY:
            for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i)
                walk(plist_array_get_item(node, i), depth + 1);
            break;
        case PLIST_DICT:
            plist::forEachItem(node, [&](const std::string&, plist_t item) { walk(item, depth + 1); });
            for (const char* key : {"DeviceList", "Number", "MessageType", "Value", "SerialNumber", "DeviceID"}) {
                plist::string(node, key);
                plist::integer(node, key);
            }
            break;
        default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Plist parsed = plist::parse(bytes);
    walk(parsed.get(), 0);
    if (parsed) plist::toXml(parsed.get());
    return 0;
}
