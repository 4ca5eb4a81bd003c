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

}  // namespace lumivane
