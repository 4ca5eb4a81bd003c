#include "platform/dbus/dbus_notifications.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace lumivane {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kDefaultAction = "default";  // picked by a click on the notice itself

// Frees an sd-bus message at the end of a scope.
struct MessageRef {
    sd_bus_message* message = nullptr;
    ~MessageRef() { sd_bus_message_unref(message); }
};

}  // namespace

DbusNotifications::DbusNotifications(MainLoop& loop, Log& log, std::string address)
    : loop_(loop), log_(log), address_(std::move(address)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

DbusNotifications::~DbusNotifications() {
    {
        MutexLock guard(lock_);
        stopping_ = true;
    }
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        thread_.join();
    }
    lifetime_.end();
    if (wake_ >= 0) ::close(wake_);
}

std::string DbusNotifications::sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return {};
    std::string socket = std::string(runtime) + "/bus";
    return ::access(socket.c_str(), F_OK) == 0 ? "unix:path=" + socket : std::string();
}

void DbusNotifications::show(const Notice& notice, std::function<void()> activated) {
    if (address_.empty() || wake_ < 0) return;
    {
        MutexLock guard(lock_);
        if (asked_.size() >= kMaxKept) asked_.pop_front();  // a desktop that stopped answering
        asked_.push_back({notice, std::move(activated)});
    }
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
}

bool DbusNotifications::connect() {
    int failed = sd_bus_new(&bus_);
    if (failed >= 0) failed = sd_bus_set_address(bus_, address_.c_str());
    if (failed >= 0) failed = sd_bus_set_bus_client(bus_, 1);
    if (failed >= 0) failed = sd_bus_start(bus_);
    if (failed >= 0)
        failed = sd_bus_match_signal(bus_, nullptr, kService, kPath, kService, "ActionInvoked", actionInvoked, this);
    if (failed >= 0)
        failed = sd_bus_match_signal(bus_, nullptr, kService, kPath, kService, "NotificationClosed", closed, this);
    if (failed >= 0) return true;
    log_.write(std::string("Lumivane: no desktop notifications: the session bus cannot be reached (") +
               std::strerror(-failed) + ").");
    bus_ = sd_bus_flush_close_unref(bus_);
    return false;
}

void DbusNotifications::send(Asked asked) {
    MessageRef call;
    int failed = sd_bus_message_new_method_call(bus_, &call.message, kService, kPath, kService, "Notify");
    if (failed >= 0)
        failed = sd_bus_message_append(call.message, "susss", "Lumivane", std::uint32_t{0}, "lumivane",
                                       asked.notice.title.c_str(), asked.notice.body.c_str());
    if (failed >= 0) failed = sd_bus_message_open_container(call.message, 'a', "s");
    if (failed >= 0 && !asked.notice.action.empty())
        failed = sd_bus_message_append(call.message, "ss", kDefaultAction, asked.notice.action.c_str());
    if (failed >= 0) failed = sd_bus_message_close_container(call.message);
    if (failed >= 0) failed = sd_bus_message_append(call.message, "a{sv}i", 0, std::int32_t{-1});
    if (failed >= 0) failed = sd_bus_call_async(bus_, nullptr, call.message, replied, this, 0);
    std::uint64_t cookie = 0;
    if (failed >= 0) failed = sd_bus_message_get_cookie(call.message, &cookie);
    if (failed < 0) {
        log_.write(std::string("Lumivane: a desktop notification was not sent (") + std::strerror(-failed) + ").");
        return;
    }
    if (!asked.notice.action.empty()) calls_[cookie] = std::move(asked.activated);
}

int DbusNotifications::replied(sd_bus_message* reply, void* self, sd_bus_error*) {
    auto& me = *static_cast<DbusNotifications*>(self);
    std::uint64_t cookie = 0;
    if (sd_bus_message_get_reply_cookie(reply, &cookie) < 0) return 0;
    auto waiting = me.calls_.extract(cookie);
    std::uint32_t id = 0;
    if (waiting.empty() || sd_bus_message_is_method_error(reply, nullptr) || sd_bus_message_read(reply, "u", &id) < 0)
        return 0;
    if (me.actions_.size() >= kMaxKept) me.actions_.erase(me.actions_.begin());  // ids grow: the oldest
    me.actions_[id] = std::move(waiting.mapped());
    return 0;
}

int DbusNotifications::actionInvoked(sd_bus_message* signal, void* self, sd_bus_error*) {
    auto& me = *static_cast<DbusNotifications*>(self);
    std::uint32_t id = 0;
    const char* key = nullptr;
    if (sd_bus_message_read(signal, "us", &id, &key) < 0) return 0;
    auto found = me.actions_.extract(id);
    if (found.empty()) return 0;  // another program's notice, or one picked before
    me.loop_.post(me.lifetime_.guard(std::move(found.mapped())));
    return 0;
}

int DbusNotifications::closed(sd_bus_message* signal, void* self, sd_bus_error*) {
    auto& me = *static_cast<DbusNotifications*>(self);
    std::uint32_t id = 0, reason = 0;
    if (sd_bus_message_read(signal, "uu", &id, &reason) >= 0) me.actions_.erase(id);
    return 0;
}

void DbusNotifications::run() {
    bool connected = connect();
    for (;;) {
        std::deque<Asked> asked;
        {
            MutexLock guard(lock_);
            if (stopping_) break;
            asked.swap(asked_);
        }
        if (connected)
            for (auto& each : asked) send(std::move(each));
        while (connected) {
            int processed = sd_bus_process(bus_, nullptr);
            if (processed < 0) {
                log_.write(std::string("Lumivane: the session bus went away (") + std::strerror(-processed) + ").");
                bus_ = sd_bus_flush_close_unref(bus_);
                connected = false;
                calls_.clear(), actions_.clear();
            }
            if (processed <= 0) break;
        }
        std::vector<pollfd> fds{{wake_, POLLIN, 0}};
        int timeout = -1;
        if (connected) {
            fds.push_back({sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0});
            std::uint64_t until = 0;
            if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
                timespec now{};
                ::clock_gettime(CLOCK_MONOTONIC, &now);
                std::uint64_t nowUs = std::uint64_t(now.tv_sec) * 1'000'000 + std::uint64_t(now.tv_nsec) / 1000;
                timeout = until <= nowUs ? 0 : int(std::min<std::uint64_t>((until - nowUs + 999) / 1000, 60'000));
            }
        }
        ::poll(fds.data(), fds.size(), timeout);
        std::uint64_t count = 0;
        (void)!::read(wake_, &count, sizeof count);
    }
    if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
}

}  // namespace lumivane
