#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/result.h"

namespace lumivane {

// What the host asks of the system's image-capture service: a browser of
// locally attached camera devices (cameras, card readers, phones shown as
// cameras), their sessions, their item trees, thumbnails, downloads and
// eject.
//
// Threads: every call is made on the main loop; every delegate callback and
// every completion arrives on the main loop. A progress object may notify
// from any thread. An item's properties (name, parent, dates, type, size,
// pixel size, length, a folder's contents) never change once the item is
// reported, so they may be read from any thread; a changed catalogue comes
// as new items.

// Dates are seconds since 1970-01-01 00:00 UTC.
class CameraFolder;
class CameraFile;

class CameraItem {
public:
    virtual ~CameraItem() = default;
    virtual std::optional<std::string> name() const = 0;
    virtual std::shared_ptr<CameraFolder> parentFolder() const = 0;  // null at the top level
    virtual std::optional<double> creationDate() const = 0;
    virtual std::optional<double> modificationDate() const = 0;
    virtual std::optional<std::string> uti() const = 0;  // the type identifier
    // What kind of item it is; neither for other kinds.
    virtual const CameraFolder* asFolder() const { return nullptr; }
    virtual CameraFile* asFile() { return nullptr; }
};

class CameraFolder : public CameraItem {
public:
    virtual std::optional<std::vector<std::shared_ptr<CameraItem>>> contents() const = 0;
    const CameraFolder* asFolder() const override { return this; }
};

// A download in flight: how far it is, and a way to stop it.
class CameraProgress {
public:
    virtual ~CameraProgress() = default;
    virtual double fractionCompleted() const = 0;
    // Called (on any thread) after each change of the completed fraction.
    virtual void observe(std::function<void(double fraction)> observer) = 0;
    virtual void stopObserving() = 0;
    virtual void cancel() = 0;
};

class CameraFile : public CameraItem {
public:
    struct DownloadOptions {
        std::string directory;  // the folder to save into
        std::string saveAsFilename;
        bool overwrite = false;
        // When set: `directory` must lie under it, reached without following
        // a link (the folder a caller confined the download to).
        std::string within;
        // A scratch copy, which its caller reads once and removes at once:
        // it need not be flushed to disk.
        bool scratch = false;
    };
    // The saved file's name, or the failure (the system's words for it).
    struct DownloadOutcome {
        std::optional<std::string> savedFilename;
        std::optional<Error> error;
    };

    virtual std::int64_t fileSize() const = 0;
    virtual std::int64_t width() const = 0;
    virtual std::int64_t height() const = 0;
    virtual double duration() const = 0;  // seconds; 0 for stills
    // The thumbnail's bytes, or none; the longer edge at most `maxPixelSize`.
    virtual void requestThumbnail(int maxPixelSize,
                                  std::function<void(std::optional<std::vector<std::uint8_t>>)> done) = 0;
    // Null when the service gives no progress object; `done` runs in every case.
    virtual std::shared_ptr<CameraProgress> requestDownload(const DownloadOptions& options,
                                                            std::function<void(DownloadOutcome)> done) = 0;
    // Reads at most `length` bytes of the file from `offset`; `done` gets
    // them (fewer only at its end) or the failure. A device that cannot read
    // part of a file answers Error::Code::badInput, unless the range holds
    // the whole file (from 0, longer than the file), which it may read whole;
    // else a caller downloads the whole file instead.
    virtual void requestReadData(std::int64_t offset, std::int64_t length,
                                 std::function<void(Result<std::vector<std::uint8_t>>)> done) {
        (void)offset, (void)length;
        done(failure(Error{Error::Code::badInput, "This device does not read part of a file."}));
    }
    // Deletes the file from the device; `done` gets the failure, or none. A
    // device that cannot delete says so.
    virtual void requestDelete(std::function<void(std::optional<Error>)> done) {
        done(Error{Error::Code::noPermission, "This device does not delete files."});
    }
    CameraFile* asFile() override { return this; }
};

class CameraDevice;

// Device callbacks, each on the main loop.
class CameraDeviceDelegate {
public:
    virtual ~CameraDeviceDelegate() = default;
    virtual void didOpenSession(CameraDevice& device, std::optional<std::int64_t> errorCode) = 0;
    virtual void didCloseSession(CameraDevice& device) = 0;
    virtual void didEnableAccessRestriction(CameraDevice& device) = 0;
    virtual void didRemoveAccessRestriction(CameraDevice& device) = 0;
    virtual void didBecomeReadyWithCompleteContentCatalog(CameraDevice& device) = 0;
    virtual void didAddItems(CameraDevice& device) = 0;
    virtual void didRemoveItems(CameraDevice& device) = 0;
};

// A device the browser reports; only camera devices are of interest.
class CaptureDevice {
public:
    virtual ~CaptureDevice() = default;
    virtual CameraDevice* asCamera() { return nullptr; }
};

class CameraDevice : public CaptureDevice {
public:
    static constexpr const char* kCanEjectOrDisconnect = "ICDeviceCanEjectOrDisconnect";

    virtual std::optional<std::string> uuidString() const = 0;
    // The object's own hash: stable for its life, the key of a device without a UUID.
    virtual std::uint64_t hash() const = 0;
    virtual std::optional<std::string> name() const = 0;
    virtual std::optional<std::string> productKind() const = 0;
    virtual std::optional<std::string> transportType() const = 0;
    virtual std::optional<std::string> serialNumberString() const = 0;
    virtual std::vector<std::string> capabilities() const = 0;
    virtual std::optional<std::vector<std::shared_ptr<CameraItem>>> mediaFiles() const = 0;
    virtual std::optional<std::vector<std::shared_ptr<CameraItem>>> contents() const = 0;
    virtual void setDelegate(CameraDeviceDelegate* delegate) = 0;
    virtual void requestOpenSession() = 0;
    // `done` gets the system's description of a failure, or none.
    virtual void requestEject(std::function<void(std::optional<Error> error)> done) = 0;
    CameraDevice* asCamera() override { return this; }
};

class DeviceBrowserDelegate {
public:
    virtual ~DeviceBrowserDelegate() = default;
    virtual void didAddDevice(const std::shared_ptr<CaptureDevice>& device) = 0;
    virtual void didRemoveDevice(const std::shared_ptr<CaptureDevice>& device) = 0;
};

class DeviceBrowser {
public:
    static constexpr std::uint32_t kCameraTypeLocal = 0x101;  // camera devices, local only

    virtual ~DeviceBrowser() = default;
    virtual void setDelegate(DeviceBrowserDelegate* delegate) = 0;
    virtual void setBrowsedDeviceTypeMask(std::uint32_t mask) = 0;
    virtual void start() = 0;
};

}  // namespace lumivane
