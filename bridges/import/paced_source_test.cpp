// Reads taking turns: never more at once than the device's readers, and a
// read that waits for its turn still hears a cancel.
#include "bridges/import/paced_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace lumivane {
namespace {

// Reads that stay open until the test lets them end, counting how many are
// open at once.
struct HeldSource final : ImportSource {
    Mutex lock;
    CondVar changed;
    int open LUMIVANE_GUARDED_BY(lock) = 0;
    int most LUMIVANE_GUARDED_BY(lock) = 0;
    bool released LUMIVANE_GUARDED_BY(lock) = false;

    std::string name() const override { return "Held"; }
    std::string identity() const override { return "held:1"; }
    bool canDelete() const override { return false; }
    Result<std::vector<ImportItem>> list() override { return std::vector<ImportItem>{}; }
    Result<void> remove(const ImportItem&) override { return failure(Error{"no"}); }
    Result<void> read(const ImportItem&, const Sink&, const std::function<bool()>&) override {
        MutexLock guard(lock);
        most = std::max(most, ++open);
        changed.notify_all();
        changed.wait(guard, [this]() LUMIVANE_REQUIRES(lock) { return released; });
        --open;
        return {};
    }
    void waitForOpen(int count) {
        MutexLock guard(lock);
        changed.wait(guard, [&]() LUMIVANE_REQUIRES(lock) { return open >= count; });
    }
    void release() {
        MutexLock guard(lock);
        released = true;
        changed.notify_all();
    }
};

TEST(PacedSource, ReadsTakeTurnsAndAWaitingReadHearsACancel) {
    for (int readers : {1, 2}) {
        SCOPED_TRACE(readers);
        HeldSource device;
        PacedSource paced(device, readers);
        auto noCancel = [] { return false; };
        std::vector<std::thread> reads;
        for (int i = 0; i < readers + 2; ++i)
            reads.emplace_back([&] { EXPECT_TRUE(paced.read({"A.JPG", 1, 0}, {}, noCancel).ok()); });
        device.waitForOpen(readers);
        // One more, cancelled while it waits for its turn.
        std::atomic<bool> cancel{false};
        Result<void> waited;
        std::thread cancelled([&] { waited = paced.read({"B.JPG", 1, 0}, {}, [&] { return cancel.load(); }); });
        cancel = true;
        cancelled.join();
        ASSERT_FALSE(waited.ok());
        EXPECT_EQ(waited.error().code, Error::Code::cancelled);
        // The turns go round as reads end, and every read gets one.
        device.release();
        for (auto& read : reads) read.join();
        MutexLock guard(device.lock);
        EXPECT_EQ(device.most, readers);
        EXPECT_EQ(device.open, 0);
    }
}

}  // namespace
}  // namespace lumivane
