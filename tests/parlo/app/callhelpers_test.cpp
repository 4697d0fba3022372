// The call-control helpers: an agent's private calls under the live limit (the oldest goes
// first, a limit below 1 makes none), their release and detachment, the default instrument,
// the trace tag and the session through which a team member is reached.
#include <gtest/gtest.h>

#include <string>

#include "parlo/app/callhelpers.h"
#include "parlo/model/agentteam.h"
#include "tests/parlo/app/callcontrol_fixture.h"

namespace {

using namespace calltest;

class CallHelpersTest : public CallControlTest {
protected:
    // A private call for the agent at `instrument`, keyed by callID at that device.
    Call* Private(uint32_t callID, const char* instrument = "4501") {
        return app_->AddPrivateCallAtInstrument(nullptr, kPeriph, 16, callID, instrument, 0, "5551234",
                                                instrument, "test");
    }
    static bool CallExists(uint32_t callID) { return Call::FindCall(kPeriph, callID, -2, "", 0) != nullptr; }
    void SetUp() override {
        CallControlTest::SetUp();
        agent_ = new Agent(kPeriph, 30, 4501, 0, "2501", "4501", "4501", false);
    }
    Agent* agent_ = nullptr;
};

TEST_F(CallHelpersTest, TheLimitDropsTheOldestPrivateCallAndZeroMakesNone) {
    SetDynamic(CTIRegistry::MaxPrivateCallsPerAgent, 2);
    Call* first = Private(701);
    ASSERT_NE(nullptr, first);
    EXPECT_TRUE(first->IsPrivate());
    EXPECT_EQ(16, first->m_CallType);
    EXPECT_EQ("5551234", first->m_DialedNumber);
    EXPECT_EQ(agent_, first->PrivateCallAgent());
    ASSERT_NE(nullptr, Private(702));
    ASSERT_NE(nullptr, Private(703));
    EXPECT_EQ(2, agent_->NumPrivateCalls());
    EXPECT_FALSE(CallExists(701)) << "the oldest went first";
    EXPECT_TRUE(CallExists(702));
    EXPECT_TRUE(CallExists(703));

    // Read live: a new limit applies to the next call.
    SetDynamic(CTIRegistry::MaxPrivateCallsPerAgent, 0);
    EXPECT_EQ(nullptr, Private(704));
    EXPECT_EQ(2, agent_->NumPrivateCalls());
    SetDynamic(CTIRegistry::MaxPrivateCallsPerAgent, 5);
    EXPECT_EQ(nullptr, Private(705, "")) << "no instrument";
    EXPECT_EQ(nullptr, Private(706, "4999")) << "no agent at the instrument";
    EXPECT_FALSE(CallExists(704) || CallExists(705) || CallExists(706));
}

TEST_F(CallHelpersTest, FreeReleasesThroughTheAgentAndDetachKeepsTheCall) {
    SetDynamic(CTIRegistry::MaxPrivateCallsPerAgent, 5);
    Call* freed = Private(711);
    Call* detached = Private(712);
    ASSERT_NE(nullptr, freed);
    ASSERT_NE(nullptr, detached);
    app_->FreeCall(freed, "test");
    EXPECT_FALSE(CallExists(711));
    EXPECT_EQ(1, agent_->NumPrivateCalls());

    app_->DetachPrivateCall(detached);
    EXPECT_EQ(0, agent_->NumPrivateCalls());
    ASSERT_TRUE(CallExists(712));
    EXPECT_EQ(nullptr, detached->PrivateCallAgent());
    app_->DetachPrivateCall(detached);  // no agent any more: nothing
    app_->DetachPrivateCall(nullptr);

    Call* ordinary = NewCall(713, {{"4700", 3}});
    app_->FreeCall(ordinary, "test");
    EXPECT_FALSE(CallExists(713));
    app_->FreeCall(nullptr, "test");
    EXPECT_TRUE(CallExists(712));
}

TEST_F(CallHelpersTest, TheDefaultInstrumentIsTheAgentsDeviceOnTheCall) {
    {
        model::ServerLockGuard guard(model::ServerLock());
        agent_->SetDevice(Device("4501"));
    }
    std::string instrument = "stale";
    DefaultCallInstrument(NewCall(721, {{"5551234", 3}, {"4501", 3}}), instrument, "Test");
    EXPECT_EQ("4501", instrument);
    DefaultCallInstrument(NewCall(722, {{"5551234", 3}, {"4702", 3}}), instrument, "Test");
    EXPECT_EQ("", instrument) << "no agent's device on the call";
    instrument = "stale";
    DefaultCallInstrument(nullptr, instrument, "Test");
    EXPECT_EQ("", instrument);
}

TEST_F(CallHelpersTest, TheTraceTagIsCutTo99Characters) {
    EXPECT_EQ("ProcessX - SessionID 7:", MakeSessionTraceTag("ProcessX", 7));
    EXPECT_EQ(std::string(99, 'x'), MakeSessionTraceTag(std::string(120, 'x').c_str(), 7));
    EXPECT_EQ(std::string(95, 'x') + " - S", MakeSessionTraceTag(std::string(95, 'x').c_str(), 7));
}

TEST_F(CallHelpersTest, AMembersSessionCountsOnlyOnceOpen) {
    ConfigureTeam(7, {9001, 9002}, {});
    const AgentTeam* seven = AgentTeam::FindAgentTeam(7);
    ASSERT_NE(nullptr, seven);

    Client talking(Port()), waiting(Port());
    ASSERT_TRUE(OpenAgent(talking, "1002", "desk1002"));  // the stand-in's talking agent
    ASSERT_TRUE(OpenAgent(waiting, "1001", "desk1001"));  // logged out: waits for its login
    (void)Until(talking, Fence());
    EXPECT_EQ(1, CTIApplication::GetAgentSessionID(seven, 9002));
    EXPECT_EQ(-1, CTIApplication::GetAgentSessionID(seven, 9001));
    EXPECT_EQ(-1, CTIApplication::GetAgentSessionID(seven, 4501)) << "an agent without a session";
    EXPECT_EQ(-1, CTIApplication::GetAgentSessionID(seven, -1));
    EXPECT_EQ(-1, CTIApplication::GetAgentSessionID(nullptr, 9002));
}

}  // namespace
