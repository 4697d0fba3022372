// Client call-control requests on one road (callroad.h): the road itself and the requests
// that name only connections. The call-data requests are in calldata.cpp, the requests that
// name an agent in supervisorreqs.cpp.
#include <cstring>
#include <string>
#include <utility>

#include "ctimsg/elementids.h"
#include "ctimsg/failurecodes.h"
#include "ctimsg/servicemask.h"
#include "ctimsg/valuenames.h"
#include "opcmsg/cstarequests.h"
#include "parlo/app/appport.h"
#include "parlo/app/callhelpers.h"
#include "parlo/app/callroad.h"
#include "parlo/app/clientcb.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/session/session.h"

namespace callroad {
namespace {

constexpr int kActiveCallsOnly = 1;  // Call::FindCall mode
constexpr uint32_t kRequestingDeviceVersion = 14;

bool DropAnyPartyEnabled(const CTIApplication& app) {
    const CTIRegistry* registry = app.GetRegistry();
    return registry != nullptr && registry->Dynamic(CTIRegistry::DropAnyPartyEnabled) != 0;
}

// The refusal of a connection that a look-up did not find although its call is known.
bool Unfound(const Connection& c) { return !c.found && c.callKnown != 0; }

// ---------------------------------------------------------------- the requests

Verdict AlternateCall(CallRequest& r) {
    const Connection active = r.Look(el::ActiveConnCallID, el::ActiveConnDeviceIDType, el::ActiveConnDeviceID, kConnected);
    const Connection other = r.Look(el::OtherConnCallID, el::OtherConnDeviceIDType, el::OtherConnDeviceID, kAlertingOrHeld);
    if (Unfound(active) || Unfound(other)) return Refuse(kInvalidCall);
    const std::string instrument = r.SettleInstrument(active.call, "AlternateCallRequest");
    OPCReq* record = r.Open();
    auto request = r.Make<TPCSTAAlternateCallMsg>(record);
    request.SetActiveCall(static_cast<int32_t>(active.callID), active.deviceID.c_str(), active.type);
    request.SetOtherCall(static_cast<int32_t>(other.callID), other.deviceID.c_str(), other.type);
    if (r.agentMode) request.SetPDAnsweringDevice(instrument.c_str());
    return r.Send(record, request);
}

Verdict AnswerCall(CallRequest& r) {
    std::string instrument = r.instrument;
    if (instrument.empty() && r.agentMode) instrument = r.client.GetAgentInstrument();
    Connection c = r.Named(el::ConnectionCallID, el::ConnectionDeviceIDType, el::ConnectionDeviceID);
    const char* lookup = instrument.empty() ? nullptr : instrument.c_str();
    // The instrument of a found connection when none is settled yet: its device's, or the
    // default of its call for a connection without a device.
    auto instrumentOf = [&](const CTICSTAConnection* connection) {
        if (!instrument.empty()) return;
        if (connection->m_Device != nullptr)
            instrument = connection->m_Device->m_DeviceID;
        else
            DefaultCallInstrument(connection->m_Call, instrument, "AnswerCallRequest");
    };
    Call* call = nullptr;
    int callKnown = 0;
    CTICSTAConnection* found = r.app.FindConnection(&r.client, r.peripheralID, c.callID, c.type,
                                                    c.deviceID.c_str(), lookup, kAlerting, &callKnown);
    if (found == nullptr && callKnown != 0 && !(c.callID == kNoCall && !instrument.empty())) {
        // Known call: look again at the instrument as the device.
        found = r.app.FindConnection(&r.client, r.peripheralID, c.callID, c.type, instrument.c_str(), lookup,
                                     kAlerting, &callKnown);
        if (found == nullptr) {
            if (ClientCB::IsTraceOn(&r.client, ClientCB::kTraceSession))
                EMSTraceMessage("ProcessAnswerCallRequest - Couldn't find call object by connection. Trying to "
                                "find by callid=%ld",
                                static_cast<long>(static_cast<int32_t>(c.callID)));
            call = Call::FindCall(r.peripheralID, c.callID, c.type, instrument.c_str(), kActiveCallsOnly);
            if (call == nullptr) return Refuse(kInvalidCall);
        }
    }
    if (found != nullptr) {
        c.Take(found);
        call = found->m_Call;
        instrumentOf(found);
    }
    if (call != nullptr) {
        uint16_t type = static_cast<uint16_t>(c.type);
        call->GetConnectionIDtoAnswer(type, c.deviceID);
        c.type = static_cast<int16_t>(type);
    }
    OPCReq* record = r.Open();
    auto request = r.Make<TPCSTAAnswerCallMsg>(record);
    request.SetAlertingCall(static_cast<int32_t>(c.callID), c.deviceID.c_str(), c.type);
    if (!instrument.empty()) request.SetPDAnsweringDevice(instrument.c_str());
    return r.Send(record, request);
}

Verdict ClearCall(CallRequest& r) {
    Connection c = r.Named(el::ConnectionCallID, el::ConnectionDeviceIDType, el::ConnectionDeviceID);
    r.Find(c, kConnected, r.LookupInstrument());
    if (Unfound(c)) r.Find(c, kAny, r.LookupInstrument());
    if (Unfound(c)) return Refuse(kInvalidCall);
    const std::string instrument = r.SettleInstrument(c.call, "ClearCallRequest");
    OPCReq* record = r.Open();
    record->PrivateCallFlags = c.call != nullptr && c.call->IsPrivate() ? 1 : 0;
    record->PeripheralID = r.peripheralID;
    record->CallID = c.callID;
    auto request = r.Make<TPCSTAClearCallMsg>(record);
    request.SetCall(static_cast<int32_t>(c.callID), c.deviceID.c_str(), c.type);
    request.SetPDSubjectDevice(instrument.c_str());
    return r.Send(record, request);
}

Verdict ClearConnection(CallRequest& r) {
    Connection c = r.Named(el::ConnectionCallID, el::ConnectionDeviceIDType, el::ConnectionDeviceID);
    const int16_t namedType = c.type;
    uint32_t failure = 0;
    r.FindRequest(c, kConnected, &failure);
    if (Unfound(c)) r.FindRequest(c, kAny, &failure);
    if (!c.found && (c.callKnown != 0 || failure != 0)) return Refuse(failure != 0 ? failure : kInvalidConnection);
    const bool dropAnyParty = DropAnyPartyEnabled(r.app);
    const bool uncontrolled = namedType == 1 && c.found && c.call != nullptr &&
                              (c.call->m_SrcDeviceIDType == 1 || (c.type == 1 && dropAnyParty));
    // A dynamic device may be dropped only when the registry allows any party.
    if (c.type == 1 && !dropAnyParty) return Refuse(kDropAnyPartyOff);
    const std::string instrument = r.SettleInstrument(c.call, "ClearConnectionRequest");
    OPCReq* record = r.Open();
    record->PrivateCallFlags = c.call != nullptr && c.call->IsPrivate() ? 1 : 0;
    record->UncontrolledDrop = uncontrolled ? 1 : 0;
    record->PeripheralID = r.peripheralID;
    record->CallID = c.callID;
    record->DeviceIDType = static_cast<uint32_t>(static_cast<int32_t>(c.type));
    record->DeviceID = c.deviceID;
    auto request = r.Make<TPCSTAClearConnectionMsg>(record);
    request.SetCall(static_cast<int32_t>(c.callID), c.deviceID.c_str(), c.type);
    request.SetPDSubjectDevice(instrument.c_str());
    const Verdict sent = r.Send(record, request, "", dropAnyParty || c.type == 0);
    const bool traced = (EMSGetTraceMask() & tracebit::TR_PROC_6) != 0;
    if (r.client.GetVersion() < kRequestingDeviceVersion) {
        if (uncontrolled && traced) EMSTraceMessage("Uncontrolled device %s is being dropped", c.deviceID.c_str());
    } else {
        const std::string requesting = r.Text(el::RequestingDeviceID);
        if (!requesting.empty() && requesting != "-1" && traced) {
            EMSTraceMessage("The device requesting drop is %s", requesting.c_str());
            EMSTraceMessage("The device type requesting drop is %s",
                            DeviceIDTypeName(static_cast<int16_t>(r.msg.GetUSHORT(el::RequestingDeviceIDType))));
        }
    }
    return sent;
}

Verdict DeflectCall(CallRequest& r) {
    Connection c = r.Named(el::ConnectionCallID, el::ConnectionDeviceIDType, el::ConnectionDeviceID);
    r.Find(c, kAlerting, r.LookupInstrument());
    if (Unfound(c)) return Refuse(kInvalidCall);
    const std::string instrument = r.SettleInstrument(c.call, "DeflectCallRequest");
    OPCReq* record = r.Open();
    auto request = r.Make<TPCSTADeflectCallMsg>(record);
    request.SetDeflectCall(static_cast<int32_t>(c.callID), c.deviceID.c_str(), c.type);
    request.SetCalledDevice(r.Text(el::CalledDeviceID).c_str());
    request.SetPDAgentInstrument(instrument.c_str());
    return r.Send(record, request);
}

Verdict HoldCall(CallRequest& r) {
    Connection c = r.Named(el::ConnectionCallID, el::ConnectionDeviceIDType, el::ConnectionDeviceID);
    uint32_t failure = 0;
    r.FindRequest(c, kConnected, &failure);
    if (!c.found && (c.callKnown != 0 || failure != 0)) return Refuse(failure != 0 ? failure : kInvalidConnection);
    (void)r.SettleInstrument(c.call, "HoldCallRequest");
    OPCReq* record = r.Open();
    auto request = r.Make<TPCSTAHoldCallMsg>(record);
    request.SetActiveCall(static_cast<int32_t>(c.callID), c.deviceID.c_str(), c.type);
    request.SetReservation(r.msg.GetBOOL(el::Reservation) != 0 ? 1 : 0);
    return r.Send(record, request);
}

Verdict ReconnectCall(CallRequest& r) {
    const Connection active = r.Look(el::ActiveConnCallID, el::ActiveConnDeviceIDType, el::ActiveConnDeviceID, kConnected);
    const Connection held = r.Look(el::HeldConnCallID, el::HeldConnDeviceIDType, el::HeldConnDeviceID, kHeld);
    if (Unfound(active) || Unfound(held)) return Refuse(kInvalidCall);
    OPCReq* record = r.Open();
    auto request = r.Make<TPCSTAReconnectCallMsg>(record);
    request.SetActiveCall(static_cast<int32_t>(active.callID), active.deviceID.c_str(), active.type);
    request.SetHeldCall(static_cast<int32_t>(held.callID), held.deviceID.c_str(), held.type);
    return r.Send(record, request);
}

Verdict RetrieveCall(CallRequest& r) {
    Connection c = r.Named(el::HeldConnCallID, el::HeldConnDeviceIDType, el::HeldConnDeviceID);
    uint32_t failure = 0;
    r.FindRequest(c, kHeld, &failure);
    if (!c.found) {
        if (ClientCB::IsTraceOn(&r.client, ClientCB::kTraceSession))
            EMSTraceMessage("ProcessRetrieveCallRequest - Couldn't find call object by connection. Trying to find "
                            "by callid=%ld",
                            static_cast<long>(static_cast<int32_t>(c.callID)));
        c.call = Call::FindCall(r.peripheralID, c.callID, c.type, r.instrument.c_str(), kActiveCallsOnly);
        if (c.call == nullptr && (c.callKnown != 0 || failure != 0))
            return Refuse(failure != 0 ? failure : kInvalidConnection);
    }
    (void)r.SettleInstrument(c.call, "RetrieveCallRequest");
    OPCReq* record = r.Open();
    auto request = r.Make<TPCSTARetrieveCallMsg>(record);
    request.SetHeldCall(static_cast<int32_t>(c.callID), c.deviceID.c_str(), c.type);
    return r.Send(record, request);
}

Verdict SendDTMFSignal(CallRequest& r) {
    Connection c = r.Named(el::ConnectionCallID, el::ConnectionDeviceIDType, el::ConnectionDeviceID);
    r.Find(c, kConnected, r.LookupInstrument());
    if (Unfound(c)) return Refuse(kInvalidCall);
    (void)r.SettleInstrument(c.call, "SendDTMFSignalRequest");
    OPCReq* record = r.Open();
    auto request = r.Make<TPCSTASendDTMFMsg>(record);
    request.SetTransferParty(static_cast<int32_t>(c.callID), c.deviceID.c_str(), c.type);
    request.SetReceiveParty(static_cast<int32_t>(c.callID), c.deviceID.c_str(), c.type);
    request.SetToneDuration(r.msg.GetUSHORT(el::ToneDuration));
    // The pause is 32 bits from the client and 16 on to OPC; the older layout has none.
    request.SetPauseDuration(r.Has(el::PauseDuration) ? (r.msg.GetUINT(el::PauseDuration) & 0xFFFF) : 0);
    request.SetDTMFSequence(r.Text(el::DTMFString).c_str());
    return r.Send(record, request);
}

}  // namespace

// ---------------------------------------------------------------- the road

void Connection::Take(const CTICSTAConnection* connection) {
    found = true;
    if (connection->m_Call != nullptr) {
        call = connection->m_Call;
        callID = call->m_CallID;
    }
    type = static_cast<int16_t>(connection->m_OPCDeviceIDType);
    deviceID.assign(connection->m_OPCDeviceID, strnlen(connection->m_OPCDeviceID, sizeof connection->m_OPCDeviceID));
}

CallRequest::CallRequest(CTIApplication& application, ClientCB& record, BaseMSG& message,
                         int32_t session, uint64_t receivedAt)
    : app(application), client(record), msg(message), sessionID(session), received(receivedAt),
      agentMode((record.GetServiceMask() & servicemask::CLIENT_EVENTS) != 0) {}

bool CallRequest::Has(uint32_t element) { return msg.FindElement(element, 0, false) != nullptr && msg.Present(element) != 0; }

std::string CallRequest::Text(uint32_t element) {
    if (msg.FindElement(element, 0, false) == nullptr) return {};
    const char* text = msg.GetSTRING(element);
    return text != nullptr ? text : "";
}

Connection CallRequest::Named(uint32_t callElement, uint32_t typeElement, uint32_t deviceElement) {
    Connection c;
    c.callID = msg.GetUINT(callElement);
    c.type = static_cast<int16_t>(msg.GetUSHORT(typeElement));
    c.deviceID = Text(deviceElement);
    return c;
}

void CallRequest::Find(Connection& c, int selector, const char* lookupInstrument) {
    if (CTICSTAConnection* found = app.FindConnection(&client, peripheralID, c.callID, c.type, c.deviceID.c_str(),
                                                      lookupInstrument, selector, &c.callKnown))
        c.Take(found);
}

void CallRequest::FindRequest(Connection& c, int selector, uint32_t* failure) {
    if (CTICSTAConnection* found =
            app.FindRequestConnection(&client, peripheralID, c.callID, c.type, c.deviceID.c_str(),
                                      LookupInstrument(), selector, &c.callKnown, 1, failure))
        c.Take(found);
}

std::string CallRequest::SettleInstrument(Call* call, const char* label) {
    if (!instrument.empty()) return instrument;
    if (agentMode) return client.GetAgentInstrument();
    std::string out;
    DefaultCallInstrument(call, out, label);
    return out;
}

OPCReq* CallRequest::Open() {
    OPCReq* record = OPCReq::Allocate(sessionID, invokeID, GetAppServerPort().GetUniqueID());
    record->WEXACILClientID = cilID;
    return record;
}

void RunCallRequest(CTIApplication& app, int32_t sessionID, BaseMSGPtr msg, uint64_t received,
                    const Route& route) {
    ClientCB* client = ClientCB::Find(sessionID);
    if (client == nullptr) {
        EMSTraceMessage("%s - sessionID %d not found", route.missingName, static_cast<int>(sessionID));
        return;
    }
    CallRequest r(app, *client, *msg, sessionID, received);
    const uint32_t services = client->GetServiceMask();
    if (route.readsCIL && (services & servicemask::WEXA_CIL) != 0) r.cilID = r.Text(el::WEXACILClientID);
    if (route.sessionTrace && ClientCB::IsTraceOn(client, ClientCB::kTraceSession))
        EMSTraceMessage("%s - sessionID %d", route.handler, static_cast<int>(sessionID));
    r.invokeID = msg->GetUINT(el::InvokeID);
    Verdict verdict;
    if ((services & route.services) != route.services) {
        verdict = Refuse(kNoControl);
    } else {
        r.peripheralID = msg->GetUINT(el::CTIPeripheralID);
        r.instrument = r.Text(el::AgentInstrument);
        if (route.ownInstrument && r.agentMode && !r.instrument.empty() &&
            r.instrument != client->GetAgentInstrument())
            verdict = Refuse(kNotPrivileged);
        else
            verdict = route.build(r);
    }
    switch (verdict.kind) {
        case Verdict::Sent: break;
        case Verdict::ControlFailure:
            (void)SendControlFailure(sessionID, r.invokeID, verdict.code, 0, r.cilID.c_str());
            break;
        case Verdict::StatusFailure:
            (void)SessionProtocol::SendFailureConfMSG(sessionID, r.invokeID, verdict.code);
            break;
    }
}

// The routes of the requests here; calldata.cpp and supervisorreqs.cpp have their own.
namespace {
constexpr uint32_t kControl = servicemask::CLIENT_CONTROL;
constexpr Route kAlternate{"ProcessAlternateCallRequest", "ProcessAlternateCallRequest", kControl, true, true, true, AlternateCall};
constexpr Route kAnswer{"ProcessAnswerCallRequest", "ProcessAnswerCallRequest", kControl, true, true, true, AnswerCall};
constexpr Route kClearCall{"ProcessClearCallRequest", "ProcessClearCallRequest", kControl, true, true, true, ClearCall};
constexpr Route kClearConnection{"ProcessClearConnectionRequest", "ProcessClearConnectionRequest", kControl, true,
                                 true, true, ClearConnection};
constexpr Route kDeflect{"ProcessDeflectCallRequest", "ProcessDeflectCallRequest", kControl, true, true, true, DeflectCall};
constexpr Route kHold{"ProcessHoldCallRequest", "ProcessHoldCallRequest", kControl, true, true, true, HoldCall};
constexpr Route kReconnect{"ProcessReconnectCallRequest", "ProcessReconnectCallRequest", kControl, true, true, true,
                           ReconnectCall};
constexpr Route kRetrieve{"ProcessRetrieveCallRequest", "ProcessRetrieveCallRequest", kControl, true, true, true,
                          RetrieveCall};
constexpr Route kDTMF{"ProcessSendDTMFSignalRequest", "ProcessSendDTMFSignalRequest", kControl, true, true, true,
                      SendDTMFSignal};
}  // namespace

}  // namespace callroad

CALL_CONTROL_HANDLER(ProcessAlternateCallRequest, kAlternate)
CALL_CONTROL_HANDLER(ProcessAnswerCallRequest, kAnswer)
CALL_CONTROL_HANDLER(ProcessClearCallRequest, kClearCall)
CALL_CONTROL_HANDLER(ProcessClearConnectionRequest, kClearConnection)
CALL_CONTROL_HANDLER(ProcessDeflectCallRequest, kDeflect)
CALL_CONTROL_HANDLER(ProcessHoldCallRequest, kHold)
CALL_CONTROL_HANDLER(ProcessReconnectCallRequest, kReconnect)
CALL_CONTROL_HANDLER(ProcessRetrieveCallRequest, kRetrieve)
CALL_CONTROL_HANDLER(ProcessSendDTMFSignalRequest, kDTMF)
