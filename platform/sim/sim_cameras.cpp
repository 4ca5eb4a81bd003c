#include "platform/sim/sim_cameras.h"

#include "platform/common/camera_files.h"

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

namespace lumivane {

namespace fs = std::filesystem;

namespace {

using Items = std::vector<std::shared_ptr<CameraItem>>;
using Behaviour = SimCameraBrowser::Behaviour;

// What a device's items reach: the browser's services and the device's
// current behaviour (shared, so a change reaches items already handed out).
struct Context {
    SimCameraBrowser* browser;
    std::shared_ptr<Behaviour> behaviour;
};

// The entries of a folder on disk, hidden ones left out, in name order.
Items readFolder(const fs::path& folder, const std::shared_ptr<CameraFolder>& parent, const Context& context);

class SimFolder final : public CameraFolder, public std::enable_shared_from_this<SimFolder> {
public:
    SimFolder(fs::path path, std::shared_ptr<CameraFolder> parent, Context context)
        : path_(std::move(path)), parent_(std::move(parent)), context_(std::move(context)) {}
    std::optional<std::string> name() const override { return path_.filename().string(); }
    std::shared_ptr<CameraFolder> parentFolder() const override { return parent_; }
    std::optional<double> creationDate() const override { return modified(); }
    std::optional<double> modificationDate() const override { return modified(); }
    std::optional<std::string> uti() const override { return "public.folder"; }
    std::optional<Items> contents() const override {
        return readFolder(path_, std::const_pointer_cast<SimFolder>(shared_from_this()), context_);
    }

private:
    std::optional<double> modified() const {
        struct stat info {};
        if (::stat(path_.c_str(), &info) != 0) return std::nullopt;
        return double(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
    }
    fs::path path_;
    std::shared_ptr<CameraFolder> parent_;
    Context context_;
};

// A file's pixel size and length, as its header gives them.
struct Measures {
    std::int64_t width = 0, height = 0;
    double duration = 0;
};

class SimFile final : public CameraFile {
public:
    SimFile(fs::path path, std::shared_ptr<CameraFolder> parent, Context context)
        : path_(std::move(path)), parent_(std::move(parent)), context_(std::move(context)) {
        struct stat info {};
        if (::stat(path_.c_str(), &info) == 0) {
            size_ = info.st_size;
            modified_ = double(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
        }
    }
    std::optional<std::string> name() const override { return path_.filename().string(); }
    std::shared_ptr<CameraFolder> parentFolder() const override { return parent_; }
    std::optional<double> creationDate() const override { return modified_; }
    std::optional<double> modificationDate() const override { return modified_; }
    std::optional<std::string> uti() const override { return cameraTypeIdentifier(path_.filename().string()); }
    std::int64_t fileSize() const override { return size_; }
    // Read from the file's header on first asking: a lookup or a download
    // never pays for them.
    std::int64_t width() const override { return measured().width; }
    std::int64_t height() const override { return measured().height; }
    double duration() const override { return measured().duration; }
    void requestThumbnail(int px, std::function<void(std::optional<std::vector<std::uint8_t>>)> done) override {
        std::optional<std::vector<std::uint8_t>> data;
        auto& imaging = context_.browser->imaging();
        std::unique_ptr<Picture> picture;
        if (!context_.behaviour->thumbnailError) {
            if (auto source = imaging.sourceAtPath(path_))
                picture = source->thumbnail({ThumbnailFrom::embeddedIfPresent, px, true});
            if (!picture && isCameraVideoName(path_.filename().string()))
                picture = context_.browser->videoFrames().frame(path_, {0.5, px, {}, {}});
        }
        if (picture) data = imaging.jpegData(*picture, kThumbnailJpegQuality);
        context_.browser->later([done = std::move(done), data = std::move(data)]() mutable { done(std::move(data)); });
    }
    std::shared_ptr<CameraProgress> requestDownload(const DownloadOptions& options,
                                                    std::function<void(DownloadOutcome)> done) override {
        auto progress = std::make_shared<DownloadProgress>();
        auto behaviour = *context_.behaviour;
        context_.behaviour->downloadError.reset();  // it fails once
        auto* browser = context_.browser;
        browser->copyInBackground(
            [browser, progress, behaviour, options, source = path_, size = size_, done = std::move(done)]() mutable {
                auto outcome = copy(source, size, options, behaviour, *progress);
                browser->later([done = std::move(done), outcome = std::move(outcome)] { done(outcome); });
            });
        return behaviour.noProgress ? nullptr : progress;
    }

private:
    fs::path path_;
    std::shared_ptr<CameraFolder> parent_;
    std::int64_t size_ = 0;
    mutable std::optional<Measures> measures_;
    const Measures& measured() const {
        if (!measures_) {
            measures_.emplace();
            if (auto source = context_.browser->imaging().sourceAtPath(path_)) {
                measures_->width = source->pixelSize().width;
                measures_->height = source->pixelSize().height;
            } else if (isCameraVideoName(path_.filename().string())) {
                measures_->duration = context_.browser->videoFrames().duration(path_).value_or(0);
            }
        }
        return *measures_;
    }
    std::optional<double> modified_;
    Context context_;

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

Items readFolder(const fs::path& folder, const std::shared_ptr<CameraFolder>& parent, const Context& context) {
    std::vector<fs::path> names;
    std::error_code error;
    for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator(); it.increment(error))
        if (it->path().filename().string().rfind('.', 0) != 0) names.push_back(it->path());
    std::sort(names.begin(), names.end());
    Items items;
    for (const auto& path : names) {
        // Only folders and regular files are items: a FIFO or a device named
        // like a photo would block whoever reads it.
        auto status = fs::status(path, error);
        if (fs::is_directory(status))
            items.push_back(std::make_shared<SimFolder>(path, parent, context));
        else if (fs::is_regular_file(status))
            items.push_back(std::make_shared<SimFile>(path, parent, context));
    }
    return items;
}

// Every file under a folder, depth first in name order.
void collectFiles(const Items& items, Items& out) {
    for (const auto& item : items) {
        if (auto* folder = item->asFolder())
            collectFiles(folder->contents().value_or(Items{}), out);
        else
            out.push_back(item);
    }
}

}  // namespace

class SimCameraBrowser::Device final : public CameraDevice, public std::enable_shared_from_this<Device> {
public:
    Device(SimCameraBrowser& browser, DeviceSpec spec) : browser_(browser), spec_(std::move(spec)) {}
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
    std::optional<Items> contents() const override { return readFolder(spec_.root, nullptr, context()); }
    std::optional<Items> mediaFiles() const override {
        Items files;
        collectFiles(readFolder(spec_.root, nullptr, context()), files);
        if (!spec_.mediaFiles) return files;
        Items chosen;
        for (const auto& file : files) {
            auto relative = itemPath(*file);
            if (std::find(spec_.mediaFiles->begin(), spec_.mediaFiles->end(), relative) != spec_.mediaFiles->end())
                chosen.push_back(file);
        }
        return chosen;
    }
    void setDelegate(CameraDeviceDelegate* delegate) override { delegate_ = delegate; }
    void requestOpenSession() override {
        browser_.later([self = shared_from_this()] {
            auto* delegate = self->delegate_;
            if (!delegate) return;
            delegate->didOpenSession(*self, self->spec_.sessionError);
            if (!self->spec_.sessionError && self->spec_.ready)
                delegate->didBecomeReadyWithCompleteContentCatalog(*self);
        });
    }
    // A successful eject is followed by the device's removal, as unplugging would.
    void requestEject(std::function<void(std::optional<Error>)> done) override {
        auto error = std::exchange(behaviour_->ejectError, std::nullopt);
        browser_.later([self = shared_from_this(), done = std::move(done), error] {
            done(error ? std::optional<Error>(Error(*error)) : std::nullopt);
            if (!error) self->browser_.remove(self->key());
        });
    }

    CameraDeviceDelegate* delegate() const { return delegate_; }
    Context context() const { return {&browser_, behaviour_}; }
    void setBehaviour(Behaviour behaviour) {
        behaviour.ejectError = behaviour_->ejectError;
        *behaviour_ = std::move(behaviour);
    }
    void setEjectError(std::optional<std::string> error) { behaviour_->ejectError = std::move(error); }

private:
    static std::string itemPath(const CameraItem& item) {
        std::string path = item.name().value_or("");
        for (auto folder = item.parentFolder(); folder; folder = folder->parentFolder())
            path = folder->name().value_or("") + "/" + path;
        return path;
    }

    SimCameraBrowser& browser_;
    DeviceSpec spec_;
    CameraDeviceDelegate* delegate_ = nullptr;
    std::shared_ptr<Behaviour> behaviour_ = std::make_shared<Behaviour>();
};

SimCameraBrowser::~SimCameraBrowser() {
    lifetime_.end();
    copies_.reset();  // copies in flight end, then the workers
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
    auto device = std::make_shared<Device>(*this, spec);
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
    later([device] {
        if (device->delegate()) device->delegate()->didBecomeReadyWithCompleteContentCatalog(*device);
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
    later([device, added, removed] {
        if (!device->delegate()) return;
        if (added) device->delegate()->didAddItems(*device);
        if (removed) device->delegate()->didRemoveItems(*device);
    });
    return true;
}

}  // namespace lumivane
