// CSTA confirmations matched to the requests they answer, and answered through the
// confirmation table.
#include "parlo/app/cstaconfirm.h"

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <string>

#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appport.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/app/cstaintake.h"
#include "parlo/common/meterids.h"
#include "parlo/common/svrtrace.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/session/session.h"

namespace {

// The event type of each confirmation class, from its row of cstaconfirmations.def.
template <class Conf>
constexpr uint16_t kConfType = 0;
#define CSTA_CONF(Class, type, body, pd, copies) \
    template <>                                  \
    constexpr uint16_t kConfType<Class> = type;
#include "opcmsg/cstaconfirmations.def"
#undef CSTA_CONF

// Any handler whose confirmation parameter takes the row's class (the class itself or its
// base) is called with it.
template <class Conf, auto Handler>
void Run(CTIApplication& app, ClientCB* client, TPCSTAConfMsg& conf, OPCReq* request) {
    (app.*Handler)(client, static_cast<Conf*>(&conf), request);
}

constexpr int kMaxConfType = 255;
// 100 ns FILETIME units in a millisecond.
constexpr uint64_t kFileTimePerMs = 10000;

}  // namespace

#define APP_CONF_FN_Built(conf, handler) &Run<conf, &CTIApplication::handler>
#define APP_CONF_FN_Later(conf, handler) nullptr
#define APP_CONF_FN_NoHandler(conf, handler) nullptr
#define APP_CONF_FN_Failure(conf, handler) nullptr

struct CSTAConfirmationTable {
    static constexpr auto kRows = std::to_array<CSTAConfRoute>({
#define CONF_ROW(conf, handler, state)                                                       \
    {kConfType<conf>, #conf, "CTIApplication::" #handler, CSTAConfState::state,              \
     APP_CONF_FN_##state(conf, handler)},
#include "parlo/app/confirmationtable.def"
    });
    static constexpr auto kIndex = [] {
        std::array<int16_t, kMaxConfType + 1> index{};
        for (auto& slot : index) slot = -1;
        for (size_t i = 0; i < kRows.size(); ++i) index[kRows[i].eventType] = static_cast<int16_t>(i);
        return index;
    }();
};


namespace {
constexpr bool OneRowPerClass() {
    const auto& rows = CSTAConfirmationTable::kRows;
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].eventType == 0 || rows[i].eventType > kMaxConfType ||
            CSTAConfirmationTable::kIndex[rows[i].eventType] != static_cast<int16_t>(i))
            return false;
    return rows.size() == static_cast<size_t>(CSTAConfRow::Count);
}
static_assert(OneRowPerClass(), "every confirmation class has exactly one row");
}  // namespace

std::span<const CSTAConfRoute> CSTAConfRoutes() { return CSTAConfirmationTable::kRows; }

const CSTAConfRoute* FindCSTAConfRoute(int32_t eventType) {
    if (eventType < 0 || eventType > kMaxConfType) return nullptr;
    const int16_t i = CSTAConfirmationTable::kIndex[static_cast<size_t>(eventType)];
    return i < 0 ? nullptr : &CSTAConfirmationTable::kRows[static_cast<size_t>(i)];
}

int SendControlFailureConfToSession(int32_t sessionID, uint32_t invokeID, uint32_t failureCode,
                                    uint32_t peripheralErrorCode, const std::string& wexaCILClientID) {
    SessionProtocol* master = SessionProtocol::Master();
    if (master == nullptr) return 0;
    LockGuard<CTILockObject> hold(master->SessionLock(), "SessionProtocol::SendControlFailureConfMSG");
    SessionProtocol* session = SessionProtocol::FindSession(static_cast<uint32_t>(sessionID));
    if (session == nullptr) {
        EMSTraceMessage("SessionProtocol::SendControlFailureConfMSG: Session %d not found",
                        static_cast<int>(sessionID));
        return 0;
    }
    LockGuard<CTILockObject> own(session->SessionLock(), "SessionProtocol::SendControlFailureConfMSG");
    return session->SendControlFailureConfMSGEx(invokeID, failureCode, peripheralErrorCode,
                                                wexaCILClientID.c_str());
}

void CTIApplication::ProcessCSTAConfirmation(const CSTAMessage& message) {
    const CSTAEventRecord& record = message.Record();
    const uint16_t type = record.EventType();
    const CSTAConfRoute* route = FindCSTAConfRoute(type);
    std::unique_ptr<TPCSTAConfMsg> conf;
    if (route != nullptr) conf = CreateCSTAConfirmation(static_cast<uint16_t>(message.PeripheralID()), record);
    if (conf == nullptr) {
        EMSTraceMessage("*** ProcessCSTAConfirmation: Unimplemented CSTAEvent %s (%d) received ... ignored ***",
                        CSTAEventTypeName(type), static_cast<int>(type));
        return;
    }
    if (EMSGetTraceMask() & tracebit::TR_PROC_6) conf->Trace("", 0, 0);
    // Without the server-active flag the records stay for the side that will answer them.
    if (!MDSIO::IsServerActive()) return;

    OPCReq* request = OPCReq::Find(conf->InvokeID());
    bool rebuilt = false;
    if (request == nullptr) {
        const std::string uniqueID(message.UniqueInstanceID());
        if (EMSGetTraceMask() & tracebit::TR_PROC_4)
            EMSTraceMessage("Request unable to be found by invokeID %d, searching by unique instance ID %s",
                            static_cast<int>(conf->InvokeID()), uniqueID.c_str());
        int32_t sessionID = -1;
        if (SessionProtocol* master = SessionProtocol::Master(); master != nullptr && !uniqueID.empty()) {
            LockGuard<CTILockObject> hold(master->SessionLock(), "CTIApplication::ProcessCSTAConfirmation");
            if (SessionProtocol* session = SessionProtocol::FindSessionByUniqueInstanceID(uniqueID))
                sessionID = session->GetSessionID();
        }
        if (sessionID < 0) {
            if (IsActive())
                EMSTraceMessage("*** ProcessCSTAConfirmation: No pending request with uniqueID 0x%x, clientInvokeID "
                                "0x%x ***",
                                conf->InvokeID(), conf->ClientInvokeID());
            return;
        }
        // After a failover the other side's records are gone: the session is named by its id.
        request = OPCReq::Allocate(sessionID, conf->ClientInvokeID(), 0);
        request->ReceiveTime = FileTimeNow();
        rebuilt = true;
    }

    if (request->SessionID == 0) {
        TPProcmonConf(*conf, request->ClientInvokeID);
    } else {
        // A rebuilt record was never sent from here: it has no response time.
        if (!rebuilt) {
            const uint64_t now = FileTimeNow();
            const uint64_t ms = now > request->SendTime ? (now - request->SendTime) / kFileTimePerMs : 0;
            GetAppServerPort().UpdateMeter(meter::ControlResponse,
                                           static_cast<int32_t>(std::min<uint64_t>(ms, INT32_MAX)));
        }
        ClientCB* client = ClientCB::Find(request->SessionID);
        if (client == nullptr) {
            EMSTraceMessage("*** ProcessCSTAConfirmation: Client session %d not found ***",
                            static_cast<int>(request->SessionID));
        } else if (client->GetState() != ClientCB::OPEN && client->GetState() != ClientCB::AGENT_LOGIN_WAIT) {
            EMSTraceMessage("*** ProcessCSTAConfirmation: Cannot send message to client session %d in state %s(%d) ***",
                            static_cast<int>(request->SessionID), ClientCB::StateName(client->GetState()),
                            static_cast<int>(client->GetState()));
        } else if (route->state == CSTAConfState::Built) {
            route->run(*this, client, *conf, request);
        } else {
            uint32_t failure = 0, peripheralError = 0;
            if (route->state == CSTAConfState::Failure) {
                failure = conf->GetError();
                // Only the private data OPC sent: a failure without any has no peripheral code.
                if (PrivateDataLength(conf->OPCBlock()) >= cstaconfpd::kUniversalFailureSize)
                    peripheralError = conf->PrivateDataWord(cstaconfpd::kPeripheralErrorCode);
            }
            (void)SendControlFailureConfToSession(request->SessionID, request->ClientInvokeID, failure,
                                                  peripheralError, request->WEXACILClientID);
        }
    }
    OPCReq::Release(request);
}
