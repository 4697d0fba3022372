// The end of parties and calls: a connection cleared (OPC says whether the call must end, must
// persist, or leaves it to us) and a call cleared.
#include <cstdint>
#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "nuvlib/ems.h"
#include "parlo/app/cstaeventbody.h"
#include "parlo/app/cstaintake.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/instrument.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

namespace {

constexpr int32_t kNull = 0;
constexpr int32_t kRedirected = 28;      // EC_REDIRECTED
constexpr uint32_t kWrapupKept = 0x1;    // connection flag: kept for the agent's wrap-up

// The call's reference identity as the events' ConnectionID.
ConnectionID ReferenceConnection(Call* call) {
    ConnectionID id;
    id.callID = static_cast<int32_t>(call->m_CallID);
    id.deviceIDType = call->GetCallConnectionDeviceIDType();
    const std::string device = call->GetCallConnectionDeviceID();
    device.copy(id.deviceID, sizeof id.deviceID - 1);
    return id;
}

// CALL_CLEARED_EVENT of the call, with the connection of `connection`, passed on to each
// device's monitors with its connection.
void SendCallCleared(const CallEventFrame& frame, const ConnectionID& connection, int32_t lcs, int32_t cause) {
    if (auto msg = frame.NewEvent<CallClearedEventMSG>(connection)) {
        cstaevent::SetStateAndCause(*msg, lcs, cause);
        frame.Distribute(*msg, true, true);
    }
}

const char* CallActionText(int32_t action) {
    return action == 0 ? "must clear" : action == 1 ? "must persist" : "unknown";
}

// Whether an agent's line still carries the call at the connection's device.
bool AgentLineCarries(CTICSTAConnection* connection, uint32_t callID) {
    model::ServerLockGuard guard(model::ServerLock(), "ProcessConnectionClearedEvent");
    Agent* agent = connection->m_Device != nullptr ? connection->m_Device->GetAgent() : nullptr;
    return agent != nullptr && agent->m_Instrument->FindLineByCallID(static_cast<int32_t>(callID)) != nullptr;
}

}  // namespace

void CTIApplication::ProcessCallClearedEvent(const CSTAMessage& m) {
    CallEventFrame frame(*this, m, "ProcessCallClearedEvent");
    if (frame.AreaTraceOn())
        EMSTraceMessage("ProcessCallClearedEvent -  peripheralID %d CallID %d", static_cast<int>(m.PeripheralID()),
                        m.CallID());
    if (m.MRDomainID() != 1) {
        // Task events of the non-voice domains have their own road.
        ProcessLaterCSTAEvent(m);
        return;
    }
    ConnectionID connection = cstaevent::MainConnection(m);
    int32_t lcs = cstaevent::BodyWord(m, cstabody::kOneIdLCS), cause = cstaevent::BodyWord(m, cstabody::kOneIdCause);
    frame.Sanitize(&connection, &lcs, &cause);

    const auto clear = [&](Call* call) {
        frame.UseCall(call);
        if (call->JoinedCall() != nullptr) call->Unjoin();
        call->ClearAllConnections(cause);
        if (!call->IsCleared()) SendCallCleared(frame, connection, lcs, cause);
        call->ClearCall(cause);
        frame.Finish("cleared");
    };
    const auto peripheralID = m.PeripheralID();
    const auto callID = static_cast<uint32_t>(m.CallID());
    const std::string mainID = m.MainDeviceID();
    if (Call* deactivated = Call::FindCall(peripheralID, callID, m.ConnectionDeviceIDType(), mainID.c_str(), 2)) {
        clear(deactivated);
        return;
    }
    // Every active call with this CallID, whatever its devices. A call that stays active
    // after clearing would be found again: stop there rather than loop.
    Call* previous = nullptr;
    while (Call* call = Call::FindCall(peripheralID, callID, -2, "", 1)) {
        if (call == previous) break;
        clear(call);
        previous = call;
    }
}

void CTIApplication::ProcessConnectionClearedEvent(const CSTAMessage& m) {
    CallEventFrame frame(*this, m, "ProcessConnectionClearedEvent");
    const int32_t callAction = cstaevent::Area(m, 32);
    if (frame.AreaTraceOn()) EMSTraceMessage(" callAction=%s", CallActionText(callAction));
    ConnectionID dropped = cstaevent::MainConnection(m);
    int32_t lcs = cstaevent::BodyWord(m, cstabody::kTwoIdLCS), cause = cstaevent::BodyWord(m, cstabody::kTwoIdCause);
    frame.Sanitize(&dropped, &lcs, &cause);
    const CSTAExtendedDeviceID releasing = cstaevent::Device(m, cstabody::kSecond);
    CTICSTADevice* releasingDevice = frame.FindDevice(releasing, "connectionCleared->releasingDevice", false);

    const std::string mainID = m.MainDeviceID();
    Call* call = Call::FindCall(m.PeripheralID(), static_cast<uint32_t>(m.CallID()), m.ConnectionDeviceIDType(),
                                mainID.c_str(), 1);
    if (call == nullptr) {
        if (callAction != -1)
            EMSTraceMessage("*** ProcessConnectionClearedEvent - Periph %d CallID %s not found ***",
                            static_cast<int>(m.PeripheralID()), frame.ConnectionText().c_str());
        return;
    }
    frame.UseCall(call);
    const bool traceState = IsCallstateTraceOn();
    bool stateTraced = false;
    if (traceState) {
        call->TraceCallState();
        stateTraced = true;
    }
    uint16_t referenceType = call->GetCallConnectionDeviceIDType();
    std::string referenceID = call->GetCallConnectionDeviceID();

    CTICSTAConnection* connection = releasingDevice != nullptr ? call->FindConnection(releasingDevice) : nullptr;
    const bool verbose = model::Server().VerboseLevel() >= 1;
    if (connection != nullptr) {
        if (verbose)
            EMSTraceMessage("ProcessConnectionClearedEvent - Found a valid connection using releasing device pointer "
                            "for CallID %s",
                            frame.ConnectionText().c_str());
    } else if ((connection = call->FindConnectionByDeviceID(static_cast<int32_t>(dropped.deviceIDType),
                                                            dropped.deviceID, 1, false)) != nullptr) {
        if (verbose)
            EMSTraceMessage("ProcessConnectionClearedEvent - Found a valid OPC connection using device ID and device "
                            "Type for CallID %s",
                            frame.ConnectionText().c_str());
    } else {
        EMSTraceMessage("*** ProcessConnectionClearedEvent - Periph %d CallID %s Connection %s not found ***",
                        static_cast<int>(m.PeripheralID()), frame.ConnectionText().c_str(), dropped.deviceID);
        if (!stateTraced) call->TraceCallState();
    }

    bool suppressed = false;
    CTICSTAConnection* duplicate = nullptr;
    if (connection != nullptr) {
        duplicate = call->FindDuplicateConnection(connection);
        if (duplicate != nullptr && duplicate->m_LocalConnectionState != kNull)
            duplicate->SetState(kNull, "clearedConnection");
        // Already cleared: its clients heard of it.
        if (connection->m_LocalConnectionState == kNull)
            suppressed = true;
        else
            connection->SetState(kNull, "clearedConnection");
    }

    bool ends = false;
    if (callAction == 0)
        ends = true;
    else if (callAction != 1)
        ends = call->ActiveConnections() < 2 && cause != kRedirected;
    if (!ends && cause != kRedirected) call->NotifyReferenceConnectionUpdate(referenceType, referenceID);

    if (!suppressed) {
        if (auto msg = frame.NewEvent<CallConnectionClearedEventMSG>(dropped)) {
            CopyDeviceIDToMSG(releasing, *msg, elementid::ReleasingDeviceType, elementid::ReleasingDeviceID);
            cstaevent::SetStateAndCause(*msg, lcs, cause);
            frame.Distribute(*msg, true, false);
        }
    }

    const char* lastEvent = nullptr;
    if (ends) {
        call->ClearAllConnections(cause);
        SendCallCleared(frame, ReferenceConnection(call), kNull, cause);
        call->ClearCall(cause);
        lastEvent = "last connection cleared";
    } else if (connection != nullptr) {
        if (AgentLineCarries(connection, call->m_CallID)) {
            EMSTraceMessage("CTIApplication::ProcessConnectionClearedEvent - Setting wrapup for the dest connection. "
                            "Num of device connection = %d",
                            connection->m_Device->GetNumConnections());
            connection->m_Flags |= kWrapupKept;
        }
        if ((connection->m_Flags & kWrapupKept) == 0) {
            if (cause == kRedirected) call->UpdateCallOnRedirect(connection);
            CTICSTAConnection::Free(connection);
        }
        if (duplicate != nullptr) CTICSTAConnection::Free(duplicate);
        lastEvent = "connection cleared";
    }
    if (lastEvent != nullptr)
        frame.Finish(lastEvent);
    else if (traceState)
        call->TraceCallState();
}
