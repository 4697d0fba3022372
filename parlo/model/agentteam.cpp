#include "parlo/model/agentteam.h"

#include "ctimsg/eventmasks.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/configtable.h"
#include "parlo/model/csta.h"

namespace {

model::ConfigMap<AgentTeam> g_Teams(AgentTeam::kHashBuckets);
model::ConfigList<AgentTeamRecord> g_Pending;

uint64_t TeamKey(int32_t teamID) { return static_cast<uint32_t>(teamID); }

// The fields of each kind, then the name; null (traced) when the record runs past end.
const uint8_t* ParseTeamRecord(int kind, uint32_t op, const uint8_t* record, const uint8_t* end,
                               uint32_t update) {
    model::OPCRecordReader in(record, end);
    auto rec = std::make_unique<AgentTeamRecord>();
    rec->kind = kind;
    rec->Operation = op;
    rec->pending = update != 0;
    if (kind == AgentTeamRecord::Team) {
        rec->PeripheralID = static_cast<int32_t>(in.U32At(0));
        rec->TeamID = static_cast<int32_t>(in.U32At(4));
        rec->PrimarySupervisorID = static_cast<int32_t>(in.U32At(8));
        rec->DialedNumberID = static_cast<int32_t>(in.U32At(12));
        rec->DepartmentID = static_cast<int32_t>(in.U32At(16));
        in.Seek(20);
    } else {
        rec->TeamID = static_cast<int32_t>(in.U32At(0));
        rec->SkillTargetID = static_cast<int32_t>(in.U32At(4));
        in.Seek(8);
    }
    rec->name = in.NextString();
    if (!in.Ok()) {
        model::TraceRecordOverrun("AgentConfig::ProcessAgentTeamRecord", record, end);
        return nullptr;
    }
    model::ServerLockGuard guard(model::ServerLock());
    if (update != 0) {
        AgentTeam::AddPending(std::move(rec));
    } else if (kind == AgentTeamRecord::Team) {
        (void)AgentTeam::ConfigureAgentTeam(*rec);
    } else if (kind == AgentTeamRecord::Member) {
        (void)AgentTeam::ConfigureAgentTeamMember(*rec);
    } else {
        (void)AgentTeam::ConfigureAgentTeamSupervisor(*rec);
    }
    return in.Cursor();
}

// The first entry with that SkillTargetID, or -1.
int IndexOf(const std::vector<int32_t>& ids, int32_t id) {
    for (size_t i = 0; i < ids.size(); ++i)
        if (ids[i] == id) return static_cast<int>(i);
    return -1;
}

}  // namespace

const uint8_t* AgentConfig::ProcessAgentTeamRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                   uint32_t update) {
    return ParseTeamRecord(AgentTeamRecord::Team, op, record, end, update);
}
const uint8_t* AgentConfig::ProcessAgentTeamMemberRecord(uint32_t op, const uint8_t* record,
                                                         const uint8_t* end, uint32_t update) {
    return ParseTeamRecord(AgentTeamRecord::Member, op, record, end, update);
}
const uint8_t* AgentConfig::ProcessAgentTeamSupervisorRecord(uint32_t op, const uint8_t* record,
                                                             const uint8_t* end, uint32_t update) {
    return ParseTeamRecord(AgentTeamRecord::Supervisor, op, record, end, update);
}

AgentTeam::AgentTeam(int32_t peripheralID, int32_t teamID, std::string name)
    : m_PeripheralID(peripheralID), m_TeamID(teamID), m_TeamName(std::move(name)) {
    m_MonitorList.SetLinkOffset(CTICSTAMonitor::SubjectLinkOffset());
}

// A team removed by OPC ends its monitors first (ConfigureAgentTeam); the teams left at exit
// are freed without the ports, which may be gone by then.
AgentTeam::~AgentTeam() = default;

void AgentTeam::InitHashTable() { g_Teams.InitMap(kHashBuckets); }
int AgentTeam::Count() { return static_cast<int>(g_Teams.Size()); }

AgentTeam* AgentTeam::FindAgentTeam(int32_t teamID) {
    model::ServerLockGuard guard(model::ServerLock());
    return g_Teams.Find(TeamKey(teamID));
}

AgentTeam* AgentTeam::FindTeamByPrimarySupervisor(int32_t skillTargetID) {
    model::ServerLockGuard guard(model::ServerLock());
    AgentTeam* found = nullptr;
    g_Teams.ForEach([&](const AgentTeam& t) {
        if (found == nullptr && t.m_PrimarySupervisorID == skillTargetID) found = const_cast<AgentTeam*>(&t);
    });
    return found;
}

void AgentTeam::ForEachTeam(const std::function<void(const AgentTeam&)>& visit) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Teams.ForEach(visit);
}

std::vector<int32_t> AgentTeam::GetSupervisorTeams(int32_t skillTargetID) {
    model::ServerLockGuard guard(model::ServerLock());
    std::vector<int32_t> out;
    g_Teams.ForEach([&](const AgentTeam& t) {
        if (IndexOf(t.m_SupervisorIDs, skillTargetID) >= 0) out.push_back(t.m_TeamID);
    });
    return out;
}

void AgentTeam::AddPending(std::unique_ptr<AgentTeamRecord> record) { g_Pending.push_back(std::move(record)); }

void AgentTeam::ApplyPending() {
    model::ServerLockGuard guard(model::ServerLock());
    for (auto& rec : g_Pending) {
        if (rec->kind == AgentTeamRecord::Team)
            (void)ConfigureAgentTeam(*rec);
        else if (rec->kind == AgentTeamRecord::Member)
            (void)ConfigureAgentTeamMember(*rec);
        else
            (void)ConfigureAgentTeamSupervisor(*rec);
    }
    g_Pending.clear();
}

void AgentTeam::CleanupMonitorList() {
    model::ServerLockGuard guard(model::ServerLock());
    auto* m = static_cast<CTICSTAMonitor*>(m_MonitorList.First());
    while (m != nullptr) {
        auto* next = static_cast<CTICSTAMonitor*>(m_MonitorList.Next(m));
        m_MonitorList.Remove(m);
        model::ClientInfo info;
        if (m->m_SessionID != -1 && model::Clients().Find(m->m_SessionID, info))
            (void)model::Sessions().SendFailureEventMSG(m->m_SessionID, E_CTI_MONITOR_TERMINATED, false);
        else
            EMSTraceMessage("AgentTeam::CleanupMonitorList - !Warning! ClientCB is invalid for the monitor object");
        CTICSTAMonitor::Free(m);
        m = next;
    }
}

bool AgentTeam::ConfigureAgentTeam(const AgentTeamRecord& r) {
    AgentTeam* team = FindAgentTeam(r.TeamID);
    if (r.Operation == 2) {
        // The team's monitors end before it goes: none keeps a pointer to it.
        if (team != nullptr) {
            team->CleanupMonitorList();
            (void)g_Teams.Take(TeamKey(r.TeamID));
        }
        return true;
    }
    if (r.Operation != 1 && r.Operation != 3) {
        EMSTraceMessage("AgentTeam::ConfigureAgentTeam - Invalid config operation %d specified; record ignored",
                        static_cast<int>(r.Operation));
        return false;
    }
    if (team == nullptr) team = g_Teams.Insert(TeamKey(r.TeamID), std::make_unique<AgentTeam>(r.PeripheralID, r.TeamID, r.name));
    team->m_PrimarySupervisorID = r.PrimarySupervisorID;
    team->m_DialedNumberID = r.DialedNumberID;
    team->m_DepartmentID = r.DepartmentID;
    if (r.name != team->m_TeamName) {
        team->m_TeamName = r.name;
        if (team->m_NumMembers > 0 || team->m_NumSupervisors > 0)
            team->AnnounceTeam(static_cast<uint16_t>(r.Operation));
    }
    return true;
}

bool AgentTeam::ConfigureAgentTeamMember(const AgentTeamRecord& r) {
    if (r.Operation != 1 && r.Operation != 2) {
        EMSTraceMessage("AgentTeam::ConfigureAgentTeamMember - Invalid config operation %d specified; record "
                        "ignored", static_cast<int>(r.Operation));
        return false;
    }
    AgentTeam* team = FindAgentTeam(r.TeamID);
    if (team == nullptr) {
        EMSTraceMessage("AgentTeam::ConfigureAgentTeamMember - no team %d for member %d; record ignored", r.TeamID,
                        r.SkillTargetID);
        return false;
    }
    Agent* agent = Agent::FindAgentBySkillTargetID(team->m_PeripheralID, r.SkillTargetID);
    if (r.Operation == 2) {
        const int i = IndexOf(team->m_MemberIDs, r.SkillTargetID);
        if (i < 0) return true;
        if (r.pending) team->AnnounceOne(2, r.TeamID, r.SkillTargetID, r.name, 0);
        team->m_MemberIDs.erase(team->m_MemberIDs.begin() + i);
        team->m_MemberNames.erase(team->m_MemberNames.begin() + i);
        --team->m_NumMembers;
        if (agent != nullptr && agent->GetAgentTeamID() == r.TeamID) agent->SetAgentTeamID(-1);
        return true;
    }
    if (agent != nullptr && agent->GetAgentTeamID() != -1 && agent->GetAgentTeamID() != r.TeamID) {
        if (AgentTeam* old = FindAgentTeam(agent->GetAgentTeamID()); old != nullptr && old->m_NumMembers > 0) {
            const int i = IndexOf(old->m_MemberIDs, r.SkillTargetID);
            if (i >= 0) {
                old->m_MemberIDs.erase(old->m_MemberIDs.begin() + i);
                old->m_MemberNames.erase(old->m_MemberNames.begin() + i);
                --old->m_NumMembers;
            }
        }
        agent->SetAgentTeamID(-1);
    }
    if (IndexOf(team->m_MemberIDs, r.SkillTargetID) >= 0) return true;
    team->m_MemberIDs.push_back(r.SkillTargetID);
    team->m_MemberNames.push_back(r.name);
    ++team->m_NumMembers;
    if (agent != nullptr) agent->SetAgentTeamID(r.TeamID);
    if (r.pending) team->AnnounceOne(1, r.TeamID, r.SkillTargetID, r.name, 0);
    return true;
}

bool AgentTeam::ConfigureAgentTeamSupervisor(const AgentTeamRecord& r) {
    AgentTeam* team = FindAgentTeam(r.TeamID);
    if (team == nullptr) return false;
    if (r.Operation == 2) {
        if (r.pending) team->AnnounceOne(2, r.TeamID, r.SkillTargetID, r.name, 4);
        const int i = IndexOf(team->m_SupervisorIDs, r.SkillTargetID);
        if (i >= 0) {
            team->m_SupervisorIDs.erase(team->m_SupervisorIDs.begin() + i);
            team->m_SupervisorNames.erase(team->m_SupervisorNames.begin() + i);
            --team->m_NumSupervisors;
        }
        return true;
    }
    if (r.Operation != 1) {
        EMSTraceMessage("AgentTeam::ConfigureAgentTeamSupervisor - Invalid config operation %d specified; "
                        "record ignored", static_cast<int>(r.Operation));
        return false;
    }
    if (IndexOf(team->m_SupervisorIDs, r.SkillTargetID) >= 0) return true;
    team->m_SupervisorIDs.push_back(r.SkillTargetID);
    team->m_SupervisorNames.push_back(r.name);
    ++team->m_NumSupervisors;
    if (r.pending) team->AnnounceOne(1, r.TeamID, r.SkillTargetID, r.name, 4);
    return true;
}

void AgentTeam::RenameMember(const std::string& from, const std::string& to) {
    for (std::string& name : m_MemberNames)
        if (name == from) name = to;
}

namespace {

void TeamFields(BaseMSG& msg, const AgentTeam& team, int32_t teamID, uint16_t operation, uint16_t count) {
    namespace E = model::E;
    msg.SetUINT(E::CTIPeripheralID, static_cast<uint32_t>(team.m_PeripheralID));
    msg.SetUINT(E::TeamID, static_cast<uint32_t>(teamID));
    msg.SetSTRING(E::AgentTeamName, team.m_TeamName);
    msg.SetUSHORT(E::ConfigOperation, operation);
    msg.SetINT(E::DepartmentID, team.m_DepartmentID);
    msg.SetUSHORT(E::NumberOfAgents, count);
}

void AgentFields(BaseMSG& msg, const AgentTeam& team, uint32_t i, int32_t skillTargetID, const std::string& name,
                 uint16_t flags) {
    namespace E = model::E;
    const Agent* agent = Agent::FindAgentBySkillTargetID(team.m_PeripheralID, skillTargetID);
    msg.SetSTRINGMax(E::AtcAgentID, name, i);
    msg.SetUSHORT(E::AgentFlags, flags, i);
    const int32_t state = agent != nullptr ? agent->GetOverallState() : int32_t{agentstate::UNKNOWN};
    msg.SetUSHORT(E::AtcAgentState, static_cast<uint16_t>(state), i);
    msg.SetUINT(E::AtcStateDuration, agent != nullptr ? static_cast<uint32_t>(agent->GetOverallDuration()) : 0, i);
}

void Send(BaseMSG& msg) {
    if (msg.ValidateToSend(24) != 0) {
        EMSTraceMessage("AgentTeam - AGENT_TEAM_CONFIG_EVENT invalid (error %d, element %d): not sent",
                        static_cast<int>(msg.GetStatus()), static_cast<int>(msg.GetFailingElement()));
        return;
    }
    (void)model::Sessions().WriteMSG(nullptr, -1, msg, model::DistributeAllEvents);
}

}  // namespace

void AgentTeam::AnnounceOne(uint16_t operation, int32_t teamID, int32_t skillTargetID, const std::string& name,
                            uint16_t flags) {
    BaseMSGPtr msg = catalog::CreateMessage(AGENT_TEAM_CONFIG_EVENT);
    TeamFields(*msg, *this, teamID, operation, 1);
    AgentFields(*msg, *this, 0, skillTargetID, name, flags);
    Send(*msg);
}

void AgentTeam::AnnounceTeam(uint16_t operation) {
    BaseMSGPtr msg = catalog::CreateMessage(AGENT_TEAM_CONFIG_EVENT);
    const size_t n = m_MemberIDs.size();
    size_t i = 0;
    do {
        msg->Clear();
        const size_t count = std::min<size_t>(kAgentsPerMessage, n - i);
        TeamFields(*msg, *this, m_TeamID, operation, static_cast<uint16_t>(count));
        for (size_t j = 0; j < count; ++j, ++i)
            AgentFields(*msg, *this, static_cast<uint32_t>(j), m_MemberIDs[i], m_MemberNames[i], 0);
        Send(*msg);
    } while (i < n);
}
