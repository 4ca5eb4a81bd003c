#include "platform/usbmux/usbmux_client.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/usbmux/usbmux_wire.h"
#include "runtime/socket_io.h"
#include "runtime/testing/temp_folder.h"

using namespace lumivane;
using namespace std::chrono_literals;

namespace {

// A usbmux daemon that answers each connection with a script. Requests are
// recorded ("ListDevices", "Connect 7", "GetValue") in arrival order.
class FakeDaemon {
public:
    using Script = std::function<void(FakeDaemon&, int fd)>;

    explicit FakeDaemon(Script script) : script_(std::move(script)) {
        path_ = folder_ / "usbmuxd";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path_.c_str());
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 16);
        thread_ = std::thread([this] {
            for (;;) {
                int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) return;
                script_(*this, client);
                ::close(client);
            }
        });
    }
    ~FakeDaemon() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    const std::string& path() const { return path_; }

    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    // Reads one usbmux request; answers its tag (0 when the client went away).
    std::uint32_t readRequest(int fd, std::int64_t* deviceId = nullptr) {
        auto frame = usbmux::readFrame(fd);
        if (!frame) return 0;
        Plist request = plist::parse(frame->payload);
        std::uint32_t tag = frame->header.tag;
        std::string entry = plist::string(request.get(), "MessageType").value_or("?");
        if (auto id = plist::integer(request.get(), "DeviceID")) {
            entry += " " + std::to_string(*id);
            if (deviceId) *deviceId = *id;
        }
        record(entry);
        return tag;
    }
    bool readLockdownRequest(int fd) {
        auto body = usbmux::readLockdownFrame(fd);
        if (!body) return false;
        record(plist::string(plist::parse(*body).get(), "Request").value_or("?"));
        return true;
    }

    // A frame whose header may declare a `length` other than its own.
    static void sendFrame(int fd, std::uint32_t tag, const std::string& payload, std::uint32_t length = 0) {
        auto declared = length ? length : std::uint32_t(payload.size() + usbmux::kHeaderLength);
        sendRaw(fd, usbmux::encodeHeader({declared, usbmux::kVersion, usbmux::kPlistMessage, tag}) + payload);
    }
    static void sendLockdown(int fd, const std::string& payload, std::uint32_t length) {
        std::string out(4, '\0');
        writeBig32(out.data(), length);
        sendRaw(fd, out + payload);
    }
    static void sendRaw(int fd, const std::string& bytes) { writeAll(fd, bytes.data(), bytes.size()); }

private:
    void record(std::string entry) {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(entry));
    }

    TempFolder folder_;
    std::string path_;
    int fd_;
    Script script_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

std::string xml(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>";
}

std::string entry(const std::string& properties, const std::string& outerId = "") {
    return "<dict>" + outerId + "<key>Properties</key><dict>" + properties + "</dict></dict>";
}

std::string props(const std::string& serial, const std::string& connection, int id) {
    return "<key>SerialNumber</key><string>" + serial + "</string><key>ConnectionType</key><string>" + connection +
           "</string><key>DeviceID</key><integer>" + std::to_string(id) + "</integer>";
}

std::string deviceList(const std::string& entries) {
    return xml("<dict><key>DeviceList</key><array>" + entries + "</array></dict>");
}

const std::string kResultOk =
    xml("<dict><key>MessageType</key><string>Result</string><key>Number</key><integer>0</integer></dict>");

std::string valuesReply(const std::string& name) {
    return xml("<dict><key>Request</key><string>GetValue</string><key>Value</key><dict><key>DeviceName</key><string>" +
               name +
               "</string><key>DeviceClass</key><string>iPhone</string><key>ProductType</key><string>iPhone16,1</string>"
               "<key>ProductVersion</key><string>18.1</string></dict></dict>");
}

// A daemon that lists `list` and answers every lockdown read with `name`,
// except for device ids in `refuse`.
FakeDaemon::Script daemon(std::string list, std::string name = "Ada", std::vector<std::int64_t> refuse = {}) {
    return [=](FakeDaemon& d, int fd) {
        std::int64_t id = -1;
        auto tag = d.readRequest(fd, &id);
        if (!tag) return;
        if (id < 0) return FakeDaemon::sendFrame(fd, tag, list);
        if (std::find(refuse.begin(), refuse.end(), id) != refuse.end())
            return FakeDaemon::sendFrame(fd, tag, xml("<dict><key>Number</key><integer>3</integer></dict>"));
        FakeDaemon::sendFrame(fd, tag, kResultOk);
        if (!d.readLockdownRequest(fd)) return;
        auto reply = valuesReply(name);
        FakeDaemon::sendLockdown(fd, reply, std::uint32_t(reply.size()));
    };
}

struct Client {
    ManualClock clock;
    UsbmuxClient client;
    explicit Client(const std::string& path, std::chrono::milliseconds timeout = 300ms)
        : client(UsbmuxClient::Options{path, timeout}, clock) {}
};

int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir)) ++count;
    closedir(dir);
    return count;
}

}  // namespace

TEST(UsbmuxClient, DevicesAreMergedBySerialWithSortedLinksAndSkippedWhenUnusable) {
    std::string list = deviceList(
        entry(props("B", "Network", 2)) +                         // first seen: B
        entry(props("A", "USB", 1)) +                             // then A
        entry(props("B", "USB", 3)) +                             // B again over USB
        "<dict><key>DeviceID</key><integer>9</integer></dict>" +  // no Properties
        entry("<key>SerialNumber</key><string>C</string>") +      // no DeviceID anywhere
        entry("<key>SerialNumber</key><string>D</string><key>ConnectionType</key><string>usb</string>",
              "<key>DeviceID</key><integer>4</integer>") +  // id outside, lower-case usb
        entry("<key>ConnectionType</key><string>USB</string><key>DeviceID</key><integer>5</integer>") +  // no serial
        entry("<key>SerialNumber</key><integer>6</integer><key>DeviceID</key><integer>6</integer>"));    // serial not a
                                                                                                         // string
    FakeDaemon fake(daemon(list));
    Client c(fake.path());
    auto devices = c.client.listAppleDevices();
    ASSERT_TRUE(devices);
    auto device = [](const char* udid, std::vector<std::string> links) {
        return UsbmuxClient::AppleDevice{udid, std::move(links), "Ada", "iPhone", "iPhone16,1", "18.1"};
    };
    EXPECT_EQ(*devices, (std::vector{device("B", {"usb", "wifi"}), device("A", {"usb"}), device("D", {"wifi"})}));
    // B was read through its USB identifier (3) before its network one (2).
    auto requests = fake.requests();
    EXPECT_EQ(requests[1], "Connect 3");
}

TEST(UsbmuxClient, AFailedUsbReadFallsBackToTheNetworkLinkAndMissingValuesLeaveUdidAndLinks) {
    std::string list =
        deviceList(entry(props("B", "Network", 2)) + entry(props("B", "USB", 3)) + entry(props("Z", "USB", 8)));
    FakeDaemon fake(daemon(list, "Ada", {3, 8}));
    Client c(fake.path());
    auto devices = c.client.listAppleDevices();
    ASSERT_TRUE(devices);
    ASSERT_EQ(devices->size(), 2u);
    EXPECT_EQ((*devices)[0].name, "Ada");
    EXPECT_EQ((*devices)[1], (UsbmuxClient::AppleDevice{"Z", {"usb"}}));
    EXPECT_EQ(fake.requests(),
              (std::vector<std::string>{"ListDevices", "Connect 3", "Connect 2", "GetValue", "Connect 8"}));
}

TEST(UsbmuxClient, ValuesAreKeptForGoodAndAFailedReadIsRetriedOnlyAfterThirtySeconds) {
    std::string list = deviceList(entry(props("A", "USB", 1)) + entry(props("Z", "USB", 2)));
    FakeDaemon fake(daemon(list, "Ada", {2}));
    Client c(fake.path());
    auto connects = [&] {
        int n = 0;
        for (auto& r : fake.requests()) n += r.rfind("Connect", 0) == 0;
        return n;
    };
    c.client.listAppleDevices();
    EXPECT_EQ(connects(), 2);
    c.clock.advance(29s);
    c.client.listAppleDevices();
    EXPECT_EQ(connects(), 2);  // A is cached, Z is within its 30 seconds
    c.clock.advance(1s);
    c.client.listAppleDevices();
    EXPECT_EQ(connects(), 3);  // only Z is asked again
    EXPECT_EQ(fake.requests().back(), "Connect 2");
}

TEST(UsbmuxClient, ReplyFramesOutsideTheLimitsOrMalformedAreAbsent) {
    std::string good = deviceList("");
    // The list padded with a comment to exactly the largest frame.
    std::size_t at = good.rfind("</plist>"), payload = 16'777'215 - 16;
    std::string largest =
        good.substr(0, at) + "<!--" + std::string(payload - good.size() - 7, 'x') + "-->" + good.substr(at);
    struct Case {
        const char* name;
        FakeDaemon::Script script;
        bool expectList;
        // Sixteen megabytes through a sanitizer on a busy machine can pause
        // longer than the short timeout the other cases keep.
        std::chrono::milliseconds timeout = 300ms;
    } cases[] = {
        {"an empty list", daemon(good), true},
        {"a different tag is still the reply",
         [&](FakeDaemon& d, int fd) {
             d.readRequest(fd);
             FakeDaemon::sendFrame(fd, 999, good);
         },
         true},
        {"a binary property list reply",
         [&](FakeDaemon& d, int fd) {
             auto tag = d.readRequest(fd);
             Plist reply(plist_new_dict());
             plist_dict_set_item(reply.get(), "DeviceList", plist_new_array());
             char* bin = nullptr;
             std::uint32_t n = 0;
             plist_to_bin(reply.get(), &bin, &n);
             FakeDaemon::sendFrame(fd, tag, std::string(bin, n));
             plist_to_bin_free(bin);
         },
         true},
        {"length 16, header only", [&](FakeDaemon& d, int fd) { FakeDaemon::sendFrame(fd, d.readRequest(fd), "", 16); },
         false},
        {"length 16,777,215, the most there is",
         [&](FakeDaemon& d, int fd) { FakeDaemon::sendFrame(fd, d.readRequest(fd), largest); }, true, 10s},
        {"length 16,777,216",
         [&](FakeDaemon& d, int fd) { FakeDaemon::sendFrame(fd, d.readRequest(fd), good, 16'777'216); }, false},
        {"closed mid-frame",
         [&](FakeDaemon& d, int fd) {
             FakeDaemon::sendFrame(fd, d.readRequest(fd), good.substr(0, 20), 16 + good.size());
         },
         false},
        {"closed before replying", [&](FakeDaemon& d, int fd) { d.readRequest(fd); }, false},
        {"a stalled peer",
         [&](FakeDaemon& d, int fd) {
             d.readRequest(fd);
             std::this_thread::sleep_for(600ms);
         },
         false},
        {"not a property list", [&](FakeDaemon& d, int fd) { FakeDaemon::sendFrame(fd, d.readRequest(fd), "hello"); },
         false},
        {"not a dictionary",
         [&](FakeDaemon& d, int fd) { FakeDaemon::sendFrame(fd, d.readRequest(fd), xml("<array/>")); }, false},
        {"DeviceList holds a non-dictionary",
         [&](FakeDaemon& d, int fd) { FakeDaemon::sendFrame(fd, d.readRequest(fd), deviceList("<string>x</string>")); },
         false},
        {"nested deeper than 512",
         [&](FakeDaemon& d, int fd) {
             std::string deep;
             for (int i = 0; i < 600; ++i) deep += "<array>";
             for (int i = 0; i < 600; ++i) deep += "</array>";
             FakeDaemon::sendFrame(fd, d.readRequest(fd), deviceList(deep));
         },
         false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDaemon fake(c.script);
        Client client(fake.path(), c.timeout);
        auto start = std::chrono::steady_clock::now();
        auto devices = client.client.listAppleDevices();
        EXPECT_EQ(devices.has_value(), c.expectList);
        if (!c.expectList) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        }
    }
    Client missing("/tmp/lumivane-no-such-daemon.sock");
    EXPECT_FALSE(missing.client.listAppleDevices());
}

TEST(UsbmuxClient, LockdownReplyLengthLimitsAndNonZeroResult) {
    // A reply of exactly `length` bytes: the values padded with a comment.
    auto sized = [](std::uint32_t length) {
        std::string reply = valuesReply("Ada");
        std::string padded = reply.substr(0, reply.size() - 8) + "<!--" + std::string(length - reply.size() - 7, 'x') +
                             "-->" + reply.substr(reply.size() - 8);
        return padded;
    };
    struct Case {
        const char* name;
        std::function<void(FakeDaemon&, int)> lockdown;
        bool expectName;
    } cases[] = {
        {"length 0", [](FakeDaemon&, int fd) { FakeDaemon::sendLockdown(fd, "", 0); }, false},
        {"length 1,048,575", [&](FakeDaemon&, int fd) { FakeDaemon::sendLockdown(fd, sized(1'048'575), 1'048'575); },
         true},
        {"length 1,048,576", [&](FakeDaemon&, int fd) { FakeDaemon::sendLockdown(fd, sized(1'048'576), 1'048'576); },
         false},
        {"Value not a dictionary",
         [](FakeDaemon&, int fd) {
             auto r = xml("<dict><key>Value</key><string>x</string></dict>");
             FakeDaemon::sendLockdown(fd, r, std::uint32_t(r.size()));
         },
         false},
    };
    std::string list = deviceList(entry(props("A", "USB", 1)));
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDaemon fake([&](FakeDaemon& d, int fd) {
            std::int64_t id = -1;
            auto tag = d.readRequest(fd, &id);
            if (id < 0) return FakeDaemon::sendFrame(fd, tag, list);
            FakeDaemon::sendFrame(fd, tag, kResultOk);
            if (d.readLockdownRequest(fd)) c.lockdown(d, fd);
        });
        Client client(fake.path(), 5s);  // a megabyte through a sanitizer
        auto devices = client.client.listAppleDevices();
        ASSERT_TRUE(devices);
        EXPECT_EQ((*devices)[0].name.has_value(), c.expectName);
    }

    for (const char* number : {"<integer>1</integer>", "<string>0</string>", ""}) {
        SCOPED_TRACE(number);
        FakeDaemon fake([&](FakeDaemon& d, int fd) {
            std::int64_t id = -1;
            auto tag = d.readRequest(fd, &id);
            if (id < 0) return FakeDaemon::sendFrame(fd, tag, list);
            FakeDaemon::sendFrame(fd, tag, xml(std::string("<dict><key>Number</key>") + number + "</dict>"));
            if (d.readLockdownRequest(fd)) FakeDaemon::sendLockdown(fd, valuesReply("Ada"), 400);
        });
        Client client(fake.path());
        auto devices = client.client.listAppleDevices();
        ASSERT_TRUE(devices);
        EXPECT_EQ((*devices)[0].name, std::nullopt);
        EXPECT_EQ(fake.requests().size(), 2u) << "no lockdown request after a failed Connect";
    }
}

TEST(UsbmuxClient, RequestsCarryTheBaseEntriesAndConsecutiveTags) {
    std::mutex mutex;  // the fake's thread writes, the test reads
    std::vector<std::uint32_t> tags;
    std::vector<std::string> bodies;
    FakeDaemon fake([&](FakeDaemon&, int fd) {
        std::lock_guard lock(mutex);
        auto frame = usbmux::readFrame(fd);
        if (!frame) return;
        tags.push_back(frame->header.tag);
        bodies.push_back(frame->payload);
        EXPECT_EQ(frame->header.version, 1u);
        EXPECT_EQ(frame->header.message, 8u);
    });
    Client c(fake.path());
    c.client.listAppleDevices();
    c.client.listAppleDevices();
    std::lock_guard lock(mutex);
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[1], tags[0] + 1);
    EXPECT_EQ(tags[0], 1u);  // the first request of a client carries tag 1
    Plist request = plist::parse(bodies[0]);
    EXPECT_EQ(plist::string(request.get(), "MessageType"), "ListDevices");
    EXPECT_EQ(plist::string(request.get(), "ClientVersionString"), "Lumivane");
    EXPECT_EQ(plist::string(request.get(), "ProgName"), "Lumivane");
    EXPECT_EQ(plist::integer(request.get(), "kLibUSBMuxVersion"), 3);
    EXPECT_NE(bodies[0].find("<?xml"), std::string::npos);
}

TEST(UsbmuxClient, FailingCallsLeakNoDescriptors) {
    std::string list = deviceList(entry(props("A", "USB", 1)));
    int round = 0;
    FakeDaemon fake([&](FakeDaemon& d, int fd) {
        std::int64_t id = -1;
        auto tag = d.readRequest(fd, &id);
        switch (round++ % 4) {
            case 0: return FakeDaemon::sendFrame(fd, tag, "", 16);
            case 1: return FakeDaemon::sendFrame(fd, tag, "garbage");
            case 2: return;  // close without a reply
            default:
                if (id < 0) return FakeDaemon::sendFrame(fd, tag, list);
                FakeDaemon::sendFrame(fd, tag, xml("<dict><key>Number</key><integer>5</integer></dict>"));
        }
    });
    Client c(fake.path());
    Client missing("/tmp/lumivane-no-such-daemon.sock");
    c.client.listAppleDevices();  // warm up anything opened once
    // The fake closes its end of each connection on its own thread: let it.
    std::this_thread::sleep_for(100ms);
    int before = openDescriptors();
    for (int i = 0; i < 300; ++i) {
        c.clock.advance(31s);
        c.client.listAppleDevices();
        missing.client.listAppleDevices();
    }
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (openDescriptors() > before && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_LE(openDescriptors(), before);
}

TEST(UsbmuxClient, SocketPathFollowsTheUsbmuxToolsVariable) {
    struct Env : Environment {
        std::optional<std::string> value;
        std::optional<std::string> variable(const std::string&) const override { return value; }
        std::string homeDirectory() const override { return "/"; }
        std::optional<std::string> bundleIdentifier() const override { return std::nullopt; }
        std::optional<std::string> applicationSupportDirectory() const override { return std::nullopt; }
        std::optional<std::string> picturesDirectory() const override { return std::nullopt; }
    } env;
    EXPECT_EQ(UsbmuxClient::socketPath(env), "/var/run/usbmuxd");
    env.value = "UNIX:/tmp/other.sock";
    EXPECT_EQ(UsbmuxClient::socketPath(env), "/tmp/other.sock");
    env.value = "127.0.0.1:27015";  // only Unix sockets are spoken here
    EXPECT_EQ(UsbmuxClient::socketPath(env, "/sim/usbmuxd"), "/sim/usbmuxd");
}

TEST(UsbmuxClient, TheRealDaemonAnswersAnEmptyList) {
    const char* path = std::getenv("LUMIVANE_REAL_USBMUXD");
    if (!path) GTEST_SKIP() << "no usbmux daemon was started for this run (./lumivane test starts one as root)";
    Client c(path, 2000ms);
    auto devices = c.client.listAppleDevices();
    ASSERT_TRUE(devices);
    EXPECT_TRUE(devices->empty());
}
