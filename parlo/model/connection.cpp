// CSTA connections: the pooled tie between a call and a device, with its local connection
// state, OPC's connection ID and the BEGIN/END events to the device's monitors.
#include <cstring>

#include "ctimsg/basemsg.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

using namespace model;

namespace {

StdQueue& FreeConnections() {
    static StdQueue queue;
    static const bool ready = [] {
        queue.SetLinkOffset(CTICSTAConnection::DeviceLinkOffset());
        return true;
    }();
    (void)ready;
    return queue;
}

const char* StateNameWithoutPrefix(int32_t state) {
    const char* name = CSTALocalConnectionStateText(state);
    return strncmp(name, "CS_", 3) == 0 ? name + 3 : name;
}

}  // namespace

const char* CSTALocalConnectionStateText(int32_t state) {
    switch (state) {
        case -1: return "CS_NONE";
        case 0: return "CS_NULL";
        case 1: return "CS_INITIATE";
        case 2: return "CS_ALERTING";
        case 3: return "CS_CONNECT";
        case 4: return "CS_HOLD";
        case 5: return "CS_QUEUED";
        case 6: return "CS_FAIL";
        default: return "UNKNOWN";
    }
}

void CTICSTAConnection::InitFreeList() { (void)FreeConnections(); }

int32_t CTICSTAConnection::DeviceLinkOffset() {
    return MemberOffset(&CTICSTAConnection::m_DeviceLinks);
}
int32_t CTICSTAConnection::CallLinkOffset() { return MemberOffset(&CTICSTAConnection::m_CallLinks); }

int CTICSTAConnection::FreeCount() { return FreeConnections().Count(); }

CTICSTAConnection* CTICSTAConnection::Alloc(CTICSTADevice* device, Call* call, int32_t state,
                                            int32_t type, int32_t deviceIDType,
                                            const char* deviceID, const char* hint) {
    ServerLockGuard guard(ServerLock());
    auto* c = static_cast<CTICSTAConnection*>(FreeConnections().RemoveHead());
    if (c == nullptr) {
        c = new (std::nothrow) CTICSTAConnection();
        if (c == nullptr) NUV_ALLOC_FAILED(sizeof(CTICSTAConnection));
    }
    c->m_Device = device;
    c->m_Call = call;
    c->SetState(state, hint);
    c->m_ConnectionType = type;
    c->m_OPCDeviceIDType = deviceIDType;
    c->m_Flags = 0;
    c->m_SilentMonitorStatus = 0;
    CopyDeviceID(c->m_OPCDeviceID, deviceID);
    c->m_Hint = hint != nullptr ? hint : "";
    if (call != nullptr) call->AddConnection(c);
    if (device != nullptr) {
        device->AddConnection(c);
        device->SendBeginCallToMonitors(call, c);
    }
    return c;
}

void CTICSTAConnection::Free(CTICSTAConnection* c) {
    if (c == nullptr) return;
    ServerLockGuard guard(ServerLock());
    CTICSTADevice* device = c->m_Device;
    if (device != nullptr) {
        device->SendEndCallToMonitors(c->m_Call, c);
        device->RemoveConnection(c);
        c->m_Device = nullptr;
    }
    if (c->m_Call != nullptr) c->m_Call->RemoveConnection(c);
    c->m_Call = nullptr;
    c->m_LocalConnectionState = -1;
    c->m_Flags = 0;
    c->m_SilentMonitorStatus = 0;
    c->m_ConnectionType = 0;
    c->m_OPCDeviceIDType = 0;
    c->m_OPCDeviceID[0] = '\0';
    c->m_Hint.clear();
    c->m_Initiated = 0;
    FreeConnections().Append(c);
    if (device != nullptr && device->m_Agent == nullptr &&
        (device->m_DeviceType == 0 || device->m_DeviceType == 78) &&
        device->GetNumConnections() == 0 && device->GetNumMonitors() == 0) {
        if (EMSGetTraceMask() & tracebit::TR_PROC_4) EMSTraceMessage("Removing device: %s", device->m_DeviceID.c_str());
        CTICSTADevice::Delete(device);
    }
}

bool CTICSTAConnection::FitsSelector(int selector) const {
    const int32_t s = m_LocalConnectionState;
    switch (selector) {
        case 1:
        case 2: return IsActive();
        case 3: return IsActiveNotAlerting();
        case 4: return s == 2;
        case 5: return s == 3;
        case 6: return s == 4;
        case 7: return s == 2 || s == 4;
        default: return false;
    }
}

void CTICSTAConnection::SetState(int32_t state, const char* hint) {
    if (state == -1) return;
    m_LocalConnectionState = state;
    if (hint != nullptr) m_Hint = hint;
    if (state == 1) m_Initiated = 1;
}

void CTICSTAConnection::SetOPCDevice(int32_t type, int32_t deviceIDType, const char* deviceID) {
    m_ConnectionType = type;
    m_OPCDeviceIDType = deviceIDType;
    CopyDeviceID(m_OPCDeviceID, deviceID);
}

void CTICSTAConnection::SetDevice(CTICSTADevice* device) {
    if (device == m_Device) return;
    ServerLockGuard guard(ServerLock());
    if (m_Device != nullptr) {
        m_Device->SendEndCallToMonitors(m_Call, this);
        m_Device->RemoveConnection(this);
    }
    m_Device = device;
    if (device != nullptr) {
        device->AddConnection(this);
        device->SendBeginCallToMonitors(m_Call, this);
    }
}

void CTICSTAConnection::SetCall(Call* call) {
    ServerLockGuard guard(ServerLock());
    if (m_Call != nullptr) m_Call->RemoveConnection(this);
    m_Call = call;
    if (call != nullptr) call->AddConnection(this);
}

void CTICSTAConnection::Reclassify(int32_t type, uint32_t oldCallID, int32_t deviceIDType,
                                   const char* deviceID) {
    if (m_Device != nullptr && m_Call != nullptr && Server().IsServerActive()) {
        CallDataUpdateEventMSG msg(Server().TraceECCVariables(), Server().TracePeriphVariables());
        msg.SetUINT(Id(E::MonitorID), 0);
        msg.SetUINT(Id(E::CTIPeripheralID), m_Call->m_PeripheralID);
        msg.SetUSHORT(Id(E::PeripheralType),
                      static_cast<uint16_t>(ConvertPeripheralType(m_Call->m_PeripheralType)));
        msg.SetUSHORT(Id(E::NumNamedVariables), 0);
        msg.SetUSHORT(Id(E::NumNamedArrays), 0);
        msg.SetUSHORT(Id(E::CtiCallType), m_Call->m_CallType);
        msg.SetUSHORT(Id(E::CalledPartyDisposition), m_Call->m_CalledPartyDisposition);
        msg.SetUINT(Id(E::CampaignID), m_Call->m_CampaignID);
        msg.SetUINT(Id(E::QueryRuleID), m_Call->m_QueryRuleID);
        msg.SetUSHORT(Id(E::NumCTIClients), 0);
        msg.SetUINT(Id(E::ConnectionCallID), oldCallID);
        msg.SetUSHORT(Id(E::ConnectionDeviceIDType), static_cast<uint16_t>(m_OPCDeviceIDType));
        msg.SetSTRINGMax(Id(E::ConnectionDeviceID), m_OPCDeviceID);
        msg.SetUINT(Id(E::NewConnectionCallID), m_Call->m_CallID);
        msg.SetUSHORT(Id(E::NewConnectionDeviceIDType), static_cast<uint16_t>(deviceIDType));
        msg.SetSTRINGMax(Id(E::NewConnectionDeviceID), deviceID != nullptr ? deviceID : "");
        // OPC's IDs fill this event: an invalid one is traced and skipped, the ID changes.
        if (Clients().ValidateMessage("CTICSTAConnection::Reclassify", msg))
            m_Device->WriteMSG(msg, nullptr);
    }
    SetOPCDevice(type, deviceIDType, deviceID);
}

void CTICSTAConnection::WriteMSG(BaseMSG& msg, bool setState, bool passConnection) {
    if (m_Device == nullptr) return;
    const bool verbose = Server().VerboseLevel() == 2;
    if (verbose)
        EMSTraceMessage("CTICSTAConnection::WriteMSG - Connection ( CallID = %ld, OPCDeviceID = "
                        "%s, OPCDeviceIDType = %d State = %s ConnetionObj = 0x%x) Device "
                        "(DeviceID = %s, DeviceIDType = %s, DeviceObj = 0x%x)",
                        static_cast<long>(m_Call != nullptr ? static_cast<int32_t>(m_Call->m_CallID) : -1),
                        m_OPCDeviceID, m_OPCDeviceIDType,
                        CSTALocalConnectionStateText(m_LocalConnectionState),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)),
                        m_Device->m_DeviceID.c_str(),
                        CTICSTADevice::DeviceTypeName(m_Device->m_DeviceType),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_Device)));
    if (!m_Device->IsKnownDeviceType()) {
        if (verbose) EMSTraceMessage("CTICSTAConnection::WriteMSG - DeviceType UNKNOWN");
        return;
    }
    if (setState && HasElement(msg, E::LocalConnectionState))
        msg.SetUSHORT(Id(E::LocalConnectionState), static_cast<uint16_t>(m_LocalConnectionState));
    m_Device->WriteMSG(msg, passConnection ? this : nullptr);
}

std::string CTICSTAConnection::FindCTICSTAAgent() {
    if (m_Device == nullptr) return {};
    // No agent sits at a device yet.
    EMSTraceMessage("CTICSTAConnection::FindCTICSTAAgent,agentID not found via extension : %s",
                    m_Device->m_Extension.c_str());
    return {};
}

CTICSTAConnection* SetConnection(CTICSTADevice* device, Call* call, int32_t state, int32_t type,
                                 int32_t deviceIDType, const char* deviceID, const char* hint,
                                 bool& changed) {
    if (device == nullptr) return nullptr;
    ServerLockGuard guard(ServerLock());
    const bool snapshot = hint != nullptr && strcmp(hint, "VerifySnapshot") == 0;
    CTICSTAConnection* c = device->FindCallConnection(call);
    if (c == nullptr) {
        if (type == 1 || type == 2) {
            c = CTICSTAConnection::Alloc(device, call, state, type, deviceIDType, deviceID, hint);
        } else if (type == 3 && snapshot) {
            EMSTraceMessage("***SetConnection() - new connection Created (Hint=%s)", hint);
            c = CTICSTAConnection::Alloc(device, call, state, 3, deviceIDType, deviceID, hint);
        }
        changed = true;
        return c;
    }
    if (type == 1 || type == 2 || (type == 3 && snapshot)) {
        if (c->m_ConnectionType == 1 || c->m_ConnectionType == 2) {
            if (static_cast<uint16_t>(c->m_OPCDeviceIDType) != static_cast<uint16_t>(deviceIDType) ||
                strcmp(c->m_OPCDeviceID, deviceID != nullptr ? deviceID : "") != 0)
                c->Reclassify(type, call != nullptr ? call->m_CallID : 0xFFFFFFFF, deviceIDType,
                              deviceID);
        } else {
            c->SetOPCDevice(type, deviceIDType, deviceID);
        }
    }
    if (state != c->m_LocalConnectionState && !changed) changed = true;
    c->SetState(state, hint);
    return c;
}

// ---- texts ----

std::string CTICSTAConnection::GetFlagsText() const {
    std::string text;
    if (m_Flags & 1) text += "Wrap";
    if (m_Flags & 2) text += " Dup ";
    return text;
}

std::string CTICSTAConnection::GetOPCIDText() const {
    if (m_ConnectionType == 0) return "NONE";
    const char* kind = m_ConnectionType == 1 ? "SRC" : m_ConnectionType == 2 ? "DEST" : "SOFT";
    return Format("%s %s(%c)", kind, m_OPCDeviceID, m_OPCDeviceIDType == 0 ? 's' : 'd');
}

void CTICSTAConnection::GetDumpString(std::string& out) const {
    AppendF(out,
                 "     Connection: Device=(%s)%s State=%s Flags=%s OPCid=%s Hint=%s "
                 "SubjectDeviceID=%s\n",
                 m_Device != nullptr ? CTICSTADevice::DeviceTypeName(m_Device->m_DeviceType)
                                     : "Dynamic",
                 m_Device != nullptr ? m_Device->m_DeviceID.c_str() : "",
                 CSTALocalConnectionStateText(m_LocalConnectionState), GetFlagsText().c_str(),
                 GetOPCIDText().c_str(), m_Hint.c_str(), m_SubjectDeviceID);
}

void CTICSTAConnection::GetDeviceDumpString(std::string& out) const {
    AppendF(out,
                 "     Connection: CallID=%d State=%s Flags=%s OPCid=%s Hint=%s "
                 "SubjectDevice=%s \n",
                 m_Call != nullptr ? static_cast<int32_t>(m_Call->m_CallID) : -1,
                 CSTALocalConnectionStateText(m_LocalConnectionState), GetFlagsText().c_str(),
                 GetOPCIDText().c_str(), m_Hint.c_str(), m_SubjectDeviceID);
}

void CTICSTAConnection::TraceConnectionstate() const {
    if (m_Hint.empty() && m_LocalConnectionState == -1) {
        EMSTraceMessage("CTICSTAConnection::TraceConnectionstate invalid connection object, "
                        "returning");
        return;
    }
    StateTrace("    %s -> (%s)%s [OPC: %s] Flags=%s ... %s",
               StateNameWithoutPrefix(m_LocalConnectionState),
               m_Device != nullptr ? CTICSTADevice::DeviceTypeName(m_Device->m_DeviceType)
                                   : "Dynamic",
               m_Device != nullptr ? m_Device->m_DeviceID.c_str() : "Unknown",
               GetOPCIDText().c_str(), GetFlagsText().c_str(), m_Hint.c_str());
}

void CTICSTAConnection::TraceDeviceConnection() const {
    StateTrace("    %s -> (CallID)%d [OPC: %s] Flags=%s ... %s",
               StateNameWithoutPrefix(m_LocalConnectionState),
               m_Call != nullptr ? static_cast<int32_t>(m_Call->m_CallID) : -1,
               GetOPCIDText().c_str(), GetFlagsText().c_str(), m_Hint.c_str());
}
