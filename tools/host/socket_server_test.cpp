#include "tools/host/socket_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "channel/event_channel.h"
#include "channel/method_channel.h"
#include "runtime/testing/raw_connect.h"
#include "runtime/testing/temp_folder.h"
#include "tools/transport/host_client.h"

using namespace lumivane;
using namespace std::chrono_literals;

namespace {

// Counts the listens and cancels its stream sees.
class CountingStream : public StreamHandler {
public:
    std::optional<MethodError> onListen(const EncodableValue&, std::unique_ptr<EventSink> sink) override {
        ++listens;
        sink_ = std::move(sink);
        return std::nullopt;
    }
    std::optional<MethodError> onCancel(const EncodableValue&) override {
        ++cancels;
        sink_.reset();
        return std::nullopt;
    }
    void send(const EncodableValue& event) {
        if (sink_) sink_->success(event);
    }
    std::atomic<int> listens{0}, cancels{0};

private:
    std::unique_ptr<EventSink> sink_;
};

// A server on its own main loop thread, with "test/calls" ("ping", and "big":
// 16 KiB of bytes) and the event channel "test/events".
struct Server {
    explicit Server(SocketServer::Limits limits = {}) : server(loop, messenger, log, limits) {
        calls.setMethodCallHandler([this](const MethodCall& call, MethodResult result) {
            ++handled;
            if (call.method == "big") return result.success(Bytes(16 << 10, 7));
            result.success("pong");
        });
        events.setStreamHandler(stream);
        EXPECT_TRUE(server.start(path));
        thread = std::thread([this] { loop.run(); });
    }
    ~Server() {
        loop.quit();
        thread.join();
        server.stop();
    }
    // Runs `work` on the main loop and waits for it.
    void onLoop(std::function<void()> work) {
        std::atomic<bool> done{false};
        loop.post([&] {
            work();
            done = true;
        });
        while (!done) std::this_thread::sleep_for(1ms);
    }

    TempFolder folder;
    std::string path = folder / "host.sock";
    Log log = Log::capturing();
    MainLoop loop;
    HostMessenger messenger;
    MethodChannel calls{messenger, "test/calls", log};
    EventChannel events{messenger, "test/events", log};
    std::shared_ptr<CountingStream> stream = std::make_shared<CountingStream>();
    std::atomic<int> handled{0};
    SocketServer server;
    std::thread thread;
};

Bytes call(std::int64_t id, const std::string& channel, const std::string& method) {
    return Frame{Frame::kMessage, id, channel, StandardMethodCodec::encodeMethodCall({method, EncodableValue()})}
        .encode();
}

bool closedByPeer(int fd) {
    char byte;
    return ::read(fd, &byte, 1) == 0;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

}  // namespace

TEST(SocketServer, ServesSeveralClientsAtOnceAndTimesOutAHalfSentFrame) {
    SocketServer::Limits limits;
    limits.partialFrameTimeout = 300ms;
    Server s(limits);
    int stalled = rawConnect(s.path);
    auto half = call(1, "test/calls", "ping");
    ASSERT_TRUE(writeAll(stalled, half.data(), half.size() - 3));  // and nothing more

    // Others are served meanwhile, each answered on its own connection.
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            HostClient client;
            ASSERT_TRUE(client.connect(s.path));
            for (int n = 0; n < 20; ++n) {
                auto response = client.call("test/calls", "ping");
                ASSERT_TRUE(response);
                EXPECT_EQ(std::get<EncodableValue>(*response), EncodableValue("pong"));
                ++answered;
            }
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(answered, 80);

    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(closedByPeer(stalled));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(s.log.contains("a frame was left half-sent"));
    ::close(stalled);
}

TEST(SocketServer, EventsReachEveryListenerAndTheStreamOpensOnceAndClosesWithTheLast) {
    Server s;
    HostClient first, second, bystander;
    ASSERT_TRUE(first.connect(s.path) && second.connect(s.path) && bystander.connect(s.path));
    ASSERT_TRUE(first.call("test/events", "listen"));
    ASSERT_TRUE(second.call("test/events", "listen"));
    EXPECT_EQ(s.stream->listens, 1);

    s.onLoop([&] { s.stream->send(EncodableValue("one")); });
    for (auto* client : {&first, &second}) {
        auto event = client->nextEvent(2s);
        ASSERT_TRUE(event);
        EXPECT_EQ(event->first, "test/events");
        EXPECT_EQ(std::get<EncodableValue>(event->second), EncodableValue("one"));
    }
    EXPECT_FALSE(bystander.nextEvent(200ms));  // it never listened

    ASSERT_TRUE(first.call("test/events", "cancel"));
    EXPECT_EQ(s.stream->cancels, 0);  // the second still listens
    s.onLoop([&] { s.stream->send(EncodableValue("two")); });
    EXPECT_TRUE(second.nextEvent(2s));
    EXPECT_FALSE(first.nextEvent(200ms));

    second.close();  // the last listener leaves
    for (int i = 0; i < 200 && s.stream->cancels == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(s.stream->cancels, 1);
    ASSERT_TRUE(bystander.call("test/events", "listen"));  // a new first listener opens it again
    EXPECT_EQ(s.stream->listens, 2);
}

TEST(SocketServer, AClientThatStopsReadingIsNotReadEitherUntilItCatchesUp) {
    SocketServer::Limits limits;
    limits.pauseUnsentBytes = 64 << 10;
    limits.pauseUnanswered = 16;
    Server s(limits);
    int fd = rawConnect(s.path);
    int small = 16 << 10;  // the smallest send buffer, so that unread answers stay in the host
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    constexpr int kCalls = 400;  // 6.4 MiB of answers
    std::thread sender([&] {
        for (int i = 1; i <= kCalls; ++i) {
            auto bytes = call(i, "test/calls", "big");
            if (!writeAll(fd, bytes.data(), bytes.size())) return;
        }
    });
    std::this_thread::sleep_for(500ms);
    int handledWhileNotReading = s.handled;
    // What the bounds let through, and what the kernel's buffers hold.
    EXPECT_LT(handledWhileNotReading, 64) << "answers pile up in the host";

    for (int i = 1; i <= kCalls; ++i) {  // now it reads: every call is answered, in order
        auto reply = readFrame(fd);
        ASSERT_TRUE(reply) << reply.error().message << " at " << i;
        EXPECT_EQ(reply->id, i);
    }
    sender.join();
    EXPECT_EQ(s.handled, kCalls);
    ::close(fd);
}

TEST(SocketServer, HostileFramesCloseOnlyTheirConnectionAndCostOnlyWhatArrives) {
    Server s;
    struct Case {
        const char* name;
        Bytes bytes;
        const char* line;
    } cases[] = {
        {"a channel name that is not UTF-8", Frame{Frame::kMessage, 1, "test/\xff", Bytes{1}}.encode(),
         "bad frame channel"},
        {"a frame over 64 MiB", {0x01, 0x00, 0x00, 0x04}, "over the limit"},
        {"a body that is no codec value", {3, 0, 0, 0, 0x0f, 0x0f, 0x0f}, "undecodable frame"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fd = rawConnect(s.path);
        ASSERT_TRUE(writeAll(fd, c.bytes.data(), c.bytes.size()));
        EXPECT_TRUE(closedByPeer(fd));
        EXPECT_TRUE(s.log.contains(c.line));
        ::close(fd);
    }

    // Sixteen clients each declare a 64 MiB frame and send four bytes of it.
    long before = residentKiB();
    std::vector<int> declared;
    for (int i = 0; i < 16; ++i) {
        int fd = rawConnect(s.path);
        Bytes start{0x00, 0x00, 0x00, 0x04, 0x0c, 0x04, 0x03, 0x00};
        ASSERT_TRUE(writeAll(fd, start.data(), start.size()));
        declared.push_back(fd);
    }
    HostClient client;  // served all the same
    ASSERT_TRUE(client.connect(s.path));
    ASSERT_TRUE(client.call("test/calls", "ping"));
    EXPECT_LT(residentKiB() - before, 64 << 10) << "a declared length was allocated up front";
    for (int fd : declared) ::close(fd);
}
