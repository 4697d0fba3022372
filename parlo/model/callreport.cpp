// Call reporting: the distribution order of every call event, BEGIN_CALL_EVENT to the
// all-events sessions, the call context, CALL_DATA_UPDATE_EVENT, and the call's texts.
#include <cstring>

#include "ctimsg/basemsg.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/statuscodes.h"
#include "ctimsg/structured.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

using namespace model;

namespace {

void SetUShortIf(BaseMSG& msg, uint32_t e, uint16_t v) {
    if (HasElement(msg, e)) msg.SetUSHORT(Id(e), v);
}
void SetUIntIf(BaseMSG& msg, uint32_t e, uint32_t v) {
    if (HasElement(msg, e)) msg.SetUINT(Id(e), v);
}
void SetTextIf(BaseMSG& msg, uint32_t e, const std::string& v) {
    if (!v.empty() && HasElement(msg, e)) msg.SetSTRINGMax(Id(e), v);
}

REMaskArray* REMaskOf(BaseMSG& msg) {
    return static_cast<REMaskArray*>(msg.FindElement(Id(E::REMaskArray), 0, false));
}

const char* CutFront(const char* name, size_t n) {
    return strlen(name) > n ? name + n : "";
}

}  // namespace

// ---- call-connection ID ----

uint16_t Call::GetCallConnectionDeviceIDType() {
    if (ActiveConnections() >= 3) {
        CTICSTAConnection* ref = GetReferenceConnection();
        return ref != nullptr ? static_cast<uint16_t>(ref->m_OPCDeviceIDType) : 0xFFFF;
    }
    return m_SrcDeviceIDType != 0xFFFF ? m_SrcDeviceIDType : m_DestDeviceIDType;
}

std::string Call::GetCallConnectionDeviceID() {
    if (ActiveConnections() >= 3) {
        CTICSTAConnection* ref = GetReferenceConnection();
        return ref != nullptr ? std::string(ref->m_OPCDeviceID) : std::string();
    }
    return m_SrcDeviceIDType != 0xFFFF ? m_SrcDeviceID : m_DestDeviceID;
}

int Call::GetDestConnectionState() {
    if (m_DestDeviceID.empty()) return 1;
    CTICSTAConnection* c =
        FindConnectionByDeviceID(m_DestDeviceIDType, m_DestDeviceID.c_str(), 1, true);
    return c != nullptr ? c->m_LocalConnectionState : 1;
}

// ---- CTI client stamps ----

void Call::SetCTIClientSignature(size_t index, const std::string& signature) {
    if (index < m_CTIClientSignatures.size())
        m_CTIClientSignatures[index] = signature;
    else if (index == m_CTIClientSignatures.size())
        m_CTIClientSignatures.push_back(signature);
}

void Call::SetCTIClientTimestamp(size_t index, uint32_t stamp) {
    if (index < m_CTIClientTimestamps.size())
        m_CTIClientTimestamps[index] = stamp;
    else if (index == m_CTIClientTimestamps.size())
        m_CTIClientTimestamps.push_back(stamp);
}

std::string Call::GetCTIClientSignature(size_t index) const {
    return index < m_CTIClientSignatures.size() ? m_CTIClientSignatures[index] : std::string();
}

uint32_t Call::GetCTIClientTimestamp(size_t index) const {
    return index < m_CTIClientTimestamps.size() ? m_CTIClientTimestamps[index] : 0;
}

// ---- distribution ----

void Call::WriteMSG(BaseMSG& msg, bool setState, bool passConnection) {
    BuildREMask(msg, 0xFFFFFFFF);
    WriteToCallWatchers(msg);
    ServerLockGuard guard(ServerLock());
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (c->m_Call != nullptr && c->m_Call->m_CallID == m_CallID)
            c->WriteMSG(msg, setState, passConnection);
}

void Call::WriteToCallWatchers(BaseMSG& msg) {
    if (!Server().IsServerActive()) return;
    if (!m_Reported) ReportCall();
    (void)Sessions().WriteMSG(nullptr, static_cast<int32_t>(m_PeripheralID), msg, DistributeAllEvents);
    ServerLockGuard guard(ServerLock());
    for (auto* m = static_cast<CTICSTAMonitor*>(m_MonitorList.First()); m != nullptr;
         m = static_cast<CTICSTAMonitor*>(m_MonitorList.Next(m)))
        m->WriteMSG(&msg);
}

void Call::ReportCall() {
    if (m_Reported) return;
    if (Server().IsServerActive()) {
        BeginCallEventMSG msg(Server().TraceECCVariables(), Server().TracePeriphVariables());
        GetCallContext(msg);
        if (Clients().ValidateMessage("Call::ReportCall", msg))
            (void)Sessions().WriteMSG(nullptr, static_cast<int32_t>(m_PeripheralID), msg,
                                      DistributeAllEvents);
    }
    MarkReported();
}

void Call::MarkReported() {
    if (m_Reported) return;
    m_Reported = true;
    Server().Increment(PerfCounter::PARLO_REPORTED_CALLS);
}

void Call::GetCallContext(BaseMSG& msg) {
    std::vector<NameValueStruct> ecc;
    int scalars = 0, arrays = 0;
    (void)GetECCData(ecc, scalars, arrays);
    SetUIntIf(msg, E::MonitorID, 0);
    SetUIntIf(msg, E::CTIPeripheralID, m_PeripheralID);
    SetUShortIf(msg, E::PeripheralType,
                static_cast<uint16_t>(ConvertPeripheralType(m_PeripheralType)));
    SetUShortIf(msg, E::NumNamedVariables, static_cast<uint16_t>(scalars));
    SetUShortIf(msg, E::NumNamedArrays, static_cast<uint16_t>(arrays));
    SetUShortIf(msg, E::CtiCallType, m_CallType);
    SetUShortIf(msg, E::CalledPartyDisposition, m_CalledPartyDisposition);
    SetUShortIf(msg, E::ConnectionDeviceIDType, GetCallConnectionDeviceIDType());
    if (HasElement(msg, E::ConnectionDeviceID))
        msg.SetSTRINGMax(Id(E::ConnectionDeviceID), GetCallConnectionDeviceID());
    SetUIntIf(msg, E::ConnectionCallID, m_CallID);

    SetTextIf(msg, E::ANIField, m_ANI);
    if (!m_UserToUser.empty() && HasElement(msg, E::UserToUserField)) {
        const size_t n = strnlen(m_UserToUser.data(), m_UserToUser.size());
        if (n > 0)
            msg.SetUNSPEC(Id(E::UserToUserField),
                          reinterpret_cast<const uint8_t*>(m_UserToUser.data()),
                          static_cast<int>(n));
    }
    SetTextIf(msg, E::DNISField, m_DNIS);
    SetTextIf(msg, E::DialedNumberField, m_DialedNumber);
    SetTextIf(msg, E::CEDField, m_CED);
    if (m_RouterCallKeyDay != 0 || m_RouterCallKeyCallID != 0 || m_RouterCallKeySequenceNum != 0) {
        SetUIntIf(msg, E::RouterCallKeyDay, m_RouterCallKeyDay);
        SetUIntIf(msg, E::RouterCallKeyCallID, m_RouterCallKeyCallID);
        SetUIntIf(msg, E::RouterCallKeySequenceNum, m_RouterCallKeySequenceNum);
    }
    for (int i = 0; i < 10; ++i)
        if (!m_CallVariable[i].empty() &&
            msg.FindElement(Id(E::CallVariable1) + static_cast<uint32_t>(i), 0, false))
            msg.SetSTRINGMax(Id(E::CallVariable1) + static_cast<uint32_t>(i), m_CallVariable[i]);
    SetTextIf(msg, E::CallWrapupData, m_CallWrapupData);

    if (!ecc.empty() && HasElement(msg, E::ExpandedCallContxt)) {
        const int status = msg.SetECCList(ecc);
        if (status != 0) {
            EMSTraceMessage(
                "GetCallContext: Error setting ECC variables with error %s.  ECC variables "
                "removed from message.",
                StatusCodeName(status));
            msg.ClearECC();
            if (status == E_CTI_TOO_MUCH_DATA)
                Clients().ReportECCTooMuchData("GetCallContext", m_PeripheralID, m_CallID);
        }
    }
    if (HasElement(msg, E::NumCTIClients)) {
        const size_t n = std::min<size_t>(m_CTIClientSignatures.size(), kMaxCTIClients);
        for (size_t i = 0; i < n; ++i) {
            if (!msg.FindElement(Id(E::CTIClientSignature), static_cast<uint32_t>(i), false))
                break;
            msg.SetSTRINGMax(Id(E::CTIClientSignature), m_CTIClientSignatures[i],
                             static_cast<uint32_t>(i));
            msg.SetUINT(Id(E::CTIClientTimestamp), GetCTIClientTimestamp(i),
                        static_cast<uint32_t>(i));
        }
        msg.SetUSHORT(Id(E::NumCTIClients), static_cast<uint16_t>(n));
    }
}

void Call::BuildREMask(BaseMSG& msg, uint32_t callIDOverride) {
    REMaskArray* element = REMaskOf(msg);
    if (element == nullptr) return;
    element->Clear();
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (c->m_Device != nullptr)
            c->m_Device->AddREMaskEntries(element, callIDOverride, 0xFFFFFFFF);
}

void Call::SendCallDataUpdateEvent(const model::ConnectionID& oldID, const model::ConnectionID& newID,
                                   const char* caller, bool toDevices) {
    if (caller == nullptr) caller = "";
    CallDataUpdateEventMSG msg(Server().TraceECCVariables(), Server().TracePeriphVariables());
    msg.SetUINT(Id(E::MonitorID), 0);
    msg.SetUINT(Id(E::CTIPeripheralID), m_PeripheralID);
    msg.SetUSHORT(Id(E::PeripheralType),
                  static_cast<uint16_t>(ConvertPeripheralType(m_PeripheralType)));
    msg.SetUSHORT(Id(E::NumCTIClients), 0);
    msg.SetUSHORT(Id(E::NumNamedVariables), 0);
    msg.SetUSHORT(Id(E::NumNamedArrays), 0);
    msg.SetUSHORT(Id(E::CtiCallType), m_CallType);
    msg.SetUSHORT(Id(E::CalledPartyDisposition), m_CalledPartyDisposition);
    msg.SetUINT(Id(E::CampaignID), m_CampaignID);
    msg.SetUINT(Id(E::QueryRuleID), m_QueryRuleID);
    msg.SetUINT(Id(E::ConnectionCallID), oldID.callID);
    msg.SetUSHORT(Id(E::ConnectionDeviceIDType), oldID.deviceIDType);
    msg.SetSTRINGMax(Id(E::ConnectionDeviceID), oldID.deviceID);
    msg.SetUINT(Id(E::NewConnectionCallID), newID.callID);
    msg.SetUSHORT(Id(E::NewConnectionDeviceIDType), newID.deviceIDType);
    msg.SetSTRINGMax(Id(E::NewConnectionDeviceID), newID.deviceID);
    if (Call* active = FindCall(m_PeripheralID, newID.callID, newID.deviceIDType, newID.deviceID, 1)) {
        for (int i = 0; i < 10; ++i)
            msg.SetSTRINGMax(Id(E::CallVariable1) + static_cast<uint32_t>(i),
                             active->m_CallVariable[i]);
        std::vector<NameValueStruct> ecc;
        int scalars = 0, arrays = 0;
        (void)active->GetECCData(ecc, scalars, arrays);
        const int status = msg.SetECCList(ecc);
        if (status != 0) {
            EMSTraceMessage(
                "Call::SendCallDataUpdateEvent (%s):  Error setting ECC variables with error "
                "%s.  ECC variables removed from message.",
                caller, StatusCodeName(status));
            msg.ClearECC();
            if (status == E_CTI_TOO_MUCH_DATA)
                Clients().ReportECCTooMuchData(caller, m_PeripheralID, m_CallID);
        } else {
            msg.SetUSHORT(Id(E::NumNamedVariables), static_cast<uint16_t>(scalars));
            msg.SetUSHORT(Id(E::NumNamedArrays), static_cast<uint16_t>(arrays));
        }
    }
    if (!Clients().ValidateMessage(caller, msg)) return;
    if (toDevices)
        WriteMSG(msg, false, true);
    else
        WriteToCallWatchers(msg);
}

void Call::SetConnectedParties(BaseMSG& msg) {
    uint32_t n = 0;
    auto add = [&](uint32_t callID, const CTICSTAConnection* c) {
        msg.SetUINT(Id(E::ConnectedPartyCallID), callID, n);
        msg.SetUSHORT(Id(E::ConnectedPartyDeviceIDType),
                      static_cast<uint16_t>(c->m_OPCDeviceIDType), n);
        msg.SetSTRINGMax(Id(E::ConnectedPartyDeviceID), c->m_OPCDeviceID, n);
        ++n;
    };
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr && n < kMaxParties;
         c = NextConnection(c))
        if (c->IsActive()) add(m_CallID, c);
    if (Call* joined = m_JoinedCall) {
        for (CTICSTAConnection* j = joined->FirstConnection(); j != nullptr && n < kMaxParties;
             j = joined->NextConnection(j)) {
            if (!j->IsActive()) continue;
            bool counterpart = false;
            for (CTICSTAConnection* c = FirstConnection(); c != nullptr && !counterpart;
                 c = NextConnection(c))
                counterpart = j->m_Device != nullptr
                                  ? c->m_Device == j->m_Device
                                  : (c->m_OPCDeviceIDType == j->m_OPCDeviceIDType &&
                                     strcmp(c->m_OPCDeviceID, j->m_OPCDeviceID) == 0);
            if (!counterpart) add(joined->m_CallID, j);
        }
    }
    msg.SetUSHORT(Id(E::NumParties), static_cast<uint16_t>(n));
}

void Call::RemoveAllMonitors() {
    ServerLockGuard guard(ServerLock());
    auto* m = static_cast<CTICSTAMonitor*>(m_MonitorList.First());
    while (m != nullptr) {
        auto* next = static_cast<CTICSTAMonitor*>(m_MonitorList.Next(m));
        ClientInfo info;
        if (m->m_SessionID != -1 && Clients().Find(m->m_SessionID, info))
            (void)Sessions().SendFailureEventMSG(m->m_SessionID, E_CTI_MONITOR_TERMINATED, false);
        else
            EMSTraceMessage("Call::RemoveAllMonitors - !Warning! ClientCB is invalid for the "
                            "monitor object");
        CTICSTAMonitor::Free(m);
        m = next;
    }
}

// ---- texts ----

void Call::TraceCallState() {
    std::string flags;
    if (m_Reported) flags += "Reported, ";
    if (m_Active) flags += "Active, ";
    if (m_Deactivated) flags += "Deactivated, ";
    if (m_Cleared) flags += "Cleared, ";
    if (m_Private) flags += "Private, ";
    if (flags.size() >= 2) flags.resize(flags.size() - 2);
    StateTrace("  CSTA CallState: CallID=%d Periph=%d SrcDeviceID=%s(%c) DestDeviceID=%s(%c) "
               "LastEvent=%s Flags=%s",
               static_cast<int32_t>(m_CallID), static_cast<int32_t>(m_PeripheralID),
               m_SrcDeviceID.c_str(), m_SrcDeviceIDType == 0 ? 's' : 'd', m_DestDeviceID.c_str(),
               m_DestDeviceIDType == 0 ? 's' : 'd', m_LastEvent.c_str(), flags.c_str());
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        c->TraceConnectionstate();
}

std::string Call::GetListHeader() {
    return "      CallID             Periph     Type    TrkGrp  DNIS      NumClients  ANI\n";
}

std::string Call::GetListEntry() {
    const char status = m_Private ? 'P' : m_Active ? ' ' : m_Cleared ? 'x' : m_Deactivated ? '#' : '?';
    std::string src;
    AppendConnectionIDText(src, m_CallID, static_cast<int16_t>(m_SrcDeviceIDType),
                           m_SrcDeviceID.c_str());
    return Format("%c %-21.21s  %6d %-11.11s %6d  %-8.8s  %10d  %s\n", status, src.c_str(),
                  static_cast<int32_t>(m_PeripheralID), CutFront(CallTypeName(m_CallType), 9),
                  m_TrunkGroup, m_DNIS.c_str(), static_cast<int>(m_CTIClientSignatures.size()),
                  m_ANI.c_str());
}

std::string Call::GetDumpString() {
    std::string out;
    out.reserve(512);
    std::string src, dest;
    AppendConnectionIDText(src, m_CallID, static_cast<int16_t>(m_SrcDeviceIDType),
                           m_SrcDeviceID.c_str());
    AppendConnectionIDText(dest, m_CallID, static_cast<int16_t>(m_DestDeviceIDType),
                           m_DestDeviceID.c_str());
    AppendF(out,
                 "CallID=%s Dest=%s PeripheralID=%d PeripheralType=%d(%s) CallType=%d(%s) "
                 "CalledPartyDisposition=%d(%s)\n",
                 src.c_str(), dest.c_str(), static_cast<int32_t>(m_PeripheralID), m_PeripheralType,
                 PeripheralTypeName(static_cast<int32_t>(ConvertPeripheralType(m_PeripheralType))),
                 m_CallType, CutFront(CallTypeName(m_CallType), 9), m_CalledPartyDisposition,
                 CutFront(CalledPartyDispositionName(m_CalledPartyDisposition), 3));
    AppendF(out, "     SrcAgentID=%s SrcExtension=%s DestAgentID=%s DestExtension=%s\n",
                 m_SrcAgentID.c_str(), m_SrcExtension.c_str(), m_DestAgentID.c_str(),
                 m_DestExtension.c_str());
    auto yn = [](bool b) { return b ? 'Y' : 'N'; };
    AppendF(out, "     Reported=%c Active=%c Deactivated=%c Cleared=%c Private=%c\n",
                 yn(m_Reported), yn(m_Active), yn(m_Deactivated), yn(m_Cleared), yn(m_Private));
    AppendF(out, "     LastEvent=%s: %s (%d seconds ago)\n",
                 CTimeText(m_LastEventTime).c_str(), m_LastEvent.c_str(),
                 static_cast<int>(NowSeconds() - m_LastEventTime));
    AppendF(out, "     HashIndex=%d TrunkGroup=%d RtrCallKey=%d %d DNIS=%s ANI=%s\n",
                 m_HashIndex, m_TrunkGroup, static_cast<int32_t>(m_RouterCallKeyDay),
                 static_cast<int32_t>(m_RouterCallKeyCallID), m_DNIS.c_str(), m_ANI.c_str());
    const size_t uuiLength = strnlen(m_UserToUser.data(), m_UserToUser.size());
    std::string uuiHex = "<0x";
    for (size_t i = 0; i < uuiLength; ++i)
        AppendF(uuiHex, "%.2x", static_cast<unsigned char>(m_UserToUser[i]));
    uuiHex += "00> ";
    AppendF(out, "     DigitsDialed=%s CED=%s Wrapup=%s UserToUser=%s %s\n",
                 m_DialedNumber.c_str(), m_CED.c_str(), m_CallWrapupData.c_str(),
                 std::string(m_UserToUser.data(), uuiLength).c_str(), uuiHex.c_str());
    AppendF(out, "     CallVar1=%s CallVar2=%s CallVar3=%s CallVar4=%s CallVar5=%s\n",
                 m_CallVariable[0].c_str(), m_CallVariable[1].c_str(), m_CallVariable[2].c_str(),
                 m_CallVariable[3].c_str(), m_CallVariable[4].c_str());
    AppendF(out, "     CallVar6=%s CallVar7=%s CallVar8=%s CallVar9=%s CallVar10=%s\n",
                 m_CallVariable[5].c_str(), m_CallVariable[6].c_str(), m_CallVariable[7].c_str(),
                 m_CallVariable[8].c_str(), m_CallVariable[9].c_str());
    std::vector<NameValueStruct> ecc;
    int scalars = 0, arrays = 0;
    if (GetECCData(ecc, scalars, arrays) == 0)
        for (const NameValueStruct& v : ecc) {
            if (v.isArray)
                AppendF(out, "     %s[%d]=%s\n", v.name.c_str(), v.index, v.value.c_str());
            else
                AppendF(out, "     %s=%s\n", v.name.c_str(), v.value.c_str());
        }
    for (size_t i = 0; i < m_CTIClientSignatures.size(); ++i) {
        const uint32_t stamp = GetCTIClientTimestamp(i);
        AppendF(out, "      CTIClient[%d]: Timestamp=0x%x (%s) Signature=%s\n",
                     static_cast<int>(i), stamp, CTimeText(stamp).c_str(),
                     m_CTIClientSignatures[i].c_str());
    }
    out += "\n";
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        c->GetDumpString(out);
    out += "\n";
    CTICSTAMonitor::AppendDumpLines(m_MonitorList, out);
    return out;
}

// ---- conference and transfer form ----

namespace {

bool SameParty(const CTICSTAConnection* a, const CTICSTAConnection* b) {
    if (b->m_Device != nullptr) return a->m_Device == b->m_Device;
    return a->m_Device == nullptr &&
           static_cast<uint16_t>(a->m_OPCDeviceIDType) == static_cast<uint16_t>(b->m_OPCDeviceIDType) &&
           strcmp(a->m_OPCDeviceID, b->m_OPCDeviceID) == 0;
}

// An active connection of `call` standing for the same party as c.
bool HasActiveCounterpart(Call* call, const CTICSTAConnection* c) {
    for (CTICSTAConnection* p = call->FirstConnection(); p != nullptr; p = call->NextConnection(p))
        if (p->IsActive() && SameParty(p, c)) return true;
    return false;
}

bool Listed(const CTICSTAConnection* c, bool type17) {
    return c->IsActive() && !(type17 && c->m_LocalConnectionState == 2);
}

int DeviceTypeOf(const CTICSTAConnection* c) {
    return c->m_Device != nullptr ? c->m_Device->m_DeviceType : -1;
}

void MarkDuplicates(Call* call) {
    for (CTICSTAConnection* a = call->FirstConnection(); a != nullptr; a = call->NextConnection(a)) {
        for (CTICSTAConnection* b = call->NextConnection(a); b != nullptr; b = call->NextConnection(b)) {
            if ((a->m_Flags & 2) || (b->m_Flags & 2)) continue;
            if (static_cast<uint16_t>(a->m_OPCDeviceIDType) != static_cast<uint16_t>(b->m_OPCDeviceIDType) ||
                strcmp(a->m_OPCDeviceID, b->m_OPCDeviceID) != 0)
                continue;
            if (a->m_Device == nullptr)
                a->m_Flags |= 2;
            else if (b->m_Device == nullptr || (DeviceTypeOf(a) == 0 && DeviceTypeOf(b) == 70))
                b->m_Flags |= 2;
            else if (DeviceTypeOf(b) == 0 && DeviceTypeOf(a) == 70)
                a->m_Flags |= 2;
        }
    }
}

void SetPrimary(BaseMSG& msg, uint16_t type, const char* id, uint32_t callID) {
    msg.SetUSHORT(Id(E::PrimaryDeviceIDType), type);
    msg.SetSTRINGMax(Id(E::PrimaryDeviceID), id);
    msg.SetUINT(Id(E::PrimaryCallID), callID);
}

void SetSecondary(BaseMSG& msg, uint16_t type, const char* id, uint32_t callID) {
    msg.SetUSHORT(Id(E::SecondaryDeviceIDType), type);
    msg.SetSTRINGMax(Id(E::SecondaryDeviceID), id);
    msg.SetUINT(Id(E::SecondaryCallID), callID);
}

}  // namespace

void Call::WritePriSecMSG(Call* s, BaseMSG& msg, uint32_t override, int numParties) {
    if (Server().IsServerActive()) {
        if (!m_Reported) ReportCall();
        if (s != nullptr && !s->m_Reported) s->ReportCall();
    }
    ServerLockGuard guard(ServerLock());
    msg.SetUINT(Id(E::MonitorID), 0);
    msg.SetUINT(Id(E::CTIPeripheralID), m_PeripheralID);
    const uint32_t ctiType = ConvertPeripheralType(m_PeripheralType);
    msg.SetUSHORT(Id(E::PeripheralType), static_cast<uint16_t>(ctiType));

    CTICSTADevice* common = FindCommonDevice(s);
    CTICSTAConnection* pc = FindConnection(common);
    if (pc != nullptr)
        SetPrimary(msg, static_cast<uint16_t>(pc->m_OPCDeviceIDType), pc->m_OPCDeviceID, m_CallID);
    else
        SetPrimary(msg, m_SrcDeviceIDType, m_SrcDeviceID.c_str(), m_CallID);
    if (s == nullptr) {
        SetSecondary(msg, 0xFFFF, "", 0xFFFFFFFF);
    } else if (CTICSTAConnection* sc = s->FindConnection(common)) {
        SetSecondary(msg, static_cast<uint16_t>(sc->m_OPCDeviceIDType), sc->m_OPCDeviceID, s->m_CallID);
    } else {
        SetSecondary(msg, s->m_SrcDeviceIDType, s->m_SrcDeviceID.c_str(), s->m_CallID);
    }

    const bool type17 = ctiType == 17;
    if (Server().RemoveCGDuplicateConnections() && (ctiType == 17 || ctiType == 20 || ctiType == 23)) {
        int tracked = 0;
        for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
            if (Listed(c, type17)) ++tracked;
        if (s != nullptr)
            for (CTICSTAConnection* c = s->FirstConnection(); c != nullptr; c = s->NextConnection(c))
                if (Listed(c, type17) && !HasActiveCounterpart(this, c)) ++tracked;
        if (tracked > kMaxParties) tracked = kMaxParties;
        if (numParties < tracked) {
            MarkDuplicates(this);
            if (s != nullptr) MarkDuplicates(s);
        }
    }

    uint32_t n = 0;
    auto addParty = [&](uint32_t callID, const CTICSTAConnection* c) {
        msg.SetUINT(Id(E::ConnectedPartyCallID), callID, n);
        msg.SetUSHORT(Id(E::ConnectedPartyDeviceIDType), static_cast<uint16_t>(c->m_OPCDeviceIDType), n);
        msg.SetSTRINGMax(Id(E::ConnectedPartyDeviceID), c->m_OPCDeviceID, n);
        ++n;
    };
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr && n < kMaxParties; c = NextConnection(c))
        if (Listed(c, type17) && !(c->m_Flags & 2))
            addParty(override == 0xFFFFFFFF ? m_CallID : override, c);
    BuildREMask(msg, override);
    if (s != nullptr) {
        REMaskArray* element = REMaskOf(msg);
        for (CTICSTAConnection* c = s->FirstConnection(); c != nullptr && n < kMaxParties;
             c = s->NextConnection(c)) {
            if (!Listed(c, type17) || (c->m_Flags & 2) || HasActiveCounterpart(this, c)) continue;
            addParty(override == 0xFFFFFFFF ? s->m_CallID : override, c);
            if (element != nullptr && c->m_Device != nullptr)
                c->m_Device->AddREMaskEntries(element, override, s->m_CallID);
        }
    }
    msg.SetUSHORT(Id(E::NumParties), static_cast<uint16_t>(n));

    if (!Clients().ValidateMessage("WritePriSecMSG", msg)) return;
    (void)Sessions().WriteMSG(nullptr, static_cast<int32_t>(m_PeripheralID), msg, DistributeAllEvents);
    for (Call* call : {this, s}) {
        if (call == nullptr) continue;
        for (auto* m = static_cast<CTICSTAMonitor*>(call->m_MonitorList.First()); m != nullptr;
             m = static_cast<CTICSTAMonitor*>(call->m_MonitorList.Next(m)))
            m->WriteMSG(&msg);
    }
    for (CTICSTAConnection* x = FirstConnection(); x != nullptr; x = NextConnection(x)) {
        SetPrimary(msg, static_cast<uint16_t>(x->m_OPCDeviceIDType), x->m_OPCDeviceID, m_CallID);
        CTICSTAConnection* sx = (s != nullptr && x->m_Device != nullptr) ? s->FindConnection(x->m_Device) : nullptr;
        if (sx != nullptr)
            SetSecondary(msg, static_cast<uint16_t>(sx->m_OPCDeviceIDType), sx->m_OPCDeviceID, s->m_CallID);
        else
            SetSecondary(msg, 0xFFFF, "", 0xFFFFFFFF);
        x->WriteMSG(msg, true, false);
    }
    if (s != nullptr)
        for (CTICSTAConnection* y = s->FirstConnection(); y != nullptr; y = s->NextConnection(y)) {
            if (y->m_Device != nullptr && FindConnection(y->m_Device) != nullptr) continue;
            SetPrimary(msg, static_cast<uint16_t>(y->m_OPCDeviceIDType), y->m_OPCDeviceID, s->m_CallID);
            SetSecondary(msg, 0xFFFF, "", 0xFFFFFFFF);
            y->WriteMSG(msg, true, false);
        }
}
