// CTI_CSTA_MESSAGE from OPC: unpacked, dispatched by event class and type, and the checks and
// copies its handlers share.
#include "parlo/app/cstaintake.h"

#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "ctimsg/basemsg.h"
#include "ctimsg/elementids.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "opcmsg/opclib.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/cstaeventnumbers.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/app/cstatrace.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/call.h"
#include "parlo/opclink/mdsio.h"

namespace {

constexpr uint16_t kCSTAPrivate = CSTAEventNumber("CSTA_PRIVATE");
constexpr size_t kEventIndexSize = 256;
constexpr size_t kPrivateIndexSize = 64;
constexpr uint32_t kSanitizerPeriod = 1024;
constexpr uint32_t kCopyPeriod = 512;

CSTASanitizerCounters g_counters;

// One slot per type below Size: the row's index, or -1. A type out of range or listed twice
// does not compile.
template <size_t Size, typename Row, size_t N>
constexpr std::array<int16_t, Size> IndexRows(const std::array<Row, N>& rows) {
    std::array<int16_t, Size> index{};
    for (auto& slot : index) slot = -1;
    for (size_t i = 0; i < N; ++i) {
        if (rows[i].type >= Size || index[rows[i].type] != -1) throw "a type out of range or twice";
        index[rows[i].type] = static_cast<int16_t>(i);
    }
    return index;
}

// Advances a rate-limited counter; true when this rejection is to be traced.
bool CountRejection(uint32_t& counter) {
    counter = (counter + 1) % kSanitizerPeriod;
    return counter == 1;
}

}  // namespace

// ---------------------------------------------------------------- the tables

#define APP_EVENT_FN_Built(handler) &CTIApplication::handler
#define APP_EVENT_FN_Later(handler) &CTIApplication::ProcessLaterCSTAEvent
#define APP_PRIVATE_FN_Built(handler) &CTIApplication::handler
#define APP_PRIVATE_FN_Later(handler) &CTIApplication::ProcessLaterCSTAPrivateEvent
#define APP_PRIVATE_FN_Unimplemented(handler) nullptr

struct CSTAEventTables {
    static constexpr auto kEvents = std::to_array<CSTAEventRoute>({
#define EVENT_ROW(name, handler, state)                                                       \
    {CSTAEventNumber(#name), #name, "CTIApplication::" #handler, CSTAEventState::state,        \
     APP_EVENT_FN_##state(handler)},
#include "parlo/app/cstaeventtable.def"
    });
    static constexpr auto kPrivate = std::to_array<CSTAPrivateRoute>({
#define PRIVATE_ROW(number, name, handler, state)                                             \
    {number, #name, "CTIApplication::" #handler, CSTAEventState::state,                       \
     APP_PRIVATE_FN_##state(handler)},
#include "parlo/app/cstaeventtable.def"
    });
    static constexpr auto kEventIndex = IndexRows<kEventIndexSize>(kEvents);
    static constexpr auto kPrivateIndex = IndexRows<kPrivateIndexSize>(kPrivate);
};

std::span<const CSTAEventRoute> CSTAEventRoutes() { return CSTAEventTables::kEvents; }
std::span<const CSTAPrivateRoute> CSTAPrivateRoutes() { return CSTAEventTables::kPrivate; }

const CSTAEventRoute* FindCSTAEventRoute(int64_t type) {
    if (type < 0 || type >= static_cast<int64_t>(kEventIndexSize)) return nullptr;
    const int16_t i = CSTAEventTables::kEventIndex[static_cast<size_t>(type)];
    return i < 0 ? nullptr : &CSTAEventTables::kEvents[static_cast<size_t>(i)];
}

const CSTAPrivateRoute* FindCSTAPrivateRoute(int64_t type) {
    if (type < 0 || type >= static_cast<int64_t>(kPrivateIndexSize)) return nullptr;
    const int16_t i = CSTAEventTables::kPrivateIndex[static_cast<size_t>(type)];
    return i < 0 ? nullptr : &CSTAEventTables::kPrivate[static_cast<size_t>(i)];
}

// ---------------------------------------------------------------- intake and dispatch

void CTIApplication::ProcessCSTAMessage(const uint8_t* body, size_t length) {
    if (!m_CSTARecord) m_CSTARecord = std::make_unique<CSTAEventRecord>();
    // No OPC message comes near 4 GB; a longer one is read only as far as 32 bits count.
    const uint32_t bounded = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
    if (!UnpackCSTAMessage(body, bounded, m_CSTARecord.get())) return;
    const CSTAMessage message(body, *m_CSTARecord);
    switch (m_CSTARecord->EventClass()) {
        case kCSTAClassUnsolicited:
            ProcessCSTAUnsolicited(message);
            break;
        case kCSTAClassConfirmation:
            ProcessCSTAConfirmation(message);
            break;
        case kCSTAClassEventReport:
            ProcessCSTAEventReport(message);
            break;
        default:
            EMSTraceMessage("*** ProcessCSTAMessage: Unimplemented event class %d ... ignored ***",
                            static_cast<int>(m_CSTARecord->EventClass()));
            break;
    }
}

void CTIApplication::ProcessCSTAUnsolicited(const CSTAMessage& message) {
    const CSTAEventRecord& record = message.Record();
    const uint16_t type = record.EventType();
    if (IsCallstateTraceOn() || (EMSGetTraceMask() & tracebit::TR_PROC_6))
        CSTADisplayCallEventReports(record, type, message.OPCBlockOrNull());
    if (!MatchACSHeader(record.Header(), kCSTAClassUnsolicited, type)) {
        EMSTraceMessage("*** ProcessCSTAUnsolicited - Invalid ACSHeader received. Message ignored. ***");
        return;
    }
    const CSTAEventRoute* route = FindCSTAEventRoute(type);
    if (route == nullptr) {
        EMSTraceMessage("*** ProcessCSTAUnsolicited: Unimplemented event type %d ... ignored ***",
                        static_cast<int>(type));
        return;
    }
    (this->*(route->function))(message);
}

void CTIApplication::ProcessCSTAEventReport(const CSTAMessage& message) {
    const uint16_t type = message.Record().EventType();
    if (type != kCSTAPrivate) {
        EMSTraceMessage("*** ProcessCSTAEventReport: Unimplemented event type %d ... ignored ***",
                        static_cast<int>(type));
        return;
    }
    ProcessCSTAPrivateEvent(message);
}

void CTIApplication::ProcessCSTAPrivateEvent(const CSTAMessage& message) {
    const CSTAEventRecord& record = message.Record();
    if (!MatchACSHeader(record.Header(), kCSTAClassEventReport, kCSTAPrivate)) {
        EMSTraceMessage("*** ProcessCSTAPrivateEvent - Invalid ACSHeader received. Message ignored. ***");
        return;
    }
    // The private data as OPC sent it (the unpacker bounded it by the block), not the
    // block's length rounded up to whole words.
    ProcessCSTAPrivateEventMessages(message, PrivateDataPointer(record.OPCBlock(), 0),
                                    message.OPCPrivateDataLength());
}

void CTIApplication::ProcessCSTAPrivateEventMessages(const CSTAMessage& message, const uint8_t* data,
                                                     uint32_t length) {
    if (length < 4) {
        // No type word: nothing past what OPC sent is read.
        EMSTraceMessage("*** ProcessCSTAPrivateEventMessages - private data of %u bytes without a message type "
                        "... ignored ***",
                        length);
        return;
    }
    const uint32_t type = plat::LoadLE32(data);
    const CSTAPrivateRoute* route = FindCSTAPrivateRoute(type);
    if (route == nullptr) {
        EMSTraceMessage("*** ProcessCSTAPrivateEventMessages - Unimplemented message type %d ... ignored ***",
                        static_cast<int>(type));
        return;
    }
    if (route->function == nullptr) {
        EMSTraceMessage("*** ProcessCSTAPrivateEventMessages - %s not yet implemented ... ignored ***", route->name);
        return;
    }
    (this->*(route->function))(message, data + 4, length - 4);
}

void CTIApplication::ProcessLaterCSTAEvent(const CSTAMessage& message) {
    const uint16_t type = message.Record().EventType();
    EMSTraceMessage("CTIApplication::ProcessCSTAMessage - %s (%d) is not served yet, dropped.",
                    CSTAEventTypeName(type), static_cast<int>(type));
}

void CTIApplication::ProcessLaterCSTAPrivateEvent(const CSTAMessage&, const uint8_t* data, uint32_t length) {
    // The rows hand over the message after its type word, which is still in the block.
    const uint32_t type = plat::LoadLE32(data - 4);
    const CSTAPrivateRoute* route = FindCSTAPrivateRoute(type);
    EMSTraceMessage("CTIApplication::ProcessCSTAMessage - private %s (%u bytes) is not served yet, dropped.",
                    route != nullptr ? route->name : "message", length);
}

// ---------------------------------------------------------------- identifiers

CSTAExtendedDeviceID ReadExtendedDeviceID(const uint8_t* wire) {
    CSTAExtendedDeviceID id;
    std::memcpy(id.deviceID, wire, sizeof id.deviceID);
    id.deviceIDType = static_cast<int32_t>(plat::LoadLE32(wire + 64));
    id.deviceIDStatus = static_cast<int32_t>(plat::LoadLE32(wire + 68));
    return id;
}

CSTASanitizerCounters& SanitizerCounters() { return g_counters; }

void SanitizeConnectionID(ConnectionID& id) {
    if (id.deviceIDType == 0 || id.deviceIDType == 1) return;
    if (CountRejection(g_counters.identifiers))
        EMSTraceMessage("*** Sanitize:Invalid connectionID devIDType %d, ignored <%d.%s(?)> ***",
                        static_cast<int>(id.deviceIDType), static_cast<int>(id.callID), id.deviceID);
    id.deviceIDType = 0;
    id.deviceID[0] = '\0';
}

void SanitizeDeviceID(int32_t& deviceIDType, char* deviceID) {
    if (deviceIDType == 0 || deviceIDType == 1 || deviceIDType == -1) return;
    if (CountRejection(g_counters.identifiers))
        EMSTraceMessage("*** Sanitize:Invalid connectionID devIDType %d, ignored <devID \"%s\"> ***",
                        static_cast<int>(deviceIDType), deviceID != nullptr ? deviceID : "");
    deviceIDType = 0;
    if (deviceID != nullptr) deviceID[0] = '\0';
}

void SanitizeLocalConnectionState(int32_t& state) {
    if (state >= -1 && state <= 6) return;
    if (CountRejection(g_counters.states))
        EMSTraceMessage("*** Sanitize:Invalid LocalConnectionStateInfo %d, ignored ***", static_cast<int>(state));
    state = -1;
}

void SanitizeEventCause(int32_t& cause) {
    if (cause == -1 || (cause >= 1 && cause <= 61) || (cause >= 1001 && cause <= 1066)) return;
    if (CountRejection(g_counters.causes))
        EMSTraceMessage("*** Sanitize:Invalid EventCause %d, ignored ***", static_cast<int>(cause));
    cause = -1;
}

void SanitizeLineType(int32_t& lineType) {
    if (lineType >= 0 && lineType <= 11) return;
    EMSTraceMessage("*** SanitizeLineType:Invalid LineType %d reported ***", static_cast<int>(lineType));
    lineType = 3;
}

void CopyConnectionIDToMSG(const ConnectionID& id, BaseMSG& msg, uint32_t typeElement, uint32_t idElement) {
    if (id.deviceIDType == 0 || id.deviceIDType == 1) {
        msg.SetUSHORT(typeElement, static_cast<uint16_t>(id.deviceIDType));
        msg.SetSTRINGMax(idElement, id.deviceID);
        return;
    }
    if (g_counters.connectionCopies == 0)
        EMSTraceMessage("*** Invalid %s provided for %s: CallID=%d IDtype=%d ID=%s ***",
                        ElementName(static_cast<int32_t>(typeElement)),
                        MsgTypeName(static_cast<int32_t>(msg.GetMsgType())), static_cast<int>(id.callID),
                        static_cast<int>(id.deviceIDType), id.deviceID);
    g_counters.connectionCopies = (g_counters.connectionCopies + 1) % kCopyPeriod;
    msg.SetUSHORT(typeElement, 0);
    msg.SetSTRINGMax(idElement, "");
}

void CopyDeviceIDToMSG(const CSTAExtendedDeviceID& id, BaseMSG& msg, uint32_t typeElement, uint32_t idElement) {
    if (id.deviceIDStatus != 0) {
        msg.SetUSHORT(typeElement, 0xFFFF);
        return;
    }
    const int32_t t = id.deviceIDType;
    const bool kept = t == 0 || t == 70 || t == 71 || t == 75 || t == 78;
    msg.SetUSHORT(typeElement, static_cast<uint16_t>(kept ? t : 0));
    msg.SetSTRINGMax(idElement, std::string_view(id.deviceID, strnlen(id.deviceID, sizeof id.deviceID)));
}

// ---------------------------------------------------------------- the call-event frame

CallEventFrame::CallEventFrame(const CTIApplication& app, const CSTAMessage& message, const char* handler)
    : app_(app), message_(message), handler_(handler) {}

bool CallEventFrame::AreaTraceOn() const {
    return app_.IsCallstateTraceOn() || (EMSGetTraceMask() & tracebit::TR_PROC_6) != 0;
}

void CallEventFrame::Sanitize(ConnectionID* connection, int32_t* localConnectionState, int32_t* cause) {
    if (connection != nullptr) SanitizeConnectionID(*connection);
    if (localConnectionState != nullptr) SanitizeLocalConnectionState(*localConnectionState);
    if (cause != nullptr) SanitizeEventCause(*cause);
}

CTICSTADevice* CallEventFrame::FindDevice(const CSTAExtendedDeviceID& id, const char* hint, bool create) {
    return FindOrCreateCTICSTADevice(message_.PeripheralID(), &id, "", hint,
                                     IsDefinityPeripheralType(message_.PeripheralType()), create);
}

std::string CallEventFrame::ConnectionText() const {
    std::string text;
    AppendConnectionIDText(text, message_.CallID(), message_.ConnectionDeviceIDType(), message_.MainDeviceID().c_str());
    return text;
}

Call* CallEventFrame::FindCall(bool fallback, const char* notFound) {
    const std::string deviceID = message_.MainDeviceID();
    call_ = Call::FindCall(message_.PeripheralID(), static_cast<uint32_t>(message_.CallID()),
                           message_.ConnectionDeviceIDType(), deviceID.c_str(), 1);
    if (call_ == nullptr && fallback)
        call_ = Call::FindLastCall(message_.PeripheralID(), static_cast<uint32_t>(message_.CallID()), -2, "", 1);
    if (call_ == nullptr) EMSTraceMessage(notFound, static_cast<int>(message_.PeripheralID()), ConnectionText().c_str());
    return call_;
}

void CallEventFrame::CheckState(int32_t* localConnectionState, int32_t expected, const char* format) const {
    if (*localConnectionState == expected) return;
    EMSTraceMessage(format, static_cast<int>(message_.PeripheralID()), ConnectionText().c_str(),
                    cstatrace::CSTALocalConnectionStateText(*localConnectionState));
    *localConnectionState = expected;
}

bool CallEventFrame::ServerActive() { return MDSIO::IsServerActive() != 0; }
bool CallEventFrame::TraceECCVariables() { return SVRTraceON(ECCVariables); }
bool CallEventFrame::TracePeriphVariables() { return SVRTraceON(PeriphVariables); }

void CallEventFrame::SetCommonFields(BaseMSG& msg, const ConnectionID& connection) const {
    msg.SetUINT(elementid::MonitorID, 0);
    msg.SetUINT(elementid::CTIPeripheralID, call_->m_PeripheralID);
    msg.SetUSHORT(elementid::PeripheralType, static_cast<uint16_t>(ConvertPeripheralType(call_->m_PeripheralType)));
    CopyConnectionIDToMSG(connection, msg, elementid::ConnectionDeviceIDType, elementid::ConnectionDeviceID);
    msg.SetUINT(elementid::ConnectionCallID, call_->m_CallID);
}

int CallEventFrame::Distribute(BaseMSG& msg, bool setState, bool passConnection) const {
    if (!ValidateMessage(handler_, msg)) return 0;
    call_->WriteMSG(msg, setState, passConnection);
    return 1;
}

void CallEventFrame::Finish(const char* lastEvent) const {
    call_->SetLastEvent(lastEvent);
    if (app_.IsCallstateTraceOn()) call_->TraceCallState();
}
