// The application thread and its OPC input, behind a fake server port.
#include "parlo/app/ctiapplication.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "parlo/app/appport.h"
#include "platform/clock.h"
#include "tests/parlo/server/server_fixture.h"
#include "tests/support/wait.h"

namespace {

class FakePort final : public AppServerPort {
public:
    void StartThread(const char*, ThreadFunction function, void* argument) override {
        std::lock_guard<std::mutex> hold(mu);
        ++starts;
        threads.emplace_back(function, argument);
    }
    int SetActivated(const char*, int active) override {
        std::lock_guard<std::mutex> hold(mu);
        activated.push_back(active);
        cv.notify_all();
        return 1;
    }
    void ClearActivated(const char*) override {
        std::lock_guard<std::mutex> hold(mu);
        ++cleared;
    }
    void InitUniqueID() override {}
    void MakeActive() override {
        std::lock_guard<std::mutex> hold(mu);
        ++madeActive;
    }
    void ProcessConfigMessage(const uint8_t* body, size_t length) override {
        std::unique_lock<std::mutex> hold(mu);
        configBlocked = blockConfig;
        cv.notify_all();
        cv.wait(hold, [&] { return !blockConfig; });  // real time: released by the test
        configs.emplace_back(std::vector<uint8_t>(body, body + length), std::this_thread::get_id());
        cv.notify_all();
    }
    template <typename Pred>
    bool Wait(Pred pred) {
        std::unique_lock<std::mutex> hold(mu);
        return cv.wait_for(hold, std::chrono::seconds(30), pred);
    }
    void JoinAll() {
        for (auto& t : threads) t.join();
        threads.clear();
    }

    std::mutex mu;
    std::condition_variable cv;
    int starts = 0, cleared = 0, madeActive = 0;
    bool blockConfig = false, configBlocked = false;
    std::vector<int> activated;
    std::vector<std::pair<std::vector<uint8_t>, std::thread::id>> configs;
    std::vector<std::thread> threads;
};

class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetAppServerPort(&port_);
        app_ = std::make_unique<CTIApplication>();
        app_->Configure(nullptr);
    }
    void TearDown() override {
        app_.reset();
        port_.JoinAll();
        SetAppServerPort(nullptr);
    }
    // A CTI_CONFIGURE_REQ payload: the word, then one body byte.
    void SendConfig(uint8_t tag) {
        const uint8_t payload[5] = {0, 0, 0, 0, tag};
        app_->ProcessOPCInput(5, 5, payload);
    }

    FakePort port_;
    std::unique_ptr<CTIApplication> app_;
};

TEST_F(AppTest, OutOfServiceInputIsDispatchedAtOnceOnTheCallingThread) {
    EXPECT_EQ(app_->GetState(), CTIApplication::Configured);
    SendConfig(7);
    const uint8_t other[8] = {};
    app_->ProcessOPCInput(14, 8, other);  // handled by a later layer: dropped
    app_->ProcessOPCInput(5, 2, other);   // shorter than the word: dropped
    app_->ProcessOPCInput(5, -1, other);
    ASSERT_EQ(port_.configs.size(), 1u);
    EXPECT_EQ(port_.configs[0].first, std::vector<uint8_t>{7});
    EXPECT_EQ(port_.configs[0].second, std::this_thread::get_id());
}

TEST_F(AppTest, ActiveInputGoesToTheThreadAndMaintenanceHoldsItBack) {
    ASSERT_EQ(app_->Activate(), 1);
    ASSERT_TRUE(port_.Wait([&] { return port_.activated == std::vector<int>{1}; }));
    EXPECT_TRUE(app_->IsActive());
    SendConfig(1);
    ASSERT_TRUE(port_.Wait([&] { return port_.configs.size() == 1; }));
    EXPECT_NE(port_.configs[0].second, std::this_thread::get_id());

    app_->QueueMaintenanceRequest();
    SendConfig(2);
    SendConfig(3);
    EXPECT_TRUE(app_->IsMaintenanceHold());
    app_->ProcessOPCMsgsFromQueue();
    ASSERT_TRUE(port_.Wait([&] { return port_.configs.size() == 3; }));
    EXPECT_EQ(port_.configs[1].first, std::vector<uint8_t>{2});
    EXPECT_EQ(port_.configs[2].first, std::vector<uint8_t>{3});

    app_->Idle(0);
    EXPECT_FALSE(app_->IsThreadRunning());
    EXPECT_EQ(app_->GetState(), CTIApplication::Shutdown);
    EXPECT_EQ(port_.cleared, 1);
}

TEST_F(AppTest, ActivatingAStandbyApplicationKeepsItsThread) {
    ASSERT_EQ(app_->StartStandby(), 1);
    ASSERT_TRUE(port_.Wait([&] { return port_.activated == std::vector<int>{0}; }));
    EXPECT_EQ(app_->GetState(), CTIApplication::Standby);
    ASSERT_EQ(app_->Activate(), 1);
    EXPECT_EQ(app_->GetState(), CTIApplication::Active);
    EXPECT_EQ(port_.madeActive, 1);
    EXPECT_EQ(port_.starts, 1);
}

TEST_F(AppTest, AFailedThreadEndsWithoutAShutdown) {
    ASSERT_EQ(app_->Activate(), 1);
    ASSERT_TRUE(port_.Wait([&] { return !port_.activated.empty(); }));
    app_->FailThreadForTest();
    port_.JoinAll();
    EXPECT_FALSE(app_->IsThreadRunning());
    EXPECT_EQ(port_.cleared, 1);
    // Nobody idled it, yet the ended thread leaves the application out of service: OPC input
    // then runs on the caller's thread instead of waiting in a queue nobody serves.
    EXPECT_EQ(app_->GetState(), CTIApplication::Shutdown);
}

// The input queue on a clock that moves only when told: a wake-up lost between the queue and
// the event would leave the thread in its (never ending) bounded wait.
class AppQueueTest : public AppTest {
protected:
    void SetUp() override {
        clock_.SetMonotonicNs(int64_t{1000} * 1000000000);
        AppTest::SetUp();
    }
    void TearDown() override {
        // Idle's join bound is on the fake clock; the thread ends in real time well before.
        app_->FailThreadForTest();
        EXPECT_TRUE(testsupport::WaitFor([&] { return !app_->IsThreadRunning(); }));
        AppTest::TearDown();
    }
    void Activate() {
        ASSERT_EQ(app_->Activate(), 1);
        ASSERT_TRUE(port_.Wait([&] { return !port_.activated.empty(); }));
    }
    void Hold() {
        app_->QueueMaintenanceRequest();
        ASSERT_TRUE(testsupport::WaitFor([&] { return app_->IsKeepingOPCMsgsInQueue(); }));
    }
    size_t Configs() {
        std::lock_guard<std::mutex> hold(port_.mu);
        return port_.configs.size();
    }

    plat::FakeClock clock_;
    plat::ScopedClock scoped_{&clock_};
};

TEST_F(AppQueueTest, ProducersRacingTheThreadLoseNoWakeUp) {
    Activate();
    constexpr int kProducers = 4, kEach = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                SendConfig(static_cast<uint8_t>(p));
                if (i % 7 == 0) app_->QueueApplicationMSG(-2);  // markers interleave
            }
        });
    }
    for (auto& t : producers) t.join();
    EXPECT_TRUE(port_.Wait([&] { return port_.configs.size() == size_t{kProducers} * kEach; }));
    // Each producer's messages keep their order among themselves; all ran on the thread.
    for (const auto& c : port_.configs) EXPECT_NE(c.second, std::this_thread::get_id());
    EXPECT_TRUE(testsupport::WaitFor([&] { return app_->InputQueueCount() == 0; }));
}

TEST_F(AppQueueTest, AReusedEntryKeepsTheLargestBufferSeen) {
    Activate();
    std::vector<uint8_t> big(3000, 0x5A);
    app_->ProcessOPCInput(5, static_cast<int>(big.size()), big.data());
    ASSERT_TRUE(port_.Wait([&] { return port_.configs.size() == 1; }));
    for (uint8_t i = 0; i < 5; ++i) {
        SendConfig(i);
        ASSERT_TRUE(port_.Wait([&] { return port_.configs.size() == size_t{2} + i; }));
    }
    // Every entry taken after the big message has its size, reused or new.
    ASSERT_TRUE(testsupport::WaitFor([&] { return app_->FreeApplicationMSGCount() >= 1; }));
    EXPECT_GE(app_->SmallestFreeBuffer(), 3000u);
    EXPECT_EQ(port_.configs.back().first, std::vector<uint8_t>{4});  // no stale bytes
}

TEST_F(AppQueueTest, AHeldQueueKeepsOPCInputInOrderUntilReleased) {
    Activate();
    Hold();
    SendConfig(1);
    app_->QueueApplicationMSG(-2);
    SendConfig(2);
    SendConfig(3);
    EXPECT_EQ(app_->InputQueueCount(), 4u);
    EXPECT_EQ(Configs(), 0u);
    app_->ProcessOPCMsgsFromQueue();
    ASSERT_TRUE(port_.Wait([&] { return port_.configs.size() == 3; }));
    for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(port_.configs[i].first, std::vector<uint8_t>{uint8_t(i + 1)});
    // A marker -3 left over after the release holds nothing.
    app_->QueueApplicationMSG(-3);
    SendConfig(4);
    ASSERT_TRUE(port_.Wait([&] { return port_.configs.size() == 4; }));
    EXPECT_FALSE(app_->IsKeepingOPCMsgsInQueue());
}

// The watch measures from the last dequeue attempt before the hold (or the entry that went
// into the empty queue); it does not move while the queue is held.
TEST_F(AppQueueTest, TheServiceWatchIsFatalOnlyPast60000Ms) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Activate();
    Hold();
    SendConfig(1);
    clock_.AdvanceMs(60000);
    SendConfig(2);                  // exactly 60000 ms: still served
    app_->QueueApplicationMSG(-2);  // markers skip the watch
    clock_.AdvanceMs(1);
    app_->QueueApplicationMSG(-1);
    EXPECT_EQ(app_->InputQueueCount(), 4u);
    EXPECT_EXIT(
        {
            EMSInstallSeams(&srvtest::Events::kSeams);
            SendConfig(3);
        },
        ::testing::ExitedWithCode(100002 & 0xFF),
        "ValidateAndQueueOPCInput service timeout, 60001 ms, 4 messages queued");
    app_->ProcessOPCMsgsFromQueue();
    ASSERT_TRUE(port_.Wait([&] { return port_.configs.size() == 2; }));
}

TEST_F(AppQueueTest, IdleBoundsItsWaitForTheThread) {
    EMSInstallSeams(&srvtest::Events::kSeams);
    Activate();
    // The thread is held inside a message (the port's configuration intake) past the bound.
    {
        std::lock_guard<std::mutex> hold(port_.mu);
        port_.blockConfig = true;
    }
    SendConfig(1);
    ASSERT_TRUE(port_.Wait([&] { return port_.configBlocked; }));
    // The client ports' poster stops first: only Idle's own wait is left on the clock.
    (void)static_cast<TransportProtocol&>(*app_).Close();
    std::atomic<bool> done{false};
    std::thread idler([&] {
        app_->Idle(0);
        done = true;
    });
    while (!done) (void)clock_.AdvanceToDeadlineAtLeast(plat::MonotonicNs() + int64_t{300000} * 1000000, 50);
    idler.join();
    EXPECT_EQ(1u, srvtest::Events::CountText(srvtest::Events::Take(),
                                             "the application thread is still active after 300000 ms"));
    EXPECT_TRUE(app_->IsThreadRunning());
    EXPECT_EQ(app_->GetState(), CTIApplication::Shutdown);
    {
        std::lock_guard<std::mutex> hold(port_.mu);
        port_.blockConfig = false;
        port_.cv.notify_all();
    }
    EXPECT_TRUE(testsupport::WaitFor([&] { return !app_->IsThreadRunning(); }));
    EMSInstallSeams(nullptr);
}

}  // namespace
