#pragma once
// A sharing service as a test sets it: whether it exists and can send, and
// what it was asked to perform; the activations of the application.
#include <memory>
#include <vector>

#include "platform/sharing.h"

namespace lumivane {

class FakeSharing final : public Sharing {
public:
    class Service final : public SharingService {
    public:
        bool canPerformWithItems(const std::vector<std::string>&) override { return canPerform; }
        void setDelegate(SharingServiceDelegate* delegate) override { this->delegate = delegate; }
        void performWithItems(const std::vector<std::string>& items) override { performed.push_back(items); }
        bool canPerform = true;
        SharingServiceDelegate* delegate = nullptr;
        std::vector<std::vector<std::string>> performed;  // the file URLs of every perform
    };

    std::shared_ptr<SharingService> serviceNamed(const std::string& name) override {
        return available && name == kSendViaAirDrop ? service : nullptr;
    }
    ObserverId addWindowDidBecomeKeyObserver(std::function<void(const std::string&)>) override { return ++observers; }
    void removeObserver(ObserverId) override {}
    void activateIgnoringOtherApps() override { ++activations; }

    bool available = true;  // whether the system offers AirDrop
    std::shared_ptr<Service> service = std::make_shared<Service>();
    ObserverId observers = 0;
    int activations = 0;
};

}  // namespace lumivane
