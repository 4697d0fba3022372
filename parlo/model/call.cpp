// The call object, its hash, its pool and CallLock; the connection look-ups and the ECC
// wrappers that the call's reporting uses.
#include "parlo/model/call.h"

#include <cstring>

#include "ctimsg/basemsg.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "parlo/common/meterids.h"
#include "parlo/model/agent.h"
#include "parlo/model/csta.h"
#include "parlo/model/exactindex.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

namespace model {

// The call hash with its two exact indexes, and the pool.
struct CallTable {
    StdQueue buckets[Call::kHashBuckets];
    // Calls by exact CallID, each CallID's calls in their bucket order.
    ExactIndex byCallID{MemberOffset(&Call::m_IndexLinks)};
    // And by exact (PeripheralID, CallID), for the look-ups that name a peripheral.
    ExactIndex byPeriphCallID{MemberOffset(&Call::m_PeriphIndexLinks)};
    StdQueue freeList;
    LockObject* lock = nullptr;
};

}  // namespace model

using namespace model;

int32_t Call::PrivateCallLinkOffset() { return MemberOffset(&Call::m_PrivateCallLinks); }

namespace {

CallTable& Table() {
    static CallTable table;
    return table;
}


Call* AsCall(void* p) { return static_cast<Call*>(p); }

uint64_t PeriphKey(uint32_t peripheralID, uint32_t callID) {
    return (static_cast<uint64_t>(peripheralID) << 32) | callID;
}

}  // namespace

model::ConnectionID::ConnectionID(uint32_t call, uint16_t type, const char* device)
    : callID(call), deviceIDType(type) {
    CopyDeviceID(deviceID, device);
}

void AppendConnectionIDText(std::string& out, uint32_t callID, int deviceIDType,
                            const char* deviceID) {
    AppendF(out, "%d.", static_cast<int32_t>(callID));
    if (deviceIDType == -1) return;
    out += deviceID != nullptr ? deviceID : "";
    if (deviceIDType == 0)
        out += "(s)";
    else if (deviceIDType == 1)
        out += "(d)";
    else
        AppendF(out, "(*** INVALID IDTYPE %d ***)", deviceIDType);
}

// ---- object ----

Call::Call() {
    m_ConnectionList.SetLinkOffset(CTICSTAConnection::CallLinkOffset());
    m_MonitorList.SetLinkOffset(CTICSTAMonitor::SubjectLinkOffset());
    m_HashIndex = -1;
    m_PrivateCallAgent = nullptr;
    m_JoinedCall = nullptr;
    Reset();
}

Call::~Call() = default;

void Call::Reset() {
    m_PeripheralID = 0xFFFFFFFF;
    m_CallID = 0xFFFFFFFF;
    m_SrcDeviceIDType = 0xFFFF;
    m_DestDeviceIDType = 0xFFFF;
    m_PeripheralType = -1;
    m_CallType = 0;
    m_CallTypeID = -1;
    m_CalledPartyDisposition = 0;
    m_CampaignID = 0;
    m_QueryRuleID = 0;
    m_TrunkGroup = -1;
    m_RouterCallKeyDay = m_RouterCallKeyCallID = m_RouterCallKeySequenceNum = 0;
    m_Reported = false;
    m_Active = true;
    m_Deactivated = false;
    m_Cleared = false;
    m_Private = false;
    m_JoinedCall = nullptr;
    for (std::string* s : {&m_SrcAgentID, &m_SrcExtension, &m_SrcDeviceID, &m_DestAgentID,
                           &m_DestExtension, &m_DestDeviceID, &m_ANI, &m_UserToUser, &m_DNIS,
                           &m_CED, &m_DialedNumber, &m_CallWrapupData, &m_CustomerPhoneNumber,
                           &m_CustomerAccountNumber})
        s->clear();
    for (std::string& v : m_CallVariable) v.clear();
    if (m_ECC) (void)m_ECC->SetECCBindata(0, nullptr);
    m_CTIClientSignatures.clear();
    m_CTIClientTimestamps.clear();
    m_PrivateCallAgent = nullptr;
    SetLastEvent("constructed");
}

void Call::SetLastEvent(const char* name) {
    m_LastEvent = name != nullptr ? name : "";
    m_LastEventTime = NowSeconds();
}

// ---- table ----

void Call::InitCallList() {
    CallTable& t = Table();
    if (t.lock != nullptr) return;
    const int32_t offset = MemberOffset(&Call::m_HashLinks);
    for (StdQueue& b : t.buckets) b.SetLinkOffset(offset);
    t.freeList.SetLinkOffset(offset);
    t.lock = model::Server().NewCallLock();
    if (t.lock == nullptr) NUV_ALLOC_FAILED(sizeof(LockObject));
}

LockObject& Call::GetCallLock() {
    InitCallList();
    return *Table().lock;
}

Call* Call::FirstInBucket(int bucket) {
    if (bucket < 0 || bucket >= kHashBuckets) return nullptr;
    return AsCall(Table().buckets[bucket].First());
}

Call* Call::NextInBucket() const {
    if (m_HashIndex < 0) return nullptr;
    return AsCall(Table().buckets[m_HashIndex].Next(const_cast<Call*>(this)));
}

int Call::FreeCount() { return Table().freeList.Count(); }

void Call::AddToHash() {
    LockGuard<LockObject> guard(GetCallLock());
    m_HashIndex = static_cast<int32_t>(m_CallID & 255);
    Table().buckets[m_HashIndex].Append(this);
    Table().byCallID.Append(m_CallID, this);
    Table().byPeriphCallID.Append(PeriphKey(m_PeripheralID, m_CallID), this);
}

void Call::RemoveFromHash() {
    LockGuard<LockObject> guard(GetCallLock());
    if (m_HashIndex < 0) return;
    Table().buckets[m_HashIndex].Remove(this);
    Table().byCallID.Remove(m_CallID, this);
    Table().byPeriphCallID.Remove(PeriphKey(m_PeripheralID, m_CallID), this);
    m_HashLinks.Reset();
    m_HashIndex = -1;
}

// ---- look-ups ----

bool Call::IdentityMatches(int type, const char* deviceID, int mode) {
    if (IsCallIDUnique(m_PeripheralType) || type == -2) return true;
    if (type == -1) return false;
    if (deviceID == nullptr) deviceID = "";
    if (FindConnectionByDeviceID(type, deviceID, 1, true) != nullptr) return true;
    if (mode == 1 || mode == 2) return false;
    const uint16_t t16 = static_cast<uint16_t>(type);
    return (t16 == m_DestDeviceIDType && m_DestDeviceID == deviceID) ||
           (t16 == m_SrcDeviceIDType && m_SrcDeviceID == deviceID);
}

Call* Call::Walk(Call* from, bool backward, Order order, uint32_t peripheralID, uint32_t callID, int type,
                 const char* deviceID, int mode) {
    StdQueue& bucket = Table().buckets[callID & 255];
    const ExactIndex& index =
        order == Order::ByCallID ? Table().byCallID : Table().byPeriphCallID;
    Call* fallback = nullptr;
    const uint16_t t16 = static_cast<uint16_t>(type);
    const char* id = deviceID != nullptr ? deviceID : "";
    for (Call* c = from; c != nullptr;
         c = AsCall(order != Order::Bucket ? (backward ? index.Previous(c) : index.Next(c))
                                           : (backward ? bucket.Previous(c) : bucket.Next(c)))) {
        if ((peripheralID != kNoPeripheral && peripheralID != c->m_PeripheralID) ||
            c->m_CallID != callID)
            continue;
        if (!c->IdentityMatches(type, id, mode)) continue;
        switch (mode) {
            case 0:
                return c;
            case 1:
                if (c->m_Active) return c;
                break;
            case 2:
                if (c->m_Deactivated) return c;
                break;
            case 3:
                if (c->m_Active) break;
                if (type != 0 && type != 1) return c;
                if ((t16 == c->m_DestDeviceIDType && c->m_DestDeviceID == id) ||
                    (t16 == c->m_SrcDeviceIDType && c->m_SrcDeviceID == id))
                    return c;
                fallback = c;
                break;
            default:
                break;
        }
    }
    return fallback;
}

Call* Call::FindCall(uint32_t peripheralID, uint32_t callID, int type, const char* deviceID,
                     int mode) {
    LockGuard<LockObject> guard(GetCallLock());
    if (peripheralID != kNoPeripheral)
        return Walk(AsCall(Table().byPeriphCallID.First(PeriphKey(peripheralID, callID))), false,
                    Order::ByPeripheralCallID, peripheralID, callID, type, deviceID, mode);
    return Walk(AsCall(Table().byCallID.First(callID)), false, Order::ByCallID, peripheralID,
                callID, type, deviceID, mode);
}

Call* Call::FindLastCall(uint32_t peripheralID, uint32_t callID, int type, const char* deviceID,
                         int mode) {
    LockGuard<LockObject> guard(GetCallLock());
    if (peripheralID != kNoPeripheral)
        return Walk(AsCall(Table().byPeriphCallID.Last(PeriphKey(peripheralID, callID))), true,
                    Order::ByPeripheralCallID, peripheralID, callID, type, deviceID, mode);
    return Walk(AsCall(Table().byCallID.Last(callID)), true, Order::ByCallID, peripheralID,
                callID, type, deviceID, mode);
}

Call* Call::FindNextCall(uint32_t peripheralID, uint32_t callID, int type, const char* deviceID,
                         int mode) {
    LockGuard<LockObject> guard(GetCallLock());
    // Only a call still in the bucket of that CallID has a successor to continue from.
    if (m_HashIndex < 0 || static_cast<uint32_t>(m_HashIndex) != (callID & 255)) return nullptr;
    // From a call of that CallID its index successor is the next one in the bucket with it;
    // from another call of the bucket only the bucket knows what follows.
    if (m_CallID == callID && peripheralID != kNoPeripheral && m_PeripheralID == peripheralID)
        return Walk(AsCall(Table().byPeriphCallID.Next(this)), false, Order::ByPeripheralCallID,
                    peripheralID, callID, type, deviceID, mode);
    if (m_CallID == callID)
        return Walk(AsCall(Table().byCallID.Next(this)), false, Order::ByCallID, peripheralID,
                    callID, type, deviceID, mode);
    return Walk(AsCall(Table().buckets[m_HashIndex].Next(this)), false, Order::Bucket,
                peripheralID, callID, type, deviceID, mode);
}

Call* Call::FindStaleCall(int bucket, int seconds) {
    if (bucket < 0 || bucket >= kHashBuckets) return nullptr;
    LockGuard<LockObject> guard(GetCallLock());
    const int64_t now = NowSeconds();
    StdQueue& b = Table().buckets[bucket];
    for (Call* c = AsCall(b.First()); c != nullptr; c = AsCall(b.Next(c)))
        if (now - c->m_LastEventTime >= seconds) return c;
    return nullptr;
}

// ---- creation and release ----

void Call::TraceDuplicate(const char* what) {
    std::string src, dest;
    AppendConnectionIDText(src, m_CallID, static_cast<int16_t>(m_SrcDeviceIDType),
                           m_SrcDeviceID.c_str());
    AppendConnectionIDText(dest, m_CallID, static_cast<int16_t>(m_DestDeviceIDType),
                           m_DestDeviceID.c_str());
    EMSTraceMessage("%s: Call %s Dest=%s CallType=%d CalledPartyDisposition=%d", what,
                    src.c_str(), dest.c_str(), m_CallType, m_CalledPartyDisposition);
    EMSTraceMessage("  lastEvent=%s: %s (%d seconds ago)", CTimeText(m_LastEventTime).c_str(),
                    m_LastEvent.c_str(), static_cast<int>(NowSeconds() - m_LastEventTime));
}

Call* Call::Alloc(uint32_t peripheralID, uint32_t callID, uint16_t srcType, const char* srcID,
                  int16_t peripheralType, uint16_t callType, uint16_t disposition,
                  uint32_t campaignID, uint32_t queryRuleID) {
    InitCallList();
    if (srcID == nullptr) srcID = "";
    if (Call* old = FindCall(peripheralID, callID, srcType, srcID, 1)) {
        old->TraceDuplicate("Call::Alloc - duplicate active call released");
        Release(old, true);
    }
    Call* call = AsCall(Table().freeList.RemoveHead());
    if (call != nullptr) {
        call->Reset();
    } else {
        call = new (std::nothrow) Call();
        if (call == nullptr) NUV_ALLOC_FAILED(sizeof(Call));
    }
    call->m_PeripheralID = peripheralID;
    call->m_CallID = callID;
    call->m_SrcDeviceIDType = srcType;
    call->m_SrcDeviceID = srcID;
    call->m_PeripheralType = peripheralType;
    call->m_CallType = callType;
    call->m_CalledPartyDisposition = disposition;
    call->m_CampaignID = campaignID;
    call->m_QueryRuleID = queryRuleID;
    call->AddToHash();
    Server().UpdateMeter(meter::CallsInProgress, 1);
    Server().UpdateMeter(meter::ActiveCalls, 1);
    Server().Increment(PerfCounter::PARLO_ACTIVE_CALLS);
    return call;
}

void Call::Free(Call* call, bool sendEndCall) {
    if (call == nullptr) return;
    NUV_ASSERT(!call->m_PrivateCallLinks.IsQueued());
    call->RemoveFromHash();
    call->m_CTIClientSignatures.clear();
    call->m_CTIClientTimestamps.clear();
    if (call->m_Reported) {
        if (sendEndCall && Server().IsServerActive()) {
            EndCallEventMSG msg;
            msg.SetUINT(Id(E::MonitorID), 0);
            msg.SetUINT(Id(E::CTIPeripheralID), call->m_PeripheralID);
            msg.SetUSHORT(Id(E::PeripheralType),
                          static_cast<uint16_t>(ConvertPeripheralType(call->m_PeripheralType)));
            msg.SetUSHORT(Id(E::ConnectionDeviceIDType), call->GetCallConnectionDeviceIDType());
            msg.SetSTRINGMax(Id(E::ConnectionDeviceID), call->GetCallConnectionDeviceID());
            msg.SetUINT(Id(E::ConnectionCallID), call->m_CallID);
            // The event carries OPC's data: an invalid one is traced and skipped, the call
            // is released all the same.
            if (Clients().ValidateMessage("Call::Free", msg))
                (void)Sessions().WriteMSG(nullptr, static_cast<int32_t>(call->m_PeripheralID), msg,
                                          DistributeAllEvents);
        }
        // Lowered for every reported call that goes, not only when END_CALL_EVENT went out.
        Server().Decrement(PerfCounter::PARLO_REPORTED_CALLS);
    }
    if (call->m_JoinedCall != nullptr) call->Unjoin();
    {
        ServerLockGuard guard(ServerLock());
        while (auto* c = static_cast<CTICSTAConnection*>(call->m_ConnectionList.First()))
            CTICSTAConnection::Free(c);
    }
    call->RemoveAllMonitors();
    if (call->m_Active) {
        call->m_Active = false;
        Server().UpdateMeter(meter::ActiveCalls, -1);
    }
    Server().UpdateMeter(meter::CallsInProgress, -1);
    Table().freeList.Append(call);
    Server().Decrement(PerfCounter::PARLO_ACTIVE_CALLS);
}

void Call::RemovePeripheralCalls(uint32_t peripheralID) {
    LockGuard<LockObject> guard(GetCallLock());
    for (StdQueue& b : Table().buckets) {
        Call* c = AsCall(b.First());
        while (c != nullptr) {
            Call* next = AsCall(b.Next(c));
            if (peripheralID == kNoPeripheral || c->m_PeripheralID == peripheralID)
                Release(c, true);
            c = next;
        }
    }
}

void Call::RemovePrivateCalls(uint32_t peripheralID) {
    LockGuard<LockObject> guard(GetCallLock());
    for (StdQueue& b : Table().buckets) {
        Call* c = AsCall(b.First());
        while (c != nullptr) {
            Call* next = AsCall(b.Next(c));
            if (c->m_Private && (peripheralID == kNoPeripheral || c->m_PeripheralID == peripheralID))
                Release(c, true);
            c = next;
        }
    }
}

// ---- lifecycle ----

void Call::Deactivate() {
    if (!m_Active) return;
    m_Active = false;
    m_Deactivated = true;
    Server().UpdateMeter(meter::ActiveCalls, -1);
    Server().Increment(PerfCounter::PARLO_DEACTIVATED_CALLS);
}

void Call::Reactivate() {
    Call* other = FindCall(m_PeripheralID, m_CallID, m_SrcDeviceIDType, m_SrcDeviceID.c_str(), 1);
    if (other != nullptr && other != this) {
        other->TraceDuplicate("Call::Reactivate - an active call has this identity");
        return;
    }
    if (!m_Active) {
        m_Active = true;
        Server().UpdateMeter(meter::ActiveCalls, 1);
    }
    if (m_Deactivated) Server().Decrement(PerfCounter::PARLO_DEACTIVATED_CALLS);
    m_Deactivated = false;
    m_Cleared = false;
}

void Call::ClearCall(int cause) {
    if (m_Cleared) return;
    if (m_Active) {
        m_Active = false;
        Server().UpdateMeter(meter::ActiveCalls, -1);
    }
    if (m_Deactivated) Server().Decrement(PerfCounter::PARLO_DEACTIVATED_CALLS);
    m_Deactivated = false;
    m_Cleared = true;
    Server().Increment(PerfCounter::PARLO_CLEARED_CALLS);
    ClearAllConnections(cause);
}

void Call::ChangeCallID(uint32_t callID, uint16_t srcType, const char* srcID, uint16_t destType,
                        const char* destID) {
    LockGuard<LockObject> guard(GetCallLock());
    RemoveFromHash();
    m_CallID = callID;
    SetSrcDeviceID(srcType, srcID);
    SetDestDeviceID(destType, destID);
    AddToHash();
}

void Call::SetSrcDeviceID(uint16_t type, const char* id) {
    m_SrcDeviceIDType = type;
    m_SrcDeviceID = id != nullptr ? id : "";
}

void Call::SetDestDeviceID(uint16_t type, const char* id) {
    m_DestDeviceIDType = type;
    m_DestDeviceID = id != nullptr ? id : "";
}

// ---- lists ----

void Call::AddConnection(CTICSTAConnection* c) { m_ConnectionList.Append(c); }
void Call::RemoveConnection(CTICSTAConnection* c) {
    StdQueueLink* link = m_ConnectionList.LinkOf(c);
    if (link->IsQueued()) m_ConnectionList.Remove(c);
    link->Reset();
}
void Call::AddMonitor(CTICSTAMonitor* m) { m_MonitorList.Append(m); }
void Call::RemoveMonitor(CTICSTAMonitor* m) {
    StdQueueLink* link = m_MonitorList.LinkOf(m);
    if (link->IsQueued()) m_MonitorList.Remove(m);
    link->Reset();
}
CTICSTAConnection* Call::FirstConnection() const {
    return static_cast<CTICSTAConnection*>(m_ConnectionList.First());
}
CTICSTAConnection* Call::NextConnection(CTICSTAConnection* c) const {
    return static_cast<CTICSTAConnection*>(m_ConnectionList.Next(c));
}

// ---- connection look-ups ----

bool Call::IsCounted(const CTICSTAConnection* c) {
    const int s = c->m_LocalConnectionState;
    return (s >= 1 && s <= 5) || (s == 6 && c->m_ConnectionType == 1);
}

CTICSTAConnection* Call::FindConnection(CTICSTADevice* device) {
    if (device == nullptr) return nullptr;
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (c->m_Device == device) return c;
    return nullptr;
}

CTICSTAConnection* Call::FindConnectionByDeviceID(int type, const char* deviceID, int selector,
                                                  bool includeAlerting) {
    if (selector < 1 || selector > 7) return nullptr;
    if (deviceID == nullptr) deviceID = "";
    const uint16_t t16 = static_cast<uint16_t>(type);
    CTICSTAConnection* newestAny = nullptr;
    for (auto* c = static_cast<CTICSTAConnection*>(m_ConnectionList.Last()); c != nullptr;
         c = static_cast<CTICSTAConnection*>(m_ConnectionList.Previous(c))) {
        if (static_cast<uint16_t>(c->m_OPCDeviceIDType) != t16 ||
            strcmp(c->m_OPCDeviceID, deviceID) != 0)
            continue;
        if (c->m_LocalConnectionState == 2 && !includeAlerting) continue;
        if (newestAny == nullptr) newestAny = c;
        if (c->FitsSelector(selector)) return c;
    }
    return selector == 1 ? newestAny : nullptr;
}

CTICSTADevice* Call::FindCommonDevice(Call* other) {
    if (other == nullptr) return nullptr;
    for (CTICSTAConnection* o = other->FirstConnection(); o != nullptr;
         o = other->NextConnection(o)) {
        if (!o->IsActive() || o->m_Device == nullptr) continue;
        for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
            if (c->IsActive() && c->m_Device == o->m_Device) return o->m_Device;
    }
    return nullptr;
}

CTICSTAConnection* Call::GetReferenceConnection() {
    CTICSTAConnection* otherType = nullptr;
    CTICSTAConnection* first = nullptr;
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c)) {
        if (!IsCounted(c)) continue;
        const bool alerting = c->m_LocalConnectionState == 2;
        if (c->m_ConnectionType == 1 && !alerting) return c;
        if (otherType == nullptr && !alerting && c->m_ConnectionType != 1) otherType = c;
        if (first == nullptr) first = c;
    }
    return otherType != nullptr ? otherType : first;
}

int Call::ActiveConnections() {
    int n = 0;
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (IsCounted(c)) ++n;
    return n;
}

bool Call::HasConnection(CTICSTAConnection* connection) {
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (c == connection) return true;
    return false;
}

// ---- call context ----

int Call::SetECCBinData(int32_t length, const uint8_t* data) {
    const int code = ECC().SetECCBindata(length, data);
    if (code != 0)
        EMSTraceMessage("Call::SetECCBinData - Error code %d setting ECCBindata, length %d", code,
                        length);
    return code;
}

int Call::GetECCBinData(int32_t& length, const uint8_t*& data) {
    if (!m_ECC) {
        length = 0;
        data = nullptr;
        return 0;
    }
    const int code = m_ECC->GetECCBindata(length, data);
    if (code != 0) {
        EMSTraceMessage("Call::GetECCBinData - Error code %d getting ECCBindata", code);
        length = 0;
        data = nullptr;
    }
    return code;
}

int Call::GetECCData(std::vector<NameValueStruct>& list, int& scalars, int& arrays) {
    scalars = arrays = 0;
    if (!m_ECC) {
        list.clear();
        return 0;
    }
    const int code = m_ECC->GetListByName(list);
    if (code != 0) {
        EMSTraceMessage("Call::GetECCData - Error code %d getting ListOfValues", code);
        return code;
    }
    for (const NameValueStruct& v : list) (v.isArray ? arrays : scalars)++;
    return 0;
}

int Call::SetECCData(const std::vector<NameValueStruct>& list) {
    for (const NameValueStruct& v : list) {
        const int code = v.isArray ? ECC().SetArrayValue(v.name, v.index, v.value)
                                   : ECC().SetScalarValue(v.name, v.value);
        if (code != 0) {
            EMSTraceMessage("Call::SetECCData - Error code %d setting %s to \"%s\"", code,
                            v.name.c_str(), v.value.c_str());
            return code;
        }
    }
    int32_t size = 0;
    const uint8_t* data = nullptr;
    const int code = ECC().GetECCBindata(size, data);
    if (code != 0) EMSTraceMessage("Call::SetECCData - Error code %d getting ECCBindata", code);
    return code;
}

void Call::TraceECC() {
    if (m_ECC) (void)m_ECC->TraceByName();
}

ExpandedCallContext& Call::ECC() {
    if (!m_ECC) {
        m_ECC.reset(new (std::nothrow) ExpandedCallContext());
        if (!m_ECC) NUV_ALLOC_FAILED(sizeof(ExpandedCallContext));
    }
    return *m_ECC;
}
