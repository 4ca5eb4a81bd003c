// The iPhone channel end to end, the same expectations over both providers:
// the simulated one, and libimobiledevice's against the phone emulator on the
// wire. A difference is a bug in one of the two providers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/usbmux/usbmux_wire.h"
#include "tests/support/host_harness.h"
#include "tools/phone_emulator/phone_emulator.h"

using namespace lumivane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr char kUdid[] = "00008110-0000000000000ADA";

enum class Provider { simulated, libimobiledevice };

// One phone at `root`, attached over USB, reached through a provider.
class Rig {
public:
    virtual ~Rig() = default;
    virtual Host::Options options() { return {}; }
    // The simulated phone is added through the host's controls; the emulated
    // one is on the wire before there is a host (`h` is null then).
    virtual void add(HostHarness* h, const std::string& root, bool trusted, bool refused = false) = 0;
    virtual void trust(HostHarness& h) = 0;
    virtual void latency(HostHarness& h, int milliseconds) = 0;
    virtual void detach(HostHarness& h) = 0;
};

class SimulatedRig final : public Rig {
public:
    void add(HostHarness* h, const std::string& root, bool trusted, bool refused) override {
        control(*h, "phone.add", {{"name", "Ada's iPhone"}, {"root", root}, {"trusted", trusted}});
        if (refused) control(*h, "phone.set", {{"refused", true}});
        control(*h, "phone.attach", {{"link", "usb"}});
    }
    void trust(HostHarness& h) override { control(h, "phone.set", {{"trusted", true}}); }
    void latency(HostHarness& h, int milliseconds) override { control(h, "phone.set", {{"latencyMs", milliseconds}}); }
    void detach(HostHarness& h) override { control(h, "phone.detach", {{"link", "usb"}}); }

private:
    static void control(HostHarness& h, const std::string& method, EncodableMap args) {
        args.set("udid", kUdid);
        ASSERT_TRUE(std::holds_alternative<EncodableValue>(h.call("sim/control", method, args))) << method;
    }
};

class EmulatedRig final : public Rig {
public:
    explicit EmulatedRig(const std::string& folder) : socket_(folder + "/usbmuxd") {
        setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket_).c_str(), 1);
    }
    ~EmulatedRig() override { unsetenv("USBMUXD_SOCKET_ADDRESS"); }
    Host::Options options() override {
        Host::Options options;
        options.bridges.iphone.provider = simulatedProviderPath("liblumivane_imobiledevice.so");
        return options;
    }
    void add(HostHarness*, const std::string& root, bool trusted, bool refused) override {
        emulator_.addPhone(kUdid, root, "Ada's iPhone");
        if (!trusted)
            emulator_.setTrust(
                kUdid, refused ? emulator::PhoneEmulator::Trust::refused : emulator::PhoneEmulator::Trust::pending);
        ASSERT_TRUE(emulator_.start(socket_));
    }
    void trust(HostHarness&) override { emulator_.setTrust(kUdid, emulator::PhoneEmulator::Trust::trusted); }
    void latency(HostHarness&, int milliseconds) override { emulator_.setLatency(kUdid, milliseconds); }
    void detach(HostHarness&) override { emulator_.detach(kUdid); }
    void stop() { emulator_.stop(); }
    void restart() { ASSERT_TRUE(emulator_.start(socket_)); }
    emulator::PhoneEmulator& emulator() { return emulator_; }

private:
    std::string socket_;
    emulator::PhoneEmulator emulator_;
};

struct Providers : ::testing::TestWithParam<Provider> {
    TempFolder folder;
    std::unique_ptr<Rig> rig;
    std::unique_ptr<HostHarness> h;

    void SetUp() override {
        if (GetParam() == Provider::simulated)
            rig = std::make_unique<SimulatedRig>();
        else
            rig = std::make_unique<EmulatedRig>(folder.path());
        fs::create_directories(root() + "/DCIM/100APPLE");
    }
    std::string root() { return folder / "phone"; }
    void file(const std::string& relative, std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = char(i % 253);
        std::ofstream(root() + "/DCIM/" + relative, std::ios::binary) << bytes;
    }
    void start(bool trusted = true, bool refused = false) {
        auto options = rig->options();
        options.bridges.iphone.bridge.linkWait = 300ms;
        if (GetParam() == Provider::libimobiledevice) rig->add(nullptr, root(), trusted, refused);
        h = std::make_unique<HostHarness>(options);
        h->value("lumivane/macos/events", "listen");
        if (GetParam() == Provider::simulated) rig->add(h.get(), root(), trusted, refused);
    }
    EncodableList list() {
        auto value = h->value("lumivane/macos", "iphone.list");
        auto* items = value.get<EncodableList>();
        return items ? *items : EncodableList{};
    }
    bool listedAs(const EncodableMap& entry) {
        return h->loop.runUntil(
            [&] {
                auto l = list();
                return !l.empty() && l[0] == EncodableValue(entry);
            },
            10s);
    }
    MethodResponse call(const std::string& method, EncodableMap args = {}) {
        args.set("udid", kUdid);
        return h->call("lumivane/macos", method, args);
    }
    std::vector<EncodableMap> events(const std::string& type) {
        std::vector<EncodableMap> out;
        for (auto& [channel, event] : h->events) {
            auto* map = std::get<EncodableValue>(event).get<EncodableMap>();
            if (map && map->find("type") && *map->find("type") == EncodableValue(type)) out.push_back(*map);
        }
        return out;
    }
};

const EncodableMap kTrustedEntry{{"udid", kUdid},
                                 {"links", EncodableList{"usb"}},
                                 {"paired", true},
                                 {"name", "Ada's iPhone"},
                                 {"wifiEnabled", true}};

}  // namespace

TEST_P(Providers, AnUntrustedPhoneIsListedUnpairedUntilTrustedThenWithItsNameAndWifi) {
    start(false);
    EXPECT_TRUE(listedAs({{"udid", kUdid}, {"links", EncodableList{"usb"}}, {"paired", false}}));
    rig->trust(*h);
    EXPECT_EQ(h->value("lumivane/macos", "iphone.setAutoWifi"), EncodableValue());  // on, and every phone refreshed
    EXPECT_TRUE(listedAs(kTrustedEntry));
}

TEST_P(Providers, ARefusedPairingIsToldAsRefusedNotAsPending) {
    start(false, true);
    EXPECT_TRUE(listedAs({{"udid", kUdid}, {"links", EncodableList{"usb"}}, {"paired", false}}));
    const std::string asked = "Lumivane iPhone " + std::string(kUdid) + ": pairing asked, ";
    EXPECT_TRUE(h->loop.runUntil([&] { return h->log.contains(asked); }, 10s));
    EXPECT_TRUE(h->log.contains(asked + "kAMDUserDeniedPairingError"));
    EXPECT_FALSE(h->log.contains("PairingDialogResponsePending"));
}

TEST_P(Providers, TheCameraRollIsBrowsedScannedAndScannedAgainTheSame) {
    for (int i = 1; i <= 45; ++i) file("100APPLE/IMG_" + std::to_string(1000 + i) + ".JPG", 1000 + i);
    start();
    ASSERT_TRUE(listedAs(kTrustedEntry));
    auto children = call("iphone.children");
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(children));
    EXPECT_EQ(std::get<EncodableValue>(children),
              EncodableValue(EncodableList{
                  EncodableMap{{"path", "100APPLE"}, {"name", "100APPLE"}, {"dir", true}, {"count", 45}}}));
    auto scan = call("iphone.media");
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(scan));
    auto* media = std::get<EncodableValue>(scan).get<EncodableList>();
    ASSERT_EQ(media->size(), 45u);
    auto& newest = *(*media)[0].get<EncodableMap>();
    EXPECT_EQ(*newest.find("path"), EncodableValue("100APPLE/IMG_1045.JPG"));
    EXPECT_EQ(*newest.find("size"), EncodableValue(1045));
    EXPECT_FALSE(events("iphoneScan").empty());
    EXPECT_EQ(call("iphone.media"), scan);  // warm, from the stat cache
}

TEST_P(Providers, DownloadsCopyWithProgressAndLeaveNothingWhenCancelledOrCutOff) {
    const std::size_t size = 3 * 1048576 + 5;
    file("100APPLE/IMG_0001.MOV", size);
    start();
    ASSERT_TRUE(listedAs(kTrustedEntry));
    fs::create_directories(folder / "out");
    auto target = folder / "out/IMG_0001.MOV";
    auto copied = call("iphone.download", {{"path", "100APPLE/IMG_0001.MOV"}, {"target", target}, {"token", "t1"}});
    ASSERT_TRUE(std::holds_alternative<EncodableValue>(copied));
    EXPECT_EQ(fs::file_size(target), size);
    EXPECT_EQ(std::system(("cmp -s '" + target + "' '" + root() + "/DCIM/100APPLE/IMG_0001.MOV'").c_str()), 0);
    auto progress = events("download");
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(*progress.back().find("done"), EncodableValue(int(size)));
    fs::remove(target);

    // Cancelled, then cut off by a detach, each part-way through.
    rig->latency(*h, 150);
    h->loop.post([this] { call("iphone.cancel", {{"token", "t2"}}); });
    auto cancelled = call("iphone.download", {{"path", "100APPLE/IMG_0001.MOV"}, {"target", target}, {"token", "t2"}});
    ASSERT_TRUE(std::holds_alternative<MethodError>(cancelled));
    EXPECT_EQ(std::get<MethodError>(cancelled).message, "Cancelled");

    std::thread unplug([&] {
        std::this_thread::sleep_for(400ms);
        h->loop.post([this] { rig->detach(*h); });
    });
    auto cut = call("iphone.download", {{"path", "100APPLE/IMG_0001.MOV"}, {"target", target}, {"token", "t3"}});
    unplug.join();
    ASSERT_TRUE(std::holds_alternative<MethodError>(cut));
    EXPECT_EQ(std::get<MethodError>(cut).code, "iphone");
    EXPECT_TRUE(fs::is_empty(folder / "out"));  // no partial file
}

TEST_P(Providers, AVideosDateInItsIndexAtItsEndIsReadWhereItLies) {
    // As some phones and every camera write them: the index after the media.
    auto movie = root() + "/DCIM/100APPLE/IMG_0002.MOV";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i anoisesrc=d=12:r=44100 -c:a pcm_s16le -metadata "
                           "creation_time=2019-05-06T07:08:09Z '" +
                           movie + "'")
                              .c_str()),
              0);
    start();
    ASSERT_TRUE(listedAs(kTrustedEntry));
    auto dates =
        h->value("lumivane/import", "import.dates",
                 EncodableMap{{"source", EncodableMap{{"kind", "iphone"}, {"id", kUdid}}},
                              {"items", EncodableList{EncodableMap{{"path", "100APPLE/IMG_0002.MOV"},
                                                                   {"size", std::int64_t(fs::file_size(movie))}}}}});
    ASSERT_TRUE(dates.get<EncodableList>()) << ::testing::PrintToString(dates);
    EXPECT_EQ(dates.get<EncodableList>()->at(0), EncodableValue(1557126489));  // 2019-05-06 07:08:09 UTC
}

INSTANTIATE_TEST_SUITE_P(BothProviders, Providers, ::testing::Values(Provider::simulated, Provider::libimobiledevice),
                         [](const auto& info) {
                             return info.param == Provider::simulated ? std::string("Simulated")
                                                                      : std::string("Libimobiledevice");
                         });

namespace {

// A usbmux daemon that answers every "Listen" with what no daemon should: a
// result without a message type, then closes. Counts the connections.
class HostileDaemon {
public:
    explicit HostileDaemon(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 16) != 0) return;
        thread_ = std::thread([this] {
            for (;;) {
                int client = ::accept(fd_, nullptr, nullptr);
                if (client < 0) return;
                ++connections;
                if (usbmux::readFrame(client))
                    usbmux::writeFrame(client, 1,
                                       "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                       "<key>Number</key><integer>0</integer></dict></plist>");
                ::close(client);
            }
        });
    }
    ~HostileDaemon() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        if (thread_.joinable()) thread_.join();
        ::unlink(path_.c_str());
    }
    std::atomic<int> connections{0};

private:
    std::string path_;
    int fd_ = -1;
    std::thread thread_;
};

int openDescriptors() { return int(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator())); }

}  // namespace

// Debian's udev rules start the daemon when a phone is plugged in and stop it
// when the last one goes: the host must find phones whenever the daemon is
// there, whatever it did before.
TEST(ImobiledeviceProvider, PhonesFollowTheDaemonThatStartsLateRestartsOrMisbehaves) {
    TempFolder folder;
    EmulatedRig rig(folder.path());
    auto socket = folder / "usbmuxd";
    fs::create_directories(folder / "phone/DCIM/100APPLE");
    Host::Options options = rig.options();
    HostHarness h(options);
    h.value("lumivane/macos/events", "listen");
    auto udids = [&] {
        std::vector<std::string> out;
        auto value = h.value("lumivane/macos", "iphone.list");
        for (const auto& entry : value.get<EncodableList>() ? *value.get<EncodableList>() : EncodableList{})
            out.push_back(*entry.get<EncodableMap>()->find("udid")->get<std::string>());
        return out;
    };
    auto listed = [&](bool present) {
        return h.loop.runUntil(
            [&] { return udids() == (present ? std::vector<std::string>{kUdid} : std::vector<std::string>{}); }, 15s);
    };
    EXPECT_TRUE(udids().empty());  // no daemon yet

    {
        // A daemon that answers nonsense is tried again, ever more slowly,
        // and costs no descriptor per try.
        HostileDaemon hostile(socket);
        h.value("lumivane/import", "import.list");  // the host's own files are open by now
        int before = openDescriptors();
        h.loop.runUntil([&] { return hostile.connections >= 4; }, 10s);
        EXPECT_GE(hostile.connections, 4);
        h.loop.runUntil([] { return false; }, 1s);
        EXPECT_LT(hostile.connections, 12);  // 100, 200, 400, 800 ms apart, not hundreds a second
        EXPECT_LE(openDescriptors(), before + 2);
        EXPECT_TRUE(udids().empty());
    }

    // The daemon starts after the host: the phone is listed.
    rig.add(nullptr, folder / "phone", true, false);
    EXPECT_TRUE(listed(true));
    // It stops (the last phone unplugged): the phone goes.
    rig.stop();
    EXPECT_TRUE(listed(false));
    // It starts again (plugged back in): the phone is back.
    rig.restart();
    EXPECT_TRUE(listed(true));
}

// An import reads its files over a few connections kept from file to file
// (a service start costs a phone tens of milliseconds), each file byte for
// byte. A phone that lets a kept connection go is read over a new one,
// without an item failing for it.
TEST(ImobiledeviceProvider, AnImportKeepsItsConnectionsAndReplacesOnesThePhoneLetGo) {
    TempFolder folder;
    EmulatedRig rig(folder.path());
    constexpr int kFiles = 24;
    for (int i = 0; i < kFiles; ++i) {
        auto path = folder / ("phone/DCIM/100APPLE/IMG_" + std::to_string(1000 + i) + ".JPG");
        fs::create_directories(fs::path(path).parent_path());
        std::string bytes(std::size_t(20'000 + i * 70'000), '\0');  // up to 1.6 MiB: one or two reads
        for (std::size_t b = 0; b < bytes.size(); ++b) bytes[b] = char((b * 7 + std::size_t(i)) % 251);
        std::ofstream(path, std::ios::binary) << bytes;
    }
    rig.add(nullptr, folder / "phone", true, false);
    HostHarness h(rig.options());
    h.value("lumivane/macos/events", "listen");
    ASSERT_TRUE(h.loop.runUntil(
        [&] {
            auto list = h.value("lumivane/macos", "iphone.list");
            return list.get<EncodableList>() && !list.get<EncodableList>()->empty() &&
                   *list.get<EncodableList>()->front().get<EncodableMap>()->find("paired") == EncodableValue(true);
        },
        15s));
    auto run = [&](const std::string& destination) {
        fs::create_directories(destination);
        auto job = h.value("lumivane/import", "import.start",
                           EncodableMap{{"source", EncodableMap{{"kind", "iphone"}, {"id", kUdid}}},
                                        {"destination", destination},
                                        {"onlyNew", false}});
        EXPECT_TRUE(job.get<std::string>()) << ::testing::PrintToString(job);
        EncodableValue status;
        auto state = [&] {
            status = h.value("lumivane/import", "import.status", EncodableMap{{"job", job}});
            auto* map = status.get<EncodableMap>();
            auto* found = map ? map->find("state") : nullptr;
            return found && found->get<std::string>() ? *found->get<std::string>() : std::string("?");
        };
        h.loop.runUntil([&] { return state() != "running"; }, 60s);
        EXPECT_EQ(state(), "done");
        int same = 0;
        for (int i = 0; i < kFiles; ++i) {
            auto name = "IMG_" + std::to_string(1000 + i) + ".JPG";
            std::ifstream a(folder / ("phone/DCIM/100APPLE/" + name), std::ios::binary);
            std::ifstream b(destination + "/" + name, std::ios::binary);
            same += b && std::string(std::istreambuf_iterator<char>(a), {}) ==
                             std::string(std::istreambuf_iterator<char>(b), {});
        }
        return same;
    };
    int before = rig.emulator().afcConnections();
    EXPECT_EQ(run(folder / "kept"), kFiles);
    EXPECT_LE(rig.emulator().afcConnections() - before, kFiles / 3) << "a connection for each file";

    rig.emulator().setDropsConnectionsAfterEachFile(true);
    EXPECT_EQ(run(folder / "let-go"), kFiles);
}
