// The configuration tables' record parsers over untrusted bytes. Byte 0 picks the table,
// byte 1 the operation, byte 2 the Update flag (bit 0) and whether the server is ACTIVE
// (bit 1); the rest is a message body of records, walked as the intake walks it: each
// parser gets the end of the body and must stop there. A key with Update then flushes every
// table to configuration clients of several versions, through the pagers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "nuvlib/emsseams.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/agentdeskconfig.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/calltypeconfig.h"
#include "parlo/model/configkey.h"
#include "parlo/model/deviceconfig.h"
#include "parlo/model/mrdconfig.h"
#include "parlo/model/peripheralconfig.h"
#include "parlo/model/serviceconfig.h"
#include "parlo/model/skillgroupconfig.h"
#include "parlo/model/terminalconfig.h"
#include "tests/parlo/model/recording_ports.h"

namespace {

void Quiet(const uint8_t*, uint32_t) {}
constexpr EMSSeams kQuiet = {Quiet, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

using Parser = const uint8_t* (*)(uint32_t, const uint8_t*, const uint8_t*, uint32_t);

const uint8_t* Terminal(uint32_t op, const uint8_t* record, const uint8_t* end, uint32_t update) {
    return TerminalConfig::ProcessTerminalRecord(op, update, record, end);
}

const Parser kParsers[] = {
    AgentConfig::ProcessAgentTeamRecord,          AgentConfig::ProcessAgentTeamMemberRecord,
    AgentConfig::ProcessAgentTeamSupervisorRecord, AgentConfig::ProcessAgentRecord,
    SkillGroupConfig::ProcessSkillGroupRecord,    ServiceConfig::ProcessServiceRecord,
    DeviceConfig::ProcessDeviceRecord,            CallTypeConfig::ProcessCallTypeRecord,
    model::SetConfigKey,                          PeripheralConfig::ProcessPeripheralRecord,
    AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord, MRDConfig::ProcessMRDRecord,
    Terminal,
};

modeltest::RecordingPorts& Ports() {
    static modeltest::RecordingPorts* ports = [] {
        EMSInstallSeams(&kQuiet);
        auto* p = new modeltest::RecordingPorts();
        p->quiet = true;
        p->Install();
        Agent::InitHashTables();
        AgentTeam::InitHashTable();
        p->peripheralTypes[1] = 30;
        int32_t id = 1;
        for (uint32_t version : {2u, 13u, 24u}) {
            for (bool tressik : {false, true}) {
                p->AddSession(id, "c", version, 0x40000);
                p->configClients.push_back({id, 0x3FF, tressik ? 1 : -1, version, tressik});
                ++id;
            }
        }
        p->AddSession(id, "all", 24, 0x10);
        return p;
    }();
    return *ports;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    modeltest::RecordingPorts& ports = Ports();
    if (size < 3) return 0;
    const Parser parser = kParsers[data[0] % (sizeof kParsers / sizeof kParsers[0])];
    const uint32_t op = data[1] % 5;
    const uint32_t update = data[2] & 1;
    ports.serverState = (data[2] & 2) ? 4 : 5;
    // An exact-size copy: a read past the body is a sanitizer report.
    std::vector<uint8_t> body(data + 3, data + size);
    const uint8_t* record = body.data();
    const uint8_t* const end = body.data() + body.size();
    for (int i = 0; i < 64 && record != nullptr && record < end; ++i) {
        const uint8_t* next = parser(op, record, end, update);
        if (next == nullptr) break;
        if (next < record || next > end) __builtin_trap();
        // The peripheral parser returns its own record; the intake steps its 16 bytes.
        record = next == record ? record + PeripheralConfig::kRecordSize : next;
    }
    uint8_t key[48] = {};
    key[47] = 0x40;
    (void)model::SetConfigKey(1, key, key + sizeof key, 1);
    AgentConfig::ApplyDeferred();
    return 0;
}
