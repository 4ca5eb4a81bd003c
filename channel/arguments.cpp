#include "channel/arguments.h"

#include <algorithm>

#include "channel/standard_codec.h"

namespace lumivane {

namespace {
const EncodableMap& emptyMap() {
    static const EncodableMap empty;
    return empty;
}
}  // namespace

Arguments::Arguments(const EncodableValue& arguments) {
    auto* map = arguments.get<EncodableMap>();
    map_ = map ? map : &emptyMap();
}

const EncodableValue* Arguments::value(const std::string& key) const { return map_->find(key); }

std::optional<std::string> Arguments::string(const std::string& key) const {
    auto* v = typed<std::string>(key);
    return v ? std::optional<std::string>(*v) : std::nullopt;
}

std::optional<bool> Arguments::boolean(const std::string& key) const {
    auto* v = typed<bool>(key);
    return v ? std::optional<bool>(*v) : std::nullopt;
}

int Arguments::pixelSize(const std::string& key, int fallback) const {
    return static_cast<int>(std::clamp<std::int64_t>(integer(key).value_or(fallback), 0, kMaxPixelSize));
}

std::optional<std::int64_t> Arguments::integer(const std::string& key) const {
    auto* v = value(key);
    return v ? v->integer() : std::nullopt;
}

std::optional<double> Arguments::real(const std::string& key) const {
    auto* v = typed<double>(key);
    return v ? std::optional<double>(*v) : std::nullopt;
}

const EncodableList* Arguments::list(const std::string& key) const { return typed<EncodableList>(key); }
const EncodableMap* Arguments::map(const std::string& key) const { return typed<EncodableMap>(key); }
const Bytes* Arguments::bytes(const std::string& key) const { return typed<Bytes>(key); }

}  // namespace lumivane
