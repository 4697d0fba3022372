// The rest of a call's connection work: finders by kind, agent data, updates from events,
// clearing with the wrap-up rule, redirects and duplicates.
#include <cstdlib>
#include <cstring>

#include "ctimsg/basemsg.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

using namespace model;

namespace {

bool SameOPCID(const CTICSTAConnection* c, int type, const char* id) {
    return static_cast<uint16_t>(c->m_OPCDeviceIDType) == static_cast<uint16_t>(type) &&
           strcmp(c->m_OPCDeviceID, id != nullptr ? id : "") == 0;
}

// The agent at the connection's device, or null.
Agent* AgentAt(const CTICSTAConnection* c) {
    if (c == nullptr || c->m_Device == nullptr) return nullptr;
    return static_cast<Agent*>(c->m_Device->m_Agent);
}

bool HasInstrument(const Agent* agent) { return agent->m_Instrument != nullptr; }

// The lines of the agent's instrument, lowest index first.
template <class Fn>
const Line* FirstLine(const Agent* agent, Fn fits) {
    for (int i = 0; i < Instrument::kNumLines; ++i)
        if (const Line* line = agent->m_Instrument->GetLine(i); line != nullptr && fits(*line))
            return line;
    return nullptr;
}

bool Verbose() { return Server().VerboseLevel() == 1; }

}  // namespace

// ---- finders ----

CTICSTAConnection* Call::FindOtherConnection(CTICSTAConnection* connection) {
    CTICSTAConnection* newestOther = nullptr;
    for (auto* c = static_cast<CTICSTAConnection*>(m_ConnectionList.Last()); c != nullptr;
         c = static_cast<CTICSTAConnection*>(m_ConnectionList.Previous(c))) {
        if (c == connection) continue;
        if (c->IsActive()) return c;
        if (newestOther == nullptr) newestOther = c;
    }
    return newestOther;
}

CTICSTAConnection* Call::FindDevicelessConnection(int type) {
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (c->m_ConnectionType == type && c->m_Device == nullptr) return c;
    return nullptr;
}

CTICSTAConnection* Call::FindDuplicateConnection(CTICSTAConnection* connection) {
    if (connection == nullptr || !Server().RemoveCGDuplicateConnections()) return nullptr;
    const uint32_t ctiType = ConvertPeripheralType(m_PeripheralType);
    if (ctiType != 17 && ctiType != 20 && ctiType != 23) return nullptr;
    if (!connection->IsActive()) return nullptr;
    for (auto* c = static_cast<CTICSTAConnection*>(m_ConnectionList.Last()); c != nullptr;
         c = static_cast<CTICSTAConnection*>(m_ConnectionList.Previous(c))) {
        if (c == connection || !c->IsActive()) continue;
        if (!SameOPCID(c, connection->m_OPCDeviceIDType, connection->m_OPCDeviceID)) continue;
        if ((c->m_Flags & 2) || (connection->m_Flags & 2)) return c;
    }
    return nullptr;
}

bool Call::HasDeviceConnection(const char* deviceID) {
    if (deviceID == nullptr) return false;
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (AgentAt(c) != nullptr && c->m_Device->m_DeviceID == deviceID) return true;
    return false;
}

int Call::NumAgentConnections() {
    int n = 0;
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (IsCounted(c) && AgentAt(c) != nullptr) ++n;
    return n;
}

std::string Call::GetAgentDeviceID() {
    for (auto* c = static_cast<CTICSTAConnection*>(m_ConnectionList.Last()); c != nullptr;
         c = static_cast<CTICSTAConnection*>(m_ConnectionList.Previous(c)))
        if (c->IsActive() && AgentAt(c) != nullptr) return c->m_Device->m_DeviceID;
    return {};
}

int Call::GetLineNumber(uint32_t callID) {
    const int32_t id = static_cast<int32_t>(callID);
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c)) {
        const Agent* agent = AgentAt(c);
        if (agent == nullptr || !HasInstrument(agent)) continue;
        if (const Line* line = FirstLine(agent, [id](const Line& l) {
                return l.m_CallID == id && l.m_LineNumber != 0;
            }))
            return line->m_LineNumber;
    }
    return 0;
}

int Call::GetLineType(uint32_t callID) {
    const int32_t id = static_cast<int32_t>(callID);
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c)) {
        const Agent* agent = AgentAt(c);
        if (agent == nullptr || !HasInstrument(agent)) continue;
        if (const Line* line = FirstLine(agent, [id](const Line& l) {
                return l.m_CallID == id && l.m_LineType != 3;
            }))
            return line->m_LineType;
    }
    return 3;
}

void Call::GetConnectionIDtoAnswer(uint16_t& type, std::string& id) {
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (c->m_ConnectionType == 1 && c->IsActiveNotAlerting() && SameOPCID(c, type, id.c_str()))
            return;
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (c->IsActiveNotAlerting() && SameOPCID(c, type, id.c_str())) return;
    if (CTICSTAConnection* ref = GetReferenceConnection()) {
        type = static_cast<uint16_t>(ref->m_OPCDeviceIDType);
        id = ref->m_OPCDeviceID;
        return;
    }
    std::string text;
    AppendConnectionIDText(text, m_CallID, static_cast<int16_t>(type), id.c_str());
    EMSTraceMessage(
        "*** Call::GetConnectionIDtoAnswer - unable to determine ALERTING source connectionID "
        "for %s ***",
        text.c_str());
}

// ---- changes ----

CTICSTAConnection* Call::UpdateConnection(int32_t state, int32_t type, int32_t deviceIDType,
                                          const char* deviceID, const char* hint, bool exact) {
    if (deviceID == nullptr) deviceID = "";
    ServerLockGuard guard(ServerLock());
    if (state != 2) {
        if (CTICSTAConnection* c = FindConnectionByDeviceID(deviceIDType, deviceID, 1, exact)) {
            c->SetState(state, hint);
            return c;
        }
        if (!exact && (type == 1 || type == 2)) {
            for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c)) {
                if (c->m_LocalConnectionState != 2 || c->m_Device != nullptr) continue;
                c->SetOPCDevice(type, deviceIDType, deviceID);
                c->SetState(state, hint);
                return c;
            }
        }
    }
    if (type != 1 && type != 2) return nullptr;
    return CTICSTAConnection::Alloc(nullptr, this, state, type, deviceIDType, deviceID, hint);
}

void Call::ClearAlertingConnections(CTICSTAConnection* keep) {
    ServerLockGuard guard(ServerLock());
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (c != keep && c->m_LocalConnectionState == 2) c->SetState(0, nullptr);
}

void Call::ClearQueuedConnections() {
    ServerLockGuard guard(ServerLock());
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr; c = NextConnection(c))
        if (c->m_LocalConnectionState == 5) c->SetState(0, nullptr);
}

namespace {
template <class Pred>
void FreeWhere(Call* call, Pred pred) {
    ServerLockGuard guard(ServerLock());
    CTICSTAConnection* c = call->FirstConnection();
    while (c != nullptr) {
        CTICSTAConnection* next = call->NextConnection(c);
        if (pred(c)) CTICSTAConnection::Free(c);
        c = next;
    }
}
}  // namespace

void Call::RemoveQueuedConnections() {
    FreeWhere(this, [](CTICSTAConnection* c) { return c->m_LocalConnectionState == 5; });
}

void Call::RemoveInactiveConnections() {
    FreeWhere(this, [](CTICSTAConnection* c) {
        return !c->IsActive() && !(c->m_LocalConnectionState == 6 && c->m_ConnectionType == 1);
    });
}

void Call::RemoveAllConnections() {
    FreeWhere(this, [](CTICSTAConnection*) { return true; });
}

bool Call::KeepForWrapup(uint16_t type, const std::string& id, const char* end) {
    CTICSTAConnection* c = FindConnectionByDeviceID(type, id.c_str(), 1, true);
    if (c == nullptr) return false;
    const char* missing = nullptr;
    const Agent* agent = AgentAt(c);
    if (c->m_Device == nullptr)
        missing = "device";
    else if (agent == nullptr)
        missing = "agent";
    else if (!HasInstrument(agent))
        missing = "instrument";
    else if (agent->m_Instrument->FindLineByCallID(static_cast<int32_t>(m_CallID)) == nullptr)
        missing = "valid line";
    if (missing != nullptr) {
        if (Verbose())
            EMSTraceMessage(
                "Call::ClearAllConnections -  No %s found for the %s OPC connection for CallID "
                "(%d)",
                missing, end, static_cast<int32_t>(m_CallID));
        return false;
    }
    c->m_Flags |= 1;
    if (Verbose())
        EMSTraceMessage(
            "Call::ClearAllConnections - Setting wrapup for the %s connection. Num of device "
            "connection = %d",
            end, c->m_Device->GetNumConnections());
    return true;
}

void Call::ClearAllConnections(int cause) {
    ServerLockGuard guard(ServerLock());
    if (!KeepForWrapup(m_DestDeviceIDType, m_DestDeviceID, "dest"))
        (void)KeepForWrapup(m_SrcDeviceIDType, m_SrcDeviceID, "source");
    if (Verbose())
        EMSTraceMessage(
            "Call::ClearAllConnections -  No of connections in the connection list for CallID "
            "(%d) = %d",
            static_cast<int32_t>(m_CallID), m_ConnectionList.Count());
    CTICSTAConnection* c = FirstConnection();
    while (c != nullptr) {
        CTICSTAConnection* next = NextConnection(c);
        if (!c->IsActive()) {
            if (Verbose())
                EMSTraceMessage(
                    "Call::ClearAllConnections - Found an inactive connection pointer in the "
                    "connection list");
        } else {
            c->SetState(0, "clear all");
            if (Server().IsServerActive()) {
                SendConnectionCleared(c, static_cast<uint16_t>(cause), "Call::ClearAllConnections", this);
            }
        }
        if (Agent* agent = AgentAt(c)) {
            if (m_PeripheralType == 27) {
                if (c->m_OPCDeviceID[0] != '\0') {
                    // OPC's ID is "instrument.line": the line number follows the first dot.
                    const char* dot = strchr(c->m_OPCDeviceID, '.');
                    const int line = dot != nullptr ? atoi(dot + 1) : 0;
                    agent->RemoveCallFromLineAt(static_cast<int32_t>(m_CallID), line);
                }
            } else {
                if (Verbose())
                    EMSTraceMessage(
                        "Call::ClearAllConnections - Removing the call from the Agent instrument");
                agent->RemoveCallFromLine(static_cast<int32_t>(m_CallID));
            }
        } else if (Verbose()) {
            EMSTraceMessage(c->m_Device == nullptr
                                ? "Call::ClearAllConnections - Found an invalid device for the "
                                  "connection"
                                : "Call::ClearAllConnections - Found an invalid agent for the "
                                  "connection");
        }
        if (c->m_Flags & 1) {
            if (Verbose())
                EMSTraceMessage(
                    "Call::ClearAllConnections - Connection is in wrapup state, not freeing the "
                    "connection");
        } else {
            CTICSTAConnection::Free(c);
        }
        c = next;
    }
}

void Call::UpdateCallOnRedirect(CTICSTAConnection* connection) {
    if (connection == nullptr) return;
    if (m_SrcDeviceIDType == static_cast<uint16_t>(connection->m_OPCDeviceIDType) &&
        m_SrcDeviceID == connection->m_OPCDeviceID) {
        SetSrcDeviceID(0xFFFF, "BLIND_CONNECTION");
    } else if (connection->m_ConnectionType == 1) {
        EMSTraceMessage(
            "Call::UpdateCallOnRedirect - Call %d source connection redirected but srcdevice not "
            "matched",
            static_cast<int32_t>(m_CallID));
        TraceCallState();
    }
}

void Call::SendConnectionCleared(const CTICSTAConnection* c, uint16_t cause, const char* caller, Call* via) {
    CallConnectionClearedEventMSG msg;
    msg.SetUINT(Id(E::MonitorID), 0);
    msg.SetUINT(Id(E::CTIPeripheralID), m_PeripheralID);
    msg.SetUSHORT(Id(E::PeripheralType), static_cast<uint16_t>(ConvertPeripheralType(m_PeripheralType)));
    msg.SetUSHORT(Id(E::ConnectionDeviceIDType), static_cast<uint16_t>(c->m_OPCDeviceIDType));
    msg.SetSTRINGMax(Id(E::ConnectionDeviceID), c->m_OPCDeviceID);
    msg.SetUINT(Id(E::ConnectionCallID), m_CallID);
    msg.SetUSHORT(Id(E::ReleasingDeviceType),
                  c->m_Device != nullptr ? static_cast<uint16_t>(c->m_Device->m_DeviceType) : 0xFFFF);
    msg.SetUSHORT(Id(E::LocalConnectionState), 0);
    msg.SetUSHORT(Id(E::EventCause), cause);
    if (c->m_Device != nullptr) msg.SetSTRINGMax(Id(E::ReleasingDeviceID), c->m_Device->m_DeviceID);
    if (Clients().ValidateMessage(caller, msg)) via->WriteMSG(msg, true, false);
}
