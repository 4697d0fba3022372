#pragma once
// The session layer as the object model's session sink (parlo/model/ports.h): every call
// goes to the session master's tables and senders. Installed with the other ports at start.
#include "parlo/model/ports.h"

class SessionSinkPort final : public model::SessionSink {
public:
    // Distributions 0..3 are the session layer's own values of the same names.
    int WriteMSG(const char* deviceKey, int32_t peripheralID, BaseMSG& msg, int distribution) override;
    int WriteMSG(int32_t sessionID, BaseMSG& msg) override;
    int SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail) override;
    int SendResponseMSG(int32_t sessionID, BaseMSG& msg, uint64_t requestTime) override;
    bool FindSession(int32_t sessionID) override;
    int32_t FindSessionByUniqueInstanceID(const char* uniqueInstanceID) override;
    // `session` is a SessionProtocol; its list is linked by CTICSTAMonitor::m_SubjectLinks.
    StdQueue* SessionMonitorList(void* session) override;

    // The process's one sink (it lives to the process end).
    static SessionSinkPort& Instance();
};
