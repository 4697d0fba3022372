// Client close and cleanup: CLOSE_REQ, the end of a client record, a console's forced end.
#include "nuvlib/ems.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/modelutil.h"

void CTIApplication::ProcessCloseRequest(int32_t sessionID, BaseMSGPtr, uint64_t) {
    (void)CloseSession(sessionID);
}

void CTIApplication::KillClient(int sessionID) {
    // A console's forced end: the record is used under the server lock.
    model::ServerLockGuard guard(model::ServerLock());
    if (ClientCB* record = ClientCB::Find(sessionID)) {
        constexpr uint32_t kUnspecifiedFailure = 17;  // E_CTI_UNSPECIFIED_FAILURE
        (void)KillClientSession(record, kUnspecifiedFailure);
    }
}

void CTIApplication::CloseClient(int sessionID, int cause) {
    {
        // The agents stop naming the session before its id can be reused.
        model::ServerLockGuard guard(model::ServerLock());
        if (ClientCB* record = ClientCB::Find(sessionID)) ClientCB::ClearAgentAssociations(record);
    }
    ClientCB::DeleteBySessionID(sessionID);
    EMSTraceMessage("CTIApplication::CloseClient - SessionID %d, cause %d.", sessionID, cause);
    (void)CloseSession(sessionID);
}
