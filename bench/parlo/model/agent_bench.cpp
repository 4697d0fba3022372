// Agents: the four look-ups at 20,000 agents, a state report with a skill-group and a domain
// change, a private call made and released, and the memory of one agent. Ports do nothing.
// Run by hand on the release preset.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "nuvlib/lock.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/noopports.h"
#include "parlo/model/ports.h"
#include "bench/parlo/model/resident.h"

namespace {

// A standby server: agents associate at open, nothing else answers.
class NoopPorts : public model::NoopPorts {
public:
    NoopPorts() {
        serverState = 4;
        Install();
    }
};

NoopPorts& Ports() {
    static NoopPorts ports;
    return ports;
}

constexpr int kAgents = 20000;

struct Keys {
    std::vector<std::string> ids, extensions, instruments;
};

// AgentIDs "10000".."29999" (about 38 buckets), 4- and 5-digit extensions, instruments.
std::string IDOf(int i) { return std::to_string(10000 + i); }
std::string ExtensionOf(int i) { return std::to_string(i < 9000 ? 1000 + i : 10000 + i); }
std::string InstrumentOf(int i) { return std::to_string(50000 + i); }

const Keys& Population() {
    static Keys keys = [] {
        Ports();
        Keys k;
        for (int i = 0; i < kAgents; ++i) {
            k.ids.push_back(IDOf(i));
            k.extensions.push_back(ExtensionOf(i));
            k.instruments.push_back(InstrumentOf(i));
            new Agent(5000, 48, 1 + i, 0, k.ids.back().c_str(), k.extensions.back().c_str(),
                      k.instruments.back().c_str(), false);
        }
        return k;
    }();
    return keys;
}

// A stride through the population so that successive look-ups hit other buckets.
int Next(int i) { return (i + 7919) % kAgents; }

void BM_FindAgentByAgentID(benchmark::State& state) {
    const Keys& k = Population();
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Agent::FindAgentByAgentID(5000, k.ids[static_cast<size_t>(i)].c_str(), false));
        i = Next(i);
    }
}
BENCHMARK(BM_FindAgentByAgentID);

void BM_FindAgentByExtension(benchmark::State& state) {
    const Keys& k = Population();
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Agent::FindAgentByExtension(-1, k.extensions[static_cast<size_t>(i)].c_str()));
        i = Next(i);
    }
}
BENCHMARK(BM_FindAgentByExtension);

void BM_FindAgentByInstrument(benchmark::State& state) {
    const Keys& k = Population();
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Agent::FindAgentByInstrument(-1, k.instruments[static_cast<size_t>(i)].c_str()));
        i = Next(i);
    }
}
BENCHMARK(BM_FindAgentByInstrument);

void BM_FindAgentBySkillTargetID(benchmark::State& state) {
    Population();
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Agent::FindAgentBySkillTargetID(5000, 1 + i));
        i = Next(i);
    }
}
BENCHMARK(BM_FindAgentBySkillTargetID);

// Each report changes the overall state on a non-voice domain (so the domain's state) and
// the state of skill group 17.
void BM_UpdateAgentState(benchmark::State& state) {
    Population();
    Agent* a = Agent::FindAgentBySkillTargetID(5000, 1);
    (void)a->UpdateAgentState(2, 0, 1, 2, 0, 300, 17, 2, 0, "sig", "uid", true);
    int32_t s = 2;
    for (auto _ : state) {
        s = s == 2 ? 3 : 2;
        benchmark::DoNotOptimize(a->UpdateAgentState(s, 0, 5, s, 0, 300, 17, 2, 0, "sig", "uid", true));
    }
}
BENCHMARK(BM_UpdateAgentState);

void BM_AddAndRemovePrivateCall(benchmark::State& state) {
    Population();
    Agent* a = Agent::FindAgentBySkillTargetID(5000, 2);
    const model::ConnectionID id(900, 0, ExtensionOf(1).c_str());
    for (auto _ : state) {
        Call* c = a->AddPrivateCall(3, 1, id, nullptr, false);
        a->RemovePrivateCall(c, true);
    }
}
BENCHMARK(BM_AddAndRemovePrivateCall);

// RSS growth of 20,000 more agents, each with its instrument and 11 lines, 5 skill groups
// and 2 domains, divided by the count.
void BM_MemoryPerAgent(benchmark::State& state) {
    Ports();
    for (auto _ : state) {
        const long before = ResidentBytes();
        for (int i = 0; i < kAgents; ++i) {
            const std::string id = std::to_string(700000 + i);
            const std::string ext = std::to_string(800000 + i);
            auto* a = new Agent(6000, 48, 100000 + i, 0, id.c_str(), ext.c_str(), ext.c_str(), false);
            for (uint32_t g = 0; g < 5; ++g) (void)a->UpdateSkillGroupState(2, 0, 17 + g, 300 + static_cast<int32_t>(g));
            a->SetAgentMRDState(1, 2);
            a->SetAgentMRDState(5, 3);
        }
        const long after = ResidentBytes();
        state.counters["bytes per agent"] = static_cast<double>(after - before) / kAgents;
        state.PauseTiming();
        Agent::RemoveAgent(6000, "");
        state.ResumeTiming();
    }
    state.counters["sizeof Agent"] = sizeof(Agent);
    state.counters["sizeof Line"] = sizeof(Line);
}
BENCHMARK(BM_MemoryPerAgent)->Iterations(1);

}  // namespace
