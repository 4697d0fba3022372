// Agent state reports: counters, skill groups, media routing domains, private calls, lines
// and the association of client sessions.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "parlo/model/agent.h"
#include "parlo/model/modelutil.h"
#include "parlo/common/serverstate.h"
#include "tests/parlo/model/model_fixture.h"
#include "tests/parlo/model/call_test_access.h"
#include "tests/parlo/model/agent_test_access.h"

namespace modeltest {
namespace {

class AgentStateTest : public ModelTest {
protected:
    AgentStateTest() { clock_.SetRealtimeNs(1700000000LL * 1000000000LL); }
    ~AgentStateTest() override { Agent::RemoveAgent(-1, ""); }

    Agent* NewAgent(int32_t type = 48) {
        return new Agent(5000, type, 77, 0, "1001", "1500", "1500", false);
    }
    // A report of the overall state alone (skill-group state 9 leaves the groups).
    static int Report(Agent* a, int32_t state, int32_t mrd = 1, const char* uid = "") {
        return a->UpdateAgentState(state, 0, mrd, 9, 0, 0, 0, 0, 0, "", uid, true);
    }
    static int Group(Agent* a, int32_t state, uint32_t number, int32_t id = 300) {
        return a->UpdateAgentState(a->GetOverallState(), 0, 1, state, 0, id, number, 0, 0, "", "", true);
    }
    std::map<std::string, int> Counters() {
        std::map<std::string, int> out;
        for (auto& [k, v] : ports.counters)
            if (k.find("AGENTS") != std::string::npos && v != 0) out[k] = v;
        return out;
    }
};

TEST_F(AgentStateTest, CountersFollowTheFirstStateAfterALogin) {
    using M = std::map<std::string, int>;
    struct Step {
        int32_t state;
        M counters;  // cumulative, zeros left out
    };
    const std::vector<Step> steps = {
        {2, {{"PARLO_LOGGEDIN_AGENTS", 1}, {"PARLO_NOT_READY_AGENTS", 1}}},
        {3, {{"PARLO_LOGGEDIN_AGENTS", 1}, {"PARLO_NOT_READY_AGENTS", 1}}},  // not moved
        {4, {{"PARLO_LOGGEDIN_AGENTS", 1}, {"PARLO_NOT_READY_AGENTS", 1}, {"PARLO_TALKING_AGENTS", 1}}},
        {5, {{"PARLO_LOGGEDIN_AGENTS", 1}, {"PARLO_NOT_READY_AGENTS", 1}}},
        {1, {{"PARLO_LOGGEDOUT_AGENTS", 1}}},
        {6, {{"PARLO_LOGGEDOUT_AGENTS", 1}, {"PARLO_LOGGEDIN_AGENTS", 1}, {"PARLO_WORKREADY_AGENTS", 1}}},
        {9, {{"PARLO_LOGGEDOUT_AGENTS", 2}}},  // never lowered
    };
    Agent* a = NewAgent();
    for (const Step& s : steps) {
        EXPECT_EQ(Report(a, s.state), 1);
        EXPECT_EQ(Counters(), s.counters) << "after state " << s.state;
    }
    EXPECT_EQ(Report(a, 9), 0);  // no change, no counting

    // The same reports on another domain change the states and nothing else.
    ports.counters.clear();
    Agent* b = new Agent(5000, 48, 78, 0, "1002", "1600", "1600", false);
    b->AddPrivateCall(3, 1, model::ConnectionID(900, 0, "1600"), nullptr, false);
    for (int32_t state : {2, 3, 1}) EXPECT_EQ(Report(b, state, 5), 1);
    EXPECT_EQ(Counters(), M{});
    EXPECT_EQ(b->GetOverallState(), 1);
    EXPECT_EQ(b->GetAgentMRDState(5), 1);
    EXPECT_EQ(b->GetAgentMRDState(1), 9);
    EXPECT_TRUE(b->HasExtension());
    EXPECT_TRUE(b->HasInstrument());
    EXPECT_EQ(b->NumPrivateCalls(), 1);

    // Counted only while the server is active.
    ports.serverActive = false;
    Agent* c = new Agent(5000, 48, 79, 0, "1003", nullptr, nullptr, false);
    Report(c, 3);
    EXPECT_EQ(Counters(), M{});
}

// The counters of the agent events: a state enters its own counter and leaves the first other
// one it is in; logins and logouts count once each.
TEST_F(AgentStateTest, StateEventCountersMoveBetweenTheFourStates) {
    using M = std::map<std::string, int>;
    const std::string in = "PARLO_LOGGEDIN_AGENTS";
    Agent* a = NewAgent();
    a->CountLogin();
    a->CountLogin();
    EXPECT_TRUE(a->IsCountedLoggedIn());
    EXPECT_EQ(Counters(), (M{{in, 1}}));
    struct Step {
        int32_t state;
        const char* counter;  // the one state counter at 1 afterwards, or null
    };
    const Step steps[] = {
        {3, "PARLO_READY_AGENTS"},       {3, "PARLO_READY_AGENTS"},
        {2, "PARLO_NOT_READY_AGENTS"},   {6, "PARLO_WORKREADY_AGENTS"},
        {5, "PARLO_WORKNOTREADY_AGENTS"}, {4, nullptr},  // another state leaves work not ready
        {2, "PARLO_NOT_READY_AGENTS"},   {7, nullptr},   // ... and the first of the others
    };
    for (const Step& s : steps) {
        a->CountAgentState(s.state);
        M expected{{in, 1}};
        if (s.counter != nullptr) expected[s.counter] = 1;
        EXPECT_EQ(Counters(), expected) << "after state " << s.state;
    }
    a->CountAgentState(6);
    EXPECT_TRUE(a->IsCountedIn(6));
    EXPECT_FALSE(a->IsCountedIn(2));
    a->CountLogout();
    a->CountLogout();
    EXPECT_FALSE(a->IsCountedLoggedIn());
    EXPECT_EQ(Counters(), (M{{"PARLO_LOGGEDOUT_AGENTS", 1}}));
}

TEST_F(AgentStateTest, LogoutAndUnknownClearIdentityButOnlyLogoutDropsCalls) {
    for (int32_t state : {1, 9}) {
        Agent* a = NewAgent();
        Report(a, 2);
        a->m_DeskSettingsMask = 0x18;
        a->AddPrivateCall(3, 1, model::ConnectionID(900, 0, "1500"), nullptr, false);
        Report(a, state);
        EXPECT_FALSE(a->HasExtension());
        EXPECT_FALSE(a->HasInstrument());
        EXPECT_EQ(a->m_Extension, "1500");  // the text and the buckets stay
        EXPECT_EQ(Agent::FindAgentByExtension(-1, "1500"), nullptr);
        EXPECT_EQ(a->m_DeskSettingsMask, -1);
        EXPECT_EQ(a->NumPrivateCalls(), state == 1 ? 0 : 1) << state;
        Agent::RemoveAgent(-1, "");
    }
}

TEST_F(AgentStateTest, SkillGroupPriorityRules) {
    Agent* a = NewAgent();
    EXPECT_EQ(Group(a, 2, 17), 1);
    EXPECT_EQ(Group(a, 2, 17 | (2u << 24)), 1);  // the priority is taken
    EXPECT_EQ(a->NumSkillGroups(), 1);
    EXPECT_EQ(a->GetSkillGroupNumber(0), 17u | (2u << 24));
    EXPECT_EQ(Group(a, 3, 17), 0);  // no priority never replaces one: the state waits too
    EXPECT_EQ(a->GetSkillGroupNumber(0), 17u | (2u << 24));
    EXPECT_EQ(a->GetSkillGroupState(0), 2);
    EXPECT_EQ(Group(a, 3, 17 | (3u << 24)), 1);  // a nonzero priority does, with the state
    EXPECT_EQ(a->GetSkillGroupState(0), 3);
    EXPECT_EQ(Group(a, 1, 17 | (4u << 24)), 0);  // a logout keeps the stored word
    EXPECT_EQ(Group(a, 3, 17 | (3u << 24), 301), 1);  // only the ID differs
    EXPECT_EQ(a->GetCurrentSkillGroupID(), 301);
    EXPECT_EQ(Group(a, 2, 18), 1);
    EXPECT_EQ(a->CurrentSkillGroupIndex(), 1);
    EXPECT_EQ(a->GetCurrentSkillGroupNumber(), 18u);
    EXPECT_EQ(a->GetCurrentSkillGroupState(), 2);

    // Logout from every group empties them; a second time reports no change.
    EXPECT_EQ(Group(a, 1, 0xFFFFFFFF), 1);
    EXPECT_EQ(a->NumSkillGroups(), 0);
    EXPECT_EQ(a->GetCurrentSkillGroupState(), 9);
    EXPECT_EQ(a->GetCurrentSkillGroupID(), -1);
    EXPECT_EQ(Group(a, 1, 0xFFFFFFFF), 0);

    // On internal type 30 the whole word names the group.
    Agent* v = new Agent(5000, 30, 90, 0, "2001", nullptr, nullptr, false);
    Group(v, 2, 17);
    Group(v, 2, 17 | (2u << 24));
    EXPECT_EQ(v->NumSkillGroups(), 2);
}

TEST_F(AgentStateTest, ReportsNamingEverMoreGroupsAndDomainsAreBounded) {
    Agent* a = NewAgent();
    for (uint32_t g = 0; g < Agent::kMaxSkillGroups + 50; ++g) Group(a, 2, 1000 + g);
    EXPECT_EQ(a->NumSkillGroups(), Agent::kMaxSkillGroups);
    EXPECT_EQ(Group(a, 3, 1000), 1);  // a kept group still changes
    for (int32_t mrd = 2; mrd < Agent::kMaxMRDs + 60; ++mrd) {
        Report(a, 2 + mrd % 2, mrd);
        a->AddAssociateNonVoiceClient(mrd, 40);
    }
    EXPECT_EQ(static_cast<int>(a->GetAgentMRDStates().size()), Agent::kMaxMRDs);
    EXPECT_EQ(static_cast<int>(a->NumAssociateNonVoiceClients()), Agent::kMaxMRDs);
    EXPECT_FALSE(a->GetDumpString().empty());
}

TEST_F(AgentStateTest, TimesComeFromTheClock) {
    Agent* a = NewAgent();
    (void)a->UpdateAgentState(2, 30, 1, 2, 12, 300, 17, 0, 0, "", "", true);
    EXPECT_EQ(a->GetOverallDuration(), 30);
    EXPECT_EQ(a->GetSkillGroupDuration(0), 12);
    clock_.AdvanceMs(5000);
    EXPECT_EQ(a->GetOverallDuration(), 35);
    EXPECT_EQ(a->GetSkillGroupDuration(0), 17);
}

TEST_F(AgentStateTest, MediaRoutingDomains) {
    Agent* a = NewAgent();
    EXPECT_EQ(a->GetAgentMRDState(1), 9);
    Report(a, 4);
    const std::vector<std::pair<int32_t, uint16_t>> list = {{1, 2}, {3, 3}, {6, 9}, {6, 5}};
    a->SetAgentMRDs(&list);
    EXPECT_EQ(a->GetAgentMRDStates(), (std::vector<std::pair<int32_t, uint16_t>>{{1, 4}, {3, 3}, {6, 5}}));
    a->SetAgentMRDs(nullptr);
    EXPECT_EQ(a->GetAgentMRDStates().size(), 3u);

    a->AddAssociateNonVoiceClient(1, 40);  // the voice domain is not kept here
    a->AddAssociateNonVoiceClient(3, 41);
    a->AddAssociateNonVoiceClient(3, 42);
    EXPECT_EQ(a->GetAssociateNonVoiceSessionID(1), -1);
    EXPECT_EQ(a->GetAssociateNonVoiceSessionID(3), 42);
    a->RemoveAssociateNonVoiceClient(3);
    EXPECT_EQ(a->GetAssociateNonVoiceSessionID(3), -1);
}

TEST_F(AgentStateTest, PrivateCallsLimitAgeAndRelease) {
    Agent* a = NewAgent();
    Report(a, 2);
    EXPECT_EQ(a->AddPrivateCall(0, 1, model::ConnectionID(900, 0, "1500"), nullptr, false), nullptr);
    std::vector<uint32_t> ids;
    for (uint32_t id = 901; id <= 904; ++id) {
        Call* c = a->AddPrivateCall(3, 1, model::ConnectionID(id, 0, "1500"), "8000", false);
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(c->IsPrivate());
        EXPECT_TRUE(c->IsReported());
        EXPECT_EQ(c->m_DialedNumber, "8000");
        clock_.AdvanceMs(1000);
    }
    // The limit of 3 removed the oldest first.
    EXPECT_EQ(a->NumPrivateCalls(), 3);
    EXPECT_EQ(a->FirstPrivateCall()->m_CallID, 902u);
    EXPECT_EQ(Call::FindCall(5000, 901, -2, "", 0), nullptr);
    EXPECT_EQ(ports.counters["PARLO_PRIVATE_CALLS"], 3);

    // Ages: more than the given seconds goes, exactly that many stays.
    std::vector<Call*> held;
    for (Call* c = a->FirstPrivateCall(); c != nullptr; c = a->NextPrivateCall(c)) held.push_back(c);
    ASSERT_EQ(held.size(), 3u);
    clock_.AdvanceMs(100000);
    const int64_t now = model::NowSeconds();
    CallTestAccess::SetLastEventTime(held[0], now - 61);
    CallTestAccess::SetLastEventTime(held[1], now - 60);
    CallTestAccess::SetLastEventTime(held[2], now);
    a->DropPrivateCalls(60);
    EXPECT_EQ(a->NumPrivateCalls(), 2);
    EXPECT_EQ(a->FirstPrivateCall(), held[1]);
    a->DropPrivateCalls(-1);
    EXPECT_EQ(a->NumPrivateCalls(), 0);

    // A detached call lives on as an ordinary call.
    Call* fresh = a->AddPrivateCall(4, 1, model::ConnectionID(905, 0, "1500"), nullptr, false);
    a->DetachPrivateCall(fresh);
    EXPECT_FALSE(fresh->IsPrivate());
    EXPECT_EQ(a->NumPrivateCalls(), 0);
    EXPECT_EQ(Call::FindCall(5000, 905, -2, "", 0), fresh);
    EXPECT_EQ(ports.counters["PARLO_PRIVATE_CALLS"], 0);
    Call::Free(fresh, false);

    // AVAILABLE drops the old ones by the registry's delay, LOG_OUT all, UNKNOWN none.
    ports.privateCallCleanupDelay = 10;
    a->AddPrivateCall(3, 1, model::ConnectionID(906, 0, "1500"), nullptr, false);
    clock_.AdvanceMs(11000);
    a->AddPrivateCall(3, 1, model::ConnectionID(907, 0, "1500"), nullptr, false);
    Report(a, 3);
    EXPECT_EQ(a->NumPrivateCalls(), 1);
    EXPECT_EQ(a->FirstPrivateCall()->m_CallID, 907u);
    Report(a, 9);
    EXPECT_EQ(a->NumPrivateCalls(), 1);
    Report(a, 1);
    EXPECT_EQ(a->NumPrivateCalls(), 0);
}

TEST_F(AgentStateTest, PrivateCallReleasedByTheCallTableGoesThroughItsAgent) {
    Agent* a = NewAgent();
    Agent* b = new Agent(5001, 18, 78, 0, "1002", nullptr, nullptr, false);
    a->AddPrivateCall(3, 1, model::ConnectionID(901, 0, "1500"), nullptr, false);
    a->AddPrivateCall(3, 1, model::ConnectionID(902, 0, "1500"), nullptr, false);
    b->AddPrivateCall(3, 1, model::ConnectionID(903, 0, "1600"), nullptr, false);
    NewCall(5000, 904);
    // A new call with a private call's identity releases it through the agent.
    NewCall(5000, 901);
    EXPECT_EQ(a->NumPrivateCalls(), 1);
    Call::RemovePrivateCalls(5001);
    EXPECT_EQ(b->NumPrivateCalls(), 0);
    EXPECT_EQ(a->NumPrivateCalls(), 1);
    EXPECT_NE(Call::FindCall(5000, 904, -2, "", 0), nullptr);
    Call::RemovePeripheralCalls(5000);
    EXPECT_EQ(a->NumPrivateCalls(), 0);
    EXPECT_EQ(ports.counters["PARLO_PRIVATE_CALLS"], 0);
    EXPECT_EQ(Call::FindCall(5000, 904, -2, "", 0), nullptr);
}

TEST_F(AgentStateTest, CallsOnLines) {
    Agent* a = NewAgent();
    struct Case {
        int32_t callID, index, type;
        bool placed;
    } const cases[] = {
        {70, 11, 0, false}, {70, -1, 0, false}, {70, 2, 3, false}, {70, 2, 1, true},
    };
    for (const Case& c : cases) {
        a->AddCallToLine(c.callID, 0, "1500", c.index, c.type);
        EXPECT_EQ(a->m_Instrument->FindLineByCallID(c.callID) != nullptr, c.placed) << c.index;
    }
    Line* l = a->m_Instrument->GetLine(2);
    EXPECT_EQ(l->m_LineState, 1);
    EXPECT_EQ(l->m_LineType, 1);
    a->AddCallToLine(70, 0, "1500", 2, 0);  // the same call: nothing changes
    EXPECT_EQ(l->m_LineType, 1);
    a->AddCallToLine(71, 0, "1500", 5, 7);
    a->RemoveCallFromLineAt(71, 4);
    EXPECT_EQ(a->m_Instrument->GetLine(5)->m_CallID, 71);
    a->RemoveCallFromLineAt(71, 5);
    EXPECT_EQ(a->m_Instrument->GetLine(5)->m_LineState, 3);
    a->RemoveCallFromLine(70);
    EXPECT_EQ(l->m_CallID, -1);
    EXPECT_EQ(l->m_LineType, 1);
}

TEST_F(AgentStateTest, AssociationOnANewUniqueInstanceIDOnlyInStandby) {
    ports.AddSession(30, "old", 24, 0x10);
    ports.AddSession(31, "new", 24, 0x20);
    ports.AddSession(32, "agentmode", 24, 0x01);
    ports.uniqueInstanceIDs = {{"uid-a", 31}, {"uid-b", 32}, {"uid-c", 30}};
    Agent* a = NewAgent();
    a->SetAssociateSessionID(30);

    Report(a, 2, 1, "uid-a");  // ACTIVE: stored only
    EXPECT_EQ(a->GetUniqueInstanceID(), "uid-a");
    EXPECT_EQ(a->AssociateSessionID(), 30);

    ports.serverState = serverstate::STANDBY;
    struct Case {
        const char* uid;
        int32_t mrd;
        bool associate;
        int32_t voiceSession;
        int32_t nonVoiceSession;
    } const cases[] = {
        {"uid-b", 1, true, 30, -1},   // no event service bit
        {"uid-x", 1, true, 30, -1},   // no such session
        {"uid-a", 1, false, 30, -1},  // the flag is off
        {"uid-c", 1, true, 30, -1},   // already associated: nothing
        {"uid-a", 1, true, 31, -1},   // moves from 30 to 31
        {"uid-c", 4, true, 31, 30},   // a non-voice domain
        {"uid-a", 4, true, 31, 31},   // replaces the non-voice session
    };
    for (const Case& c : cases) {
        (void)a->UpdateAgentState(2, 0, c.mrd, 9, 0, 0, 0, 0, 0, "", c.uid, c.associate);
        EXPECT_EQ(a->AssociateSessionID(), c.voiceSession) << c.uid << " " << c.mrd;
        EXPECT_EQ(a->GetAssociateNonVoiceSessionID(4), c.nonVoiceSession) << c.uid << " " << c.mrd;
    }
    EXPECT_EQ(ports.associations[30].size(), 0u);
    EXPECT_EQ(ports.associations[31].begin()->second, (std::vector<int32_t>{1, 4}));
}

TEST_F(AgentStateTest, AssociationAtOpenBindsEveryAgentOfTheInstance) {
    ports.AddSession(30, "monitor", 24, 0x20);
    ports.AddSession(32, "agentmode", 24, 0x01);
    Agent* a = NewAgent();
    Agent* b = new Agent(5000, 48, 78, 0, "1002", nullptr, nullptr, false);
    Agent* c = new Agent(5000, 48, 79, 0, "1003", nullptr, nullptr, false);
    for (Agent* x : {a, b, c}) AgentTestAccess::SetUniqueInstanceID(x, "uid");
    AgentTestAccess::SetUniqueInstanceID(c, "other");
    a->SetAgentMRDState(1, 2);
    a->SetAgentMRDState(5, 3);
    a->SetAgentMRDState(6, 1);  // logged out there: not associated
    b->SetAgentMRDState(1, 9);
    c->SetAgentMRDState(1, 2);

    Agent::AssociateClient(32, "uid");  // no event service bit
    Agent::AssociateClient(30, "");
    EXPECT_EQ(a->AssociateSessionID(), -1);
    Agent::AssociateClient(30, "uid");
    EXPECT_EQ(a->AssociateSessionID(), 30);
    EXPECT_EQ(a->GetAssociateNonVoiceSessionID(5), 30);
    EXPECT_EQ(a->GetAssociateNonVoiceSessionID(6), -1);
    EXPECT_EQ(b->AssociateSessionID(), -1);
    EXPECT_EQ(c->AssociateSessionID(), -1);
}

}  // namespace
}  // namespace modeltest
