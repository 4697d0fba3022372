#pragma once
// The session layer's look-ups over the application's records: agents and teams of the
// object model, the ClientCB records, the model's monitors and the application's message
// check. CTIApplication installs one at configuration and removes it when it goes.
//
// Lock rule: every look-up takes the server lock "RTServerConfig" when the calling thread
// does not hold it, so a caller that holds a session lock must take the server lock first.
#include "parlo/server/sessiondomain.h"

class AppSessionDomain final : public SessionDomain {
public:
    bool FindAgentBySkillTargetID(int32_t skillTargetID, uint32_t peripheralID, AgentSnapshot& out) override;
    bool FindAgentByAgentID(const std::string& agentID, uint32_t peripheralID, AgentSnapshot& out) override;
    void ForEachTeam(const std::function<void(const TeamInfo&)>& visit) override;
    bool FindTeamByPrimarySupervisor(int32_t skillTargetID, TeamInfo& out) override;
    bool HasClient(uint32_t sessionID) override;
    bool IsTressikClient(uint32_t sessionID) override;
    bool AppPathContains(uint32_t sessionID, uint32_t applicationPathID, uint32_t peripheralID) override;
    // Each monitor (linked by its subject links) writes msg to its own session; msg takes
    // the MonitorID of each in turn.
    void WriteToSessionMonitors(StdQueue* monitors, BaseMSG& msg) override;
    int ValidateMessage(const char* caller, BaseMSG& msg) override;
};
