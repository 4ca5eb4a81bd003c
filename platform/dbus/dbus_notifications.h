#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include <systemd/sd-bus.h>

#include "platform/notifications.h"
#include "runtime/lifetime.h"
#include "runtime/log.h"
#include "runtime/main_loop.h"
#include "runtime/mutex.h"

namespace lumivane {

// Notices through the desktop's notification service
// (org.freedesktop.Notifications on the session bus), over sd-bus. The bus is
// reached on a thread of its own at the first notice, so a slow or missing
// bus never holds the main loop; without one, notices are dropped with one
// log line.
//
// Threads: show() on the main loop; the bus, `calls_` and `actions_` belong
// to `thread_`. `lock_` guards `asked_` and `stopping_`. Actions come back
// to the main loop through `lifetime_`, the last member.
class DbusNotifications final : public Notifications {
public:
    // `address` is the session bus's, as DBUS_SESSION_BUS_ADDRESS gives it;
    // empty: there is none.
    DbusNotifications(MainLoop& loop, Log& log, std::string address);
    ~DbusNotifications() override;
    DbusNotifications(const DbusNotifications&) = delete;
    DbusNotifications& operator=(const DbusNotifications&) = delete;

    void show(const Notice& notice, std::function<void()> activated) override;

    // The session bus this user's processes are told of: the environment's
    // DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus where it exists.
    static std::string sessionBusAddress();
    // Most notices whose action may still be picked; the oldest goes first.
    static constexpr std::size_t kMaxKept = 64;

private:
    struct Asked {
        Notice notice;
        std::function<void()> activated;
    };
    void run();
    bool connect();
    void send(Asked asked);
    static int replied(sd_bus_message* reply, void* self, sd_bus_error* error);
    static int actionInvoked(sd_bus_message* signal, void* self, sd_bus_error* error);
    static int closed(sd_bus_message* signal, void* self, sd_bus_error* error);

    MainLoop& loop_;
    Log& log_;
    const std::string address_;
    int wake_ = -1;  // an eventfd: new notices, or stopping
    Mutex lock_;
    std::deque<Asked> asked_ LUMIVANE_GUARDED_BY(lock_);
    bool stopping_ LUMIVANE_GUARDED_BY(lock_) = false;
    sd_bus* bus_ = nullptr;
    std::map<std::uint64_t, std::function<void()>> calls_;    // by the Notify call's cookie
    std::map<std::uint32_t, std::function<void()>> actions_;  // by the notice's id
    std::thread thread_;
    Lifetime lifetime_;
};

}  // namespace lumivane
