#include "platform/sim/sim_notifications.h"

#include <utility>

namespace lumivane {

void SimNotifications::show(const Notice& notice, std::function<void()> activated) {
    journal_.add("notification " + notice.title + (notice.body.empty() ? "" : " · " + notice.body));
    notices_.emplace_back(notice, notice.action.empty() ? nullptr : std::move(activated));
}

std::vector<Notifications::Notice> SimNotifications::shown() const {
    std::vector<Notice> notices;
    for (const auto& [notice, activated] : notices_) notices.push_back(notice);
    return notices;
}

bool SimNotifications::activate(std::size_t index) {
    if (index >= notices_.size() || !notices_[index].second) return false;
    auto activated = std::exchange(notices_[index].second, nullptr);
    journal_.add("notification.activate " + notices_[index].first.title);
    activated();
    return true;
}

}  // namespace lumivane
