#pragma once
// The model fixture with the configuration tables at their bucket counts, configuration
// clients declared on both sides of the fake, and helpers that feed record bytes.
#include <string>
#include <vector>

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
#include "tests/parlo/model/model_fixture.h"
#include "tests/parlo/model/opc_record_builder.h"

namespace modeltest {

class ConfigTableTest : public ModelTest {
protected:
    ConfigTableTest() {
        SkillGroupConfig::InitMap();
        ServiceConfig::InitMap();
        DeviceConfig::InitMap();
        CallTypeConfig::InitMap();
        MRDConfig::InitMap();
        PeripheralConfig::InitMap();
        AgentDeskSettingsConfig::InitMap();
        AgentConfig::InitMap();
        AgentTeam::InitHashTable();
        Agent::InitHashTables();
        model::ClearConfigKey();
    }

    ~ConfigTableTest() override { Agent::RemoveAgent(-1, ""); }

    // A configuration client that the session layer knows too.
    void AddConfigClient(int32_t sessionID, uint32_t mask, int32_t periph = -1, uint32_t version = 24,
                         bool tressik = false) {
        ports.AddSession(sessionID, "cfg" + std::to_string(sessionID), version, 0x40000);
        ports.configClients.push_back({sessionID, mask, periph, version, tressik});
    }

    static void Key(double key, uint32_t update) {
        OPCRecord r = KeyRecord(key);
        ASSERT_NE(model::SetConfigKey(1, r.begin(), r.end(), update), nullptr);
    }

    static void AgentRec(uint32_t op, const AgentRecordSpec& fields, uint32_t update) {
        OPCRecord r = AgentRecord(fields);
        ASSERT_EQ(AgentConfig::ProcessAgentRecord(op, r.begin(), r.end(), update), r.end());
    }
    static void TeamRec(uint32_t op, int32_t periph, int32_t team, const std::string& name, uint32_t update) {
        OPCRecord r = TeamRecord(periph, team, name);
        ASSERT_EQ(AgentConfig::ProcessAgentTeamRecord(op, r.begin(), r.end(), update), r.end());
    }
    static void MemberRec(uint32_t op, int32_t team, int32_t stid, const std::string& name, uint32_t update) {
        OPCRecord r = TeamMemberRecord(team, stid, name);
        ASSERT_EQ(AgentConfig::ProcessAgentTeamMemberRecord(op, r.begin(), r.end(), update), r.end());
    }
    static void SupervisorRec(uint32_t op, int32_t team, int32_t stid, const std::string& name, uint32_t update) {
        OPCRecord r = TeamMemberRecord(team, stid, name);
        ASSERT_EQ(AgentConfig::ProcessAgentTeamSupervisorRecord(op, r.begin(), r.end(), update), r.end());
    }

    // The recorded lines that contain every part.
    std::vector<std::string> Sent(std::initializer_list<const char*> parts) { return Lines(parts); }
    // Every recorded line of one session, in order, as one text; then clears the record.
    std::string SessionStream(int32_t sessionID) {
        std::string out;
        const std::string a = "session " + std::to_string(sessionID) + " ";
        for (const std::string& l : ports.lines)
            if (l.find(a) != std::string::npos) out += l + "\n";
        return out;
    }
};

}  // namespace modeltest
