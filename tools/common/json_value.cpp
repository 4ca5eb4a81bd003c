#include "tools/common/json_value.h"

#include <limits>

#include "runtime/utf8.h"

namespace lumivane {

EncodableValue fromJson(const Json& json) {
    switch (json.type()) {
        case nlohmann::json::value_t::null: return EncodableValue();
        case nlohmann::json::value_t::boolean: return EncodableValue(json.get<bool>());
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned: {
            if (json.is_number_unsigned() && json.get<std::uint64_t>() > std::numeric_limits<std::int64_t>::max())
                return EncodableValue(json.get<double>());
            auto v = json.get<std::int64_t>();
            if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max())
                return EncodableValue(static_cast<std::int32_t>(v));
            return EncodableValue(v);
        }
        case nlohmann::json::value_t::number_float: return EncodableValue(json.get<double>());
        case nlohmann::json::value_t::string: return EncodableValue(rawText(json.get_ref<const std::string&>()));
        case nlohmann::json::value_t::array: {
            EncodableList list;
            for (const auto& item : json) list.push_back(fromJson(item));
            return list;
        }
        case nlohmann::json::value_t::object: {
            EncodableMap map;
            for (auto it = json.begin(); it != json.end(); ++it)
                map.set(EncodableValue(rawText(it.key())), fromJson(*it));
            return map;
        }
        default: return EncodableValue();
    }
}

namespace {
std::string hexHead(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 16; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}
}  // namespace

Json toJson(const EncodableValue& value) {
    return std::visit(
        [](const auto& v) -> Json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return nullptr;
            } else if constexpr (std::is_same_v<T, Bytes>) {
                return {{"bytes", v.size()}, {"head", hexHead(v)}};
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                auto out = Json::array();
                for (const auto& item : v) out.push_back(toJson(item));
                return out;
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                // Json keeps the host's key order on screen.
                auto out = Json::object();
                for (const auto& [key, item] : v) {
                    auto* text = key.template get<std::string>();
                    out[text ? wireText(*text) : toJson(key).dump()] = toJson(item);
                }
                return out;
            } else if constexpr (std::is_same_v<T, std::string>) {
                return wireText(v);  // a name that is not UTF-8 keeps its bytes, as on the channel
            } else {
                return Json(v);
            }
        },
        static_cast<const EncodableValueVariant&>(value));
}

namespace {

void writeString(std::string_view text, std::string& out) {
    static const char* digits = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            const char* named = c == '\n'   ? "\\n"
                                : c == '\t' ? "\\t"
                                : c == '\r' ? "\\r"
                                : c == '\b' ? "\\b"
                                : c == '\f' ? "\\f"
                                            : nullptr;
            if (named) {
                out += named;
            } else {
                out += "\\u00";
                out += digits[byte >> 4];
                out += digits[byte & 15];
            }
        } else {
            out += c;
        }
    }
    out += '"';
}

void writeValue(const EncodableValue& value, std::string& out) {
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                out += "null";
            } else if constexpr (std::is_same_v<T, bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<T, double>) {
                out += Json(v).dump();  // the shortest form that reads back, as toJson's
            } else if constexpr (std::is_same_v<T, std::string>) {
                writeString(wireText(v), out);
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                out += '[';
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i) out += ',';
                    writeValue(v[i], out);
                }
                out += ']';
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                out += '{';
                bool first = true;
                for (const auto& [key, item] : v) {
                    if (!first) out += ',';
                    first = false;
                    auto* text = key.template get<std::string>();
                    writeString(text ? wireText(*text) : toJson(key).dump(), out);
                    out += ':';
                    writeValue(item, out);
                }
                out += '}';
            } else if constexpr (std::is_integral_v<T>) {
                out += std::to_string(v);
            } else {
                out += toJson(value).dump();  // bytes and lists of numbers: rare and small
            }
        },
        static_cast<const EncodableValueVariant&>(value));
}

}  // namespace

std::string jsonTextOf(const EncodableValue& value) {
    std::string out;
    writeValue(value, out);
    return out;
}

}  // namespace lumivane
