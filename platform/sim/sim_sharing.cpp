#include "platform/sim/sim_sharing.h"

#include <fstream>

#include "platform/common/file_url.h"

namespace lumivane {

class SimSharing::Service final : public SharingService, public std::enable_shared_from_this<Service> {
public:
    explicit Service(SimSharing& sharing) : sharing_(sharing) {}
    bool canPerformWithItems(const std::vector<std::string>&) override { return sharing_.canSend(); }
    void setDelegate(SharingServiceDelegate* delegate) override { delegate_ = delegate; }
    void performWithItems(const std::vector<std::string>& items) override {
        items_ = items;
        if (delegate_) delegate_->sourceWindowForShareItems(*this, items_);
        sharing_.performed(shared_from_this(), items);
    }

    void shared(std::size_t count) {
        std::vector<std::string> items;
        for (std::size_t i = 0; i < count && !items_.empty(); ++i) items.push_back(items_[i % items_.size()]);
        if (delegate_) delegate_->didShareItems(*this, items);
    }
    void failed(const SharingError& error) {
        if (delegate_) delegate_->didFailToShareItems(*this, items_, error);
    }
    std::size_t itemCount() const { return items_.size(); }

private:
    SimSharing& sharing_;
    SharingServiceDelegate* delegate_ = nullptr;
    std::vector<std::string> items_;
};

SimSharing::SimSharing() = default;
SimSharing::~SimSharing() = default;

std::shared_ptr<SharingService> SimSharing::serviceNamed(const std::string& name) {
    if (!available_ || name != kSendViaAirDrop) return nullptr;
    return std::make_shared<Service>(*this);
}

Sharing::ObserverId SimSharing::addWindowDidBecomeKeyObserver(std::function<void(const std::string&)> observer) {
    auto id = nextObserver_++;
    observers_.emplace(id, std::move(observer));
    return id;
}

void SimSharing::windowBecomesKey(const std::string& className) {
    auto observers = observers_;  // an observer may remove itself
    for (auto& [id, observer] : observers) observer(className);
}

void SimSharing::performed(std::shared_ptr<Service> service, const std::vector<std::string>& urls) {
    performed_.push_back(std::move(service));
    last_ = Perform{urls, activated_};
    activated_ = false;
}

bool SimSharing::readSharedFile(std::size_t index) {
    if (!last_ || index >= last_->urls.size()) return false;
    std::ifstream file(filePath(last_->urls[index]), std::ios::binary);
    if (!file) return false;
    char buffer[65536];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    }
    return true;
}

std::shared_ptr<SimSharing::Service> SimSharing::performer(std::optional<std::size_t> perform) const {
    if (performed_.empty()) return nullptr;
    auto index = perform.value_or(performed_.size() - 1);
    return index < performed_.size() ? performed_[index] : nullptr;
}

bool SimSharing::reportShared(std::optional<std::size_t> count, std::optional<std::size_t> perform) {
    auto service = performer(perform);
    if (!service) return false;
    service->shared(count.value_or(service->itemCount()));
    return true;
}

bool SimSharing::reportFailed(const SharingError& error, std::optional<std::size_t> perform) {
    auto service = performer(perform);
    if (!service) return false;
    service->failed(error);
    return true;
}

}  // namespace lumivane
