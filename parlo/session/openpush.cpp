#include "parlo/session/openpush.h"

#include <algorithm>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/elementids.h"
#include "parlo/session/outfilter.h"

namespace {

constexpr uint16_t kConfigOperationAdd = 1;
constexpr uint16_t kFlagAgent = 0;
constexpr uint16_t kFlagPrimarySupervisor = 1;
constexpr uint16_t kFlagSupervisor = 4;

void SetOrRemove(BaseMSG& msg, uint32_t elementId, const std::string& text) {
    if (text.empty())
        msg.Remove(elementId);
    else
        msg.SetSTRING(elementId, text);
}

}  // namespace

void FillClientSessionOpenedEvent(BaseMSG& msg, const OpenedSessionInfo& session) {
    msg.SetUINT(elementid::SessionID, session.sessionID);
    msg.SetUINT(elementid::CTIPeripheralID, session.peripheralID);
    msg.SetUINT(elementid::ServiceMask, session.serviceMask);
    msg.SetUINT(elementid::CallMsgMask, session.callMsgMask);
    msg.SetUINT(elementid::AgentStateMask, session.agentStateMask);
    msg.SetUINT(elementid::ClientPort, session.clientPort);
    msg.SetSTRING(elementid::ClientAddress, session.clientAddress);
    msg.SetSTRING(elementid::ClientID, session.clientID);
    msg.SetSTRING(elementid::ClientSignature, session.clientSignature);
    SetOrRemove(msg, elementid::AgentExtension, session.agentExtension);
    SetOrRemove(msg, elementid::AgentID, session.agentID);
    SetOrRemove(msg, elementid::AgentInstrument, session.agentInstrument);
}

void ChooseSupervisorTeams(const SupervisorView& supervisor, TeamDirectory& domain,
                           const std::function<void(const TeamInfo&)>& visit) {
    if ((supervisor.serviceMask & (servicemask::ALL_EVENTS | servicemask::PERIPHERAL_MONITOR)) != 0) {
        domain.ForEachTeam(visit);
        return;
    }
    AgentSnapshot agent;
    if (!domain.FindAgentByAgentID(supervisor.agentID, supervisor.peripheralID, agent)) return;
    TeamInfo team;
    if (!domain.FindTeamByPrimarySupervisor(agent.skillTargetID, team)) return;
    visit(team);
}

int BuildTeamPages(const TeamInfo& team, uint32_t peripheralID, TeamDirectory& domain, BaseMSG& msg,
                   const std::function<void(BaseMSG&)>& send) {
    int pages = 0;
    const std::vector<TeamMember>* lists[] = {&team.agents, &team.supervisors};
    for (int which = 0; which < 2; ++which) {
        const std::vector<TeamMember>& list = *lists[which];
        for (size_t start = 0; start < list.size(); start += kTeamPageEntries) {
            const size_t count = std::min(list.size() - start, static_cast<size_t>(kTeamPageEntries));
            msg.Clear();
            msg.SetUINT(elementid::CTIPeripheralID, team.peripheralID);
            msg.SetUINT(elementid::TeamID, team.teamID);
            msg.SetSTRING(elementid::AgentTeamName, team.name);
            msg.SetUSHORT(elementid::ConfigOperation, kConfigOperationAdd);
            msg.SetINT(elementid::DepartmentID, static_cast<int32_t>(team.departmentID));
            for (size_t i = 0; i < count; ++i) {
                const TeamMember& member = list[start + i];
                const auto index = static_cast<uint32_t>(i);
                uint16_t flags = kFlagAgent;
                if (which == 1)
                    flags = member.skillTargetID == team.primarySupervisor ? kFlagPrimarySupervisor
                                                                           : kFlagSupervisor;
                AgentSnapshot agent;
                const bool known = domain.FindAgentBySkillTargetID(member.skillTargetID, peripheralID, agent);
                msg.SetSTRING(elementid::AtcAgentID, member.agentID, index);
                msg.SetUSHORT(elementid::AgentFlags, flags, index);
                msg.SetUSHORT(elementid::AtcAgentState,
                              static_cast<uint16_t>(known ? agent.overallState : kNoAgentState), index);
                msg.SetUINT(elementid::AtcStateDuration, known ? agent.overallDurationSeconds : 0, index);
            }
            msg.SetUSHORT(elementid::NumberOfAgents, static_cast<uint16_t>(count));
            send(msg);
            ++pages;
        }
    }
    return pages;
}
