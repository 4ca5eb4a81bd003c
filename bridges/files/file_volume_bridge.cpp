#include "bridges/files/file_volume_bridge.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <utility>

#include "bridges/common/jpeg_thumbnail.h"
#include "bridges/common/pending_result.h"
#include "bridges/files/volume_import_source.h"
#include "channel/arguments.h"
#include "platform/common/media_types.h"
#include "runtime/mutex.h"

namespace lumivane {

namespace fs = std::filesystem;

namespace {

constexpr int kDefaultPx = 256;
constexpr double kVideoFrameSeconds = 0.5;

// A path's last component, as a file manager names a folder ("/" for the root).
std::string lastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    auto slash = path.rfind('/');
    return slash == std::string::npos || path == "/" ? path : path.substr(slash + 1);
}

// The URL without its user and password; nothing when it has no
// "scheme://authority" to take apart.
std::optional<std::string> withoutCredentials(const std::string& url) {
    auto scheme = url.find("://");
    if (scheme == std::string::npos || scheme == 0) return std::nullopt;
    auto authorityStart = scheme + 3;
    auto authorityEnd = url.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string::npos) authorityEnd = url.size();
    auto at = url.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
    if (at == std::string::npos || at < authorityStart) return url;
    return url.substr(0, authorityStart) + url.substr(at + 1);
}

// The nearest existing ancestor of a path (itself when it exists), "/" at
// the latest; nothing for a path that names no place (empty, or holding NUL).
std::optional<std::string> nearestExisting(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
    std::error_code ignored;
    fs::path current = fs::path(path).is_absolute() ? fs::path(path) : fs::absolute(path, ignored);
    if (current.empty()) return std::nullopt;
    current = current.lexically_normal();
    while (!fs::exists(current, ignored) && current != current.root_path()) {
        auto parent = current.parent_path();
        if (parent == current) break;
        current = parent;
    }
    auto text = current.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

FileVolumeBridge::FileVolumeBridge(const BridgeContext& context)
    : platform_(context.platform), loop_(context.loop), events_(context.events), sources_(context.importSources) {
    // Never the system's own disk: not the one holding the home or the host's data.
    std::vector<std::string> own{platform_.environment.homeDirectory(), context.dataFolder};
    offered_ = sources_.add("volume", [&volumes = platform_.volumes, own](const std::string& mountPoint) {
        return VolumeImportSource::open(volumes, mountPoint, own);
    });
}

FileVolumeBridge::~FileVolumeBridge() = default;  // the lifetime ends first, then the queue drains to nothing

void FileVolumeBridge::start(BinaryMessenger&) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    for (auto change : {Volumes::Change::didMount, Volumes::Change::didUnmount, Volumes::Change::didRenameVolume})
        observations_.push_back(platform_.volumes.addObserver(change, [events = events_] {
            events->send({{"type", "volumes"}});
        }));
    // A card that comes back may have an import to finish: each volume that
    // was not mounted before is announced.
    for (const auto& mountPoint : platform_.volumes.mountedVolumePaths()) mounted_.insert(mountPoint);
    // Called while observations_ lives, which goes with this bridge.
    observations_.push_back(platform_.volumes.addObserver(Volumes::Change::didMount, [this] {
        std::set<std::string> now;
        for (const auto& mountPoint : platform_.volumes.mountedVolumePaths()) now.insert(mountPoint);
        for (const auto& mountPoint : now)
            if (!mounted_.count(mountPoint)) sources_.arrived("volume", mountPoint);
        mounted_ = std::move(now);
    }));
    observations_.push_back(platform_.volumes.addObserver(Volumes::Change::didUnmount, [this] {
        std::set<std::string> now;
        for (const auto& mountPoint : platform_.volumes.mountedVolumePaths()) now.insert(mountPoint);
        auto before = std::exchange(mounted_, std::move(now));
        for (const auto& mountPoint : before)
            if (!mounted_.count(mountPoint)) sources_.departed("volume", mountPoint);
    }));
}

EncodableMap FileVolumeBridge::volumeMap(const std::string& mountPoint, const VolumeValues& values) {
    EncodableMap map;
    map.set("path", mountPoint);
    map.set("name", values.localizedName ? *values.localizedName
                    : values.name        ? *values.name
                                         : lastComponent(mountPoint));
    map.set("removable", values.removable.value_or(false));
    map.set("ejectable", values.ejectable.value_or(false));
    map.set("internal", values.internal.value_or(false));
    map.set("network", values.local.has_value() && !*values.local);
    map.set("root", values.rootFileSystem.value_or(false));
    if (values.uuid) map.set("uuid", *values.uuid);
    if (values.totalCapacity) map.set("total", *values.totalCapacity);
    if (values.availableCapacityForImportantUsage)
        map.set("free", *values.availableCapacityForImportantUsage);
    else if (values.availableCapacity)
        map.set("free", *values.availableCapacity);
    if (values.localizedFormatDescription) map.set("fs", *values.localizedFormatDescription);
    if (values.urlForRemounting)
        if (auto remote = withoutCredentials(*values.urlForRemounting)) map.set("remote", *remote);
    return map;
}

EncodableList FileVolumeBridge::volumeList() {
    EncodableList list;
    for (const auto& mountPoint : platform_.volumes.mountedVolumePaths()) {
        auto values = platform_.volumes.values(mountPoint);
        if (!values || values->browsable == false) continue;
        list.push_back(volumeMap(mountPoint, *values));
    }
    return list;
}

std::optional<Bytes> FileVolumeBridge::thumbnail(const std::string& path, int px) {
    std::unique_ptr<Picture> picture;
    if (auto source = platform_.imaging.sourceAtPath(path)) {
        // A ready-made thumbnail of at least half the size asked for (in whole pixels) will do.
        picture = source->thumbnail({ThumbnailFrom::embeddedIfPresent, px, true});
        if (!picture || !previewWillDo(picture->size(), px, HalfOf::wholePixels))
            picture = source->thumbnail({ThumbnailFrom::imageAlways, px, true});
    }
    if (!picture && isVideoFileName(lastComponent(path)))
        picture = platform_.videoFrames.frame(path, {kVideoFrameSeconds, px, {}, {}});
    if (!picture) return std::nullopt;
    return platform_.imaging.jpegData(*picture, kThumbnailJpegQuality);
}

void FileVolumeBridge::thumbnailLater(const std::string& path, int px, MethodResult& result) {
    PendingResult pending(std::move(result), loop_);
    MutexLock guard(queueLock_);
    if (!thumbnails_) thumbnails_ = std::make_unique<ConcurrentQueue>("lumivane.thumbnails");
    thumbnails_->post(lifetime_.guard([this, pending, path, px] {
        if (stopping_) return;  // dropped unanswered: the host is going
        auto jpeg = thumbnail(path, px);
        pending.success(jpeg ? EncodableValue(std::move(*jpeg)) : EncodableValue());
    }));
}

const std::map<std::string, FileVolumeBridge::Method, std::less<>>& FileVolumeBridge::methods() {
    static const std::map<std::string, Method, std::less<>> table{
        {"volume.list", {&FileVolumeBridge::list, false}},
        {"volume.eject", {&FileVolumeBridge::eject, true}},
        {"file.volumeInfo", {&FileVolumeBridge::volumeInfo, true}},
        {"file.freeSpace", {&FileVolumeBridge::freeSpace, true}},
        {"file.thumbnail", {&FileVolumeBridge::thumbnailMethod, true}},
        {"file.pickFolder", {&FileVolumeBridge::pickFolder, false}},
        {"file.reveal", {&FileVolumeBridge::reveal, true}},
    };
    return table;
}

bool FileVolumeBridge::handle(const MethodCall& call, MethodResult& result) {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    auto method = methods().find(call.method);
    if (method == methods().end()) return false;
    Arguments args(call.arguments);
    auto path = args.string("path");
    if (method->second.takesPath && !path) {
        result.success();  // every method that takes a path answers null without one
        return true;
    }
    (this->*method->second.run)(args, path.value_or(""), result);
    return true;
}

void FileVolumeBridge::list(const Arguments&, const std::string&, MethodResult& result) {
    result.success(volumeList());
}

void FileVolumeBridge::eject(const Arguments&, const std::string& path, MethodResult& result) {
    auto ejected = platform_.volumes.unmountAndEject(path);
    if (ejected.ok())
        result.success();
    else
        result.error("eject_failed", ejected.error());
}

void FileVolumeBridge::volumeInfo(const Arguments&, const std::string& path, MethodResult& result) {
    EncodableMap info;
    if (auto volume = platform_.volumes.volumeOf(path)) {
        if (volume->root) info.set("root", *volume->root);
        if (volume->uuid) info.set("uuid", *volume->uuid);
    }
    result.success(info);
}

void FileVolumeBridge::freeSpace(const Arguments&, const std::string& path, MethodResult& result) {
    auto existing = nearestExisting(path);
    auto capacity = existing ? platform_.volumes.capacityAt(*existing) : std::nullopt;
    if (capacity && capacity->availableForImportantUsage)
        result.success(*capacity->availableForImportantUsage);
    else if (capacity && capacity->available)
        result.success(*capacity->available);
    else
        result.success();
}

void FileVolumeBridge::thumbnailMethod(const Arguments& args, const std::string& path, MethodResult& result) {
    // Beyond any picture's size a bound changes nothing; below 1 it gives null.
    thumbnailLater(path, args.pixelSize("px", kDefaultPx), result);
}

void FileVolumeBridge::pickFolder(const Arguments& args, const std::string&, MethodResult& result) {
    OpenPanel::Options options;
    options.title = args.string("title").value_or("Choose a folder");
    options.prompt = "Choose";
    options.directory = args.string("start");
    options.canChooseFiles = false;
    options.canChooseDirectories = true;
    options.canCreateDirectories = true;
    options.allowsMultipleSelection = false;
    auto outcome = platform_.openPanel.run(options);
    if (outcome.ok && outcome.path)
        result.success(*outcome.path);
    else
        result.success();
}

void FileVolumeBridge::reveal(const Arguments&, const std::string& path, MethodResult& result) {
    platform_.workspace.activateFileViewerSelecting({path});
    result.success();
}

}  // namespace lumivane
