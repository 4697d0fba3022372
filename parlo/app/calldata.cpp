// The call-control requests that start or join calls and carry the call's data to OPC: call
// variables, wrap-up data, user-to-user data, account texts and the merged call context.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "ctimsg/elementids.h"
#include "ctimsg/expandedcallcontext.h"
#include "ctimsg/failurecodes.h"
#include "ctimsg/servicemask.h"
#include "nuvlib/utf8utils.h"
#include "opcmsg/cstarequests.h"
#include "parlo/app/callhelpers.h"
#include "parlo/app/callroad.h"
#include "parlo/app/clientcb.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"

namespace callroad {
namespace {

constexpr size_t kMaxUserToUser = 130;
constexpr int32_t kMaxECC = 2000;
// Peripherals whose device IDs join instrument, extension and line with dots.
constexpr bool HasCompositeDeviceIDs(int16_t type) { return type == 30 || type == 51 || type == 54; }
// Private-call bits of a conference or transfer record.
constexpr uint32_t kActiveCallPrivate = 0x2, kHeldCallPrivate = 0x1;

enum class Kind { Make, Predictive, Consultation, Conference, Transfer };

// What a request carries for the call, read once and written into whichever request class.
struct CallData {
    uint32_t placement = 0, manner = 0, consultType = 0, option = 0, facilityType = 0, answeringMachine = 0;
    int16_t alertRings = 0;
    uint16_t priority = 0, postRoute = 0;
    char variables[10][41] = {};
    std::string wrapup, facilityCode, authorizationCode, accountCode, callControlTable, originatingLineID;
    uint8_t userToUser[kMaxUserToUser] = {};
    int32_t userToUserLength = 0;
    // Make predictive call only.
    uint32_t allocationState = 0, destinationCountry = 0, answerDetectMode = 0, answerDetectControl1 = 0,
             answerDetectControl2 = 0;
    int16_t answerDetectTime = 0;
    // The merged context; eccData points into it.
    std::optional<ExpandedCallContext> ecc;
    const uint8_t* eccData = nullptr;
    int32_t eccSize = 0;
};

const char* HandlerName(Kind kind) {
    switch (kind) {
        case Kind::Make: return "ProcessMakeCallRequest";
        case Kind::Predictive: return "ProcessMakePredictiveCallRequest";
        case Kind::Consultation: return "ProcessConsultationCallRequest";
        case Kind::Conference: return "ProcessConferenceCallRequest";
        case Kind::Transfer: return "ProcessTransferCallRequest";
    }
    return "";
}

// Everything but the call context, as the request's kind has it.
void ReadCallData(CallRequest& r, Kind kind, CallData& d) {
    BaseMSG& m = r.msg;
    const bool placing = kind == Kind::Make || kind == Kind::Predictive;
    const bool convert = kind != Kind::Predictive && r.app.NeedsUTF8Conversion(ClientCB::IsTressikClient(&r.client));
    d.placement = m.GetUSHORT(el::CallPlacementType);
    d.manner = m.GetUSHORT(el::CallMannerType);
    d.consultType = kind == Kind::Transfer ? 1 : kind == Kind::Consultation ? m.GetUSHORT(el::ConsultType) : 0;
    d.alertRings = static_cast<int16_t>(m.GetUSHORT(el::AlertRings));
    d.option = m.GetUSHORT(el::CallOption);
    d.facilityType = m.GetUSHORT(el::FacilityType);
    d.answeringMachine = m.GetUSHORT(el::AnsweringMachine);
    d.priority = m.GetBOOL(el::Priority) != 0 ? 1 : 0;
    if (kind == Kind::Predictive) {
        d.allocationState = m.GetUSHORT(el::AllocationState);
        d.destinationCountry = m.GetUSHORT(el::DestinationCountry);
        d.answerDetectMode = m.GetUSHORT(el::AnswerDetectMode);
        d.answerDetectTime = static_cast<int16_t>(m.GetUSHORT(el::AnswerDetectTime));
        d.answerDetectControl1 = m.GetUINT(el::AnswerDetectControl1);
        d.answerDetectControl2 = m.GetUINT(el::AnswerDetectControl2);
    } else {
        d.postRoute = m.GetBOOL(el::PostRoute) != 0 ? 1 : 0;
    }

    // User-to-user data: at most 130 bytes; absent, none (placing) or the two bytes FF 00.
    int length = 0;
    if (const uint8_t* bytes = m.GetUNSPEC(el::UserToUserField, length); bytes != nullptr && length > 0) {
        d.userToUserLength = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(length), kMaxUserToUser));
        std::memcpy(d.userToUser, bytes, static_cast<size_t>(d.userToUserLength));
    } else if (!placing && bytes == nullptr) {
        d.userToUser[0] = 0xFF;
        d.userToUserLength = 2;
    }

    // Call variables: an absent one is empty when placing a call, the absent marker otherwise.
    if (kind == Kind::Predictive) {
        for (uint32_t i = 0; i < 10; ++i) {
            const std::string v = r.Text(el::CallVariable1 + i);
            std::memcpy(d.variables[i], v.data(), std::min<size_t>(v.size(), 40));
        }
    } else if (convert && kind != Kind::Consultation) {
        GetRequestCallVariablesUTF8(m, d.variables);
    } else {
        GetRequestCallVariables(m, d.variables);
    }

    if (r.Has(el::CallWrapupData)) {
        d.wrapup = r.Text(el::CallWrapupData);
        if (convert) {
            std::string converted = d.wrapup;
            ConvertUTF82String(converted);
            if (converted.empty())
                EMSTraceMessage("%s: ConvertUTF82String returned empty string", HandlerName(kind));
            else
                d.wrapup = std::move(converted);
        }
    } else if (!placing) {
        d.wrapup = kAbsentCallVariable;
    }
    d.facilityCode = r.Text(el::FacilityCode);
    d.authorizationCode = r.Text(el::AuthorizationCode);
    d.accountCode = r.Text(el::AccountCode);
    if (placing) d.callControlTable = r.Text(el::CallControlTable);
    if (kind == Kind::Predictive) d.originatingLineID = r.Text(el::OriginatingLineID);
}

// The request's call context merged over `call`'s (may be null); 0 or the merge's status.
uint32_t MergeCallContext(CallRequest& r, CallData& d, Call* call) {
    if (r.msg.GetUSHORT(el::NumNamedVariables) == 0 && r.msg.GetUSHORT(el::NumNamedArrays) == 0) return 0;
    d.ecc.emplace();
    return r.app.MergeECCDataWithCallECC(&d.eccData, &d.eccSize, *d.ecc, r.msg, call,
                                         ClientCB::IsTressikClient(&r.client));
}

template <class Request>
void WriteCallData(Request& q, const CallData& d) {
    q.SetPDCallPlacement(d.placement);
    q.SetPDCallManner(d.manner);
    if constexpr (requires { q.SetPDConsultType(0u); }) q.SetPDConsultType(d.consultType);
    q.SetPDAlertRings(d.alertRings);
    q.SetPDCallOption(d.option);
    q.SetPDFacilityType(d.facilityType);
    q.SetPDAnsMachTreat(d.answeringMachine);
    q.SetPDPriority(d.priority);
    if constexpr (requires { q.SetPDPostRoute(0u); }) q.SetPDPostRoute(d.postRoute);
    if constexpr (requires { q.SetPDDestinationCountry(0u); }) {
        q.SetAllocationState(d.allocationState);
        q.SetPDDestinationCountry(d.destinationCountry);
        q.SetPDAnswerDetectMode(d.answerDetectMode);
        q.SetPDAnswerDetectTime(d.answerDetectTime);
        q.SetPDAnswerDetectControl1(d.answerDetectControl1);
        q.SetPDAnswerDetectControl2(d.answerDetectControl2);
        q.SetPDOriginatingLineID(d.originatingLineID.c_str());
    }
    q.SetPDCallVariables(&d.variables[0][0]);
    q.SetPDUserToUser(static_cast<const void*>(d.userToUser), d.userToUserLength);
    q.SetPDWrapupData(d.wrapup.c_str());
    q.SetPDFacilityCode(d.facilityCode.c_str());
    q.SetPDAuthorizationCode(d.authorizationCode.c_str());
    q.SetPDAccountCode(d.accountCode.c_str());
    if constexpr (requires { q.SetPDCCT(""); }) q.SetPDCCT(d.callControlTable.c_str());
    if (d.eccSize > 0) q.SetPDECC(std::min(d.eccSize, kMaxECC), static_cast<const void*>(d.eccData));
}

// The record of a request that makes a new call, as its confirmation needs it.
OPCReq* OpenNewCall(CallRequest& r, const std::string& instrument, const std::string& dialed) {
    OPCReq* record = r.Open();
    record->PeripheralID = r.peripheralID;
    record->Instrument = instrument;
    record->DialedNumber = dialed;
    return record;
}

// Make call and make predictive call: from `calling` to the dialed number, with no main
// connection; the record keeps both for the confirmation.
template <class Request>
Verdict PlaceCall(CallRequest& r, const CallData& d, const std::string& calling) {
    const std::string dialed = r.Text(el::DialedNumberField);
    OPCReq* record = OpenNewCall(r, calling, dialed);
    auto request = r.Make<Request>(record);
    request.SetCallingDevice(calling.c_str());
    request.SetCalledDevice(dialed.c_str());
    WriteCallData(request, d);
    return r.Send(record, request);
}

Verdict MakeCall(CallRequest& r) {
    CallData d;
    // Only the instrument part of a composite device ID names the calling device.
    std::string calling = r.instrument;
    if (HasCompositeDeviceIDs(r.app.GetPeripheralType(r.peripheralID))) calling = calling.substr(0, calling.find('.'));
    ReadCallData(r, Kind::Make, d);
    if (const uint32_t status = MergeCallContext(r, d, nullptr); status != 0) return FailWithStatus(status);
    const uint32_t watches = servicemask::ALL_EVENTS | servicemask::PERIPHERAL_MONITOR;
    if ((r.client.GetServiceMask() & watches) == 0 && calling != r.client.GetAgentInstrument())
        return Refuse(kNotPrivileged);
    return PlaceCall<TPCSTAMakeCallMsg>(r, d, r.instrument);
}

Verdict MakePredictiveCall(CallRequest& r) {
    CallData d;
    ReadCallData(r, Kind::Predictive, d);
    if (const uint32_t status = MergeCallContext(r, d, nullptr); status != 0) return FailWithStatus(status);
    return PlaceCall<TPCSTAMakePredictiveCallMsg>(r, d, r.Text(el::OriginatingDeviceID));
}

Verdict ConsultationCall(CallRequest& r) {
    CallData d;
    ReadCallData(r, Kind::Consultation, d);
    Connection active = r.Named(el::ActiveConnCallID, el::ActiveConnDeviceIDType, el::ActiveConnDeviceID);
    r.Find(active, kConnected, nullptr);
    if (const uint32_t status = MergeCallContext(r, d, active.call); status != 0) return FailWithStatus(status);
    if (!active.found && active.callKnown != 0) return Refuse(kInvalidCall);
    const std::string instrument = r.SettleInstrument(active.call, "ConsultationCallRequest");
    const std::string dialed = r.Text(el::DialedNumberField);
    OPCReq* record = OpenNewCall(r, instrument, dialed);
    auto request = r.Make<TPCSTAConsultationCallMsg>(record);
    request.SetActiveCall(static_cast<int32_t>(active.callID), active.deviceID.c_str(), active.type);
    request.SetCalledDevice(dialed.c_str());
    request.SetCallingDevice(instrument.c_str());
    WriteCallData(request, d);
    return r.Send(record, request);
}

// Conference and transfer: the active and the held connection, or the active one and a
// dialed number.
template <class Request>
Verdict JoinCalls(CallRequest& r, Kind kind) {
    CallData d;
    ReadCallData(r, kind, d);
    const std::string dialed = r.Text(el::DialedNumberField);
    Connection active = r.Named(el::ActiveConnCallID, el::ActiveConnDeviceIDType, el::ActiveConnDeviceID);
    Connection held = r.Named(el::HeldConnCallID, el::HeldConnDeviceIDType, el::HeldConnDeviceID);
    r.Find(active, kConnected, r.LookupInstrument());
    const bool dialedForm = held.callID == kNoCall && !dialed.empty();
    if (dialedForm)
        held.type = 0;  // no held connection: the number is the other party
    else
        r.Find(held, kHeld, r.LookupInstrument());
    Call* source = dialedForm ? active.call : held.call;
    if (const uint32_t status = MergeCallContext(r, d, source); status != 0) return FailWithStatus(status);
    if ((!active.found && active.callKnown != 0) || (!dialedForm && !held.found && held.callKnown != 0))
        return Refuse(kInvalidCall);
    const bool conference = kind == Kind::Conference;
    const char* label = conference ? "ConferenceCallRequest" : "TransferCallRequest";
    if (r.instrument.empty() && !r.agentMode) {
        std::string traced;
        DefaultCallInstrument(active.call, traced, label);
    }

    OPCReq* record = r.Open();
    uint32_t flags = 0;
    if (active.call != nullptr && active.call->IsPrivate()) flags |= kActiveCallPrivate;
    if (!dialedForm && held.call != nullptr && held.call->IsPrivate()) flags |= kHeldCallPrivate;
    record->PrivateCallFlags = flags;
    record->CallID = active.callID;
    record->OtherCallID = held.callID;
    record->DialedNumber = source != nullptr ? source->m_DialedNumber : "";
    // The conference's instrument is where both calls meet (without an active call the
    // default instrument is empty as well); the request's own plays no part.
    if (conference) {
        if (r.agentMode)
            record->Instrument = r.client.GetAgentInstrument();
        else if (active.call != nullptr && held.call != nullptr)
            if (CTICSTADevice* common = active.call->FindCommonDevice(held.call)) record->Instrument = common->m_DeviceID;
    }
    auto request = r.Make<Request>(record);
    request.SetActiveCall(static_cast<int32_t>(active.callID), active.deviceID.c_str(), active.type);
    request.SetHeldCall(static_cast<int32_t>(held.callID), held.deviceID.c_str(), held.type);
    WriteCallData(request, d);
    request.SetPDDialedNumber(dialedForm ? dialed.c_str() : nullptr);
    return r.Send(record, request);
}

Verdict ConferenceCall(CallRequest& r) { return JoinCalls<TPCSTAConferenceCallMsg>(r, Kind::Conference); }
Verdict TransferCall(CallRequest& r) { return JoinCalls<TPCSTATransferCallMsg>(r, Kind::Transfer); }

// These requests answer their failures without the WEXA CIL client ID; make call and make
// predictive call check the calling device themselves.
constexpr uint32_t kControl = servicemask::CLIENT_CONTROL;
constexpr Route kMake{"ProcessMakeCallRequest", "ProcessMakeCallRequest", kControl, false, true, false, MakeCall};
constexpr Route kPredictive{"ProcessMakePredictiveCallRequest", "ProcessMakePredictiveCallRequest", kControl, false,
                            true, false, MakePredictiveCall};
constexpr Route kConsultation{"ProcessConsultationCallRequest", "ProcessConsultationCallRequest", kControl, false,
                              true, true, ConsultationCall};
constexpr Route kConference{"ProcessConferenceCallRequest", "ProcessConferenceCallRequest", kControl, false, true,
                            true, ConferenceCall};
constexpr Route kTransfer{"ProcessTransferCallRequest", "ProcessTransferCallRequest", kControl, false, true, true,
                          TransferCall};

}  // namespace
}  // namespace callroad

CALL_CONTROL_HANDLER(ProcessMakeCallRequest, kMake)
CALL_CONTROL_HANDLER(ProcessMakePredictiveCallRequest, kPredictive)
CALL_CONTROL_HANDLER(ProcessConsultationCallRequest, kConsultation)
CALL_CONTROL_HANDLER(ProcessConferenceCallRequest, kConference)
CALL_CONTROL_HANDLER(ProcessTransferCallRequest, kTransfer)
