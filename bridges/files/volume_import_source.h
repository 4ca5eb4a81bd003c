#pragma once
#include <sys/types.h>
#include <memory>
#include <string>
#include <vector>

#include "bridges/common/import_source.h"
#include "platform/volumes.h"

namespace lumivane {

// A mounted volume (a card, a drive) as an import source: its photos,
// videos and sidecars anywhere below its mount point, hidden folders left
// out. Items are named by their full path; every read and delete stays
// below the mount point without following a link, and opens only regular
// files, so a name on the card can neither lead outside it nor wedge a
// read on a FIFO.
//
// Only a volume the host itself lists as mounted is a source, and never the
// system's own: not the root file system, nor the volume that holds the
// home folder or the host's data folder. Files are deleted after import only
// from removable volumes (cards, USB disks).
//
// Threads: open() and eject() on the main loop; the rest on any thread (see
// ImportSource). The volumes outlive every source.
class VolumeImportSource final : public ImportSource {
public:
    // The volume mounted at `mountPoint`; notFound when none is, noPermission
    // for a volume of the system's own (the one holding any of `protectedPaths`).
    static Result<std::shared_ptr<ImportSource>> open(Volumes& volumes, const std::string& mountPoint,
                                                      const std::vector<std::string>& protectedPaths);

    std::string name() const override { return name_; }
    std::string identity() const override { return identity_; }
    bool canDelete() const override { return removable_; }
    Result<std::vector<ImportItem>> list() override;
    Result<void> read(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled) override;
    Result<void> readAt(const ImportItem& item, std::int64_t offset, std::size_t length, const Sink& sink) override;
    Result<void> remove(const ImportItem& item) override;
    // Unmounts and ejects the volume, as "volume.eject" does.
    void eject(std::function<void(Result<void>)> done) override;

    // Most files one listing takes, and how deep it goes.
    static constexpr std::size_t kMaxItems = 4'000'000;
    static constexpr int kMaxDepth = 32;

private:
    VolumeImportSource(Volumes& volumes, std::string mountPoint, std::string name, std::string identity, dev_t device,
                       bool removable)
        : volumes_(volumes),
          mountPoint_(std::move(mountPoint)),
          name_(std::move(name)),
          identity_(std::move(identity)),
          device_(device),
          removable_(removable) {}
    // The item's path below the mount point, or none for a path outside it.
    std::optional<std::string> relative(const std::string& path) const;
    // The item's file opened for reading, below the mount point without
    // following a link; only a regular file. The caller closes it.
    Result<int> openItem(const ImportItem& item) const;
    // A failure as the import sees it: unavailable once the volume is gone.
    Error failed(Error error) const;

    Volumes& volumes_;
    std::string mountPoint_, name_, identity_;
    dev_t device_;  // the mounted file system's, to tell that it went away
    bool removable_;
};

}  // namespace lumivane
