#include "bridges/camera/camera_bridge.h"

#include <algorithm>
#include <cmath>

#include "bridges/camera/camera_import_source.h"
#include "runtime/file_name.h"

namespace lumivane {

namespace {

using Items = std::vector<std::shared_ptr<CameraItem>>;

std::vector<std::string> pieces(const std::string& path) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= path.size()) {
        auto end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        if (end > at) out.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// Whole milliseconds, truncated; none when they do not fit.
std::optional<std::int64_t> milliseconds(double seconds) {
    double ms = std::trunc(seconds * 1000.0);
    if (!(ms >= -9.2e18 && ms <= 9.2e18)) return std::nullopt;
    return static_cast<std::int64_t>(ms);
}

std::string nameOr(const CameraDevice& device, const char* fallback) { return device.name().value_or(fallback); }

}  // namespace

namespace camera_catalog {

std::optional<Items> resolveFolder(const CameraDevice& device, const std::string& path) {
    Items current = device.contents().value_or(Items{});
    for (const auto& name : pieces(path)) {
        auto found =
            std::find_if(current.begin(), current.end(), [&](const auto& item) { return item->name() == name; });
        if (found == current.end() || !(*found)->asFolder()) return std::nullopt;
        current = (*found)->asFolder()->contents().value_or(Items{});
    }
    return current;
}

std::string ancestorPath(const CameraItem& item) {
    std::vector<std::string> names;
    for (auto folder = item.parentFolder(); folder; folder = folder->parentFolder())
        if (auto name = folder->name()) names.push_back(*name);
    std::string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) path += (path.empty() ? "" : "/") + *it;
    return path;
}

void writeItem(ValueWriter& out, CameraItem& item, const std::string& parentPath) {
    auto name = item.name().value_or("");
    auto created = item.creationDate() ? milliseconds(*item.creationDate()) : std::nullopt;
    auto modified = item.modificationDate() ? milliseconds(*item.modificationDate()) : std::nullopt;
    auto uti = item.uti();
    auto* folder = item.asFolder();
    auto* file = item.asFile();
    std::int64_t width = file ? file->width() : 0, height = file ? file->height() : 0;
    double duration = file ? file->duration() : 0;
    std::size_t keys = 2 + bool(created) + bool(modified) + bool(uti);
    if (folder) keys += 2;
    if (file) keys += 2 + (width > 0) + (height > 0) + (duration > 0);
    out.map(keys);
    out.string("name");
    out.string(name);
    out.string("path");
    out.string(parentPath.empty() ? name : parentPath + "/" + name);
    if (created) {
        out.string("created");
        out.integer(*created);
    }
    if (modified) {
        out.string("modified");
        out.integer(*modified);
    }
    if (uti) {
        out.string("uti");
        out.string(*uti);
    }
    if (folder) {
        out.string("dir");
        out.boolean(true);
        out.string("count");
        out.integer(std::int64_t(folder->contents().value_or(Items{}).size()));
    } else if (file) {
        out.string("dir");
        out.boolean(false);
        out.string("size");
        out.integer(file->fileSize());
        if (width > 0) {
            out.string("width");
            out.integer(width);
        }
        if (height > 0) {
            out.string("height");
            out.integer(height);
        }
        if (duration > 0) {
            out.string("duration");
            out.float64(duration);
        }
    }
}

}  // namespace camera_catalog

CameraBridge::CameraBridge(DeviceBrowser& browser, MainLoop& loop, std::shared_ptr<EventHandler> events)
    : browser_(browser), loop_(loop), events_(std::move(events)) {}

void CameraBridge::start(BinaryMessenger&) {
    browser_.setDelegate(this);
    browser_.setBrowsedDeviceTypeMask(DeviceBrowser::kCameraTypeLocal);
    browser_.start();
}

std::string CameraBridge::deviceKey(const CameraDevice& device) {
    if (auto uuid = device.uuidString()) return *uuid;
    return std::to_string(device.hash());
}

void CameraBridge::changed() { events_->send({{"type", "cameras"}}); }

void CameraBridge::didAddDevice(const std::shared_ptr<CaptureDevice>& device) {
    auto* camera = device->asCamera();
    if (!camera) return;
    auto key = deviceKey(*camera);
    devices_[key] = device;
    if (std::find(order_.begin(), order_.end(), key) == order_.end()) order_.push_back(key);
    camera->setDelegate(this);
    camera->requestOpenSession();
    changed();
}

void CameraBridge::didRemoveDevice(const std::shared_ptr<CaptureDevice>& device) {
    auto* camera = device->asCamera();
    if (!camera) return;
    auto key = deviceKey(*camera);
    devices_.erase(key);
    order_.erase(std::remove(order_.begin(), order_.end(), key), order_.end());
    locked_.erase(key);
    ready_.erase(key);
    changed();
    if (sources_) sources_->departed("camera", key);
}

void CameraBridge::didOpenSession(CameraDevice& device, std::optional<std::int64_t> errorCode) {
    if (errorCode == kPasscodeLocked) locked_.insert(deviceKey(device));
    changed();
}

void CameraBridge::didCloseSession(CameraDevice& device) {
    ready_.erase(deviceKey(device));
    changed();
}

void CameraBridge::didEnableAccessRestriction(CameraDevice& device) {
    locked_.insert(deviceKey(device));
    changed();
}

void CameraBridge::didRemoveAccessRestriction(CameraDevice& device) {
    locked_.erase(deviceKey(device));
    changed();
}

void CameraBridge::didBecomeReadyWithCompleteContentCatalog(CameraDevice& device) {
    ready_.insert(deviceKey(device));
    changed();
    if (sources_) sources_->arrived("camera", deviceKey(device));
}

void CameraBridge::offerImports(ImportSources& sources, const std::string& dataFolder) {
    sources_ = &sources;
    offered_ = sources.add(
        "camera",
        [this,
         staging = dataFolder + "/import-staging"](const std::string& key) -> Result<std::shared_ptr<ImportSource>> {
            auto found = devices_.find(key);
            auto* device = found == devices_.end() ? nullptr : found->second->asCamera();
            if (!device) return failure(Error{Error::Code::notFound, "No camera " + key + " is attached."});
            if (!ready_.count(key))
                return failure(Error{Error::Code::unavailable, nameOr(*device, "The camera") + " is not ready yet."});
            auto attached = [this, key]() -> CameraDevice* {
                auto now = devices_.find(key);
                return now == devices_.end() || !ready_.count(key) ? nullptr : now->second->asCamera();
            };
            std::string identity = "camera:" + device->serialNumberString().value_or(key);
            return std::shared_ptr<ImportSource>(std::make_shared<CameraImportSource>(
                CameraImportSource::Links{loop_, lifetime_.handle(), stopping_, attached}, nameOr(*device, "Camera"),
                identity, staging));
        });
}

void CameraBridge::didAddItems(CameraDevice& device) {
    if (ready_.count(deviceKey(device))) changed();
}

void CameraBridge::didRemoveItems(CameraDevice& device) {
    if (ready_.count(deviceKey(device))) changed();
}

EncodableMap CameraBridge::deviceMap(const std::string& key, CameraDevice& device) {
    EncodableMap map;
    map.set("id", key);
    map.set("name", nameOr(device, "Camera"));
    map.set("kind", device.productKind().value_or(""));
    map.set("transport", device.transportType() == "ICTransportTypeUSB" ? "usb" : "other");
    map.set("locked", locked_.count(key) > 0);
    bool ready = ready_.count(key) > 0;
    map.set("ready", ready);
    auto capabilities = device.capabilities();
    map.set("canEject", std::find(capabilities.begin(), capabilities.end(), CameraDevice::kCanEjectOrDisconnect) !=
                            capabilities.end());
    if (auto serial = device.serialNumberString()) map.set("serial", *serial);
    if (ready) map.set("count", std::int64_t(device.mediaFiles().value_or(Items{}).size()));
    return map;
}

std::optional<CameraBridge::Ready> CameraBridge::readyDevice(const Arguments& args, MethodResult& result) {
    auto key = args.string("id");
    auto found = key ? devices_.find(*key) : devices_.end();
    if (found == devices_.end()) {
        result.error("gone", "That device is no longer connected.");
        return std::nullopt;
    }
    auto* device = found->second->asCamera();
    if (locked_.count(*key)) {
        result.error("locked", "Unlock " + nameOr(*device, "the device") + " to see its files.");
        return std::nullopt;
    }
    if (!ready_.count(*key)) {
        result.error("not_ready", "Still reading " + nameOr(*device, "the device") + "\u2026");
        return std::nullopt;
    }
    return Ready{*key, device};
}

std::shared_ptr<CameraItem> CameraBridge::lookupFile(const Arguments& args, CameraDevice& device,
                                                     MethodResult& result) {
    auto path = args.string("path").value_or("");
    auto names = pieces(path);
    std::shared_ptr<CameraItem> file;
    if (!names.empty()) {
        std::string folder;
        for (std::size_t i = 0; i + 1 < names.size(); ++i) folder += (i ? "/" : "") + names[i];
        if (auto entries = camera_catalog::resolveFolder(device, folder)) {
            auto found = std::find_if(entries->begin(), entries->end(),
                                      [&](const auto& item) { return item->name() == names.back(); });
            if (found != entries->end() && (*found)->asFile()) file = *found;
        }
    }
    if (!file) result.error("not_found", path + " is no longer on the device.");
    return file;
}

void CameraBridge::thumbnail(const Arguments& args, MethodResult& result) {
    auto ready = readyDevice(args, result);
    if (!ready) return;
    auto file = lookupFile(args, *ready->device, result);
    if (!file) return;
    int px = args.pixelSize("px", 256);
    auto answer = std::make_shared<MethodResult>(std::move(result));
    file->asFile()->requestThumbnail(px, [answer, file](std::optional<std::vector<std::uint8_t>> data) {
        if (data)
            answer->success(EncodableValue(Bytes(std::move(*data))));
        else
            answer->success();
    });
}

void CameraBridge::download(const Arguments& args, MethodResult& result) {
    auto ready = readyDevice(args, result);
    if (!ready) return;
    auto file = lookupFile(args, *ready->device, result);
    if (!file) return;
    for (const char* key : {"dir", "name", "token"})
        if (!args.string(key)) return result.error("download_failed", std::string("Missing ") + key + ".");
    auto dir = *args.string("dir"), name = *args.string("name"), token = *args.string("token");
    // The copy lands in "dir" and nowhere else: a name that is a path is refused.
    if (!isPlainFileName(name))
        return result.error("download_failed", "\"" + name + "\" is not a file name: give one without folders.");
    auto answer = std::make_shared<MethodResult>(std::move(result));
    auto* camera = file->asFile();
    auto total = camera->fileSize();
    // A caller that checked "dir" against a folder of its own names that
    // folder as "within": the copy then stays under it even if a folder on
    // the way is swapped for a link after the check.
    auto within = args.string("within").value_or("");
    auto progress = camera->requestDownload(
        {dir, name, false, within, false},
        [this, alive = lifetime_.token(), answer, file, token, dir, name](CameraFile::DownloadOutcome end) {
            if (alive) {
                if (auto found = downloads_.find(token); found != downloads_.end()) found->second->stopObserving();
                downloads_.erase(token);
            }
            if (end.error) return answer->error("download_failed", end.error->message);
            auto saved = end.savedFilename.value_or(name);
            answer->success(dir + (dir.empty() || dir.back() == '/' ? "" : "/") + saved);
        });
    if (!progress) return;
    progress->observe([events = events_, token, total](double fraction) {
        auto done = static_cast<std::int64_t>(fraction * double(total));
        events->post({{"type", "download"}, {"token", token}, {"done", done}, {"total", total}});
    });
    downloads_[token] = std::move(progress);
}

void CameraBridge::eject(const Arguments& args, MethodResult& result) {
    auto key = args.string("id");
    auto found = key ? devices_.find(*key) : devices_.end();
    if (found == devices_.end()) return result.success();
    auto* device = found->second->asCamera();
    auto capabilities = device->capabilities();
    if (std::find(capabilities.begin(), capabilities.end(), CameraDevice::kCanEjectOrDisconnect) == capabilities.end())
        return result.error("cannot_eject", "Turn " + nameOr(*device, "the camera") + " off before unplugging it.");
    auto answer = std::make_shared<MethodResult>(std::move(result));
    device->requestEject([answer, keep = found->second](std::optional<Error> error) {
        if (error)
            answer->error("eject_failed", *error);
        else
            answer->success();
    });
}

const std::map<std::string, CameraBridge::Method, std::less<>>& CameraBridge::methods() {
    static const std::map<std::string, Method, std::less<>> table{
        {"camera.list", &CameraBridge::list},         {"camera.children", &CameraBridge::children},
        {"camera.media", &CameraBridge::media},       {"camera.thumbnail", &CameraBridge::thumbnail},
        {"camera.download", &CameraBridge::download}, {"camera.cancel", &CameraBridge::cancel},
        {"camera.eject", &CameraBridge::eject},
    };
    return table;
}

bool CameraBridge::handle(const MethodCall& call, MethodResult& result) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    auto method = methods().find(call.method);
    if (method == methods().end()) return false;
    (this->*method->second)(Arguments(call.arguments), result);
    return true;
}

void CameraBridge::list(const Arguments&, MethodResult& result) {
    EncodableList list;
    for (const auto& key : order_)
        if (auto found = devices_.find(key); found != devices_.end())
            list.push_back(deviceMap(key, *found->second->asCamera()));
    result.success(list);
}

void CameraBridge::children(const Arguments& args, MethodResult& result) {
    auto ready = readyDevice(args, result);
    if (!ready) return;
    auto path = args.string("path").value_or("");
    auto entries = camera_catalog::resolveFolder(*ready->device, path);
    if (!entries)
        return result.error("not_found", "No folder " + path + " on " + ready->device->name().value_or(ready->key));
    result.success(EncodedAnswer::written([&](ValueWriter& out) {
        out.list(entries->size());
        for (const auto& item : *entries) camera_catalog::writeItem(out, *item, path);
    }));
}

void CameraBridge::media(const Arguments& args, MethodResult& result) {
    auto ready = readyDevice(args, result);
    if (!ready) return;
    // Written straight into the answer, a catalogue of a hundred thousand
    // files never becomes a hundred thousand maps; and written off the main
    // loop, which it would hold for a tenth of a second.
    auto files = ready->device->mediaFiles().value_or(Items{});
    std::erase_if(files, [](const auto& item) { return !item->asFile(); });
    // The top of the tree keeps every folder alive while the paths are
    // written, whatever catalogue the device swaps in meanwhile.
    answers_.post([pending = PendingResult(std::move(result), loop_), files = std::move(files),
                   tree = ready->device->contents()] {
        pending.success(EncodedAnswer::written([&](ValueWriter& out) {
            out.list(files.size());
            for (const auto& item : files) camera_catalog::writeItem(out, *item, camera_catalog::ancestorPath(*item));
        }));
    });
}

void CameraBridge::cancel(const Arguments& args, MethodResult& result) {
    if (auto token = args.string("token"))
        if (auto found = downloads_.find(*token); found != downloads_.end()) found->second->cancel();
    result.success();
}

}  // namespace lumivane
