#include "platform/common/library_catalog.h"

#include <array>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

namespace lumivane {

namespace {

using Json = nlohmann::json;

AssetMediaType mediaTypeNamed(const Json& value) {
    if (!value.is_string()) return AssetMediaType::unknown;
    const auto& name = value.get_ref<const std::string&>();
    if (name == "image") return AssetMediaType::image;
    if (name == "video") return AssetMediaType::video;
    if (name == "audio") return AssetMediaType::audio;
    return AssetMediaType::unknown;
}

AssetResourceType resourceTypeNamed(const Json& value) {
    static constexpr std::array<std::pair<const char*, AssetResourceType>, 12> kTypes = {{
        {"photo", AssetResourceType::photo},
        {"video", AssetResourceType::video},
        {"audio", AssetResourceType::audio},
        {"alternatePhoto", AssetResourceType::alternatePhoto},
        {"fullSizePhoto", AssetResourceType::fullSizePhoto},
        {"fullSizeVideo", AssetResourceType::fullSizeVideo},
        {"adjustmentData", AssetResourceType::adjustmentData},
        {"adjustmentBasePhoto", AssetResourceType::adjustmentBasePhoto},
        {"pairedVideo", AssetResourceType::pairedVideo},
        {"fullSizePairedVideo", AssetResourceType::fullSizePairedVideo},
        {"adjustmentBasePairedVideo", AssetResourceType::adjustmentBasePairedVideo},
        {"adjustmentBaseVideo", AssetResourceType::adjustmentBaseVideo},
    }};
    if (!value.is_string()) return AssetResourceType::other;
    for (const auto& [name, type] : kTypes)
        if (value.get_ref<const std::string&>() == name) return type;
    return AssetResourceType::other;
}

// A listed file name that stays inside the library folder, else empty.
std::string fileInside(const Json& value) {
    if (!value.is_string()) return {};
    const auto& name = value.get_ref<const std::string&>();
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) return {};
    std::size_t start = 0;
    while (start <= name.size()) {
        auto end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return {};
        start = end + 1;
    }
    return name;
}

StoredSize storedSizeOf(const Json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned())
        return {StoredSize::Kind::integer, value.get<std::int64_t>()};
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() <= std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return {StoredSize::Kind::integer, std::int64_t(value.get<std::uint64_t>())};
    return {StoredSize::Kind::other, 0};
}

CatalogFaces facesOf(const Json* value) {
    CatalogFaces faces;
    if (!value) return faces;
    if (value->is_string()) {
        faces.failure = value->get<std::string>();
    } else if (value->is_array()) {
        for (const auto& face : *value)
            faces.qualities.push_back(face.is_number() ? std::optional<double>(face.get<double>()) : std::nullopt);
    }
    return faces;
}

const Json* member(const Json& object, const char* key) {
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<CatalogAsset> assetOf(const Json& entry) {
    if (!entry.is_object()) return std::nullopt;
    const Json* id = member(entry, "id");
    if (!id || !id->is_string()) return std::nullopt;
    CatalogAsset asset;
    asset.asset.localIdentifier = id->get<std::string>();
    if (const Json* type = member(entry, "mediaType")) asset.asset.mediaType = mediaTypeNamed(*type);
    if (const Json* duration = member(entry, "duration"); duration && duration->is_number())
        asset.asset.duration = duration->get<double>();
    if (const Json* resources = member(entry, "resources"); resources && resources->is_array()) {
        for (const auto& listed : *resources) {
            if (!listed.is_object()) continue;
            CatalogResource resource;
            if (const Json* type = member(listed, "type")) resource.type = resourceTypeNamed(*type);
            if (const Json* file = member(listed, "file")) resource.file = fileInside(*file);
            if (const Json* size = member(listed, "size")) resource.storedSize = storedSizeOf(*size);
            asset.resources.push_back(std::move(resource));
        }
    }
    asset.faces = facesOf(member(entry, "faces"));
    return asset;
}

}  // namespace

const CatalogAsset* LibraryCatalog::find(const std::string& localIdentifier) const {
    auto found = index.find(localIdentifier);
    return found == index.end() ? nullptr : &assets[found->second];
}

Result<LibraryCatalog> parseLibraryCatalog(std::string_view text) {
    if (text.size() > kMaxLibraryListing) return failure(std::string("larger than 64 MiB"));
    Json root = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded()) return failure(std::string("not JSON"));
    if (!root.is_object()) return failure(std::string("not a JSON object"));
    const Json* assets = member(root, "assets");
    if (!assets || !assets->is_array()) return failure(std::string("no \"assets\" list"));
    LibraryCatalog catalog;
    for (const auto& entry : *assets) {
        auto asset = assetOf(entry);
        if (!asset || catalog.index.contains(asset->asset.localIdentifier)) continue;
        catalog.index.emplace(asset->asset.localIdentifier, catalog.assets.size());
        catalog.assets.push_back(std::move(*asset));
    }
    return catalog;
}

}  // namespace lumivane
