#pragma once
#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "runtime/held_folder.h"
#include "runtime/result.h"

namespace lumivane {

// Writes a file beside its final name, then commits it in one step, so that no
// reader ever sees a part of it under the final name: downloads, copies,
// caches and settings all go through it.
//
// The target's folder is opened once, and everything after goes through that
// descriptor with the target's plain name: nothing is ever written outside
// that folder, even when a folder on the way is swapped for a link meanwhile,
// and a link at the target's name is replaced, never followed.
//
// The bytes go to a temporary sibling "<target>.lumivane-XXXXXX" in the
// target's folder, which is locked for as long as this writer has it open.
// commit() flushes it to disk and then either replaces the target atomically
// or links it in under a name that must not exist yet. A writer that is
// aborted, fails, or is destroyed uncommitted removes its temporary and
// leaves the target as it was. Errors carry the system's own words ("No space
// left on device"); a name that is taken is Error::Code::nameTaken.
//
// Used by one thread at a time; movable, not copyable.
class FileWriter {
public:
    enum class Commit {
        replace,       // the target is replaced atomically when it exists
        keepExisting,  // a target that exists (or appears meanwhile) wins
    };

    // Creates the temporary sibling of `target` with permission `mode`
    // (before the umask). Temporaries of the same target that a killed
    // process left behind are removed first. A target whose last component
    // is not a plain file name ("", ".", "..") is a folder, and refused.
    //
    // With `within` (a folder the caller was given), the target's folder
    // must be `within` or lie under it ("Permission denied" otherwise), and
    // the way down from `within` follows no link ("Too many levels of
    // symbolic links"): a folder checked inside `within` and then swapped
    // for a link cannot send the write anywhere else.
    static Result<FileWriter> create(const std::string& target, mode_t mode = 0644, const std::string& within = {});
    // The same for the file `name` (one plain file name) in `folder`. With
    // Stale::keep the folder is not searched for stale temporaries (a search
    // reads the whole folder): for a caller that makes many files in a large
    // folder and clears its own leftovers once, with removeStaleWithPrefix().
    enum class Stale { remove, keep };
    static Result<FileWriter> create(const std::string& folder, const std::string& name, mode_t mode = 0644,
                                     const std::string& within = {}, Stale stale = Stale::remove);
    // The same below a folder held open: `within` is reached through its
    // descriptor, never by its path again.
    static Result<FileWriter> create(const std::string& folder, const std::string& name, mode_t mode,
                                     const HeldFolder& within, Stale stale);

    // Whether `target` could be created (or replaced) by a writer, without
    // touching it: its folder exists and is writable, and it is not a folder.
    static Result<void> checkWritable(const std::string& target);

    FileWriter(FileWriter&& other) noexcept;
    FileWriter& operator=(FileWriter&& other) noexcept;
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;
    ~FileWriter();

    Result<void> write(const void* data, std::size_t size);
    // Puts `size` bytes at `offset`, past what was written too (the bytes
    // between stay a hole): a file put together from parts of another.
    Result<void> writeAt(std::int64_t offset, const void* data, std::size_t size);
    // Makes the file at least `size` bytes long; what that adds is a hole.
    Result<void> extendTo(std::int64_t size);
    // Flushes and closes the temporary, then puts it in place. After a failure
    // the temporary is gone and the target untouched. Once only.
    Result<void> commit(Commit how = Commit::replace);
    // Like Commit::keepExisting, but a taken name moves on to the next free
    // one ("stem 1.ext", "stem 2.ext" ...) instead of failing, in one step
    // each, so no other writer can slip in between. The name it took.
    Result<std::string> commitUnderFreeName();
    // Puts the temporary in place under `name` in another `folder` (on the
    // same file system, reached from `within` without links like create()'s
    // target), under the first of numberedName()'s names that is free there.
    // The path it took.
    Result<std::string> commitUnderFreeName(const std::string& folder, const std::string& name,
                                            const std::string& within);
    Result<std::string> commitUnderFreeName(const std::string& folder, const std::string& name,
                                            const HeldFolder& within);
    // Removes the temporary; the target is untouched. Idempotent.
    void abort();

    // Flushes what was written to disk, drops it from the page cache, and
    // reads it back from the start, chunk by chunk, so that a verification
    // sees what the disk holds rather than what the writer handed it. The
    // read bypasses the page cache where the file system allows it (large
    // direct reads are also much faster than the cache's read-ahead). A
    // commit right after has nothing left to flush, and flushes nothing.
    Result<void> readBack(const std::function<void(const std::uint8_t* data, std::size_t size)>& chunk);
    // Gives the file the modification time `seconds` (since 1970, UTC).
    Result<void> setModificationTime(double seconds);
    // Marks a bulk copy that nobody reads soon. Every 8 MiB written is handed
    // to the disk at once, so the disk writes while the copy goes on and the
    // commit's flush has little left to wait for; and once flushed for its
    // commit, the file's pages leave the page cache, so a large import reuses
    // the same memory file after file instead of filling the cache and
    // pushing out what others use.
    void bulkCopy() { bulk_ = true; }
    // Marks a scratch copy that its reader removes as soon as it has read it:
    // no commit flushes it, so most of it never has to reach the disk.
    void scratch() { scratch_ = true; }

    const std::string& target() const { return target_; }
    std::string temporaryPath() const { return temporary_.empty() ? std::string() : folder_ + "/" + temporary_; }

    // Removes the temporaries of `target` that no live writer holds (left by a
    // process that was killed while writing).
    static void removeStale(const std::string& target);
    // The same for every target in `folder` whose name starts with `prefix`.
    static void removeStaleWithPrefix(const std::string& folder, const std::string& prefix);

private:
    FileWriter(std::string folder, std::string name, std::string temporary, int folderFd, int fd);
    // create() and commitUnderFreeName() with `within` open at `withinFd`, or by its path when -1.
    static Result<FileWriter> createIn(const std::string& folder, const std::string& name, mode_t mode,
                                       const std::string& within, int withinFd, Stale stale);
    Result<std::string> commitUnderFreeNameIn(const std::string& folder, const std::string& name,
                                              const std::string& within, int withinFd);
    Result<void> finishWriting();
    // Links the finished temporary into the folder `targetFd` under the first
    // free of numberedName(name, n), then removes the temporary's name.
    Result<std::string> linkUnderFreeName(int targetFd, const std::string& name);
    // Closes the temporary (letting go of its lock) and the folder.
    void release();

    std::string folder_;          // as given, for the paths this writer names
    std::string name_;            // the target's name in it
    std::string target_;          // folder_ + "/" + name_
    std::string temporary_;       // the temporary's name in the folder; empty once committed or aborted
    bool bulk_ = false;           // see bulkCopy()
    bool scratch_ = false;        // see scratch()
    bool flushed_ = false;        // on disk as it is: nothing written or changed since the last flush
    std::int64_t written_ = 0;    // bytes written so far
    std::int64_t handedOff_ = 0;  // bytes handed to the disk by a bulk copy so far
    int folderFd_ = -1;           // the folder, opened once
    int fd_ = -1;
};

// The one rule for a name taken: `name` itself, then "stem 1.ext",
// "stem 2.ext" ... (the last dot starts the extension; a leading dot does
// not). commitUnderFreeName() follows it.
std::string numberedName(const std::string& name, int n);

// The first of those names that nothing in `folder` has yet (a link counts)
// and that `taken` does not hold for (names other imports in flight have
// spoken for; its argument is the folder and the name joined). For a caller
// that must name its target before writing; a writer that can choose at the
// end uses commitUnderFreeName(), which cannot race. Any thread.
std::string freeFileName(const std::string& folder, const std::string& name,
                         const std::function<bool(const std::string& path)>& taken = {});

// Writes a whole file through a FileWriter (replacing the target).
Result<void> writeFileAtomically(const std::string& path, std::string_view contents, mode_t mode = 0600);

}  // namespace lumivane
