// The application thread and its OPC input, behind a fake server port.
#include "parlo/app/ctiapplication.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "parlo/app/appport.h"

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
        std::lock_guard<std::mutex> hold(mu);
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
    EXPECT_EQ(app_->GetState(), CTIApplication::Active);  // nobody idled it
}

}  // namespace
