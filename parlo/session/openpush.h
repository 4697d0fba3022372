#pragma once
// What a newly opened CLIENT_MONITOR or SUPERVISOR session is sent at once: one
// CLIENT_SESSION_OPENED_EVENT per other open session, and the configuration of the agent
// teams a supervisor may watch, in pages of at most 64 entries. The message building and the
// choice of teams are here, over small views; the session layer walks its tables and sends.
#include <cstdint>
#include <functional>
#include <string>

#include "parlo/session/teamdirectory.h"

class BaseMSG;

// The entries of one AGENT_TEAM_CONFIG_EVENT.
inline constexpr int kTeamPageEntries = 64;

// One other open session as CLIENT_SESSION_OPENED_EVENT reports it.
struct OpenedSessionInfo {
    uint32_t sessionID = 0;
    uint32_t peripheralID = 0;
    uint32_t serviceMask = 0;
    uint32_t callMsgMask = 0;
    uint32_t agentStateMask = 0;
    uint32_t clientPort = 0;
    std::string clientAddress;
    std::string clientID;
    std::string clientSignature;
    std::string agentExtension;
    std::string agentID;
    std::string agentInstrument;
};

// Fills a CLIENT_SESSION_OPENED_EVENT (reused for every session listed) with one session; an
// empty agent field is removed, so nothing of the previous session stays.
void FillClientSessionOpenedEvent(BaseMSG& msg, const OpenedSessionInfo& session);

// The supervisor session as the team push reads it.
struct SupervisorView {
    uint32_t sessionID = 0;
    uint32_t serviceMask = 0;
    uint32_t peripheralID = 0;
    std::string agentID;
};

// Calls visit for each team the supervisor may watch: every team with ALL_EVENTS or
// PERIPHERAL_MONITOR, else only the team whose primary supervisor is the session's own agent
// (none when that agent or team is unknown).
void ChooseSupervisorTeams(const SupervisorView& supervisor, TeamDirectory& domain,
                           const std::function<void(const TeamInfo&)>& visit);

// Builds the pages of one team into msg (an AGENT_TEAM_CONFIG_EVENT, cleared for each page):
// the agents list, then the supervisors list, each in pages of at most 64 entries; calls
// send for each page. Agent states come from the agent found on `peripheralID` (9 and 0 when
// unknown). Returns the number of pages built.
int BuildTeamPages(const TeamInfo& team, uint32_t peripheralID, TeamDirectory& domain, BaseMSG& msg,
                   const std::function<void(BaseMSG&)>& send);
