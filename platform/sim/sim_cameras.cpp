#include "platform/sim/sim_cameras.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace lumivane {

namespace fs = std::filesystem;

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The type identifier a Mac gives a file of this extension.
std::optional<std::string> typeIdentifier(const std::string& name) {
    static const std::map<std::string, std::string> kTypes = {
        {"jpg", "public.jpeg"},
        {"jpeg", "public.jpeg"},
        {"heic", "public.heic"},
        {"heif", "public.heif"},
        {"png", "public.png"},
        {"tif", "public.tiff"},
        {"tiff", "public.tiff"},
        {"gif", "com.compuserve.gif"},
        {"webp", "org.webmproject.webp"},
        {"dng", "com.adobe.raw-image"},
        {"cr2", "com.adobe.raw-image"},
        {"cr3", "com.adobe.raw-image"},
        {"nef", "com.adobe.raw-image"},
        {"arw", "com.adobe.raw-image"},
        {"raf", "com.adobe.raw-image"},
        {"orf", "com.adobe.raw-image"},
        {"rw2", "com.adobe.raw-image"},
        {"mov", "com.apple.quicktime-movie"},
        {"mp4", "public.mpeg-4"},
        {"m4v", "com.apple.m4v-video"},
        {"avi", "public.avi"},
        {"mts", "public.avchd-mpeg-2-transport-stream"},
        {"3gp", "public.3gpp"},
    };
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    auto found = kTypes.find(lowered(name.substr(dot + 1)));
    return found == kTypes.end() ? std::nullopt : std::optional<std::string>(found->second);
}

class SimItem;
using Items = std::vector<std::shared_ptr<CameraItem>>;

// The entries of a folder on disk, hidden ones left out, in name order.
Items readFolder(const fs::path& folder, const std::shared_ptr<CameraFolder>& parent);

class SimFolder final : public CameraFolder, public std::enable_shared_from_this<SimFolder> {
public:
    SimFolder(fs::path path, std::shared_ptr<CameraFolder> parent)
        : path_(std::move(path)), parent_(std::move(parent)) {}
    std::optional<std::string> name() const override { return path_.filename().string(); }
    std::shared_ptr<CameraFolder> parentFolder() const override { return parent_; }
    std::optional<double> creationDate() const override { return modified(); }
    std::optional<double> modificationDate() const override { return modified(); }
    std::optional<std::string> uti() const override { return "public.folder"; }
    std::optional<Items> contents() const override {
        return readFolder(path_, std::const_pointer_cast<SimFolder>(shared_from_this()));
    }

private:
    std::optional<double> modified() const {
        struct stat info {};
        if (::stat(path_.c_str(), &info) != 0) return std::nullopt;
        return double(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
    }
    fs::path path_;
    std::shared_ptr<CameraFolder> parent_;
};

class SimFile final : public CameraFile {
public:
    SimFile(fs::path path, std::shared_ptr<CameraFolder> parent) : path_(std::move(path)), parent_(std::move(parent)) {
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
    std::optional<std::string> uti() const override { return typeIdentifier(path_.filename().string()); }
    std::int64_t fileSize() const override { return size_; }
    // Pixel sizes, durations, thumbnails and downloads come next.
    std::int64_t width() const override { return 0; }
    std::int64_t height() const override { return 0; }
    double duration() const override { return 0; }
    void requestThumbnail(int, std::function<void(std::optional<std::vector<std::uint8_t>>)> done) override {
        done(std::nullopt);
    }
    std::shared_ptr<CameraProgress> requestDownload(const DownloadOptions&,
                                                    std::function<void(DownloadOutcome)> done) override {
        done({std::nullopt, "Downloads from simulated cameras are not built yet."});
        return nullptr;
    }

private:
    fs::path path_;
    std::shared_ptr<CameraFolder> parent_;
    std::int64_t size_ = 0;
    std::optional<double> modified_;
};

Items readFolder(const fs::path& folder, const std::shared_ptr<CameraFolder>& parent) {
    std::vector<fs::path> names;
    std::error_code error;
    for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator(); it.increment(error))
        if (it->path().filename().string().rfind('.', 0) != 0) names.push_back(it->path());
    std::sort(names.begin(), names.end());
    Items items;
    for (const auto& path : names) {
        if (fs::is_directory(path, error))
            items.push_back(std::make_shared<SimFolder>(path, parent));
        else
            items.push_back(std::make_shared<SimFile>(path, parent));
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
    std::optional<Items> contents() const override { return readFolder(spec_.root, nullptr); }
    std::optional<Items> mediaFiles() const override {
        Items files;
        collectFiles(readFolder(spec_.root, nullptr), files);
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
    void requestEject(std::function<void(std::optional<std::string>)> done) override {
        browser_.later([done = std::move(done)] { done(std::string("Ejecting simulated cameras is not built yet.")); });
    }

    CameraDeviceDelegate* delegate() const { return delegate_; }

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
};

SimCameraBrowser::~SimCameraBrowser() { *alive_ = false; }

void SimCameraBrowser::later(std::function<void()> report) {
    loop_.post([alive = alive_, report = std::move(report)] {
        if (*alive) report();
    });
}

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
