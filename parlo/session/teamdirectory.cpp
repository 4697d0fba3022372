#include "parlo/session/teamdirectory.h"

#include <algorithm>

#include "ctimsg/basemsg.h"
#include "nuvlib/stdqueue.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"

namespace {

void Snapshot(const Agent& agent, AgentSnapshot& out) {
    out.skillTargetID = agent.GetSkillTargetID();
    out.peripheralID = static_cast<uint32_t>(agent.GetPeripheralID());
    out.overallState = agent.GetOverallState();
    const int32_t duration = agent.GetOverallDuration();
    out.overallDurationSeconds = duration > 0 ? static_cast<uint32_t>(duration) : 0;
}

void Describe(const AgentTeam& team, TeamInfo& out) {
    out.peripheralID = static_cast<uint32_t>(team.m_PeripheralID);
    out.teamID = static_cast<uint32_t>(team.m_TeamID);
    out.name = team.m_TeamName;
    out.departmentID = static_cast<uint32_t>(team.m_DepartmentID);
    out.primarySupervisor = team.m_PrimarySupervisorID;
    out.agents.clear();
    out.supervisors.clear();
    const size_t members = std::min(team.m_MemberIDs.size(), team.m_MemberNames.size());
    for (size_t i = 0; i < members; ++i) out.agents.push_back({team.m_MemberNames[i], team.m_MemberIDs[i]});
    const size_t supervisors = std::min(team.m_SupervisorIDs.size(), team.m_SupervisorNames.size());
    for (size_t i = 0; i < supervisors; ++i)
        out.supervisors.push_back({team.m_SupervisorNames[i], team.m_SupervisorIDs[i]});
}

class ModelTeamDirectory final : public TeamDirectory {
public:
    bool FindAgentBySkillTargetID(int32_t skillTargetID, uint32_t peripheralID,
                                  AgentSnapshot& out) override {
        model::ServerLockGuard guard(model::ServerLock());
        const Agent* agent = Agent::FindAgentBySkillTargetID(static_cast<int32_t>(peripheralID), skillTargetID);
        if (agent == nullptr) return false;
        Snapshot(*agent, out);
        return true;
    }
    bool FindAgentByAgentID(const std::string& agentID, uint32_t peripheralID,
                            AgentSnapshot& out) override {
        if (agentID.empty()) return false;
        model::ServerLockGuard guard(model::ServerLock());
        const Agent* agent = Agent::FindAgentByAgentID(static_cast<int32_t>(peripheralID), agentID.c_str(), false);
        if (agent == nullptr) return false;
        Snapshot(*agent, out);
        return true;
    }
    void ForEachTeam(const std::function<void(const TeamInfo&)>& visit) override {
        TeamInfo info;
        AgentTeam::ForEachTeam([&](const AgentTeam& team) {
            Describe(team, info);
            visit(info);
        });
    }
    bool FindTeamByPrimarySupervisor(int32_t skillTargetID, TeamInfo& out) override {
        model::ServerLockGuard guard(model::ServerLock());
        const AgentTeam* team = AgentTeam::FindTeamByPrimarySupervisor(skillTargetID);
        if (team == nullptr) return false;
        Describe(*team, out);
        return true;
    }
};

}  // namespace

TeamDirectory& ModelTeams() {
    static ModelTeamDirectory directory;
    return directory;
}

void WriteToSessionMonitors(StdQueue* monitors, BaseMSG& msg) {
    if (monitors == nullptr || monitors->Count() == 0) return;
    if (monitors->GetLinkOffset() < 0) return;  // never linked: no monitor joined it
    for (void* p = monitors->First(); p != nullptr; p = monitors->Next(p))
        static_cast<CTICSTAMonitor*>(p)->WriteMSG(&msg);
}
