#pragma once
// The 24 CSTA request classes. Each class is one table of rows (name, area, offset, kind,
// width, default) below; the rows give the class its Set<Name> and Get<Name> calls and drive
// the shared code of TPCSTARequestMsg: Initialize writes every default, the setters fill a
// field by its kind, the trace prints the fields its descriptor names.
//
// Use: construct with (peripheralID, invokeID, clientInvokeID), fill through the setters, write
// with WriteCSTAMessage (cstawire.h) passing GetMainConnection's connection, then Trace.
//
// Setter arguments by kind: Conn (callID, deviceID, deviceIDType); texts (const char*, null
// empties); numbers (value); CallVars (ten 41-byte slots, null empties); UserToUser (data,
// length; cut to 130); ECC (size, data; cut to 2000); Groups (index 0..18, text).
// Getters: Conn gives a ConnectionID, texts a std::string, numbers an int64_t, the others a
// pointer to the field.
#include <cstdint>

#include "opcmsg/tpcstamsg.h"

// One trace line: a printf format and the names of what fills it, separated by blanks: a row
// name (a connection fills three conversions: callID, deviceID, type name), "row:ev" (the
// CSTA event name of a number), "row:mode" (the agent mode name), "row:num" (a text's
// decimal value), "$prefix", "$invoke", "$pid", "$pv" (the call-variable text).
struct CSTATraceLine {
    const char* format;
    const char* args;
};

struct CSTARequestDesc {
    uint16_t eventType;
    const CSTAField* rows;
    uint8_t rowCount;
    uint16_t pdSize;         // typed private data reserved in the OPC block; 0 for none
    int8_t mainConnection;   // row of the connection the request is sent with; -1 none
    CSTATraceLine lines[2];  // second line may be empty (format null)
    bool dumps;              // the trace ends with the private-data dump when asked
    bool placesCalls;        // the trace adds the ECC table when asked
    uint16_t trailerOffset;  // agent state: the fixed words 1, 0, 9, 0 at this PD offset
};

class TPCSTARequestMsg : public TPCSTAMsg {
public:
    const CSTARequestDesc& Description() const { return *m_Desc; }
    // The connection this request is about, for WriteCSTAMessage; false when it is sent
    // without one.
    bool GetMainConnection(ConnectionID* out) const;

protected:
    TPCSTARequestMsg(const CSTARequestDesc& desc, uint16_t peripheralID, uint32_t invokeID,
                     uint32_t clientInvokeID);
    void Initialize(uint16_t peripheralID, uint32_t invokeID, uint32_t clientInvokeID);
    void TraceRequest(const char* prefix, int dumpPrivateData, int includePV, int includeECC,
                      int option) const;
    // Looks a row up by name; null when the class has none.
    const CSTAField* FindRow(const char* name) const;

private:
    const CSTARequestDesc* m_Desc;
};

#define OPC_ROW_ENUM(n, a, o, k, w, d) n,
#define OPC_ROW_DATA(n, a, o, k, w, d) {#n, CSTAArea::a, o, CSTAFieldKind::k, w, d},
#define OPC_ROW_ACCESS(n, a, o, k, w, d)                                   \
    template <class... A>                                                  \
    void Set##n(A... args) {                                               \
        SetField<CSTAFieldKind::k>(kRows[n], args...);                     \
    }                                                                      \
    auto Get##n() const { return GetField<CSTAFieldKind::k>(kRows[n]); }

#define OPC_CSTA_REQUEST(Class, FIELDS, EXTRA)                                               \
    class Class : public TPCSTARequestMsg {                                                  \
    public:                                                                                  \
        enum Row : uint8_t { FIELDS(OPC_ROW_ENUM) kRowCount };                               \
        static constexpr CSTAField kRows[] = {                                               \
            FIELDS(OPC_ROW_DATA){nullptr, CSTAArea::Body, 0, CSTAFieldKind::U32, 0, 0}};     \
        static const CSTARequestDesc kDesc;                                                  \
        Class(uint16_t peripheralID, uint32_t invokeID, uint32_t clientInvokeID)             \
            : TPCSTARequestMsg(kDesc, peripheralID, invokeID, clientInvokeID) {}             \
        FIELDS(OPC_ROW_ACCESS)                                                               \
        using TPCSTAMsg::Trace;                                                              \
        void Trace(const char* prefix, int dumpPrivateData) const {                          \
            TraceRequest(prefix, dumpPrivateData, 1, 1, 1);                                  \
        }                                                                                    \
        EXTRA                                                                                \
    };

// Call-placing requests also trace with a choice of call variables and ECC.
#define OPC_PLACING_TRACE                                                                    \
    void Trace(const char* prefix, int dumpPrivateData, int includePV, int includeECC) const { \
        TraceRequest(prefix, dumpPrivateData, includePV, includeECC, 1);                     \
    }

// ---- Requests that name calls, devices and agents ----

#define OPC_ALTERNATE_ROWS(F)                \
    F(ActiveCall, Body, 0, Conn, 72, 0)      \
    F(OtherCall, Body, 72, Conn, 72, 0)      \
    F(PDAnsweringDevice, PD, 0, Bounded, 64, 0)
OPC_CSTA_REQUEST(TPCSTAAlternateCallMsg, OPC_ALTERNATE_ROWS, )

#define OPC_ANSWER_ROWS(F)                   \
    F(AlertingCall, Body, 0, Conn, 72, 0)    \
    F(PDAnsweringDevice, PD, 0, Bounded, 64, 0)
OPC_CSTA_REQUEST(TPCSTAAnswerCallMsg, OPC_ANSWER_ROWS, )

#define OPC_CLEARCALL_ROWS(F)                \
    F(Call, Body, 0, Conn, 72, 0)            \
    F(PDSubjectDevice, PD, 0, DevText, 64, 0)
OPC_CSTA_REQUEST(TPCSTAClearCallMsg, OPC_CLEARCALL_ROWS, )

#define OPC_CLEARCONN_ROWS(F)                       \
    F(Call, Body, 0, Conn, 72, 0)                   \
    F(PDCompoundRequestType, PD, 0, U32, 4, -1)     \
    F(PDSubjectDevice, PD, 4, DevText, 64, 0)
OPC_CSTA_REQUEST(TPCSTAClearConnectionMsg, OPC_CLEARCONN_ROWS, )

#define OPC_DEFLECT_ROWS(F)                   \
    F(DeflectCall, Body, 0, Conn, 72, 0)      \
    F(CalledDevice, Body, 72, DevText, 64, 0) \
    F(PDAgentInstrument, PD, 0, Bounded, 64, 0)
OPC_CSTA_REQUEST(TPCSTADeflectCallMsg, OPC_DEFLECT_ROWS, )

#define OPC_HOLD_ROWS(F)                    \
    F(ActiveCall, Body, 0, Conn, 72, 0)     \
    F(Reservation, Body, 72, I8, 1, 0)      \
    F(PDCompoundRequestType, PD, 0, U32, 4, -1)
OPC_CSTA_REQUEST(TPCSTAHoldCallMsg, OPC_HOLD_ROWS, )

#define OPC_RECONNECT_ROWS(F)           \
    F(ActiveCall, Body, 0, Conn, 72, 0) \
    F(HeldCall, Body, 72, Conn, 72, 0)
OPC_CSTA_REQUEST(TPCSTAReconnectCallMsg, OPC_RECONNECT_ROWS, )

#define OPC_RETRIEVE_ROWS(F) F(HeldCall, Body, 0, Conn, 72, 0)
OPC_CSTA_REQUEST(TPCSTARetrieveCallMsg, OPC_RETRIEVE_ROWS, )

#define OPC_SNAPCALL_ROWS(F) F(SnapshotObject, Body, 0, Conn, 72, 0)
OPC_CSTA_REQUEST(TPCSTASnapshotCallMsg, OPC_SNAPCALL_ROWS, )

#define OPC_SNAPDEV_ROWS(F) F(SnapshotObject, Body, 0, DevText, 64, 0)
OPC_CSTA_REQUEST(TPCSTASnapshotDeviceMsg, OPC_SNAPDEV_ROWS, )

#define OPC_DEVINFO_ROWS(F)                \
    F(Device, Body, 0, DevText, 64, 0)     \
    F(PDDataRequest, PD, 0, U32, 4, 0)
OPC_CSTA_REQUEST(TPCSTAQueryDeviceInfoMsg, OPC_DEVINFO_ROWS, )

#define OPC_DTMF_ROWS(F)                        \
    F(TransferParty, Body, 0, Conn, 72, 0)      \
    F(ReceiveParty, Body, 72, Conn, 72, 0)      \
    F(DTMFSequence, Body, 144, DevText, 64, 0)  \
    F(ToneDuration, Body, 208, U32, 4, -1)      \
    F(PauseDuration, Body, 212, U32, 4, -1)
OPC_CSTA_REQUEST(TPCSTASendDTMFMsg, OPC_DTMF_ROWS, )

#define OPC_ASSIST_ROWS(F)                       \
    F(Call, Body, 0, Conn, 72, 0)                \
    F(PDAgentExtension, PD, 0, Plain, 16, 0)     \
    F(PDAgentID, PD, 16, Plain, 32, 0)           \
    F(PDAgentInstrument, PD, 48, Plain, 64, 0)
OPC_CSTA_REQUEST(TPCSTASupervisorAssistMsg, OPC_ASSIST_ROWS, )
OPC_CSTA_REQUEST(TPCSTAEmergencyCallMsg, OPC_ASSIST_ROWS, )

#define OPC_SUPERVISE_ROWS(F)                        \
    F(AgentCall, Body, 0, Conn, 72, 0)               \
    F(SupervisorCall, Body, 72, Conn, 72, 0)         \
    F(Action, Body, 144, U16, 2, 0)                  \
    F(PDAgentExtension, PD, 0, Plain, 16, 0)         \
    F(PDAgentID, PD, 16, Plain, 32, 0)               \
    F(PDAgentInstrument, PD, 48, Plain, 64, 0)       \
    F(PDSupervisorInstrument, PD, 112, Plain, 64, 0)
OPC_CSTA_REQUEST(TPCSTASuperviseCallMsg, OPC_SUPERVISE_ROWS, )

#define OPC_GREETING_ROWS(F)        \
    F(Action, Body, 0, U32, 4, 2)   \
    F(AgentID, Body, 4, Plain, 32, 0)
OPC_CSTA_REQUEST(TPCSTAAgentGreetingControlReqMsg, OPC_GREETING_ROWS, )

#define OPC_RECORD_ROWS(F)                                \
    F(ActiveCall, Body, 0, Conn, 72, 0)                   \
    F(PDPlayToneDirection, PD, 0, U32, 4, 0x7FFFFFFF)     \
    F(PDInvocationType, PD, 4, U32, 4, 0x7FFFFFFF)        \
    F(PDInitiatingDevice, PD, 8, Bounded, 64, 0)
OPC_CSTA_REQUEST(TPCSTARecordCallReqMsg, OPC_RECORD_ROWS, )

#define OPC_STOPRECORD_ROWS(F)                            \
    F(ActiveCall, Body, 0, Conn, 72, 0)                   \
    F(PDInvocationType, PD, 0, U32, 4, 0x7FFFFFFF)        \
    F(PDInitiatingDevice, PD, 4, Bounded, 64, 0)
OPC_CSTA_REQUEST(TPCSTAStopRecordCallReqMsg, OPC_STOPRECORD_ROWS, )

// ---- Call-placing requests ----

#define OPC_CONFERENCE_ROWS(F)                         \
    F(HeldCall, Body, 0, Conn, 72, 0)                  \
    F(ActiveCall, Body, 72, Conn, 72, 0)               \
    F(PDCallPlacement, PD, 0, U32, 4, 0)               \
    F(PDCallManner, PD, 4, U32, 4, 0)                  \
    F(PDAlertRings, PD, 8, I16, 2, -1)                 \
    F(PDCallOption, PD, 12, U32, 4, 0)                 \
    F(PDFacilityType, PD, 16, U32, 4, 0)               \
    F(PDAnsMachTreat, PD, 20, U32, 4, 0)               \
    F(PDPriority, PD, 24, U16, 2, 0)                   \
    F(PDPostRoute, PD, 26, U16, 2, 0)                  \
    F(PDCallVariables, PD, 28, CallVars, 410, 0)       \
    F(PDUserToUser, PD, 438, UserToUser, 135, 0)       \
    F(PDWrapupData, PD, 573, Bounded, 40, 0)           \
    F(PDFacilityCode, PD, 613, Bounded, 40, 0)         \
    F(PDAuthorizationCode, PD, 653, Bounded, 40, 0)    \
    F(PDAccountCode, PD, 693, Bounded, 40, 0)          \
    F(PDDialedNumber, PD, 733, Bounded, 64, 0)         \
    F(PDCCT, PD, 804, Bounded, 16, 0)                  \
    F(PDECC, PD, 820, ECC, 2004, 0)
OPC_CSTA_REQUEST(TPCSTAConferenceCallMsg, OPC_CONFERENCE_ROWS, OPC_PLACING_TRACE)

#define OPC_CONSULTATION_ROWS(F)                       \
    F(ActiveCall, Body, 0, Conn, 72, 0)                \
    F(CalledDevice, Body, 72, DevText, 64, 0)          \
    F(PDCallPlacement, PD, 0, U32, 4, 0)               \
    F(PDCallManner, PD, 4, U32, 4, 0)                  \
    F(PDConsultType, PD, 8, U32, 4, 0)                 \
    F(PDAlertRings, PD, 12, I16, 2, -1)                \
    F(PDCallOption, PD, 16, U32, 4, 0)                 \
    F(PDFacilityType, PD, 20, U32, 4, 0)               \
    F(PDAnsMachTreat, PD, 24, U32, 4, 0)               \
    F(PDPriority, PD, 28, U16, 2, 0)                   \
    F(PDPostRoute, PD, 30, U16, 2, 0)                  \
    F(PDCallVariables, PD, 32, CallVars, 410, 0)       \
    F(PDUserToUser, PD, 442, UserToUser, 135, 0)       \
    F(PDWrapupData, PD, 577, Bounded, 40, 0)           \
    F(PDFacilityCode, PD, 617, Bounded, 40, 0)         \
    F(PDAuthorizationCode, PD, 657, Bounded, 40, 0)    \
    F(PDAccountCode, PD, 697, Bounded, 40, 0)          \
    F(CallingDevice, PD, 737, DevText, 64, 0)          \
    F(PDECC, PD, 804, ECC, 2004, 0)
OPC_CSTA_REQUEST(TPCSTAConsultationCallMsg, OPC_CONSULTATION_ROWS, OPC_PLACING_TRACE)

#define OPC_MAKECALL_ROWS(F)                           \
    F(CallingDevice, Body, 0, DevText, 64, 0)          \
    F(CalledDevice, Body, 64, DevText, 64, 0)          \
    F(PDCallPlacement, PD, 0, U32, 4, 0)               \
    F(PDCallManner, PD, 4, U32, 4, 0)                  \
    F(PDConsultType, PD, 8, U32, 4, 0)                 \
    F(PDAlertRings, PD, 12, I16, 2, -1)                \
    F(PDCallOption, PD, 16, U32, 4, 0)                 \
    F(PDFacilityType, PD, 20, U32, 4, 0)               \
    F(PDAnsMachTreat, PD, 24, U32, 4, 0)               \
    F(PDPriority, PD, 28, U16, 2, 0)                   \
    F(PDPostRoute, PD, 30, U16, 2, 0)                  \
    F(PDCallVariables, PD, 32, CallVars, 410, 0)       \
    F(PDUserToUser, PD, 442, UserToUser, 135, 0)       \
    F(PDWrapupData, PD, 577, Plain, 40, 0)             \
    F(PDFacilityCode, PD, 617, Plain, 40, 0)           \
    F(PDAuthorizationCode, PD, 657, Plain, 40, 0)      \
    F(PDAccountCode, PD, 697, Plain, 40, 0)            \
    F(PDCCT, PD, 744, Plain, 16, 0)                    \
    F(PDECC, PD, 760, ECC, 2004, 0)
OPC_CSTA_REQUEST(TPCSTAMakeCallMsg, OPC_MAKECALL_ROWS, OPC_PLACING_TRACE)

#define OPC_PREDICTIVE_ROWS(F)                         \
    F(CallingDevice, Body, 0, DevText, 64, 0)          \
    F(CalledDevice, Body, 64, DevText, 64, 0)          \
    F(AllocationState, Body, 128, U32, 4, 0)           \
    F(PDCallPlacement, PD, 0, U32, 4, 0)               \
    F(PDCallManner, PD, 4, U32, 4, 0)                  \
    F(PDAlertRings, PD, 8, I16, 2, -1)                 \
    F(PDCallOption, PD, 12, U32, 4, 0)                 \
    F(PDFacilityType, PD, 16, U32, 4, 0)               \
    F(PDAnsMachTreat, PD, 20, U32, 4, 0)               \
    F(PDPriority, PD, 24, U16, 2, 0)                   \
    F(PDDestinationCountry, PD, 28, U32, 4, 0)         \
    F(PDAnswerDetectMode, PD, 32, U32, 4, 0)           \
    F(PDAnswerDetectTime, PD, 36, I16, 2, -1)          \
    F(PDAnswerDetectControl1, PD, 40, U32, 4, -1)      \
    F(PDAnswerDetectControl2, PD, 44, U32, 4, -1)      \
    F(PDCallVariables, PD, 48, CallVars, 410, 0)       \
    F(PDUserToUser, PD, 458, UserToUser, 135, 0)       \
    F(PDWrapupData, PD, 593, Plain, 40, 0)             \
    F(PDFacilityCode, PD, 633, Plain, 40, 0)           \
    F(PDAuthorizationCode, PD, 673, Plain, 40, 0)      \
    F(PDAccountCode, PD, 713, Plain, 40, 0)            \
    F(PDOriginatingLineID, PD, 753, Plain, 40, 0)      \
    F(PDCCT, PD, 793, Plain, 16, 0)                    \
    F(PDECC, PD, 812, ECC, 2004, 0)
OPC_CSTA_REQUEST(TPCSTAMakePredictiveCallMsg, OPC_PREDICTIVE_ROWS, OPC_PLACING_TRACE)

#define OPC_TRANSFER_ROWS(F)                           \
    F(HeldCall, Body, 0, Conn, 72, 0)                  \
    F(ActiveCall, Body, 72, Conn, 72, 0)               \
    F(PDCallPlacement, PD, 0, U32, 4, 0)               \
    F(PDCallManner, PD, 4, U32, 4, 0)                  \
    F(PDConsultType, PD, 8, U32, 4, 1)                 \
    F(PDAlertRings, PD, 12, I16, 2, -1)                \
    F(PDCallOption, PD, 16, U32, 4, 0)                 \
    F(PDFacilityType, PD, 20, U32, 4, 0)               \
    F(PDAnsMachTreat, PD, 24, U32, 4, 0)               \
    F(PDPriority, PD, 28, U16, 2, 0)                   \
    F(PDPostRoute, PD, 30, U16, 2, 0)                  \
    F(PDCallVariables, PD, 32, CallVars, 410, 0)       \
    F(PDUserToUser, PD, 442, UserToUser, 135, 0)       \
    F(PDWrapupData, PD, 577, Plain, 40, 0)             \
    F(PDFacilityCode, PD, 617, Plain, 40, 0)           \
    F(PDAuthorizationCode, PD, 657, Plain, 40, 0)      \
    F(PDAccountCode, PD, 697, Plain, 40, 0)            \
    F(PDDialedNumber, PD, 744, Plain, 64, 0)           \
    F(PDECC, PD, 808, ECC, 2004, 0)
OPC_CSTA_REQUEST(TPCSTATransferCallMsg, OPC_TRANSFER_ROWS, OPC_PLACING_TRACE)

// ---- Agent login, logout and state ----

#define OPC_AGENTSTATE_ROWS(F)                          \
    F(Device, Body, 0, DevText, 64, 0)                  \
    F(AgentMode, Body, 64, U32, 4, 1)                   \
    F(AgentID, Body, 68, Bounded, 32, 0)                \
    F(AgentGroup, Body, 100, Bounded, 64, 0)            \
    F(AgentPassword, Body, 164, Bounded, 64, 0)         \
    F(TerminalName, Body, 228, Bounded, 64, 0)          \
    F(SSOEnabled, Body, 292, U16, 2, 0)                 \
    F(PDEventReasonCode, PD, 0, U32, 4, 0)              \
    F(PDWorkMode, PD, 4, U32, 4, 0)                     \
    F(PDNumAdditionalGroups, PD, 8, U32, 4, 0)          \
    F(PDNumHandledCalls, PD, 12, U32, 4, 0)             \
    F(PDPositionID, PD, 16, Plain, 32, 0)               \
    F(PDSupervisorID, PD, 48, Plain, 32, 0)             \
    F(PDClientAddress, PD, 80, Plain, 64, 0)            \
    F(PDAdditionalGroup, PD, 144, Groups, 608, 0)
// Its trace is the record's second virtual Trace; option 0 leaves the agent id out.
#define OPC_AGENTSTATE_EXTRA \
    void Trace(const char* prefix, int dumpPrivateData, int option) override;
OPC_CSTA_REQUEST(TPCSTASetAgentStateMsg, OPC_AGENTSTATE_ROWS, OPC_AGENTSTATE_EXTRA)

// The agent-greeting control confirmation (class 5, type 159) lives with the confirmations
// (cstaconfirmations.h).
