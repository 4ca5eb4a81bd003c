#include "platform/sim/sim_cameras.h"

#include "platform/common/camera_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "runtime/file_writer.h"
#include "runtime/serial_queue.h"

namespace lumivane {

namespace fs = std::filesystem;

// What a device's items share: the browser's services, the device's folder,
// its current behaviour (so a change reaches items already handed out), and
// whether the device is gone (a catalogue being built then stops).
struct SimCameraShared {
    SimCameraBrowser* browser;
    std::string root;
    SimCameraBrowser::Behaviour behaviour;  // main loop
    std::atomic<bool> gone = false;
    std::unique_ptr<SerialQueue> queue;  // the device's own, where its catalogue is built
    std::string key;                     // the device's, set once it is made
};

namespace {

using Items = std::vector<std::shared_ptr<CameraItem>>;
using Behaviour = SimCameraBrowser::Behaviour;

double seconds(const struct timespec& time) { return double(time.tv_sec) + time.tv_nsec / 1e9; }

// Items know their folder weakly: a folder holds its contents, and the
// catalogue holds the top of the tree. Everything an item answers is read
// while the catalogue is built, off the main loop, and never changes.
class SimFolder final : public CameraFolder {
public:
    SimFolder(std::string path, std::string name, std::weak_ptr<CameraFolder> parent, std::optional<double> modified)
        : path_(std::move(path)), name_(std::move(name)), parent_(std::move(parent)), modified_(modified) {}
    std::optional<std::string> name() const override { return name_; }
    std::shared_ptr<CameraFolder> parentFolder() const override { return parent_.lock(); }
    std::optional<double> creationDate() const override { return modified_; }
    std::optional<double> modificationDate() const override { return modified_; }
    std::optional<std::string> uti() const override { return "public.folder"; }
    std::optional<Items> contents() const override { return contents_; }
    const std::string& path() const { return path_; }
    Items contents_;  // set once, while the catalogue is built

private:
    std::string path_;  // on disk
    std::string name_;
    std::weak_ptr<CameraFolder> parent_;
    std::optional<double> modified_;
};

class SimFile final : public CameraFile {
public:
    static constexpr std::int64_t kMaxRead = std::int64_t{16} << 20;  // per request
    SimFile(std::string name, std::weak_ptr<SimFolder> parent, std::shared_ptr<const std::string> folder,
            std::shared_ptr<SimCameraShared> device, const struct stat& info)
        : name_(std::move(name)),
          parent_(std::move(parent)),
          folder_(std::move(folder)),
          device_(std::move(device)),
          size_(info.st_size),
          modified_(seconds(info.st_mtim)) {}
    std::optional<std::string> name() const override { return name_; }
    std::shared_ptr<CameraFolder> parentFolder() const override { return parent_.lock(); }
    std::optional<double> creationDate() const override { return modified_; }
    std::optional<double> modificationDate() const override { return modified_; }
    std::optional<std::string> uti() const override { return cameraTypeIdentifier(name_); }
    std::int64_t fileSize() const override { return size_; }
    std::int64_t width() const override { return width_; }
    std::int64_t height() const override { return height_; }
    double duration() const override { return duration_; }

    // Reads the pixel size or length from the file's header, as a camera
    // describes its files in its catalogue. While the catalogue is built,
    // before any other thread sees the file.
    void measure() {
        auto path = this->path();
        auto* browser = device_->browser;
        if (auto source = browser->imaging().sourceAtPath(path)) {
            width_ = std::int32_t(source->pixelSize().width);
            height_ = std::int32_t(source->pixelSize().height);
        } else if (isCameraVideoName(name_)) {
            duration_ = browser->videoFrames().duration(path).value_or(0);
        }
    }

    void requestThumbnail(int px, std::function<void(std::optional<std::vector<std::uint8_t>>)> done) override {
        std::optional<std::vector<std::uint8_t>> data;
        auto* browser = device_->browser;
        auto& imaging = browser->imaging();
        std::unique_ptr<Picture> picture;
        auto source = path();
        if (!device_->behaviour.thumbnailError) {
            if (auto image = imaging.sourceAtPath(source))
                picture = image->thumbnail({ThumbnailFrom::embeddedIfPresent, px, true});
            if (!picture && isCameraVideoName(name_)) picture = browser->videoFrames().frame(source, {0.5, px, {}, {}});
        }
        if (picture) data = imaging.jpegData(*picture, kThumbnailJpegQuality);
        browser->later([done = std::move(done), data = std::move(data)]() mutable { done(std::move(data)); });
    }
    std::shared_ptr<CameraProgress> requestDownload(const DownloadOptions& options,
                                                    std::function<void(DownloadOutcome)> done) override {
        auto progress = std::make_shared<DownloadProgress>();
        auto behaviour = device_->behaviour;
        device_->behaviour.downloadError.reset();  // it fails once
        auto* browser = device_->browser;
        browser->copyInBackground(
            [browser, progress, behaviour, options, source = path(), size = size_, done = std::move(done)]() mutable {
                auto outcome = copy(source, size, options, behaviour, *progress);
                browser->later([done = std::move(done), outcome = std::move(outcome)] { done(outcome); });
            });
        return behaviour.noProgress ? nullptr : progress;
    }
    void requestReadData(std::int64_t offset, std::int64_t length,
                         std::function<void(Result<std::vector<std::uint8_t>>)> done) override {
        auto* browser = device_->browser;
        auto delay = device_->behaviour.chunkDelay;  // a slow camera reads slowly too
        browser->copyInBackground([browser, source = path(), offset, length, delay, done = std::move(done)]() mutable {
            if (delay.count() > 0) std::this_thread::sleep_for(delay);
            Result<std::vector<std::uint8_t>> outcome = std::vector<std::uint8_t>();
            int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            if (fd < 0 || offset < 0 || length < 0) {
                outcome = failure(fd < 0 ? Error::system() : Error{Error::Code::badInput, "A bad range."});
            } else {
                auto& bytes = outcome.value();
                bytes.resize(static_cast<std::size_t>(std::min<std::int64_t>(length, kMaxRead)));
                ssize_t n;
                do n = ::pread(fd, bytes.data(), bytes.size(), offset);
                while (n < 0 && errno == EINTR);
                if (n < 0)
                    outcome = failure(Error::system());
                else
                    bytes.resize(static_cast<std::size_t>(n));
            }
            if (fd >= 0) ::close(fd);
            browser->later(
                [done = std::move(done), outcome = std::move(outcome)]() mutable { done(std::move(outcome)); });
        });
    }
    void requestDelete(std::function<void(std::optional<Error>)> done) override {
        auto* browser = device_->browser;
        browser->copyInBackground([browser, key = device_->key, source = path(), done = std::move(done)]() mutable {
            std::optional<Error> error;
            if (::unlink(source.c_str()) != 0) error = Error::system();
            browser->later([browser, key, done = std::move(done), error = std::move(error)] {
                // As a camera does, its catalogue loses the item and the device says so.
                if (!error) browser->itemsChanged(key, false, true);
                done(error);
            });
        });
    }

private:
    // Where the file is on disk, also once a newer catalogue has replaced
    // the one it came in (a camera's items stay valid).
    std::string path() const { return *folder_ + "/" + name_; }

    std::string name_;
    std::weak_ptr<SimFolder> parent_;
    std::shared_ptr<const std::string> folder_;  // its folder on disk, shared by the folder's files
    std::shared_ptr<SimCameraShared> device_;
    std::int64_t size_ = 0;
    double modified_ = 0;
    std::int32_t width_ = 0, height_ = 0;
    double duration_ = 0;

    // The copy thread's work: chunk by chunk into a temporary, then under a
    // name no file in the folder has, never over one. Only a regular file is
    // read (a FIFO or a device would never end), and only a whole one is kept.
    static DownloadOutcome copy(const fs::path& source, std::int64_t size, const DownloadOptions& options,
                                const Behaviour& behaviour, DownloadProgress& progress) {
        if (behaviour.downloadError) return {std::nullopt, Error(*behaviour.downloadError)};
        int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (in < 0) return {std::nullopt, Error("The file couldn’t be opened.")};
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{in};
        struct stat info {};
        if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) return {std::nullopt, Error("The item is not a file.")};
        auto writer = FileWriter::create(options.directory, options.saveAsFilename, 0644, options.within);
        if (!writer.ok()) return {std::nullopt, writer.error()};
        std::vector<char> chunk(1 << 20);
        std::int64_t copied = 0;
        for (ssize_t n; (n = ::pread(in, chunk.data(), chunk.size(), copied)) != 0;) {
            if (n < 0) {
                if (errno == EINTR) continue;
                return {std::nullopt, Error::system()};
            }
            if (progress.cancelled())
                return {std::nullopt, Error(Error::Code::cancelled, "The download was cancelled.")};
            auto wrote = writer.value().write(chunk.data(), std::size_t(n));
            if (!wrote.ok()) return {std::nullopt, wrote.error()};
            copied += n;
            progress.set(size > 0 ? std::min(1.0, double(copied) / double(size)) : 1.0);
            if (behaviour.chunkDelay.count() > 0) std::this_thread::sleep_for(behaviour.chunkDelay);
        }
        if (progress.cancelled()) return {std::nullopt, Error(Error::Code::cancelled, "The download was cancelled.")};
        // A file that changed size while it was copied is not the item listed.
        if (copied != size)
            return {std::nullopt,
                    Error("The camera sent " + std::to_string(copied) + " of " + std::to_string(size) + " bytes.")};
        auto committed = writer.value().commitUnderFreeName();
        if (!committed.ok()) return {std::nullopt, committed.error()};
        return {committed.value(), std::nullopt};
    }
};

// A device's catalogue: its top-level items and, apart, its media files.
struct Catalogue {
    Items contents, media;
};

// Reads the folder tree under the device's folder, depth first in name order,
// hidden entries left out; only folders and regular files are items (a FIFO
// or a device named like a photo would block whoever reads it). Stops early,
// with what it has, once the device is gone. The device's queue.
class CatalogueBuilder {
public:
    CatalogueBuilder(std::shared_ptr<SimCameraShared> device, const std::optional<std::vector<std::string>>& chosen)
        : device_(std::move(device)), chosen_(chosen) {}

    Catalogue build() {
        Catalogue catalogue;
        catalogue.contents = read(device_->root, "", nullptr, catalogue.media);
        measureAll();
        return catalogue;
    }

private:
    Items read(const std::string& folder, const std::string& relative, const std::shared_ptr<SimFolder>& parent,
               Items& media) {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (auto* entry = ::readdir(dir))
                if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
            ::closedir(dir);
        }
        std::sort(names.begin(), names.end());
        Items items;
        auto shared = std::make_shared<const std::string>(folder);
        for (auto& name : names) {
            if (device_->gone) break;
            auto path = folder + "/" + name;
            auto itemPath = relative.empty() ? name : relative + "/" + name;
            struct stat info {};
            if (::stat(path.c_str(), &info) != 0) continue;
            if (S_ISDIR(info.st_mode)) {
                auto child = std::make_shared<SimFolder>(path, name, parent, seconds(info.st_mtim));
                child->contents_ = read(path, itemPath, child, media);
                items.push_back(std::move(child));
            } else if (S_ISREG(info.st_mode)) {
                auto file = std::make_shared<SimFile>(std::move(name), parent, shared, device_, info);
                files_.push_back(file.get());
                if (!chosen_ || std::find(chosen_->begin(), chosen_->end(), itemPath) != chosen_->end())
                    media.push_back(file);
                items.push_back(std::move(file));
            }
        }
        return items;
    }

    // Reading a file's header mostly waits for the disk: a few threads read
    // them side by side.
    void measureAll() {
        std::atomic<std::size_t> next = 0;
        auto work = [&] {
            for (std::size_t i; !device_->gone && (i = next++) < files_.size();) files_[i]->measure();
        };
        std::vector<std::thread> helpers;
        for (unsigned k = 1; k < kMeasuringThreads; ++k) helpers.emplace_back(work);
        work();
        for (auto& helper : helpers) helper.join();
    }

    static constexpr unsigned kMeasuringThreads = 4;
    std::shared_ptr<SimCameraShared> device_;
    const std::optional<std::vector<std::string>>& chosen_;
    std::vector<SimFile*> files_;  // to measure; the catalogue holds them
};

}  // namespace

class SimCameraBrowser::Device final : public CameraDevice, public std::enable_shared_from_this<Device> {
public:
    Device(SimCameraBrowser& browser, DeviceSpec spec, std::shared_ptr<SimCameraShared> shared)
        : browser_(browser), spec_(std::move(spec)), shared_(std::move(shared)) {}
    // A catalogue being built stops at its next file.
    ~Device() override { shared_->gone = true; }
    CameraDevice* asCamera() override { return spec_.camera ? this : nullptr; }

    std::string key() const { return spec_.uuid ? *spec_.uuid : std::to_string(hash()); }
    std::optional<std::string> uuidString() const override { return spec_.uuid; }
    std::uint64_t hash() const override { return reinterpret_cast<std::uintptr_t>(this); }
    std::optional<std::string> name() const override { return spec_.name; }
    std::optional<std::string> productKind() const override { return spec_.kind; }
    std::optional<std::string> transportType() const override { return spec_.transport; }
    std::optional<std::string> serialNumberString() const override { return spec_.serial; }
    std::vector<std::string> capabilities() const override {
        return spec_.canEject ? std::vector<std::string>{kCanEjectOrDisconnect} : std::vector<std::string>{};
    }
    std::optional<Items> contents() const override { return catalogue_ ? catalogue_->contents : Items{}; }
    std::optional<Items> mediaFiles() const override { return catalogue_ ? catalogue_->media : Items{}; }
    void setDelegate(CameraDeviceDelegate* delegate) override { delegate_ = delegate; }
    // The session opens at once; the catalogue follows once it is built.
    void requestOpenSession() override {
        browser_.later([self = shared_from_this()] {
            if (self->delegate_) self->delegate_->didOpenSession(*self, self->spec_.sessionError);
        });
        if (spec_.sessionError) return;
        catalogue([](Device& self) {
            if (self.spec_.ready && self.delegate_) self.delegate_->didBecomeReadyWithCompleteContentCatalog(self);
        });
    }
    // A successful eject is followed by the device's removal, as unplugging would.
    void requestEject(std::function<void(std::optional<Error>)> done) override {
        auto error = std::exchange(shared_->behaviour.ejectError, std::nullopt);
        browser_.later([self = shared_from_this(), done = std::move(done), error] {
            done(error ? std::optional<Error>(Error(*error)) : std::nullopt);
            if (!error) self->browser_.remove(self->key());
        });
    }

    // Main loop: reads the folder again on the device's queue; once read, the
    // new catalogue replaces the old one and `then` runs, on the main loop.
    void catalogue(std::function<void(Device&)> then) {
        ++browser_.building_;
        shared_->queue->post(
            [shared = shared_, chosen = spec_.mediaFiles, self = weak_from_this(), then = std::move(then)]() mutable {
                auto built = std::make_shared<Catalogue>(CatalogueBuilder(shared, chosen).build());
                auto* browser = shared->browser;
                browser->later([browser, self = std::move(self), built = std::move(built), then = std::move(then)] {
                    --browser->building_;
                    auto device = self.lock();
                    if (!device) return;
                    device->catalogue_ = std::move(built);
                    then(*device);
                });
            });
    }

    CameraDeviceDelegate* delegate() const { return delegate_; }
    void setBehaviour(Behaviour behaviour) {
        behaviour.ejectError = shared_->behaviour.ejectError;
        shared_->behaviour = std::move(behaviour);
    }
    void setEjectError(std::optional<std::string> error) { shared_->behaviour.ejectError = std::move(error); }

private:
    SimCameraBrowser& browser_;
    DeviceSpec spec_;
    std::shared_ptr<SimCameraShared> shared_;
    CameraDeviceDelegate* delegate_ = nullptr;
    std::shared_ptr<const Catalogue> catalogue_;  // main loop; none until first built
};

SimCameraBrowser::~SimCameraBrowser() {
    lifetime_.end();
    // Catalogues being built stop, then their queues' threads; copies in
    // flight end, then their workers.
    for (auto& shared : shared_) {
        shared->gone = true;
        shared->queue.reset();
    }
    copies_.reset();
}

void SimCameraBrowser::copyInBackground(std::function<void()> copy) { copies_->post(std::move(copy)); }

bool SimCameraBrowser::setBehaviour(const std::string& key, Behaviour behaviour) {
    auto device = find(key);
    if (device) device->setBehaviour(std::move(behaviour));
    return device != nullptr;
}

bool SimCameraBrowser::setEjectError(const std::string& key, std::optional<std::string> error) {
    auto device = find(key);
    if (device) device->setEjectError(std::move(error));
    return device != nullptr;
}

void SimCameraBrowser::later(std::function<void()> report) { loop_.post(lifetime_.guard(std::move(report))); }

void SimCameraBrowser::start() {
    started_ = true;
    for (const auto& device : devices_)
        later([this, device] {
            if (delegate_) delegate_->didAddDevice(device);
        });
}

std::shared_ptr<SimCameraBrowser::Device> SimCameraBrowser::find(const std::string& key) {
    for (const auto& device : devices_)
        if (device->key() == key) return device;
    return nullptr;
}

std::string SimCameraBrowser::add(const DeviceSpec& spec) {
    auto shared = std::make_shared<SimCameraShared>();
    shared->browser = this;
    shared->root = spec.root;
    shared->queue = std::make_unique<SerialQueue>("lumivane.sim.camera");
    shared_.push_back(shared);
    auto device = std::make_shared<Device>(*this, spec, shared);
    shared->key = device->key();
    devices_.push_back(device);
    if (started_)
        later([this, device] {
            if (delegate_) delegate_->didAddDevice(device);
        });
    return device->key();
}

bool SimCameraBrowser::remove(const std::string& key) {
    auto device = find(key);
    if (!device) return false;
    devices_.erase(std::find(devices_.begin(), devices_.end(), device));
    if (started_)
        later([this, device] {
            if (delegate_) delegate_->didRemoveDevice(device);
        });
    return true;
}

bool SimCameraBrowser::setLocked(const std::string& key, bool locked) {
    auto device = find(key);
    if (!device) return false;
    later([device, locked] {
        if (!device->delegate()) return;
        if (locked)
            device->delegate()->didEnableAccessRestriction(*device);
        else
            device->delegate()->didRemoveAccessRestriction(*device);
    });
    return true;
}

bool SimCameraBrowser::makeReady(const std::string& key) {
    auto device = find(key);
    if (!device) return false;
    device->catalogue([](Device& self) {
        if (self.delegate()) self.delegate()->didBecomeReadyWithCompleteContentCatalog(self);
    });
    return true;
}

bool SimCameraBrowser::closeSession(const std::string& key) {
    auto device = find(key);
    if (!device) return false;
    later([device] {
        if (device->delegate()) device->delegate()->didCloseSession(*device);
    });
    return true;
}

bool SimCameraBrowser::itemsChanged(const std::string& key, bool added, bool removed) {
    auto device = find(key);
    if (!device) return false;
    device->catalogue([added, removed](Device& self) {
        if (!self.delegate()) return;
        if (added) self.delegate()->didAddItems(self);
        if (removed) self.delegate()->didRemoveItems(self);
    });
    return true;
}

}  // namespace lumivane
