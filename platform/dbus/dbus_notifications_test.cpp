// Notices over a private session bus, to a notification service the test
// plays: what the desktop is sent, an action picked there, and no bus at all.
#include "platform/dbus/dbus_notifications.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/testing/temp_folder.h"

extern char** environ;

namespace lumivane {
namespace {

// A session bus of the test's own (dbus-daemon), for as long as it lives.
struct PrivateBus {
    TempFolder folder;
    std::string address = "unix:path=" + folder.path() + "/bus";
    pid_t daemon = -1;

    PrivateBus() {
        std::ofstream(folder.path() + "/bus.conf")
            << "<busconfig><type>session</type><listen>" << address
            << "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
        std::string config = "--config-file=" + folder.path() + "/bus.conf";
        const char* argv[] = {"dbus-daemon", config.c_str(), "--nofork", "--nopidfile", nullptr};
        posix_spawnp(&daemon, "dbus-daemon", nullptr, nullptr, const_cast<char**>(argv), environ);
    }
    ~PrivateBus() {
        if (daemon <= 0) return;
        ::kill(daemon, SIGTERM);
        ::waitpid(daemon, nullptr, 0);
    }
    // Whether it serves clients, waiting for it to start: the socket file
    // appears before the daemon listens, so only a finished handshake counts.
    bool ready() const {
        for (int i = 0; i < 1000 && daemon > 0; ++i) {
            if (std::filesystem::exists(folder.path() + "/bus") && answers()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    bool answers() const {
        sd_bus* probe = nullptr;
        if (sd_bus_new(&probe) < 0) return false;
        const char* name = nullptr;
        bool ok = sd_bus_set_address(probe, address.c_str()) >= 0 && sd_bus_set_bus_client(probe, 1) >= 0 &&
                  sd_bus_start(probe) >= 0 && sd_bus_get_unique_name(probe, &name) >= 0;
        sd_bus_flush_close_unref(probe);
        return ok;
    }
};

// The desktop's notification service, as org.freedesktop.Notifications
// behaves: Notify answers an id; a picked action is the ActionInvoked
// signal. Served on a thread of its own.
class FakeNotificationService {
public:
    struct Received {
        std::string app, icon, title, body;
        std::vector<std::string> actions;
    };

    explicit FakeNotificationService(const std::string& address) {
        sd_bus_new(&bus_);
        sd_bus_set_address(bus_, address.c_str());
        sd_bus_set_bus_client(bus_, 1);
        started_ = sd_bus_start(bus_);
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                 kTable, this);
        owned_ = sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0);
        thread_ = std::thread([this] {
            while (!stop_) {
                if (sd_bus_process(bus_, nullptr) > 0) continue;
                sd_bus_wait(bus_, 20'000);
                std::vector<std::function<void()>> work;
                {
                    std::lock_guard guard(mutex_);
                    work.swap(work_);
                }
                for (auto& each : work) each();
            }
        });
    }
    ~FakeNotificationService() {
        stop_ = true;
        thread_.join();
        sd_bus_flush_close_unref(bus_);
    }
    // Why the service could not take its name, or empty once it has.
    std::string failure() const {
        if (started_ < 0) return std::string("connecting: ") + std::strerror(-started_);
        if (owned_ < 0) return std::string("taking the name: ") + std::strerror(-owned_);
        return "";
    }
    std::vector<Received> received() {
        std::lock_guard guard(mutex_);
        return received_;
    }
    // The person picks `action` of the notice `id`; also another program's.
    void invoke(std::uint32_t id, const std::string& action) {
        std::lock_guard guard(mutex_);
        work_.push_back([this, id, action] {
            sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked",
                               "us", id, action.c_str());
        });
    }

private:
    static int notify(sd_bus_message* call, void* self, sd_bus_error*) {
        auto& me = *static_cast<FakeNotificationService*>(self);
        const char *app = nullptr, *icon = nullptr, *title = nullptr, *body = nullptr;
        std::uint32_t replaces = 0;
        Received received;
        sd_bus_message_read(call, "susss", &app, &replaces, &icon, &title, &body);
        received.app = app, received.icon = icon, received.title = title, received.body = body;
        sd_bus_message_enter_container(call, 'a', "s");
        const char* action = nullptr;
        while (sd_bus_message_read(call, "s", &action) > 0) received.actions.push_back(action);
        std::uint32_t id;
        {
            std::lock_guard guard(me.mutex_);
            me.received_.push_back(received);
            id = std::uint32_t(me.received_.size()) + 40;
        }
        return sd_bus_reply_method_return(call, "u", id);
    }
    static constexpr sd_bus_vtable kTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };

    sd_bus* bus_ = nullptr;
    int started_ = 0;
    int owned_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Received> received_;
    std::vector<std::function<void()>> work_;
    std::thread thread_;
};

TEST(DbusNotifications, ANoticeReachesTheDesktopAndItsActionComesBackOnce) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ready()) << "dbus-daemon did not start";
    FakeNotificationService desktop(bus.address);
    ASSERT_EQ(desktop.failure(), "");
    MainLoop loop;
    Log log = Log::capturing();
    DbusNotifications notifications(loop, log, bus.address);

    int opened = 0;
    notifications.show({"Imported 212 photos from EOS_DIGITAL · card ejected", "In /home/a/Pictures", "Open folder"},
                       [&] { ++opened; });
    notifications.show({"Without an action", "", ""}, [&] { opened += 100; });
    ASSERT_TRUE(loop.runUntil([&] { return desktop.received().size() == 2; }, std::chrono::seconds(20)));
    auto sent = desktop.received();
    EXPECT_EQ(sent[0].app, "Lumivane");
    EXPECT_EQ(sent[0].icon, "lumivane");
    EXPECT_EQ(sent[0].title, "Imported 212 photos from EOS_DIGITAL · card ejected");
    EXPECT_EQ(sent[0].body, "In /home/a/Pictures");
    EXPECT_EQ(sent[0].actions, (std::vector<std::string>{"default", "Open folder"}));
    EXPECT_TRUE(sent[1].actions.empty());

    // Another program's notice (id 99) is not ours; ours (41) opens once.
    desktop.invoke(99, "default");
    loop.runUntil([] { return false; }, std::chrono::milliseconds(100));
    desktop.invoke(41, "default");
    ASSERT_TRUE(loop.runUntil([&] { return opened > 0; }, std::chrono::seconds(20)));
    desktop.invoke(41, "default");
    desktop.invoke(42, "default");
    loop.runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(opened, 1);
    EXPECT_FALSE(log.contains("notification"));
}

TEST(DbusNotifications, WithoutASessionBusNoticesAreDroppedWithOneLogLine) {
    TempFolder nowhere;
    MainLoop loop;
    Log log = Log::capturing();
    {
        DbusNotifications notifications(loop, log, "unix:path=" + nowhere.path() + "/no-bus");
        notifications.show({"One", "", "Open folder"}, [] {});
        notifications.show({"Two", "", "Open folder"}, [] {});
        ASSERT_TRUE(loop.runUntil([&] { return log.contains("no desktop notifications"); }, std::chrono::seconds(20)));
        DbusNotifications none(loop, log, "");
        none.show({"Three", "", ""}, [] {});
    }
    std::size_t lines = 0;
    for (const auto& line : log.lines()) lines += line.find("no desktop notifications") != std::string::npos;
    EXPECT_EQ(lines, 1u);
}

}  // namespace
}  // namespace lumivane
