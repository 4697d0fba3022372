// CSTA monitors: a client session's standing request for the events of one subject, with
// its masks and MonitorID; 1024 buckets by MonitorID and a FIFO pool.
#include <cstring>

#include "ctimsg/basemsg.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/mrdomain.h"
#include "parlo/model/exactindex.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

namespace model {

// The MonitorID table with its exact index, and the pool.
struct MonitorTable {
    StdQueue buckets[CTICSTAMonitor::kHashBuckets];
    // Live monitors by exact MonitorID (unique among live monitors).
    ExactIndex byID{MemberOffset(&CTICSTAMonitor::m_IndexLinks)};
    StdQueue freeList;
    uint32_t nextID = 1;

    MonitorTable() {
        for (StdQueue& b : buckets) b.SetLinkOffset(MemberOffset(&CTICSTAMonitor::m_MonitorHashLinks));
        freeList.SetLinkOffset(CTICSTAMonitor::SubjectLinkOffset());
    }
};

int32_t MonitorSubjectLinkOffset() { return CTICSTAMonitor::SubjectLinkOffset(); }

}  // namespace model

using namespace model;

int32_t CTICSTAMonitor::SubjectLinkOffset() { return MemberOffset(&CTICSTAMonitor::m_SubjectLinks); }
int32_t CTICSTAMonitor::ClientLinkOffset() { return MemberOffset(&CTICSTAMonitor::m_ClientLinks); }

namespace {

constexpr uint32_t kCategoryCall = 3;
constexpr uint32_t kCategoryAgentState = 4;
constexpr uint32_t kCategoryTask = 11;

MonitorTable& Table() {
    static MonitorTable table;
    return table;
}

CTICSTAMonitor* AsMonitor(void* p) { return static_cast<CTICSTAMonitor*>(p); }

CTICSTAMonitor* InBucket(uint32_t id) { return AsMonitor(Table().byID.First(id)); }

}  // namespace

CTICSTAMonitor::CTICSTAMonitor()
    : m_AgentStateMask(agentstatemask::kAll), m_TaskMsgMask(taskmsgmask::kAll) {}

void CTICSTAMonitor::InitHashTable() { (void)Table(); }
int CTICSTAMonitor::FreeCount() { return Table().freeList.Count(); }

CTICSTAMonitor* CTICSTAMonitor::FirstInBucket(int bucket) {
    if (bucket < 0 || bucket >= kHashBuckets) return nullptr;
    return AsMonitor(Table().buckets[bucket].First());
}

CTICSTAMonitor* CTICSTAMonitor::NextInBucket() {
    if (!m_MonitorHashLinks.IsQueued()) return nullptr;
    return AsMonitor(Table().buckets[m_MonitorID & (kHashBuckets - 1)].Next(this));
}

void CTICSTAMonitor::SetNextMonitorID(uint32_t id) {
    ServerLockGuard guard(ServerLock());
    Table().nextID = id & 0x7FFFFFFF;
}

const char* CTICSTAMonitor::MonitorTypeName(int32_t type) {
    switch (type) {
        case 0: return "Void";
        case 1: return "Device";
        case 2: return "Call";
        case 3: return "Session";
        case 4: return "AgentTeam";
        case 5: return "MRD";
        case 6: return "AgentMRD";
        default: return "*INVALID*";
    }
}

uint32_t CTICSTAMonitor::NextMonitorID() {
    MonitorTable& t = Table();
    for (;;) {
        const uint32_t candidate = t.nextID;
        t.nextID = (candidate + 1) & 0x7FFFFFFF;
        if (candidate == 0) continue;
        if (InBucket(candidate) == nullptr) return candidate;
    }
}

CTICSTAMonitor* CTICSTAMonitor::Alloc(int32_t type, int32_t sessionID, void* subject) {
    ServerLockGuard guard(ServerLock());
    MonitorTable& t = Table();
    CTICSTAMonitor* m = AsMonitor(t.freeList.RemoveHead());
    if (m == nullptr) {
        m = new (std::nothrow) CTICSTAMonitor();
        if (m == nullptr) NUV_ALLOC_FAILED(sizeof(CTICSTAMonitor));
    }
    m->m_SubjectLinks.Reset();
    m->m_MonitorID = NextMonitorID();
    m->m_MonitorType = type;
    m->m_Subject = nullptr;
    m->m_SubjectSessionID = 0;
    m->m_MRDomainID = 0;
    m->m_TaskAgentID = 0;
    m->SetMasks(0xFFFFFFFF, agentstatemask::kAll, taskmsgmask::kAll);
    m->m_SessionID = -1;
    m->m_ClientVersion = 0;
    ClientInfo info;
    if (sessionID != -1 && Clients().Find(sessionID, info)) {
        m->m_SessionID = info.sessionID;
        m->m_ClientVersion = info.version;
        if (info.monitorList != nullptr) info.monitorList->Append(m);
    }
    t.buckets[m->m_MonitorID & (kHashBuckets - 1)].Append(m);
    t.byID.Append(m->m_MonitorID, m);
    if (subject != nullptr) m->SetSubject(subject);
    return m;
}

void CTICSTAMonitor::Free(CTICSTAMonitor* m) {
    if (m == nullptr) return;
    ServerLockGuard guard(ServerLock());
    if (m->m_Subject != nullptr) {
        m->SendEndCalls();
        if (StdQueue* list = m->SubjectList(m->m_Subject))
            if (m->m_SubjectLinks.IsQueued()) list->Remove(m);
        m->m_SubjectLinks.Reset();
        m->m_Subject = nullptr;
    }
    if (m->m_SessionID != -1) {
        ClientInfo info;
        if (Clients().Find(m->m_SessionID, info) && info.monitorList != nullptr &&
            m->m_ClientLinks.IsQueued())
            info.monitorList->Remove(m);
        m->m_ClientLinks.Reset();
        m->m_SessionID = -1;
    }
    m->m_ClientVersion = 0;
    MonitorTable& t = Table();
    if (m->m_MonitorHashLinks.IsQueued())
        t.buckets[m->m_MonitorID & (kHashBuckets - 1)].Remove(m);
    if (t.byID.Contains(m)) t.byID.Remove(m->m_MonitorID, m);
    m->m_MonitorHashLinks.Reset();
    m->m_MonitorID = 0;
    m->m_MonitorType = 0;
    t.freeList.Append(m);
}

CTICSTAMonitor* CTICSTAMonitor::FindMonitor(uint32_t monitorID) {
    if (monitorID == 0) return nullptr;
    ServerLockGuard guard(ServerLock());
    return InBucket(monitorID);
}

StdQueue* CTICSTAMonitor::SubjectList(void* subject) const {
    if (subject == nullptr) return nullptr;
    switch (m_MonitorType) {
        case Device: return &static_cast<CTICSTADevice*>(subject)->MonitorList();
        case CallSubject: return &static_cast<Call*>(subject)->MonitorList();
        case Session: return Sessions().SessionMonitorList(subject);
        case MRD: return &static_cast<MRDomain*>(subject)->MonitorList();
        case AgentMRD: return &static_cast<Agent*>(subject)->MonitorList();
        case AgentTeam: return &static_cast<::AgentTeam*>(subject)->MonitorList();
        default: return nullptr;
    }
}

void CTICSTAMonitor::SetSubject(void* subject) {
    if (subject == m_Subject) return;
    ServerLockGuard guard(ServerLock());
    if (m_Subject != nullptr) {
        SendEndCalls();
        if (StdQueue* list = SubjectList(m_Subject))
            if (m_SubjectLinks.IsQueued()) list->Remove(this);
        m_SubjectLinks.Reset();
    }
    m_Subject = subject;
    if (subject != nullptr)
        if (StdQueue* list = SubjectList(subject)) list->Append(this);
}

void CTICSTAMonitor::SetMasks(uint32_t callMsgMask, uint32_t agentStateMask, uint32_t taskMsgMask) {
    ServerLockGuard guard(ServerLock());
    m_CallMsgMask = callMsgMask;
    m_AgentStateMask = agentStateMask;
    m_TaskMsgMask = taskMsgMask;
}

void CTICSTAMonitor::ForEachSubjectCall(bool begin, bool trace) {
    auto one = [&](Call* call, CTICSTAConnection* c) {
        if (call == nullptr) return;
        if (begin) {
            SendBeginCall(call, c);
            if (trace) call->TraceCallState();
        } else {
            SendEndCall(call, c);
        }
    };
    auto deviceCalls = [&](CTICSTADevice* d) {
        for (auto* c = static_cast<CTICSTAConnection*>(d->ConnectionList().First()); c != nullptr;
             c = static_cast<CTICSTAConnection*>(d->ConnectionList().Next(c)))
            one(c->m_Call, c);
    };
    if (m_Subject == nullptr) return;
    switch (m_MonitorType) {
        case Device:
            deviceCalls(static_cast<CTICSTADevice*>(m_Subject));
            break;
        case CallSubject:
            one(static_cast<Call*>(m_Subject), nullptr);
            break;
        case Session: {
            ClientInfo info;
            if (!Clients().Find(m_SubjectSessionID, info) || info.monitorList == nullptr) break;
            StdQueue& list = *info.monitorList;
            for (CTICSTAMonitor* w = AsMonitor(list.First()); w != nullptr;
                 w = AsMonitor(list.Next(w))) {
                if (w->m_Subject == nullptr) continue;
                if (w->m_MonitorType == Device)
                    deviceCalls(static_cast<CTICSTADevice*>(w->m_Subject));
                else if (w->m_MonitorType == CallSubject)
                    one(static_cast<Call*>(w->m_Subject), nullptr);
            }
            break;
        }
        default:
            break;
    }
}

void CTICSTAMonitor::SendBeginCalls(bool trace) {
    ServerLockGuard guard(ServerLock());
    ForEachSubjectCall(true, trace);
}

void CTICSTAMonitor::SendEndCalls() {
    ServerLockGuard guard(ServerLock());
    ForEachSubjectCall(false, false);
}

void CTICSTAMonitor::SendBeginCall(Call* call, CTICSTAConnection* connection) {
    if (call == nullptr) return;
    BeginCallEventMSG msg(Server().TraceECCVariables(), Server().TracePeriphVariables());
    call->GetCallContext(msg);
    if (connection != nullptr) {
        msg.SetUSHORT(Id(E::ConnectionDeviceIDType),
                      static_cast<uint16_t>(connection->m_OPCDeviceIDType));
        msg.SetSTRINGMax(Id(E::ConnectionDeviceID), connection->m_OPCDeviceID);
    }
    // The call's data comes from OPC: an invalid event is traced and skipped.
    if (Clients().ValidateMessage("CTICSTAMonitor::SendBeginCall", msg)) WriteMSG(&msg);
}

void CTICSTAMonitor::SendEndCall(Call* call, CTICSTAConnection* connection) {
    if (call == nullptr) return;
    EndCallEventMSG msg;
    msg.SetUINT(Id(E::MonitorID), m_MonitorID);
    msg.SetUINT(Id(E::CTIPeripheralID), call->m_PeripheralID);
    msg.SetUSHORT(Id(E::PeripheralType),
                  static_cast<uint16_t>(ConvertPeripheralType(call->m_PeripheralType)));
    msg.SetUINT(Id(E::ConnectionCallID), call->m_CallID);
    if (connection != nullptr) {
        msg.SetUSHORT(Id(E::ConnectionDeviceIDType),
                      static_cast<uint16_t>(connection->m_OPCDeviceIDType));
        msg.SetSTRINGMax(Id(E::ConnectionDeviceID), connection->m_OPCDeviceID);
    } else {
        msg.SetUSHORT(Id(E::ConnectionDeviceIDType), call->GetCallConnectionDeviceIDType());
        msg.SetSTRINGMax(Id(E::ConnectionDeviceID), call->GetCallConnectionDeviceID());
    }
    if (Clients().ValidateMessage("CTICSTAMonitor::SendEndCall", msg)) WriteMSG(&msg);
}

bool CTICSTAMonitor::PassesMasks(BaseMSG& msg, int32_t agentState) const {
    const int32_t type = static_cast<int32_t>(msg.GetMsgType());
    switch (BaseMSG::GetCategory(type)) {
        case kCategoryCall: {
            const uint32_t bit = BaseMSG::GetCallEventMaskBit(type);
            return bit == 0 || (m_CallMsgMask & bit) != 0;
        }
        case kCategoryAgentState: {
            const uint32_t bit = BaseMSG::GetAgentStateMaskBit(agentState);
            return bit == 0 || (m_AgentStateMask & bit) != 0;
        }
        case kCategoryTask: {
            const uint32_t bit = BaseMSG::GetCallEventMaskBit(type);
            return bit == 0 || (m_TaskMsgMask & bit) != 0;
        }
        default:
            return true;
    }
}

void CTICSTAMonitor::WriteMSG(BaseMSG* msg) {
    if (msg == nullptr) {
        EMSTraceMessage("CTICSTAMonitor::WriteMSG BaseMSG invalid..Returning");
        return;
    }
    if (Server().VerboseLevel() == 2)
        EMSTraceMessage("CTICSTAMonitor::WriteMSG - MonitorInfo (MonitorID = %ld, MonitorType = "
                        "%s MonitoringSubject = 0x%x MonitorObj = 0x%x). ClientID = %ld",
                        static_cast<long>(m_MonitorID), MonitorTypeName(m_MonitorType),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_Subject)),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)),
                        static_cast<long>(m_SessionID));
    if (m_SessionID == -1 || m_ClientVersion == 0) {
        EMSTraceMessage("CTICSTAMonitor::WriteMSG - Could not find a valid Client CB Session ID "
                        "(%d) or Version (%d)",
                        m_SessionID, static_cast<int>(m_ClientVersion));
        m_SessionID = -1;
        m_ClientVersion = 0;
        return;
    }
    const uint32_t type = msg->GetMsgType();
    const int32_t agentState =
        type == AGENT_STATE_EVENT ? msg->GetUSHORT(Id(E::SkillGroupState)) : 9;
    if (EMSGetTraceMask() & tracebit::TR_PROC_8) {
        if ((type == BEGIN_CALL_EVENT || type == END_CALL_EVENT) && m_MonitorType == Device) {
            std::string id;
            AppendConnectionIDText(id, msg->GetUINT(Id(E::ConnectionCallID)),
                                   static_cast<int16_t>(msg->GetUSHORT(Id(E::ConnectionDeviceIDType))),
                                   msg->GetSTRING(Id(E::ConnectionDeviceID)));
            const std::string text = Format(
                "%s callID %s at periph %d device %s", type == BEGIN_CALL_EVENT ? "Begin" : " End ",
                id.c_str(), static_cast<int32_t>(msg->GetUINT(Id(E::CTIPeripheralID))),
                m_Subject != nullptr ? static_cast<CTICSTADevice*>(m_Subject)->m_DeviceID.c_str()
                                     : "N/A");
            EMSEvent1I1S(kEmsMonitorTrace, 0, 0, m_SessionID, text.c_str());
        } else if ((type == BEGIN_TASK_EVENT || type == END_TASK_EVENT) && m_MonitorType == AgentMRD) {
            const BaseMSG::TaskIDWords task = msg->GetTaskID(Id(E::TaskID));
            const std::string text =
                Format("%s task <MRD=%d><TaskID=%d:%d:%d> at agent %d",
                       type == BEGIN_TASK_EVENT ? "Begin" : " End ", msg->GetINT(Id(E::MRDID)),
                       static_cast<int32_t>(task.first), static_cast<int32_t>(task.second),
                       static_cast<int32_t>(task.third), m_TaskAgentID);
            EMSEvent1I1S(kEmsMonitorTrace, 0, 0, m_SessionID, text.c_str());
        }
    }
    if (msg->GetMinVersion() > m_ClientVersion) return;
    if (!PassesMasks(*msg, agentState)) return;
    if (m_MonitorType == AgentMRD && m_MRDomainID != 0 &&
        BaseMSG::GetCategory(static_cast<int32_t>(type)) == kCategoryTask &&
        (!HasElement(*msg, E::MRDID) || msg->GetINT(Id(E::MRDID)) != m_MRDomainID))
        return;
    if (type != SYSTEM_EVENT && HasElement(*msg, E::MonitorID))
        msg->SetUINT(Id(E::MonitorID), m_MonitorID);
    (void)Sessions().WriteMSG(m_SessionID, *msg);
}

// ---- texts ----

void CTICSTAMonitor::SubjectText(std::string& out, bool forList) {
    if (m_Subject == nullptr) {
        out += "(null)";
        return;
    }
    switch (m_MonitorType) {
        case Device:
            AppendF(out, "%.127s", static_cast<CTICSTADevice*>(m_Subject)->m_DeviceID.c_str());
            break;
        case CallSubject:
            AppendF(out, "%d", static_cast<int32_t>(static_cast<Call*>(m_Subject)->m_CallID));
            break;
        case Session:
            AppendF(out, "%d", m_SubjectSessionID);
            break;
        case MRD:
            AppendF(out, "%d", m_MRDomainID);
            break;
        case AgentMRD:
            AppendF(out, forList ? "%d,%d" : "Agent %d, MRD %d", m_TaskAgentID, m_MRDomainID);
            break;
        default:
            out += "(null)";
            break;
    }
}

std::string CTICSTAMonitor::ClientText() {
    if (m_SessionID == -1) return "(null)";
    ClientInfo info;
    if (!Clients().Find(m_SessionID, info)) {
        m_SessionID = -1;
        return "(null)";
    }
    return info.clientID != nullptr ? info.clientID : "";
}

std::string CTICSTAMonitor::GetListHeader() {
    return "MonitorID  MonitorType     Subject       Client\n";
}

std::string CTICSTAMonitor::GetListEntry() {
    std::string subject;
    SubjectText(subject, true);
    return Format("%9u    %-9.9s\t%-11.11s  %-12.12s\n", m_MonitorID,
                  MonitorTypeName(m_MonitorType), subject.c_str(), ClientText().c_str());
}

void CTICSTAMonitor::AppendDumpLines(StdQueue& list, std::string& out) {
    for (auto* m = static_cast<CTICSTAMonitor*>(list.First()); m != nullptr;
         m = static_cast<CTICSTAMonitor*>(list.Next(m))) {
        out += "     ";
        m->GetDumpString(out);
    }
}

void CTICSTAMonitor::GetDumpString(std::string& out) {
    std::string subject;
    SubjectText(subject, false);
    AppendF(out, "MonitorID=%u MonitorType=%s m_Subject:\"%s\" Client:\"%s\"\n", m_MonitorID,
                 MonitorTypeName(m_MonitorType), subject.c_str(), ClientText().c_str());
}
