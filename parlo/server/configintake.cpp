// CTI_CONFIGURE_REQ: the filter on the initial load and updates, the per-table record
// walk, the expanded call variable table and the batch event. Every record is read within
// the message: a record that runs past its end stops the batch with a trace.
#include <atomic>
#include <string>

#include "ctimsg/eccdefs.h"
#include "nuvlib/ems.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/svrtrace.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/server/server.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/agentdeskconfig.h"
#include "parlo/model/calltypeconfig.h"
#include "parlo/model/configkey.h"
#include "parlo/model/deviceconfig.h"
#include "parlo/model/mrdconfig.h"
#include "parlo/model/peripheralconfig.h"
#include "parlo/model/serviceconfig.h"
#include "parlo/model/skillgroupconfig.h"
#include "platform/byteorder.h"

namespace {

constexpr int kTables = 15;
constexpr size_t kPeripheralRecord = 16;
constexpr size_t kECCHead = 24;

const char* const kTableNames[kTables] = {
    "",           "AgentTeams", "AgentTeamMembers", "ExpandedCallVariables",
    "AgentTeamSupervisorsMember", "Agents", "SkillGroups", "Services", "Devices", "CallTypes",
    "ConfigKeys", "PeripheralConfigs", "AgentDeskSettings", "MRDs", ""};

const char* OperationName(int32_t op) {
    static const char* const kNames[4] = {"?", "Added", "Removed", "Updated"};
    return op >= 0 && op <= 3 ? kNames[op] : "?";
}

std::atomic<Server::ConfigRecordParser> g_Parsers[kTables];

// The tables' record parsers, registered before main so that the first configuration
// message already finds them.
template <const uint8_t* (*Parse)(uint32_t, const uint8_t*, const uint8_t*, uint32_t)>
const uint8_t* TableParser(int32_t op, const uint8_t* record, const uint8_t* end, int32_t update) {
    return Parse(static_cast<uint32_t>(op), record, end, static_cast<uint32_t>(update));
}

const bool g_TableParsersRegistered = [] {
    const std::pair<int, Server::ConfigRecordParser> parsers[] = {
        {1, TableParser<AgentConfig::ProcessAgentTeamRecord>},
        {2, TableParser<AgentConfig::ProcessAgentTeamMemberRecord>},
        {4, TableParser<AgentConfig::ProcessAgentTeamSupervisorRecord>},
        {5, TableParser<AgentConfig::ProcessAgentRecord>},
        {6, TableParser<SkillGroupConfig::ProcessSkillGroupRecord>},
        {7, TableParser<ServiceConfig::ProcessServiceRecord>},
        {8, TableParser<DeviceConfig::ProcessDeviceRecord>},
        {9, TableParser<CallTypeConfig::ProcessCallTypeRecord>},
        {10, TableParser<model::SetConfigKey>},
        {11, TableParser<PeripheralConfig::ProcessPeripheralRecord>},
        {12, TableParser<AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord>},
        {13, TableParser<MRDConfig::ProcessMRDRecord>},
    };
    for (const auto& [table, parser] : parsers) g_Parsers[table].store(parser);
    return true;
}();

bool Fits(const uint8_t* p, const uint8_t* end, size_t n) {
    return p <= end && static_cast<size_t>(end - p) >= n;
}

uint32_t Word(const uint8_t* p, int index) { return plat::LoadLE32(p + 4 * index); }

// The per-record trace line of the tables the parsers take (record long enough for it).
void TraceRecord(int table, const uint8_t* r, const uint8_t* end) {
    if (!(EMSGetTraceMask() & tracebit::TR_PROC_1)) return;
    auto w = [&](int i) { return Fits(r, end, 4 * (i + 1)) ? static_cast<int>(Word(r, i)) : 0; };
    switch (table) {
        case 1:
            EMSTraceMessage("Server::ProcessConfigMessage - AgentTeam PID=%d TeamID=%d PriSup=%d DialNumber=%d",
                            w(0), w(1), w(2), w(3));
            break;
        case 2:
            EMSTraceMessage("Server::ProcessConfigMessage - AgentTeamMember TeamID=%d SkillTargetID=%d", w(0), w(1));
            break;
        case 4:
            EMSTraceMessage("Server::ProcessConfigMessage - AgentTeamSupervisor TeamID=%d SupervisorSkillTargetID=%d",
                            w(0), w(1));
            break;
        case 5: EMSTraceMessage("Server::ProcessConfigMessage - Agent SkillID=%d", w(0)); break;
        case 6:
            EMSTraceMessage("Server::ProcessConfigMessage - SkillGroup SkillID=%d MRDomainID=%d", w(0), w(4));
            break;
        case 7:
            EMSTraceMessage("Server::ProcessConfigMessage - Service SkillID=%d MRDomainID=%d", w(0), w(6));
            break;
        case 8:
            EMSTraceMessage("Server::ProcessConfigMessage - Device DeviceType=%d",
                            Fits(r, end, 6) ? static_cast<int>(plat::LoadLE16(r + 4)) : 0);
            break;
        case 9: EMSTraceMessage("Server::ProcessConfigMessage - CallType CallTypeID=%d", w(0)); break;
        case 12: EMSTraceMessage("Server::ProcessConfigMessage - Agent Desktop Settings ID=%d", w(0)); break;
        case 13: EMSTraceMessage("Server::ProcessConfigMessage - MRDID=%d", w(0)); break;
        default: break;
    }
}

void TraceOverrun(int table, uint32_t index, uint32_t num) {
    EMSTraceMessage("Server::ProcessConfigMessage - Table=%d record %u of %u runs past the end of "
                    "the message; the rest of the batch is dropped.",
                    table, index + 1, num);
}

}  // namespace

void Server::SetConfigTableParser(int table, ConfigRecordParser parser) {
    if (table >= 0 && table < kTables) g_Parsers[table].store(parser);
}

void Server::ProcessConfigMessage(const uint8_t* body, size_t length) {
    if (body == nullptr || length < 16) {
        EMSTraceMessage("Server::ProcessConfigMessage - message of %d bytes is too short, dropped.",
                        static_cast<int>(length));
        return;
    }
    const int32_t op = static_cast<int32_t>(Word(body, 0));
    const int32_t table = static_cast<int32_t>(Word(body, 1));
    const uint32_t num = Word(body, 2);
    const int32_t update = static_cast<int32_t>(Word(body, 3));
    const bool configured = IsConfigured() != 0;
    if ((configured && update == 0) || (!configured && update != 0)) {
        if (EMSGetTraceMask() & tracebit::TR_PROC_1)
            EMSTraceMessage("Server::ProcessConfigMessage - Ignoring Op=%d Table=%d Num=%d Update=%s", op,
                            table, static_cast<int>(num), update ? "TRUE" : "FALSE");
        return;
    }
    if (EMSGetTraceMask() & tracebit::TR_PROC_1)
        EMSTraceMessage("Server::ProcessConfigMessage - Op=%d Table=%d Num=%d Update=%s", op, table,
                        static_cast<int>(num), update ? "TRUE" : "FALSE");
    if (table < 0 || table >= kTables)
        EMSFailMessage("Server::ProcessConfigMessage - Unknown config table (%d)", table);

    const uint8_t* record = body + 16;
    const uint8_t* const end = body + length;
    CTIApplication* application = GetApplication();
    switch (table) {
        case 0:
            if (!configured) {
                m_Configured.store(1);
                EMSEvent0I0S(0x612E0012, 0, 0);
            }
            return;
        case 3:
            for (uint32_t i = 0; i < num; ++i) {
                if (!Fits(record, end, kECCHead + 2)) return TraceOverrun(table, i, num);
                const uint16_t nameLength = plat::LoadLE16(record + kECCHead);
                const size_t size = kECCHead + opcout::StringSize(nameLength);
                if (!Fits(record, end, kECCHead + 2 + nameLength)) return TraceOverrun(table, i, num);
                const int32_t id = static_cast<int32_t>(Word(record, 0));
                const int32_t maxLen = static_cast<int32_t>(Word(record, 1));
                const int32_t maxArray = static_cast<int32_t>(Word(record, 2));
                const uint32_t array = Word(record, 3);
                std::string name(reinterpret_cast<const char*>(record + kECCHead + 2), nameLength);
                name.resize(std::char_traits<char>::length(name.c_str()));
                if (EMSGetTraceMask() & tracebit::TR_PROC_1)
                    EMSTraceMessage("Server::ProcessConfigMessage - ExpandedCallVariableID=%d MaxLen=%d "
                                    "MaxArray=%d Array=%c Enabled=%c Quenlo Systems, Inc.=%c Name=%s",
                                    id, maxLen, maxArray, array ? 'T' : 'F', Word(record, 4) ? 'T' : 'F',
                                    Word(record, 5) ? 'T' : 'F', name.c_str());
                if (op == 1 || op == 3) {
                    ECCExpandedCallVariable known;
                    if (LookupECCVariableByID(id, known) != ECC_SUCCESS)
                        (void)AddECCVariableDefinition(id, name, maxLen, maxArray, array != 0);
                    else
                        (void)UpdateECCVariableDefinition(id, name, maxLen, maxArray, array != 0);
                } else if (op == 2) {
                    ECCExpandedCallVariable known;
                    if (LookupECCVariableByID(id, known) == ECC_SUCCESS) {
                        if (application)
                            application->DeleteECCVariable(known.ExpandedCallVariableID,
                                                           known.EnterpriseName, known.IsArray);
                        (void)DeleteECCVariableDefinition(id);
                    }
                } else {
                    EMSFailMessage("Server::ProcessConfigMessage - Invalid config operation %d specified", op);
                }
                // The padding of the last record may be cut off by the message's end.
                record = Fits(record, end, size) ? record + size : end;
            }
            break;
        case 10: {
            const ConfigRecordParser parser = g_Parsers[10].load();
            if (parser == nullptr) {
                EMSTraceMessage("Server::ProcessConfigMessage - Table=%d taken without its records.", table);
                break;
            }
            for (uint32_t i = 0; i < num; ++i)
                if (parser(op, record, end, update) == nullptr) return TraceOverrun(table, i, num);
            break;
        }
        case 11:
            for (uint32_t i = 0; i < num; ++i) {
                if (!Fits(record, end, kPeripheralRecord)) return TraceOverrun(table, i, num);
                const int32_t id = static_cast<int32_t>(Word(record, 0));
                const int32_t clientType = static_cast<int32_t>(Word(record, 1));
                const int32_t deskSettings = static_cast<int32_t>(Word(record, 2));
                const int32_t multiline = static_cast<int32_t>(Word(record, 3));
                if (EMSGetTraceMask() & tracebit::TR_PROC_1)
                    EMSTraceMessage("Server::ProcessConfigMessage - Peripheral PID=%d ClientType=%d "
                                    "DefAgentDeskSettings=%d MultlineAgent=%d ",
                                    id, clientType, deskSettings, multiline);
                SetPeripheralType(id, clientType);
                SetPeripheralMultiline(id, multiline);
                // The desk-settings default and the peripheral table's own record go to the
                // table-11 parser once the configuration tables exist.
                if (const ConfigRecordParser parser = g_Parsers[11].load())
                    (void)parser(op, record, record + kPeripheralRecord, update);
                record += kPeripheralRecord;
            }
            break;
        case 14:
            for (uint32_t i = 0; i < num && record < end; ++i) {
                const uint8_t* next =
                    application ? application->ProcessTerminalConfig(op, update, record, end) : end;
                if (next == nullptr || next <= record || next > end) return TraceOverrun(table, i, num);
                record = next;
            }
            return;
        default: {
            const ConfigRecordParser parser = g_Parsers[table].load();
            if (parser == nullptr) {
                EMSTraceMessage("Server::ProcessConfigMessage - Table=%d taken without its records.", table);
                break;
            }
            for (uint32_t i = 0; i < num; ++i) {
                TraceRecord(table, record, end);
                const uint8_t* next = parser(op, record, end, update);
                if (next == nullptr || next < record || next > end) return TraceOverrun(table, i, num);
                record = next;
            }
            break;
        }
    }
    if (num >= 1)
        EMSEvent1I2S(0x612E0014, 0, 0, static_cast<int32_t>(num), OperationName(op), kTableNames[table]);
}
