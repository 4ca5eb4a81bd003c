#pragma once
#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <string>

#include "bridges/common/import_source.h"
#include "platform/image_capture.h"
#include "runtime/lifetime.h"
#include "runtime/main_loop.h"
#include "runtime/mutex.h"

namespace lumivane {

// A camera (or card reader) as an import source: its media files as
// "camera.media" names them, each read part by part where the device reads
// parts of files. Where it reads only whole files, a photo-sized one is read
// whole into memory (within a budget that all imports share); a larger one
// is downloaded by the device into a private staging folder as a scratch
// copy, never flushed, and streamed on from there (then removed). Deleting
// asks the device.
//
// Threads: made on the main loop; the rest on the import's worker threads,
// which hand every device call to the main loop and wait for its answer,
// giving up when the camera bridge is going (`stopping`) or the device was
// removed. Work posted to the main loop asks the camera bridge's `lifetime`,
// so a source that outlives the bridge finds its camera gone.
// `lock_` guards `files_`.
class CameraImportSource final : public ImportSource {
public:
    struct Links {
        MainLoop& loop;             // the host's, which outlives every bridge
        Lifetime::Handle lifetime;  // the camera bridge's: a job may hold this source longer
        std::shared_ptr<const std::atomic<bool>> stopping;
        // Main loop: the device while it is attached, else null.
        std::function<CameraDevice*()> device;
    };
    CameraImportSource(Links links, std::string name, std::string identity, std::string staging)
        : links_(std::move(links)),
          name_(std::move(name)),
          identity_(std::move(identity)),
          staging_(std::move(staging)) {}

    std::string name() const override { return name_; }
    std::string identity() const override { return identity_; }
    bool canDelete() const override { return true; }
    Result<std::vector<ImportItem>> list() override;
    Result<void> read(const ImportItem& item, const Sink& sink, const std::function<bool()>& cancelled) override;
    // Where the device reads parts of files; else Error::Code::unavailable.
    Result<void> readAt(const ImportItem& item, std::int64_t offset, std::size_t length, const Sink& sink) override;
    Result<void> remove(const ImportItem& item) override;

    // The largest file read whole into memory, and what all such reads may
    // hold at once (a file waits until it fits).
    static constexpr std::int64_t kWholeInMemory = std::int64_t{64} << 20;
    static constexpr std::int64_t kWholeReadBudget = std::int64_t{128} << 20;
    // Main loop: asks the device to eject, where it can.
    void eject(std::function<void(Result<void>)> done) override;

private:
    // Runs `work` on the main loop with the attached device; the result it
    // hands to `done` (at once or later) comes to the future.
    template <typename T>
    std::future<Result<T>> ask(std::function<void(CameraDevice&, std::function<void(Result<T>)> done)> work);
    // Waits for an answer asked for, giving up as withDevice() says.
    template <typename T>
    Result<T> await(std::future<Result<T>>& future, const std::function<bool()>& cancelled);
    // ask() and await() in one.
    template <typename T>
    Result<T> withDevice(std::function<void(CameraDevice&, std::function<void(Result<T>)> done)> work,
                         const std::function<bool()>& cancelled = {});
    std::shared_ptr<CameraItem> file(const std::string& path);
    // A file of a device that reads only whole files: into memory when it is
    // photo-sized, else through the staging folder.
    Result<void> readWhole(const std::shared_ptr<CameraItem>& camera, const Sink& sink,
                           const std::function<bool()>& cancelled);
    // The whole file downloaded by the device into the staging folder, then
    // streamed on from there.
    Result<void> readStaged(const std::shared_ptr<CameraItem>& camera, const Sink& sink,
                            const std::function<bool()>& cancelled);

    static constexpr std::int64_t kPartBytes = std::int64_t{4} << 20;  // one read of part of a file

    Links links_;
    std::string name_, identity_, staging_;
    Mutex lock_;
    std::map<std::string, std::shared_ptr<CameraItem>> files_ LUMIVANE_GUARDED_BY(lock_);
};

}  // namespace lumivane
