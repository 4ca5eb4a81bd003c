#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "bridges/common/import_source.h"
#include "bridges/import/import_template.h"
#include "platform/photo_metadata.h"
#include "platform/video_frames.h"
#include "runtime/held_folder.h"

namespace lumivane {

// Where and how a job's copies go.
struct CopyPlan {
    std::string destination;  // an existing folder
    std::string backup;       // a second existing folder, or ""
    ImportTemplate folders, names;
    bool verify = true;
    std::string job;     // names the temporaries
    std::string device;  // "{device}"
};

// One verified copy of one item: the bytes stream from the device into a
// temporary in the destination, hashed as they pass (XXH3, 128 bits); the
// temporary is flushed, read back from disk and hashed again, and only equal
// hashes let it take its name. It keeps the item's file time, and takes the
// name the templates give from its capture time (read from the copy: EXIF
// for photos, the container for videos, the file's time when neither says).
// A name that is taken moves on to the next free one; nothing is replaced.
// Any failure leaves no file behind.
//
// Any thread; one copy per call.
class ItemCopy {
public:
    struct Services {
        PhotoMetadata& photos;
        VideoFrames& videos;
    };
    struct Copied {
        std::string path;  // the final path
        std::string hash;  // 32 hex digits
        std::int64_t captureTime = 0;
    };
    // Called between the copy and its naming with the hash and the path the
    // copy is about to take ("folder/name" before a taken name moves it on),
    // so a journal can find it after a crash; a failure stops the copy.
    using Intent = std::function<Result<void>(const std::string& hash, const std::string& intent)>;
    using Progress = std::function<void(std::int64_t bytes)>;

    ItemCopy(const CopyPlan& plan, Services services) : plan_(plan), services_(services) {}

    // Opens the destination and the backup folder, which every copy then
    // reaches through these descriptors: a folder swapped for a link meanwhile
    // cannot send copies elsewhere. Once, before the first copy.
    Result<void> holdFolders();
    // Why copies cannot go on: a folder of the plan gone, moved, replaced or
    // not writable (HeldFolder::problem()); none while they can.
    std::optional<Error> folderProblem() const;

    // Copies `item` (the job's `seq`-th) from `source`. `stem`, when given,
    // is the name (without extension) of the item this one travels with (a
    // RAW's JPEG twin, a sidecar), and `captureTime` its time.
    Result<Copied> copy(ImportSource& source, const ImportItem& item, int seq, const std::function<bool()>& cancelled,
                        const Progress& progress, const Intent& intent, const std::string* stem = nullptr,
                        const std::int64_t* captureTime = nullptr) const;
    // A verified copy of the imported file at `path` (below the destination)
    // at the same place below the backup folder.
    Result<std::string> backup(const std::string& path, const std::string& hash, double modified) const;

    // Whether the item, read from `source` again now, still holds the bytes
    // whose hash is `hash`; a read that fails or differs is an error that
    // says so.
    static Result<void> stillHolds(ImportSource& source, const ImportItem& item, const std::string& hash,
                                   const std::function<bool()>& cancelled);

    // Removes the partial copies of the plan's job that a killed host left
    // in the destination and the backup folder.
    void removeLeftovers() const;

    // The XXH3-128 hash of the file at `path`, as copy() gives it; none when
    // it cannot be read.
    static std::optional<std::string> hashOf(const std::string& path);
    // The item's base name, and that name split at its last dot.
    static std::string baseName(const std::string& path);
    static std::pair<std::string, std::string> splitExtension(const std::string& name);

private:
    std::int64_t captureTimeOf(const std::string& copyPath, const ImportItem& item) const;

    const CopyPlan& plan_;
    Services services_;
    std::optional<HeldFolder> destination_, backup_;  // set by holdFolders(), read-only after
};

// Creates the folders of `relative` ("a/b/c") below `root`, each reached
// without following a link. Any thread.
Result<void> makeFoldersBelow(const HeldFolder& root, const std::string& relative);

}  // namespace lumivane
