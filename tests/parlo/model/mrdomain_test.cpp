// Media routing domains: the 32 buckets, find-or-create and its trace meter, the monitors
// of a domain and of an agent in a domain.
#include <gtest/gtest.h>

#include "nuvlib/tracemeter.h"
#include "parlo/model/agent.h"
#include "parlo/model/mrdomain.h"
#include "tests/parlo/model/model_fixture.h"

namespace modeltest {
namespace {

uint32_t DefinedCount() {
    TraceMeterPosition pos = FindFirstTraceMeterHeader("MRDomain:*");
    TraceMeterHeader* h = FindNextTraceMeterHeader(&pos, "MRDomain:*");
    return h != nullptr ? h->m_Counts.grandTotal : 0;
}

using MRDomainTest = ModelTest;

TEST_F(MRDomainTest, BucketsAndFindOrCreate) {
    InitTraceMeters(1);
    MRDomain* three = new MRDomain(3, "");
    MRDomain* other = new MRDomain(35, "");
    EXPECT_EQ(three->HashIndex(), 3);
    EXPECT_EQ(other->HashIndex(), 3);
    EXPECT_EQ(MRDomain::FindMRDomain(35), other);
    EXPECT_EQ(MRDomain::FindMRDomain(3), three);
    EXPECT_EQ(MRDomain::FindMRDomain(67), nullptr);
    EXPECT_EQ((new MRDomain(-1, ""))->HashIndex(), 31);

    // An event created domain 5: find-or-create keeps its empty origin and counts nothing.
    MRDomain* five = new MRDomain(5, "");
    EXPECT_EQ(MRDomain::FindOrCreateMRDomain(5, "TaskMonitorStart"), five);
    EXPECT_EQ(five->m_Origin, "");
    EXPECT_EQ(DefinedCount(), 0u);
    MRDomain* six = MRDomain::FindOrCreateMRDomain(6, "TaskMonitorStart");
    EXPECT_EQ(six->m_Origin, "TaskMonitorStart");
    EXPECT_EQ(DefinedCount(), 1u);
    EXPECT_EQ(MRDomain::FindMRDomain(6), six);
}

TEST_F(MRDomainTest, MonitorsOfDomainsAndAgents) {
    ports.AddSession(40, "tasks", 24, 0x10);
    MRDomain* d = MRDomain::FindOrCreateMRDomain(5, "TaskMonitorStart");
    Agent* a = new Agent(5000, 48, 77, 0, "1001", nullptr, nullptr, false);
    CTICSTAMonitor* m1 = CTICSTAMonitor::Alloc(CTICSTAMonitor::MRD, 40, d);
    CTICSTAMonitor* m2 = CTICSTAMonitor::Alloc(CTICSTAMonitor::MRD, 40, d);
    CTICSTAMonitor* am = CTICSTAMonitor::Alloc(CTICSTAMonitor::AgentMRD, 40, a);
    m1->m_MRDomainID = m2->m_MRDomainID = 5;
    EXPECT_EQ(d->MonitorList().Count(), 2);
    EXPECT_EQ(a->MonitorList().Count(), 1);
    EXPECT_EQ(d->GetListEntry(), "       5       2     TaskMonitorStart\n");
    EXPECT_EQ(MRDomain::GetListHeader(), "MRDomainID Monitors  Origin\n");
    EXPECT_EQ(d->GetDumpString(),
              "MRDomainID=5 Origin=TaskMonitorStart\n"
              "     MonitorID=1 MonitorType=MRD m_Subject:\"5\" Client:\"tasks\"\n"
              "     MonitorID=2 MonitorType=MRD m_Subject:\"5\" Client:\"tasks\"\n\n");
    CTICSTAMonitor::Free(m1);
    EXPECT_EQ(d->MonitorList().Count(), 1);
    EXPECT_EQ(d->MonitorList().First(), m2);
    // The agent's monitor moves with SetSubject and is ended with the agent.
    am->SetSubject(nullptr);
    EXPECT_EQ(a->MonitorList().Count(), 0);
    am->SetSubject(a);
    ports.lines.clear();
    Agent::RemoveAgent(5000, "1001");
    EXPECT_EQ(ports.lines, std::vector<std::string>{"failure session 40 status 90"});
    EXPECT_EQ(CTICSTAMonitor::FindMonitor(am->m_MonitorID), nullptr);
}

}  // namespace
}  // namespace modeltest
