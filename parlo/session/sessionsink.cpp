#include "parlo/session/sessionsink.h"

#include "nuvlib/stdqueue.h"
#include "parlo/model/modelutil.h"
#include "parlo/session/session.h"

static_assert(static_cast<int>(model::DistributeListAndAllEvents) == SessionProtocol::DistributeListAndAllEvents &&
              static_cast<int>(model::DistributeAllEvents) == SessionProtocol::DistributeAllEvents &&
              static_cast<int>(model::DistributeList) == SessionProtocol::DistributeList &&
              static_cast<int>(model::DistributeAllSessions) == SessionProtocol::DistributeAllSessions);

SessionSinkPort& SessionSinkPort::Instance() {
    static SessionSinkPort* sink = new SessionSinkPort;
    return *sink;
}

int SessionSinkPort::WriteMSG(const char* deviceKey, int32_t peripheralID, BaseMSG& msg, int distribution) {
    return SessionProtocol::WriteMSG(deviceKey, peripheralID, msg, distribution);
}

int SessionSinkPort::WriteMSG(int32_t sessionID, BaseMSG& msg) { return SessionProtocol::WriteMSG(sessionID, msg); }

int SessionSinkPort::SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail) {
    return SessionProtocol::SendFailureEventMSG(sessionID, status, fail);
}

int SessionSinkPort::SendResponseMSG(int32_t sessionID, BaseMSG& msg, uint64_t requestTime) {
    return SessionProtocol::SendResponseMSG(sessionID, msg, requestTime);
}

bool SessionSinkPort::FindSession(int32_t sessionID) {
    SessionProtocol* m = SessionProtocol::Master();
    if (m == nullptr || sessionID <= 0) return false;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionSinkPort::FindSession");
    return SessionProtocol::FindSession(static_cast<uint32_t>(sessionID)) != nullptr;
}

int32_t SessionSinkPort::FindSessionByUniqueInstanceID(const char* uniqueInstanceID) {
    SessionProtocol* m = SessionProtocol::Master();
    if (m == nullptr || uniqueInstanceID == nullptr) return -1;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionSinkPort::FindSessionByUniqueInstanceID");
    SessionProtocol* s = SessionProtocol::FindSessionByUniqueInstanceID(uniqueInstanceID);
    return s ? s->GetSessionID() : -1;
}

StdQueue* SessionSinkPort::SessionMonitorList(void* session) {
    SessionProtocol* m = SessionProtocol::Master();
    if (m == nullptr || session == nullptr) return nullptr;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionSinkPort::SessionMonitorList");
    for (SessionProtocol* s : SessionProtocol::AllSessions()) {
        if (s != session) continue;
        StdQueue* list = s->SessionMonitors();
        if (list->GetLinkOffset() < 0) list->SetLinkOffset(model::MonitorSubjectLinkOffset());
        return list;
    }
    return nullptr;
}
