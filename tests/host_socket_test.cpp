// The host process end to end: real frames over its Unix socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "runtime/testing/raw_connect.h"
#include "runtime/testing/temp_folder.h"
#include "tests/host_process.h"
#include "tools/transport/host_client.h"

using namespace lumivane;
using namespace std::chrono_literals;

namespace {

bool closedByPeer(int fd) {
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    char byte;
    return ::read(fd, &byte, 1) == 0;
}

void expectPong(const std::string& socket) {
    HostClient client;
    ASSERT_TRUE(client.connect(socket));
    auto response = client.call("sim/control", "ping");
    ASSERT_TRUE(response);
    EXPECT_EQ(std::get<EncodableValue>(*response), EncodableValue("pong"));
}

}  // namespace

TEST(HostSocket, AnswersCallsAndNotImplementedAsNull) {
    HostProcess host;
    HostClient client;
    ASSERT_TRUE(client.connect(host.socketPath()));
    auto pong = client.call("sim/control", "ping");
    ASSERT_TRUE(pong);
    EXPECT_EQ(std::get<EncodableValue>(*pong), EncodableValue("pong"));
    auto unknown = client.call("lumivane/macos", "no.such.method");
    ASSERT_TRUE(unknown);
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(*unknown));
    auto noChannel = client.call("no/such/channel", "x");
    ASSERT_TRUE(noChannel);
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(*noChannel));
}

TEST(HostSocket, ASecondHostOverTheSameDataFolderExitsAndTheFirstGoesOn) {
    TempFolder home;
    HostProcess first({"--home", home.path()});
    expectPong(first.socketPath());
    HostProcess second({"--home", home.path()});
    EXPECT_EQ(second.waitForExit(60s), 2);
    expectPong(first.socketPath());
    // The lock names where the folder is served, which the second host said.
    std::string lock;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path()))
        if (entry.path().filename() == "host.lock") lock = entry.path();
    ASSERT_FALSE(lock.empty());
    std::ifstream in(lock);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), first.socketPath());
    // Once the first has gone, the folder is free for the next.
    EXPECT_EQ(first.stop(), 0);
    HostProcess third({"--home", home.path()});
    expectPong(third.socketPath());
}

TEST(HostSocket, ABurstOfTwoHundredClientsWaitsToBeAcceptedAndNoneIsRefused) {
    HostProcess host;
    expectPong(host.socketPath());
    // While the host is stopped nothing is accepted: every connection waits
    // in the listening queue, which must hold the whole burst.
    ASSERT_EQ(::kill(host.pid(), SIGSTOP), 0);
    std::vector<int> clients;
    int refused = 0;
    for (int i = 0; i < 200; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, host.socketPath().c_str(), sizeof(address.sun_path) - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) ++refused;
        clients.push_back(fd);
    }
    ::kill(host.pid(), SIGCONT);
    EXPECT_EQ(refused, 0);
    for (int fd : clients) ::close(fd);
    expectPong(host.socketPath());
}

TEST(HostSocket, MalformedAndOversizedFramesCloseOnlyThatConnection) {
    HostProcess host;
    HostClient first;
    ASSERT_TRUE(first.connect(host.socketPath()));  // waits for the host to listen
    first.close();

    struct Case {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"body is not a codec value", {3, 0, 0, 0, 0x0f, 0x0f, 0x0f}},
        {"body is not a list of four", {5, 0, 0, 0, 0x03, 1, 0, 0, 0}},
        {"frame over 64 MiB", {0x01, 0x00, 0x00, 0x04}},
        {"undecodable method call inside a good frame",
         Frame{Frame::kMessage, 1, "lumivane/macos", Bytes{0x07, 0x40}}.encode()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fd = rawConnect(host.socketPath());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(writeAll(fd, c.bytes.data(), c.bytes.size()));
        if (std::string(c.name).rfind("undecodable method call", 0) == 0) {
            // The frame itself is fine: the call gets an empty reply and the
            // connection stays open.
            auto reply = readFrame(fd);
            ASSERT_TRUE(reply) << reply.error().message;
            EXPECT_EQ(reply->kind, Frame::kReply);
            EXPECT_TRUE(reply->payload.empty());
        } else {
            EXPECT_TRUE(closedByPeer(fd));
        }
        ::close(fd);
        EXPECT_TRUE(host.running());
        expectPong(host.socketPath());
    }
}

TEST(HostSocket, AClientIsServedWhileAnotherStaysConnectedWithHalfAFrame) {
    HostProcess host;
    HostClient first;
    ASSERT_TRUE(first.connect(host.socketPath()));
    auto request =
        Frame{Frame::kMessage, 9, "sim/control", StandardMethodCodec::encodeMethodCall({"ping", EncodableValue()})}
            .encode();
    ASSERT_TRUE(writeAll(first.fd(), request.data(), request.size() - 2));  // and it waits

    int second = rawConnect(host.socketPath());
    ASSERT_GE(second, 0);
    ASSERT_TRUE(writeAll(second, request.data(), request.size()));
    timeval timeout{5, 0};
    setsockopt(second, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    auto reply = readFrame(second);
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(reply->id, 9);
    auto response = StandardMethodCodec::decodeEnvelope(reply->payload.data(), reply->payload.size());
    EXPECT_EQ(std::get<EncodableValue>(*response), EncodableValue("pong"));
    ::close(second);
}

TEST(HostSocket, SigtermEndsTheHostWithinTwoSecondsWhateverIsQueued) {
    HostProcess host;
    auto root = host.folder() + "/phone";
    std::filesystem::create_directories(root + "/DCIM/100APPLE");
    for (int i = 0; i < 200; ++i)
        std::ofstream(root + "/DCIM/100APPLE/IMG_" + std::to_string(1000 + i) + ".JPG") << "x";
    std::ofstream(root + "/DCIM/100APPLE/IMG_0001.MOV").close();
    std::filesystem::resize_file(root + "/DCIM/100APPLE/IMG_0001.MOV", 256 << 20);
    HostClient client;
    ASSERT_TRUE(client.connect(host.socketPath()));
    ASSERT_TRUE(client.call("sim/control", "phone.add", EncodableMap{{"udid", "P"}, {"root", root}}));
    ASSERT_TRUE(client.call("sim/control", "phone.attach", EncodableMap{{"udid", "P"}, {"link", "usb"}}));
    ASSERT_TRUE(client.call("sim/control", "phone.set", EncodableMap{{"udid", "P"}, {"latencyMs", 5}}));
    // A download in flight, and a thousand scans queued behind a slow phone.
    ASSERT_TRUE(client.post("lumivane/macos", "iphone.download",
                            EncodableMap{{"udid", "P"},
                                         {"path", "100APPLE/IMG_0001.MOV"},
                                         {"target", host.folder() + "/IMG_0001.MOV"},
                                         {"token", "t"}}));
    // Sent from a thread of its own: the host stops reading a client with
    // that many calls unanswered, so the sends may block until it goes.
    std::thread sender([&] {
        for (int i = 0; i < 1000; ++i)
            if (!client.post("lumivane/macos", "iphone.media", EncodableMap{{"udid", "P"}})) return;
    });
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(host.running());

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host.stop(), 0) << "a sanitizer report ends the host with another status";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    sender.join();
    EXPECT_FALSE(std::filesystem::exists(host.folder() + "/IMG_0001.MOV"));  // the download never completed
}

TEST(HostSocket, StopsCleanlyOnSigterm) {
    HostProcess host;
    HostClient client;
    ASSERT_TRUE(client.connect(host.socketPath()));
    client.close();
    EXPECT_EQ(host.stop(), 0);
}

TEST(HostSocket, ClosingTheWindowAnswersThenQuitsTheHost) {
    HostProcess host;
    HostClient client;
    ASSERT_TRUE(client.connect(host.socketPath()));
    auto response = client.call("sim/control", "window.close");
    ASSERT_TRUE(response);
    EXPECT_EQ(std::get<EncodableValue>(*response), EncodableValue());
    for (int i = 0; i < 250 && host.running(); ++i) usleep(20000);
    EXPECT_FALSE(host.running());
}

TEST(HostSocket, AClientThatLeavesStopsListening) {
    HostProcess host;
    auto root = host.folder() + "/phone";
    std::filesystem::create_directories(root + "/DCIM");
    {
        HostClient first;
        ASSERT_TRUE(first.connect(host.socketPath()));
        ASSERT_TRUE(first.call("lumivane/macos/events", "listen"));
        auto added = first.call("sim/control", "phone.add", EncodableMap{{"udid", "P"}, {"root", root}});
        ASSERT_TRUE(added && std::holds_alternative<EncodableValue>(*added));
        first.call("sim/control", "phone.attach", EncodableMap{{"udid", "P"}, {"link", "wifi"}});
        auto event = first.nextEvent(std::chrono::seconds(5));
        ASSERT_TRUE(event) << "a listening client hears the attach";
    }
    // A new client that never listened hears nothing, however the phones change.
    HostClient second;
    ASSERT_TRUE(second.connect(host.socketPath()));
    second.call("sim/control", "phone.detach", EncodableMap{{"udid", "P"}, {"link", "wifi"}});
    EXPECT_FALSE(second.nextEvent(std::chrono::milliseconds(500)));
    ASSERT_TRUE(second.call("lumivane/macos/events", "listen"));
    second.call("sim/control", "phone.attach", EncodableMap{{"udid", "P"}, {"link", "wifi"}});
    EXPECT_TRUE(second.nextEvent(std::chrono::seconds(5)));
}
