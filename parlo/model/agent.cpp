// Agent: creation, destruction, the four tables and their look-ups, the monitor list and the
// console texts. State, skill groups and domains are in agentstate.cpp, private calls and
// lines in privatecalls.cpp.
#include "parlo/model/agent.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "ctimsg/names.h"
#include "ctimsg/statuscodes.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "opcmsg/opcnames.h"
#include "parlo/model/agentdesk.h"
#include "parlo/model/csta.h"
#include "parlo/model/exactindex.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

using model::Clients;
using model::ServerLock;
using model::ServerLockGuard;
using model::Sessions;

namespace {

bool IsNoneText(const char* text) {
    return text == nullptr || text[0] == '\0' || strcmp(text, "-1") == 0;
}

}  // namespace

namespace model {

// The four tables of agents with their exact indexes.
struct AgentTables {
    StdQueue byAgentID[Agent::kHashBuckets];
    StdQueue byExtension[Agent::kHashBuckets];
    StdQueue byInstrument[Agent::kHashBuckets];
    StdQueue bySkillTargetID[Agent::kHashBuckets];
    // Exact keys beside the buckets: a key's list keeps the bucket's relative order, so a
    // look-up meets the agents a bucket walk would meet, in the same order.
    ExactIndex exactAgentID{MemberOffset(&Agent::m_AgentIDIndexLinks)};
    ExactIndex exactExtension{MemberOffset(&Agent::m_ExtensionIndexLinks)};
    ExactIndex exactInstrument{MemberOffset(&Agent::m_InstrumentIndexLinks)};
    ExactIndex exactSkillTargetID{MemberOffset(&Agent::m_SkillTargetIDIndexLinks)};
    int count = 0;

    AgentTables() {
        for (int i = 0; i < Agent::kHashBuckets; ++i) {
            byAgentID[i].SetLinkOffset(MemberOffset(&Agent::m_AgentIDLinks));
            byExtension[i].SetLinkOffset(MemberOffset(&Agent::m_ExtensionLinks));
            byInstrument[i].SetLinkOffset(MemberOffset(&Agent::m_InstrumentLinks));
            bySkillTargetID[i].SetLinkOffset(MemberOffset(&Agent::m_SkillTargetIDLinks));
        }
    }
};

}  // namespace model

using model::AgentTables;

namespace {

AgentTables& Tables() {
    static AgentTables tables;
    return tables;
}

Agent* AsAgent(void* p) { return static_cast<Agent*>(p); }

uint64_t SkillTargetKey(int32_t skillTargetID) { return static_cast<uint32_t>(skillTargetID); }

bool PeripheralMatches(int32_t wanted, int32_t peripheralID) {
    return wanted == -1 || wanted == peripheralID;
}

// One dump line, cut like the 269-byte buffer it was formatted into.
void DumpLine(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void DumpLine(std::string& out, const char* format, ...) {
    char line[269];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out += line;
}

}  // namespace

// ---- creation and destruction ----

Agent::Agent(int32_t peripheralID, int32_t peripheralType, int32_t skillTargetID,
             int32_t agentTeamID, const char* agentID, const char* extension,
             const char* instrument, bool supervisor)
    : m_PeripheralID(peripheralID),
      m_PeripheralType(peripheralType),
      m_SkillTargetID(skillTargetID),
      m_AgentID(agentID != nullptr ? agentID : ""),
      m_Supervisor(supervisor),
      m_AgentTeamID(agentTeamID) {
    m_PrivateCallList.SetLinkOffset(Call::PrivateCallLinkOffset());
    m_MonitorList.SetLinkOffset(CTICSTAMonitor::SubjectLinkOffset());
    if (!IsNoneText(extension)) {
        m_Extension = extension;
        m_HasExtension = true;
    }
    m_Instrument.reset(new (std::nothrow) Instrument(instrument, 1));
    if (m_Instrument == nullptr) NUV_ALLOC_FAILED(sizeof(Instrument));
    m_HasInstrument = !IsNoneText(instrument);
    m_OverallStateTime = model::NowSeconds();
    ServerLockGuard guard(ServerLock());
    AddToHash();
}

Agent::~Agent() {
    {
        ServerLockGuard guard(ServerLock());
        RemoveFromHash();
    }
    // Releasing a call takes CallLock, which comes before the server lock.
    while (Call* call = FirstPrivateCall()) RemovePrivateCall(call, true);

    ServerLockGuard guard(ServerLock());
    CleanupMonitorList();
    NUV_ASSERT(m_PrivateCallList.Count() == 0);
    NUV_ASSERT(m_MonitorList.Count() == 0);
    (void)SetDevice(nullptr);
    m_Instrument.reset();
    model::ClientInfo info;
    if (m_ClientSessionID != -1) {
        if (Clients().Find(m_ClientSessionID, info)) Clients().ClearClientAgent(m_ClientSessionID);
        m_ClientSessionID = -1;
    }
    if (m_AssociateSessionID != -1) {
        if (Clients().Find(m_AssociateSessionID, info))
            Clients().RemoveFromAssociateAgentList(m_AssociateSessionID, m_AgentID.c_str(),
                                                   m_PeripheralID, -1);
        m_AssociateSessionID = -1;
    }
    for (const auto& [mrd, session] : m_NonVoiceSessions)
        if (Clients().Find(session, info))
            Clients().RemoveFromAssociateAgentList(session, m_AgentID.c_str(), m_PeripheralID, mrd);
}

void Agent::RemoveAgent(int32_t peripheralID, const char* agentID) {
    AgentTables& t = Tables();
    if (!IsNoneText(agentID)) {
        Agent* victim = nullptr;
        {
            ServerLockGuard guard(ServerLock());
            for (Agent* a = AsAgent(t.exactAgentID.First(ExactIndex::TextKey(agentID)));
                 a != nullptr; a = AsAgent(t.exactAgentID.Next(a)))
                if (a->m_AgentID == agentID && a->m_PeripheralID == peripheralID) {
                    victim = a;
                    break;
                }
        }
        delete victim;
        return;
    }
    // Only the application thread changes the tables, so a successor taken under the lock
    // stays valid while the lock is let go for the destruction (which takes CallLock).
    for (int b = 0; b < kHashBuckets; ++b) {
        ServerLockGuard guard(ServerLock());
        Agent* a = AsAgent(t.byAgentID[b].First());
        while (a != nullptr) {
            Agent* next = AsAgent(t.byAgentID[b].Next(a));
            if (peripheralID == -1 || a->m_PeripheralID == peripheralID) {
                guard.Release();
                delete a;
                guard.Acquire();
            }
            a = next;
        }
    }
}

// ---- tables ----

void Agent::InitHashTables() { (void)Tables(); }

int Agent::HashString(const char* text) {
    int32_t sum = 0;
    if (text != nullptr)
        for (const char* p = text; *p != '\0'; ++p)
            sum = static_cast<int32_t>(static_cast<uint32_t>(sum) +
                                       static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p))));
    const int32_t r = sum % kHashBuckets;
    return r < 0 ? -r : r;
}

void Agent::AddToHash() {
    AgentTables& t = Tables();
    m_AgentIDHashIndex = HashString(m_AgentID.c_str());
    t.byAgentID[m_AgentIDHashIndex].Append(this);
    t.exactAgentID.Append(ExactIndex::TextKey(m_AgentID), this);
    if (!m_Extension.empty() && m_Extension != "-1") {
        m_ExtensionHashIndex = HashString(m_Extension.c_str());
        t.byExtension[m_ExtensionHashIndex].Append(this);
        m_ExtensionIndexKey = ExactIndex::TextKey(m_Extension);
        t.exactExtension.Append(m_ExtensionIndexKey, this);
    } else {
        m_ExtensionHashIndex = -1;
    }
    const std::string& instrument = m_Instrument->InstrumentNumber();
    m_InstrumentHashIndex = HashString(instrument.c_str());
    t.byInstrument[m_InstrumentHashIndex].Append(this);
    m_InstrumentIndexKey = ExactIndex::TextKey(instrument);
    t.exactInstrument.Append(m_InstrumentIndexKey, this);
    m_SkillTargetIDHashIndex = static_cast<int32_t>(static_cast<uint32_t>(m_SkillTargetID) & 511u);
    t.bySkillTargetID[m_SkillTargetIDHashIndex].Append(this);
    t.exactSkillTargetID.Append(SkillTargetKey(m_SkillTargetID), this);
    ++t.count;
}

// Always by the stored buckets and keys, never by the current texts.
void Agent::RemoveFromHash() {
    AgentTables& t = Tables();
    bool wasIn = false;
    if (m_AgentIDHashIndex != -1) {
        t.byAgentID[m_AgentIDHashIndex].Remove(this);
        t.exactAgentID.Remove(ExactIndex::TextKey(m_AgentID), this);
        m_AgentIDHashIndex = -1;
        wasIn = true;
    }
    if (m_ExtensionHashIndex != -1) {
        t.byExtension[m_ExtensionHashIndex].Remove(this);
        t.exactExtension.Remove(m_ExtensionIndexKey, this);
        m_ExtensionHashIndex = -1;
    }
    if (m_InstrumentHashIndex != -1) {
        t.byInstrument[m_InstrumentHashIndex].Remove(this);
        t.exactInstrument.Remove(m_InstrumentIndexKey, this);
        m_InstrumentHashIndex = -1;
    }
    if (m_SkillTargetIDHashIndex != -1) {
        t.bySkillTargetID[m_SkillTargetIDHashIndex].Remove(this);
        t.exactSkillTargetID.Remove(SkillTargetKey(m_SkillTargetID), this);
        m_SkillTargetIDHashIndex = -1;
    }
    if (wasIn) --t.count;
}

void Agent::SetSkillTargetID(int32_t skillTargetID) {
    ServerLockGuard guard(ServerLock());
    if (skillTargetID == m_SkillTargetID) return;
    AgentTables& t = Tables();
    if (m_SkillTargetIDHashIndex == -1) {
        m_SkillTargetID = skillTargetID;
        return;
    }
    t.bySkillTargetID[m_SkillTargetIDHashIndex].Remove(this);
    t.exactSkillTargetID.Remove(SkillTargetKey(m_SkillTargetID), this);
    m_SkillTargetID = skillTargetID;
    m_SkillTargetIDHashIndex = static_cast<int32_t>(static_cast<uint32_t>(m_SkillTargetID) & 511u);
    t.bySkillTargetID[m_SkillTargetIDHashIndex].Append(this);
    t.exactSkillTargetID.Append(SkillTargetKey(m_SkillTargetID), this);
}

Agent* Agent::FindAgentBySkillTargetID(int32_t peripheralID, int32_t skillTargetID) {
    ServerLockGuard guard(ServerLock());
    ExactIndex& index = Tables().exactSkillTargetID;
    for (Agent* a = AsAgent(index.First(SkillTargetKey(skillTargetID))); a != nullptr;
         a = AsAgent(index.Next(a)))
        if (a->m_SkillTargetID == skillTargetID && PeripheralMatches(peripheralID, a->m_PeripheralID))
            return a;
    return nullptr;
}

// The Definity flag asks for a second pass over the same bucket with the same exact
// comparison, which cannot find more: one pass answers for both.
Agent* Agent::FindAgentByAgentID(int32_t peripheralID, const char* agentID, bool) {
    if (agentID == nullptr) return nullptr;
    ServerLockGuard guard(ServerLock());
    ExactIndex& index = Tables().exactAgentID;
    for (Agent* a = AsAgent(index.First(ExactIndex::TextKey(agentID))); a != nullptr;
         a = AsAgent(index.Next(a)))
        if (a->m_AgentID == agentID && PeripheralMatches(peripheralID, a->m_PeripheralID))
            return a;
    return nullptr;
}

Agent* Agent::FindAgentByExtension(int32_t peripheralID, const char* extension) {
    if (extension == nullptr) return nullptr;
    ServerLockGuard guard(ServerLock());
    ExactIndex& index = Tables().exactExtension;
    for (Agent* a = AsAgent(index.First(ExactIndex::TextKey(extension))); a != nullptr;
         a = AsAgent(index.Next(a)))
        if (a->m_HasExtension && a->m_Extension == extension &&
            PeripheralMatches(peripheralID, a->m_PeripheralID))
            return a;
    return nullptr;
}

Agent* Agent::FindAgentByInstrument(int32_t peripheralID, const char* instrument) {
    if (instrument == nullptr) return nullptr;
    ServerLockGuard guard(ServerLock());
    ExactIndex& index = Tables().exactInstrument;
    for (Agent* a = AsAgent(index.First(ExactIndex::TextKey(instrument))); a != nullptr;
         a = AsAgent(index.Next(a)))
        if (a->m_HasInstrument && a->m_Instrument->InstrumentNumber() == instrument &&
            PeripheralMatches(peripheralID, a->m_PeripheralID))
            return a;
    return nullptr;
}

Agent* Agent::FirstInBucket(int bucket) {
    if (bucket < 0 || bucket >= kHashBuckets) return nullptr;
    return AsAgent(Tables().byAgentID[bucket].First());
}
Agent* Agent::NextInBucket() const {
    return AsAgent(Tables().byAgentID[m_AgentIDHashIndex].Next(const_cast<Agent*>(this)));
}
Agent* Agent::FirstInExtensionBucket(int bucket) {
    if (bucket < 0 || bucket >= kHashBuckets) return nullptr;
    return AsAgent(Tables().byExtension[bucket].First());
}
Agent* Agent::NextInExtensionBucket() const {
    return AsAgent(Tables().byExtension[m_ExtensionHashIndex].Next(const_cast<Agent*>(this)));
}
Agent* Agent::FirstInInstrumentBucket(int bucket) {
    if (bucket < 0 || bucket >= kHashBuckets) return nullptr;
    return AsAgent(Tables().byInstrument[bucket].First());
}
Agent* Agent::NextInInstrumentBucket() const {
    return AsAgent(Tables().byInstrument[m_InstrumentHashIndex].Next(const_cast<Agent*>(this)));
}
Agent* Agent::FirstInSkillTargetIDBucket(int bucket) {
    if (bucket < 0 || bucket >= kHashBuckets) return nullptr;
    return AsAgent(Tables().bySkillTargetID[bucket].First());
}
Agent* Agent::NextInSkillTargetIDBucket() const {
    return AsAgent(
        Tables().bySkillTargetID[m_SkillTargetIDHashIndex].Next(const_cast<Agent*>(this)));
}

int Agent::Count() {
    ServerLockGuard guard(ServerLock());
    return Tables().count;
}

// ---- identity ----

void Agent::SetExtension(const char* extension) {
    ServerLockGuard guard(ServerLock());
    if (IsNoneText(extension)) {
        m_HasExtension = false;
        return;
    }
    RemoveFromHash();
    m_Extension = extension;
    m_HasExtension = true;
    AddToHash();
}

void Agent::SetInstrument(const char* instrument) {
    ServerLockGuard guard(ServerLock());
    if (IsNoneText(instrument)) {
        m_HasInstrument = false;
        return;
    }
    RemoveFromHash();
    m_Instrument.reset(new (std::nothrow) Instrument(instrument, 1));
    if (m_Instrument == nullptr) NUV_ALLOC_FAILED(sizeof(Instrument));
    m_HasInstrument = true;
    AddToHash();
}

std::string Agent::GetInstrumentNumber() const { return m_Instrument->GetInstrumentNumber(); }

Agent::DeviceChange Agent::SetDevice(CTICSTADevice* device) {
    ServerLockGuard guard(ServerLock());
    DeviceChange change;
    if (m_Device != device) {
        change.agentMoved = true;
        change.previousDevice = m_Device;
        if (m_Device != nullptr && m_Device->m_Agent == this) m_Device->m_Agent = nullptr;
        m_Device = device;
    }
    if (device != nullptr && device->m_Agent != this) {
        change.deviceMoved = true;
        change.previousAgent = static_cast<Agent*>(device->m_Agent);
        if (change.previousAgent != nullptr && change.previousAgent->m_Device == device)
            change.previousAgent->m_Device = nullptr;
        device->m_Agent = this;
    }
    return change;
}

void Agent::SetClientCB(const model::ClientInfo* client) {
    ServerLockGuard guard(ServerLock());
    m_ClientSessionID = client != nullptr ? client->sessionID : -1;
}

void Agent::SetAssociateClientCB(const model::ClientInfo* client) {
    ServerLockGuard guard(ServerLock());
    m_AssociateSessionID = client != nullptr ? client->sessionID : -1;
}

bool Agent::GetClientCB(model::ClientInfo& out) const {
    return m_ClientSessionID != -1 && Clients().Find(m_ClientSessionID, out);
}

bool Agent::GetAssociateClientCB(model::ClientInfo& out) const {
    return m_AssociateSessionID != -1 && Clients().Find(m_AssociateSessionID, out);
}

int32_t Agent::GetOverallDuration() const {
    return static_cast<int32_t>(model::NowSeconds() - m_OverallStateTime);
}

namespace {
// A member written under the server lock.
template <class T>
void SetLocked(T& member, T value) {
    ServerLockGuard guard(ServerLock());
    member = value;
}
}  // namespace

void Agent::SetDepartmentID(int32_t departmentID) { SetLocked(m_DepartmentID, departmentID); }
void Agent::SetAgentTeamID(int32_t agentTeamID) { SetLocked(m_AgentTeamID, agentTeamID); }
void Agent::SetSupervisor(bool supervisor) { SetLocked(m_Supervisor, supervisor); }
void Agent::SetDirection(int32_t direction) { SetLocked(m_Direction, direction); }
void Agent::SetReasonCode(uint16_t code) { SetLocked(m_ReasonCode, code); }
void Agent::SetClientStatusRequested(bool requested) { SetLocked(m_ClientStatusRequested, requested); }

void Agent::SetLastAllEvents(int32_t state, uint32_t availability) {
    ServerLockGuard guard(ServerLock());
    m_LastAllEventsState = state;
    m_LastAllEventsAvailability = availability;
}

int Agent::UpdateAvailabilityStatus(uint32_t status) {
    if (status == m_AvailabilityStatus) return 0;
    ServerLockGuard guard(ServerLock());
    m_AvailabilityStatus = status;
    return 1;
}

// ---- monitors ----

void Agent::AddMonitor(CTICSTAMonitor* monitorP) {
    NUV_ASSERT(!m_MonitorList.LinkOf(monitorP)->IsQueued());
    ServerLockGuard guard(ServerLock());
    m_MonitorList.Append(monitorP);
}

void Agent::RemoveMonitor(CTICSTAMonitor* monitorP) {
    NUV_ASSERT(m_MonitorList.LinkOf(monitorP)->IsQueued());
    ServerLockGuard guard(ServerLock());
    m_MonitorList.Remove(monitorP);
}

void Agent::CleanupMonitorList() {
    ServerLockGuard guard(ServerLock());
    auto* m = static_cast<CTICSTAMonitor*>(m_MonitorList.First());
    while (m != nullptr) {
        auto* next = static_cast<CTICSTAMonitor*>(m_MonitorList.Next(m));
        model::ClientInfo info;
        if (m->m_SessionID != -1 && Clients().Find(m->m_SessionID, info))
            (void)Sessions().SendFailureEventMSG(m->m_SessionID, E_CTI_MONITOR_TERMINATED, false);
        else
            EMSTraceMessage("Agent::CleanupMonitorList - !Warning! ClientCB is invalid for the "
                            "monitor object");
        CTICSTAMonitor::Free(m);
        m = next;
    }
}

void Agent::WriteMSG(BaseMSG& msg) {
    ServerLockGuard guard(ServerLock());
    for (auto* m = static_cast<CTICSTAMonitor*>(m_MonitorList.First()); m != nullptr;
         m = static_cast<CTICSTAMonitor*>(m_MonitorList.Next(m)))
        m->WriteMSG(&msg);
}

// ---- console texts ----

std::string Agent::GetDumpString() {
    ServerLockGuard guard(ServerLock());
    std::string out;
    out.reserve(1024);
    DumpLine(out, "AgentID=%s PeripheralID=%d PeripheralType=%d(%s) SkillTargetID=%d AgentTeamID=%d\n",
             m_AgentID.c_str(), m_PeripheralID, m_PeripheralType,
             PeripheralTypeName(static_cast<int32_t>(ConvertPeripheralType(m_PeripheralType))),
             m_SkillTargetID, m_AgentTeamID);
    std::string nameLine;
    std::vector<int32_t> serviceTypes;
    const bool configured = agentconfig::GetAgentDumpInfo(m_SkillTargetID, nameLine, serviceTypes);
    if (configured) out += nameLine;
    const std::string& instrument = m_Instrument->InstrumentNumber();
    DumpLine(out, "     ExtensionNumber=%c%s%c InstrumentNumber=%c%s%c Signature=%s Supervisor=%c\n",
             m_HasExtension ? ' ' : '(', m_Extension.c_str(), m_HasExtension ? ' ' : ')',
             m_HasInstrument ? ' ' : '(', instrument.c_str(), m_HasInstrument ? ' ' : ')',
             m_Signature.c_str(), m_Supervisor ? 'T' : 'F');
    DumpLine(out, "     OverallState=%s OverallDuration=%d CurLine=%d CurGroup=%d\n",
             AgentStateASName(m_OverallState), GetOverallDuration(), m_CurLine, m_CurGroup);
    for (int i = 0; i < NumSkillGroups(); ++i) {
        const uint32_t number = m_SkillGroupNumbers[static_cast<size_t>(i)];
        DumpLine(out, "     %cSkillGroup[%d]: State=%s Number=0x%x (No %d Pri %d) ID=%d Duration=%d\n",
                 i == m_CurGroup ? '*' : ' ', i,
                 AgentStateASName(m_SkillGroupStates[static_cast<size_t>(i)]), number,
                 static_cast<int>(number & 0xFFFFFF), static_cast<int>(number >> 24),
                 m_SkillGroupIDs[static_cast<size_t>(i)], GetSkillGroupDuration(i));
    }
    if (configured)
        for (size_t i = 0; i < serviceTypes.size(); ++i)
            DumpLine(out, "     ServiceType[%d]: %d\n", static_cast<int>(i), serviceTypes[i]);
    for (size_t i = 0; i < m_MRDStates.size(); ++i)
        DumpLine(out, "     MRD[%d]: State=%s ID=%d\n", static_cast<int>(i),
                 AgentStateASName(m_MRDStates[i].second), m_MRDStates[i].first);
    for (int i = 0; i < Instrument::kNumLines; ++i) {
        const Line* line = m_Instrument->GetLine(i);
        const int32_t type = line->m_LineType;
        if (!((type >= 0 && type <= 2) || (type >= 4 && type <= 9))) continue;
        DumpLine(out, "     %cLine[%d]: Type=%s CallID=%d\n", i == m_CurLine ? '*' : ' ', i,
                 LineTypeName(type), line->m_CallID);
    }
    out += "\nMonitorList:\n";
    CTICSTAMonitor::AppendDumpLines(m_MonitorList, out);
    out += "\nCTICSTADevice: ";
    out += m_Device != nullptr ? m_Device->GetDumpString() : std::string("NULL\n");
    out += "AssociateClientCB: \n";
    model::ClientInfo info;
    if (m_AssociateSessionID != -1 && Clients().Find(m_AssociateSessionID, info)) {
        DumpLine(out, "SessionID=%d\n", m_AssociateSessionID);
        for (const std::vector<int32_t>& mrds :
             Clients().AssociatedAgentMRDs(m_AssociateSessionID, m_AgentID.c_str(), m_PeripheralID)) {
            DumpLine(out, "    AccociateAgentID=%s AssociatePeriph=%d MRDIDs=", m_AgentID.c_str(),
                     m_PeripheralID);
            for (int32_t mrd : mrds) DumpLine(out, "%d, ", mrd);
        }
    }
    out += "Associate Non-Voice Clients:";
    for (const auto& [mrd, session] : m_NonVoiceSessions)
        DumpLine(out, "MRID=%d, SessionID=%d\n", mrd, session);
    return out;
}

std::string Agent::GetListHeader() {
    return "   AgentID  Periph SkillTgtID TeamID  Extension  Instrument  MRDID  MRDState\tSignature\n";
}

std::string Agent::GetListEntry() {
    ServerLockGuard guard(ServerLock());
    std::string out;
    const std::string& instrument = m_Instrument->InstrumentNumber();
    for (const auto& [mrd, state] : m_MRDStates) {
        const bool voice = mrd == 1;
        char line[4000];
        snprintf(line, sizeof line, " %10.10s %7d %10d %6d %c%8.8s%c %c%9.9s%c %5d %-11s %s\n",
                 m_AgentID.c_str(), m_PeripheralID, m_SkillTargetID, m_AgentTeamID,
                 voice && m_HasExtension ? '(' : ' ', voice ? m_Extension.c_str() : " ",
                 voice && m_HasExtension ? ')' : ' ', voice && m_HasInstrument ? '(' : ' ',
                 voice ? instrument.c_str() : " ", voice && m_HasInstrument ? ')' : ' ', mrd,
                 AgentStateASName(state), m_Signature.c_str());
        // All lines of one agent share one 4000-byte buffer: the overflow is cut.
        out += line;
        if (out.size() > 3999) {
            out.resize(3999);
            break;
        }
    }
    return out;
}
