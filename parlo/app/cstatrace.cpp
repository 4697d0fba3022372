// The CSTA event report line and the value texts of the CSTA traces.
#include "parlo/app/cstatrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "opcmsg/cstaeventpd.h"
#include "opcmsg/opclib.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/cstaeventnumbers.h"
#include "parlo/app/cstaintake.h"
#include "platform/byteorder.h"

namespace cstatrace {

namespace {

constexpr uint16_t kServiceInitiated = CSTAEventNumber("CSTA_SERVICE_INITIATED");
constexpr uint16_t kCallInformation = CSTAEventNumber("CSTA_CALL_INFORMATION");
constexpr uint16_t kAgentGreeting = CSTAEventNumber("CSTA_CALL_AGENT_GREETING");
constexpr uint16_t kRecordingStarted = CSTAEventNumber("CSTA_RECORDING_STARTED_EVENT");
constexpr uint16_t kRecordingEnded = CSTAEventNumber("CSTA_RECORDING_ENDED_EVENT");
constexpr uint16_t kRecordingFailed = CSTAEventNumber("CSTA_RECORDING_FAILED_EVENT");
constexpr uint16_t kRecordingTargetInfo = CSTAEventNumber("CSTA_RECORDING_TARGET_INFO_EVENT");

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, format, again);
    va_end(again);
    return out;
}

std::string_view DeviceText(const CSTAExtendedDeviceID& id) {
    return std::string_view(id.deviceID, strnlen(id.deviceID, sizeof id.deviceID));
}

// A fixed text field of the body: up to its NUL, at most `width` bytes.
std::string FieldText(const uint8_t* field, size_t width) {
    const char* text = reinterpret_cast<const char*>(field);
    return std::string(text, strnlen(text, width));
}

// How the identifiers of one event type are shown.
enum class Piece : uint8_t { Conn, Dev, DevNoType };
struct PieceRow {
    uint32_t offset;
    Piece kind;
    const char* label;
};
struct LineRow {
    uint16_t type;
    const char* format;  // the pieces, the LCS, its name and the cause
    PieceRow pieces[5];
    int count;
    uint32_t lcs, cause;
    bool partyList;
};

using namespace cstabody;
constexpr LineRow kLines[] = {
    {CSTAEventNumber("CSTA_CALL_CLEARED"), "CSTA_CALL_CLEARED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}}, 1, kOneIdLCS, kOneIdCause, false},
    {CSTAEventNumber("CSTA_CONFERENCED"), "CSTA_CONFERENCED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "primCallID"}, {kSecond, Piece::Conn, "secCallID"},
      {kThird, Piece::DevNoType, "confController"}, {kFourth, Piece::DevNoType, "addedParty"}},
     4, kPartyLCS, kPartyCause, true},
    {CSTAEventNumber("CSTA_CONNECTION_CLEARED"), "CSTA_CONNECTION_CLEARED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}, {kSecond, Piece::DevNoType, "releasingDev"}}, 2, kTwoIdLCS,
     kTwoIdCause, false},
    {CSTAEventNumber("CSTA_DELIVERED"), "CSTA_DELIVERED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}, {kSecond, Piece::DevNoType, "alertingDev"},
      {kThird, Piece::Dev, "callingDev"}, {kFourth, Piece::Dev, "calledDev"}},
     4, kFiveIdLCS, kFiveIdCause, false},
    {CSTAEventNumber("CSTA_DIVERTED"), "CSTA_DIVERTED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}, {kSecond, Piece::DevNoType, "divertedDevice"},
      {kThird, Piece::Dev, "newDestination"}},
     3, kThreeIdLCS, kThreeIdCause, false},
    {CSTAEventNumber("CSTA_ESTABLISHED"), "CSTA_ESTABLISHED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}, {kSecond, Piece::DevNoType, "answeringDev"},
      {kThird, Piece::Dev, "callingDev"}, {kFourth, Piece::Dev, "calledDev"}},
     4, kFiveIdLCS, kFiveIdCause, false},
    {CSTAEventNumber("CSTA_FAILED"), "CSTA_FAILED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "failedConnection"}, {kSecond, Piece::DevNoType, "failingDevice"},
      {kThird, Piece::Dev, "calledDevice"}},
     3, kThreeIdLCS, kThreeIdCause, false},
    {CSTAEventNumber("CSTA_HELD"), "CSTA_HELD - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}, {kSecond, Piece::DevNoType, "holdingDev"}}, 2, kTwoIdLCS,
     kTwoIdCause, false},
    {CSTAEventNumber("CSTA_NETWORK_REACHED"), "CSTA_NETWORK_REACHED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}, {kSecond, Piece::DevNoType, "trunkUsed"},
      {kThird, Piece::Dev, "calledDev"}},
     3, kThreeIdLCS, kThreeIdCause, false},
    {CSTAEventNumber("CSTA_ORIGINATED"), "CSTA_ORIGINATED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}, {kSecond, Piece::DevNoType, "callingDevice"},
      {kThird, Piece::Dev, "calledDev"}},
     3, kThreeIdLCS, kThreeIdCause, false},
    {CSTAEventNumber("CSTA_QUEUED"), "CSTA_QUEUED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}, {kSecond, Piece::DevNoType, "queue"},
      {kThird, Piece::DevNoType, "callingDev"}, {kFourth, Piece::Dev, "calledDev"},
      {kFifth, Piece::Dev, "lastRedirectionDevice"}},
     5, kQueuedLCS, kQueuedCause, false},
    {CSTAEventNumber("CSTA_RETRIEVED"), "CSTA_RETRIEVED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "callID"}, {kSecond, Piece::DevNoType, "retrievingDev"}}, 2, kTwoIdLCS,
     kTwoIdCause, false},
    {CSTAEventNumber("CSTA_SERVICE_INITIATED"), "CSTA_SERVICE_INITIATED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "initiatedConnection"}}, 1, kOneIdLCS, kOneIdCause, false},
    {CSTAEventNumber("CSTA_TRANSFERRED"), "CSTA_TRANSFERRED - %s localConnectionInfo(%d)=%s cause=%d",
     {{kMain, Piece::Conn, "primcallID"}, {kSecond, Piece::Conn, "seccallID"},
      {kThird, Piece::DevNoType, "transferringDev"}, {kFourth, Piece::DevNoType, "transferredDev"}},
     4, kPartyLCS, kPartyCause, true},
};

const LineRow* FindLine(int32_t type) {
    for (const LineRow& row : kLines)
        if (row.type == type) return &row;
    return nullptr;
}

void AppendPiece(TraceLine& line, const uint8_t* body, const PieceRow& piece) {
    if (piece.kind == Piece::Conn)
        AppendConnectionPiece(line, ConnectionID::Read(body + piece.offset), piece.label);
    else if (piece.kind == Piece::Dev)
        AppendDevicePiece(line, ReadExtendedDeviceID(body + piece.offset), piece.label);
    else
        AppendDeviceNoTypePiece(line, ReadExtendedDeviceID(body + piece.offset), piece.label);
}

// One listID piece per party entry, each only when the first private data holds its
// connection.
void AppendPartyList(TraceLine& line, const CSTAEventRecord& record) {
    const uint8_t* body = record.EventBody();
    const uint32_t count = plat::LoadLE32(body + kPartyCount);
    const uint64_t offset = plat::LoadLE32(body + kPartyListOffset);
    const uint64_t held = PrivateDataLength(record.RawBlock());
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t at = offset + i * kPartyEntrySize;
        if (at + ConnectionID::kWireSize > held || line.Text().size() >= TraceLine::kCapacity) break;
        AppendConnectionPiece(line, ConnectionID::Read(PrivateDataPointer(record.RawBlock(), static_cast<uint32_t>(at))),
                              "listID");
    }
}

int32_t Word(const uint8_t* body, uint32_t offset) { return static_cast<int32_t>(plat::LoadLE32(body + offset)); }

}  // namespace

void TraceLine::Append(std::string_view text) {
    const size_t room = kCapacity - text_.size();
    text_.append(text.substr(0, room));
}

void TraceLine::Appendf(const char* format, ...) {
    char buffer[kCapacity + 1];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n > 0) Append(std::string_view(buffer, std::min<size_t>(static_cast<size_t>(n), kCapacity)));
}

void AppendConnectionPiece(TraceLine& line, const ConnectionID& id, const char* label) {
    line.Appendf("%s=%d.%s", label, static_cast<int>(id.callID), id.deviceID);
    if (id.deviceIDType == 0)
        line.Append("(s) ");
    else if (id.deviceIDType == 1)
        line.Append("(d) ");
    else
        line.Appendf("(*** INVALID IDTYPE %d ***) ", static_cast<int>(id.deviceIDType));
}

void AppendDevicePiece(TraceLine& line, const CSTAExtendedDeviceID& id, const char* label) {
    line.Appendf("%s=", label);
    if (id.deviceIDStatus != 0) {
        line.Append("ID_NOT_KNOWN ");
        return;
    }
    line.Append(CSTADeviceIDTypeText(id.deviceIDType));
    line.Append(DeviceText(id));
    line.Append(" ");
}

void AppendDeviceNoTypePiece(TraceLine& line, const CSTAExtendedDeviceID& id, const char* label) {
    line.Appendf("%s=", label);
    if (id.deviceIDStatus != 0) {
        line.Append("ID_NOT_KNOWN ");
        return;
    }
    line.Append(DeviceText(id));
    line.Append(" ");
}

std::vector<std::string> CallEventReportLines(const CSTAEventRecord& record, int32_t eventType,
                                              const uint8_t* opcBlock) {
    const uint8_t* body = record.EventBody();
    std::vector<std::string> lines;
    TraceLine pieces;
    if (const LineRow* row = FindLine(eventType)) {
        for (int i = 0; i < row->count; ++i) AppendPiece(pieces, body, row->pieces[i]);
        if (row->partyList) AppendPartyList(pieces, record);
        const int32_t lcs = Word(body, row->lcs);
        lines.push_back(Format(row->format, pieces.Text().c_str(), static_cast<int>(lcs),
                               CSTALocalConnectionStateText(lcs), static_cast<int>(Word(body, row->cause))));
        if (eventType == kServiceInitiated && opcBlock != nullptr) {
            const CSTAServiceInitiatedEvent_PD pd(opcBlock);
            lines.push_back(Format("     PrivateData: COC(callID=%d devIDType=%s(%d) deviceID=\"%s\"",
                                   static_cast<int>(pd.COC.callID),
                                   ConnectionIDDeviceTypeName(static_cast<int32_t>(pd.COC.deviceIDType)),
                                   static_cast<int>(pd.COC.deviceIDType), pd.COC.deviceID));
        }
        return lines;
    }
    switch (eventType) {
        case kCallInformation: {
            AppendConnectionPiece(pieces, ConnectionID::Read(body + kMain), "connection");
            AppendDeviceNoTypePiece(pieces, ReadExtendedDeviceID(body + kSecond), "device");
            lines.push_back(Format("CSTA_CALL_INFORMATION - %s accountInfo=%s authorisationCode=%s",
                                   pieces.Text().c_str(), FieldText(body + kAccountInfo, kCallInfoTextSize).c_str(),
                                   FieldText(body + kAuthorisationCode, kCallInfoTextSize).c_str()));
            break;
        }
        case kAgentGreeting: {
            const ConnectionID c = ConnectionID::Read(body + kMain);
            lines.push_back(Format(
                "CSTA_AGENT_GREETING - DeviceID=%s DeviceType=%s CallID=%d GreetingType=%s EventCode=%s "
                "PeripheralErrorCode=%d",
                c.deviceID, ConnectionIDDeviceTypeName(static_cast<int32_t>(c.deviceIDType)), static_cast<int>(c.callID),
                FieldText(body + kGreetingType, kGreetingTypeSize).c_str(),
                AgentGreetingEventName(Word(body, kGreetingEventCode)),
                static_cast<int>(Word(body, kGreetingPeripheralErrorCode))));
            break;
        }
        case kRecordingStarted:
        case kRecordingEnded:
        case kRecordingFailed:
        case kRecordingTargetInfo: {
            AppendConnectionPiece(pieces, ConnectionID::Read(body + kMain), "RecordingConn");
            AppendDeviceNoTypePiece(pieces, ReadExtendedDeviceID(body + kSecond), "RecordingDev");
            if (eventType == kRecordingFailed)
                lines.push_back(Format("%s: %s cause=%d", CSTAEventTypeName(eventType), pieces.Text().c_str(),
                                       static_cast<int>(Word(body, kRecordingCause))));
            else
                lines.push_back(Format("%s: %s", CSTAEventTypeName(eventType), pieces.Text().c_str()));
            if (eventType == kRecordingTargetInfo && opcBlock != nullptr) {
                const CSTARecordingTargetInfoEvent_PD pd(opcBlock);
                lines.push_back(Format("     PrivateData: GUID=%s RecAdd=%s TerName=%s ForkDevName=%s ",
                                       pd.ProtocolReferenceGUID.c_str(), pd.RecorderAddress.c_str(),
                                       pd.TerminalName.c_str(), pd.MediaForkingDeviceName.c_str()));
                lines.push_back(Format("     PrivateData: RecordingType=%d RecorderType=%d RecorderStatus=%d ",
                                       static_cast<int>(pd.RecordingType), static_cast<int>(pd.RecorderType),
                                       static_cast<int>(pd.RecorderStatus)));
            }
            break;
        }
        default:
            lines.push_back(Format("CSTADisplayCallEventReports: Unknown callEventReport %d specified.",
                                   static_cast<int>(eventType)));
            break;
    }
    return lines;
}

const char* CSTALocalConnectionStateText(int32_t state) {
    // The model's names, but for the text of a state it does not know.
    return state >= -1 && state <= 6 ? ::CSTALocalConnectionStateText(state) : "UnkownState";
}

const char* CSTASilentMonitorStatusText(int32_t status) {
    switch (status) {
        case 0: return "SM_NONE";
        case 1: return "SM_INITIATOR";
        case 2: return "SM_TARGET";
        default: return "UnkownStatus";
    }
}

const char* CTIHintText(int32_t hint) {
    switch (hint) {
        case 0: return "";
        case 1: return "(Conference Party)";
        case 2: return "(Transfer Primary)";
        case 3: return "(Transfer Result)";
        case 4: return "(Party List)";
        case 5: return "(Query Response)";
        case 6: return "(DO NOT NOTIFY)";
        default: return "(?\?UNKNOWN_CTI_HINT?\?)";
    }
}

std::string CSTADeviceIDTypeText(int32_t type) {
    switch (type) {
        case 0: return "(DEV)";
        case 20: return "(IMPLICIT_PUBLIC)";
        case 30: return "(EXPLICIT_PUBLIC_UNKNOWN)";
        case 31: return "(EXPLICIT_PUBLIC_INTERNATIONAL)";
        case 32: return "(EXPLICIT_PUBLIC_NATIONAL)";
        case 33: return "(EXPLICIT_PUBLIC_NETWORK_SPECIFIC)";
        case 34: return "(EXPLICIT_PUBLIC_SUBSCRIBER)";
        case 35: return "(EXPLICIT_PUBLIC_ABBREVIATED)";
        case 40: return "(IMPLICIT_PRIVATE)";
        case 50: return "(EXPLICIT_PRIVATE_UNKNOWN)";
        case 51: return "(EXPLICIT_PRIVATE_LEVEL3_REGIONAL_NUMBER)";
        case 52: return "(EXPLICIT_PRIVATE_LEVEL2_REGIONAL_NUMBER)";
        case 53: return "(EXPLICIT_PRIVATE_LEVEL1_REGIONAL_NUMBER)";
        case 54: return "(EXPLICIT_PRIVATE_PTN_SPECIFIC_NUMBER)";
        case 55: return "(EXPLICIT_PRIVATE_LOCAL_NUMBER)";
        case 56: return "(EXPLICIT_PRIVATE_ABBREVIATED)";
        case 60: return "(OTHER_PLAN)";
        case 70: return "(TRUNK)";
        case 71: return "(TRKGRP)";
        case 72: return "(PHONE_MAC_IDENTIFIER)";
        case 73: return "(CTI_PORT_IDENTIFIER)";
        case 74: return "(ROUTE_POINT_IDENTIFIER)";
        case 75: return "(EXTERNAL_IDENTIFIER)";
        case 76: return "(AGENT_DEVICE_IDENTIFIER)";
        case 77: return "(QUEUE_IDENTIFIER)";
        case 78: return "(NON_ACD)";
        default: return Format("(*UNKNOWN TYPE %d*)", static_cast<int>(type));
    }
}

}  // namespace cstatrace

void CSTADisplayCallEventReports(const CSTAEventRecord& record, int32_t eventType, const uint8_t* opcBlock) {
    for (const std::string& line : cstatrace::CallEventReportLines(record, eventType, opcBlock))
        EMSTraceMessage("%s", line.c_str());
}
