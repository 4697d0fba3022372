// OPC's confirmations of the call-control requests: the client's confirmation, and the private
// calls the model cannot learn of otherwise (made for a new call of an agent, released when
// a clear or a join ends them).
#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/servicemask.h"
#include "nuvlib/ems.h"
#include "opcmsg/cstaconfirmations.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/cstaintake.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/opclink/opcreq.h"

namespace {

constexpr uint16_t kCallTypeUnmonitored = 16;  // a private call
constexpr uint32_t kActiveCallPrivate = 0x2, kHeldCallPrivate = 0x1;
constexpr uint32_t kFirstVersionWithRequestingDevice = 14;

bool IsWEXACIL(const ClientCB* client) { return (client->GetServiceMask() & servicemask::WEXA_CIL) != 0; }

// The active call of the request's peripheral and call ID, when it is still a private call.
Call* FindPrivateCall(uint32_t peripheralID, uint32_t callID) {
    Call* call = Call::FindCall(peripheralID, callID, -2, "", 1);
    return call != nullptr && call->IsPrivate() ? call : nullptr;
}

void Send(ClientCB* client, const OPCReq& request, BaseMSG& out, const char* label) {
    out.SetUINT(elementid::InvokeID, request.ClientInvokeID);
    if (ValidateMessage(label, out))
        (void)SessionProtocol::SendResponseMSG(client->GetSessionID(), out, request.ReceiveTime);
}

// The connection and, unless `withLine` is false, the line (handle and type: the first two
// words of the private data, the type checked) into the confirmation's fields of that
// connection, then the confirmation to the client.
struct ConnectionFields {
    uint32_t callID, deviceIDType, deviceID;
};
constexpr ConnectionFields kNewConnection{elementid::NewConnectionCallID, elementid::NewConnectionDeviceIDType,
                                          elementid::NewConnectionDeviceID};
constexpr ConnectionFields kConnection{elementid::ConnectionCallID, elementid::ConnectionDeviceIDType,
                                       elementid::ConnectionDeviceID};
void SetConnectionFields(BaseMSG& out, const ConnectionFields& fields, const ConnectionID& c,
                   const TPCSTAConfMsg& conf, bool withLine) {
    out.SetUINT(fields.callID, static_cast<uint32_t>(c.callID));
    out.SetUSHORT(fields.deviceIDType, static_cast<uint16_t>(c.deviceIDType));
    if (withLine) {
        int32_t type = static_cast<int32_t>(conf.PrivateDataWord(cstaconfpd::kLineType));
        SanitizeLineType(type);
        out.SetUSHORT(elementid::LineHandle, static_cast<uint16_t>(conf.PrivateDataWord(cstaconfpd::kLineHandle)));
        out.SetUSHORT(elementid::LineTypeField, static_cast<uint16_t>(type));
    }
    out.SetSTRINGMax(fields.deviceID, c.deviceID);
}

// Group A: the InvokeID alone. The WEXA client library confirms these to its clients itself.
template <class Conf>
void SendInvokeIDConf(ClientCB* client, const OPCReq& request, const char* label) {
    if (IsWEXACIL(client)) return;
    Conf out;
    Send(client, request, out, label);
}

// Group B: a new call; the request's agent gets it as a private call first when it is new.
template <class Conf>
void SendNewCallConf(CTIApplication& app, ClientCB* client, const TPCSTAConfMsg& conf, const OPCReq& request,
                     const char* label, const char* callLabel) {
    const ConnectionID made = conf.GetNewCall();
    if (Call::FindCall(request.PeripheralID, static_cast<uint32_t>(made.callID), static_cast<int>(made.deviceIDType),
                       made.deviceID, 1) == nullptr &&
        made.callID != -1)
        (void)app.AddPrivateCallAtInstrument(client, request.PeripheralID, kCallTypeUnmonitored,
                                             static_cast<uint32_t>(made.callID), made.deviceID,
                                             static_cast<uint16_t>(made.deviceIDType), request.DialedNumber.c_str(),
                                             request.Instrument.c_str(), callLabel);
    Conf out;
    SetConnectionFields(out, kNewConnection, made, conf, true);
    Send(client, request, out, label);
}

// Group C: a conference or a transfer. The private calls the request named end with the
// join, but a conference goes on in the one whose ID the new call keeps; a conference's
// unknown new call becomes the agent's private call. The new call's parties go along.
template <class Conf>
void SendJoinedCallConf(CTIApplication& app, ClientCB* client, const TPCSTAConfMsg& conf, const OPCReq& request,
                        const char* label, const char* callLabel, bool conference) {
    const ConnectionID made = conf.GetNewCall();
    const uint32_t peripheralID = PeripheralIDToLong(conf.PeripheralID());
    const uint32_t newCallID = static_cast<uint32_t>(made.callID);
    if ((request.PrivateCallFlags & kActiveCallPrivate) != 0 && (!conference || request.CallID != newCallID))
        app.FreeCall(FindPrivateCall(request.PeripheralID, request.CallID), callLabel);
    if ((request.PrivateCallFlags & kHeldCallPrivate) != 0 && (!conference || request.OtherCallID != newCallID))
        app.FreeCall(FindPrivateCall(request.PeripheralID, request.OtherCallID), callLabel);
    Call* call = Call::FindCall(peripheralID, newCallID, static_cast<int>(made.deviceIDType), made.deviceID, 1);
    if (conference && call == nullptr && made.callID != -1)
        call = app.AddPrivateCallAtInstrument(client, peripheralID, kCallTypeUnmonitored, newCallID, made.deviceID,
                                              static_cast<uint16_t>(made.deviceIDType),
                                              request.DialedNumber.c_str(), request.Instrument.c_str(), callLabel);
    Conf out;
    SetConnectionFields(out, kNewConnection, made, conf, true);
    if (call != nullptr)
        call->SetConnectedParties(out);  // at most 16
    else
        out.SetUSHORT(elementid::NumParties, 0);
    Send(client, request, out, label);
}

// Groups D and E: the agent's call (emergency call and supervisor assist with its line).
template <class Conf>
void SendAgentCallConf(ClientCB* client, const TPCSTAConfMsg& conf, const OPCReq& request, const char* label,
                       bool withLine) {
    Conf out;
    SetConnectionFields(out, kConnection, conf.GetConnection(), conf, withLine);
    Send(client, request, out, label);
}

}  // namespace

// ---- group A ----

void CTIApplication::ProcessAlternateCallConf(ClientCB* client, TPCSTAAlternateCallConfEventMsg*, OPCReq* request) {
    SendInvokeIDConf<AlternateCallConfMSG>(client, *request, "ProcessAlternateCallConf");
}

void CTIApplication::ProcessAnswerCallConf(ClientCB* client, TPCSTAAnswerCallConfEventMsg*, OPCReq* request) {
    SendInvokeIDConf<AnswerCallConfMSG>(client, *request, "ProcessAnswerCallConf");
}

void CTIApplication::ProcessClearCallConf(ClientCB* client, TPCSTAClearCallConfEventMsg*, OPCReq* request) {
    if (request->PrivateCallFlags != 0)
        FreeCall(FindPrivateCall(request->PeripheralID, request->CallID), "ClearCallConf");
    SendInvokeIDConf<ClearCallConfMSG>(client, *request, "ProcessClearCallConf");
}

void CTIApplication::ProcessClearConnectionConf(ClientCB* client, TPCSTAClearConnectionConfEventMsg*,
                                                OPCReq* request) {
    if (request->PrivateCallFlags != 0) {
        if (Call* call = FindPrivateCall(request->PeripheralID, request->CallID)) {
            if (CTICSTAConnection* c = call->FindConnectionByDeviceID(static_cast<int32_t>(request->DeviceIDType),
                                                                      request->DeviceID.c_str(), 1, true))
                CTICSTAConnection::Free(c);
            // Without an agent left on it the call is no agent's private call any more.
            if (call->NumAgentConnections() < 1) FreeCall(call, "ClearConnectionConf");
        }
    }
    if (IsWEXACIL(client)) return;
    SendInvokeIDConf<ClearConnectionConfMSG>(client, *request, "ProcessClearConnectionConf");
    if (m_Registry != nullptr && m_Registry->Dynamic(CTIRegistry::DropAnyPartyEnabled) != 0 &&
        client->GetVersion() < kFirstVersionWithRequestingDevice) {
        if (request->UncontrolledDrop == 1 && (EMSGetTraceMask() & tracebit::TR_PROC_6))
            EMSTraceMessage("Uncontrolled device %s is dropped", request->DeviceID.c_str());
        request->UncontrolledDrop = 0;
    }
}

void CTIApplication::ProcessDeflectCallConf(ClientCB* client, TPCSTADeflectCallConfEventMsg*, OPCReq* request) {
    SendInvokeIDConf<DeflectCallConfMSG>(client, *request, "ProcessDeflectCallConf");
}

void CTIApplication::ProcessHoldCallConf(ClientCB* client, TPCSTAHoldCallConfEventMsg*, OPCReq* request) {
    SendInvokeIDConf<HoldCallConfMSG>(client, *request, "ProcessHoldCallConf");
}

void CTIApplication::ProcessReconnectCallConf(ClientCB* client, TPCSTAReconnectCallConfEventMsg*, OPCReq* request) {
    SendInvokeIDConf<ReconnectCallConfMSG>(client, *request, "ProcessReconnectCallConf");
}

void CTIApplication::ProcessRetrieveCallConf(ClientCB* client, TPCSTARetrieveCallConfEventMsg*, OPCReq* request) {
    SendInvokeIDConf<RetrieveCallConfMSG>(client, *request, "ProcessRetrieveCallConf");
}

void CTIApplication::ProcessSendDTMFSignalConf(ClientCB* client, TPCSTASendDTMFConfEventMsg*, OPCReq* request) {
    SendInvokeIDConf<SendDTMFSignalConfMSG>(client, *request, "ProcessSendDTMFSignalConf");
}

// ---- group B ----

void CTIApplication::ProcessMakeCallConf(ClientCB* client, TPCSTAMakeCallConfEventMsg* conf, OPCReq* request) {
    SendNewCallConf<MakeCallConfMSG>(*this, client, *conf, *request, "ProcessMakeCallConf", "MakeCallConf");
}

void CTIApplication::ProcessMakePredictiveCallConf(ClientCB* client, TPCSTAMakePredictiveCallConfEventMsg* conf,
                                                   OPCReq* request) {
    SendNewCallConf<MakePredictiveCallConfMSG>(*this, client, *conf, *request, "ProcessMakePredictiveCallConf",
                                               "MakePredictiveCallConf");
}

void CTIApplication::ProcessConsultationCallConf(ClientCB* client, TPCSTAConsultationCallConfEventMsg* conf,
                                                 OPCReq* request) {
    SendNewCallConf<ConsultationCallConfMSG>(*this, client, *conf, *request, "ProcessConsultationCallConf",
                                             "ConsultationCallConf");
}

// ---- group C ----

void CTIApplication::ProcessConferenceCallConf(ClientCB* client, TPCSTAConferenceCallConfEventMsg* conf,
                                               OPCReq* request) {
    SendJoinedCallConf<ConferenceCallConfMSG>(*this, client, *conf, *request, "ProcessConferenceCallConf",
                                              "ConferenceCallConf", true);
}

void CTIApplication::ProcessTransferCallConf(ClientCB* client, TPCSTATransferCallConfEventMsg* conf, OPCReq* request) {
    SendJoinedCallConf<TransferCallConfMSG>(*this, client, *conf, *request, "ProcessTransferCallConf",
                                            "TransferCallConf", false);
}

// ---- groups D and E ----

void CTIApplication::ProcessSupervisorAssistConf(ClientCB* client, TPCSTASupervisorAssistConfEventMsg* conf,
                                                 OPCReq* request) {
    SendAgentCallConf<SupervisorAssistConfMSG>(client, *conf, *request, "ProcessSupervisorAssistConf", true);
}

void CTIApplication::ProcessEmergencyCallConf(ClientCB* client, TPCSTAEmergencyCallConfEventMsg* conf,
                                              OPCReq* request) {
    SendAgentCallConf<EmergencyCallConfMSG>(client, *conf, *request, "ProcessEmergencyCallConf", true);
}

void CTIApplication::ProcessSuperviseCallConf(ClientCB* client, TPCSTASuperviseCallConfEventMsg* conf,
                                              OPCReq* request) {
    SendAgentCallConf<SuperviseCallConfMSG>(client, *conf, *request, "ProcessSuperviseCallConf", false);
}
