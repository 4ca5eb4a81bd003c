#include "bridges/camera/camera_import_source.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <random>
#include <vector>

#include "bridges/camera/camera_bridge.h"
#include "runtime/memory_budget.h"
#include "runtime/read_file.h"

namespace lumivane {

namespace {

Error gone() { return Error{Error::Code::unavailable, "The camera is not connected."}; }

// Files read whole into memory, on every camera's imports together.
MemoryBudget& wholeReads() {
    static MemoryBudget budget(CameraImportSource::kWholeReadBudget);
    return budget;
}

std::string stagingName() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    return ".lumivane-import-" + std::to_string(random());
}

}  // namespace

template <typename T>
std::future<Result<T>> CameraImportSource::ask(
    std::function<void(CameraDevice&, std::function<void(Result<T>)>)> work) {
    auto promise = std::make_shared<std::promise<Result<T>>>();
    auto future = promise->get_future();
    // Not `this`: an answer asked for ahead may come after the source is gone.
    links_.loop.post(links_.lifetime.guard([attached = links_.device, promise, work = std::move(work)] {
        CameraDevice* device = attached();
        if (!device) return promise->set_value(failure(gone()));
        work(*device, [promise](Result<T> outcome) { promise->set_value(std::move(outcome)); });
    }));
    return future;
}

template <typename T>
Result<T> CameraImportSource::await(std::future<Result<T>>& future, const std::function<bool()>& cancelled) {
    // The wait ends with the answer, or when the host or the job stops
    // waiting (a main loop that has stopped runs nothing more).
    while (future.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if (*links_.stopping) return failure(gone());
        if (cancelled && cancelled()) return failure(Error{Error::Code::cancelled, "Cancelled."});
    }
    try {
        return future.get();
    } catch (const std::future_error&) {
        return failure(gone());
    }
}

template <typename T>
Result<T> CameraImportSource::withDevice(std::function<void(CameraDevice&, std::function<void(Result<T>)>)> work,
                                         const std::function<bool()>& cancelled) {
    auto future = ask<T>(std::move(work));
    return await(future, cancelled);
}

Result<std::vector<ImportItem>> CameraImportSource::list() {
    using Items = std::vector<std::shared_ptr<CameraItem>>;
    auto files = withDevice<Items>([](CameraDevice& device, std::function<void(Result<Items>)> done) {
        auto media = device.mediaFiles().value_or(Items{});
        std::erase_if(media, [](const auto& item) { return !item->asFile(); });
        done(std::move(media));
    });
    if (!files.ok()) return failure(files.error());
    // An item's properties never change once reported: read here, off the loop.
    std::vector<ImportItem> items;
    std::map<std::string, std::shared_ptr<CameraItem>> byPath;
    for (const auto& item : files.value()) {
        auto folder = camera_catalog::ancestorPath(*item);
        auto path = (folder.empty() ? "" : folder + "/") + item->name().value_or("");
        auto* file = item->asFile();
        items.push_back({path, file->fileSize(), item->modificationDate().value_or(0)});
        byPath.emplace(path, item);
    }
    MutexLock guard(lock_);
    files_ = std::move(byPath);
    return items;
}

std::shared_ptr<CameraItem> CameraImportSource::file(const std::string& path) {
    {
        MutexLock guard(lock_);
        if (auto found = files_.find(path); found != files_.end()) return found->second;
        if (!files_.empty()) return nullptr;
    }
    // A resumed job reads without listing first.
    if (!list().ok()) return nullptr;
    MutexLock guard(lock_);
    auto found = files_.find(path);
    return found == files_.end() ? nullptr : found->second;
}

Result<void> CameraImportSource::read(const ImportItem& item, const Sink& sink,
                                      const std::function<bool()>& cancelled) {
    auto camera = file(item.path);
    if (!camera) return failure(Error{Error::Code::notFound, item.path + " is no longer on the camera."});
    // Part by part while the device reads parts of files, the next part
    // asked for before this one is handed on, so the device reads while the
    // copy is written; a part shorter than asked for is the file's end. A
    // device that reads only whole files reads this one whole.
    using Bytes = std::vector<std::uint8_t>;
    auto askPart = [this, camera](std::int64_t offset) {
        return ask<Bytes>([camera, offset](CameraDevice&, std::function<void(Result<Bytes>)> done) {
            camera->asFile()->requestReadData(offset, kPartBytes, std::move(done));
        });
    };
    auto next = askPart(0);
    for (std::int64_t offset = 0;;) {
        if (cancelled()) return failure(Error{Error::Code::cancelled, "Cancelled."});
        auto part = await(next, cancelled);
        if (!part.ok() && part.error().code == Error::Code::badInput && offset == 0) break;
        if (!part.ok()) return failure(part.error());
        auto size = static_cast<std::int64_t>(part.value().size());
        offset += size;
        bool end = size < kPartBytes;
        if (!end) next = askPart(offset);
        if (size == 0) return {};
        if (auto taken = sink(part.value().data(), part.value().size()); !taken.ok() || end) return taken;
    }
    return readWhole(camera, sink, cancelled);
}

Result<void> CameraImportSource::readWhole(const std::shared_ptr<CameraItem>& camera, const Sink& sink,
                                           const std::function<bool()>& cancelled) {
    auto size = camera->asFile()->fileSize();
    if (size > 0 && size <= kWholeInMemory) {
        // Asked for one byte more than the listing says, which a file that
        // grew since would fill.
        MemoryBudget::Hold hold(wholeReads(), size);
        auto whole = withDevice<std::vector<std::uint8_t>>(
            [camera, size](CameraDevice&, std::function<void(Result<std::vector<std::uint8_t>>)> done) {
                camera->asFile()->requestReadData(0, size + 1, std::move(done));
            },
            cancelled);
        if (whole.ok() && static_cast<std::int64_t>(whole.value().size()) != size)
            return failure(Error{"The camera sent " + std::to_string(whole.value().size()) + " bytes of a file of " +
                                 std::to_string(size) + "; it changed on the camera."});
        if (whole.ok()) return sink(whole.value().data(), whole.value().size());
        if (whole.error().code != Error::Code::badInput) return failure(whole.error());
    }
    return readStaged(camera, sink, cancelled);
}

Result<void> CameraImportSource::readAt(const ImportItem& item, std::int64_t offset, std::size_t length,
                                        const Sink& sink) {
    auto camera = file(item.path);
    if (!camera) return failure(Error{Error::Code::notFound, item.path + " is no longer on the camera."});
    using Bytes = std::vector<std::uint8_t>;
    for (std::int64_t left = static_cast<std::int64_t>(length); left > 0;) {
        auto want = std::min(left, kPartBytes);
        auto part = withDevice<Bytes>([camera, offset, want](CameraDevice&, std::function<void(Result<Bytes>)> done) {
            camera->asFile()->requestReadData(offset, want, std::move(done));
        });
        // A device that reads only whole files: a caller does without.
        if (!part.ok() && part.error().code == Error::Code::badInput)
            return failure(Error{Error::Code::unavailable, "This camera reads a file only whole."});
        if (!part.ok()) return failure(part.error());
        auto size = std::min(static_cast<std::int64_t>(part.value().size()), want);
        if (size == 0) return {};  // the file's end
        if (auto taken = sink(part.value().data(), static_cast<std::size_t>(size)); !taken.ok()) return taken;
        offset += size;
        left -= size;
    }
    return {};
}

Result<void> CameraImportSource::readStaged(const std::shared_ptr<CameraItem>& camera, const Sink& sink,
                                            const std::function<bool()>& cancelled) {
    std::error_code ignored;  // a folder that cannot be made fails the download, which says why
    std::filesystem::create_directories(staging_, ignored);
    auto name = stagingName();
    auto progress = std::make_shared<std::shared_ptr<CameraProgress>>();
    auto saved = withDevice<std::string>(
        [this, camera, name, progress](CameraDevice&, std::function<void(Result<std::string>)> done) {
            *progress = camera->asFile()->requestDownload({staging_, name, false, staging_, true},
                                                          [done](CameraFile::DownloadOutcome outcome) {
                                                              if (outcome.error) return done(failure(*outcome.error));
                                                              done(outcome.savedFilename.value_or(""));
                                                          });
        },
        cancelled);
    if (!saved.ok()) {
        // A download still going is stopped; its file goes with it.
        links_.loop.post(links_.lifetime.guard([progress] {
            if (*progress) (*progress)->cancel();
        }));
        return failure(saved.error());
    }
    auto path = staging_ + "/" + (saved.value().empty() ? name : saved.value());
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    ::unlink(path.c_str());  // the open file is all that is needed now
    if (fd < 0) return failure(Error::system());
    auto outcome = readChunks(fd, sink, cancelled);
    ::close(fd);
    return outcome;
}

Result<void> CameraImportSource::remove(const ImportItem& item) {
    auto camera = file(item.path);
    if (!camera) return failure(Error{Error::Code::notFound, item.path + " is no longer on the camera."});
    // The camera's own item, as listed: another file under its name is kept.
    if (camera->asFile()->fileSize() != item.size || camera->modificationDate().value_or(0) != item.modified)
        return failure(Error{"The file changed on the camera since it was imported; it was kept."});
    auto removed = withDevice<bool>([camera](CameraDevice&, std::function<void(Result<bool>)> done) {
        camera->asFile()->requestDelete([done](std::optional<Error> error) {
            if (error) return done(failure(*error));
            done(true);
        });
    });
    if (!removed.ok()) return failure(removed.error());
    return {};
}

void CameraImportSource::eject(std::function<void(Result<void>)> done) {
    // Asked only while the camera bridge lives; a bridge gone has let its cameras go.
    auto asked = links_.lifetime.guard([&] {
        CameraDevice* device = links_.device();
        if (!device) return false;
        auto capabilities = device->capabilities();
        if (std::find(capabilities.begin(), capabilities.end(), CameraDevice::kCanEjectOrDisconnect) ==
            capabilities.end()) {
            done(failure(Error{Error::Code::unavailable, "Turn " + name_ + " off before unplugging it."}));
            return true;
        }
        device->requestEject([done](std::optional<Error> error) { done(error ? failure(*error) : Result<void>()); });
        return true;
    })();
    if (!asked) done(failure(gone()));
}

}  // namespace lumivane
