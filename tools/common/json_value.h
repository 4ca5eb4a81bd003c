#pragma once
#include <nlohmann/json.hpp>

#include "channel/encodable_value.h"

namespace lumivane {

using Json = nlohmann::ordered_json;

// JSON <-> channel values for the command-line client. Integers become int32
// when they fit, else int64; bytes print as {"bytes": length, "head": hex of
// the first 16}. Map keys that are not strings print as their JSON text.
// Stateless; any thread.
EncodableValue fromJson(const Json& json);
Json toJson(const EncodableValue& value);
// toJson(value)'s text, written straight from the value: a phone's listing of
// tens of thousands of entries is passed on without a tree of its own.
std::string jsonTextOf(const EncodableValue& value);

}  // namespace lumivane
