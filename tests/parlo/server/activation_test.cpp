// Activation, standby, idle, failover and maintenance against an in-process OPC.
#include <atomic>
#include <functional>
#include <thread>

#include "ctimsg/msgtypes.h"
#include "ctimsg/servicemask.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/modelutil.h"
#include "parlo/server/threadmgr.h"
#include "tests/parlo/server/opc_fixture.h"
#include "tests/parlo/server/session_fixture.h"
#include "tests/support/wait.h"

namespace srvtest {
namespace {

TEST_F(OPCTest, IdleRequestSetsTheServerNumberAndIsAcknowledged) {
    server_->CreateApplication();
    // Before the first idle request every message carries 0xFFFFFFFF.
    server_->ReportFailure("x");
    Sent failure;
    ASSERT_TRUE(WaitSent(CTI_ERROR_ACK, &failure));
    EXPECT_EQ(failure.Word(0), 0xFFFFFFFFu);

    Deliver(CTI_SET_IDLE_REQ, Idle(0x21, 0, 0x99));  // the other side: ignored
    EXPECT_TRUE(TakeSent().empty());
    Deliver(CTI_SET_IDLE_REQ, Idle(0x21, 1, 0x99));
    Sent ack;
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, &ack));
    EXPECT_EQ(ack.payload.size(), 16u);
    EXPECT_EQ(ack.Word(0), 0x21u);  // ServerNumber
    EXPECT_EQ(ack.Word(1), 1u);     // side A
    EXPECT_EQ(ack.Word(2), 0u);     // answers CTI_SET_IDLE_REQ
    EXPECT_EQ(ack.Word(3), 0x99u);  // the echo value
    EXPECT_EQ(MDSIO::GetServerNumber(), 0x21u);
    EXPECT_EQ(server_->IsOPCLinkEstablished(), 1);
    EXPECT_EQ(server_->GetState(), Server::IDLE);
    const auto events = Events::Take();
    EXPECT_EQ(Events::CountText(events, "CTI_OK_ACK|CTI_SET_IDLE_REQ"), 1u);  // 0x612E0009
}

TEST_F(OPCTest, WrongVersionIsRefusedWithoutCountingARejection) {
    server_->CreateApplication();
    Deliver(CTI_SET_IDLE_REQ, Idle(2, 1, 5, 8502, "old"));
    Sent ack;
    ASSERT_TRUE(WaitSent(CTI_ERROR_ACK, &ack));
    EXPECT_EQ(ack.Word(2), 0u);
    EXPECT_EQ(server_->IsOPCLinkEstablished(), 0);
    auto events = Events::Take();
    bool seen = false;
    for (const auto& e : events)
        if (e.id == 0xE12EC00D) {
            seen = true;
            EXPECT_EQ(e.Text(), "8502|8503|old");
        }
    EXPECT_TRUE(seen);
    Deliver(CTI_CONFIGURE_REQ, Config(1, 0, 0, 0));
    for (int i = 0; i < 4; ++i) {
        Deliver(CTI_SET_ACTIVE_REQ, Active(1, 5, 8502));
        ASSERT_TRUE(WaitSent(CTI_ERROR_ACK, &ack));
        EXPECT_EQ(ack.Word(2), 1u);
    }
    EXPECT_EQ(server_->GetRejectionCount(), 0);
}

TEST_F(OPCTest, ThirdActivationBeforeConfigurationEndsTheProcess) {
    server_->CreateApplication();
    Deliver(CTI_SET_IDLE_REQ, Idle(2, 1, 5));
    for (int i = 0; i < 2; ++i) {
        Deliver(CTI_SET_ACTIVE_REQ, Active(1));
        Sent ack;
        ASSERT_TRUE(WaitSent(CTI_ERROR_ACK, &ack));
    }
    EXPECT_EQ(server_->GetRejectionCount(), 2);
    EXPECT_EXIT(Deliver(CTI_SET_ACTIVE_REQ, Active(1)), ::testing::ExitedWithCode(100003 & 0xFF), "");
}

TEST_F(OPCTest, ActivationStartsTheThreadAndIdleBringsAFreshApplication) {
    Prepare(3);
    Deliver(CTI_SET_ACTIVE_REQ, Active(1, 5));
    Sent ack;
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, &ack));
    EXPECT_EQ(ack.Word(0), 3u);
    EXPECT_EQ(ack.Word(2), 1u);
    ASSERT_TRUE(WaitState(Server::ACTIVE));
    EXPECT_EQ(server_->GetOPCHeartBeatTime(), 5);
    EXPECT_TRUE(server_->GetTimer(ServerTimer::OPCHeartBeat)->IsRunning());
    EXPECT_TRUE(MDSIO::IsServerActive());
    EXPECT_TRUE(server_->ActivationEvent().IsSet());
    const uint32_t firstPrefix = server_->GetUniqueIDPrefix();
    EXPECT_EQ(firstPrefix >> 29, 3u);  // the ServerNumber's low bits
    Deliver(CTI_SET_ACTIVE_REQ, Active(1));  // a repeat while ACTIVE: ignored
    EXPECT_GE(Events::CountText(Events::Take(), "Ignoring duplicate activate request"), 1u);

    CTIApplication* old = server_->GetApplication();
    Deliver(CTI_SET_IDLE_REQ, Idle(3, 1, 0x1234));
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, &ack));
    EXPECT_EQ(ack.Word(3), 0x1234u);
    EXPECT_EQ(server_->GetState(), Server::IDLE);
    EXPECT_NE(server_->GetApplication(), nullptr);
    EXPECT_FALSE(server_->GetTimer(ServerTimer::OPCHeartBeat)->IsRunning());
    EXPECT_EQ(server_->GetCTILinkRestarts(), 1);
    (void)old;

    Deliver(CTI_SET_ACTIVE_REQ, Active(1, 5));
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, &ack));
    ASSERT_TRUE(WaitState(Server::ACTIVE));
    // The generation nibble moved with the new application thread.
    EXPECT_NE((server_->GetUniqueIDPrefix() >> 24) & 15, (firstPrefix >> 24) & 15);
}

TEST_F(OPCTest, TheOtherSideGoesStandbyOnlyWithATypeSeventeenPeripheral) {
    Prepare(3, false);
    Deliver(CTI_SET_ACTIVE_REQ, Active(0));
    EXPECT_EQ(server_->GetState(), Server::IDLE);
    EXPECT_EQ(Events::CountText(Events::Take(), "Ignoring active request for other side=0"), 1u);

    Payload rec;
    rec.U32(5000).U32(30).U32(0).U32(1);
    Deliver(CTI_CONFIGURE_REQ, Config(1, 11, 1, 1, rec.bytes));  // an update after the load
    ASSERT_TRUE(server_->HasStandbyPeripheral());
    Deliver(CTI_SET_ACTIVE_REQ, Active(0));
    Sent ack;
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, &ack));
    ASSERT_TRUE(WaitState(Server::STANDBY));
    // The other side's failure makes the OPC activate this one: the standby thread serves on.
    Deliver(CTI_SET_ACTIVE_REQ, Active(1));
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, &ack));
    EXPECT_EQ(server_->GetState(), Server::ACTIVE);
    EXPECT_EQ(server_->GetApplication()->GetState(), CTIApplication::Active);
}

TEST_F(OPCTest, WatchdogHeartbeatsAndReportsADeadThreadOnce) {
    registry_->SetDynamic(CTIRegistry::OPCHeartbeatTime, 5);
    Prepare(4);
    Deliver(CTI_SET_ACTIVE_REQ, Active(1));
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, nullptr));
    ASSERT_TRUE(WaitState(Server::ACTIVE));
    std::vector<int> beats;
    for (int tick = 0; tick < 14; ++tick) {
        server_->ApplicationWatchdog();
        for (const auto& s : TakeSent())
            if (s.type == CTI_ACTIVE_HEART_BEAT_EVENT) {
                beats.push_back(tick);
                EXPECT_EQ(s.payload.size(), 4u);
                EXPECT_EQ(s.Word(0), 4u);
            }
    }
    EXPECT_EQ(beats, (std::vector<int>{0, 6, 12}));

    server_->GetApplication()->FailThreadForTest();
    (void)capture_->WaitUntil([] { return !ThreadManager::IsActivated(CTIApplication::kThreadName); });
    ASSERT_FALSE(ThreadManager::IsActivated(CTIApplication::kThreadName));
    TakeSent();
    for (int tick = 0; tick < 3; ++tick) server_->ApplicationWatchdog();
    const auto sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, CTI_ERROR_ACK);
    EXPECT_EQ(sent[0].Word(2), 1u);
    EXPECT_EQ(sent[0].Word(3), 0u);
}

TEST_F(OPCTest, MaintenanceWithoutClients) {
    Prepare(5);
    Deliver(CTI_SET_ACTIVE_REQ, Active(1));
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, nullptr));
    ASSERT_TRUE(WaitState(Server::ACTIVE));
    Payload request;
    request.U32(5).U32(0x77).U32(1);
    for (int i = 0; i < 2; ++i) {  // no clients: the timer never runs, so both are accepted
        Deliver(CTI_MAINTENANCE_MODE_REQUEST, request);
        Sent ack;
        ASSERT_TRUE(WaitSent(CTI_OK_ACK, &ack));
        EXPECT_EQ(ack.Word(2), 122u);
        EXPECT_EQ(ack.Word(3), 0x77u);
        EXPECT_TRUE(server_->GetApplication()->IsMaintenanceHold());
    }
    Payload rejected;
    rejected.U32(5).U32(0).U32(0).U32(1);
    Deliver(CTI_MAINTENANCE_MODE_IN_PROGRESS, rejected);
    EXPECT_FALSE(server_->GetApplication()->IsMaintenanceHold());
    Payload accepted;
    accepted.U32(5).U32(0).U32(1).U32(1);
    EXPECT_EXIT(Deliver(CTI_MAINTENANCE_MODE_IN_PROGRESS, accepted),
                ::testing::ExitedWithCode(100008 & 0xFF), "No clients eligible for maintenance mode event");
}

TEST_F(OPCTest, MaintenanceOnAStandbySideEndsAtOnce) {
    Prepare(5, true);
    Deliver(CTI_SET_ACTIVE_REQ, Active(0));
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, nullptr));
    ASSERT_TRUE(WaitState(Server::STANDBY));
    Payload request;
    request.U32(5).U32(1).U32(0);  // the other side
    Deliver(CTI_MAINTENANCE_MODE_REQUEST, request);
    EXPECT_TRUE(server_->GetApplication()->IsMaintenanceHold());
    Payload accepted;
    accepted.U32(5).U32(0).U32(1).U32(1);
    EXPECT_EXIT(Deliver(CTI_MAINTENANCE_MODE_IN_PROGRESS, accepted),
                ::testing::ExitedWithCode(100008 & 0xFF), "as side is in Standby mode");
}

// The server ACTIVE with its application serving clients on an ephemeral plain port.
class ServingTest : public OPCTest {
protected:
    // The poster stops first and the application thread next, so that nothing races the end;
    // then the application's end waits for its sessions' threads on the fake clock, which
    // moves on while the server goes.
    void TearDown() override {
        if (CTIApplication* application = server_->GetApplication(); application && application->IsThreadRunning()) {
            (void)static_cast<TransportProtocol&>(*application).Close();
            application->FailThreadForTest();
            EXPECT_TRUE(testsupport::WaitFor([&] { return !application->IsThreadRunning(); }));
        }
        WhileTimeMoves([this] { server_.reset(); });
        OPCTest::TearDown();
    }
    // Runs `work` on a thread of its own while the fake clock moves from sleep to sleep (never
    // past a wait on real work: the poster's end, a socket).
    void WhileTimeMoves(const std::function<void()>& work) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            work();
            done = true;
        });
        while (!done)
            if (clock_.AwaitSleepers(1, 20)) (void)clock_.AdvanceToNextSleep(20);
        worker.join();
    }
    void Activate() {
        Prepare(5);
        Deliver(CTI_SET_ACTIVE_REQ, Active(1));
        ASSERT_TRUE(WaitSent(CTI_OK_ACK, nullptr));
        ASSERT_TRUE(WaitState(Server::ACTIVE));
    }
    // Opens a standby-capable ALL_EVENTS client to its OPEN_CONF; its SessionID, or -1.
    int32_t Open(sesstest::Client& client, const char* clientID) {
        auto request = sesstest::OpenReq(1, 30, servicemask::ALL_EVENTS | servicemask::STANDBY_CAPABLE, clientID);
        if (!client.Send(*request) || client.Read().type != OPEN_CONF) return -1;
        return SessionProtocol::GetClientSessionID(clientID, nullptr);
    }
    int Port() { return server_->GetApplication()->BoundPort(false); }
    static bool HasClientRecord(int32_t sessionID) {
        model::ServerLockGuard guard(model::ServerLock());
        return ClientCB::Find(sessionID) != nullptr;
    }
};

// The OPC's decision for maintenance on this side: each client that stops sending requests to
// this side is closed; an indication naming no session only counts; the last one closes its
// client and ends the server.
TEST_F(ServingTest, ClientsThatStopSendingRequestsAreClosedAndTheLastEndsTheServer) {
    Activate();
    sesstest::Client first(Port()), second(Port()), third(Port());
    const int32_t firstID = Open(first, "first");
    const int32_t secondID = Open(second, "second");
    const int32_t thirdID = Open(third, "third");
    ASSERT_GT(firstID, 0);
    ASSERT_GT(secondID, 0);
    ASSERT_GT(thirdID, 0);
    Payload accepted;
    accepted.U32(5).U32(0).U32(1).U32(1);
    Deliver(CTI_MAINTENANCE_MODE_IN_PROGRESS, accepted);
    for (sesstest::Client* c : {&first, &second, &third}) ASSERT_EQ(c->Read().type, ACTIVE_MAINTENANCE_EVENT);
    ASSERT_EQ(server_->GetMaintenancePendingClients(), 3);
    ASSERT_TRUE(server_->IsStoppingRequestsPending());
    Events::Take();

    server_->ProcessStoppingRequestsInd(firstID);
    auto events = Events::Take();
    EXPECT_EQ(Events::CountText(events, "Client stopped sending requests to this side. Closing session " +
                                            std::to_string(firstID)),
              1u);
    EXPECT_EQ(Events::CountText(events, "No session found"), 0u);
    EXPECT_EQ(Events::CountText(events, "CloseClient - SessionID " + std::to_string(firstID) + " (first) closed"), 1u);
    EXPECT_FALSE(HasClientRecord(firstID));

    const int32_t unknown = thirdID + 1000;
    server_->ProcessStoppingRequestsInd(unknown);
    events = Events::Take();
    EXPECT_EQ(Events::CountText(events, "No session found for sessionID " + std::to_string(unknown)), 1u);
    EXPECT_EQ(Events::CountText(events, "Closing"), 0u);
    EXPECT_EQ(server_->GetMaintenancePendingClients(), 1);
    EXPECT_TRUE(HasClientRecord(secondID));
    EXPECT_TRUE(HasClientRecord(thirdID));

    const std::string last = std::to_string(thirdID);
    EXPECT_EXIT(server_->ProcessStoppingRequestsInd(thirdID), ::testing::ExitedWithCode(100008 & 0xFF),
                "Closing last client session " + last + " and shutting down the Parlo.*CloseClient - SessionID " +
                    last + " \\(third\\) closed");
}

// The OPC idles a side whose application thread failed: the fresh application starts without
// the old one's client records or sessions.
TEST_F(ServingTest, AnIdleLeavesNoClientRecordOrSessionBehind) {
    Activate();
    sesstest::Client client(Port());
    const int32_t id = Open(client, "desk");
    ASSERT_GT(id, 0);
    CTIApplication* old = server_->GetApplication();
    old->FailThreadForTest();
    ASSERT_TRUE(testsupport::WaitFor([&] { return !old->IsThreadRunning(); }));
    ASSERT_TRUE(HasClientRecord(id));

    WhileTimeMoves([this] { Deliver(CTI_SET_IDLE_REQ, Idle(5, 1, 7)); });
    EXPECT_EQ(server_->GetState(), Server::IDLE);
    EXPECT_NE(server_->GetApplication(), nullptr);
    EXPECT_EQ(ClientCB::Count(), 0);
    EXPECT_EQ(SessionProtocol::GarbageCount(), 0u);
    EXPECT_TRUE(client.SeesEof());
}

TEST_F(OPCTest, MaintenanceResponsesWithoutAPendingRequestAreIgnored) {
    server_->CreateApplication();
    server_->ProcessMaintenanceModeResponse(4, 1, 0);
    server_->ProcessStoppingRequestsInd(4);
    const auto events = Events::Take();
    EXPECT_EQ(Events::CountText(events, "when no response is pending"), 1u);
    EXPECT_EQ(Events::CountText(events, "when it is not expected"), 1u);
    EXPECT_TRUE(TakeSent().empty());
}

}  // namespace
}  // namespace srvtest
