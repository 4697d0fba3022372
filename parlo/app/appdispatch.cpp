// The application's dispatch of client and OPC messages, driven by dispatchtables.def, and
// the PG status handlers.
#include "parlo/app/appdispatch.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "ctimsg/statuscodes.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "opcmsg/agentmsgs.h"
#include "opcmsg/opcnames.h"
#include "opcmsg/opctypes.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appport.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/meterids.h"
#include "parlo/common/svrtrace.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/session/session.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kMaxClientVersion = 24;
constexpr uint32_t kPGStatusEMS = 0x612EC007;
// SystemEventIDs the PG status report and SYSTEM_EVENT tell apart.
constexpr int32_t kPeripheralOnline = 3, kPeripheralOffline = 4, kTextMessage = 5,
                  kPGOffline = 6;

// One slot per type from 0 to the largest type of the rows: the row's index, or -1.
template <typename Row, size_t N>
constexpr size_t IndexSize(const std::array<Row, N>& rows) {
    int32_t largest = 0;
    for (const Row& row : rows) largest = std::max(largest, row.type);
    return static_cast<size_t>(largest) + 1;
}
template <size_t Size, typename Row, size_t N>
constexpr std::array<int16_t, Size> IndexRows(const std::array<Row, N>& rows) {
    std::array<int16_t, Size> index{};
    for (auto& slot : index) slot = -1;
    for (size_t i = 0; i < N; ++i) index[static_cast<size_t>(rows[i].type)] = static_cast<int16_t>(i);
    return index;
}

}  // namespace

// ---------------------------------------------------------------- the tables

#define APP_CLIENT_FN_Built(handler) &CTIApplication::handler
#define APP_CLIENT_FN_Later(handler) &CTIApplication::ProcessLaterClientMessage
#define APP_OPC_FN_Built(handler) &CTIApplication::handler
#define APP_OPC_FN_Later(handler) &CTIApplication::ProcessLaterOPCMessage
#define APP_OPC_FN_Ignored(handler) nullptr
#define APP_OPC_WHOLE_Body false
#define APP_OPC_WHOLE_Whole true

struct DispatchTables {
    static constexpr auto kClient = std::to_array<AppDispatch::ClientRow>({
#define CLIENT_ROW(name, handler, state)                                                   \
    {static_cast<int32_t>(CTIMsgType::name), #name, "CTIApplication::" #handler,            \
     AppDispatch::RowState::state, APP_CLIENT_FN_##state(handler)},
#include "parlo/app/dispatchtables.def"
    });
    static constexpr auto kOPC = std::to_array<AppDispatch::OPCRow>({
#define OPC_ROW(name, handler, state, data)                                                 \
    {static_cast<int32_t>(name), #name, "CTIApplication::" #handler, AppDispatch::RowState::state, \
     APP_OPC_WHOLE_##data, APP_OPC_FN_##state(handler)},
#include "parlo/app/dispatchtables.def"
    });
    static constexpr auto kClientIndex = IndexRows<IndexSize(kClient)>(kClient);
    static constexpr auto kOPCIndex = IndexRows<IndexSize(kOPC)>(kOPC);
};
using Tables = DispatchTables;

std::span<const AppDispatch::ClientRow> AppDispatch::ClientRows() { return Tables::kClient; }
std::span<const AppDispatch::OPCRow> AppDispatch::OPCRows() { return Tables::kOPC; }

const AppDispatch::ClientRow* AppDispatch::FindClientRow(int32_t type) {
    if (type < 0 || type >= static_cast<int32_t>(Tables::kClientIndex.size())) return nullptr;
    const int16_t i = Tables::kClientIndex[static_cast<size_t>(type)];
    return i < 0 ? nullptr : &Tables::kClient[static_cast<size_t>(i)];
}

const AppDispatch::OPCRow* AppDispatch::FindOPCRow(int32_t type) {
    if (type < 0 || type >= static_cast<int32_t>(Tables::kOPCIndex.size())) return nullptr;
    const int16_t i = Tables::kOPCIndex[static_cast<size_t>(type)];
    return i < 0 ? nullptr : &Tables::kOPC[static_cast<size_t>(i)];
}

// ---------------------------------------------------------------- client messages

AppDispatch::SessionInput AppDispatch::ProcessSessionMessage() {
    std::unique_ptr<SessionMSG> frame = SessionProtocol::DequeueInputMessage();
    if (!frame) return SessionInput::None;
    const int32_t sessionID = static_cast<int32_t>(frame->SessionID());
    GetAppServerPort().UpdateMeter(meter::MessageQueue, static_cast<int32_t>(std::min<uint32_t>(frame->ElapsedSinceStamp(), INT32_MAX)));
    const int64_t started = plat::MonotonicNs();
    const uint32_t version = frame->ClientVersion();
    if (version == 0 || version > kMaxClientVersion) {
        EMSTraceMessage("CTIApplication::ProcessSessionMessage() - The CTI Protocol version %d in the "
                        "message is invalid.",
                        static_cast<int>(version));
        return SessionInput::Refused;
    }
    const int32_t type = static_cast<int32_t>(frame->GetType());
    // The session layer decoded the frame once, when it read it.
    BaseMSGPtr msg = frame->TakeDecoded();
    if (!msg) {
        EMSTraceMessage("CTIApplication::ProcessSessionMessage - SessionID %d: %s without its decoded message, "
                        "dropped.",
                        static_cast<int>(sessionID), MsgTypeName(type));
        return SessionInput::Refused;
    }
    if (EMSGetTraceMask() & tracebit::TR_PROC_4) {
        EMSTraceMessage("CTIApplication::ProcessSessionMessage - SessionID %d: %s",
                        static_cast<int>(sessionID), MsgTypeName(type));
    }
    const CTIRegistry* registry = app_.GetRegistry();
    const bool nicFailover = registry != nullptr && registry->Dynamic(CTIRegistry::NICStatusBasedFailover) != 0;
    if (RefusedByFailover(nicFailover, GetAppServerPort().GetFailoverReported(), type)) {
        EMSTraceMessage("!WARNING! ProcessSessionMessage - Received MsgType=%d from SESSION-%d when Parlo failover "
                        "in progress",
                        static_cast<int>(type), static_cast<int>(sessionID));
        (void)SessionProtocol::SendFailureEventMSG(sessionID, E_CTI_UNSPECIFIED_FAILURE, false);
        return SessionInput::Refused;
    }
    const ClientRow* row = FindClientRow(type);
    if (row == nullptr) {
        // Not a type a client may send: the session goes.
        (void)SessionProtocol::SendFailureEventMSG(sessionID, E_CTI_UNSPECIFIED_FAILURE, true);
        UpdateMeterSince(meter::MessageProcessing, started);
        return SessionInput::Refused;
    }
    (app_.*(row->function))(sessionID, std::move(msg), frame->Stamp());
    UpdateMeterSince(meter::MessageProcessing, started);
    return SessionInput::Dispatched;
}

void AppDispatch::ProcessLaterClientMessage(int32_t sessionID, BaseMSGPtr msg, uint64_t) {
    const int32_t type = static_cast<int32_t>(msg->GetMsgType());
    EMSTraceMessage("CTIApplication: %s from SessionID %d is not served yet.", MsgTypeName(type),
                    static_cast<int>(sessionID));
    // A request gets its answer; the session stays.
    if (msg->FindElement(elementid::InvokeID, 0, false) != nullptr)
        (void)SessionProtocol::SendFailureConfMSG(sessionID, msg->GetUINT(elementid::InvokeID), E_CTI_UNSPECIFIED_FAILURE);
}

void AppDispatch::ProcessSessionFailedMsg(int32_t sessionID, BaseMSGPtr msg, uint64_t) {
    // The look-up and the failure are one step under the session layer's lock.
    const uint32_t status = msg->GetUINT(elementid::Status);
    if (EMSGetTraceMask() & tracebit::TR_PROC_4)
        EMSTraceMessage("ProcessSessionFailedMsg - sessionID %d, Status %s", static_cast<int>(sessionID),
                        StatusCodeName(static_cast<int32_t>(status)));
    if (!SessionProtocol::FailSessionByID(sessionID, status) && (EMSGetTraceMask() & tracebit::kDefault))
        EMSTraceMessage("ProcessSessionFailedMsg - sessionID %d not found", static_cast<int>(sessionID));
}

// ---------------------------------------------------------------- OPC messages

void AppDispatch::ProcessOPCMessage(int type, int length, const uint8_t* data) {
    const OPCRow* row = FindOPCRow(type);
    if (row == nullptr) {
        EMSFailMessage("*** CTIApplication::ProcessOPCMessage - Invalid OPC-CTI message type %d (%s) "
                       "received. ***",
                       type, OPCMessageTypeName(static_cast<uint32_t>(type)));
    }
    if (row->state == RowState::Ignored) return;
    if (length < 4 || data == nullptr) {
        // Every OPC message carries the ServerNumber word.
        EMSTraceMessage("CTIApplication::ProcessOPCMessage - %s of %d bytes, dropped.", row->typeName,
                        length);
        return;
    }
    m_DispatchingOPCType = type;
    if (row->wholeData)
        (app_.*(row->function))(data, static_cast<size_t>(length));
    else
        (app_.*(row->function))(data + 4, static_cast<size_t>(length) - 4);
}

void AppDispatch::ProcessLaterOPCMessage(const uint8_t*, size_t length) {
    EMSTraceMessage("CTIApplication::ProcessOPCMessage - %s (%d bytes) is not served yet, dropped.",
                    OPCMessageTypeName(static_cast<uint32_t>(m_DispatchingOPCType)),
                    static_cast<int>(length));
}

void AppDispatch::ProcessConfigMessage(const uint8_t* body, size_t length) {
    GetAppServerPort().ProcessConfigMessage(body, length);
}

void AppDispatch::ProcessPGStatusEvent(const uint8_t* body, size_t length) {
    OPCPGStatusEvent event;
    const OPCBodyResult parsed = ParsePGStatusEvent(body, length, &event);
    if (!parsed.ok) {
        EMSTraceMessage("CTIApplication::ProcessPGStatusEvent - malformed body of %d bytes, dropped.",
                        static_cast<int>(length));
        return;
    }
    AppServerPort& port = GetAppServerPort();
    port.SetPGStatus(static_cast<int>(event.PGStatus));
    port.SetPeripheralStatus(event.SystemEventArg1, static_cast<int32_t>(event.SystemEventID));
    const int32_t id = static_cast<int32_t>(event.SystemEventID);
    std::string suffix;
    if (id == kPeripheralOnline || id == kPeripheralOffline) {
        char text[80];
        (void)BoundedSprintf(text, 80, " (PeripheralID %d)", static_cast<int>(event.SystemEventArg1));
        suffix = text;
    } else if (id == kTextMessage) {
        suffix = " (" + event.Text + ")";
    }
    EMSEvent0I3S(kPGStatusEMS, 0, 0, PGStatusEventName(id), suffix.c_str(),
                 PGStatusText(static_cast<int32_t>(event.PGStatus)));
    if (!MDSIO::IsServerActive()) return;
    SystemEventMSG msg;
    msg.SetUINT(elementid::PGStatus, event.PGStatus);
    msg.SetUINT(elementid::CCTimestamp, static_cast<uint32_t>(port.GetPGTime()));
    msg.SetUINT(elementid::SystemEventID, event.SystemEventID);
    msg.SetUINT(elementid::SystemEventArg1, static_cast<uint32_t>(event.SystemEventArg1));
    msg.SetUINT(elementid::SystemEventArg2, static_cast<uint32_t>(event.SystemEventArg2));
    msg.SetUINT(elementid::SystemEventArg3, static_cast<uint32_t>(event.SystemEventArg3));
    msg.SetUSHORT(elementid::EventDeviceType, 0xFFFF);
    if (!event.Text.empty()) msg.SetSTRINGMax(elementid::CTIText, event.Text);
    if (ValidateMessage("ProcessPGStatusEvent", msg))
        (void)SessionProtocol::WriteMSG(nullptr, 0, msg, SessionProtocol::DistributeAllSessions);
}

void AppDispatch::ProcessPGFailure(const char* text) {
    if (!MDSIO::IsServerActive()) return;
    AppServerPort& port = GetAppServerPort();
    SystemEventMSG msg;
    msg.SetUINT(elementid::PGStatus, static_cast<uint32_t>(port.GetPGStatus() | 1));
    msg.SetUINT(elementid::CCTimestamp, static_cast<uint32_t>(port.GetPGTime()));
    msg.SetUINT(elementid::SystemEventID, static_cast<uint32_t>(kPGOffline));
    msg.SetUINT(elementid::SystemEventArg1, 0);
    msg.SetUINT(elementid::SystemEventArg2, 0);
    msg.SetUINT(elementid::SystemEventArg3, 0);
    msg.SetUSHORT(elementid::EventDeviceType, 0xFFFF);
    msg.SetSTRINGMax(elementid::CTIText, text ? text : "");
    if (ValidateMessage("ProcessPGFailure", msg)) (void)SessionProtocol::WriteMSG(nullptr, 0, msg, SessionProtocol::DistributeAllSessions);
}

bool AppDispatch::RefusedByFailover(bool nicStatusBasedFailover, int failoverReported, int32_t type) {
    return nicStatusBasedFailover && failoverReported == 1 && type != static_cast<int32_t>(CLOSE_REQ);
}
