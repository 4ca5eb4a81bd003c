// A call's arguments as every bridge reads them: any decoded value, read as
// the argument map under the keys the bridges use.
#include "channel/arguments.h"
#include "channel/standard_codec.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto value = StandardMessageCodec::decodeMessage(data, size);
    if (!value) return 0;
    Arguments args(*value);
    for (const char* key : {"udid", "path", "target", "token", "on", "screens", "links", "values", "nth", "", "k0"}) {
        args.string(key);
        args.boolean(key);
        args.integer(key);
        args.real(key);
        args.list(key);
        args.map(key);
        args.bytes(key);
        args.value(key);
    }
    return 0;
}
