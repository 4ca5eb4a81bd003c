#include "bridges/iphone/transfer.h"

#include <thread>

#include "bridges/iphone/iphone_bridge_fixture.h"

using namespace lumivane;

namespace {

class TransferTest : public IPhoneBridgeTest {
protected:
    // A phone with one kSize-byte photo, attached over USB, and the
    // "download" events of the host event stream recorded.
    void SetUp() override {
        IPhoneBridgeTest::SetUp();
        udid = addPhone("");
        std::ofstream(folder / udid + "/DCIM/100APPLE/IMG_0002.JPG") << std::string(kSize, 'p');
        attach(udid, kAMDInterfaceUSB);
        messenger.setOutbound([this](const std::string&, Bytes message) {
            auto event = StandardMethodCodec::decodeEnvelope(message.data(), message.size());
            if (!event) return;
            auto& value = std::get<EncodableValue>(*event);
            auto* type = value.get<EncodableMap>() ? value.get<EncodableMap>()->find("type") : nullptr;
            if (type && *type == EncodableValue("download")) sent.push_back(value);  // not the attach's "iphones"
        });
        events->onListen(EncodableValue(), std::make_unique<EventSink>(messenger, "lumivane/macos/events"));
    }

    std::shared_ptr<AFCConnection> connection() {
        std::shared_ptr<AFCConnection> opened;
        onPhone(udid, [&](IPhone& phone) { opened = bridge->links().openAFCConnection(phone).value(); });
        return opened;
    }

    // Runs the transfer on its own thread while the main loop delivers its
    // events; `whileRunning` is checked on the loop after every turn.
    IPhoneResult<std::string> run(const Transfer& transfer, const std::function<void()>& whileRunning = {}) {
        auto afc = connection();
        std::optional<IPhoneResult<std::string>> outcome;
        std::atomic<bool> done{false};
        std::thread worker([&] {
            outcome.emplace(transfer.run(bridge->context(), afc));
            done = true;
        });
        loop.runUntil(
            [&] {
                if (whileRunning) whileRunning();
                return done.load();
            },
            10s);
        worker.join();
        EXPECT_TRUE(afc->isClosed());  // the transfer's own connection ends with it
        return std::move(*outcome);
    }

    void cancel(const std::string& token) {
        MethodResult result(
            "iphone.cancel", [](Bytes) {}, log);
        bridge->handle(MethodCall{"iphone.cancel", EncodableMap{{"token", token}}}, result);
    }

    static constexpr std::size_t kSize = (4 << 20) + 5;  // five chunks, the last one short
    std::string udid;
    HostMessenger messenger;
    std::vector<EncodableValue> sent;
};

}  // namespace

TEST_F(TransferTest, CopiesTheWholeFileWithProgressEndingAtTheTotal) {
    auto target = folder / "IMG_0002.JPG";
    auto outcome = run(Transfer{"100APPLE/IMG_0002.JPG", target, "t1"});
    ASSERT_TRUE(outcome.ok()) << outcome.error().message;
    EXPECT_EQ(outcome.value(), target);
    EXPECT_EQ(fs::file_size(target), kSize);
    loop.runUntil([&] { return sent.size() >= 2; }, 2s);
    ASSERT_GE(sent.size(), 2u);  // the first chunk and the last always report
    auto field = [](const EncodableValue& event, const char* key) { return event.get<EncodableMap>()->find(key); };
    for (const auto& event : sent) {
        EXPECT_EQ(*field(event, "type"), EncodableValue("download"));
        EXPECT_EQ(*field(event, "token"), EncodableValue("t1"));
        EXPECT_EQ(field(event, "total")->integer(), std::int64_t{kSize});
    }
    EXPECT_EQ(field(sent.front(), "done")->integer(), std::int64_t{1 << 20});
    EXPECT_EQ(field(sent.back(), "done")->integer(), std::int64_t{kSize});
}

TEST_F(TransferTest, ACancelAfterTheFirstProgressEventEndsTheCopyBetweenChunks) {
    sim.LVSimSetLatency(udid.c_str(), 30'000);  // 30 ms a read: the cancel lands mid-copy
    auto target = folder / "IMG_0002.JPG";
    bool cancelled = false;
    auto outcome = run(Transfer{"100APPLE/IMG_0002.JPG", target, "t2"}, [&] {
        if (!cancelled && !sent.empty()) {
            cancel("t2");
            cancelled = true;
        }
    });
    ASSERT_TRUE(cancelled);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message, "Cancelled");
    EXPECT_FALSE(fs::exists(target));
    EXPECT_LT(calls(udid, "read"), 6u);      // stopped before the end of the file
    EXPECT_FALSE(bridge->takeCancel("t2"));  // the cancel was used up
}

TEST_F(TransferTest, ATargetThatCannotBeWrittenIsRefusedBeforeAnythingIsRead) {
    fs::create_directories(folder / "album");
    for (std::string target : {std::string(), folder / "album", folder / "album/", folder / "missing/IMG.JPG"}) {
        SCOPED_TRACE(target);
        auto opens = calls(udid, "open"), reads = calls(udid, "read");
        auto outcome = run(Transfer{"100APPLE/IMG_0002.JPG", target, "t3"});
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().message, "Can't write to " + target + ".");
        EXPECT_EQ(calls(udid, "open"), opens);
        EXPECT_EQ(calls(udid, "read"), reads);
        EXPECT_TRUE(sent.empty());
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "album"), fs::directory_iterator()), 0);

    // Confined to a folder: a folder under it swapped for a link is not followed.
    fs::create_directories(folder / "dest");
    fs::create_directories(folder / "outside");
    fs::create_directory_symlink(folder / "outside", folder / "dest/day");
    auto target = folder / "dest/day/IMG_0002.JPG";
    auto outcome = run(Transfer{"100APPLE/IMG_0002.JPG", target, "t4", folder / "dest"});
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().message, "Can't write to " + target + ".");
    EXPECT_TRUE(fs::is_empty(folder / "outside"));
    EXPECT_TRUE(run(Transfer{"100APPLE/IMG_0002.JPG", folder / "dest/IMG_0002.JPG", "t5", folder / "dest"}).ok());
}
