// The ordinary life of a call as OPC reports it: originated or service initiated, delivered,
// established, held and retrieved, diverted, failed, network reached; and the agent greeting.
// Each handler mirrors the switch in the model first and then reports the event.
#include <cstring>
#include <memory>
#include <string>

#include "ctimsg/basemsg.h"
#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "opcmsg/cstaeventpd.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/cstaeventbody.h"
#include "parlo/app/cstaintake.h"
#include "parlo/app/cstatrace.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/importmetrics.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/validate.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/session/session.h"
#include "platform/byteorder.h"

using cstaevent::Area;
using cstaevent::BodyWord;
using cstaevent::Device;

// ---------------------------------------------------------------- shared event fields

namespace cstaevent {

ConnectionID MainConnection(const CSTAMessage& message) {
    return ConnectionID::Read(message.Record().EventBody() + cstabody::kMain);
}

CSTAExtendedDeviceID Device(const CSTAMessage& message, uint32_t offset) {
    CSTAExtendedDeviceID id = ReadExtendedDeviceID(message.Record().EventBody() + offset);
    id.deviceID[sizeof id.deviceID - 1] = '\0';
    return id;
}

int32_t BodyWord(const CSTAMessage& message, uint32_t offset) {
    return static_cast<int32_t>(plat::LoadLE32(message.Record().EventBody() + offset));
}

int32_t Area(const CSTAMessage& message, uint32_t messageOffset) {
    return static_cast<int32_t>(message.AreaWord(static_cast<int>((messageOffset - cstamsg::kArea) / 4)));
}

void SetSkillGroup(BaseMSG& msg, int32_t numberWord, int32_t skillGroupID) {
    uint32_t number = static_cast<uint32_t>(numberWord);
    uint16_t priority = 0;
    if (numberWord != -1) {
        const uint32_t top = number >> 24;
        number &= 0x00FFFFFF;
        priority = static_cast<uint16_t>(top == 128 ? 0 : top);
    }
    msg.SetUINT(elementid::SkillGroupNumber, number);
    msg.SetUINT(elementid::SkillGroupID, static_cast<uint32_t>(skillGroupID));
    msg.SetUSHORT(elementid::SkillGroupPriority, priority);
}

void SetTrunks(BaseMSG& msg, int32_t trunkNumber, int32_t trunkGroupNumber) {
    if (trunkNumber == -1 && trunkGroupNumber == -1) return;
    msg.SetUINT(elementid::TrunkNumber, static_cast<uint32_t>(trunkNumber));
    msg.SetUINT(elementid::TrunkGroupNumber, static_cast<uint32_t>(trunkGroupNumber));
}

void SetStateAndCause(BaseMSG& msg, int32_t localConnectionState, int32_t cause) {
    msg.SetUSHORT(elementid::LocalConnectionState, static_cast<uint16_t>(localConnectionState));
    msg.SetUSHORT(elementid::EventCause, static_cast<uint16_t>(cause));
}

}  // namespace cstaevent

namespace {

constexpr int32_t kInitiate = 1, kAlerting = 2, kConnect = 3, kHold = 4;
constexpr int32_t kSilentMonitorLine = 9;

void SetLine(BaseMSG& msg, int32_t line, int32_t lineType) {
    msg.SetUSHORT(elementid::LineHandle, static_cast<uint16_t>(line));
    msg.SetUSHORT(elementid::LineTypeField, static_cast<uint16_t>(lineType));
}

void SetService(BaseMSG& msg, int32_t serviceNumber, int32_t serviceID) {
    msg.SetUINT(elementid::ServiceNumber, static_cast<uint32_t>(serviceNumber));
    msg.SetUINT(elementid::ServiceID, static_cast<uint32_t>(serviceID));
}

void SetAlertingText(CTICSTAConnection* connection, const CSTAExtendedDeviceID& alerting) {
    if (connection == nullptr) return;
    std::strncpy(connection->m_SubjectDeviceID, alerting.deviceID, sizeof connection->m_SubjectDeviceID - 1);
    connection->m_SubjectDeviceID[sizeof connection->m_SubjectDeviceID - 1] = '\0';
}

// The area words the call-establishing events share.
struct LineArea {
    int32_t line, lineType, serviceNumber, serviceID, skillGroup, skillGroupID;
};
LineArea ReadLineArea(const CSTAMessage& m, uint32_t lineAt, uint32_t serviceAt, uint32_t skillGroupAt) {
    return {Area(m, lineAt), Area(m, lineAt + 4), Area(m, serviceAt), Area(m, serviceAt + 4),
            Area(m, skillGroupAt), Area(m, skillGroupAt + 4)};
}

// Held and retrieved differ only in their texts, elements, expected state and the counter's
// direction.
struct HoldSide {
    const char* handler;
    const char* hint;
    const char* notFound;
    const char* unexpected;
    int32_t expected;
    uint32_t typeElement, idElement;
    const char* lastEvent;
    bool raisesOnHold;
};

template <class Msg>
void HoldOrRetrieve(const CTIApplication& app, const CSTAMessage& m, const HoldSide& side) {
    CallEventFrame frame(app, m, side.handler);
    ConnectionID connection = cstaevent::MainConnection(m);
    int32_t lcs = BodyWord(m, cstabody::kTwoIdLCS), cause = BodyWord(m, cstabody::kTwoIdCause);
    frame.Sanitize(&connection, &lcs, &cause);
    const CSTAExtendedDeviceID party = Device(m, cstabody::kSecond);
    CTICSTADevice* device = frame.FindDevice(party, side.hint);
    Call* call = frame.FindCall(false, side.notFound);
    if (call == nullptr) return;
    frame.CheckState(&lcs, side.expected, side.unexpected);
    if (device != nullptr) {
        bool changed = false;
        (void)SetConnection(device, call, lcs, 3, static_cast<int32_t>(connection.deviceIDType), connection.deviceID,
                            side.hint, changed);
    }
    if (auto msg = frame.NewEvent<Msg>(connection)) {
        CopyDeviceIDToMSG(party, *msg, side.typeElement, side.idElement);
        cstaevent::SetStateAndCause(*msg, lcs, cause);
        frame.Distribute(*msg);
    }
    frame.Finish(side.lastEvent);
    // Counted for the switch's view of the call, sent or not.
    if (side.raisesOnHold)
        ImportMetrics::Instance().Increment(PARLO_ONHOLD_AGENTS);
    else
        ImportMetrics::Instance().Decrement(PARLO_ONHOLD_AGENTS);
}

}  // namespace

void CTIApplication::SetCallDestAgent(int32_t peripheralID, const CSTAExtendedDeviceID& device, Call* call) {
    ::SetCallDestAgent(peripheralID, device, call);
}

// ---------------------------------------------------------------- delivered

void CTIApplication::ProcessCallDeliveredEvent(const CSTAMessage& m) {
    CallEventFrame frame(*this, m, "ProcessCallDeliveredEvent");
    ConnectionID connection = cstaevent::MainConnection(m);
    const CSTAExtendedDeviceID alerting = Device(m, cstabody::kSecond), calling = Device(m, cstabody::kThird),
                               called = Device(m, cstabody::kFourth), lastRedirect = Device(m, cstabody::kFifth);
    int32_t lcs = BodyWord(m, cstabody::kFiveIdLCS), cause = BodyWord(m, cstabody::kFiveIdCause);
    const int32_t serviceNumber = Area(m, 32), serviceID = Area(m, 36), incoming = Area(m, 40), line = Area(m, 44);
    int32_t lineType = Area(m, 48);
    const bool multiAlert = Area(m, 52) != 0;
    const int32_t skillGroup = Area(m, 56), skillGroupID = Area(m, 60), trunk = Area(m, 64), trunkGroup = Area(m, 68);
    if (frame.AreaTraceOn())
        EMSTraceMessage("                 Line=%d LineType=%s Service=%d(%d) Incoming=%d MultiAlert=%c "
                        "SkillGroup=%d(%d) TrunkNum=%d TrunkGroupNum=%d",
                        line, LineTypeName(lineType), serviceNumber, serviceID, incoming, multiAlert ? 'T' : 'F',
                        skillGroup, skillGroupID, trunk, trunkGroup);
    frame.Sanitize(&connection, &lcs, &cause);
    SanitizeLineType(lineType);

    CTICSTADevice* alertingDevice =
        lcs == kAlerting ? frame.FindDevice(alerting, "delivered(alerting)->alertingDevice") : nullptr;
    CTICSTADevice* callingDevice = frame.FindDevice(calling, "delivered->callingDevice");
    Call* call = frame.FindCall(true, "*** ProcessCallDeliveredEvent - Periph %d CallID %s not found ***");
    if (call == nullptr) return;

    const int32_t callingState = lcs == kAlerting ? kConnect : lcs;
    const std::string mainID = m.MainDeviceID();
    const int32_t mainType = m.ConnectionDeviceIDType();
    const int32_t connectionType = static_cast<int32_t>(connection.deviceIDType);
    bool changed = false;

    // The calling party.
    CTICSTAConnection* callingConnection = nullptr;
    if (callingDevice != nullptr) {
        if (call->FindConnection(callingDevice) != nullptr) {
            callingConnection = SetConnection(callingDevice, call, callingState, 1, mainType, mainID.c_str(),
                                              "Del:callingDev", changed);
        } else if (CTICSTAConnection* deviceless = call->FindDevicelessConnection(1)) {
            deviceless->SetDevice(callingDevice);
        } else if (call->FindConnectionByDeviceID(connectionType, connection.deviceID, 1, true) == nullptr) {
            callingConnection = SetConnection(callingDevice, call, callingState, 1, mainType, mainID.c_str(),
                                              "Del:callingDev", changed);
        }
    } else if (callingState == kInitiate) {
        callingConnection = call->UpdateConnection(kInitiate, 1, mainType, mainID.c_str(), "Del:callingDev", false);
    }

    // The alerting party (the connection types are OPC's own choice per branch).
    CTICSTAConnection* alertingConnection = nullptr;
    if (alertingDevice == callingDevice) {
        alertingConnection = CTICSTAConnection::Alloc(alertingDevice, call, kAlerting, 2, connectionType,
                                                      alerting.deviceID, "alertingDev");
        SetAlertingText(alertingConnection, alerting);
    } else if (alertingDevice != nullptr) {
        alertingConnection = SetConnection(alertingDevice, call, kAlerting, 1, connectionType, connection.deviceID,
                                           "Del:alertingDev", changed);
        SetAlertingText(alertingConnection, alerting);
    } else if (callingDevice != nullptr && lcs == kAlerting) {
        alertingConnection =
            call->UpdateConnection(kAlerting, 1, connectionType, connection.deviceID, "alertingDev", true);
    }

    if (lcs == kAlerting) {
        if (!multiAlert) call->ClearAlertingConnections(alertingConnection);
        SetCallDestAgent(static_cast<int32_t>(m.PeripheralID()), alerting, call);
    } else if (!multiAlert) {
        call->ClearAlertingConnections(nullptr);
    }
    call->RemoveInactiveConnections();
    if (callingConnection != nullptr && !call->HasConnection(callingConnection)) callingConnection = nullptr;

    if (auto msg = frame.NewEvent<CallDeliveredEventMSG>(connection)) {
        SetLine(*msg, line, lineType);
        SetService(*msg, serviceNumber, serviceID);
        cstaevent::SetTrunks(*msg, trunk, trunkGroup);
        cstaevent::SetSkillGroup(*msg, skillGroup, skillGroupID);
        CopyDeviceIDToMSG(alerting, *msg, elementid::AlertingDeviceType, elementid::AlertingDeviceID);
        CopyDeviceIDToMSG(calling, *msg, elementid::CallingDeviceType, elementid::CallingDeviceID);
        CopyDeviceIDToMSG(called, *msg, elementid::CalledDeviceType, elementid::CalledDeviceID);
        CopyDeviceIDToMSG(lastRedirect, *msg, elementid::LastRedirectDeviceType, elementid::LastRedirectDeviceID);
        cstaevent::SetStateAndCause(*msg, lcs, cause);
        msg->SetUSHORT(elementid::NumNamedVariables, 0);
        msg->SetUSHORT(elementid::NumNamedArrays, 0);
        frame.Distribute(*msg);
    }
    frame.Finish(lcs == kAlerting ? "delivered/alerting" : "delivered/initiate");
    // The event carried the initiating state; from here the caller is connected.
    if (callingState == kInitiate && callingConnection != nullptr && call->HasConnection(callingConnection))
        callingConnection->SetState(kConnect, nullptr);
}

// ---------------------------------------------------------------- established

void CTIApplication::ProcessCallEstablishedEvent(const CSTAMessage& m) {
    if (m.MRDomainID() != 1) {
        // Task events of the non-voice domains have their own road.
        ProcessLaterCSTAEvent(m);
        return;
    }
    CallEventFrame frame(*this, m, "ProcessCallEstablishedEvent");
    ConnectionID connection = cstaevent::MainConnection(m);
    const CSTAExtendedDeviceID answering = Device(m, cstabody::kSecond), calling = Device(m, cstabody::kThird),
                               called = Device(m, cstabody::kFourth), lastRedirect = Device(m, cstabody::kFifth);
    int32_t lcs = BodyWord(m, cstabody::kFiveIdLCS), cause = BodyWord(m, cstabody::kFiveIdCause);
    LineArea a = ReadLineArea(m, 32, 40, 48);
    const bool removeQueued = Area(m, 56) != 0;
    const int32_t trunk = Area(m, 60), trunkGroup = Area(m, 64);
    if (frame.AreaTraceOn())
        EMSTraceMessage("                   Line=%d LineType=%s Service=%d(%d) SkillGroup=%d(%d) RemQd=%c "
                        "TrunkNum=%d TrunkGroupNum=%d",
                        a.line, LineTypeName(a.lineType), a.serviceNumber, a.serviceID, a.skillGroup,
                        a.skillGroupID, removeQueued ? 'T' : 'F', trunk, trunkGroup);
    frame.Sanitize(&connection, &lcs, &cause);
    SanitizeLineType(a.lineType);

    CTICSTADevice* answeringDevice = frame.FindDevice(answering, "established->answeringDevice");
    CTICSTADevice* callingDevice = frame.FindDevice(calling, "established->callingDevice");
    Call* call = frame.FindCall(true, "*** ProcessCallEstablishedEvent - Periph %d CallID %s not found ***");
    if (call == nullptr) return;
    frame.CheckState(&lcs, kConnect,
                     "*** ProcessCallEstablishedEvent - Periph %d CallID %s localConnectionInfo %s, expected CS_CONNECT ***");

    if (callingDevice != nullptr && call->FindConnection(callingDevice) == nullptr)
        if (CTICSTAConnection* deviceless = call->FindDevicelessConnection(1)) deviceless->SetDevice(callingDevice);

    const int32_t connectionType = static_cast<int32_t>(connection.deviceIDType);
    CTICSTAConnection* answeringConnection = nullptr;
    bool sourceRedirected = false;
    bool changed = false;
    if (answeringDevice != nullptr) {
        (void)SetConnection(answeringDevice, call, lcs, 2, connectionType, connection.deviceID, "Estab:answeringDev",
                            changed);
        answeringConnection = call->FindConnection(answeringDevice);
    } else if (CTICSTAConnection* c = call->FindConnectionByDeviceID(call->m_SrcDeviceIDType,
                                                                     call->m_SrcDeviceID.c_str(), 4, true)) {
        c->Reclassify(2, static_cast<uint32_t>(m.CallID()), connectionType, connection.deviceID);
        c->SetState(lcs, "Estab:answeringDev(Unk)");
        answeringConnection = c;
    } else if (call->m_SrcDeviceID == "BLIND_CONNECTION") {
        // A blind transfer's source: the answering party is the call's source now.
        call->SetSrcDeviceID(static_cast<uint16_t>(connection.deviceIDType), connection.deviceID);
        (void)call->UpdateConnection(lcs, 1, connectionType, connection.deviceID, "Estab:SrcRedirected", true);
        sourceRedirected = true;
    } else {
        (void)call->UpdateConnection(lcs, 2, connectionType, connection.deviceID, "Estab:answeringDev", true);
        answeringConnection = call->FindConnectionByDeviceID(connectionType, connection.deviceID, 1, true);
    }
    if (answeringConnection != nullptr)
        answeringConnection->m_SilentMonitorStatus = a.lineType == kSilentMonitorLine ? 2 : 0;
    if (!sourceRedirected) {
        SetCallDestAgent(static_cast<int32_t>(m.PeripheralID()), answering, call);
        UpdateAgentLineForDevice(static_cast<int32_t>(m.PeripheralID()), answering, m.CallID(),
                                 m.ConnectionDeviceIDType(), m.MainDeviceID().c_str(), a.line, a.lineType);
        call->SetDestDeviceID(static_cast<uint16_t>(connection.deviceIDType), connection.deviceID);
    }
    if (removeQueued) call->RemoveQueuedConnections();
    call->RemoveInactiveConnections();

    if (auto msg = frame.NewEvent<CallEstablishedEventMSG>(connection)) {
        SetLine(*msg, a.line, a.lineType);
        SetService(*msg, a.serviceNumber, a.serviceID);
        cstaevent::SetTrunks(*msg, trunk, trunkGroup);
        cstaevent::SetSkillGroup(*msg, a.skillGroup, a.skillGroupID);
        CopyDeviceIDToMSG(answering, *msg, elementid::AnsweringDeviceType, elementid::AnsweringDeviceID);
        CopyDeviceIDToMSG(calling, *msg, elementid::CallingDeviceType, elementid::CallingDeviceID);
        CopyDeviceIDToMSG(called, *msg, elementid::CalledDeviceType, elementid::CalledDeviceID);
        CopyDeviceIDToMSG(lastRedirect, *msg, elementid::LastRedirectDeviceType, elementid::LastRedirectDeviceID);
        cstaevent::SetStateAndCause(*msg, lcs, cause);
        frame.Distribute(*msg);
    }
    frame.Finish("established");
}

// ---------------------------------------------------------------- originated

void CTIApplication::ProcessCallOriginatedEvent(const CSTAMessage& m) {
    CallEventFrame frame(*this, m, "ProcessCallOriginatedEvent");
    ConnectionID connection = cstaevent::MainConnection(m);
    const CSTAExtendedDeviceID calling = Device(m, cstabody::kSecond), called = Device(m, cstabody::kThird);
    int32_t lcs = BodyWord(m, cstabody::kThreeIdLCS), cause = BodyWord(m, cstabody::kThreeIdCause);
    LineArea a = ReadLineArea(m, 32, 40, 48);
    if (frame.AreaTraceOn())
        EMSTraceMessage("                  Line=%d LineType=%s Service=%d(%d) SkillGroup=%d(%d)", a.line,
                        LineTypeName(a.lineType), a.serviceNumber, a.serviceID, a.skillGroup, a.skillGroupID);
    frame.Sanitize(&connection, &lcs, &cause);
    SanitizeLineType(a.lineType);

    CTICSTADevice* callingDevice = frame.FindDevice(calling, "originated->callingDevice");
    Call* call = frame.FindCall(true, "*** ProcessCallOriginatedEvent - Periph %d CallID %s not found ***");
    if (call == nullptr) return;
    if (lcs != kInitiate)
        frame.CheckState(&lcs, kConnect,
                         "*** ProcessCallOriginatedEvent - Periph %d CallID %s localConnectionInfo %s, expected "
                         "CS_INITIATE or CS_CONNECT ***");

    const std::string mainID = m.MainDeviceID();
    CTICSTAConnection* originating = nullptr;
    if (callingDevice != nullptr) {
        bool changed = false;
        originating = SetConnection(callingDevice, call, lcs, 1, m.ConnectionDeviceIDType(), mainID.c_str(),
                                    "Orig:callingDev", changed);
    }
    const auto peripheralID = static_cast<int32_t>(m.PeripheralID());
    SetCallSourceAgent(peripheralID, calling, call);
    UpdateAgentLineForDevice(peripheralID, calling, m.CallID(), m.ConnectionDeviceIDType(), mainID.c_str(), a.line,
                             a.lineType);

    if (auto msg = frame.NewEvent<CallOriginatedEventMSG>(connection)) {
        SetLine(*msg, a.line, a.lineType);
        SetService(*msg, a.serviceNumber, a.serviceID);
        cstaevent::SetSkillGroup(*msg, a.skillGroup, a.skillGroupID);
        CopyDeviceIDToMSG(calling, *msg, elementid::CallingDeviceType, elementid::CallingDeviceID);
        CopyDeviceIDToMSG(called, *msg, elementid::CalledDeviceType, elementid::CalledDeviceID);
        cstaevent::SetStateAndCause(*msg, lcs, cause);
        frame.Distribute(*msg);
    }
    frame.Finish("originated");
    if (originating != nullptr) originating->SetState(kConnect, nullptr);
}

// ---------------------------------------------------------------- service initiated

void CTIApplication::ProcessCallServiceInitiatedEvent(const CSTAMessage& m) {
    std::unique_ptr<CSTAServiceInitiatedEvent_PD> privateData;
    if (m.OPCPrivateDataLength() > 0)
        privateData = std::make_unique<CSTAServiceInitiatedEvent_PD>(m.Record().OPCBlock());
    CallEventFrame frame(*this, m, "ProcessCallServiceInitiatedEvent");
    ConnectionID connection = cstaevent::MainConnection(m);
    int32_t lcs = BodyWord(m, cstabody::kOneIdLCS), cause = BodyWord(m, cstabody::kOneIdCause);
    LineArea a = ReadLineArea(m, 32, 40, 48);
    // AgentExtension: a terminated text from area offset 56, of which 63 characters are used.
    char extension[64] = {};
    for (uint32_t i = 0; i < 16; ++i) {
        uint8_t word[4];
        plat::StoreLE32(word, static_cast<uint32_t>(Area(m, 56 + 4 * i)));
        std::memcpy(extension + 4 * i, word, 4);
    }
    extension[63] = '\0';
    if (frame.AreaTraceOn())
        EMSTraceMessage("                         Line=%d LineType=%s Service=%d(%d) SkillGroup=%d(%d) AgentExtension=%s",
                        a.line, LineTypeName(a.lineType), a.serviceNumber, a.serviceID, a.skillGroup,
                        a.skillGroupID, extension);
    frame.Sanitize(&connection, &lcs, &cause);
    SanitizeLineType(a.lineType);

    Call* call = frame.FindCall(true, "*** ProcessCallServiceInitiatedEvent - Periph %d CallID %s not found ***");
    if (call == nullptr) return;
    frame.CheckState(&lcs, kInitiate,
                     "*** ProcessCallServiceInitiatedEvent - Periph %d CallID %s localConnectionInfo %s, expected "
                     "CS_INITIATE ***");

    CSTAExtendedDeviceID calling;
    const bool known = extension[0] != '\0' && std::strcmp(extension, "-1") != 0;
    if (known)
        std::memcpy(calling.deviceID, extension, sizeof calling.deviceID);
    else
        calling.deviceIDStatus = 1;
    const int32_t silentMonitor = a.lineType == kSilentMonitorLine ? 1 : 0;
    const std::string mainID = m.MainDeviceID();
    const auto peripheralID = static_cast<int32_t>(m.PeripheralID());
    CTICSTAConnection* initiating = nullptr;
    if (known) {
        if (CTICSTADevice* device = frame.FindDevice(calling, "serviceInitiated->callingDevice")) {
            bool changed = false;
            initiating = SetConnection(device, call, kInitiate, 1, m.ConnectionDeviceIDType(), mainID.c_str(),
                                       "SvcInit:callingDev", changed);
        }
        SetCallSourceAgent(peripheralID, calling, call);
        UpdateAgentLineForDevice(peripheralID, calling, m.CallID(), 0, extension, a.line, a.lineType);
    }
    if (initiating == nullptr)
        initiating = call->UpdateConnection(kInitiate, 1, m.ConnectionDeviceIDType(), mainID.c_str(),
                                            "SvcInit:callingDev", false);
    if (initiating != nullptr) initiating->m_SilentMonitorStatus = silentMonitor;

    if (auto msg = frame.NewEvent<CallServiceInitiatedEventMSG>(connection)) {
        SetLine(*msg, a.line, a.lineType);
        SetService(*msg, a.serviceNumber, a.serviceID);
        cstaevent::SetSkillGroup(*msg, a.skillGroup, a.skillGroupID);
        CSTAExtendedDeviceID reported = calling;
        if (m.PeripheralType() == 30 || m.PeripheralType() == 51) {
            // These switches name the caller by the composite ID of the connection.
            reported = CSTAExtendedDeviceID{};
            std::memcpy(reported.deviceID, connection.deviceID, sizeof reported.deviceID - 1);
            char instrument[64] = {}, ext[16] = {};
            (void)BaseMSG::DisassembleDeviceID(reported.deviceID, instrument, ext, nullptr);
            reported.deviceIDType = instrument[0] != '\0' && ext[0] != '\0' ? 78 : 0;
        }
        CopyDeviceIDToMSG(reported, *msg, elementid::CallingDeviceType, elementid::CallingDeviceID);
        cstaevent::SetStateAndCause(*msg, lcs, cause);
        if (privateData != nullptr && privateData->COC.callID >= 0) {
            msg->SetUINT(elementid::COCConnectionCallID, static_cast<uint32_t>(privateData->COC.callID));
            msg->SetUSHORT(elementid::COCCallConnectionDeviceIDType, static_cast<uint16_t>(privateData->COC.deviceIDType));
            msg->SetSTRINGMax(elementid::COCCallConnectionDeviceID, privateData->COC.deviceID);
        }
        frame.Distribute(*msg);
    }
    frame.Finish("service initiated");
    if (initiating != nullptr) initiating->SetState(kConnect, nullptr);
}

// ---------------------------------------------------------------- held and retrieved

void CTIApplication::ProcessCallHeldEvent(const CSTAMessage& m) {
    static const HoldSide kHeld{
        "ProcessCallHeldEvent",
        "Held:holdingDev",
        "*** ProcessCallHeldEvent - Periph %d CallID %s not found ***",
        "*** ProcessCallHeldEvent - Periph %d CallID %s localConnectionInfo %s, expected CS_HOLD ***",
        kHold,
        elementid::HoldingDeviceType,
        elementid::HoldingDeviceID,
        "held",
        true};
    HoldOrRetrieve<CallHeldEventMSG>(*this, m, kHeld);
}

void CTIApplication::ProcessCallRetrievedEvent(const CSTAMessage& m) {
    static const HoldSide kRetrieved{
        "ProcessCallRetrievedEvent",
        "Retrieved:retrievingDev",
        "*** ProcessCallRetrievedEvent - Periph %d CallID %s not found ***",
        "*** ProcessCallRetrievedEvent - Periph %d CallID %s localConnectionInfo %s, expected CS_CONNECT ***",
        kConnect,
        elementid::RetrievingDeviceType,
        elementid::RetrievingDeviceID,
        "retrieved",
        false};
    HoldOrRetrieve<CallRetrievedEventMSG>(*this, m, kRetrieved);
}

// ---------------------------------------------------------------- diverted, failed, network reached

void CTIApplication::ProcessCallDivertedEvent(const CSTAMessage& m) {
    CallEventFrame frame(*this, m, "ProcessCallDivertedEvent");
    ConnectionID connection = cstaevent::MainConnection(m);
    const CSTAExtendedDeviceID diverting = Device(m, cstabody::kSecond), destination = Device(m, cstabody::kThird);
    int32_t lcs = BodyWord(m, cstabody::kThreeIdLCS), cause = BodyWord(m, cstabody::kThreeIdCause);
    const int32_t serviceNumber = Area(m, 32), serviceID = Area(m, 36);
    if (frame.AreaTraceOn()) EMSTraceMessage("                Service=%d(%d)", serviceNumber, serviceID);
    frame.Sanitize(&connection, &lcs, &cause);
    CTICSTADevice* divertingDevice = frame.FindDevice(diverting, "diverted->divertingDevice");
    CTICSTADevice* destinationDevice = frame.FindDevice(destination, "diverted->newDestination");
    Call* call = frame.FindCall(false, "*** ProcessCallDivertedEvent - Periph %d CallID %s not found ***");
    if (call == nullptr) return;

    bool changed = false;
    CTICSTAConnection* diverted = nullptr;
    if (divertingDevice != nullptr)
        (void)SetConnection(divertingDevice, call, 0, 0, 0, "", "Div:divertingDev", changed);
    if (destinationDevice != nullptr)
        diverted = SetConnection(destinationDevice, call, lcs, 2, static_cast<int32_t>(connection.deviceIDType),
                                 connection.deviceID, "Div:diverted", changed);

    if (auto msg = frame.NewEvent<CallDivertedEventMSG>(connection)) {
        SetService(*msg, serviceNumber, serviceID);
        CopyDeviceIDToMSG(diverting, *msg, elementid::DivertingDeviceType, elementid::DivertingDeviceID);
        CopyDeviceIDToMSG(destination, *msg, elementid::CalledDeviceType, elementid::CalledDeviceID);
        cstaevent::SetStateAndCause(*msg, lcs, cause);
        frame.Distribute(*msg);
    }
    if (divertingDevice != nullptr || destinationDevice != nullptr) call->ClearAlertingConnections(diverted);
    call->RemoveInactiveConnections();
    frame.Finish("diverted");
}

void CTIApplication::ProcessCallFailedEvent(const CSTAMessage& m) {
    CallEventFrame frame(*this, m, "ProcessCallFailedEvent");
    ConnectionID connection = cstaevent::MainConnection(m);
    const CSTAExtendedDeviceID failing = Device(m, cstabody::kSecond), called = Device(m, cstabody::kThird);
    int32_t lcs = BodyWord(m, cstabody::kThreeIdLCS), cause = BodyWord(m, cstabody::kThreeIdCause);
    frame.Sanitize(&connection, &lcs, &cause);
    CTICSTADevice* failingDevice = frame.FindDevice(failing, "failed->failingDevice");
    Call* call = frame.FindCall(false, "*** ProcessCallFailedEvent - Periph %d CallID %s not found ***");
    if (call == nullptr) return;

    if (failingDevice != nullptr) {
        bool changed = false;
        (void)SetConnection(failingDevice, call, lcs, 2, static_cast<int32_t>(connection.deviceIDType),
                            connection.deviceID, "Fail:failingDev", changed);
    }
    call->ClearAlertingConnections(nullptr);
    if (auto msg = frame.NewEvent<CallFailedEventMSG>(connection)) {
        CopyDeviceIDToMSG(failing, *msg, elementid::FailingDeviceType, elementid::FailingDeviceID);
        CopyDeviceIDToMSG(called, *msg, elementid::CalledDeviceType, elementid::CalledDeviceID);
        cstaevent::SetStateAndCause(*msg, lcs, cause);
        frame.Distribute(*msg);
    }
    call->RemoveInactiveConnections();
    frame.Finish("failed");
}

void CTIApplication::ProcessCallReachedNetworkEvent(const CSTAMessage& m) {
    CallEventFrame frame(*this, m, "ProcessCallReachedNetworkEvent");
    ConnectionID connection = cstaevent::MainConnection(m);
    const CSTAExtendedDeviceID trunkUsed = Device(m, cstabody::kSecond), called = Device(m, cstabody::kThird);
    int32_t lcs = BodyWord(m, cstabody::kThreeIdLCS), cause = BodyWord(m, cstabody::kThreeIdCause);
    int32_t line = Area(m, 32), lineType = Area(m, 36);
    const int32_t trunk = Area(m, 40), trunkGroup = Area(m, 44);
    if (frame.AreaTraceOn())
        EMSTraceMessage("                       Line=%d LineType=%s TrunkNum=%d TrunkGroupNum=%d", line,
                        LineTypeName(lineType), trunk, trunkGroup);
    frame.Sanitize(&connection, &lcs, &cause);
    SanitizeLineType(lineType);
    CTICSTADevice* trunkDevice = frame.FindDevice(trunkUsed, "networkReached->trunkUsed");
    Call* call = frame.FindCall(false, "*** ProcessCallReachedNetworkEvent - Periph %d CallID %s not found ***");
    if (call == nullptr) return;

    if (trunkDevice != nullptr) {
        bool changed = false;
        const std::string mainID = m.MainDeviceID();
        (void)SetConnection(trunkDevice, call, lcs, 1, m.ConnectionDeviceIDType(), mainID.c_str(), "Net:trunkUsed",
                            changed);
    }
    if (auto msg = frame.NewEvent<CallReachedNetworkEventMSG>(connection)) {
        if (line == -1) {
            // OPC left the line to us: the agent line that carries the call.
            line = call->GetLineNumber(call->m_CallID);
            lineType = call->GetLineType(call->m_CallID);
        }
        SetLine(*msg, line, lineType);
        cstaevent::SetTrunks(*msg, trunk, trunkGroup);
        CopyDeviceIDToMSG(trunkUsed, *msg, elementid::TrunkUsedDeviceType, elementid::TrunkUsedDeviceID);
        CopyDeviceIDToMSG(called, *msg, elementid::CalledDeviceType, elementid::CalledDeviceID);
        cstaevent::SetStateAndCause(*msg, lcs, cause);
        frame.Distribute(*msg);
    }
    frame.Finish("network reached");
}

// ---------------------------------------------------------------- agent greeting

void CTIApplication::ProcessCallAgentGreetingEvent(const CSTAMessage& m) {
    CallEventFrame frame(*this, m, "ProcessCallAgentGreetingEvent");
    const ConnectionID connection = cstaevent::MainConnection(m);
    const uint8_t* body = m.Record().EventBody();
    char greetingType[cstabody::kGreetingTypeSize + 1] = {};
    std::memcpy(greetingType, body + cstabody::kGreetingType, cstabody::kGreetingTypeSize);
    const auto eventCode = static_cast<uint32_t>(BodyWord(m, cstabody::kGreetingEventCode));
    const auto peripheralError = static_cast<uint32_t>(BodyWord(m, cstabody::kGreetingPeripheralErrorCode));

    CSTAExtendedDeviceID id;
    std::memcpy(id.deviceID, connection.deviceID, sizeof id.deviceID - 1);
    id.deviceIDType = static_cast<int32_t>(connection.deviceIDType);
    CTICSTADevice* device = frame.FindDevice(id, "agentGreetingEvent");
    if (device == nullptr) {
        EMSTraceMessage("*** ProcessCallAgentGreetingEvent - AgentDevice (PID=%d DeviceID=%s DeviceType=%s "
                        "DeviseStatus=%d) not found, Event dropped ***",
                        static_cast<int>(m.PeripheralID()), id.deviceID,
                        cstatrace::CSTADeviceIDTypeText(id.deviceIDType).c_str(), id.deviceIDStatus);
        return;
    }
    Agent* agent = device->GetAgent();
    if (agent == nullptr) {
        EMSTraceMessage("*** ProcessCallAgentGreetingEvent - PID=%d DeviceID=%s is not associated with any agent, "
                        "Event dropped***",
                        static_cast<int>(m.PeripheralID()), id.deviceID);
        return;
    }
    if (MDSIO::IsServerActive() == 0) return;
    CallAgentGreetingEventMSG msg;
    msg.SetUINT(elementid::MonitorID, 0);
    msg.SetUINT(elementid::CTIPeripheralID, m.PeripheralID());
    CopyConnectionIDToMSG(connection, msg, elementid::ConnectionDeviceIDType, elementid::ConnectionDeviceID);
    msg.SetUINT(elementid::ConnectionCallID, static_cast<uint32_t>(connection.callID));
    msg.SetUSHORT(elementid::EventCode, static_cast<uint16_t>(eventCode));
    msg.SetUINT(elementid::PeripheralErrorCode, peripheralError);
    msg.SetSTRINGMax(elementid::GreetingType, greetingType);
    msg.SetSTRINGMax(elementid::AgentID, agent->GetAgentID());
    if (!ValidateMessage("ProcessCallAgentGreetingEvent", msg)) return;
    (void)SessionProtocol::WriteMSG(connection.deviceID, static_cast<int32_t>(m.PeripheralID()), msg,
                                    SessionProtocol::DistributeAllEvents);
    device->WriteMSG(msg, nullptr);
}
