#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sharing.h"

namespace lumivane {

// The simulated Mac's AirDrop, driven by hand: whether it is offered and can
// send, the picker's window becoming key, the receiving side reading a file,
// and the service's report of the outcome. Main loop only.
class SimSharing final : public Sharing {
public:
    class Service;
    struct Perform {
        std::vector<std::string> urls;
        bool activated = false;  // the application was brought to the front before it
    };

    SimSharing();
    ~SimSharing() override;

    void setAvailable(bool on) { available_ = on; }
    void setCanSend(bool on) { canSend_ = on; }
    // A window of that class becomes key.
    void windowBecomesKey(const std::string& className);
    // Reads the whole of the last perform's file at `index`, as the receiving
    // side would; false when there is no such file or it cannot be read.
    bool readSharedFile(std::size_t index);
    // The service of a perform (`perform`: its number from 0; default the
    // last) reports `count` items shared (default: as many as it was given),
    // or a failure; false without such a perform.
    bool reportShared(std::optional<std::size_t> count, std::optional<std::size_t> perform = std::nullopt);
    bool reportFailed(const SharingError& error, std::optional<std::size_t> perform = std::nullopt);
    const std::optional<Perform>& lastPerform() const { return last_; }

    std::shared_ptr<SharingService> serviceNamed(const std::string& name) override;
    ObserverId addWindowDidBecomeKeyObserver(std::function<void(const std::string&)> observer) override;
    void removeObserver(ObserverId id) override { observers_.erase(id); }
    void activateIgnoringOtherApps() override { activated_ = true; }

    // For the service.
    void performed(std::shared_ptr<Service> service, const std::vector<std::string>& urls);
    bool canSend() const { return canSend_; }

private:
    bool available_ = true, canSend_ = true, activated_ = false;
    std::map<ObserverId, std::function<void(const std::string&)>> observers_;
    ObserverId nextObserver_ = 1;
    std::vector<std::shared_ptr<Service>> performed_;  // the service of each perform, in order
    std::shared_ptr<Service> performer(std::optional<std::size_t> perform) const;
    std::optional<Perform> last_;
};

}  // namespace lumivane
