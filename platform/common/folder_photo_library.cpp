#include "platform/common/folder_photo_library.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unordered_set>

#include "runtime/mutex.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace {

const std::shared_ptr<const LibraryCatalog>& emptyCatalog() {
    static const auto empty = std::make_shared<const LibraryCatalog>();
    return empty;
}

// An image this library made: the decoded picture and what face analysis
// finds in the asset it shows. Only face analysis reads it.
class FolderLibraryImage final : public Picture {
public:
    FolderLibraryImage(std::unique_ptr<Picture> picture, CatalogFaces faces)
        : picture_(std::move(picture)), faces_(std::move(faces)) {}
    PixelSize size() const override { return picture_->size(); }
    const CatalogFaces& faces() const { return faces_; }

private:
    std::unique_ptr<Picture> picture_;
    CatalogFaces faces_;
};

const CatalogResource* firstOfType(const CatalogAsset& asset, AssetResourceType type) {
    auto found = std::find_if(asset.resources.begin(), asset.resources.end(),
                              [type](const CatalogResource& resource) { return resource.type == type; });
    return found == asset.resources.end() ? nullptr : &*found;
}

}  // namespace

std::size_t FolderPhotoLibrary::load(const std::string& folder) {
    {
        MutexLock guard(mutex_);
        folder_ = folder;
        stamp_.reset();
        catalog_ = emptyCatalog();
    }
    return current().catalog->assets.size();
}

FolderPhotoLibrary::Snapshot FolderPhotoLibrary::current() {
    std::string folder;
    {
        MutexLock guard(mutex_);
        folder = folder_;
    }
    if (folder.empty()) return {folder, emptyCatalog()};

    auto path = folder + "/library.json";
    struct stat status {};
    Stamp stamp;
    int statError = ::stat(path.c_str(), &status) == 0 ? 0 : errno;
    if (statError == 0)
        stamp = {status.st_dev, status.st_ino, status.st_size,
                 std::int64_t(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
    else
        stamp.size = -statError;  // a listing that cannot be looked at: its error, until that changes
    {
        MutexLock guard(mutex_);
        if (folder_ == folder && stamp_ == stamp) return {folder, catalog_};
    }

    // Read and parsed outside the lock, so that load() never waits for it.
    std::shared_ptr<const LibraryCatalog> catalog = emptyCatalog();
    std::string why;
    if (statError == ENOENT) {
        // No listing: an empty library.
    } else if (statError != 0) {
        why = std::strerror(statError);
    } else if (!S_ISREG(status.st_mode)) {
        why = "not a file";
    } else if (std::size_t(status.st_size) > kMaxLibraryListing) {
        why = "larger than 64 MiB";
    } else if (auto text = readFile(path, kMaxLibraryListing); !text) {
        why = "cannot be read";
    } else if (auto parsed = parseLibraryCatalog(*text); !parsed) {
        why = parsed.error().message;
    } else {
        catalog = std::make_shared<const LibraryCatalog>(std::move(parsed).value());
    }
    if (!why.empty()) log_.write("Lumivane library: " + path + ": " + why + "; the library is empty");

    MutexLock guard(mutex_);
    if (folder_ == folder) {
        stamp_ = stamp;
        catalog_ = catalog;
    }
    return {folder, catalog};
}

std::optional<std::string> FolderPhotoLibrary::existingFile(const std::string& folder,
                                                            const CatalogResource& resource) {
    if (resource.file.empty()) return std::nullopt;
    auto path = folder + "/" + resource.file;
    // Links are followed only as far as they stay in the library's folder: a
    // listing never reaches a file elsewhere on the machine.
    std::error_code error;
    auto real = std::filesystem::canonical(path, error);
    if (error) return std::nullopt;
    auto root = std::filesystem::canonical(folder, error);
    if (error) return std::nullopt;
    auto relative = real.lexically_relative(root);
    if (relative.empty() || *relative.begin() == ".." || relative == ".") return std::nullopt;
    if (!isRegularFile(real.string())) return std::nullopt;
    return real.string();
}

std::vector<LibraryAsset> FolderPhotoLibrary::fetchAssets(const std::vector<std::string>& localIdentifiers) {
    auto snapshot = current();
    std::vector<LibraryAsset> assets;
    std::unordered_set<std::string> fetched;
    for (const auto& identifier : localIdentifiers) {
        const CatalogAsset* entry = snapshot.catalog->find(identifier);
        if (entry && fetched.insert(identifier).second) assets.push_back(entry->asset);
    }
    return assets;
}

std::vector<AssetResource> FolderPhotoLibrary::resources(const LibraryAsset& asset) {
    auto snapshot = current();
    const CatalogAsset* entry = snapshot.catalog->find(asset.localIdentifier);
    if (!entry) return {};
    std::vector<AssetResource> resources;
    for (const auto& listed : entry->resources) {
        AssetResource resource{listed.type, listed.storedSize.value_or(StoredSize{})};
        if (!listed.storedSize) {
            struct stat status {};
            auto path = existingFile(snapshot.folder, listed);
            if (path && ::stat(path->c_str(), &status) == 0)
                resource.storedSize = {StoredSize::Kind::integer, std::int64_t(status.st_size)};
        }
        resources.push_back(resource);
    }
    return resources;
}

std::unique_ptr<Picture> FolderPhotoLibrary::image(const LibraryAsset& asset, int side) {
    auto snapshot = current();
    const CatalogAsset* entry = snapshot.catalog->find(asset.localIdentifier);
    if (!entry) return nullptr;
    const CatalogResource* resource = firstOfType(*entry, AssetResourceType::photo);
    if (!resource) resource = firstOfType(*entry, AssetResourceType::fullSizePhoto);
    auto path = resource ? existingFile(snapshot.folder, *resource) : std::nullopt;
    auto source = path ? imaging_.sourceAtPath(*path) : nullptr;
    if (!source) return nullptr;
    auto stored = source->pixelSize();
    int longer = std::max(stored.width, stored.height);
    auto picture = source->thumbnail(
        {ThumbnailFrom::imageAlways, side <= 0 ? longer : std::min(side, longer), /*withTransform=*/true});
    if (!picture) return nullptr;
    return std::make_unique<FolderLibraryImage>(std::move(picture), entry->faces);
}

std::optional<std::string> FolderPhotoLibrary::videoFile(const LibraryAsset& asset) {
    auto snapshot = current();
    const CatalogAsset* entry = snapshot.catalog->find(asset.localIdentifier);
    const CatalogResource* resource = entry ? firstOfType(*entry, AssetResourceType::video) : nullptr;
    return resource ? existingFile(snapshot.folder, *resource) : std::nullopt;
}

Result<FaceQualities> FolderPhotoLibrary::faceCaptureQualities(const Picture& image) {
    auto* ours = dynamic_cast<const FolderLibraryImage*>(&image);
    if (!ours) return failure(std::string("The image was not made by this library."));
    if (ours->faces().failure) return failure(*ours->faces().failure);
    return ours->faces().qualities;
}

}  // namespace lumivane
