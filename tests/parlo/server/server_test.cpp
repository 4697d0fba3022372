// The Server object: state machine, unique ids, peripheral table, OPC clock and timers.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "ctimsg/names.h"
#include "opcmsg/opctypes.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/server/threadmgr.h"
#include "tests/parlo/server/server_fixture.h"
#include "tests/support/wait.h"

namespace {

using srvtest::Events;
using srvtest::ServerTest;

// Moves the server into `state` through allowed transitions.
void Reach(Server& s, int state) {
    s.SetState(Server::IDLE);
    if (state == Server::IDLE) return;
    if (state == Server::SHUTDOWN) return s.SetState(Server::SHUTDOWN);
    s.SetState(Server::ACTIVATING);
    if (state == Server::ACTIVATING) return;
    s.SetState(state == Server::ACTIVE ? Server::ACTIVE : Server::STANDBY);
}

TEST_F(ServerTest, StateTransitionTable) {
    // allowed[from][to], states 0 to 5 (from INVALID only the start reaches others).
    const bool allowed[6][6] = {
        /* INVALID    */ {false, true, true, false, false, false},
        /* SHUTDOWN   */ {false, true, true, false, false, false},
        /* IDLE       */ {false, true, true, true, false, false},
        /* ACTIVATING */ {false, true, true, false, true, true},
        /* ACTIVE     */ {false, true, true, false, false, false},
        /* STANDBY    */ {false, true, true, false, true, false},
    };
    for (int from = 1; from < 6; ++from) {
        for (int to = 0; to < 6; ++to) {
            SCOPED_TRACE(std::string(Server::GetStateName(from)) + " -> " + Server::GetStateName(to));
            if (allowed[from][to]) {
                Reach(*server_, from);
                server_->SetState(to);
                EXPECT_EQ(server_->GetState(), to);
                EXPECT_EQ(MDSIO::IsServerActive(), to == Server::ACTIVE || to == Server::STANDBY);
            } else {
                const std::string text = std::string("Invalid state transition from ") +
                                         Server::GetStateName(from) + " to " + Server::GetStateName(to);
                EXPECT_EXIT(
                    {
                        Reach(*server_, from);
                        server_->SetState(to);
                    },
                    ::testing::ExitedWithCode(100002 & 0xFF), text);
            }
        }
    }
    EXPECT_EXIT(server_->SetState(6), ::testing::ExitedWithCode(100002 & 0xFF),
                "Server::SetState - Invalid state 6 specified \\(oldState=");
    EXPECT_STREQ(Server::GetStateName(7), "?State?");
}

TEST_F(ServerTest, SecondServerIsFatalAndIdleAgainStampsTheChange) {
    EXPECT_EXIT(Server second, ::testing::ExitedWithCode(100002 & 0xFF),
                "The static member sm_Server is already set");
    const uint64_t before = server_->GetStateChangeTime();
    clock_.AdvanceMs(2000);
    server_->SetState(Server::IDLE);
    EXPECT_GT(server_->GetStateChangeTime(), before);
}

TEST_F(ServerTest, UniqueIDsCarryTheirPrefixWrapAndNeverRepeat) {
    server_->SetSide(0);  // side B
    server_->SetServerNumber(9);
    server_->InitUniqueID(2);
    EXPECT_EQ(server_->GetUniqueID(), 0x32000000u);
    EXPECT_EQ(server_->GetUniqueID(), 0x32000001u);
    server_->SetUniqueIDCounter(0xFFFFFF);
    EXPECT_EQ(server_->GetUniqueID(), 0x32FFFFFFu);
    EXPECT_EQ(server_->GetUniqueID(), 0x32000000u);  // the counter wraps, the prefix stays
    server_->SetSide(1);
    server_->SetServerNumber(0);
    server_->InitUniqueID(17);  // only the generation's low four bits
    EXPECT_EQ(server_->GetUniqueID() >> 24, 1u);

    // Two threads at once: no id is handed out twice.
    constexpr int kEach = 200000;
    std::vector<uint32_t> a(kEach), b(kEach);
    std::thread ta([&] { for (auto& id : a) id = server_->GetUniqueID(); });
    std::thread tb([&] { for (auto& id : b) id = server_->GetUniqueID(); });
    ta.join();
    tb.join();
    std::set<uint32_t> all(a.begin(), a.end());
    all.insert(b.begin(), b.end());
    EXPECT_EQ(all.size(), 2u * kEach);
}

TEST_F(ServerTest, PeripheralTable) {
    for (int32_t id = 100; id < 100 + Server::kMaxPeripherals; ++id) EXPECT_GE(server_->FindPeripheral(id), 0);
    Events::Take();
    EXPECT_EQ(server_->FindPeripheral(999), -1);
    const auto events = Events::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Text(), "Server::FindPeripheral - ERROR:  Peripheral limit of 32 reached, cannot add peripheral 999");
    EXPECT_EQ(server_->GetPeripheralType(999), -1);
    EXPECT_EQ(server_->GetPeripheralFlag(999), 0);
    server_->SetPeripheralType(999, 5);  // nothing to set
    EXPECT_EQ(server_->GetNumPeripherals(), Server::kMaxPeripherals);

    // Only statuses 3 and 4 are kept.
    server_->SetPeripheralStatus(100, 3);
    server_->SetPeripheralStatus(100, 7);
    EXPECT_EQ(server_->GetPeripheralStatus(100), 3);
    server_->SetPeripheralStatus(100, 4);
    EXPECT_EQ(server_->GetPeripheralStatus(100), 4);
    server_->SetPeripheralMultiline(101, 1);
    server_->SetPeripheralMultiline(102, 1);
    EXPECT_EQ(server_->CountFlaggedPeripherals(), 2);
}

TEST_F(ServerTest, AgentAndStandbyPeripherals) {
    // Internal types whose CTI peripheral type is an agent type, and one that is not.
    int32_t agentType = -1, otherType = -1, standbyType = -1;
    for (int32_t t = 0; t < 200; ++t) {
        const uint32_t cti = ConvertPeripheralType(t);
        if (agentType < 0 && (cti == 1 || cti == 4 || cti == 5 || cti == 16 || cti == 23)) agentType = t;
        if (otherType < 0 && cti != 65535 && cti != 1 && cti != 4 && cti != 5 && cti != 16 && cti != 17 && cti != 23)
            otherType = t;
        if (standbyType < 0 && cti == 17) standbyType = t;
    }
    ASSERT_GE(agentType, 0);
    ASSERT_GE(otherType, 0);
    int count = -1;
    EXPECT_EQ(server_->GetAgentPeripheralClientType(&count), 0);
    EXPECT_EQ(count, 0);
    server_->SetPeripheralType(1, otherType);
    server_->SetPeripheralType(2, agentType);
    EXPECT_EQ(server_->GetAgentPeripheralClientType(&count), agentType);
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(server_->HasStandbyPeripheral());
    if (standbyType >= 0) {
        server_->SetPeripheralType(3, standbyType);
        EXPECT_TRUE(server_->HasStandbyPeripheral());
        EXPECT_EQ(server_->GetAgentPeripheralClientType(&count), agentType);  // the first one
        EXPECT_EQ(count, 2);
    }
}

TEST_F(ServerTest, OPCClockReportsItsDrift) {
    server_->SetPGTime(1000);
    auto events = Events::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 0x612E0013u);
    EXPECT_EQ(events[0].args[0], "0");  // the first setting has no drift
    clock_.AdvanceMs(10000);
    EXPECT_EQ(server_->GetPGTime(), 1010);
    server_->SetPGTime(1010);  // as expected: nothing
    EXPECT_TRUE(Events::Take().empty());
    const uint8_t body[4] = {0x00, 0x04, 0x00, 0x00};  // 1024
    server_->ProcessTimeNotification(body, sizeof body);
    events = Events::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].args[0], "14");
    server_->ProcessTimeNotification(body, 3);  // too short: dropped
    EXPECT_TRUE(Events::Take().empty());
}

TEST_F(ServerTest, Timers) {
    server_->StartOPCHeartBeatTimer(-1);
    EXPECT_EQ(server_->GetOPCHeartBeatTime(), -1);
    EXPECT_FALSE(server_->GetTimer(ServerTimer::OPCHeartBeat)->IsRunning());
    server_->StartOPCHeartBeatTimer(30);
    EXPECT_EQ(server_->GetOPCHeartBeatTime(), 30);
    EXPECT_TRUE(server_->GetTimer(ServerTimer::OPCHeartBeat)->IsRunning());

    ServerTimer* update = server_->GetTimer(ServerTimer::AgentConfigureUpdate);
    server_->ActivateAgentConfigureUpdateTimer(3);
    const uint64_t due = update->GetTimeScheduled();
    clock_.AdvanceMs(1000);
    server_->ActivateAgentConfigureUpdateTimer(3);  // running: not restarted
    EXPECT_EQ(update->GetTimeScheduled(), due);
    EXPECT_EQ(Events::CountText(Events::Take(), "Server::ActivateAgentConfigureUpdateTimer"), 1u);
    update->Execute();
    EXPECT_FALSE(update->IsRunning());
    EXPECT_FALSE(server_->IsStoppingRequestsPending());

    ServerTimer unknown(9);
    char name[64];
    unknown.GetName(name, sizeof name);
    EXPECT_STREQ(name, "ServerTimer - Unknown");
    unknown.Execute();
    const auto events = Events::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 0xA12EC001u);
    EXPECT_EQ(events[0].Text(), "9|Server");
}

TEST_F(ServerTest, InitCreatesTheApplicationAsACriticalThread) {
    server_->Init();
    ASSERT_NE(server_->GetApplication(), nullptr);
    EXPECT_NE(ThreadManager::ListThreads().find("CTI Application Thread   CRITICAL"), std::string::npos);
    EXPECT_TRUE(server_->GetTimer(ServerTimer::ServerHeartBeat)->IsRunning());
    EXPECT_EQ(server_->GetState(), Server::IDLE);
    // The title names the process, the state and the registry's listen settings.
    server_->SetProcessName("parlo");
    Server::SetConsoleTitle("parlo old title");
    server_->UpdateConsoleTitle();
    EXPECT_EQ(Server::GetConsoleTitle(),
              "parlo parlo - [IDLE    SecurityMode - MIXED  (NonSecurePort: Not-Configured, SecurePort: Not-Configured)]");
    server_->DestroyApplication();
    EXPECT_EQ(server_->GetApplication(), nullptr);
    EXPECT_EQ(ThreadManager::ListThreads().find("CTI Application Thread"), std::string::npos);
}

TEST_F(ServerTest, OPCMessagesWaitForTheLink) {
    // The end of a configuration load (table 0): an application not in service takes it at
    // once and passes it back to the server, which then counts itself configured.
    uint8_t tableZero[20] = {};  // the ServerNumber word, op 1, table 0, num 0, update 0
    plat::StoreLE32(tableZero + 4, 1);
    server_->QueueOPCMessage(CTI_CONFIGURE_REQ, sizeof tableZero, tableZero);  // no application: nothing
    EXPECT_EQ(server_->IsConfigured(), 0);
    server_->Init();
    server_->QueueOPCMessage(CTI_CONFIGURE_REQ, sizeof tableZero, tableZero);  // link not established: dropped
    EXPECT_EQ(server_->IsConfigured(), 0);
    server_->SetOPCLinkEstablished(1);
    server_->QueueOPCMessage(CTI_CONFIGURE_REQ, sizeof tableZero, tableZero);
    EXPECT_EQ(server_->IsConfigured(), 1);

    // In service the input waits in the application's queue for its thread, which a
    // maintenance request makes hold it there.
    server_->SetState(Server::ACTIVATING);
    ASSERT_EQ(server_->StartApplicationThreads(1), 1);
    CTIApplication* application = server_->GetApplication();
    ASSERT_TRUE(testsupport::WaitFor([&] { return server_->GetState() == Server::ACTIVE; }));
    application->QueueMaintenanceRequest();
    ASSERT_TRUE(testsupport::WaitFor([&] { return application->IsKeepingOPCMsgsInQueue(); }));
    const size_t before = application->InputQueueCount();
    uint8_t time[8] = {};
    plat::StoreLE32(time + 4, 1700000000);
    server_->QueueOPCMessage(CTI_TIME_NOTIFICATION_EVENT, sizeof time, time);
    EXPECT_EQ(application->InputQueueCount(), before + 1);
    server_->SetOPCLinkEstablished(0);
    server_->QueueOPCMessage(CTI_TIME_NOTIFICATION_EVENT, sizeof time, time);
    EXPECT_EQ(application->InputQueueCount(), before + 1);
}

}  // namespace
