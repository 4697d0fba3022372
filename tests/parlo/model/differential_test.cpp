// The exact-key indexes must never change an answer: random churn on two peripherals, and
// after each step every look-up is compared with a plain walk of the buckets.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "parlo/model/agent.h"
#include "tests/parlo/model/model_fixture.h"

namespace modeltest {
namespace {

const char* const kIDs[] = {"1001", "1010", "1100", "0111", "2002", "123456", "12345", "54321", "9000"};
constexpr int kIDCount = sizeof kIDs / sizeof kIDs[0];

// The bucket walk's identity rule, transcribed.
bool Identity(Call* c, int type, const char* id, int mode) {
    if (Call::IsCallIDUnique(c->m_PeripheralType) || type == -2) return true;
    if (type == -1) return false;
    if (c->FindConnectionByDeviceID(type, id, 1, true) != nullptr) return true;
    if (mode == 1 || mode == 2) return false;
    const auto t = static_cast<uint16_t>(type);
    return (t == c->m_DestDeviceIDType && c->m_DestDeviceID == id) ||
           (t == c->m_SrcDeviceIDType && c->m_SrcDeviceID == id);
}

Call* PlainWalk(const std::vector<Call*>& order, uint32_t p, uint32_t callID, int type,
                const char* id, int mode) {
    Call* fallback = nullptr;
    for (Call* c : order) {
        if ((p != 0xFFFFFFFF && p != c->m_PeripheralID) || c->m_CallID != callID) continue;
        if (!Identity(c, type, id, mode)) continue;
        if (mode == 0) return c;
        if (mode == 1 && c->IsActive()) return c;
        if (mode == 2 && c->IsDeactivated()) return c;
        if (mode == 3 && !c->IsActive()) {
            if (type != 0 && type != 1) return c;
            const auto t = static_cast<uint16_t>(type);
            if ((t == c->m_DestDeviceIDType && c->m_DestDeviceID == id) ||
                (t == c->m_SrcDeviceIDType && c->m_SrcDeviceID == id))
                return c;
            fallback = c;
        }
    }
    return fallback;
}

std::vector<Call*> Bucket(uint32_t callID) {
    std::vector<Call*> out;
    for (Call* c = Call::FirstInBucket(static_cast<int>(callID & 255)); c != nullptr;
         c = c->NextInBucket())
        out.push_back(c);
    return out;
}

TEST_F(ModelTest, IndexesGiveTheBucketWalksAnswers) {
    ports.quiet = true;
    ports.AddSession(10, "m", 24, 0);
    std::mt19937 rng(20261210);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<Call*> live;
    std::vector<CTICSTAMonitor*> monitors;
    const uint32_t peripherals[] = {5000, 5001};
    const int16_t periphTypes[] = {48, 18, 27};

    for (int step = 0; step < 1500; ++step) {
        const int op = pick(10);
        if (op <= 2 || live.empty()) {
            Call* c = Call::Alloc(peripherals[pick(2)], static_cast<uint32_t>(pick(40) * 128 + pick(3)),
                                  static_cast<uint16_t>(pick(2)), kIDs[pick(kIDCount)],
                                  periphTypes[pick(3)], 1, 0, 0, 0);
            live.erase(std::remove_if(live.begin(), live.end(),
                                      [](Call* x) { return x->HashIndex() < 0; }),
                       live.end());
            live.push_back(c);
        } else if (op == 3) {
            Call* c = live[static_cast<size_t>(pick(static_cast<int>(live.size())))];
            Call::Free(c, true);
            live.erase(std::find(live.begin(), live.end(), c));
        } else if (op == 4) {
            Call* c = live[static_cast<size_t>(pick(static_cast<int>(live.size())))];
            c->ChangeCallID(static_cast<uint32_t>(pick(40) * 128 + pick(3)), 0, kIDs[pick(kIDCount)],
                            static_cast<uint16_t>(pick(2)), kIDs[pick(kIDCount)]);
        } else if (op == 5) {
            Call* c = live[static_cast<size_t>(pick(static_cast<int>(live.size())))];
            switch (pick(3)) {
                case 0: c->Deactivate(); break;
                case 1: c->Reactivate(); break;
                default: c->ClearCall(0); break;
            }
        } else if (op == 6) {
            Call* c = live[static_cast<size_t>(pick(static_cast<int>(live.size())))];
            CTICSTADevice* d = NewDevice(c->m_PeripheralID, pick(2) ? 0 : 70, kIDs[pick(kIDCount)],
                                         pick(3) == 0 ? kIDs[pick(kIDCount)] : "");
            CTICSTAConnection::Alloc(pick(2) ? d : nullptr, c, pick(7) - 1, 1 + pick(2), pick(2),
                                     kIDs[pick(kIDCount)], "diff");
        } else if (op == 7) {
            Call* c = live[static_cast<size_t>(pick(static_cast<int>(live.size())))];
            if (CTICSTAConnection* conn = c->FirstConnection()) CTICSTAConnection::Free(conn);
        } else if (op == 8) {
            if (pick(50) == 0) CTICSTAMonitor::SetNextMonitorID(0x7FFFFFFF - static_cast<uint32_t>(pick(3)));
            CTICSTADevice* d = FindCTICSTADevice(0xFFFFFFFF, -1, kIDs[pick(kIDCount)], false);
            monitors.push_back(CTICSTAMonitor::Alloc(d != nullptr ? CTICSTAMonitor::Device : 0, 10, d));
        } else if (!monitors.empty()) {
            const size_t i = static_cast<size_t>(pick(static_cast<int>(monitors.size())));
            CTICSTAMonitor::Free(monitors[i]);
            monitors.erase(monitors.begin() + static_cast<long>(i));
        }

        // Calls: every mode, peripheral and type against the plain walk.
        for (int q = 0; q < 6; ++q) {
            const uint32_t callID = static_cast<uint32_t>(pick(40) * 128 + pick(3));
            const std::vector<Call*> order = Bucket(callID);
            std::vector<Call*> reversed(order.rbegin(), order.rend());
            for (uint32_t p : {0xFFFFFFFFu, 5000u, 5001u})
                for (int type : {-2, -1, 0, 1})
                    for (int mode = 0; mode < 4; ++mode) {
                        const char* id = kIDs[pick(kIDCount)];
                        Call* got = Call::FindCall(p, callID, type, id, mode);
                        ASSERT_EQ(got, PlainWalk(order, p, callID, type, id, mode))
                            << "step " << step << " call " << callID << " p " << p << " type " << type
                            << " mode " << mode;
                        ASSERT_EQ(Call::FindLastCall(p, callID, type, id, mode),
                                  PlainWalk(reversed, p, callID, type, id, mode));
                        if (got != nullptr) {
                            const auto at = std::find(order.begin(), order.end(), got);
                            const std::vector<Call*> rest(at + 1, order.end());
                            ASSERT_EQ(got->FindNextCall(p, callID, type, id, mode),
                                      PlainWalk(rest, p, callID, type, id, mode));
                        }
                    }
        }
        // Devices by ID and by extension.
        for (const char* id : kIDs) {
            for (uint32_t p : {0xFFFFFFFFu, 5000u, 5001u}) {
                for (int type : {-1, 0, 70, 78}) {
                    CTICSTADevice* want = nullptr;
                    for (CTICSTADevice* d = FirstDeviceInBucket(static_cast<int>(CTICSTADevice::HashKey(id)));
                         d != nullptr && want == nullptr; d = NextDeviceInBucket(d))
                        if ((p == 0xFFFFFFFF || d->m_PeripheralID == p) && d->Matches(type, id)) want = d;
                    ASSERT_EQ(FindCTICSTADevice(p, type, id, false), want) << id;
                    if (want != nullptr) {
                        CTICSTADevice* next = nullptr;
                        for (CTICSTADevice* d = NextDeviceInBucket(want); d != nullptr && next == nullptr;
                             d = NextDeviceInBucket(d))
                            if ((p == 0xFFFFFFFF || d->m_PeripheralID == p) && d->Matches(type, id)) next = d;
                        ASSERT_EQ(want->FindNextDevice(p, type, id, false), next);
                    }
                }
                CTICSTADevice* want = nullptr;
                for (CTICSTADevice* d = FirstDeviceInExtensionBucket(static_cast<int>(CTICSTADevice::HashKey(id)));
                     d != nullptr && want == nullptr; d = NextDeviceInExtensionBucket(d))
                    if ((p == 0xFFFFFFFF || d->m_PeripheralID == p) && d->m_Extension == id) want = d;
                ASSERT_EQ(FindCTICSTADeviceByExtension(p, id, false), want) << id;
            }
        }
        // Monitors.
        for (CTICSTAMonitor* m : monitors) {
            CTICSTAMonitor* want = nullptr;
            for (CTICSTAMonitor* b = CTICSTAMonitor::FirstInBucket(static_cast<int>(m->m_MonitorID & 1023));
                 b != nullptr && want == nullptr; b = b->NextInBucket())
                if (b->m_MonitorID == m->m_MonitorID) want = b;
            ASSERT_EQ(CTICSTAMonitor::FindMonitor(m->m_MonitorID), want);
            ASSERT_EQ(want, m);
        }
        const uint32_t probe = static_cast<uint32_t>(pick(2000) + 1);
        CTICSTAMonitor* want = nullptr;
        for (CTICSTAMonitor* b = CTICSTAMonitor::FirstInBucket(static_cast<int>(probe & 1023));
             b != nullptr && want == nullptr; b = b->NextInBucket())
            if (b->m_MonitorID == probe) want = b;
        ASSERT_EQ(CTICSTAMonitor::FindMonitor(probe), want);
    }
}

// ---- agents ----

// The four look-ups of the agent tables, transcribed as plain bucket walks.
Agent* WalkAgentID(int32_t p, const char* id) {
    for (Agent* a = Agent::FirstInBucket(Agent::HashString(id)); a != nullptr; a = a->NextInBucket())
        if (a->GetAgentID() == id && (p == -1 || a->GetPeripheralID() == p)) return a;
    return nullptr;
}
Agent* WalkExtension(int32_t p, const char* ext) {
    for (Agent* a = Agent::FirstInExtensionBucket(Agent::HashString(ext)); a != nullptr;
         a = a->NextInExtensionBucket())
        if (a->HasExtension() && a->m_Extension == ext && (p == -1 || a->GetPeripheralID() == p)) return a;
    return nullptr;
}
Agent* WalkInstrument(int32_t p, const char* number) {
    for (Agent* a = Agent::FirstInInstrumentBucket(Agent::HashString(number)); a != nullptr;
         a = a->NextInInstrumentBucket())
        if (a->HasInstrument() && a->GetInstrumentNumber() == number && (p == -1 || a->GetPeripheralID() == p))
            return a;
    return nullptr;
}
Agent* WalkSkillTargetID(int32_t p, int32_t stid) {
    for (Agent* a = Agent::FirstInSkillTargetIDBucket(static_cast<int>(static_cast<uint32_t>(stid) & 511u));
         a != nullptr; a = a->NextInSkillTargetIDBucket())
        if (a->GetSkillTargetID() == stid && (p == -1 || a->GetPeripheralID() == p)) return a;
    return nullptr;
}

TEST_F(ModelTest, AgentIndexesGiveTheTableWalksAnswers) {
    ports.quiet = true;
    // Anagrams share buckets; "" and "-1" are the texts that mean none.
    const char* const keys[] = {"1001", "1010", "0110", "2002", "4711", "7114", "", "-1", "55"};
    constexpr int kKeys = sizeof keys / sizeof keys[0];
    const int32_t stids[] = {5, 517, -507, 1029, 6};
    std::mt19937 rng(20261211);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<Agent*> live;
    auto refresh = [&] {
        live.clear();
        for (int b = 0; b < Agent::kHashBuckets; ++b)
            for (Agent* a = Agent::FirstInBucket(b); a != nullptr; a = a->NextInBucket()) live.push_back(a);
    };

    for (int step = 0; step < 1500; ++step) {
        const int op = pick(8);
        if (op <= 2 || live.empty()) {
            const int32_t stid = stids[pick(5)] + 2048 * pick(3);
            if (Agent::FindAgentBySkillTargetID(-1, stid) == nullptr || pick(4) == 0)
                new Agent(7 + pick(2), 48, stid, 0, keys[pick(kKeys)],
                          pick(4) == 0 ? nullptr : keys[pick(kKeys)],
                          pick(4) == 0 ? nullptr : keys[pick(kKeys)], false);
        } else if (op == 3) {
            live[static_cast<size_t>(pick(static_cast<int>(live.size())))]->SetExtension(
                pick(5) == 0 ? nullptr : keys[pick(kKeys)]);
        } else if (op == 4) {
            live[static_cast<size_t>(pick(static_cast<int>(live.size())))]->SetInstrument(
                pick(5) == 0 ? nullptr : keys[pick(kKeys)]);
        } else if (op == 5 && pick(10) == 0) {
            Agent::RemoveAgent(7 + pick(3), pick(2) ? "" : "-1");
        } else if (op == 5 || op == 6) {
            Agent* a = live[static_cast<size_t>(pick(static_cast<int>(live.size())))];
            Agent::RemoveAgent(pick(6) == 0 ? -1 : a->GetPeripheralID(), a->GetAgentID().c_str());
        } else {
            Agent* a = live[static_cast<size_t>(pick(static_cast<int>(live.size())))];
            (void)a->UpdateAgentState(pick(2) ? 1 : 2, 0, 1, 9, 0, 0, 0, 0, 0, "", "", false);
        }
        refresh();
        ASSERT_EQ(Agent::Count(), static_cast<int>(live.size()));
        for (int32_t p : {-1, 7, 8, 9}) {
            for (const char* k : keys) {
                ASSERT_EQ(Agent::FindAgentByAgentID(p, k, false), WalkAgentID(p, k)) << step << " id " << k;
                ASSERT_EQ(Agent::FindAgentByExtension(p, k), WalkExtension(p, k)) << step << " ext " << k;
                ASSERT_EQ(Agent::FindAgentByInstrument(p, k), WalkInstrument(p, k)) << step << " instr " << k;
            }
            for (int32_t stid : stids)
                for (int32_t high : {0, 2048, 4096})
                    ASSERT_EQ(Agent::FindAgentBySkillTargetID(p, stid + high), WalkSkillTargetID(p, stid + high))
                        << step;
        }
    }
    Agent::RemoveAgent(-1, "");
    EXPECT_EQ(Agent::Count(), 0);
}

}  // namespace
}  // namespace modeltest
