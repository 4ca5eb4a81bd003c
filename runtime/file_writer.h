#pragma once
#include <sys/types.h>
#include <cstddef>
#include <string>

#include "runtime/result.h"

namespace lumivane {

// Writes a file beside its final name, then commits it in one step, so that no
// reader ever sees a part of it under the final name: downloads, copies,
// caches and settings all go through it.
//
// The bytes go to a temporary sibling "<target>.lumivane-XXXXXX" in the
// target's folder, which is locked for as long as this writer has it open.
// commit() flushes it to disk and then either replaces the target atomically
// or links it in under a name that must not exist yet. A writer that is
// aborted, fails, or is destroyed uncommitted removes its temporary and
// leaves the target as it was. Errors are the system's own words
// ("No space left on device").
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
    // process left behind are removed first.
    static Result<FileWriter, std::string> create(const std::string& target, mode_t mode = 0644);

    // Whether `target` could be created (or replaced) by a writer, without
    // touching it: its folder exists and is writable, and it is not a folder.
    static Result<void, std::string> checkWritable(const std::string& target);

    FileWriter(FileWriter&& other) noexcept;
    FileWriter& operator=(FileWriter&& other) noexcept;
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;
    ~FileWriter();

    Result<void, std::string> write(const void* data, std::size_t size);
    // Flushes and closes the temporary, then puts it in place. After a failure
    // the temporary is gone and the target untouched. Once only.
    Result<void, std::string> commit(Commit how = Commit::replace);
    // Removes the temporary; the target is untouched. Idempotent.
    void abort();

    const std::string& target() const { return target_; }
    const std::string& temporaryPath() const { return temporary_; }

    // Removes the temporaries of `target` that no live writer holds (left by a
    // process that was killed while writing).
    static void removeStale(const std::string& target);

private:
    FileWriter(std::string target, std::string temporary, int fd);

    std::string target_;
    std::string temporary_;  // empty once committed or aborted
    int fd_ = -1;
};

// Writes a whole file through a FileWriter (replacing the target).
Result<void, std::string> writeFileAtomically(const std::string& path, std::string_view contents, mode_t mode = 0600);

}  // namespace lumivane
