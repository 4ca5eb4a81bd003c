#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "channel/event_channel.h"
#include "channel/method_channel.h"

using namespace lumivane;

namespace {

struct Sent {
    std::string channel;
    Bytes message;
};

// A messenger with a recording outbound side, and replies collected per call.
struct Harness {
    Log log = Log::capturing();
    HostMessenger messenger;
    std::vector<Sent> sent;
    Harness() {
        messenger.setOutbound([this](const std::string& channel, Bytes message) {
            sent.push_back({channel, std::move(message)});
        });
    }
    std::vector<Bytes> call(const std::string& channel, const std::string& method,
                            const EncodableValue& args = EncodableValue()) {
        return raw(channel, StandardMethodCodec::encodeMethodCall(MethodCall{method, args}));
    }
    std::vector<Bytes> raw(const std::string& channel, const Bytes& message) {
        std::vector<Bytes> replies;
        messenger.deliver(channel, message, [&](Bytes reply) { replies.push_back(std::move(reply)); });
        return replies;
    }
};

MethodResponse decode(const Bytes& reply) { return *StandardMethodCodec::decodeEnvelope(reply.data(), reply.size()); }

class RecordingHandler : public StreamHandler {
public:
    std::optional<MethodError> onListen(const EncodableValue&, std::unique_ptr<EventSink> sink) override {
        ++listens;
        this->sink = std::move(sink);
        return std::nullopt;
    }
    std::optional<MethodError> onCancel(const EncodableValue&) override {
        ++cancels;
        sink.reset();
        return MethodError{"nope", "refused", EncodableValue()};
    }
    std::unique_ptr<EventSink> sink;
    int listens = 0, cancels = 0;
};

}  // namespace

TEST(MethodChannel, AnswersReachTheCallerOnceAndUnknownChannelsGetAnEmptyReply) {
    Harness h;
    MethodChannel channel(h.messenger, "lumivane/test", h.log);
    std::vector<MethodResult> later;
    channel.setMethodCallHandler([&](const MethodCall& call, MethodResult result) {
        if (call.method == "now")
            result.success(EncodableValue(call.arguments));
        else if (call.method == "fail")
            result.error("args", "Bad request.");
        else if (call.method == "later")
            later.push_back(std::move(result));
        else
            result.notImplemented();
    });

    auto now = h.call("lumivane/test", "now", 5);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(std::get<EncodableValue>(decode(now[0])), EncodableValue(5));
    auto fail = h.call("lumivane/test", "fail");
    EXPECT_EQ(std::get<MethodError>(decode(fail[0])), (MethodError{"args", "Bad request.", EncodableValue()}));
    auto unknown = h.call("lumivane/test", "other");
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_TRUE(unknown[0].empty());
    EXPECT_TRUE(h.call("nobody/listens", "x")[0].empty());

    // An answer given later, after the handler returned, still arrives once.
    std::vector<Bytes> replies;
    h.messenger.deliver("lumivane/test", StandardMethodCodec::encodeMethodCall({"later", EncodableValue()}),
                        [&](Bytes reply) { replies.push_back(std::move(reply)); });
    ASSERT_TRUE(replies.empty());
    later.back().success("done");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(std::get<EncodableValue>(decode(replies[0])), EncodableValue("done"));
}

TEST(MethodChannel, UndecodableCallGetsAnEmptyReplyAndOneLogLine) {
    Harness h;
    MethodChannel channel(h.messenger, "lumivane/test", h.log);
    bool called = false;
    channel.setMethodCallHandler([&](const MethodCall&, MethodResult result) {
        called = true;
        result.success();
    });
    auto replies = h.raw("lumivane/test", Bytes{0x07, 0x09, 'x'});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(replies[0].empty());
    EXPECT_FALSE(called);
    EXPECT_EQ(h.log.lines().size(), 1u);
}

TEST(MethodChannel, AHandlerThatThrowsHasItsCallAnsweredOnceWithAnErrorAndOneLogLine) {
    struct Case {
        const char* name;
        std::function<void(MethodResult&, std::vector<MethodResult>&)> handler;
        bool errorAnswer;  // false: the handler's own answer came first and stands
    };
    const Case cases[] = {
        {"throws before answering", [](MethodResult&, auto&) { throw std::runtime_error("boom"); }, true},
        {"throws something else", [](MethodResult&, auto&) { throw 7; }, true},
        {"answers, then throws",
         [](MethodResult& r, auto&) {
             r.success(1);
             throw std::runtime_error("boom");
         },
         false},
        {"keeps the result for later, then throws",
         [](MethodResult& r, std::vector<MethodResult>& kept) {
             kept.push_back(std::move(r));
             throw std::runtime_error("boom");
         },
         true},
    };
    for (const auto& c : cases) {
        Harness h;
        MethodChannel channel(h.messenger, "lumivane/test", h.log);
        std::vector<MethodResult> kept;
        channel.setMethodCallHandler([&](const MethodCall&, MethodResult result) { c.handler(result, kept); });
        auto replies = h.call("lumivane/test", "file.freeSpace");
        for (auto& late : kept) late.success(2);  // work finishing after the error: dropped quietly
        kept.clear();
        ASSERT_EQ(replies.size(), 1u) << c.name;
        auto answer = decode(replies[0]);
        if (c.errorAnswer) {
            ASSERT_TRUE(std::holds_alternative<MethodError>(answer)) << c.name;
            EXPECT_EQ(std::get<MethodError>(answer).code, "internal_error") << c.name;
        } else {
            EXPECT_EQ(std::get<EncodableValue>(answer), EncodableValue(1)) << c.name;
        }
        ASSERT_EQ(h.log.lines().size(), 1u) << c.name;
        EXPECT_TRUE(h.log.contains("\"file.freeSpace\" failed")) << c.name;
    }
}

TEST(MethodResult, AnUnansweredResultLogsAndAnswersSoTheCallerNeverWaits) {
    Harness h;
    std::vector<Bytes> replies;
    {
        MethodResult result(
            "iphone.list", [&](Bytes reply) { replies.push_back(std::move(reply)); }, h.log);
        MethodResult moved = std::move(result);  // a moved-from result owes nothing
    }
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(replies[0].empty());
    EXPECT_TRUE(h.log.contains("iphone.list"));
}

#ifndef NDEBUG
TEST(MethodResultDeathTest, ASecondAnswerAbortsDebugBuilds) {
    Log log = Log::capturing();
    EXPECT_DEATH(
        {
            MethodResult result(
                "x", [](Bytes) {}, log);
            result.success();
            result.success();
        },
        "");
}
#endif

TEST(EventChannel, ListenCancelAndEventsAsSuccessEnvelopes) {
    Harness h;
    EventChannel channel(h.messenger, "lumivane/test/events", h.log);
    auto handler = std::make_shared<RecordingHandler>();
    channel.setStreamHandler(handler);

    auto listen = h.call("lumivane/test/events", "listen");
    EXPECT_EQ(std::get<EncodableValue>(decode(listen[0])), EncodableValue());
    handler->sink->success(EncodableMap{{"type", "iphones"}});
    ASSERT_EQ(h.sent.size(), 1u);
    EXPECT_EQ(h.sent[0].channel, "lumivane/test/events");
    EXPECT_EQ(std::get<EncodableValue>(decode(h.sent[0].message)), EncodableValue(EncodableMap{{"type", "iphones"}}));

    h.call("lumivane/test/events", "listen");  // a second listen hands over a new sink
    EXPECT_EQ(handler->listens, 2);

    auto cancel = h.call("lumivane/test/events", "cancel");
    EXPECT_EQ(std::get<MethodError>(decode(cancel[0])).code, "nope");
    EXPECT_EQ(handler->cancels, 1);
    EXPECT_TRUE(h.call("lumivane/test/events", "other")[0].empty());
}
