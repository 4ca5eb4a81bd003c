// A TXT record as a peer on the network sends it: reading never crashes, and
// what reads survives being written and read again unchanged.
#include <cstdlib>

#include "platform/net_services.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto dictionary = dictionaryFromTXTRecordData(ByteString(data, data + size));
    for (const auto& [key, value] : dictionary)
        if (key.empty() || key.find('=') != std::string::npos || key.size() + value.size() > 255) std::abort();
    if (dictionaryFromTXTRecordData(dataFromTXTRecordDictionary(dictionary)) != dictionary) std::abort();
    return 0;
}
