#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/photo_library.h"
#include "runtime/result.h"

namespace lumivane {

// One file of a folder library's asset.
struct CatalogResource {
    AssetResourceType type = AssetResourceType::other;
    // Relative to the library folder; empty when the listing named no file
    // that stays inside the folder (an absolute path, a ".." step).
    std::string file;
    // The listed stored size; none: the file's size on disk.
    std::optional<StoredSize> storedSize;
};

// What face analysis finds in an asset's image: the faces' capture
// qualities, or the description of a failing analysis.
struct CatalogFaces {
    FaceQualities qualities;
    std::optional<std::string> failure;
};

struct CatalogAsset {
    LibraryAsset asset;
    std::vector<CatalogResource> resources;
    CatalogFaces faces;
};

// The contents of a folder library's "library.json": its assets in listed
// order, the first of each identifier kept. Entries without a string "id"
// are left out; every other oddity of a field reads as that field's absence.
// Plain value; any thread.
struct LibraryCatalog {
    std::vector<CatalogAsset> assets;
    std::unordered_map<std::string, std::size_t> index;  // identifier -> position in `assets`

    const CatalogAsset* find(const std::string& localIdentifier) const;
};

// The largest "library.json" read, in bytes.
constexpr std::size_t kMaxLibraryListing = std::size_t{64} << 20;

// Parses a listing; the failure says why it is not one.
Result<LibraryCatalog> parseLibraryCatalog(std::string_view text);

}  // namespace lumivane
