// The configuration tables at contact-center size: an initial load of 20,000 agents, 2,000
// skill groups and 500 services from record bytes; an update batch of changed agents with
// its key, pushed to 10 configuration clients at version 24 whose pages are validated and
// encoded; the answer to a query for every agent; and the map's memory per agent record.
// Run by hand on the release preset.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "nuvlib/lock.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/call.h"
#include "parlo/model/configkey.h"
#include "parlo/model/noopports.h"
#include "parlo/model/csta.h"
#include "parlo/model/serviceconfig.h"
#include "parlo/model/skillgroupconfig.h"
#include "bench/parlo/model/resident.h"
#include "tests/parlo/model/opc_record_builder.h"

namespace {

using modeltest::OPCRecord;

// Ports that encode every page as the session layer would, and hold 10 configuration clients.
class BenchPorts : public model::NoopPorts {
public:
    BenchPorts() {
        Install();
        for (int32_t id = 1; id <= 10; ++id) clients.push_back({id, 0x3FF, -1, 24, false});
        frame.resize(16384);
    }
    int SendResponseMSG(int32_t, BaseMSG& msg, uint64_t) override {
        if (msg.ValidateToSend(24) != 0) return 0;
        const int n = msg.Encode(frame.data(), static_cast<int>(frame.size()), 24, 1023, nullptr, 0);
        bytes += n > 0 ? n : 0;
        ++pages;
        return n > 0 ? 1 : 0;
    }
    bool FindSession(int32_t id) override { return id >= 1 && id <= 10; }
    void GetConfigClients(std::vector<model::ConfigClient>& out) override { out = clients; }
    bool FindConfigClient(int32_t id, model::ConfigClient& out) override {
        if (id < 1 || id > 10) return false;
        out = clients[static_cast<size_t>(id - 1)];
        return true;
    }

    std::vector<model::ConfigClient> clients;
    std::vector<uint8_t> frame;
    long bytes = 0;
    long pages = 0;
};

BenchPorts& Ports() {
    static BenchPorts ports;
    return ports;
}

constexpr int kAgents = 20000;

// One message body of agent records (5 skill groups, 2 domains, full names each).
std::vector<uint8_t> AgentBody(int count, int first, uint32_t op, const std::string& loginPrefix) {
    std::vector<uint8_t> body;
    for (int i = 0; i < count; ++i) {
        modeltest::AgentRecordSpec s;
        s.stid = first + i;
        s.login = loginPrefix + std::to_string(first + i);
        s.first = "Firstname" + std::to_string(i);
        s.last = "Lastname" + std::to_string(i);
        s.loginName = "login.name." + std::to_string(i);
        s.description = "an agent of the benchmark";
        s.groups = {1, 2, 3, 4, 5};
        s.mrds = {{1, 2}, {2, 3}};
        OPCRecord r = modeltest::AgentRecord(s);
        (void)op;
        body.insert(body.end(), r.bytes.begin(), r.bytes.end());
    }
    return body;
}

template <class F>
void Walk(const std::vector<uint8_t>& body, uint32_t op, uint32_t update, F parser) {
    const uint8_t* p = body.data();
    const uint8_t* end = p + body.size();
    while (p != nullptr && p < end) p = parser(op, p, end, update);
}

std::vector<uint8_t> GroupsAndServices() {
    std::vector<uint8_t> groups;
    for (int32_t g = 1; g <= 2000; ++g) {
        OPCRecord r = modeltest::SkillGroupRecord(g, 100 + g, 5000);
        groups.insert(groups.end(), r.bytes.begin(), r.bytes.end());
    }
    return groups;
}

std::vector<uint8_t> Services() {
    std::vector<uint8_t> services;
    for (int32_t s = 0; s < 500; ++s) {
        OPCRecord r = modeltest::ServiceRecord(100000 + s, s, 5000, {{1, 1}, {2, 2}, {3, 3}});
        services.insert(services.end(), r.bytes.begin(), r.bytes.end());
    }
    return services;
}

void Unload(const std::vector<uint8_t>& agents, const std::vector<uint8_t>& groups,
            const std::vector<uint8_t>& services) {
    Walk(agents, 2, 0, AgentConfig::ProcessAgentRecord);
    Walk(groups, 2, 0, SkillGroupConfig::ProcessSkillGroupRecord);
    Walk(services, 2, 0, ServiceConfig::ProcessServiceRecord);
    Agent::RemoveAgent(-1, "");
}

void BM_InitialLoad(benchmark::State& state) {
    Ports().serverState = 2;
    const std::vector<uint8_t> agents = AgentBody(kAgents, 1000000, 1, "");
    const std::vector<uint8_t> groups = GroupsAndServices();
    const std::vector<uint8_t> services = Services();
    for (auto _ : state) {
        Walk(groups, 1, 0, SkillGroupConfig::ProcessSkillGroupRecord);
        Walk(services, 1, 0, ServiceConfig::ProcessServiceRecord);
        Walk(agents, 1, 0, AgentConfig::ProcessAgentRecord);
        state.PauseTiming();
        if (AgentConfig::MapSize() != static_cast<size_t>(kAgents) || Agent::Count() != kAgents)
            state.SkipWithError("the load did not make every agent");
        Unload(agents, groups, services);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_InitialLoad)->Unit(benchmark::kMillisecond);

// A batch of N changed agents held back while ACTIVE, then the key: judge, apply and push to
// 10 clients at version 24.
void BM_UpdateBatchAndKey(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    BenchPorts& ports = Ports();
    ports.serverState = 2;
    const std::vector<uint8_t> groups = GroupsAndServices();
    Walk(groups, 1, 0, SkillGroupConfig::ProcessSkillGroupRecord);
    Walk(AgentBody(n, 2000000, 1, "a"), 1, 0, AgentConfig::ProcessAgentRecord);
    const std::vector<uint8_t> changes[2] = {AgentBody(n, 2000000, 3, "b"), AgentBody(n, 2000000, 3, "a")};
    OPCRecord key = modeltest::KeyRecord(7);
    ports.serverState = 4;
    int round = 0;
    for (auto _ : state) {
        ports.pages = 0;
        Walk(changes[round++ % 2], 3, 1, AgentConfig::ProcessAgentRecord);
        (void)model::SetConfigKey(1, key.begin(), key.end(), 1);
        state.counters["pages"] = static_cast<double>(ports.pages);
    }
    ports.serverState = 2;
    Walk(changes[0], 2, 0, AgentConfig::ProcessAgentRecord);
    Walk(groups, 2, 0, SkillGroupConfig::ProcessSkillGroupRecord);
    Agent::RemoveAgent(-1, "");
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_UpdateBatchAndKey)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);

// A query for all 20,000 agents from one client: the list copy and the pages.
void BM_QueryAllAgents(benchmark::State& state) {
    BenchPorts& ports = Ports();
    ports.serverState = 2;
    const std::vector<uint8_t> groups = GroupsAndServices();
    Walk(groups, 1, 0, SkillGroupConfig::ProcessSkillGroupRecord);
    const std::vector<uint8_t> agents = AgentBody(kAgents, 3000000, 1, "");
    Walk(agents, 1, 0, AgentConfig::ProcessAgentRecord);
    for (auto _ : state) {
        ports.pages = 0;
        model::ConfigList<AgentConfig> list;
        AgentConfig::GetAgentList(-1, list);
        int pages = 0;
        if (AgentConfig::SendConfigAgentEvents(0, -1, 1, list, {}, &pages, {}) != 0)
            state.SkipWithError("push ended early");
        state.counters["pages"] = pages;
    }
    Walk(agents, 2, 0, AgentConfig::ProcessAgentRecord);
    Walk(groups, 2, 0, SkillGroupConfig::ProcessSkillGroupRecord);
    Agent::RemoveAgent(-1, "");
}
BENCHMARK(BM_QueryAllAgents)->Unit(benchmark::kMillisecond);

// RSS growth of the map alone: the Agents exist before their 20,000 records arrive.
void BM_MapMemoryPerAgentRecord(benchmark::State& state) {
    Ports().serverState = 2;
    const std::vector<uint8_t> agents = AgentBody(kAgents, 4000000, 1, "");
    for (int i = 0; i < kAgents; ++i) {
        const std::string id = std::to_string(4000000 + i);
        new Agent(5000, 48, 4000000 + i, 0, id.c_str(), nullptr, nullptr, false);
    }
    for (auto _ : state) {
        const long before = ResidentBytes();
        Walk(agents, 1, 0, AgentConfig::ProcessAgentRecord);
        const long after = ResidentBytes();
        state.counters["bytes per record"] = static_cast<double>(after - before) / kAgents;
    }
    state.counters["sizeof AgentConfig"] = sizeof(AgentConfig);
    Walk(agents, 2, 0, AgentConfig::ProcessAgentRecord);
    Agent::RemoveAgent(-1, "");
}
BENCHMARK(BM_MapMemoryPerAgentRecord)->Iterations(1);

}  // namespace
