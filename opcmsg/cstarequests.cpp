#include "opcmsg/cstarequests.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ctimsg/expandedcallcontext.h"
#include "nuvlib/ems.h"
#include "opcmsg/opcnames.h"
#include "platform/byteorder.h"

namespace {

constexpr CSTARequestDesc Desc(uint16_t type, const CSTAField* rows, uint8_t rowCount,
                               uint16_t pdSize, int mainConnection, CSTATraceLine first,
                               CSTATraceLine second = {nullptr, nullptr}, bool dumps = true,
                               bool placesCalls = false, uint16_t trailerOffset = 0) {
    return CSTARequestDesc{type,   rows,  rowCount,    pdSize,     static_cast<int8_t>(mainConnection),
                           {first, second}, dumps, placesCalls, trailerOffset};
}

#define OPC_DESC(Class, type, pd, mainConn, ...) \
    const CSTARequestDesc Class::kDesc = Desc(type, Class::kRows, Class::kRowCount, pd, mainConn, __VA_ARGS__)

}  // namespace

// ---- The descriptors: type, typed-private-data size, connection, trace lines ----

OPC_DESC(TPCSTAAlternateCallMsg, 1, 64, TPCSTAAlternateCallMsg::ActiveCall,
         {"CSTAAlternateCall: %s InvokeID=0x%x ActiveCall(CID=%d,Dev=%s,Type=%s) "
          "OtherCall(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke ActiveCall OtherCall"},
         {"PRIVATE_DATA: AnsweringDevice=%s", "PDAnsweringDevice"});
OPC_DESC(TPCSTAAnswerCallMsg, 3, 64, TPCSTAAnswerCallMsg::AlertingCall,
         {"CSTAAnswerCall: %s InvokeID=0x%x AlertingCall(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke AlertingCall"},
         {"PRIVATE_DATA: AnsweringDevice=%s", "PDAnsweringDevice"});
OPC_DESC(TPCSTAClearCallMsg, 7, 64, TPCSTAClearCallMsg::Call,
         {"CSTAClearCall: %s InvokeID=0x%x Call(CID=%d,Dev=%s,Type=%s)", "$prefix $invoke Call"},
         {"PRIVATE_DATA: SubjectDevice=%s", "PDSubjectDevice"});
OPC_DESC(TPCSTAClearConnectionMsg, 9, 68, TPCSTAClearConnectionMsg::Call,
         {"CSTAClearConnection: %s InvokeID=0x%x Call(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke Call"},
         {"PRIVATE_DATA: CompoundRequestType=%s SubjectDevice=%s",
          "PDCompoundRequestType:ev PDSubjectDevice"});
OPC_DESC(TPCSTADeflectCallMsg, 15, 64, TPCSTADeflectCallMsg::DeflectCall,
         {"CSTADeflectCall: %s InvokeID=0x%x DeflectCall(CID=%d,Dev=%s,Type=%s) CalledDevice=%s",
          "$prefix $invoke DeflectCall CalledDevice"});
OPC_DESC(TPCSTAHoldCallMsg, 21, 4, TPCSTAHoldCallMsg::ActiveCall,
         {"CSTAHoldCall: %s InvokeID=0x%x ActiveCall(CID=%d,Dev=%s,Type=%s) Reservation=%d",
          "$prefix $invoke ActiveCall Reservation"},
         {"PRIVATE_DATA: CompoundRequestType=%s", "PDCompoundRequestType:ev"});
OPC_DESC(TPCSTAReconnectCallMsg, 39, 0, TPCSTAReconnectCallMsg::ActiveCall,
         {"CSTAReconnectCall: %s InvokeID=0x%x ActiveCall(CID=%d,Dev=%s,Type=%s) "
          "HeldCall(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke ActiveCall HeldCall"});
OPC_DESC(TPCSTARetrieveCallMsg, 41, 0, TPCSTARetrieveCallMsg::HeldCall,
         {"CSTARetrieveCall: %s InvokeID=0x%x HeldCall(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke HeldCall"});
OPC_DESC(TPCSTASnapshotCallMsg, 120, 0, -1,
         {"CSTASnapshotCall: %s InvokeID=0x%x SnapshotObject(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke SnapshotObject"});
OPC_DESC(TPCSTASnapshotDeviceMsg, 122, 0, -1,
         {"CSTASnapshotDevice: %s InvokeID=0x%x SnapshotObject=%s",
          "$prefix $invoke SnapshotObject"});
OPC_DESC(TPCSTAQueryDeviceInfoMsg, 37, 4, -1,
         {"CSTAQueryDeviceInfo: %s InvokeID=0x%x Dev=%s. PRIVATE_DATA: DataRequest=%d",
          "$prefix $invoke Device PDDataRequest"});
OPC_DESC(TPCSTASendDTMFMsg, 130, 0, TPCSTASendDTMFMsg::TransferParty,
         {"CSTASendDTMFMsg: %s InvokeID=0x%x TransferParty(CID=%d,Dev=%s,Type=%s) "
          "ReceiveParty(CID=%d,Dev=%s,Type=%s) DTMFSeq=%s ToneDuration=%d PauseDuration=%d",
          "$prefix $invoke TransferParty ReceiveParty DTMFSequence ToneDuration PauseDuration"});
OPC_DESC(TPCSTASupervisorAssistMsg, 134, 176, -1,
         {"CSTASupervisorAssist: %s InvokeID=0x%x Call(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke Call"},
         {"PRIVATE_DATA: AGExt=%s AGID=%s AGInst=%s",
          "PDAgentExtension PDAgentID PDAgentInstrument"});
OPC_DESC(TPCSTAEmergencyCallMsg, 137, 176, -1,
         {"CSTAEmergencyCall: %s InvokeID=0x%x Call(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke Call"},
         {"PRIVATE_DATA: AGExt=%s AGID=%s AGIns=%s",
          "PDAgentExtension PDAgentID PDAgentInstrument"});
OPC_DESC(TPCSTASuperviseCallMsg, 140, 176, TPCSTASuperviseCallMsg::AgentCall,
         {"CSTASuperviseCall: %s InvokeID=0x%x AgentCall(CID=%d,Dev=%s,Type=%s) "
          "SupervisorCall(CID=%d,Dev=%s,Type=%s,Action=%d)",
          "$prefix $invoke AgentCall SupervisorCall Action"},
         {"PRIVATE_DATA: AGExt=%s AGID=%s AGInst=%s SupervisorInstrument=%s",
          "PDAgentExtension PDAgentID PDAgentInstrument PDSupervisorInstrument"});
OPC_DESC(TPCSTAAgentGreetingControlReqMsg, 160, 0, -1,
         {"CSTAAgentGreetingControlReq: %s InvokeID=0x%x PeripheralID=%d AGID=%s Action=%d",
          "$prefix $invoke $pid AgentID Action"},
         {nullptr, nullptr}, false);
OPC_DESC(TPCSTARecordCallReqMsg, 209, 72, TPCSTARecordCallReqMsg::ActiveCall,
         {"TPCSTARecordCallReqMsg: %s InvokeID=0x%x ActiveCall(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke ActiveCall"},
         {"PRIVATE_DATA: Initiating Dev:%s PlayToneDirection=%d InvocationType=%d",
          "PDInitiatingDevice PDPlayToneDirection PDInvocationType"});
OPC_DESC(TPCSTAStopRecordCallReqMsg, 211, 68, TPCSTAStopRecordCallReqMsg::ActiveCall,
         {"TPCSTAStopRecordCallReqMsg: %s InvokeID=0x%x ActiveCall(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke ActiveCall"},
         {"PRIVATE_DATA: Initiating Dev=%s InvocationType=%d",
          "PDInitiatingDevice PDInvocationType"});

OPC_DESC(TPCSTAConferenceCallMsg, 11, 2824, TPCSTAConferenceCallMsg::ActiveCall,
         {"CSTAConferenceCall: %s InvokeID=0x%x HeldCall (CID=%d,Dev=%s,Type=%s) "
          "ActiveCall(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke HeldCall ActiveCall"},
         {"PRIVATE_DATA: CallPlacement=%d CallManner=%d AlertRings=%d CallOption=%d "
          "FacilityType=%d FacilityCode=%s AuthorizationCode=%s AccountCode=%s DialedNumber=%s "
          "AnsMachTreat=%d CCT=%s %s",
          "PDCallPlacement PDCallManner PDAlertRings PDCallOption PDFacilityType PDFacilityCode "
          "PDAuthorizationCode PDAccountCode PDDialedNumber PDAnsMachTreat PDCCT $pv"},
         true, true);
OPC_DESC(TPCSTAConsultationCallMsg, 13, 2808, TPCSTAConsultationCallMsg::ActiveCall,
         {"CSTAConsultationCall: %s InvokeID=0x%x ActiveCall(CID=%d,Dev=%s,Type=%s) "
          "CalledDevice=%s",
          "$prefix $invoke ActiveCall CalledDevice"},
         {"PRIVATE_DATA: CallPlacement=%d CallManner=%d ConsultType=%d AlertRings=%d "
          "CallOption=%d FacilityType=%d FacilityCode=%s AuthorizationCode=%s AccountCode=%s "
          "AnsMachTreat=%d CallingDevice=%s %s",
          "PDCallPlacement PDCallManner PDConsultType PDAlertRings PDCallOption PDFacilityType "
          "PDFacilityCode PDAuthorizationCode PDAccountCode PDAnsMachTreat CallingDevice $pv"},
         true, true);
OPC_DESC(TPCSTAMakeCallMsg, 23, 2764, -1,
         {"CSTAMakeCall: %s InvokeID=0x%x CallingDevice=%s CalledDevice=%s",
          "$prefix $invoke CallingDevice CalledDevice"},
         {"PRIVATE_DATA: CallPlacement=%d CallManner=%d ConsultType=%d AlertRings=%d "
          "CallOption=%d FacilityType=%d FacilityCode=%s AuthorizationCode=%s AccountCode=%s "
          "AnsMachTreat=%d CCT=%s %s",
          "PDCallPlacement PDCallManner PDConsultType PDAlertRings PDCallOption PDFacilityType "
          "PDFacilityCode PDAuthorizationCode PDAccountCode PDAnsMachTreat PDCCT $pv"},
         true, true);
OPC_DESC(TPCSTAMakePredictiveCallMsg, 25, 2816, -1,
         {"CSTAMakePredictiveCall: %s InvokeID=0x%x CallingDevice=%s CalledDevice=%s",
          "$prefix $invoke CallingDevice CalledDevice"},
         {"PRIVATE_DATA: CallPlacement=%d CallManner=%d AlertRings=%d CallOption=%d "
          "FacilityType=%d FacilityCode=%s AuthorizationCode=%s AccountCode=%s AnsMachTreat=%d "
          "AllocationState=%d DestinationCountry=%d AnswerDetectMode=%d AnswerDetectTime=%d "
          "AnswerDetectControl1=%d AnswerDetectControl2=%d CCT=%s %s",
          "PDCallPlacement PDCallManner PDAlertRings PDCallOption PDFacilityType PDFacilityCode "
          "PDAuthorizationCode PDAccountCode PDAnsMachTreat AllocationState PDDestinationCountry "
          "PDAnswerDetectMode PDAnswerDetectTime PDAnswerDetectControl1 PDAnswerDetectControl2 "
          "PDCCT $pv"},
         true, true);
OPC_DESC(TPCSTATransferCallMsg, 51, 2812, TPCSTATransferCallMsg::ActiveCall,
         {"CSTATransferCall: %s InvokeID=0x%x ActiveCall(CID=%d,Dev=%s,Type=%s) "
          "HeldCall(CID=%d,Dev=%s,Type=%s)",
          "$prefix $invoke ActiveCall HeldCall"},
         {"PRIVATE_DATA: CallPlacement=%d CallManner=%d ConsultType=%d AlertRings=%d "
          "CallOption=%d FacilityType=%d FacilityCode=%s AuthorizationCode=%s AccountCode=%s "
          "DialedNumber=%s AnsMachTreat=%d %s",
          "PDCallPlacement PDCallManner PDConsultType PDAlertRings PDCallOption PDFacilityType "
          "PDFacilityCode PDAuthorizationCode PDAccountCode PDDialedNumber PDAnsMachTreat $pv"},
         true, true);

// The agent-state request: line 0 is the trace with the agent id (option 1), line 1 without.
OPC_DESC(TPCSTASetAgentStateMsg, 49, 1168, -1,
         {"CSTASetAgentState: %s InvokeID=0x%x Dev=%s AgentMode=%s AGID=%s SG=%s(0x%x)) "
          "SSOEnabled = %d PrivateData: EventReasonCode=%d WorkMode=%d NumAdditionalGroups=%d "
          "PositionID=%s SupervisorID=%s ClientAddress=%s TerminalName=%s",
          "$prefix $invoke Device AgentMode:mode AgentID AgentGroup AgentGroup:num SSOEnabled "
          "PDEventReasonCode PDWorkMode PDNumAdditionalGroups PDPositionID PDSupervisorID "
          "PDClientAddress TerminalName"},
         {"CSTASetAgentState: %s InvokeID=0x%x Dev=%s AgentMode=%s SG=%s(0x%x)) "
          "SSOEnabled = %d PrivateData: EventReasonCode=%d WorkMode=%d NumAdditionalGroups=%d "
          "PositionID=%s SupervisorID=%s ClientAddress=%s TerminalName=%s",
          "$prefix $invoke Device AgentMode:mode AgentGroup AgentGroup:num SSOEnabled "
          "PDEventReasonCode PDWorkMode PDNumAdditionalGroups PDPositionID PDSupervisorID "
          "PDClientAddress TerminalName"},
         true, false, 1152);

// ---- Shared code ----

TPCSTARequestMsg::TPCSTARequestMsg(const CSTARequestDesc& desc, uint16_t peripheralID,
                                   uint32_t invokeID, uint32_t clientInvokeID)
    : TPCSTAMsg(invokeID, clientInvokeID, desc.pdSize), m_Desc(&desc) {
    Initialize(peripheralID, invokeID, clientInvokeID);
}

void TPCSTARequestMsg::Initialize(uint16_t peripheralID, uint32_t invokeID,
                                  uint32_t clientInvokeID) {
    TPCSTAMsg::Initialize(invokeID, clientInvokeID);
    WriteHeader(peripheralID, kCSTAClassRequest, m_Desc->eventType, invokeID, clientInvokeID);
    // The constructor zeroed the body and the typed private data: only defaults that are not
    // zero bytes need writing.
    for (uint8_t i = 0; i < m_Desc->rowCount; ++i) {
        const CSTAField& row = m_Desc->rows[i];
        const bool zeroDefault =
            row.kind == CSTAFieldKind::DevText || row.kind == CSTAFieldKind::Bounded ||
            row.kind == CSTAFieldKind::Plain || row.kind == CSTAFieldKind::CallVars ||
            row.kind == CSTAFieldKind::ECC || row.kind == CSTAFieldKind::Groups ||
            ((row.kind == CSTAFieldKind::U32 || row.kind == CSTAFieldKind::U16 ||
              row.kind == CSTAFieldKind::I16 || row.kind == CSTAFieldKind::I8) &&
             row.def == 0);
        if (!zeroDefault) ResetField(row);
    }
    if (m_Desc->trailerOffset) {
        static constexpr uint32_t kTrailer[4] = {1, 0, 9, 0};
        for (int i = 0; i < 4; ++i)
            plat::StoreLE32(PrivateData() + m_Desc->trailerOffset + 4 * i, kTrailer[i]);
    }
    if (m_Desc->pdSize)
        (void)AppendPrivateData(OPCBlock(), PrivateData(), m_Desc->pdSize,
                                kOPCPrivateDataBlockSize);
}

bool TPCSTARequestMsg::GetMainConnection(ConnectionID* out) const {
    if (m_Desc->mainConnection < 0) return false;
    *out = ConnField(m_Desc->rows[m_Desc->mainConnection]);
    return true;
}

const CSTAField* TPCSTARequestMsg::FindRow(const char* name) const {
    for (uint8_t i = 0; i < m_Desc->rowCount; ++i)
        if (std::strcmp(m_Desc->rows[i].name, name) == 0) return &m_Desc->rows[i];
    return nullptr;
}

namespace {

// One value of a trace line.
struct TraceValue {
    bool isText;
    int64_t number;
    std::string text;
};

// printf over a list of values: each conversion takes the next value.
std::string FormatValues(const char* format, const std::vector<TraceValue>& values) {
    std::string out;
    size_t next = 0;
    char piece[1024];
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            p += 2;
            continue;
        }
        const char* start = p++;
        while (*p && !std::strchr("diuxXsc", *p)) ++p;
        if (!*p) break;
        const std::string directive(start, static_cast<size_t>(p - start + 1));
        const char conversion = *p++;
        if (next >= values.size()) break;
        const TraceValue& v = values[next++];
        if (conversion == 's') {
            if (v.isText) {
                out += v.text;
                continue;
            }
            std::snprintf(piece, sizeof piece, "%lld", static_cast<long long>(v.number));
        } else if (conversion == 'x' || conversion == 'X' || conversion == 'u') {
            std::snprintf(piece, sizeof piece, directive.c_str(), static_cast<unsigned>(v.number));
        } else {
            std::snprintf(piece, sizeof piece, directive.c_str(), static_cast<int>(v.number));
        }
        out += piece;
    }
    return out;
}

}  // namespace

// The call-variable text of the call-placing traces: a value that is the one-byte text 0xFF
// prints empty; at most 575 characters.
static std::string CallVariableText(const uint8_t* slots, const uint8_t* userToUser,
                                    std::string wrapup) {
    auto shown = [](const uint8_t* p, size_t width) {
        std::string s(reinterpret_cast<const char*>(p), opcbytes::FieldLength(p, width));
        return s == "\xFF" ? std::string() : s;
    };
    if (wrapup == "\xFF") wrapup.clear();
    std::string pv[10];
    for (int i = 0; i < 10; ++i) pv[i] = shown(slots + i * kCallVariableSlot, 40);
    const std::string uu = shown(userToUser + 4, 131);
    char text[576];
    std::snprintf(text, sizeof text,
                  "PV1=%s PV2=%s PV3=%s PV4=%s PV5=%s PV6=%s PV7=%s PV8=%s PV9=%s PV10=%s "
                  "UserToUser=%s Wrapup=%s",
                  pv[0].c_str(), pv[1].c_str(), pv[2].c_str(), pv[3].c_str(), pv[4].c_str(),
                  pv[5].c_str(), pv[6].c_str(), pv[7].c_str(), pv[8].c_str(), pv[9].c_str(),
                  uu.c_str(), wrapup.c_str());
    return text;
}

void TPCSTARequestMsg::TraceRequest(const char* prefix, int dumpPrivateData, int includePV,
                                    int includeECC, int option) const {
    const bool agentState = m_Desc->trailerOffset != 0;
    for (int line = 0; line < 2; ++line) {
        // The agent-state request has one line, chosen by the option.
        if (agentState && line != (option ? 0 : 1)) continue;
        const CSTATraceLine& traceLine = m_Desc->lines[line];
        if (!traceLine.format) continue;
        std::vector<TraceValue> values;
        const std::string args = traceLine.args;
        size_t pos = 0;
        while (pos < args.size()) {
            size_t end = args.find(' ', pos);
            if (end == std::string::npos) end = args.size();
            std::string token = args.substr(pos, end - pos);
            pos = end + 1;
            if (token == "$prefix") {
                values.push_back({true, 0, prefix ? prefix : ""});
            } else if (token == "$invoke") {
                values.push_back({false, static_cast<int64_t>(InvokeID()), {}});
            } else if (token == "$pid") {
                values.push_back({false, PeripheralID(), {}});
            } else if (token == "$pv") {
                std::string pv;
                if (includePV == 1) {
                    const CSTAField* cv = FindRow("PDCallVariables");
                    const CSTAField* uu = FindRow("PDUserToUser");
                    const CSTAField* wr = FindRow("PDWrapupData");
                    pv = CallVariableText(FieldPointer(*cv), FieldPointer(*uu), TextField(*wr));
                }
                values.push_back({true, 0, pv});
            } else {
                std::string modifier;
                const size_t colon = token.find(':');
                if (colon != std::string::npos) {
                    modifier = token.substr(colon + 1);
                    token.resize(colon);
                }
                const CSTAField* row = FindRow(token.c_str());
                if (!row) continue;
                if (row->kind == CSTAFieldKind::Conn) {
                    const ConnectionID c = ConnField(*row);
                    values.push_back({false, c.callID, {}});
                    values.push_back({true, 0, c.deviceID});
                    values.push_back({true, 0,
                                      ConnectionIDDeviceTypeName(
                                          static_cast<int32_t>(c.deviceIDType))});
                } else if (row->kind == CSTAFieldKind::DevText ||
                           row->kind == CSTAFieldKind::Bounded ||
                           row->kind == CSTAFieldKind::Plain) {
                    const std::string text = TextField(*row);
                    if (modifier == "num")
                        values.push_back({false, std::atoi(text.c_str()), {}});
                    else
                        values.push_back({true, 0, text});
                } else {
                    const int64_t n = NumberField(*row);
                    if (modifier == "ev")
                        values.push_back({true, 0, CSTAEventTypeName(static_cast<int32_t>(n))});
                    else if (modifier == "mode")
                        values.push_back({true, 0, AgentModeName(static_cast<int32_t>(n))});
                    else
                        values.push_back({false, n, {}});
                }
            }
        }
        EMSTraceMessage("%s", FormatValues(traceLine.format, values).c_str());
    }
    if (agentState) {
        const int64_t count = NumberField(*FindRow("PDNumAdditionalGroups"));
        if (count > 0) {
            const uint8_t* slots = FieldPointer(*FindRow("PDAdditionalGroup"));
            std::string list;
            char piece[64];
            for (int64_t i = 0; i < count && i < 19; ++i) {
                const std::string text(reinterpret_cast<const char*>(slots + i * 32),
                                       opcbytes::FieldLength(slots + i * 32, 32));
                std::snprintf(piece, sizeof piece, "%s(0x%x)", text.c_str(),
                              static_cast<unsigned>(std::atoi(text.c_str())));
                if (i) list += ", ";
                list += piece;
            }
            EMSTraceMessage("AdditionalGroups=%s", list.c_str());
        }
    }
    if (m_Desc->placesCalls && includeECC == 1) {
        const CSTAField* ecc = FindRow("PDECC");
        const uint8_t* p = FieldPointer(*ecc);
        const int32_t size = static_cast<int32_t>(plat::LoadLE32(p));
        if (size >= 1) {
            ExpandedCallContext context;
            if (context.SetECCBindata(size, p + 4) != ECC_SUCCESS)
                EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n",
                               "ecc.SetECCBindata(m_PrivateData->m_ExpandedCallContextSize, "
                               "m_PrivateData->m_ExpandedCallContext) == ECC_ERROR_SUCCESS",
                               "TPCSTAMsg", __LINE__);
            context.TraceByName();
        }
    }
    if (m_Desc->dumps && dumpPrivateData) PrivateDataDump();
}

void TPCSTASetAgentStateMsg::Trace(const char* prefix, int dumpPrivateData, int option) {
    TraceRequest(prefix, dumpPrivateData, 0, 0, option);
}
