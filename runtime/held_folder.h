#pragma once
#include <sys/types.h>
#include <optional>
#include <string>

#include "runtime/result.h"

namespace lumivane {

// A folder held open by its descriptor for as long as this lives, with the
// path it was opened by. Writers that are given it reach the folder through
// the descriptor, so a folder whose path is swapped for a link, or moved
// away, cannot send their files anywhere else; problem() tells that the path
// no longer leads here, so the caller can stop instead of recording paths
// that name other files.
//
// Any thread; movable, not copyable.
class HeldFolder {
public:
    // The folder at `path` (a link to a folder is followed once, here).
    static Result<HeldFolder> open(const std::string& path);
    HeldFolder(HeldFolder&& other) noexcept;
    HeldFolder& operator=(HeldFolder&& other) noexcept;
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;
    ~HeldFolder();

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Why files cannot go on being put here: "The folder … is gone." (removed,
    // moved, replaced, its disk gone: Error::Code::unavailable) or "The folder
    // … cannot be written." (Error::Code::noPermission); none while they can.
    std::optional<Error> problem() const;
    // "The folder PATH is gone.", as problem() says it.
    static Error gone(const std::string& path);

private:
    HeldFolder(std::string path, int fd, dev_t device, ino_t inode)
        : path_(std::move(path)), fd_(fd), device_(device), inode_(inode) {}

    std::string path_;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace lumivane
