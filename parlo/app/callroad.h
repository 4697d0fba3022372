#pragma once
// The road every call-control request takes (the application's own header; application
// thread). RunCallRequest does what all of them share: the session's record, the WEXA CIL
// client ID, the per-session trace, the services, the own-instrument check and the one
// answer of a refusal. A request's Builder does the rest: its look-ups and checks, then
// Open (the OPC invoke ID and the outstanding record) and Send (the record's times, the
// CTI_CSTA_MESSAGE with the session's unique instance ID, the request's trace).
#include <cstdint>
#include <string>

#include "ctimsg/basemsg.h"
#include "ctimsg/elementids.h"
#include "ctimsg/failurecodes.h"
#include "nuvlib/ems.h"
#include "opcmsg/tpcstamsg.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/svrtrace.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/opcwriters.h"

class Call;
class ClientCB;
class CTICSTAConnection;

namespace callroad {

namespace el = elementid;
// The CSTA failure codes the requests raise.
constexpr uint32_t kGeneric = failurecode::Of("CF_GENERIC_UNSPECIFIED");
constexpr uint32_t kNotPrivileged = failurecode::Of("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE");
constexpr uint32_t kNoControl = failurecode::Of("CF_PRIVILEGE_VIOLATION_ON_CALLING_DEVICE");
constexpr uint32_t kInvalidCall = failurecode::Of("CF_INVALID_CSTA_CALL_IDENTIFIER");
constexpr uint32_t kInvalidConnection = failurecode::Of("CF_INVALID_CSTA_CONNECTION_IDENTIFIER");
constexpr uint32_t kInvalidState = failurecode::Of("CF_INVALID_OBJECT_STATE");
constexpr uint32_t kDropAnyPartyOff = failurecode::Of("CF_DROP_ANY_PARTY_NOT_ENABLED_CTI");
constexpr uint32_t kNoCall = 0xFFFFFFFF;
// Connection selectors of the look-ups: any active, alerting, connected, held, either.
constexpr int kAny = 2, kAlerting = 4, kConnected = 5, kHeld = 6, kAlertingOrHeld = 7;

// A connection as the request names it and, once a look-up found it, as the model knows it.
struct Connection {
    uint32_t callID = 0xFFFFFFFF;
    int16_t type = 0;
    std::string deviceID;
    Call* call = nullptr;  // the found connection's call (or a call found otherwise)
    bool found = false;
    int callKnown = 0;
    // The found connection's identity replaces the named one.
    void Take(const CTICSTAConnection* connection);
};

// How a request ended before or after its record was made.
struct Verdict {
    enum Kind : uint8_t { Sent, ControlFailure, StatusFailure } kind = Sent;
    uint32_t code = 0;  // the CSTA failure code, or the CTI status of a FAILURE_CONF
};
inline Verdict SentVerdict() { return {Verdict::Sent, 0}; }
inline Verdict Refuse(uint32_t cstaFailure) { return {Verdict::ControlFailure, cstaFailure}; }
inline Verdict FailWithStatus(uint32_t status) { return {Verdict::StatusFailure, status}; }

// One request on the road. The record, the client record and the message belong to the road.
class CallRequest {
public:
    CallRequest(CTIApplication& app, ClientCB& client, BaseMSG& msg, int32_t sessionID,
                uint64_t received);

    CTIApplication& app;
    ClientCB& client;
    BaseMSG& msg;
    const int32_t sessionID;
    const uint64_t received;
    uint32_t invokeID = 0;
    uint32_t peripheralID = 0;
    bool agentMode = false;
    std::string cilID;       // the WEXA CIL client ID, empty unless the route reads it
    std::string instrument;  // AgentInstrument as received, empty when absent

    // A text field, empty when absent or not in the message's class (an older layout).
    std::string Text(uint32_t element);
    // Whether the message's class has the field and it is present.
    bool Has(uint32_t element);
    // The connection the three fields name.
    Connection Named(uint32_t callElement, uint32_t typeElement, uint32_t deviceElement);
    // The request's instrument for a look-up: null when it named none.
    const char* LookupInstrument() const { return instrument.empty() ? nullptr : instrument.c_str(); }
    // CTIApplication::FindConnection for `c` with `lookupInstrument` (null: none); a found
    // connection's identity replaces the named one.
    void Find(Connection& c, int selector, const char* lookupInstrument);
    // The connection the three fields name, looked up with the request's instrument.
    Connection Look(uint32_t callElement, uint32_t typeElement, uint32_t deviceElement, int selector) {
        Connection c = Named(callElement, typeElement, deviceElement);
        Find(c, selector, LookupInstrument());
        return c;
    }
    // CTIApplication::FindRequestConnection (any party accepted); `*failure` gets its code.
    void FindRequest(Connection& c, int selector, uint32_t* failure);
    // The instrument the request acts from: the named one, else an agent-mode session's own,
    // else the default instrument of `call` (traced under `label`).
    std::string SettleInstrument(Call* call, const char* label);

    // The next OPC invoke ID and its outstanding record (the tables own it), with the WEXA
    // CIL client ID stored. Call only once every check has passed.
    OPCReq* Open();
    // Stamps the record's times and sends the request with its main connection and its private
    // data (the OPC block); with EMS trace mask TR_PROC_6 and `traced` the request is traced
    // under `prefix` (a call-placing request with its call variables and call context as the
    // trace keywords allow).
    template <class Request>
    Verdict Send(OPCReq* record, Request& request, const char* prefix = "", bool traced = true) {
        record->ReceiveTime = received;
        record->SendTime = FileTimeNow();
        ConnectionID main;
        const bool hasMain = request.GetMainConnection(&main);
        (void)SendCSTAMessage(hasMain ? &main : nullptr, -1, nullptr, request, request.OPCBlock(), sessionID);
        if (traced && (EMSGetTraceMask() & tracebit::TR_PROC_6) != 0) {
            if constexpr (requires { request.Trace(prefix, 1, 1, 1); })
                request.Trace(prefix, 1, CTIApplication::IsPeriphVariablesTraceOn() ? 1 : 0,
                              CTIApplication::IsECCVariablesTraceOn() ? 1 : 0);
            else
                request.Trace(prefix, 1);
        }
        return SentVerdict();
    }
    // The CSTA request for this request's peripheral, invoke IDs and `record`.
    template <class Request>
    Request Make(const OPCReq* record) const {
        return Request(static_cast<uint16_t>(peripheralID), record->OPCInvokeID, invokeID);
    }
};

using Builder = Verdict (*)(CallRequest&);

struct Route {
    const char* handler;      // its name in the traces, "ProcessAnswerCallRequest"
    const char* missingName;  // its name in the unknown-session trace
    uint32_t services;        // every one of them is needed (else failure 10)
    bool readsCIL;            // reads WEXACILClientID and answers failures with it
    bool sessionTrace;        // the per-session "%s - sessionID %d" line
    bool ownInstrument;       // an agent-mode session may only name its own instrument
    Builder build;
};

// The road: the message is deleted on every path; a refusal is one answer, nothing to OPC.
void RunCallRequest(CTIApplication& app, int32_t sessionID, BaseMSGPtr msg, uint64_t received,
                    const Route& route);

}  // namespace callroad

// The dispatch rows' handler of a request: the road with the route of that name.
#define CALL_CONTROL_HANDLER(handler, route)                                                  \
    void CTIApplication::handler(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {      \
        callroad::RunCallRequest(*this, sessionID, std::move(msg), received, callroad::route); \
    }
