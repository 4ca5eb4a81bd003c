#include "bridges/import/item_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>
#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/common/media_types.h"
#include "runtime/file_name.h"
#include "runtime/file_writer.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace {

constexpr std::size_t kSliceBytes = 256 << 10;  // well inside a core's cache

// A running XXH3-128 hash.
class Hasher {
public:
    Hasher() : state_(XXH3_createState()) { XXH3_128bits_reset(state_); }
    ~Hasher() { XXH3_freeState(state_); }
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;
    void add(const std::uint8_t* data, std::size_t size) { XXH3_128bits_update(state_, data, size); }
    std::string hex() const {
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_));
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string out;
        for (unsigned char byte : canonical.digest) {
            out += kDigits[byte >> 4];
            out += kDigits[byte & 15];
        }
        return out;
    }

private:
    XXH3_state_t* state_;
};

std::string joined(const std::string& folder, const std::string& relative) {
    return relative.empty() ? folder : folder + "/" + relative;
}

// The copy's temporary in the destination's top folder: one name per job
// and item. Writers do not search the folder for stale temporaries (which
// would read a large destination once per item); a resumed job removes what a
// killed host left of its copies once, before it copies again.
std::string temporaryPrefix(const std::string& job) { return ".lumivane-import-" + job + "-"; }
std::string backupName(const std::string& job) { return ".lumivane-backup-" + job; }
std::string temporaryName(const std::string& job, int seq) { return temporaryPrefix(job) + std::to_string(seq); }

}  // namespace

void ItemCopy::removeLeftovers() const {
    FileWriter::removeStaleWithPrefix(plan_.destination, temporaryPrefix(plan_.job));
    if (!plan_.backup.empty()) FileWriter::removeStaleWithPrefix(plan_.backup, backupName(plan_.job));
}

Result<void> ItemCopy::holdFolders() {
    auto destination = HeldFolder::open(plan_.destination);
    if (!destination.ok()) return failure(HeldFolder::gone(plan_.destination));
    destination_.emplace(std::move(destination.value()));
    if (plan_.backup.empty()) return {};
    auto backup = HeldFolder::open(plan_.backup);
    if (!backup.ok()) return failure(HeldFolder::gone(plan_.backup));
    backup_.emplace(std::move(backup.value()));
    return {};
}

std::optional<Error> ItemCopy::folderProblem() const {
    if (!destination_) return HeldFolder::gone(plan_.destination);
    if (auto problem = destination_->problem()) return problem;
    if (backup_) return backup_->problem();
    return std::nullopt;
}

Result<void> makeFoldersBelow(const HeldFolder& root, const std::string& relative) {
    int fd = ::openat(root.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failure(Error::system());
    std::size_t at = 0;
    while (at < relative.size()) {
        auto slash = relative.find('/', at);
        auto part = relative.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        at = slash == std::string::npos ? relative.size() : slash + 1;
        if (::mkdirat(fd, part.c_str(), 0755) != 0 && errno != EEXIST) {
            auto error = Error::system();
            ::close(fd);
            return failure(std::move(error));
        }
        int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        auto error = Error::system();
        ::close(fd);
        if (next < 0) return failure(std::move(error));
        fd = next;
    }
    ::close(fd);
    return {};
}

std::string ItemCopy::baseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::pair<std::string, std::string> ItemCopy::splitExtension(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {name, ""};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

std::optional<std::string> ItemCopy::hashOf(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    Hasher hasher;
    bool read = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                readChunks(fd, [&](const std::uint8_t* data, std::size_t size) {
                    hasher.add(data, size);
                    return Result<void>();
                }).ok();
    ::close(fd);
    if (!read) return std::nullopt;
    return hasher.hex();
}

Result<void> ItemCopy::stillHolds(ImportSource& source, const ImportItem& item, const std::string& hash,
                                  const std::function<bool()>& cancelled) {
    Hasher now;
    std::int64_t bytes = 0;
    auto read = source.read(
        item,
        [&](const std::uint8_t* data, std::size_t size) -> Result<void> {
            bytes += static_cast<std::int64_t>(size);
            now.add(data, size);
            return {};
        },
        cancelled);
    if (!read.ok()) return read;
    if (bytes != item.size || now.hex() != hash)
        return failure(Error{"It changed on the device since it was copied; it was kept."});
    return {};
}

std::int64_t ItemCopy::captureTimeOf(const std::string& copyPath, const ImportItem& item) const {
    auto name = baseName(item.path);
    std::optional<std::int64_t> recorded =
        isVideoFileName(name) ? services_.videos.creationTime(copyPath) : services_.photos.captureTime(copyPath);
    return recorded.value_or(static_cast<std::int64_t>(item.modified));
}

ItemCopy::Outcome ItemCopy::copy(ImportSource& source, const ImportItem& item, int seq, CopyObserver& observer,
                                 const Lead* lead) const {
    bool atDestination = false;
    auto ended = copyOrFail(source, item, seq, observer, lead, atDestination);
    if (ended.ok()) return std::move(ended.value());
    const auto& error = ended.error();
    if (error.code == Error::Code::cancelled) return {Outcome::Kind::cancelled, {}, {}, error};
    if (error.code == Error::Code::unavailable) return {Outcome::Kind::interrupted, {}, {}, error};
    // Not the item's fault when the folder it was going to went, nor when
    // its files there went from under it (the folder being removed).
    if (auto problem = folderProblem()) return {Outcome::Kind::interrupted, {}, {}, *problem};
    if (atDestination && error.code == Error::Code::notFound)
        return {Outcome::Kind::interrupted,
                {},
                {},
                Error{Error::Code::unavailable, "Files being copied into " + plan_.destination + " were removed."}};
    return {Outcome::Kind::failed, {}, {}, error};
}

Result<ItemCopy::Outcome> ItemCopy::copyOrFail(ImportSource& source, const ImportItem& item, int seq,
                                               CopyObserver& observer, const Lead* lead, bool& atDestination) const {
    if (!destination_) return failure(HeldFolder::gone(plan_.destination));
    // A failure of the copy's own side, not the device's.
    auto there = [&](const Error& error) {
        atDestination = true;
        return failure(error);
    };
    auto writer = FileWriter::create(plan_.destination, temporaryName(plan_.job, seq), 0644, *destination_,
                                     FileWriter::Stale::keep);
    if (!writer.ok()) return there(writer.error());
    writer.value().bulkCopy();  // an import is read again much later, if at all
    Hasher written;
    std::int64_t bytes = 0;
    auto read = source.read(
        item,
        [&](const std::uint8_t* data, std::size_t size) -> Result<void> {
            bytes += static_cast<std::int64_t>(size);
            if (bytes > item.size)
                return failure(Error{"It grew while it was copied (" + std::to_string(item.size) +
                                     " bytes listed); no copy was kept."});
            // Hashed and written a slice at a time, so the write copies from
            // the cache what the hash has just read.
            for (std::size_t at = 0; at < size; at += kSliceBytes) {
                auto slice = std::min(kSliceBytes, size - at);
                written.add(data + at, slice);
                if (auto put = writer.value().write(data + at, slice); !put.ok()) return there(put.error());
            }
            observer.copied(static_cast<std::int64_t>(size));
            return {};
        },
        [&] { return observer.cancelled(); });
    if (!read.ok()) return failure(read.error());
    if (bytes != item.size)
        return failure(Error{"It changed while it was copied (" + std::to_string(item.size) + " bytes listed, " +
                             std::to_string(bytes) + " read); no copy was kept."});
    auto hash = written.hex();
    // Its time set first, the flush before the read-back writes it too and the
    // one before its naming has nothing left to write.
    if (auto timed = writer.value().setModificationTime(item.modified); !timed.ok()) return there(timed.error());
    if (plan_.verify) {
        Hasher onDisk;
        auto back =
            writer.value().readBack([&](const std::uint8_t* data, std::size_t size) { onDisk.add(data, size); });
        if (!back.ok()) return there(back.error());
        if (onDisk.hex() != hash)
            return failure(Error{"The copy read back from disk differs from what the device sent; no copy was kept."});
    }
    if (auto same = observer.duplicate(item.size, hash)) return Outcome{Outcome::Kind::duplicate, {}, *same, {}};

    auto [originalStem, extension] = splitExtension(baseName(item.path));
    Copied copied;
    copied.hash = hash;
    copied.captureTime = lead ? lead->captureTime : captureTimeOf(writer.value().temporaryPath(), item);
    ImportNameFields fields{
        copied.captureTime + plan_.clockShift, originalStem, extension, seq, plan_.device, plan_.shoot};
    auto folder = plan_.folders.render(fields);
    if (!folder.ok()) return failure(folder.error());
    std::string newStem;
    if (lead && originalStem.size() >= lead->originalStem.size()) {
        // "IMG_1" led as "2021_IMG_1": "IMG_1" and "IMG_1.CR2" (a sidecar named after the whole file) follow.
        newStem = lead->stem + originalStem.substr(lead->originalStem.size());
    } else {
        auto rendered = plan_.names.render(fields);
        if (!rendered.ok()) return failure(rendered.error());
        newStem = rendered.value();
    }
    std::string name = extension.empty() ? newStem : newStem + "." + extension;
    if (!isPlainFileName(name)) return failure(Error{Error::Code::badInput, "\"" + name + "\" is no file name."});
    if (auto made = makeFoldersBelow(*destination_, folder.value()); !made.ok()) return there(made.error());
    auto target = joined(plan_.destination, folder.value());
    if (auto noted = observer.naming(hash, target + "/" + name); !noted.ok()) return failure(noted.error());
    auto committed = writer.value().commitUnderFreeName(target, name, *destination_);
    if (!committed.ok()) return there(committed.error());
    copied.path = committed.value();
    return Outcome{Outcome::Kind::imported, std::move(copied), {}, {}};
}

Result<std::string> ItemCopy::backup(const std::string& path, const std::string& hash, double modified) const {
    if (path.compare(0, plan_.destination.size() + 1, plan_.destination + "/") != 0)
        return failure(Error{"The copy is not inside the destination."});
    auto relative = path.substr(plan_.destination.size() + 1);
    auto slash = relative.rfind('/');
    std::string folder = slash == std::string::npos ? "" : relative.substr(0, slash);
    std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    if (!destination_ || !backup_) return failure(HeldFolder::gone(plan_.backup));
    // Read through the held destination: the copy just made, wherever its path leads now.
    int fd = ::openat(destination_->fd(), relative.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return failure(Error::system());
    auto writer = FileWriter::create(plan_.backup, backupName(plan_.job), 0644, *backup_, FileWriter::Stale::keep);
    if (!writer.ok()) {
        ::close(fd);
        return failure(writer.error());
    }
    writer.value().bulkCopy();
    Hasher written;
    auto copied = readChunks(fd, [&](const std::uint8_t* data, std::size_t size) {
        written.add(data, size);
        return writer.value().write(data, size);
    });
    ::close(fd);
    if (!copied.ok()) return failure(copied.error());
    if (auto timed = writer.value().setModificationTime(modified); !timed.ok()) return failure(timed.error());
    Hasher onDisk;
    auto back = writer.value().readBack([&](const std::uint8_t* data, std::size_t size) { onDisk.add(data, size); });
    if (!back.ok()) return failure(back.error());
    if (written.hex() != hash || onDisk.hex() != hash)
        return failure(Error{"The backup copy does not match the imported file; no backup was kept."});
    if (auto made = makeFoldersBelow(*backup_, folder); !made.ok()) return failure(made.error());
    return writer.value().commitUnderFreeName(joined(plan_.backup, folder), name, *backup_);
}

Result<std::string> ItemCopy::rate(const std::string& copy, const std::string& sidecar, PhotoRating rating) const {
    constexpr std::size_t kMaxSidecar = 4 << 20;
    const HeldFolder* root = nullptr;
    for (const auto* held : {&destination_, &backup_})
        if (*held && copy.compare(0, (*held)->path().size() + 1, (*held)->path() + "/") == 0) root = &**held;
    if (!root) return failure(Error{"The copy is not inside the destination."});
    const std::string& base = root->path();
    auto extension = splitExtension(baseName(copy)).second;
    auto target = !sidecar.empty()    ? sidecar
                  : extension.empty() ? copy + ".xmp"
                                      : copy.substr(0, copy.size() - extension.size()) + "xmp";
    if (target.compare(0, base.size() + 1, base + "/") != 0 || target.find("/../") != std::string::npos)
        return failure(Error{"The sidecar is not inside the destination."});
    auto relative = target.substr(base.size() + 1);
    std::string packet;
    if (!sidecar.empty()) {
        int fd = ::openat(root->fd(), relative.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return failure(Error::system());
        auto read = readChunks(fd, [&](const std::uint8_t* data, std::size_t size) -> Result<void> {
            if (packet.size() + size > kMaxSidecar) return failure(Error{"The sidecar " + target + " is too large."});
            packet.append(reinterpret_cast<const char*>(data), size);
            return {};
        });
        ::close(fd);
        if (!read.ok()) return failure(read.error());
    }
    auto text = services_.photos.rated(packet, rating);
    if (!text) return failure(Error{"The sidecar " + target + " is not XMP that a rating can be added to."});
    auto slash = relative.rfind('/');
    auto folder = joined(base, slash == std::string::npos ? "" : relative.substr(0, slash));
    auto writer = FileWriter::create(folder, relative.substr(slash + 1), 0644, *root, FileWriter::Stale::remove);
    if (!writer.ok()) return failure(writer.error());
    if (auto written = writer.value().write(text->data(), text->size()); !written.ok()) return failure(written.error());
    auto how = sidecar.empty() ? FileWriter::Commit::keepExisting : FileWriter::Commit::replace;
    if (auto committed = writer.value().commit(how); !committed.ok()) return failure(committed.error());
    return target;
}

}  // namespace lumivane
