// Agents: the four tables and their look-ups, extension and instrument moves, removal and
// destruction with everything the agent held.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "parlo/model/agent.h"
#include "tests/parlo/model/model_fixture.h"

namespace modeltest {
namespace {

class AgentTest : public ModelTest {
protected:
    ~AgentTest() override { Agent::RemoveAgent(-1, ""); }

    static Agent* NewAgent(int32_t periph, int32_t stid, const char* id, const char* ext,
                           const char* instrument) {
        return new Agent(periph, 48, stid, 0, id, ext, instrument, false);
    }

    // Every agent of the AgentID table, bucket by bucket.
    static std::set<std::string> AllAgents() {
        std::set<std::string> out;
        for (int b = 0; b < Agent::kHashBuckets; ++b)
            for (Agent* a = Agent::FirstInBucket(b); a != nullptr; a = a->NextInBucket())
                out.insert(std::to_string(a->GetPeripheralID()) + ":" + a->GetAgentID());
        return out;
    }
};

TEST_F(AgentTest, HashStringSumsSignedCharacters) {
    struct Case {
        const char* text;
        int bucket;
    } const cases[] = {
        {"", 0}, {"1001", 194}, {"-1", 94}, {"\xE9", 23},
        // a negative sum keeps its remainder's sign before the absolute value
        {"\xE9\xE9\xE9\xE9\xE9", 115},
        {"10000", 241}, {"29999", 278},
    };
    for (const Case& c : cases) EXPECT_EQ(Agent::HashString(c.text), c.bucket) << c.text;
    EXPECT_EQ(Agent::HashString("1234"), Agent::HashString("4321"));
}

TEST_F(AgentTest, LookupsFollowTheFlagsAndTheBuckets) {
    Agent* a = NewAgent(7, 100, "1001", "4711", "5000");
    Agent* none = NewAgent(7, 612, "1002", "-1", nullptr);  // SkillTargetID bucket 100 too
    Agent* twin = NewAgent(8, 101, "1001", "", "");

    // Extension -1 and no instrument: not in the extension table, bucket 0 of the instrument
    // table, never found by either.
    EXPECT_EQ(none->ExtensionHashIndex(), -1);
    EXPECT_EQ(none->InstrumentHashIndex(), 0);
    EXPECT_EQ(Agent::FindAgentByExtension(-1, "-1"), nullptr);
    EXPECT_EQ(Agent::FindAgentByInstrument(-1, ""), nullptr);

    EXPECT_EQ(Agent::FindAgentByAgentID(-1, "1001", false), a);  // first in the bucket
    EXPECT_EQ(Agent::FindAgentByAgentID(8, "1001", true), twin);
    EXPECT_EQ(Agent::FindAgentByAgentID(9, "1001", false), nullptr);
    EXPECT_EQ(Agent::FindAgentByAgentID(-1, "0101", false), nullptr);  // same bucket, other text
    EXPECT_EQ(Agent::FindAgentBySkillTargetID(-1, 612), none);
    EXPECT_EQ(Agent::FindAgentBySkillTargetID(7, 100), a);
    EXPECT_EQ(Agent::FindAgentBySkillTargetID(8, 100), nullptr);
    EXPECT_EQ(Agent::FindAgentByExtension(7, "4711"), a);
    EXPECT_EQ(Agent::FindAgentByInstrument(-1, "5000"), a);

    // "" clears the flag only: same bucket, not found; a new extension moves the agent.
    const int old = a->ExtensionHashIndex();
    a->SetExtension("");
    EXPECT_EQ(a->ExtensionHashIndex(), old);
    EXPECT_EQ(a->m_Extension, "4711");
    EXPECT_EQ(Agent::FindAgentByExtension(-1, "4711"), nullptr);
    a->SetExtension("4712");
    EXPECT_EQ(a->ExtensionHashIndex(), Agent::HashString("4712"));
    EXPECT_EQ(Agent::FindAgentByExtension(-1, "4712"), a);
    EXPECT_EQ(Agent::FindAgentByExtension(-1, "4711"), nullptr);
    // The agent left every table and came back at the tail: the twin now comes first.
    EXPECT_EQ(Agent::FindAgentByAgentID(-1, "1001", false), twin);

    // A new instrument recreates the lines (their calls are lost) and rehashes.
    a->AddCallToLine(55, 0, "5000", 2, 0);
    a->SetInstrument("-1");
    EXPECT_EQ(Agent::FindAgentByInstrument(-1, "5000"), nullptr);
    EXPECT_EQ(a->m_Instrument->GetLine(2)->m_CallID, 55);
    a->SetInstrument("6000");
    EXPECT_EQ(Agent::FindAgentByInstrument(7, "6000"), a);
    EXPECT_EQ(a->m_Instrument->GetLine(2)->m_CallID, -1);
    EXPECT_EQ(a->m_Instrument->GetLine(2)->m_Extension, "6000");
    none->SetInstrument("6000");
    EXPECT_EQ(Agent::FindAgentByInstrument(-1, "6000"), a);
    EXPECT_EQ(Agent::FindAgentByInstrument(7, "6000"), a);
    EXPECT_EQ(Agent::Count(), 3);
}

TEST_F(AgentTest, RemoveAgentMatrix) {
    struct Case {
        int32_t periph;
        const char* id;
        std::set<std::string> left;
    } const cases[] = {
        {7, "", {"8:1001", "8:2001"}},
        {7, "-1", {"8:1001", "8:2001"}},
        {7, nullptr, {"8:1001", "8:2001"}},
        {-1, "-1", {}},
        {-1, "1001", {"7:1001", "7:1002", "8:1001", "8:2001"}},  // exact PeripheralID only
        {8, "1001", {"7:1001", "7:1002", "8:2001"}},
        {8, "1002", {"7:1001", "7:1002", "8:1001", "8:2001"}},
        {9, "", {"7:1001", "7:1002", "8:1001", "8:2001"}},
    };
    for (const Case& c : cases) {
        NewAgent(7, 1, "1001", "100", "100");
        NewAgent(7, 2, "1002", "200", nullptr);
        NewAgent(8, 3, "1001", "100", "100");
        NewAgent(8, 4, "2001", nullptr, nullptr);
        Agent::RemoveAgent(c.periph, c.id);
        EXPECT_EQ(AllAgents(), c.left) << c.periph << " " << (c.id ? c.id : "(none)");
        EXPECT_EQ(Agent::Count(), static_cast<int>(c.left.size()));
        Agent::RemoveAgent(-1, "");
        EXPECT_EQ(Agent::FindAgentByExtension(-1, "100"), nullptr);
        EXPECT_EQ(Agent::FindAgentByInstrument(-1, "100"), nullptr);
        EXPECT_EQ(Agent::FindAgentBySkillTargetID(-1, 1), nullptr);
    }
}

TEST_F(AgentTest, DestructionReleasesEverythingTheAgentHeld) {
    ports.AddSession(20, "desk", 24, 0x01);
    ports.AddSession(21, "super", 24, 0x10);
    ports.AddSession(22, "chat", 24, 0x10);
    ports.AddSession(23, "mail", 24, 0x10);
    Agent* a = NewAgent(5000, 77, "1001", "1500", "1500");
    CTICSTADevice* d = NewDevice(5000, 76, "1500", "1500");
    a->SetDevice(d);
    CTICSTAMonitor* m1 = CTICSTAMonitor::Alloc(CTICSTAMonitor::AgentMRD, 21, a);
    CTICSTAMonitor* m2 = CTICSTAMonitor::Alloc(CTICSTAMonitor::AgentMRD, 99, a);  // no client
    ASSERT_EQ(a->MonitorList().Count(), 2);
    (void)m1, (void)m2;
    model::ClientInfo desk, super;
    ASSERT_TRUE(ports.Find(20, desk));
    ASSERT_TRUE(ports.Find(21, super));
    a->SetClientCB(&desk);
    a->SetAssociateClientCB(&super);
    model::ClientInfo out;
    EXPECT_TRUE(a->GetClientCB(out));
    EXPECT_EQ(out.sessionID, 20);
    a->AddAssociateNonVoiceClient(5, 23);
    a->AddAssociateNonVoiceClient(3, 22);
    a->AddAssociateNonVoiceClient(4, 98);
    a->AddPrivateCall(3, 1, model::ConnectionID(901, 0, "1500"), nullptr, false);
    ports.lines.clear();

    Agent::RemoveAgent(5000, "1001");
    EXPECT_EQ(Agent::FindAgentByAgentID(-1, "1001", false), nullptr);
    EXPECT_EQ(d->m_Agent, nullptr);
    EXPECT_EQ(Call::FindCall(5000, 901, -2, "", 0), nullptr);
    const std::vector<std::string> expected = {
        "failure session 21 status 90",
        "client 20 agent cleared",
        "disassociate session 21 agent 1001 periph 5000 mrd -1",
        "disassociate session 22 agent 1001 periph 5000 mrd 3",
        "disassociate session 23 agent 1001 periph 5000 mrd 5",
    };
    std::vector<std::string> got;
    for (const std::string& l : ports.lines)
        if (l.rfind("failure", 0) == 0 || l.rfind("client", 0) == 0 || l.rfind("disassoc", 0) == 0)
            got.push_back(l);
    EXPECT_EQ(got, expected);
    // The private call went first, with its END_CALL_EVENT, before the monitors.
    EXPECT_EQ(ports.counters["PARLO_PRIVATE_CALLS"], 0);
    EXPECT_EQ(CTICSTAMonitor::FindMonitor(m1->m_MonitorID), nullptr);
}

// The agent and its device point at each other; SetDevice keeps both directions, reports
// what it changed, and leaves alone a link that does not point back.
TEST_F(AgentTest, SetDeviceKeepsTheLinkBothWays) {
    Agent* a = NewAgent(5000, 1, "1001", "1500", "1500");
    Agent* b = NewAgent(5000, 2, "1002", "1600", "1600");
    CTICSTADevice* d1 = NewDevice(5000, 76, "1500");
    CTICSTADevice* d2 = NewDevice(5000, 76, "1600");

    Agent::DeviceChange change = a->SetDevice(d1);
    EXPECT_TRUE(change.agentMoved && change.deviceMoved);
    EXPECT_EQ(change.previousDevice, nullptr);
    EXPECT_EQ(change.previousAgent, nullptr);
    EXPECT_EQ(a->m_Device, d1);
    EXPECT_EQ(d1->m_Agent, a);
    change = a->SetDevice(d1);
    EXPECT_FALSE(change.agentMoved || change.deviceMoved);

    // b takes a's device: a loses it.
    change = b->SetDevice(d1);
    EXPECT_EQ(change.previousAgent, a);
    EXPECT_EQ(a->m_Device, nullptr);
    EXPECT_EQ(d1->m_Agent, b);
    // b moves on: the device it leaves forgets it.
    change = b->SetDevice(d2);
    EXPECT_EQ(change.previousDevice, d1);
    EXPECT_EQ(d1->m_Agent, nullptr);

    // A one-sided link is completed.
    a->m_Device = d2;
    change = a->SetDevice(d2);
    EXPECT_FALSE(change.agentMoved);
    EXPECT_TRUE(change.deviceMoved);
    EXPECT_EQ(change.previousAgent, b);
    EXPECT_EQ(d2->m_Agent, a);
    EXPECT_EQ(b->m_Device, nullptr);
    (void)a->SetDevice(nullptr);
    EXPECT_EQ(d2->m_Agent, nullptr);

    // The agent a device still names keeps its own device when it points elsewhere.
    b->m_Device = d1;
    d1->m_Agent = b;
    d2->m_Agent = b;
    change = a->SetDevice(d2);
    EXPECT_EQ(change.previousAgent, b);
    EXPECT_EQ(d2->m_Agent, a);
    EXPECT_EQ(b->m_Device, d1);
}

TEST_F(AgentTest, MonitorListMisuseIsFatal) {
    Agent* a = NewAgent(5000, 77, "1001", nullptr, nullptr);
    CTICSTAMonitor* queued = CTICSTAMonitor::Alloc(CTICSTAMonitor::AgentMRD, 21, a);
    CTICSTAMonitor* loose = CTICSTAMonitor::Alloc(CTICSTAMonitor::AgentMRD, 21, nullptr);
    EXPECT_EXIT(a->AddMonitor(queued), ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF), "");
    EXPECT_EXIT(a->RemoveMonitor(loose), ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF), "");
    CTICSTAMonitor::Free(queued);
    CTICSTAMonitor::Free(loose);
}

}  // namespace
}  // namespace modeltest
