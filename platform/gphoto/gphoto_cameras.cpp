#include "platform/gphoto/gphoto_cameras.h"

#include <gphoto2/gphoto2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef LUMIVANE_HAVE_UDEV
#include <libudev.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#define LUMIVANE_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMIVANE_LSAN 1
#endif
#endif
#ifdef LUMIVANE_LSAN
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/common/camera_files.h"
#include "runtime/file_writer.h"
#include "runtime/serial_queue.h"

namespace lumivane {

namespace {

using Items = std::vector<std::shared_ptr<CameraItem>>;

constexpr std::size_t kMaxItems = 200'000;  // a catalog larger than this is cut short
constexpr int kMaxDepth = 32;
constexpr std::int64_t kMaxWholeImage = std::int64_t{64} << 20;
// The most one read of part of a file asks for.
constexpr std::int64_t kMaxRead = std::int64_t{16} << 20;
constexpr char kDirectoryModel[] = "Directory Browse";

// A stable identity: a name-based UUID of the text (two FNV-1a hashes).
std::string identity(const std::string& text) {
    std::uint64_t a = 1469598103934665603ULL, b = 0x9E3779B97F4A7C15ULL;
    for (unsigned char c : text) {
        a = (a ^ c) * 1099511628211ULL;
        b = (b ^ c) * 0x100000001B3ULL + 0x7F4A7C15ULL;
    }
    char out[37];
    std::snprintf(out, sizeof out, "%08X-%04X-%04X-%04X-%012llX", unsigned(a >> 32), unsigned(a >> 16 & 0xFFFF),
                  unsigned(a & 0xFFFF), unsigned(b >> 48), static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
    return out;
}

// libgphoto2 loads its drivers and port libraries into process-wide lists
// (through libltdl) when cameras are detected, opened and closed: those steps
// take this lock, whatever camera or thread they are for.
std::mutex& driverLoading() {
    static std::mutex lock;
    return lock;
}

// Loading the drivers leaks a little for each camera model libgphoto2 knows,
// from driver libraries it has unloaded by the end, which no suppression can
// name: a leak-checking build looks away while they load, and only then.
struct DriverLoadingLeaks {
#ifdef LUMIVANE_LSAN
    DriverLoadingLeaks() { __lsan_disable(); }
    ~DriverLoadingLeaks() { __lsan_enable(); }
#endif
};

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// A libgphoto2 list, freed with it.
struct List {
    CameraList* list = nullptr;
    List() { gp_list_new(&list); }
    ~List() { gp_list_free(list); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (int i = 0; i < gp_list_count(list); ++i) {
            const char* name = nullptr;
            if (gp_list_get_name(list, i, &name) == GP_OK && name) out.emplace_back(name);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

// Items know their folder weakly: a folder holds its contents, and the
// device holds the top of the tree.
class GphotoFolder final : public CameraFolder {
public:
    GphotoFolder(std::string name, std::shared_ptr<CameraFolder> parent)
        : name_(std::move(name)), parent_(std::move(parent)) {}
    std::optional<std::string> name() const override { return name_; }
    std::shared_ptr<CameraFolder> parentFolder() const override { return parent_.lock(); }
    std::optional<double> creationDate() const override { return std::nullopt; }
    std::optional<double> modificationDate() const override { return std::nullopt; }
    std::optional<std::string> uti() const override { return "public.folder"; }
    std::optional<Items> contents() const override { return contents_; }
    Items contents_;  // set once, while the catalog is read

private:
    std::string name_;
    std::weak_ptr<CameraFolder> parent_;
};

}  // namespace

class GphotoCameras::Device final : public CameraDevice, public std::enable_shared_from_this<Device> {
public:
    Device(GphotoCameras& browser, std::string model, std::string port)
        : browser_(browser),
          model_(std::move(model)),
          port_(std::move(port)),
          queue_(std::make_unique<SerialQueue>("lumivane.camera")) {}
    ~Device() override {
        queue_.reset();  // its work finishes first
        closeCamera();
    }

    std::optional<std::string> uuidString() const override { return identity(model_ + "|" + port_ + "|" + serial_); }
    std::uint64_t hash() const override { return reinterpret_cast<std::uintptr_t>(this); }
    std::optional<std::string> name() const override { return model_; }
    std::optional<std::string> productKind() const override { return "Camera"; }
    std::optional<std::string> transportType() const override {
        return port_.starts_with("usb:") ? "ICTransportTypeUSB" : "ICTransportTypeOther";
    }
    std::optional<std::string> serialNumberString() const override {
        return serial_.empty() ? std::nullopt : std::optional<std::string>(serial_);
    }
    std::vector<std::string> capabilities() const override { return {kCanEjectOrDisconnect}; }
    std::optional<Items> contents() const override { return ready_ ? std::optional<Items>(contents_) : std::nullopt; }
    std::optional<Items> mediaFiles() const override { return ready_ ? std::optional<Items>(media_) : std::nullopt; }
    void setDelegate(CameraDeviceDelegate* delegate) override { delegate_ = delegate; }

    // The tasks on the camera's queue hand their last reference to the
    // device back to the main loop: a device must never be destroyed on its
    // own queue, whose thread it joins.
    void requestOpenSession() override {
        queue_->post([self = shared_from_this()]() mutable {
            auto& browser = self->browser_;
            int opened = self->openCamera();
            browser.later([self, opened] {
                if (self->delegate_)
                    self->delegate_->didOpenSession(
                        *self, opened == GP_OK ? std::nullopt : std::optional(std::int64_t(opened)));
            });
            if (opened != GP_OK) return browser.later([self = std::move(self)] {});
            Items contents, media;
            std::size_t count = 0;
            self->readFolder("/", nullptr, contents, media, 0, count);
            browser.later([self = std::move(self), contents = std::move(contents), media = std::move(media)] {
                self->contents_ = contents;
                self->media_ = media;
                self->ready_ = true;
                if (self->delegate_) self->delegate_->didBecomeReadyWithCompleteContentCatalog(*self);
            });
        });
    }

    // Closes the session and releases the port; the camera then leaves.
    void requestEject(std::function<void(std::optional<Error>)> done) override {
        queue_->post([self = shared_from_this(), done = std::move(done)]() mutable {
            self->closeCamera();
            auto& browser = self->browser_;
            browser.later([self = std::move(self), done = std::move(done)] {
                done(std::nullopt);
                self->browser_.ejected(self);
            });
        });
    }

    const std::string& model() const { return model_; }
    const std::string& port() const { return port_; }
    // Whether a file of a directory camera is a regular file (any other
    // camera: true). Its queue.
    bool regularOnDisk(const std::string& path) const;

    // ---- on the camera's queue ----
    void post(std::function<void()> work) { queue_->post(std::move(work)); }
    Camera* camera() { return camera_; }
    GPContext* context() { return context_; }
    // Whether the driver may read part of a file: until it says it cannot.
    bool readsParts() const { return readsParts_; }
    void readsNoParts() { readsParts_ = false; }
    Imaging& imaging() { return browser_.imaging(); }
    void report(std::function<void()> report) { browser_.later(std::move(report)); }
    // Main loop: a file deleted from the camera leaves its catalogue, and the
    // device says so, as the system's camera framework does.
    void forget(const CameraItem* file) {
        std::erase_if(media_, [file](const std::shared_ptr<CameraItem>& item) { return item.get() == file; });
        if (delegate_) delegate_->didRemoveItems(*this);
    }

private:
    // The camera's queue: opens it on its port with its driver.
    int openCamera() {
        if (camera_) return GP_OK;
        std::lock_guard loading(driverLoading());
        [[maybe_unused]] DriverLoadingLeaks unchecked;
        context_ = gp_context_new();
        driverMessage_.clear();
        gp_context_set_error_func(
            context_,
            [](GPContext*, const char* text, void* self) {
                if (text) static_cast<Device*>(self)->driverMessage_ = text;
            },
            this);
        gp_camera_new(&camera_);
        CameraAbilitiesList* abilities = nullptr;
        GPPortInfoList* ports = nullptr;
        gp_abilities_list_new(&abilities);
        gp_port_info_list_new(&ports);
        int result = gp_abilities_list_load(abilities, context_);
        if (result >= GP_OK) result = gp_port_info_list_load(ports);
        int model = result >= GP_OK ? gp_abilities_list_lookup_model(abilities, model_.c_str()) : result;
        int port = model >= GP_OK ? gp_port_info_list_lookup_path(ports, port_.c_str()) : model;
        if (port >= GP_OK) {
            CameraAbilities ability;
            GPPortInfo info;
            gp_abilities_list_get_abilities(abilities, model, &ability);
            gp_port_info_list_get_info(ports, port, &info);
            result = gp_camera_set_abilities(camera_, ability);
            if (result >= GP_OK) result = gp_camera_set_port_info(camera_, info);
            if (result >= GP_OK) result = gp_camera_init(camera_, context_);
        } else {
            result = port;
        }
        gp_abilities_list_free(abilities);
        gp_port_info_list_free(ports);
        // A locked phone opens, then refuses to list anything.
        if (result >= GP_OK) {
            List top;
            int listed = gp_camera_folder_list_folders(camera_, "/", top.list, context_);
            if (listed < GP_OK && sessionError(listed, driverMessage_) == kLockedSessionError) result = listed;
        }
        if (result < GP_OK) {
            closeCamera(loading);
            return int(sessionError(result, driverMessage_));
        }
        CameraText summary;
        if (gp_camera_get_summary(camera_, &summary, context_) >= GP_OK) {
            std::string text = summary.text;
            auto at = text.find("Serial Number:");
            if (at != std::string::npos) {
                auto end = text.find('\n', at);
                serial_ = text.substr(at + 14, end == std::string::npos ? std::string::npos : end - at - 14);
                serial_.erase(0, serial_.find_first_not_of(' '));
            }
        }
        return GP_OK;
    }
    void closeCamera() {
        std::lock_guard loading(driverLoading());
        closeCamera(loading);
    }
    void closeCamera(const std::lock_guard<std::mutex>&) {
        if (camera_) {
            gp_camera_exit(camera_, context_);
            gp_camera_unref(camera_);
            camera_ = nullptr;
        }
        if (context_) gp_context_unref(context_);
        context_ = nullptr;
    }

    void readFolder(const std::string& path, const std::shared_ptr<CameraFolder>& parent, Items& into, Items& media,
                    int depth, std::size_t& count);

    GphotoCameras& browser_;
    std::string model_, port_, serial_;
    std::unique_ptr<SerialQueue> queue_;
    CameraDeviceDelegate* delegate_ = nullptr;  // main loop
    bool ready_ = false;                        // main loop
    Items contents_, media_;                    // main loop
    Camera* camera_ = nullptr;                  // the camera's queue
    std::string driverMessage_;                 // the camera's queue: the driver's last error text
    GPContext* context_ = nullptr;              // the camera's queue
    bool readsParts_ = true;                    // the camera's queue
};

namespace {

class GphotoFile final : public CameraFile, public std::enable_shared_from_this<GphotoFile> {
public:
    GphotoFile(std::weak_ptr<GphotoCameras::Device> device, std::string folder, std::string name,
               std::shared_ptr<CameraFolder> parent, const CameraFileInfo& info)
        : device_(std::move(device)), folder_(std::move(folder)), name_(std::move(name)), parent_(std::move(parent)) {
        if (info.file.fields & GP_FILE_INFO_SIZE) size_ = std::int64_t(info.file.size);
        if (info.file.fields & GP_FILE_INFO_MTIME) modified_ = double(info.file.mtime);
        if (info.file.fields & GP_FILE_INFO_TYPE) type_ = info.file.type;
        if (info.file.fields & GP_FILE_INFO_WIDTH) width_ = info.file.width;
        if (info.file.fields & GP_FILE_INFO_HEIGHT) height_ = info.file.height;
    }
    std::optional<std::string> name() const override { return name_; }
    std::shared_ptr<CameraFolder> parentFolder() const override { return parent_.lock(); }
    std::optional<double> creationDate() const override { return modified_; }
    std::optional<double> modificationDate() const override { return modified_; }
    std::optional<std::string> uti() const override { return cameraTypeIdentifier(name_); }
    std::int64_t fileSize() const override { return size_; }
    std::int64_t width() const override { return width_; }
    std::int64_t height() const override { return height_; }
    double duration() const override { return 0; }
    bool isMedia() const { return type_.starts_with("image/") || type_.starts_with("video/"); }

    void requestThumbnail(int px, std::function<void(std::optional<std::vector<std::uint8_t>>)> done) override {
        auto device = device_.lock();
        if (!device) return done(std::nullopt);
        device->post([self = shared_from_this(), device, px, done = std::move(done)]() mutable {
            auto data = self->thumbnail(*device, px);
            auto* camera = device.get();
            camera->report([device = std::move(device), done = std::move(done), data = std::move(data)]() mutable {
                done(std::move(data));
            });
        });
    }

    std::shared_ptr<CameraProgress> requestDownload(const DownloadOptions& options,
                                                    std::function<void(DownloadOutcome)> done) override {
        auto progress = std::make_shared<DownloadProgress>();
        auto device = device_.lock();
        if (!device) {
            done({std::nullopt, Error("The camera is no longer connected.")});
            return nullptr;
        }
        device->post([self = shared_from_this(), device, progress, options, done = std::move(done)]() mutable {
            auto outcome = self->download(*device, options, *progress);
            auto* camera = device.get();
            camera->report(
                [device = std::move(device), done = std::move(done), outcome = std::move(outcome)] { done(outcome); });
        });
        return progress;
    }

    void requestReadData(std::int64_t offset, std::int64_t length,
                         std::function<void(Result<std::vector<std::uint8_t>>)> done) override {
        auto device = device_.lock();
        if (!device) return done(failure(Error{Error::Code::unavailable, "The camera is no longer connected."}));
        device->post([self = shared_from_this(), device, offset, length, done = std::move(done)]() mutable {
            Result<std::vector<std::uint8_t>> outcome = std::vector<std::uint8_t>();
            if (!device->camera())
                outcome = failure(Error{Error::Code::unavailable, "The camera is no longer connected."});
            else if (offset < 0 || length < 0)
                outcome = failure(Error{Error::Code::badInput, "A bad range."});
            else
                outcome = self->read(*device, offset, length);
            auto* camera = device.get();
            camera->report([device = std::move(device), done = std::move(done),
                            outcome = std::move(outcome)]() mutable { done(std::move(outcome)); });
        });
    }

    void requestDelete(std::function<void(std::optional<Error>)> done) override {
        auto device = device_.lock();
        if (!device) return done(Error{Error::Code::unavailable, "The camera is no longer connected."});
        device->post([self = shared_from_this(), device, done = std::move(done)]() mutable {
            std::optional<Error> error;
            if (!device->camera()) {
                error = Error{Error::Code::unavailable, "The camera is no longer connected."};
            } else if (int code = gp_camera_file_delete(device->camera(), self->folder_.c_str(), self->name_.c_str(),
                                                        device->context());
                       code < GP_OK) {
                error = Error{std::string("The camera did not delete the file: ") + gp_result_as_string(code)};
            }
            auto* camera = device.get();
            camera->report([self, device = std::move(device), done = std::move(done), error = std::move(error)] {
                if (!error) device->forget(self.get());
                done(error);
            });
        });
    }

private:
    // The camera's queue: at most `length` bytes from `offset`. A driver that
    // reads only whole files reads this one whole when the range holds all of
    // it and it is photo-sized.
    Result<std::vector<std::uint8_t>> read(GphotoCameras::Device& device, std::int64_t offset, std::int64_t length) {
        if (device.readsParts()) {
            std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(length, kMaxRead)));
            std::uint64_t size = bytes.size();
            int code = gp_camera_file_read(device.camera(), folder_.c_str(), name_.c_str(), GP_FILE_TYPE_NORMAL,
                                           static_cast<std::uint64_t>(offset), reinterpret_cast<char*>(bytes.data()),
                                           &size, device.context());
            if (code != GP_ERROR_NOT_SUPPORTED) {
                if (code < GP_OK)
                    return failure(
                        Error{std::string("The camera did not read the file: ") + gp_result_as_string(code)});
                bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes.size())));
                return bytes;
            }
            device.readsNoParts();
        }
        if (offset != 0 || size_ <= 0 || length <= size_ || size_ > kMaxWholeImage)
            return failure(Error{Error::Code::badInput, "This camera does not read part of a file."});
        return readWhole(device, length);
    }

    // What a whole file read into memory collects: the driver's pieces, up
    // to `limit` bytes (more than that is never kept).
    struct Collected {
        std::vector<std::uint8_t> bytes;
        std::size_t limit;
    };
    static int collect(void* priv, unsigned char* data, uint64_t* length) {
        auto* collected = static_cast<Collected*>(priv);
        auto room = collected->limit - collected->bytes.size();
        collected->bytes.insert(collected->bytes.end(), data, data + std::min<std::uint64_t>(*length, room));
        return GP_OK;
    }
    // The camera's queue: the file, read whole straight into memory, at most
    // `limit` bytes of it. A camera that sends less than the file's size has
    // lost the file or the link: that is a failure, never a shorter file.
    Result<std::vector<std::uint8_t>> readWhole(GphotoCameras::Device& device, std::int64_t limit) {
        Collected collected{{}, static_cast<std::size_t>(limit)};
        collected.bytes.reserve(static_cast<std::size_t>(size_));
        CameraFileHandler handler{};
        handler.write = &GphotoFile::collect;
        ::CameraFile* file = nullptr;
        if (gp_file_new_from_handler(&file, &handler, &collected) < GP_OK) return failure(Error("No memory."));
        int code = gp_camera_file_get(device.camera(), folder_.c_str(), name_.c_str(), GP_FILE_TYPE_NORMAL, file,
                                      device.context());
        gp_file_unref(file);
        if (code < GP_OK)
            return failure(Error{std::string("The camera did not read the file: ") + gp_result_as_string(code)});
        if (collected.bytes.size() < static_cast<std::size_t>(size_))
            return failure(Error("The camera sent " + std::to_string(collected.bytes.size()) + " of " +
                                 std::to_string(size_) + " bytes."));
        return std::move(collected.bytes);
    }

    // The camera's queue: the camera's own preview when it is at least half
    // the size asked for, else the picture itself (up to 64 MiB); a video
    // gets its preview or nothing.
    std::optional<std::vector<std::uint8_t>> thumbnail(GphotoCameras::Device& device, int px) {
        if (!device.camera()) return std::nullopt;
        auto& imaging = device.imaging();
        auto render = [&](std::vector<std::uint8_t> bytes, bool preview) -> std::optional<std::vector<std::uint8_t>> {
            auto source = imaging.sourceWithData(std::move(bytes));
            if (!source || (preview && !previewWillDo(source->pixelSize(), px))) return std::nullopt;
            auto picture = source->thumbnail({ThumbnailFrom::imageAlways, px, true});
            return picture ? imaging.jpegData(*picture, kThumbnailJpegQuality) : std::nullopt;
        };
        if (auto preview = fetch(device, GP_FILE_TYPE_PREVIEW))
            if (auto jpeg = render(std::move(*preview), true)) return jpeg;
        if (!type_.starts_with("image/") || size_ > kMaxWholeImage) return std::nullopt;
        auto whole = fetch(device, GP_FILE_TYPE_NORMAL);
        return whole ? render(std::move(*whole), false) : std::nullopt;
    }

    std::optional<std::vector<std::uint8_t>> fetch(GphotoCameras::Device& device, CameraFileType type) {
        ::CameraFile* file = nullptr;
        gp_file_new(&file);
        std::optional<std::vector<std::uint8_t>> bytes;
        if (gp_camera_file_get(device.camera(), folder_.c_str(), name_.c_str(), type, file, device.context()) >=
            GP_OK) {
            const char* data = nullptr;
            unsigned long size = 0;
            if (gp_file_get_data_and_size(file, &data, &size) >= GP_OK && data && size > 0)
                bytes.emplace(data, data + size);
        }
        gp_file_unref(file);
        return bytes;
    }

    // What the download's file handler writes to.
    struct Sink {
        FileWriter* writer;
        DownloadProgress* progress;
        std::int64_t size;
        std::int64_t written = 0;
        std::int64_t told = 0;  // how much progress has said
        std::optional<Error> error;
    };
    // Drivers hand data over in small pieces: progress speaks once a MiB,
    // and at the end.
    static constexpr std::int64_t kProgressStep = std::int64_t{1} << 20;
    static int write(void* priv, unsigned char* data, uint64_t* length) {
        auto* sink = static_cast<Sink*>(priv);
        if (sink->progress->cancelled()) return GP_ERROR_CANCEL;
        auto wrote = sink->writer->write(data, std::size_t(*length));
        if (!wrote.ok()) {
            sink->error = wrote.error();
            return GP_ERROR_IO_WRITE;
        }
        sink->written += std::int64_t(*length);
        if (sink->written - sink->told >= kProgressStep || sink->written >= sink->size) {
            sink->told = sink->written;
            sink->progress->set(sink->size > 0 ? std::min(1.0, double(sink->written) / double(sink->size)) : 1.0);
        }
        return GP_OK;
    }
    static GPContextFeedback cancelled(GPContext*, void* data) {
        return static_cast<DownloadProgress*>(data)->cancelled() ? GP_CONTEXT_FEEDBACK_CANCEL : GP_CONTEXT_FEEDBACK_OK;
    }

    // The camera's queue: streamed into a temporary beside a free name, never
    // over an existing file, never whole in memory.
    DownloadOutcome download(GphotoCameras::Device& device, const DownloadOptions& options,
                             DownloadProgress& progress) {
        if (!device.camera()) return {std::nullopt, Error("The camera is no longer connected.")};
        gp_context_set_cancel_func(device.context(), &GphotoFile::cancelled, &progress);
        struct Restore {
            GPContext* context;
            ~Restore() { gp_context_set_cancel_func(context, nullptr, nullptr); }
        } restore{device.context()};
        auto writer = FileWriter::create(options.directory, options.saveAsFilename, 0644, options.within);
        if (!writer.ok()) return {std::nullopt, writer.error()};
        if (options.scratch) writer.value().scratch();
        Sink sink{&writer.value(), &progress, size_, 0, 0, std::nullopt};
        CameraFileHandler handler{};
        handler.write = &GphotoFile::write;
        ::CameraFile* file = nullptr;
        if (gp_file_new_from_handler(&file, &handler, &sink) < GP_OK) return {std::nullopt, Error("No memory.")};
        int result = gp_camera_file_get(device.camera(), folder_.c_str(), name_.c_str(), GP_FILE_TYPE_NORMAL, file,
                                        device.context());
        gp_file_unref(file);
        if (progress.cancelled()) return {std::nullopt, Error(Error::Code::cancelled, "The download was cancelled.")};
        if (result < GP_OK) return {std::nullopt, sink.error ? *sink.error : Error(gp_result_as_string(result))};
        // A camera that lost the file or the link part-way may still say
        // it is done: a short copy is never kept.
        if (size_ > 0 && sink.written != size_)
            return {std::nullopt, Error("The camera sent " + std::to_string(sink.written) + " of " +
                                        std::to_string(size_) + " bytes.")};
        auto committed = writer.value().commitUnderFreeName();
        if (!committed.ok()) return {std::nullopt, committed.error()};
        return {committed.value(), std::nullopt};
    }

    std::weak_ptr<GphotoCameras::Device> device_;
    std::string folder_, name_;
    std::weak_ptr<CameraFolder> parent_;
    std::int64_t size_ = 0, width_ = 0, height_ = 0;
    std::optional<double> modified_;
    std::string type_;
};

}  // namespace

void GphotoCameras::Device::readFolder(const std::string& path, const std::shared_ptr<CameraFolder>& parent,
                                       Items& into, Items& media, int depth, std::size_t& count) {
    if (depth > kMaxDepth) return;
    List folders, files;
    if (gp_camera_folder_list_folders(camera_, path.c_str(), folders.list, context_) >= GP_OK) {
        for (const auto& name : folders.names()) {
            if (name.starts_with(".") || ++count > kMaxItems) continue;
            auto folder = std::make_shared<GphotoFolder>(name, parent);
            readFolder(joined(path, name), folder, folder->contents_, media, depth + 1, count);
            into.push_back(folder);
        }
    }
    if (gp_camera_folder_list_files(camera_, path.c_str(), files.list, context_) >= GP_OK) {
        for (const auto& name : files.names()) {
            if (name.starts_with(".") || ++count > kMaxItems) continue;
            if (!regularOnDisk(joined(path, name))) continue;
            CameraFileInfo info{};
            gp_camera_file_get_info(camera_, path.c_str(), name.c_str(), &info, context_);
            auto file = std::make_shared<GphotoFile>(weak_from_this(), path, name, parent, info);
            if (file->isMedia()) media.push_back(file);
            into.push_back(file);
        }
    }
}

bool GphotoCameras::Device::regularOnDisk(const std::string& path) const {
    // The directory driver serves a folder of this machine, and would open
    // (and block on) a FIFO or a device named like a photo: only regular
    // files are items. Other drivers list what the camera holds.
    if (!port_.starts_with("disk:")) return true;
    struct stat info {};
    return ::stat((port_.substr(5) + path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::int64_t GphotoCameras::sessionError(int result, const std::string& driverMessage) {
    return driverMessage.find("Access Denied") != std::string::npos ? kLockedSessionError : std::int64_t(result);
}

GphotoCameras::GphotoCameras(MainLoop& loop, Imaging& imaging, std::vector<std::string> directoryFolders)
    : loop_(loop),
      imaging_(imaging),
      folders_(std::move(directoryFolders)),
      stopFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

GphotoCameras::~GphotoCameras() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(stopFd_, &one, sizeof one);
    if (poller_.joinable()) poller_.join();
    ::close(stopFd_);
    lifetime_.end();
    devices_.clear();  // each drains its queue and closes its camera
}

void GphotoCameras::start() {
    LUMIVANE_ASSERT_MAIN_LOOP(loop_);
    for (const auto& folder : folders_) add({kDirectoryModel, "disk:" + folder});
    poller_ = std::thread([this] { poll(); });
}

void GphotoCameras::later(std::function<void()> report) { loop_.post(lifetime_.guard(std::move(report))); }

void GphotoCameras::add(const Found& found) {
    auto device = std::make_shared<Device>(*this, found.model, found.port);
    devices_[found] = device;
    if (delegate_) delegate_->didAddDevice(device);
}

void GphotoCameras::ejected(const std::shared_ptr<Device>& device) {
    Found found{device->model(), device->port()};
    auto it = devices_.find(found);
    if (it == devices_.end() || it->second != device) return;
    devices_.erase(it);
    if (!found.port.starts_with("disk:")) ejected_.insert(found);
    if (delegate_) delegate_->didRemoveDevice(device);
}

void GphotoCameras::detected(const std::set<Found>& found) {
    for (auto it = ejected_.begin(); it != ejected_.end();)
        it = found.count(*it) ? std::next(it) : ejected_.erase(it);  // unplugged since: welcome back later
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (it->first.port.starts_with("disk:") || found.count(it->first)) {
            ++it;
            continue;
        }
        auto device = it->second;
        it = devices_.erase(it);
        if (delegate_) delegate_->didRemoveDevice(device);
    }
    for (const auto& camera : found)
        if (!devices_.count(camera) && !ejected_.count(camera)) add(camera);
}

void GphotoCameras::poll() {
    GPContext* context = gp_context_new();
    std::vector<pollfd> watched{{stopFd_, POLLIN, 0}};
#ifdef LUMIVANE_HAVE_UDEV
    // USB changes wake the thread at once; without udev it polls alone.
    udev* devices = udev_new();
    udev_monitor* monitor = devices ? udev_monitor_new_from_netlink(devices, "udev") : nullptr;
    if (monitor && udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") >= 0 &&
        udev_monitor_enable_receiving(monitor) >= 0)
        watched.push_back({udev_monitor_get_fd(monitor), POLLIN, 0});
#endif
    for (;;) {
        std::set<Found> found;
        CameraList* list = nullptr;
        gp_list_new(&list);
        int result;
        {
            std::lock_guard loading(driverLoading());
            [[maybe_unused]] DriverLoadingLeaks unchecked;
            result = gp_camera_autodetect(list, context);
        }
        if (result >= GP_OK) {
            for (int i = 0; i < gp_list_count(list); ++i) {
                const char *model = nullptr, *port = nullptr;
                gp_list_get_name(list, i, &model);
                gp_list_get_value(list, i, &port);
                // Cameras on USB and over the network; card readers are volumes.
                if (model && port && (std::string(port).starts_with("usb:") || std::string(port).starts_with("ptpip:")))
                    found.insert({model, port});
            }
        }
        gp_list_free(list);
        later([this, found] { detected(found); });
        for (auto& entry : watched) entry.revents = 0;
        ::poll(watched.data(), watched.size(), int(std::chrono::milliseconds(kPollInterval).count()));
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
#ifdef LUMIVANE_HAVE_UDEV
        if (watched.size() > 1 && watched[1].revents)
            while (udev_device* change = udev_monitor_receive_device(monitor)) udev_device_unref(change);
#endif
    }
#ifdef LUMIVANE_HAVE_UDEV
    if (monitor) udev_monitor_unref(monitor);
    if (devices) udev_unref(devices);
#endif
    gp_context_unref(context);
}

}  // namespace lumivane
