// Joining calls during a consultation, merging one call into another on transfer and
// conference, and re-keying a call to a new CallID, with the events that tell clients.
#include <cstring>

#include "ctimsg/basemsg.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

using namespace model;

namespace {

constexpr uint32_t kNoCallID = 0xFFFFFFFF;

// The partner's connection standing for the same party as c, or null.
CTICSTAConnection* Counterpart(Call* partner, CTICSTAConnection* c) {
    if (c->m_Device != nullptr) return partner->FindConnection(c->m_Device);
    return partner->FindConnectionByDeviceID(c->m_OPCDeviceIDType, c->m_OPCDeviceID, 1, true);
}

}  // namespace

void Call::Release(Call* call, bool sendEndCall) {
    if (call == nullptr) return;
    if (call->m_Private && call->m_PrivateCallAgent != nullptr)
        static_cast<Agent*>(call->m_PrivateCallAgent)->RemovePrivateCall(call, sendEndCall);
    else
        Free(call, sendEndCall);
}

void Call::TraceConflict(const char* head, bool campaign) {
    std::string src, dest;
    AppendConnectionIDText(src, m_CallID, static_cast<int16_t>(m_SrcDeviceIDType),
                           m_SrcDeviceID.c_str());
    AppendConnectionIDText(dest, m_CallID, static_cast<int16_t>(m_DestDeviceIDType),
                           m_DestDeviceID.c_str());
    EMSTraceMessage("%s - new callID conflicts with existing callID %s DestID=%s callType=%d "
                    "callDisposition=%d",
                    head, src.c_str(), dest.c_str(), m_CallType, m_CalledPartyDisposition);
    if (campaign)
        EMSTraceMessage("                     - CampaignID=%d QueryRuleID=%d ",
                        static_cast<int32_t>(m_CampaignID), static_cast<int32_t>(m_QueryRuleID));
    EMSTraceMessage("  lastEvent=%s: %s (%d seconds ago)", CTimeText(m_LastEventTime).c_str(),
                    m_LastEvent.c_str(), static_cast<int>(NowSeconds() - m_LastEventTime));
}

// ---- join ----

void Call::Join(Call* other) {
    if (other == nullptr || other == this) return;
    if (m_JoinedCall != nullptr && m_JoinedCall != other) {
        EMSTraceMessage("*** Call::Join(Call %d, Call %d) - Call %d already joined to call %d ***",
                        static_cast<int32_t>(m_CallID), static_cast<int32_t>(other->m_CallID),
                        static_cast<int32_t>(m_CallID),
                        static_cast<int32_t>(m_JoinedCall->m_CallID));
        Unjoin();
    }
    if (other->m_JoinedCall != nullptr && other->m_JoinedCall != this) {
        EMSTraceMessage("*** Call::Join(Call %d, Call %d) - Call %d already joined to call %d ***",
                        static_cast<int32_t>(m_CallID), static_cast<int32_t>(other->m_CallID),
                        static_cast<int32_t>(other->m_CallID),
                        static_cast<int32_t>(other->m_JoinedCall->m_CallID));
        other->Unjoin();
    }
    if (m_JoinedCall == nullptr) m_JoinedCall = other;
    if (other->m_JoinedCall == nullptr) other->m_JoinedCall = this;
}

void Call::Unjoin() {
    if (m_JoinedCall == nullptr) return;
    // Joins are made only here: a partner that does not point back is our own fault.
    NUV_ASSERT(m_JoinedCall->m_JoinedCall == this);
    Call* partner = m_JoinedCall;
    if (Server().IsServerActive()) {
        ServerLockGuard guard(ServerLock());
        for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c)) {
            if (!c->IsActive() || Counterpart(partner, c) != nullptr) continue;
            SendConnectionCleared(c, 0xFFFF, "Call::Unjoin", partner);
            break;  // only the first unshared party is reported
        }
    }
    partner->m_JoinedCall = nullptr;
    m_JoinedCall = nullptr;
}

// ---- merge ----

Call* Call::TransferConnections(Call* target, uint32_t newCallID, uint16_t& refType,
                                std::string& refID) {
    if (target == nullptr || target == this) return this;
    const uint32_t n = newCallID;
    {
        // 1. One connection per party: an active target connection keeps its place.
        ServerLockGuard guard(ServerLock());
        CTICSTAConnection* k = target->FirstConnection();
        while (k != nullptr) {
            CTICSTAConnection* next = target->NextConnection(k);
            CTICSTAConnection* t = FindConnection(k->m_Device);
            if (t == nullptr) {
                CTICSTAConnection* byID =
                    FindConnectionByDeviceID(k->m_OPCDeviceIDType, k->m_OPCDeviceID, 1, true);
                if (byID != nullptr && byID->m_LocalConnectionState != 2 &&
                    k->m_LocalConnectionState != 2)
                    t = byID;
            }
            if (t != nullptr) {
                CTICSTAConnection* keep = k->IsActive() ? k : t;
                CTICSTAConnection* drop = keep == k ? t : k;
                // The kept one takes the device first, so the device outlives the free.
                if (keep->m_Device == nullptr && drop->m_Device != nullptr)
                    keep->SetDevice(drop->m_Device);
                CTICSTAConnection::Free(drop);
            }
            k = next;
        }
    }
    // 2.
    Deactivate();
    // 3.
    bool endSent = false;
    if (n != kNoCallID && n != target->m_CallID) {
        // a. Another active call already holds the new CallID: it joins the target too.
        if (Call* conflict = FindCall(m_PeripheralID, n, m_SrcDeviceIDType, m_SrcDeviceID.c_str(), 1);
            conflict != nullptr && conflict != target) {
            conflict->TraceConflict("Call::TransferConnections", false);
            conflict->TraceCallState();
            Release(conflict->TransferConnections(target, n, refType, refID), true);
        }
        // b.
        if (n == m_CallID && Server().IsServerActive()) {
            EndCallEventMSG msg;
            msg.SetUINT(Id(E::MonitorID), 0);
            msg.SetUINT(Id(E::CTIPeripheralID), m_PeripheralID);
            msg.SetUSHORT(Id(E::PeripheralType),
                          static_cast<uint16_t>(ConvertPeripheralType(m_PeripheralType)));
            msg.SetUSHORT(Id(E::ConnectionDeviceIDType), GetCallConnectionDeviceIDType());
            msg.SetSTRINGMax(Id(E::ConnectionDeviceID), GetCallConnectionDeviceID());
            msg.SetUINT(Id(E::ConnectionCallID), m_CallID);
            // OPC's IDs fill this event: an invalid one is traced and skipped, the merge
            // goes on (and the release does not try again).
            if (Clients().ValidateMessage("Call::TransferConnections", msg))
                WriteToCallWatchers(msg);
            endSent = true;
        }
        // The conflict's merge may have re-keyed the target already: then nothing changes
        // here and no update with equal old and new IDs goes out.
        if (n != target->m_CallID) {
            // c.
            uint32_t oldCallID;
            {
                LockGuard<LockObject> guard(GetCallLock());
                target->RemoveFromHash();
                oldCallID = target->m_CallID;
                target->m_CallID = n;
                target->AddToHash();
            }
            // d.
            if (Server().IsServerActive() && target->m_Reported) {
                const model::ConnectionID oldID(oldCallID, refType, refID.c_str());
                const uint16_t newType = target->GetCallConnectionDeviceIDType();
                const std::string newDevice = target->GetCallConnectionDeviceID();
                const model::ConnectionID newID(n, newType, newDevice.c_str());
                SendCallDataUpdateEvent(oldID, newID, "Call::TransferConnections", false);
                refType = newType;
                refID = newDevice;
            }
            // e.
            ServerLockGuard guard(ServerLock());
            for (CTICSTAConnection* c = target->FirstConnection(); c != nullptr;
                 c = target->NextConnection(c))
                if (c->IsActive()) {
                    const std::string id = c->m_OPCDeviceID;
                    c->Reclassify(c->m_ConnectionType, oldCallID, c->m_OPCDeviceIDType, id.c_str());
                }
        }
    }
    {
        // 4.
        ServerLockGuard guard(ServerLock());
        const uint32_t sourceCallID = m_CallID;
        CTICSTAConnection* c = FirstConnection();
        while (c != nullptr) {
            CTICSTAConnection* next = NextConnection(c);
            if (!c->IsActive()) {
                CTICSTAConnection::Free(c);
            } else {
                c->m_Hint = "moved." + c->m_Hint;
                c->SetCall(target);
                if (n != kNoCallID && n != sourceCallID) {
                    const std::string id = c->m_OPCDeviceID;
                    c->Reclassify(c->m_ConnectionType, sourceCallID, c->m_OPCDeviceIDType,
                                  id.c_str());
                }
            }
            c = next;
        }
    }
    // 5.
    target->NotifyReferenceConnectionUpdate(refType, refID);
    // 6.
    if (n != kNoCallID && n == m_CallID) {
        Release(this, !endSent);
        return nullptr;
    }
    return this;
}

// ---- call data ----

void Call::UpdateCallData(uint32_t newCallID, int newCallType, uint16_t& refType,
                          std::string& refID) {
    const uint32_t oldCallID = m_CallID;
    if (newCallID != kNoCallID && newCallID != m_CallID) {
        if (Call* conflict =
                FindCall(m_PeripheralID, newCallID, m_SrcDeviceIDType, m_SrcDeviceID.c_str(), 1);
            conflict != nullptr && conflict != this) {
            conflict->TraceConflict("Call::UpdateCallData", true);
            Release(conflict->TransferConnections(this, newCallID, refType, refID), true);
        }
        if (m_CallID != newCallID) {
            LockGuard<LockObject> guard(GetCallLock());
            RemoveFromHash();
            m_CallID = newCallID;
            AddToHash();
        }
    }
    const bool typeChanged = newCallType != -1 && static_cast<uint16_t>(newCallType) != m_CallType;
    if (typeChanged) m_CallType = static_cast<uint16_t>(newCallType);
    if (m_CallID == oldCallID && !typeChanged) return;
    if (!Server().IsServerActive()) return;
    const model::ConnectionID oldID(oldCallID, refType, refID.c_str());
    const uint16_t newType = GetCallConnectionDeviceIDType();
    const std::string newDevice = GetCallConnectionDeviceID();
    SendCallDataUpdateEvent(oldID, model::ConnectionID(m_CallID, newType, newDevice.c_str()),
                            "Call::UpdateCallData", true);
    refType = newType;
    refID = newDevice;
}

void Call::NotifyReferenceConnectionUpdate(uint16_t& refType, std::string& refID) {
    uint16_t newType;
    std::string newDevice;
    if (CTICSTAConnection* ref = GetReferenceConnection()) {
        newType = static_cast<uint16_t>(ref->m_OPCDeviceIDType);
        newDevice = ref->m_OPCDeviceID;
    } else {
        newType = GetCallConnectionDeviceIDType();
        newDevice = GetCallConnectionDeviceID();
    }
    if (newType == refType && newDevice == refID) return;
    SetSrcDeviceID(newType, newDevice.c_str());
    if (Server().IsServerActive() && m_Reported)
        SendCallDataUpdateEvent(model::ConnectionID(m_CallID, refType, refID.c_str()),
                                model::ConnectionID(m_CallID, newType, newDevice.c_str()),
                                "Call::NotifyReferenceConnectionUpdate", false);
    refType = newType;
    refID = newDevice;
}
