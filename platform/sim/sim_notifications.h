#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/common/journal.h"
#include "platform/notifications.h"

namespace lumivane {

// The notification centre: each notice is journaled and kept, and a test or
// the demo picks a notice's action as the person would. Main thread only.
class SimNotifications final : public Notifications {
public:
    explicit SimNotifications(Journal& journal) : journal_(journal) {}
    void show(const Notice& notice, std::function<void()> activated) override;

    // Every notice shown, in order.
    std::vector<Notice> shown() const;
    // Picks the action of the `index`th notice shown; false when it has none
    // (or none is that one, or it was picked before).
    bool activate(std::size_t index);

private:
    Journal& journal_;
    std::vector<std::pair<Notice, std::function<void()>>> notices_;
};

}  // namespace lumivane
