// The application thread and its OPC input, behind a fake server port.
#include "opcmsg/opctypes.h"
#include "parlo/app/ctiapplication.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "parlo/app/appport.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/server/server.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "tests/parlo/app/running_app.h"
#include "tests/parlo/opclink/output_capture.h"
#include "tests/parlo/server/server_fixture.h"
#include "tests/support/wait.h"
#include "tests/parlo/app/client_fixture.h"
#include "tests/parlo/model/call_test_access.h"

namespace {

class FakePort final : public apptest::ForwardingAppPort {
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
        port_.Install();
        app_ = std::make_unique<CTIApplication>();
        app_->Configure(nullptr);
    }
    void TearDown() override {
        app_.reset();
        port_.JoinAll();
        port_.Uninstall();
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

// ---------------------------------------------------------------- the object's texts

TEST(TimeInState, OnlyTheLargerPartsThatAreNeeded) {
    const struct {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "0 sec\n"},
        {59, "59 sec\n"},
        {61, "1 min 1 sec\n"},
        {3600, "1 hr 0 min 0 sec\n"},
        {86405, "1 day(s) 0 hr 0 min 5 sec\n"},
        {2 * 86400 + 3 * 3600 + 4 * 60 + 5, "2 day(s) 3 hr 4 min 5 sec\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(CTIApplication::TimeInStateText(c.seconds), c.text) << c.seconds;
}

TEST_F(AppQueueTest, TheDumpAndTheLinkStatusNameTheStateAndItsAge) {
    app_->AddNumClients(3);
    clock_.AdvanceMs(59000);
    std::string dump, link;
    app_->Dump(dump);
    app_->GetCTILinkStatus(link);
    // Configured (state 1) prints as Unknown, like New.
    EXPECT_NE(dump.find("\nCTIApplication:\n    m_State=Unknown  time_in_state=59 sec\n"), std::string::npos) << dump;
    for (const char* line : {"    m_NumClients=3\n", "    m_AgentLoginRequired=FALSE\n",
                             "    m_DisableUTF8Conversion=FALSE\n", "    m_AgentLoginWaitQueue=0\n",
                             "    ApplicationMSG FreeList=0\n", "    Call FreeList="})
        EXPECT_NE(dump.find(line), std::string::npos) << line;
    EXPECT_EQ(link, "\nCTILink:\n    NOT active for at least 59 sec\n");

    Activate();
    clock_.AdvanceMs(86405000);
    dump.clear();
    link.clear();
    app_->Dump(dump);
    app_->GetCTILinkStatus(link);
    EXPECT_NE(dump.find("    m_State=Active  time_in_state=1 day(s) 0 hr 0 min 5 sec\n"), std::string::npos) << dump;
    EXPECT_EQ(link, "\nCTILink:\n    Active for 1 day(s) 0 hr 0 min 5 sec\n");
}

// A registry whose values the test gives, without the platform's store.
class GivenRegistry final : public CTIRegistry {
public:
    explicit GivenRegistry(CTIRegistry::ConfigBlock block) : block_(std::move(block)) { Init("parlo"); }
    void FixMaxQueueAllEventClient() override {}
    void FixMaxLockTimeout() override {}
    void ReadDynamic(DynamicBlock&) override {}
    void ReadConfigRegistryData(ConfigBlock& block) override { block = block_; }

private:
    CTIRegistry::ConfigBlock block_;
};

TEST_F(AppTest, ConfigureTakesTheRegistryValues) {
    CTIRegistry::ConfigBlock c;
    c.AgentLoginRequired = 1;
    c.DisableUTF8Conversion = 1;
    c.ListenPort = "42027abc";             // the leading digits
    c.SecuredListenPort = "99999999999";  // too large: capped, never overflowed
    c.SecurityMode = 1;
    c.ListenBacklog = 77;
    c.CGPublicInterface = "10.0.0.5";
    GivenRegistry registry(c);
    app_->Configure(&registry);
    EXPECT_TRUE(app_->IsAgentLoginRequired());
    EXPECT_TRUE(app_->GetDisableUTF8Conversion());
    EXPECT_FALSE(app_->NeedsUTF8Conversion(true));
    EXPECT_EQ(TransportProtocol::sm_ListenPort, 42027);
    EXPECT_EQ(TransportProtocol::sm_ListenSecurePort, INT32_MAX);
    EXPECT_EQ(TransportProtocol::sm_SecurityMode, 1u);
    EXPECT_EQ(TransportProtocol::sm_ListenBacklog, 77);
    EXPECT_EQ(app_->HostName(), "10.0.0.5");
    std::string dump;
    app_->Dump(dump);
    EXPECT_NE(dump.find("    m_AgentLoginRequired=TRUE\n    m_DisableUTF8Conversion=TRUE\n"), std::string::npos) << dump;
}

TEST_F(AppTest, ThePeripheralListKeepsTheFirstTypeOfEachID) {
    EXPECT_EQ(app_->GetPeripheralType(5000), -1);
    EXPECT_EQ(app_->GetPeripheralType(0xFFFFFFFF), -1);
    EXPECT_EQ(app_->GetFirstPeripheralType(), 0xFFFFFFFFu);
    app_->AddPeripheral(5000, 30);
    app_->AddPeripheral(6000, 12);
    app_->AddPeripheral(5000, 52);  // known already: unchanged
    const struct {
        uint32_t id;
        int16_t type;
    } cases[] = {{5000, 30}, {6000, 12}, {0xFFFFFFFF, 30}, {7000, -1}};
    for (const auto& c : cases) EXPECT_EQ(app_->GetPeripheralType(c.id), c.type) << c.id;
    EXPECT_EQ(app_->GetFirstPeripheralType(), 30u);
}

TEST(TraceKeywords, FifteenInTheConsoleOrder) {
    std::vector<std::string> names;
    std::vector<int> bits;
    CTIApplication::GetTraceKeywords(names, bits);
    ASSERT_EQ(names.size(), 15u);
    ASSERT_EQ(bits.size(), 15u);
    // lock_route (9) stands before route_table (8).
    EXPECT_EQ(names[7], "lock_route");
    EXPECT_EQ(bits[7], 9);
    EXPECT_EQ(names[8], "route_table");
    EXPECT_EQ(bits[8], 8);
    EXPECT_EQ(names.front(), "client_agent_statistics_brief");
    EXPECT_EQ(names.back(), "ecc_variables");
    EXPECT_EQ(bits.back(), 15);
}

// ---------------------------------------------------------------- the thread's watch

// One turn of the watch for each row, from a watch that is (or is not) timing since 0 ms.
TEST(NoClientWatch, DecidesFromWhatTheTurnSaw) {
    using O = CTIApplication::NoClientOutcome;
    const struct {
        const char* what;
        bool duplex, noSessions, active, noClient;
        int32_t timeout;
        bool timing;
        int64_t nowMs;
        O outcome;
    } cases[] = {
        {"simplex never watches", false, true, true, true, 60, true, 100000, O::Reset},
        {"timeout 0 never reports", true, true, true, true, 0, true, 100000, O::Reset},
        {"negative timeout", true, true, true, true, -5, true, 100000, O::Reset},
        {"clients present", true, false, true, false, 60, true, 100000, O::Reset},
        {"standby is not watched", true, true, false, true, 60, true, 100000, O::Reset},
        {"the first empty turn starts timing", true, true, true, false, 60, false, 100000, O::StartTiming},
        {"only uncounted clients", true, false, true, true, 60, false, 100000, O::StartTiming},
        {"just short of the timeout", true, true, true, false, 60, true, 59999, O::Timing},
        {"at the timeout", true, true, true, false, 60, true, 60000, O::Report},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTIApplication::NoClientWatch watch;
        watch.timing = c.timing;
        watch.startMs = 0;
        CTIApplication::NoClientInput in;
        in.duplex = c.duplex;
        in.noSessions = c.noSessions;
        in.active = c.active;
        in.noClientConnection = c.noClient;
        in.timeoutSeconds = c.timeout;
        in.nowMs = c.nowMs;
        int32_t elapsed = -1;
        EXPECT_EQ(watch.Step(in, elapsed), c.outcome);
        EXPECT_EQ(watch.timing, c.outcome == O::StartTiming || c.outcome == O::Timing);
        if (c.outcome == O::Report) {
            EXPECT_EQ(elapsed, 60);
        }
        if (c.outcome == O::StartTiming) {
            EXPECT_EQ(watch.startMs, c.nowMs);
        }
    }
}

// The application thread with a real Server: the watch runs once per turn, and a turn is one
// bounded wait of 1000 ms on the fake clock.
class AppThreadTest : public srvtest::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        port_.Install();
        app_ = std::make_unique<CTIApplication>();
        app_->Configure(registry_.get());
        TransportProtocol::sm_SecurityMode = 0;
        TransportProtocol::sm_ListenPort = 0;
        TransportProtocol::sm_ListenSecurePort = 0;
    }
    void TearDown() override {
        apptest::EndApplication(app_, clock_);
        port_.JoinAll();
        port_.Uninstall();
        ServerTest::TearDown();
    }
    void Start() {
        ASSERT_EQ(app_->Activate(), 1);
        ASSERT_TRUE(port_.Wait([&] { return !port_.activated.empty(); }));
        ASSERT_TRUE(clock_.AwaitSleepers(1));
    }
    // Ends the thread's wait; returns when it waits again (its turn is done).
    void Turn() {
        ASSERT_EQ(clock_.AdvanceToNextDeadline(), 1000);
        ASSERT_TRUE(clock_.AwaitSleepers(1));
    }
    static size_t Reports(const std::vector<srvtest::Event>& events) {
        size_t n = 0;
        for (const auto& e : events)
            if (e.id == 0x212E000F && e.Text().find("No client sessions connected for more than 3 seconds, "
                                                    "server may be unreachable.") != std::string::npos)
                ++n;
        return n;
    }

    FakePort port_;
    std::unique_ptr<CTIApplication> app_;
};

TEST_F(AppThreadTest, ADuplexSideWithoutClientsReportsOnceTheTimeoutHasPassed) {
    // What goes to OPC: a capture of the link's output stands in for MDS.
    MDSIO::ResetForTest();
    MDSIO::SetMDSConnections(1);
    struct ResetLink {
        ~ResetLink() { MDSIO::ResetForTest(); }
    } resetLink;  // after the capture is gone
    opclinktest::OutputCapture capture;
    std::vector<std::vector<uint8_t>> errorAcks;
    auto acks = [&] {
        for (auto& s : capture.Take(CTI_ERROR_ACK)) errorAcks.push_back(std::move(s.payload));
        return errorAcks;
    };
    auto word = [](const std::vector<uint8_t>& p, size_t at) {
        return at + 4 <= p.size() ? plat::LoadLE32(p.data() + at) : 0;
    };
    server_->SetDuplex(1);
    registry_->SetDynamic(CTIRegistry::NoClientConnectionsTimeout, 3);
    Start();
    // Timing starts at the first turn, or at once when the thread's start woke its first
    // wait: either way two turns later the timeout has not passed.
    Turn();
    Turn();
    EXPECT_EQ(Reports(srvtest::Events::Take()), 0u);
    EXPECT_EQ(server_->GetFailoverReported(), 0);
    std::vector<srvtest::Event> events;
    for (int turn = 0; turn < 2 && Reports(events) == 0; ++turn) {
        Turn();
        for (auto& e : srvtest::Events::Take()) events.push_back(std::move(e));
    }
    EXPECT_EQ(Reports(events), 1u) << "3 s after timing started, and only then";
    EXPECT_EQ(srvtest::Events::CountText(events, "Server::ReportFailure: NO_CLIENT_CONNECTED"), 1u);
    EXPECT_EQ(server_->GetFailoverReported(), 1);
    // OPC hears it as CTI_ERROR_ACK to CTI_SET_ACTIVE_REQ with the value 0x7FFFFFFF
    // (ServerNumber, side, request type, value).
    const auto sent = acks();
    ASSERT_EQ(1u, sent.size());
    ASSERT_EQ(16u, sent[0].size());
    EXPECT_EQ(static_cast<uint32_t>(CTI_SET_ACTIVE_REQ), word(sent[0], 8));
    EXPECT_EQ(0x7FFFFFFFu, word(sent[0], 12));
    // Timing starts again from the next turn.
    Turn();
    Turn();
    EXPECT_EQ(Reports(srvtest::Events::Take()), 0u);
    EXPECT_EQ(1u, acks().size());
}

TEST_F(AppThreadTest, ASimplexSideNeverReportsAndClearsTheFailoverFlag) {
    registry_->SetDynamic(CTIRegistry::NoClientConnectionsTimeout, 3);
    server_->SetFailoverReported(1);
    Start();
    for (int i = 0; i < 6; ++i) Turn();
    EXPECT_EQ(Reports(srvtest::Events::Take()), 0u);
    EXPECT_EQ(server_->GetFailoverReported(), 0);
}

TEST_F(AppThreadTest, TheThreadReportsItsPortsAtStartAndItsEnd) {
    Start();
    auto events = srvtest::Events::Take();
    size_t starts = 0;
    for (const auto& e : events) starts += e.id == 0x612EC005;
    EXPECT_EQ(starts, 2u) << "security mode 0: both ports";
    app_->FailThreadForTest();
    ASSERT_TRUE(testsupport::WaitFor([&] { return !app_->IsThreadRunning(); }));
    events = srvtest::Events::Take();
    size_t ends = 0;
    for (const auto& e : events)
        if (e.id == 0xA12EC006 && e.Text().find("error") != std::string::npos) ++ends;
    EXPECT_EQ(ends, 1u) << "a thread nobody told to stop ends in error";
    EXPECT_EQ(app_->GetState(), CTIApplication::Shutdown);
}

TEST_F(AppThreadTest, TheDailyResetStartsMonitorIDsAgainAt1) {
    std::vector<CTICSTAMonitor*> monitors;
    for (int i = 0; i < 3; ++i) monitors.push_back(CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, -1, nullptr));
    EXPECT_GE(monitors.back()->m_MonitorID, 3u);
    for (CTICSTAMonitor* m : monitors) CTICSTAMonitor::Free(m);
    app_->ResetIDCounters();
    CTICSTAMonitor* first = CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, -1, nullptr);
    EXPECT_EQ(first->m_MonitorID, 1u);
    CTICSTAMonitor::Free(first);
}

TEST_F(AppThreadTest, TheAuditValidatesAStaleCallAndOnlyStampsAPrivateOne) {
    registry_->SetDynamic(CTIRegistry::CallEventTimeout, 10);
    Call* plain = Call::Alloc(5000, 0x105, 0, "1001", 30, 0, 0, 0, 0);
    Call* hidden = Call::Alloc(5000, 0x205, 0, "1002", 30, 0, 0, 0, 0);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(hidden, nullptr);
    CallTestAccess::SetPrivate(hidden, true);
    plain->SetLastEvent("Seen");
    hidden->SetLastEvent("Seen");
    EXPECT_EQ(app_->AuditStaleCalls(5), 6) << "nothing stale yet: the next bucket";
    clock_.AdvanceMs(10000);
    // Both calls sit in bucket 5; each turn handles one and stays on the bucket.
    EXPECT_EQ(app_->AuditStaleCalls(5), 5);
    EXPECT_EQ(app_->AuditStaleCalls(5), 5);
    EXPECT_EQ(app_->AuditStaleCalls(5), 6);
    EXPECT_EQ(plain->LastEvent(), "ValidateReq");
    EXPECT_EQ(hidden->LastEvent(), "ValidationSkipped");
    EXPECT_EQ(app_->AuditStaleCalls(255), 0) << "the last bucket wraps";
    Call::Free(plain, false);
    Call::Free(hidden, false);
}

}  // namespace

// ---------------------------------------------------------------- ECC registrations

namespace {

class AppECCTest : public clienttest::ClientTest {
protected:
    void SetUp() override { EMSInstallSeams(&srvtest::Events::kSeams); }
    void TearDown() override { EMSInstallSeams(nullptr); }
    std::vector<std::string> Clients(int32_t id) {
        std::vector<std::string> out;
        app_.GetECCVariableClients(id, out);
        return out;
    }
    CTIApplication app_;
};

TEST_F(AppECCTest, OneEntryPerClientAndEmptyRegistrationsGo) {
    auto* alpha = new ClientCB(1, "alpha");
    auto* beta = new ClientCB(2, "beta");
    alpha->SetTraceFlags(0x01);
    app_.RegisterECCVariable(7, "user.x", alpha);
    app_.RegisterECCVariable(7, "user.x", alpha);
    app_.RegisterECCVariable(7, "user.x", beta);
    app_.RegisterECCVariable(9, "user.y", beta);
    EXPECT_EQ(Clients(7), (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_EQ(Clients(9), (std::vector<std::string>{"beta"}));
    EXPECT_TRUE(Clients(8).empty());
    const auto events = srvtest::Events::Take();
    EXPECT_EQ(srvtest::Events::CountText(events, "ECC Variable user.x (ID:7) already registered for client alpha (ref=1)"),
              1u);
    EXPECT_EQ(srvtest::Events::CountText(events, "ECC Variable user.x (ID:7) registered for client alpha (ref=1)"), 1u);

    app_.UnregisterECCVariables(alpha);
    EXPECT_EQ(Clients(7), (std::vector<std::string>{"beta"}));
    EXPECT_EQ(app_.ECCVariableRegistrationCount(), 2u);
    EXPECT_EQ(srvtest::Events::CountText(srvtest::Events::Take(),
                                         "ECC Variable user.x (ID:7) unregistered for client alpha (ref=1)"),
              1u);
    app_.UnregisterECCVariables(beta);
    EXPECT_EQ(app_.ECCVariableRegistrationCount(), 0u) << "no registration is left without clients";
    EXPECT_TRUE(Clients(7).empty());
}

}  // namespace
