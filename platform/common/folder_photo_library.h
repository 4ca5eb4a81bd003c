#pragma once
#include <sys/types.h>
#include <memory>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/common/library_catalog.h"
#include "platform/photo_library.h"
#include "runtime/log.h"
#include "runtime/mutex.h"

namespace lumivane {

// A photo library kept in a folder: "library.json" lists the assets and
// names their files, which sit in the folder beside it. The listing is read
// again whenever it changes on disk; a folder without one is an empty
// library, and a listing that cannot be read or parsed is an empty library
// and one log line. Images are decoded through the imaging layer; face
// analysis answers what the listing says of the asset the image came from.
//
// Threads: the PhotoLibrary methods on the library queue, load() on any
// thread. `mutex_` guards `folder_`, `stamp_` and `catalog_`; the catalog
// itself is shared read-only.
class FolderPhotoLibrary final : public PhotoLibrary {
public:
    FolderPhotoLibrary(Imaging& imaging, Log& log) : imaging_(imaging), log_(log) {}

    // Looks at `folder` from now on (empty: no library); answers how many
    // assets its listing holds.
    std::size_t load(const std::string& folder);

    std::vector<LibraryAsset> fetchAssets(const std::vector<std::string>& localIdentifiers) override;
    std::vector<AssetResource> resources(const LibraryAsset& asset) override;
    std::unique_ptr<Picture> image(const LibraryAsset& asset, int side) override;
    std::optional<std::string> videoFile(const LibraryAsset& asset) override;
    Result<FaceQualities> faceCaptureQualities(const Picture& image) override;

private:
    // Which version of the listing was read: it is read again when any of
    // these differ.
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::int64_t modifiedNanoseconds = 0;
        bool operator==(const Stamp&) const = default;
    };
    struct Snapshot {
        std::string folder;
        std::shared_ptr<const LibraryCatalog> catalog;
    };
    // The listing as it is on disk now.
    Snapshot current();
    // The file named by a resource, when it is there.
    static std::optional<std::string> existingFile(const std::string& folder, const CatalogResource& resource);

    Imaging& imaging_;
    Log& log_;
    Mutex mutex_;
    std::string folder_ LUMIVANE_GUARDED_BY(mutex_);
    std::optional<Stamp> stamp_ LUMIVANE_GUARDED_BY(mutex_);  // none: nothing read yet
    std::shared_ptr<const LibraryCatalog> catalog_ LUMIVANE_GUARDED_BY(mutex_);
};

}  // namespace lumivane
