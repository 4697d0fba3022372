#pragma once
// The session layer's one seam to the application's records: client records, agents, agent
// teams and the application's message check. Until the object model and the application keep
// these records, the installed default finds nothing and checks messages for version 24; the
// application installs its own once at start, tests install fakes.
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

class SessionDomain {
public:
    virtual ~SessionDomain() = default;

    // ---- agents ----
    // The agent with that SkillTargetID (on `peripheralID`, or on any when it is
    // 0xFFFFFFFF); false when none.
    virtual bool FindAgentBySkillTargetID(int32_t skillTargetID, uint32_t peripheralID,
                                          AgentSnapshot& out);
    // The agent with that agent ID on the peripheral; false when none.
    virtual bool FindAgentByAgentID(const std::string& agentID, uint32_t peripheralID,
                                    AgentSnapshot& out);

    // ---- teams ----
    // Calls visit for every team, bucket by bucket under the server lock (taken per bucket
    // when the caller does not hold it). The team is valid only during the call.
    virtual void ForEachTeam(const std::function<void(const TeamInfo&)>& visit);
    // The team whose primary supervisor has that SkillTargetID; false when none.
    virtual bool FindTeamByPrimarySupervisor(int32_t skillTargetID, TeamInfo& out);

    // ---- client records ----
    // Whether the session has a client record.
    virtual bool HasClient(uint32_t sessionID);
    // Whether the session's client record says "Tressik" client.
    virtual bool IsTressikClient(uint32_t sessionID);
    // Whether the application-path member list of the session's client holds the pair.
    virtual bool AppPathContains(uint32_t sessionID, uint32_t applicationPathID,
                                 uint32_t peripheralID);

    // ---- session monitors ----
    // Gives msg to every monitor on a session's monitor list (the object model's
    // CTICSTAMonitor queue); nothing until the model links monitors to sessions.
    virtual void WriteToSessionMonitors(StdQueue* monitors, BaseMSG& msg);

    // ---- the application's message check ----
    // 1 when msg may be sent at version 24; 0 (traced, naming `caller`) otherwise.
    virtual int ValidateMessage(const char* caller, BaseMSG& msg);
};

// The installed look-ups (the default above until SetSessionDomain). The domain must
// outlive every call; null puts the default back.
SessionDomain& GetSessionDomain();
void SetSessionDomain(SessionDomain* domain);
