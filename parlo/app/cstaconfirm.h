#pragma once
// The matching of CSTA confirmations to the requests they answer: the confirmation table
// (confirmationtable.def) as rows, and the answers the matching sends itself.
// CTIApplication::ProcessCSTAConfirmation runs it (cstaconfirm.cpp).
#include <cstdint>
#include <span>
#include <string>

class ClientCB;
class CTIApplication;
class OPCReq;
class TPCSTAConfMsg;

// How a row answers (see confirmationtable.def).
enum class CSTAConfState : uint8_t { Built, Later, NoHandler, Failure };

struct CSTAConfRoute {
    uint16_t eventType;     // from the class's row of opcmsg/cstaconfirmations.def
    const char* className;  // "TPCSTA...ConfEventMsg"
    const char* handler;    // "CTIApplication::Process...Conf", or "None"
    CSTAConfState state;
    // Built rows: calls the handler with the confirmation as its own class; null otherwise.
    void (*run)(CTIApplication& app, ClientCB* client, TPCSTAConfMsg& conf, OPCReq* request);
};

// The rows in table order, and the row of one event type (null outside the table). Static
// data: any thread.
std::span<const CSTAConfRoute> CSTAConfRoutes();
const CSTAConfRoute* FindCSTAConfRoute(int32_t eventType);

// CONTROL_FAILURE_CONF {invokeID, failureCode, peripheralErrorCode, WEXACILClientID when
// `wexaCILClientID` is not empty} to the session, through the session's own sender (failure
// 297 goes as FAILURE_CONF 73). Takes the session layer's master lock and the session's lock;
// the caller holds neither. Returns 1 when sent, 0 when the session is gone (traced) or the
// message does not validate for it.
int SendControlFailureConfToSession(int32_t sessionID, uint32_t invokeID, uint32_t failureCode,
                                    uint32_t peripheralErrorCode, const std::string& wexaCILClientID);

// The answer to a console test request (a record of session 0): traced, never sent.
void TPProcmonConf(const TPCSTAConfMsg& conf, uint32_t clientInvokeID);
