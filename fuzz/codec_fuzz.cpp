// The standard codec on bytes from outside: a message, a method call and an
// envelope. Whatever decodes must encode again and decode to the same value
// (a fixed point, compared as bytes: a NaN is not equal to itself), and
// nothing may crash or allocate past the input's bounds.
#include <cstdlib>

#include "channel/standard_codec.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto value = StandardMessageCodec::decodeMessage(data, size)) {
        Bytes again = StandardMessageCodec::encodeMessage(*value);
        auto twice = StandardMessageCodec::decodeMessage(again);
        if (!twice || StandardMessageCodec::encodeMessage(*twice) != again) std::abort();
    }
    if (auto call = StandardMethodCodec::decodeMethodCall(data, size)) {
        Bytes again = StandardMethodCodec::encodeMethodCall(*call);
        auto twice = StandardMethodCodec::decodeMethodCall(again.data(), again.size());
        if (!twice || StandardMethodCodec::encodeMethodCall(*twice) != again) std::abort();
    }
    StandardMethodCodec::decodeEnvelope(data, size);
    return 0;
}
