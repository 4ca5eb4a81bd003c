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
    std::string job;         // names the temporaries
    std::string device;      // "{device}"
    std::string shoot = {};  // "{job}"
    // Seconds added to each capture time before it names folders and files:
    // a camera whose clock was wrong, mended in the copies' names.
    std::int64_t clockShift = 0;
};

// What a copy tells the job that asked for it as it goes, and asks of it.
// Called on the copying thread.
class CopyObserver {
public:
    virtual ~CopyObserver() = default;
    // Whether to stop now (the job ending, the item cancelled).
    virtual bool cancelled() = 0;
    // `bytes` more of the item have been copied.
    virtual void copied(std::int64_t bytes) = 0;
    // A file that already holds these bytes, where the job skips such copies.
    virtual std::optional<std::string> duplicate(std::int64_t size, const std::string& hash) = 0;
    // The verified copy is about to take the name `intent` ("folder/name",
    // before a taken name moves it on): noted so that a journal finds it after
    // a crash. A failure stops the copy.
    virtual Result<void> naming(const std::string& hash, const std::string& intent) = 0;
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
    // The item a twin or sidecar travels with: the name (without extension)
    // and capture time its copy took, which the follower takes too.
    struct Lead {
        std::string stem, originalStem;
        std::int64_t captureTime = 0;
    };
    // How a copy ended.
    struct Outcome {
        enum class Kind {
            imported,     // `copy` is in place
            duplicate,    // `duplicateOf` already holds the bytes; nothing was kept
            cancelled,    // asked to stop
            interrupted,  // not the item's fault: its device, its disk or its folder went (`error` says which)
            failed,       // the item's own failure (`error`)
        };
        Kind kind = Kind::failed;
        Copied copy;
        std::string duplicateOf;
        Error error;
    };

    ItemCopy(const CopyPlan& plan, Services services) : plan_(plan), services_(services) {}

    // Opens the destination and the backup folder, which every copy then
    // reaches through these descriptors: a folder swapped for a link meanwhile
    // cannot send copies elsewhere. Once, before the first copy.
    Result<void> holdFolders();
    // Why copies cannot go on: a folder of the plan gone, moved, replaced or
    // not writable (HeldFolder::problem()); none while they can.
    std::optional<Error> folderProblem() const;

    // Copies `item` (the job's `seq`-th) from `source`, telling `observer`;
    // with `lead`, it takes the name its lead took (see Lead).
    Outcome copy(ImportSource& source, const ImportItem& item, int seq, CopyObserver& observer,
                 const Lead* lead = nullptr) const;
    // A verified copy of the imported file at `path` (below the destination)
    // at the same place below the backup folder.
    Result<std::string> backup(const std::string& path, const std::string& hash, double modified) const;

    // Writes `rating` into the XMP sidecar of `copy` (a copy below the
    // destination or the backup folder): into `sidecar`, the copy of the
    // item's own sidecar, when it has one, else into a new "<stem>.xmp"
    // beside the copy, which must not exist yet. The sidecar is replaced
    // whole or not at all; the original on the device is never touched. The
    // path written.
    Result<std::string> rate(const std::string& copy, const std::string& sidecar, PhotoRating rating) const;

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
    // copy(), its failures as errors (copy() tells them apart).
    Result<Outcome> copyOrFail(ImportSource& source, const ImportItem& item, int seq, CopyObserver& observer,
                               const Lead* lead, bool& atDestination) const;
    std::int64_t captureTimeOf(const std::string& copyPath, const ImportItem& item) const;

    const CopyPlan& plan_;
    Services services_;
    std::optional<HeldFolder> destination_, backup_;  // set by holdFolders(), read-only after
};

// Creates the folders of `relative` ("a/b/c") below `root`, each reached
// without following a link. Any thread.
Result<void> makeFoldersBelow(const HeldFolder& root, const std::string& relative);

}  // namespace lumivane
