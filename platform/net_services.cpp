#include "platform/net_services.h"

#include <algorithm>
#include <cctype>

namespace lumivane {

NetServiceError netServiceError(std::int64_t code) {
    return {{{"NSNetServicesErrorCode", code}, {"NSNetServicesErrorDomain", kNetServicesErrorDomain}}};
}

std::string describe(const NetServiceError& error) {
    std::string text = "{\n";
    for (const auto& [key, value] : error.entries) {
        // Values with characters other than letters, digits and "_" are quoted.
        auto number = std::to_string(value);
        bool plain = std::all_of(number.begin(), number.end(), [](char c) { return std::isalnum(c) != 0; });
        text += "    " + key + " = " + (plain ? number : "\"" + number + "\"") + ";\n";
    }
    return text + "}";
}

ByteString dataFromTXTRecordDictionary(const std::map<std::string, ByteString>& dictionary) {
    ByteString data;
    for (const auto& [key, value] : dictionary) {
        // "key=value"; an empty value as "key=", or as "key" where only that fits.
        bool equals = !value.empty() || key.size() < 255;
        std::size_t length = key.size() + (equals ? 1 : 0) + value.size();
        if (key.empty() || key.find('=') != std::string::npos || length > 255) continue;
        data.push_back(std::uint8_t(length));
        data.insert(data.end(), key.begin(), key.end());
        if (equals) data.push_back('=');
        data.insert(data.end(), value.begin(), value.end());
    }
    return data;
}

std::map<std::string, ByteString> dictionaryFromTXTRecordData(const ByteString& data) {
    std::map<std::string, ByteString> dictionary;
    std::size_t at = 0;
    while (at < data.size()) {
        std::size_t length = data[at++];
        if (length > data.size() - at) break;  // a string running past the end ends the record
        auto begin = data.begin() + std::ptrdiff_t(at), end = begin + std::ptrdiff_t(length);
        at += length;
        auto equals = std::find(begin, end, std::uint8_t('='));
        std::string key(begin, equals);
        if (key.empty()) continue;
        dictionary.emplace(std::move(key), equals == end ? ByteString{} : ByteString(equals + 1, end));
    }
    return dictionary;
}

ByteString macSocketAddress(const std::uint8_t* address, std::size_t length, std::uint16_t port) {
    bool v4 = length == 4;
    ByteString bytes(v4 ? 16 : 28, 0);
    bytes[0] = std::uint8_t(bytes.size());
    bytes[1] = v4 ? kSocketFamilyIPv4 : kSocketFamilyIPv6;
    bytes[2] = std::uint8_t(port >> 8);  // network order
    bytes[3] = std::uint8_t(port);
    std::copy_n(address, std::min<std::size_t>(length, v4 ? 4 : 16), bytes.begin() + (v4 ? 4 : 8));
    return bytes;
}

}  // namespace lumivane
