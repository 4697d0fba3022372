// OPC's confirmations of the call-control requests: the client's confirmation, and the private
// calls the model cannot learn of otherwise (made for a new call of an agent, released when
// a clear or a join ends them).
#include <algorithm>
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

// Line handle and line type: the first two words of the confirmation's private data.
struct Line {
    uint16_t handle;
    uint16_t type;
};
Line ReadLine(const TPCSTAConfMsg& conf) {
    int32_t type = static_cast<int32_t>(conf.PrivateDataWord(cstaconfpd::kLineType));
    SanitizeLineType(type);
    return {static_cast<uint16_t>(conf.PrivateDataWord(cstaconfpd::kLineHandle)), static_cast<uint16_t>(type)};
}

void Send(ClientCB* client, const OPCReq& request, BaseMSG& out, const char* label) {
    out.SetUINT(elementid::InvokeID, request.ClientInvokeID);
    if (ValidateMessage(label, out))
        (void)SessionProtocol::SendResponseMSG(client->GetSessionID(), out, request.ReceiveTime);
}

}  // namespace

// ---- the groups ----

void CTIApplication::SendInvokeIDConf(ClientCB* client, const OPCReq& request, BaseMSG& conf,
                                      const char* label) {
    // The WEXA client library confirms these to its clients itself.
    if (IsWEXACIL(client)) return;
    Send(client, request, conf, label);
}

void CTIApplication::SendNewCallConf(ClientCB* client, const TPCSTAConfMsg& conf, const OPCReq& request,
                                     BaseMSG& out, const char* label, const char* callLabel) {
    const ConnectionID made = conf.GetNewCall();
    const Call* call = Call::FindCall(request.PeripheralID, static_cast<uint32_t>(made.callID),
                                      static_cast<int>(made.deviceIDType), made.deviceID, 1);
    if (call == nullptr && made.callID != -1)
        (void)AddPrivateCallAtInstrument(client, request.PeripheralID, kCallTypeUnmonitored,
                                         static_cast<uint32_t>(made.callID), made.deviceID,
                                         static_cast<uint16_t>(made.deviceIDType),
                                         request.DialedNumber.c_str(), request.Instrument.c_str(), callLabel);
    const Line line = ReadLine(conf);
    out.SetUINT(elementid::NewConnectionCallID, static_cast<uint32_t>(made.callID));
    out.SetUSHORT(elementid::NewConnectionDeviceIDType, static_cast<uint16_t>(made.deviceIDType));
    out.SetUSHORT(elementid::LineHandle, line.handle);
    out.SetUSHORT(elementid::LineTypeField, line.type);
    out.SetSTRINGMax(elementid::NewConnectionDeviceID, made.deviceID);
    Send(client, request, out, label);
}

void CTIApplication::SendJoinedCallConf(ClientCB* client, const TPCSTAConfMsg& conf, const OPCReq& request,
                                        BaseMSG& out, const char* label, const char* callLabel,
                                        bool conference) {
    const ConnectionID made = conf.GetNewCall();
    const uint32_t peripheralID = PeripheralIDToLong(conf.PeripheralID());
    const uint32_t newCallID = static_cast<uint32_t>(made.callID);
    // The calls the join ends; a conference goes on in the active call when it keeps its ID.
    if ((request.PrivateCallFlags & kActiveCallPrivate) != 0 && (!conference || request.CallID != newCallID))
        FreeCall(FindPrivateCall(request.PeripheralID, request.CallID), callLabel);
    if ((request.PrivateCallFlags & kHeldCallPrivate) != 0 && (!conference || request.OtherCallID != newCallID))
        FreeCall(FindPrivateCall(request.PeripheralID, request.OtherCallID), callLabel);
    Call* call = Call::FindCall(peripheralID, newCallID, static_cast<int>(made.deviceIDType), made.deviceID, 1);
    if (conference && call == nullptr && made.callID != -1)
        call = AddPrivateCallAtInstrument(client, peripheralID, kCallTypeUnmonitored, newCallID, made.deviceID,
                                          static_cast<uint16_t>(made.deviceIDType),
                                          request.DialedNumber.c_str(), request.Instrument.c_str(), callLabel);
    const Line line = ReadLine(conf);
    out.SetUINT(elementid::NewConnectionCallID, newCallID);
    out.SetUSHORT(elementid::NewConnectionDeviceIDType, static_cast<uint16_t>(made.deviceIDType));
    out.SetUSHORT(elementid::LineHandle, line.handle);
    out.SetUSHORT(elementid::LineTypeField, line.type);
    out.SetSTRINGMax(elementid::NewConnectionDeviceID, made.deviceID);
    if (call != nullptr)
        call->SetConnectedParties(out);
    else
        out.SetUSHORT(elementid::NumParties, 0);
    Send(client, request, out, label);
}

void CTIApplication::SendAgentCallConf(ClientCB* client, const TPCSTAConfMsg& conf, const OPCReq& request,
                                       BaseMSG& out, const char* label) {
    const ConnectionID c = conf.GetConnection();
    const Line line = ReadLine(conf);
    out.SetUINT(elementid::ConnectionCallID, static_cast<uint32_t>(c.callID));
    out.SetUSHORT(elementid::ConnectionDeviceIDType, static_cast<uint16_t>(c.deviceIDType));
    out.SetUSHORT(elementid::LineHandle, line.handle);
    out.SetUSHORT(elementid::LineTypeField, line.type);
    out.SetSTRINGMax(elementid::ConnectionDeviceID, c.deviceID);
    Send(client, request, out, label);
}

// ---- group A ----

void CTIApplication::ProcessAlternateCallConf(ClientCB* client, TPCSTAAlternateCallConfEventMsg*, OPCReq* request) {
    AlternateCallConfMSG out;
    SendInvokeIDConf(client, *request, out, "ProcessAlternateCallConf");
}

void CTIApplication::ProcessAnswerCallConf(ClientCB* client, TPCSTAAnswerCallConfEventMsg*, OPCReq* request) {
    AnswerCallConfMSG out;
    SendInvokeIDConf(client, *request, out, "ProcessAnswerCallConf");
}

void CTIApplication::ProcessClearCallConf(ClientCB* client, TPCSTAClearCallConfEventMsg*, OPCReq* request) {
    if (request->PrivateCallFlags != 0)
        FreeCall(FindPrivateCall(request->PeripheralID, request->CallID), "ClearCallConf");
    ClearCallConfMSG out;
    SendInvokeIDConf(client, *request, out, "ProcessClearCallConf");
}

void CTIApplication::ProcessClearConnectionConf(ClientCB* client, TPCSTAClearConnectionConfEventMsg*, OPCReq* request) {
    if (request->PrivateCallFlags != 0) {
        if (Call* call = FindPrivateCall(request->PeripheralID, request->CallID)) {
            if (CTICSTAConnection* c = call->FindConnectionByDeviceID(
                    static_cast<int32_t>(request->DeviceIDType), request->DeviceID.c_str(), 1, true))
                CTICSTAConnection::Free(c);
            // Without an agent left on it the call is no agent's private call any more.
            if (call->NumAgentConnections() < 1) FreeCall(call, "ClearConnectionConf");
        }
    }
    if (IsWEXACIL(client)) return;
    ClearConnectionConfMSG out;
    Send(client, *request, out, "ProcessClearConnectionConf");
    if (m_Registry != nullptr && m_Registry->Dynamic(CTIRegistry::DropAnyPartyEnabled) != 0 &&
        client->GetVersion() < kFirstVersionWithRequestingDevice) {
        if (request->UncontrolledDrop == 1 && (EMSGetTraceMask() & tracebit::TR_PROC_6))
            EMSTraceMessage("Uncontrolled device %s is dropped", request->DeviceID.c_str());
        request->UncontrolledDrop = 0;
    }
}

void CTIApplication::ProcessDeflectCallConf(ClientCB* client, TPCSTADeflectCallConfEventMsg*, OPCReq* request) {
    DeflectCallConfMSG out;
    SendInvokeIDConf(client, *request, out, "ProcessDeflectCallConf");
}

void CTIApplication::ProcessHoldCallConf(ClientCB* client, TPCSTAHoldCallConfEventMsg*, OPCReq* request) {
    HoldCallConfMSG out;
    SendInvokeIDConf(client, *request, out, "ProcessHoldCallConf");
}

void CTIApplication::ProcessReconnectCallConf(ClientCB* client, TPCSTAReconnectCallConfEventMsg*, OPCReq* request) {
    ReconnectCallConfMSG out;
    SendInvokeIDConf(client, *request, out, "ProcessReconnectCallConf");
}

void CTIApplication::ProcessRetrieveCallConf(ClientCB* client, TPCSTARetrieveCallConfEventMsg*, OPCReq* request) {
    RetrieveCallConfMSG out;
    SendInvokeIDConf(client, *request, out, "ProcessRetrieveCallConf");
}

void CTIApplication::ProcessSendDTMFSignalConf(ClientCB* client, TPCSTASendDTMFConfEventMsg*, OPCReq* request) {
    SendDTMFSignalConfMSG out;
    SendInvokeIDConf(client, *request, out, "ProcessSendDTMFSignalConf");
}

// ---- group B ----

void CTIApplication::ProcessMakeCallConf(ClientCB* client, TPCSTAMakeCallConfEventMsg* conf, OPCReq* request) {
    MakeCallConfMSG out;
    SendNewCallConf(client, *conf, *request, out, "ProcessMakeCallConf", "MakeCallConf");
}

void CTIApplication::ProcessMakePredictiveCallConf(ClientCB* client, TPCSTAMakePredictiveCallConfEventMsg* conf, OPCReq* request) {
    MakePredictiveCallConfMSG out;
    SendNewCallConf(client, *conf, *request, out, "ProcessMakePredictiveCallConf", "MakePredictiveCallConf");
}

void CTIApplication::ProcessConsultationCallConf(ClientCB* client, TPCSTAConsultationCallConfEventMsg* conf, OPCReq* request) {
    ConsultationCallConfMSG out;
    SendNewCallConf(client, *conf, *request, out, "ProcessConsultationCallConf", "ConsultationCallConf");
}

// ---- group C ----

void CTIApplication::ProcessConferenceCallConf(ClientCB* client, TPCSTAConferenceCallConfEventMsg* conf, OPCReq* request) {
    ConferenceCallConfMSG out;
    SendJoinedCallConf(client, *conf, *request, out, "ProcessConferenceCallConf", "ConferenceCallConf", true);
}

void CTIApplication::ProcessTransferCallConf(ClientCB* client, TPCSTATransferCallConfEventMsg* conf, OPCReq* request) {
    TransferCallConfMSG out;
    SendJoinedCallConf(client, *conf, *request, out, "ProcessTransferCallConf", "TransferCallConf", false);
}

// ---- groups D and E ----

void CTIApplication::ProcessSupervisorAssistConf(ClientCB* client, TPCSTASupervisorAssistConfEventMsg* conf, OPCReq* request) {
    SupervisorAssistConfMSG out;
    SendAgentCallConf(client, *conf, *request, out, "ProcessSupervisorAssistConf");
}

void CTIApplication::ProcessEmergencyCallConf(ClientCB* client, TPCSTAEmergencyCallConfEventMsg* conf, OPCReq* request) {
    EmergencyCallConfMSG out;
    SendAgentCallConf(client, *conf, *request, out, "ProcessEmergencyCallConf");
}

void CTIApplication::ProcessSuperviseCallConf(ClientCB* client, TPCSTASuperviseCallConfEventMsg* conf, OPCReq* request) {
    const ConnectionID c = conf->GetConnection();
    SuperviseCallConfMSG out;
    out.SetUINT(elementid::ConnectionCallID, static_cast<uint32_t>(c.callID));
    out.SetUSHORT(elementid::ConnectionDeviceIDType, static_cast<uint16_t>(c.deviceIDType));
    out.SetSTRINGMax(elementid::ConnectionDeviceID, c.deviceID);
    Send(client, *request, out, "ProcessSuperviseCallConf");
}
