#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/window_system.h"

namespace lumivane {

// The system's sharing services (AirDrop) and what a send needs of the
// application around them: windows becoming key and activation.
//
// Threads: main loop only; services report to their delegates there.

// A failure as the sharing service reports it.
struct SharingError {
    std::string domain;
    std::int64_t code = 0;
    std::string localizedDescription;
};

class SharingService;

class SharingServiceDelegate {
public:
    virtual ~SharingServiceDelegate() = default;
    // `items` are the file URLs the service says it shared.
    virtual void didShareItems(SharingService& service, const std::vector<std::string>& items) = 0;
    virtual void didFailToShareItems(SharingService& service, const std::vector<std::string>& items,
                                     const SharingError& error) = 0;
    // The window the picker belongs to; may be null.
    virtual AppWindow* sourceWindowForShareItems(SharingService& service, const std::vector<std::string>& items) = 0;
};

class SharingService {
public:
    virtual ~SharingService() = default;
    // Whether it can send these file URLs.
    virtual bool canPerformWithItems(const std::vector<std::string>& items) = 0;
    // The delegate must outlive the service or be cleared (null) first.
    virtual void setDelegate(SharingServiceDelegate* delegate) = 0;
    // Opens the picker for the file URLs; the outcome comes to the delegate.
    virtual void performWithItems(const std::vector<std::string>& items) = 0;
};

class Sharing {
public:
    using ObserverId = std::uint64_t;
    static constexpr const char* kSendViaAirDrop = "com.apple.share.AirDrop.send";

    virtual ~Sharing() = default;
    // The service of that name; null when the system offers none.
    virtual std::shared_ptr<SharingService> serviceNamed(const std::string& name) = 0;
    // Calls `observer` with the class name of every window that becomes key,
    // until removed.
    virtual ObserverId addWindowDidBecomeKeyObserver(std::function<void(const std::string& className)> observer) = 0;
    virtual void removeObserver(ObserverId id) = 0;
    // Brings the application to the front, ignoring other applications.
    virtual void activateIgnoringOtherApps() = 0;
};

// A machine without sharing services (Linux has no AirDrop).
class NoSharing final : public Sharing {
public:
    std::shared_ptr<SharingService> serviceNamed(const std::string&) override { return nullptr; }
    ObserverId addWindowDidBecomeKeyObserver(std::function<void(const std::string&)>) override { return 0; }
    void removeObserver(ObserverId) override {}
    void activateIgnoringOtherApps() override {}
};

}  // namespace lumivane
