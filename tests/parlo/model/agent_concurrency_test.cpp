// The console lists and dumps agents and media routing domains on its own thread while the
// application thread creates, changes and removes agents. Meant for the tsan preset; it also
// runs (as a smoke test) everywhere else.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "nuvlib/lockguard.h"
#include "parlo/model/agent.h"
#include "parlo/model/mrdomain.h"
#include "parlo/common/serverstate.h"
#include "tests/parlo/model/model_fixture.h"
#include "tests/support/wait.h"

namespace modeltest {
namespace {

using AgentConcurrency = ModelTest;

TEST_F(AgentConcurrency, ConsoleDumpsWhileAgentsChurn) {
    ports.quiet = true;
    ports.AddSession(10, "watch", 24, 0x10);
    ports.serverState = serverstate::STANDBY;
    ports.uniqueInstanceIDs["uid"] = 10;
    std::atomic<bool> done{false};
    std::atomic<int> walks{0};
    std::atomic<int> rounds{0};

    std::thread console([&] {
        while (!done.load() || walks.load() < 3) {
            size_t text = 0;
            {
                LockGuard<LockObject> serverLock(ports.ServerLock());
                for (int b = 0; b < Agent::kHashBuckets; ++b)
                    for (Agent* a = Agent::FirstInBucket(b); a != nullptr; a = a->NextInBucket())
                        text += a->GetListEntry().size() + a->GetDumpString().size();
                for (int b = 0; b < MRDomain::kHashBuckets; ++b)
                    for (MRDomain* d = MRDomain::FirstInBucket(b); d != nullptr; d = d->NextInBucket())
                        text += d->GetListEntry().size() + d->GetDumpString().size();
            }
            // DumpAgent: the look-up under the lock, then the dump, also under it.
            if (Agent* a = Agent::FindAgentByExtension(-1, "1003")) {
                LockGuard<LockObject> serverLock(ports.ServerLock());
                if (Agent::FindAgentByExtension(-1, "1003") == a) text += a->GetDumpString().size();
            }
            EXPECT_GT(text + 1, 0u);
            walks.fetch_add(1);
            // The locks are not fair: let the churn make a round before the next walk.
            const int seen = rounds.load();
            testsupport::WaitFor([&] { return done.load() || rounds.load() != seen; });
        }
    });

    for (int round = 0; round < 300; ++round) {
        const std::string id = std::to_string(1000 + round % 13);
        const int32_t stid = 100 + round % 13;
        Agent* a = Agent::FindAgentBySkillTargetID(5000, stid);
        if (a == nullptr) a = new Agent(5000, 48, stid, 0, id.c_str(), id.c_str(), id.c_str(), false);
        CTICSTADevice* d = NewDevice(5000, 76, id.c_str(), id.c_str());
        a->SetDevice(d);
        MRDomain* mrd = MRDomain::FindOrCreateMRDomain(round % 7, "TaskMonitorStart");
        CTICSTAMonitor* am = CTICSTAMonitor::Alloc(CTICSTAMonitor::AgentMRD, 10, a);
        CTICSTAMonitor* dm = CTICSTAMonitor::Alloc(CTICSTAMonitor::MRD, 10, mrd);
        (void)a->UpdateAgentState(2 + round % 4, 0, round % 3 == 0 ? 5 : 1, 2, 0, 300 + round % 5,
                                  static_cast<uint32_t>(17 + round % 5) | (static_cast<uint32_t>(round % 3) << 24),
                                  2, round % 11, "sig", round % 2 ? "uid" : "other", true);
        a->AddCallToLine(round, 0, id.c_str(), round % 11, round % 3);
        a->AddPrivateCall(3, 1, model::ConnectionID(static_cast<uint32_t>(round), 0, id.c_str()), nullptr, false);
        if (round % 4 == 0) a->SetExtension(std::to_string(2000 + round % 9).c_str());
        if (round % 5 == 0) a->SetInstrument(std::to_string(3000 + round % 9).c_str());
        if (round % 3 == 0) CTICSTAMonitor::Free(dm);
        if (round % 2 == 0) CTICSTAMonitor::Free(am);
        if (round % 6 == 0) Agent::AssociateClient(10, "uid");
        if (round % 5 == 4) Agent::RemoveAgent(5000, id.c_str());
        if (round % 50 == 49) Agent::RemoveAgent(5000, "");
        rounds.fetch_add(1);
    }
    Agent::RemoveAgent(-1, "-1");
    done.store(true);
    console.join();
    EXPECT_GE(walks.load(), 3);
    EXPECT_EQ(Agent::Count(), 0);
}

}  // namespace
}  // namespace modeltest
