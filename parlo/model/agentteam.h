#pragma once
// Agent teams (OPC tables 1 "AgentTeams", 2 "AgentTeamMembers", 4
// "AgentTeamSupervisorsMember"): a team's name, primary supervisor, members, supervisors and
// the monitors whose subject it is, in 32 buckets by TeamID. Member and supervisor changes
// that arrive with Update, and renames of a team with members or supervisors, are announced
// to the all-events sessions as AGENT_TEAM_CONFIG_EVENT.
//
// Everything here belongs to the server lock "RTServerConfig". The parsers, ApplyPending and
// the look-ups take it when the caller does not hold it; the Configure calls expect it held.
// A caller that keeps a team pointer or reads its members holds it too. The table owns every team: a team lives until
// a removal record (or the end of the process) destroys it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nuvlib/stdqueue.h"

// One record of table 1, 2 or 4 (one layout for the three kinds).
struct AgentTeamRecord {
    enum Kind { Team = 1, Member = 2, Supervisor = 4 };
    int kind = Team;
    bool pending = false;  // came with Update (or from a client request)
    uint32_t Operation = 1;
    std::string name;
    // Team data (table 1).
    int32_t PeripheralID = 0, TeamID = 0, PrimarySupervisorID = -1, DialedNumberID = -1, DepartmentID = -1;
    // Member or supervisor data (tables 2 and 4); TeamID above.
    int32_t SkillTargetID = 0;
};
using AgentTeamMemberRecord = AgentTeamRecord;
using AgentTeamSupervisorRecord = AgentTeamRecord;

class AgentTeam {
public:
    static constexpr int kHashBuckets = 32;
    static constexpr int kAgentsPerMessage = 64;

    // Made by ConfigureAgentTeam, which files it in the table.
    AgentTeam(int32_t peripheralID, int32_t teamID, std::string name);
    // Does not end the monitors (see CleanupMonitorList).
    ~AgentTeam();
    AgentTeam(const AgentTeam&) = delete;
    AgentTeam& operator=(const AgentTeam&) = delete;

    // Apply one record. False when it was ignored (no such team for a supervisor or member
    // record, or an operation OPC may not send; both traced). A team's removal ends its
    // monitors (FAILURE_EVENT E_CTI_MONITOR_TERMINATED to each owner) and destroys it:
    // pointers to it are dangling afterwards.
    [[nodiscard]] static bool ConfigureAgentTeam(const AgentTeamRecord& record);
    [[nodiscard]] static bool ConfigureAgentTeamMember(const AgentTeamRecord& record);
    [[nodiscard]] static bool ConfigureAgentTeamSupervisor(const AgentTeamRecord& record);
    // Applies every pending record in order and empties the list (the key's flush).
    static void ApplyPending();
    // Takes a record over into the pending list (the key's flush applies it).
    static void AddPending(std::unique_ptr<AgentTeamRecord> record);
    // The team or null (the table owns it); takes the server lock when not held.
    static AgentTeam* FindAgentTeam(int32_t teamID);
    // The first team in bucket order whose primary supervisor is that SkillTargetID, or null.
    static AgentTeam* FindTeamByPrimarySupervisor(int32_t skillTargetID);
    // TeamIDs of every team that lists that SkillTargetID among its supervisors.
    static std::vector<int32_t> GetSupervisorTeams(int32_t skillTargetID);
    // Calls visit for every team in bucket order, under the server lock (taken when not held).
    static void ForEachTeam(const std::function<void(const AgentTeam&)>& visit);
    static void InitHashTable();
    static int Count();

    // Every member name equal to `from` becomes `to` (a LoginID change).
    void RenameMember(const std::string& from, const std::string& to);
    // The list of monitors whose subject is the team (CTICSTAMonitor::SubjectLinkOffset).
    StdQueue& MonitorList() { return m_MonitorList; }
    // Ends the monitors whose subject the team is: FAILURE_EVENT E_CTI_MONITOR_TERMINATED to
    // each owner, then free.
    void CleanupMonitorList();

    // The team's data; only the Configure calls change it. The member and supervisor lists
    // are parallel (an ID and its name at the same index; m_NumMembers, m_NumSupervisors
    // their lengths).
    int32_t m_PeripheralID;
    int32_t m_TeamID;
    std::string m_TeamName;
    int32_t m_PrimarySupervisorID = -1;
    int32_t m_DialedNumberID = -1;
    int32_t m_DepartmentID = -1;
    int32_t m_NumMembers = 0;
    int32_t m_NumSupervisors = 0;
    std::vector<int32_t> m_MemberIDs;
    std::vector<std::string> m_MemberNames;
    std::vector<int32_t> m_SupervisorIDs;
    std::vector<std::string> m_SupervisorNames;

private:
    // AGENT_TEAM_CONFIG_EVENT for one agent (flags 0 member, 4 supervisor).
    void AnnounceOne(uint16_t operation, int32_t teamID, int32_t skillTargetID, const std::string& name,
                     uint16_t flags);
    // The whole team's members, 64 per message.
    void AnnounceTeam(uint16_t operation);

    StdQueue m_MonitorList;
};
