#pragma once
#include <cstdint>

namespace lumivane::codec {

// The standard codec's type tags, shared by its reader and its writer.
enum Tag : std::uint8_t {
    kNull = 0,
    kTrue = 1,
    kFalse = 2,
    kInt32 = 3,
    kInt64 = 4,
    kLargeInt = 5,  // retired: refused when read, never written
    kFloat64 = 6,
    kString = 7,
    kUInt8List = 8,
    kInt32List = 9,
    kInt64List = 10,
    kFloat64List = 11,
    kList = 12,
    kMap = 13,
    kFloat32List = 14,
};

}  // namespace lumivane::codec
