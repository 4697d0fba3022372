// The object model's ports as the Server installs them: what the model reads and moves
// reaches the server's own lock, state, registry, timers and counters, and OPC's
// configuration records reach the model's tables.
#include <gtest/gtest.h>

#include <thread>

#include "parlo/model/agent.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/peripheralconfig.h"
#include "parlo/model/ports.h"
#include "parlo/common/importmetrics.h"
#include "parlo/server/serverports.h"
#include "platform/perfcounters.h"
#include "tests/parlo/model/opc_record_builder.h"
#include "tests/parlo/server/opc_fixture.h"

namespace srvtest {
namespace {

TEST_F(ServerTest, ThePortsForwardToThisServer) {
    const model::Ports& ports = model::GetPorts();
    ASSERT_NE(ports.sessions, nullptr);
    ASSERT_NE(ports.server, nullptr);
    ASSERT_NE(ports.clients, nullptr);
    ASSERT_NE(ports.opc, nullptr);
    model::ServerContext& context = model::Server();
    EXPECT_EQ(context.ServerState(), server_->GetState());

    // The server's own lock, not counted: a second take by the owner fails, another thread
    // cannot release it.
    ASSERT_TRUE(context.LockServer("test"));
    EXPECT_TRUE(server_->IsLocked());
    EXPECT_TRUE(context.IsServerLockedByCurrentThread());
    EXPECT_FALSE(context.LockServer("test"));
    bool otherUnlocked = true, otherSeesLocked = true;
    std::thread([&] {
        otherUnlocked = context.UnlockServer("other");
        otherSeesLocked = context.IsServerLockedByCurrentThread();
    }).join();
    EXPECT_FALSE(otherUnlocked);
    EXPECT_FALSE(otherSeesLocked);
    EXPECT_TRUE(context.UnlockServer("test"));
    EXPECT_FALSE(server_->IsLocked());
    EXPECT_FALSE(context.UnlockServer("test"));

    context.UpdateMeter(model::kMeterCallsInProgress, 2);
    context.UpdateMeter(model::kMeterCallsInProgress, -1);
    context.UpdateMeter(model::kMeterActiveCalls, 1);
    EXPECT_EQ(server_->GetMeter(model::kMeterCallsInProgress), 1);
    EXPECT_EQ(server_->GetMeter(model::kMeterActiveCalls), 1);

    server_->SetPeripheralType(5000, 30);
    EXPECT_EQ(context.GetPeripheralType(5000), 30);
}

// The registry's live values, read at the moment of use.
TEST_F(ServerTest, RegistryValuesAreReadLive) {
    model::ServerContext& context = model::Server();
    struct Row {
        CTIRegistry::DynamicValue value;
        int (*read)(model::ServerContext&);
    };
    const Row rows[] = {
        {CTIRegistry::MaxPrivateCallsPerAgent, [](model::ServerContext& c) { return c.MaxPrivateCallsPerAgent(); }},
        {CTIRegistry::PrivateCallCleanupDelay, [](model::ServerContext& c) { return c.PrivateCallCleanupDelay(); }},
        {CTIRegistry::RemoveCGDuplicateConnections,
         [](model::ServerContext& c) { return c.RemoveCGDuplicateConnections() ? 1 : 0; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(CTIRegistry::DynamicName(row.value));
        registry_->SetDynamic(row.value, 0);
        EXPECT_EQ(row.read(context), 0);
        registry_->SetDynamic(row.value, 1);
        EXPECT_EQ(row.read(context), 1);
    }
    registry_->SetDynamic(CTIRegistry::MaxPrivateCallsPerAgent, 7);
    EXPECT_EQ(context.MaxPrivateCallsPerAgent(), 7);
}

// Each model counter moves the published counter of the same name, and only that one.
TEST_F(ServerTest, ModelCountersMoveTheirNamesakes) {
    ASSERT_TRUE(ImportMetrics::Instance().Init("ports"));
    model::ServerContext& context = model::Server();
    for (int i = 0; i <= static_cast<int>(model::PerfCounter::PARLO_TALKING_AGENTS); ++i) {
        const auto counter = static_cast<model::PerfCounter>(i);
        const std::string name = model::PerfCounterName(counter);
        SCOPED_TRACE(name);
        context.Increment(counter);
        context.Increment(counter);
        context.Decrement(counter);
        const auto published = plat::ReadPublishedCounters("ports");
        ASSERT_EQ(published.size(), 1u);
        int named = 0;
        for (const auto& c : published[0].counters) {
            EXPECT_EQ(c.value, c.name == name ? 1 : 0) << c.name;
            named += c.name == name;
        }
        EXPECT_EQ(named, 1);
        context.Decrement(counter);
    }
    ImportMetrics::Instance().reset();
}

TEST_F(ServerTest, DeferredAgentsStartTheThreeSecondTimerOnce) {
    model::ServerContext& context = model::Server();
    context.ActivateAgentConfigureUpdateTimer();
    context.ActivateAgentConfigureUpdateTimer();
    EXPECT_TRUE(server_->GetTimer(ServerTimer::AgentConfigureUpdate)->IsRunning());
    EXPECT_EQ(Events::CountText(Events::Take(), "Server::ActivateAgentConfigureUpdateTimer"), 1u);
}

// Before any session opens, sends reach no one and look-ups find nothing.
TEST_F(ServerTest, WithNoSessionTheSinkAndDirectoryKnowNoOne) {
    model::SessionSink& sink = model::Sessions();
    model::ClientDirectory& clients = model::Clients();
    EXPECT_FALSE(sink.FindSession(1));
    EXPECT_EQ(sink.FindSessionByUniqueInstanceID("x"), -1);
    EXPECT_EQ(sink.SessionMonitorList(&sink), nullptr);
    EXPECT_EQ(sink.SendFailureEventMSG(1, 90, true), 0);
    model::ClientInfo info;
    EXPECT_FALSE(clients.Find(1, info));
    model::ConfigClient config;
    EXPECT_FALSE(clients.FindConfigClient(1, config));
    std::vector<model::ConfigClient> all{config};
    clients.GetConfigClients(all);
    EXPECT_TRUE(all.empty());
    EXPECT_FALSE(clients.GetDisableUTF8Conversion());
}

class ConfigIntake : public OPCTest {
protected:
    static std::vector<uint8_t> Agents(std::initializer_list<modeltest::AgentRecordSpec> specs) {
        std::vector<uint8_t> bytes;
        for (const auto& s : specs) {
            const auto r = modeltest::AgentRecord(s);
            bytes.insert(bytes.end(), r.bytes.begin(), r.bytes.end());
        }
        return bytes;
    }
    // Waits (bounded) until a trace holding `text` was seen.
    bool WaitTrace(const std::string& text) {
        return capture_->WaitUntil([&] {
            std::lock_guard<std::mutex> hold(Events::mu);
            return Events::CountText(Events::seen, text) > 0;
        });
    }
    void TearDown() override {
        Agent::RemoveAgent(-1, "");  // while the server the ports name still exists
        OPCTest::TearDown();
    }
    // The OPC's start of a server: the set-idle, peripheral 5000 (type 30), the agents and
    // the end of the load (table 0).
    void Load(std::initializer_list<modeltest::AgentRecordSpec> agents) {
        server_->CreateApplication();
        Deliver(CTI_SET_IDLE_REQ, Idle(3, 1, 0x55));
        Payload peripheral;
        peripheral.U32(5000).U32(30).U32(0).U32(0);
        Deliver(CTI_CONFIGURE_REQ, Config(1, 11, 1, 0, peripheral.bytes));
        Deliver(CTI_CONFIGURE_REQ, Config(1, 5, static_cast<uint32_t>(agents.size()), 0, Agents(agents)));
        Deliver(CTI_CONFIGURE_REQ, Config(1, 0, 0, 0));
    }
};

// The initial load fills the peripheral and agent tables, the agent typed by the server's
// peripheral table; an update batch while ACTIVE is held back behind one timer start.
TEST_F(ConfigIntake, RecordsReachTheModelsTables) {
    modeltest::AgentRecordSpec ann;
    ann.stid = 7001;
    ann.supervisor = 1;
    modeltest::AgentRecordSpec bob;
    bob.stid = 7002;
    bob.login = "1002";
    Load({ann, bob});

    ASSERT_NE(PeripheralConfig::Find(5000), nullptr);
    ASSERT_NE(AgentConfig::FindAgentConfig(7001), nullptr);
    EXPECT_EQ(AgentConfig::FindAgentConfig(7002)->LoginID, "1002");
    Agent* agent = Agent::FindAgentBySkillTargetID(5000, 7001);
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(agent->GetPeripheralType(), 30);
    EXPECT_TRUE(agent->IsSupervisor());
    EXPECT_EQ(Events::CountText(Events::Take(), "runs past the end"), 0u);

    Deliver(CTI_SET_ACTIVE_REQ, Active(1, 30));
    ASSERT_TRUE(WaitState(Server::ACTIVE));
    ann.login = "2001";
    bob.login = "2002";
    Deliver(CTI_CONFIGURE_REQ, Config(3, 5, 2, 1, Agents({ann, bob})));
    ASSERT_TRUE(WaitTrace("Server::ActivateAgentConfigureUpdateTimer"));
    EXPECT_TRUE(server_->GetTimer(ServerTimer::AgentConfigureUpdate)->IsRunning());
    // The batch event is the intake's last step.
    ASSERT_TRUE(WaitTrace("Updated"));
    EXPECT_EQ(AgentConfig::DeferredSize(), 2u);
    EXPECT_EQ(AgentConfig::FindAgentConfig(7001)->LoginID, "1001");
    EXPECT_EQ(Events::CountText(Events::Take(), "Server::ActivateAgentConfigureUpdateTimer"), 1u);
}

// A batch held back while ACTIVE is applied when the OPC idles the server before the timer
// fires: the next application starts from the records OPC sent.
TEST_F(ConfigIntake, AnIdleAppliesTheBatchHeldBack) {
    modeltest::AgentRecordSpec ann;
    ann.stid = 7001;
    Load({ann});
    Deliver(CTI_SET_ACTIVE_REQ, Active(1, 30));
    ASSERT_TRUE(WaitState(Server::ACTIVE));
    ann.login = "2001";
    Deliver(CTI_CONFIGURE_REQ, Config(3, 5, 1, 1, Agents({ann})));
    ASSERT_TRUE(WaitTrace("Updated"));
    ASSERT_EQ(AgentConfig::DeferredSize(), 1u);

    Deliver(CTI_SET_IDLE_REQ, Idle(3, 1, 0x56));
    EXPECT_EQ(server_->GetState(), Server::IDLE);
    EXPECT_FALSE(server_->GetTimer(ServerTimer::AgentConfigureUpdate)->IsRunning());
    EXPECT_EQ(AgentConfig::DeferredSize(), 0u);
    EXPECT_EQ(AgentConfig::FindAgentConfig(7001)->LoginID, "2001");
}

}  // namespace
}  // namespace srvtest
