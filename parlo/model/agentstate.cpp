// Agent: state reports, performance counters, skill groups, media routing domains and the
// association of client sessions.
#include <cstring>

#include "ctimsg/eventmasks.h"
#include "ctimsg/servicemask.h"
#include "nuvlib/ems.h"
#include "parlo/common/serverstate.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentdesk.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

using model::Clients;
using model::PerfCounter;
using model::Server;
using model::ServerLock;
using model::ServerLockGuard;

namespace {
constexpr int32_t kVoiceMRD = 1;

uint32_t NowLow32() { return static_cast<uint32_t>(model::NowSeconds()); }
}  // namespace

// ---- state report ----

int Agent::UpdateAgentState(int32_t state, int32_t stateDuration, int32_t mrdID,
                            int32_t skillGroupState, int32_t skillGroupStateDuration,
                            int32_t skillGroupID, uint32_t skillGroupNumber, int32_t numLines,
                            int32_t curLine, const char* signature, const char* uniqueInstanceID,
                            bool associate) {
    ServerLockGuard guard(ServerLock());
    const int32_t old = m_OverallState;
    int changed = state != old ? 1 : 0;
    if (changed) {
        if (old == agentstate::LOGOUT || old == agentstate::UNKNOWN) {
            AgentDeskSettings desk;
            if (!agentconfig::GetAgentDeskSettings(m_SkillTargetID, desk)) desk = AgentDeskSettings{};
            m_DeskSettingsMask = desk.mask;
            m_WrapUpIncomingMode = desk.wrapUpIncomingMode;
            m_WrapUpOutgoingMode = desk.wrapUpOutgoingMode;
        }
        m_OverallState = state;
        SetAgentMRDState(mrdID, static_cast<uint16_t>(state));
        if (mrdID == kVoiceMRD) {
            if (state == agentstate::AVAILABLE) {
                // Releasing calls takes CallLock, which comes before the server lock.
                guard.Release();
                DropPrivateCalls(Server().PrivateCallCleanupDelay());
                guard.Acquire();
            } else if (state == agentstate::LOGOUT || state == agentstate::UNKNOWN) {
                SetExtension(nullptr);
                SetInstrument(nullptr);
                if (state == agentstate::LOGOUT) {
                    guard.Release();
                    DropPrivateCalls(-1);
                    guard.Acquire();
                }
                m_DeskSettingsMask = m_WrapUpIncomingMode = m_WrapUpOutgoingMode = -1;
            }
        }
        m_OverallStateTime = model::NowSeconds() - stateDuration;
        if (mrdID == kVoiceMRD && Server().IsServerActive()) CountState(state, old);
    }
    if (skillGroupState != agentstate::UNKNOWN) {
        changed |= UpdateSkillGroupState(skillGroupState, skillGroupStateDuration,
                                         skillGroupNumber, skillGroupID);
        m_CurLine = curLine;
    }
    m_NumLines = numLines;
    if (signature == nullptr) signature = "";
    if (m_Signature != signature) m_Signature = signature;
    if (uniqueInstanceID == nullptr) uniqueInstanceID = "";
    if (m_UniqueInstanceID != uniqueInstanceID) {
        m_UniqueInstanceID = uniqueInstanceID;
        if (IsLoggedOn() && associate && Server().ServerState() == serverstate::STANDBY) {
            const int32_t session = model::Sessions().FindSessionByUniqueInstanceID(uniqueInstanceID);
            if (session != -1) {
                model::ClientInfo info;
                if (mrdID == kVoiceMRD) {
                    if (session != m_AssociateSessionID && Clients().Find(session, info) &&
                        (info.serviceMask & (servicemask::ALL_EVENTS | servicemask::PERIPHERAL_MONITOR)) != 0)
                        AssociateVoice(session);
                } else
                    AssociateNonVoice(mrdID, session);
            }
        }
    }
    return changed;
}

// ---- performance counters ----

namespace {
PerfCounter StateCounter(int32_t state) {
    switch (state) {
        case agentstate::NOT_READY: return PerfCounter::PARLO_NOT_READY_AGENTS;
        case agentstate::AVAILABLE: return PerfCounter::PARLO_READY_AGENTS;
        case agentstate::WORK_NOT_READY: return PerfCounter::PARLO_WORKNOTREADY_AGENTS;
        default: return PerfCounter::PARLO_WORKREADY_AGENTS;
    }
}
}  // namespace

bool& Agent::CountedFlag(int32_t state) {
    switch (state) {
        case agentstate::NOT_READY: return m_CountedNotReady;
        case agentstate::AVAILABLE: return m_CountedReady;
        case agentstate::WORK_NOT_READY: return m_CountedWorkNotReady;
        default: return m_CountedWorkReady;
    }
}

bool Agent::IsCountedIn(int32_t state) const {
    switch (state) {
        case agentstate::NOT_READY: return m_CountedNotReady;
        case agentstate::AVAILABLE: return m_CountedReady;
        case agentstate::WORK_NOT_READY: return m_CountedWorkNotReady;
        case agentstate::WORK_READY: return m_CountedWorkReady;
        default: return false;
    }
}

void Agent::SetCounted(int32_t state) {
    bool& counted = CountedFlag(state);
    if (counted) return;
    counted = true;
    Server().Increment(StateCounter(state));
}

bool Agent::ClearCounted(int32_t state) {
    bool& counted = CountedFlag(state);
    if (!counted) return false;
    counted = false;
    Server().Decrement(StateCounter(state));
    return true;
}

void Agent::LeaveFirstCounted(int32_t except) {
    for (int32_t state : {agentstate::AVAILABLE, agentstate::NOT_READY, agentstate::WORK_READY, agentstate::WORK_NOT_READY})
        if (state != except && ClearCounted(state)) return;
}

void Agent::CountLogin() {
    ServerLockGuard guard(ServerLock());
    if (m_CountedLoggedIn) return;
    m_CountedLoggedIn = true;
    Server().Increment(PerfCounter::PARLO_LOGGEDIN_AGENTS);
}

void Agent::CountLogout() {
    ServerLockGuard guard(ServerLock());
    if (!m_CountedLoggedIn) return;
    m_CountedLoggedIn = false;
    Server().Decrement(PerfCounter::PARLO_LOGGEDIN_AGENTS);
    Server().Increment(PerfCounter::PARLO_LOGGEDOUT_AGENTS);
    LeaveFirstCounted(0);
}

void Agent::CountAgentState(int32_t state) {
    ServerLockGuard guard(ServerLock());
    // A counted state enters its counter; any other state leaves work not ready.
    const bool counted = state == agentstate::NOT_READY || state == agentstate::AVAILABLE ||
                         state == agentstate::WORK_NOT_READY || state == agentstate::WORK_READY;
    if (counted)
        SetCounted(state);
    else
        (void)ClearCounted(agentstate::WORK_NOT_READY);
    LeaveFirstCounted(counted ? state : int32_t{agentstate::WORK_NOT_READY});
}

// The counters follow the first state after a login; LOGGEDOUT is never lowered.
void Agent::CountState(int32_t state, int32_t old) {
    const bool out = state == agentstate::LOGOUT || state == agentstate::UNKNOWN;
    if (out) CountLogout();
    if (state == agentstate::TALKING)
        Server().Increment(PerfCounter::PARLO_TALKING_AGENTS);
    else if (old == agentstate::TALKING)
        Server().Decrement(PerfCounter::PARLO_TALKING_AGENTS);
    if (!out && !m_CountedLoggedIn) {
        CountLogin();
        if (state == agentstate::NOT_READY || state == agentstate::AVAILABLE || state == agentstate::WORK_NOT_READY ||
            state == agentstate::WORK_READY)
            SetCounted(state);
    }
}

// ---- skill groups ----

int Agent::FindSkillGroupIndex(uint32_t number) const {
    const bool whole = m_PeripheralType == 30 || m_PeripheralType == 52;
    const size_t n = m_SkillGroupNumbers.size();
    for (size_t i = 0; i < n; ++i) {
        const uint32_t stored = m_SkillGroupNumbers[i];
        if (whole ? stored == number : (stored & 0xFFFFFF) == (number & 0xFFFFFF))
            return static_cast<int>(i);
    }
    return static_cast<int>(n);
}

void Agent::InitSkillGroups() {
    ServerLockGuard guard(ServerLock());
    m_SkillGroupStates.clear();
    m_SkillGroupStateTimes.clear();
    m_SkillGroupNumbers.clear();
    m_SkillGroupIDs.clear();
    m_CurGroup = -1;
}

int Agent::UpdateSkillGroupState(int32_t state, int32_t duration, uint32_t number, int32_t id) {
    ServerLockGuard guard(ServerLock());
    if (state == agentstate::LOGOUT && number == 0xFFFFFFFFu) {
        if (m_SkillGroupNumbers.empty()) return 0;
        InitSkillGroups();
        return 1;
    }
    const int index = FindSkillGroupIndex(number);
    const auto i = static_cast<size_t>(index);
    const uint32_t stamp = NowLow32() - static_cast<uint32_t>(duration);
    if (i == m_SkillGroupNumbers.size()) {
        if (index >= kMaxSkillGroups) {
            EMSTraceMessage("Agent::UpdateSkillGroupState - AgentID %s: more than %d skill groups, "
                            "skill group 0x%x not kept", m_AgentID.c_str(), kMaxSkillGroups, number);
            return 0;
        }
        m_SkillGroupStates.push_back(state);
        m_SkillGroupStateTimes.push_back(stamp);
        m_SkillGroupNumbers.push_back(number);
        m_SkillGroupIDs.push_back(id);
        m_CurGroup = index;
        return 1;
    }
    int changed = 0;
    const uint32_t stored = m_SkillGroupNumbers[i];
    // A stored priority gives way only to another nonzero one, and a logout keeps the word.
    if (stored != number && ((stored >> 24) == 0 || (number >> 24) != 0) &&
        (m_SkillGroupStates[i] == agentstate::LOGOUT || state != agentstate::LOGOUT)) {
        m_SkillGroupNumbers[i] = number;
        m_SkillGroupIDs[i] = id;
        changed = 1;
        m_CurGroup = index;
    }
    if (m_SkillGroupNumbers[i] == number) {
        if (m_SkillGroupStates[i] != state) {
            m_SkillGroupStates[i] = state;
            m_SkillGroupStateTimes[i] = stamp;
            changed = 1;
            m_CurGroup = index;
        }
        if (m_SkillGroupIDs[i] != id) {
            m_SkillGroupIDs[i] = id;
            m_CurGroup = index;
            return 1;
        }
    }
    return changed;
}

int32_t Agent::GetCurrentSkillGroupID() const {
    return m_CurGroup == -1 ? -1 : m_SkillGroupIDs[static_cast<size_t>(m_CurGroup)];
}

uint32_t Agent::GetCurrentSkillGroupNumber() const {
    return m_CurGroup == -1 ? 0xFFFFFFFFu : m_SkillGroupNumbers[static_cast<size_t>(m_CurGroup)];
}

int32_t Agent::GetCurrentSkillGroupState() const {
    return m_CurGroup == -1 ? int32_t{agentstate::UNKNOWN} : m_SkillGroupStates[static_cast<size_t>(m_CurGroup)];
}

int32_t Agent::GetSkillGroupDuration(int index) const {
    if (index < 0 || index >= NumSkillGroups()) return 0;
    return static_cast<int32_t>(NowLow32() - m_SkillGroupStateTimes[static_cast<size_t>(index)]);
}

// ---- media routing domains ----

void Agent::SetAgentMRDState(int32_t mrdID, uint16_t state) {
    ServerLockGuard guard(ServerLock());
    for (auto& entry : m_MRDStates)
        if (entry.first == mrdID) {
            entry.second = state;
            return;
        }
    if (static_cast<int>(m_MRDStates.size()) >= kMaxMRDs) {
        EMSTraceMessage("Agent::SetAgentMRDState - AgentID %s: more than %d media routing domains, "
                        "MRDomainID %d not kept", m_AgentID.c_str(), kMaxMRDs, mrdID);
        return;
    }
    m_MRDStates.emplace_back(mrdID, state);
}

uint16_t Agent::GetAgentMRDState(int32_t mrdID) const {
    for (const auto& entry : m_MRDStates)
        if (entry.first == mrdID) return entry.second;
    return agentstate::UNKNOWN;
}

void Agent::SetAgentMRDs(const std::vector<std::pair<int32_t, uint16_t>>* list) {
    if (list == nullptr) return;
    ServerLockGuard guard(ServerLock());
    std::vector<std::pair<int32_t, uint16_t>> states;
    states.reserve(list->size());
    for (const auto& [mrd, configured] : *list) {
        const uint16_t live = GetAgentMRDState(mrd);
        const uint16_t state = live != agentstate::UNKNOWN ? live : configured;
        bool found = false;
        for (auto& entry : states)
            if (entry.first == mrd) {
                entry.second = state;
                found = true;
            }
        if (!found && static_cast<int>(states.size()) < kMaxMRDs) states.emplace_back(mrd, state);
    }
    m_MRDStates = std::move(states);
}

void Agent::AddAssociateNonVoiceClient(int32_t mrdID, int32_t sessionID) {
    if (mrdID == kVoiceMRD) return;
    ServerLockGuard guard(ServerLock());
    if (static_cast<int>(m_NonVoiceSessions.size()) >= kMaxMRDs && !m_NonVoiceSessions.contains(mrdID))
        return;
    m_NonVoiceSessions[mrdID] = sessionID;
}

void Agent::RemoveAssociateNonVoiceClient(int32_t mrdID) {
    if (mrdID == kVoiceMRD) return;
    ServerLockGuard guard(ServerLock());
    m_NonVoiceSessions.erase(mrdID);
}

int32_t Agent::GetAssociateNonVoiceSessionID(int32_t mrdID) const {
    if (mrdID == kVoiceMRD) return -1;
    auto it = m_NonVoiceSessions.find(mrdID);
    return it == m_NonVoiceSessions.end() ? -1 : it->second;
}

// ---- association ----

void Agent::AssociateVoice(int32_t sessionID) {
    model::ClientInfo prior;
    if (m_AssociateSessionID != -1 && Clients().Find(m_AssociateSessionID, prior))
        Clients().RemoveFromAssociateAgentList(m_AssociateSessionID, m_AgentID.c_str(),
                                               m_PeripheralID, kVoiceMRD);
    m_AssociateSessionID = sessionID;
    Clients().AddToAssociateAgentList(sessionID, m_AgentID.c_str(), m_PeripheralID, kVoiceMRD, 1);
}

void Agent::AssociateNonVoice(int32_t mrdID, int32_t sessionID) {
    model::ClientInfo prior, fresh;
    const int32_t priorID = GetAssociateNonVoiceSessionID(mrdID);
    const bool hasPrior = priorID != -1 && Clients().Find(priorID, prior);
    const bool hasNew = Clients().Find(sessionID, fresh);
    if (hasPrior && !hasNew) return;
    if (hasPrior && hasNew && priorID != sessionID) {
        Clients().RemoveFromAssociateAgentList(priorID, m_AgentID.c_str(), m_PeripheralID, mrdID);
        RemoveAssociateNonVoiceClient(mrdID);
    }
    if (!hasNew) return;
    AddAssociateNonVoiceClient(mrdID, sessionID);
    Clients().AddToAssociateAgentList(sessionID, m_AgentID.c_str(), m_PeripheralID, mrdID, 1);
}

void Agent::AssociateClient(int32_t sessionID, const char* uniqueInstanceID) {
    if (uniqueInstanceID == nullptr || uniqueInstanceID[0] == '\0') return;
    model::ClientInfo info;
    if (!Clients().Find(sessionID, info) || (info.serviceMask & (servicemask::ALL_EVENTS | servicemask::PERIPHERAL_MONITOR)) == 0)
        return;
    ServerLockGuard guard(ServerLock());
    for (int b = 0; b < kHashBuckets; ++b)
        for (Agent* a = FirstInBucket(b); a != nullptr; a = a->NextInBucket()) {
            if (a->m_UniqueInstanceID != uniqueInstanceID) continue;
            // A copy: the association steps do not change the states, but stay safe.
            const auto states = a->m_MRDStates;
            for (const auto& [mrd, state] : states) {
                if (state == agentstate::UNKNOWN || state == agentstate::LOGOUT) continue;
                if (mrd == kVoiceMRD)
                    a->AssociateVoice(sessionID);
                else
                    a->AssociateNonVoice(mrd, sessionID);
            }
        }
}
