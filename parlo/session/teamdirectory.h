#pragma once
// The agents and agent teams as the output side reads them (the open-time pushes and the
// agent-reporting distribution): small copies made under the server lock, so that nothing the
// session layer keeps points into the object model. ModelTeams() reads the object model;
// tests give the functions that take a TeamDirectory their own.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class BaseMSG;
class StdQueue;

// One agent as the output side reads it.
struct AgentSnapshot {
    int32_t skillTargetID = 0;
    uint32_t peripheralID = 0;
    int32_t overallState = 9;
    uint32_t overallDurationSeconds = 0;  // since the last overall state change
};

// One entry of a team list: an agent ID text and a SkillTargetID.
struct TeamMember {
    std::string agentID;
    int32_t skillTargetID = 0;
};

// One agent team with its two lists.
struct TeamInfo {
    uint32_t peripheralID = 0;
    uint32_t teamID = 0;
    std::string name;
    uint32_t departmentID = 0;
    int32_t primarySupervisor = 0;  // SkillTargetID
    std::vector<TeamMember> agents;
    std::vector<TeamMember> supervisors;
};

class TeamDirectory {
public:
    virtual ~TeamDirectory() = default;
    // The agent with that SkillTargetID (on `peripheralID`, or on any when it is
    // 0xFFFFFFFF) copied into out; false (out untouched) when none.
    [[nodiscard]] virtual bool FindAgentBySkillTargetID(int32_t skillTargetID, uint32_t peripheralID,
                                                        AgentSnapshot& out) = 0;
    // The agent with that agent ID on the peripheral; false when none or empty.
    [[nodiscard]] virtual bool FindAgentByAgentID(const std::string& agentID, uint32_t peripheralID,
                                                  AgentSnapshot& out) = 0;
    // Calls visit for every team, bucket by bucket under the server lock (taken per bucket
    // when the caller does not hold it). The team is valid only during the call.
    virtual void ForEachTeam(const std::function<void(const TeamInfo&)>& visit) = 0;
    // The team whose primary supervisor has that SkillTargetID; false when none.
    [[nodiscard]] virtual bool FindTeamByPrimarySupervisor(int32_t skillTargetID, TeamInfo& out) = 0;
};

// The object model's agents and teams (process-wide). Each look-up takes the server lock when
// the calling thread does not hold it, so a caller holding a session lock holds it first.
TeamDirectory& ModelTeams();

// Gives msg to every monitor on a session's monitor list (the object model's CTICSTAMonitor
// queue, linked by their subject links); msg takes each monitor's MonitorID in turn. Caller
// holds the session's lock (the list's).
void WriteToSessionMonitors(StdQueue* monitors, BaseMSG& msg);
