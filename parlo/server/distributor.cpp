// Output: the distributor, the per-session filters and the senders. For now the plain path
// only: one encoding per recipient, no per-client tailoring and no group distribution.
#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "parlo/server/server.h"
#include "parlo/server/session.h"

namespace {
constexpr const char* kBanner = "#################################################";

void TraceInvalid(const char* text, BaseMSG& msg) {
    EMSTraceMessage("%s", kBanner);
    EMSTraceMessage("###!!!Invalide Message INGORE and CONTINUE !!!###");
    EMSTraceMessage(text, StatusCodeName(static_cast<int32_t>(msg.GetStatus())),
                    ElementName(static_cast<int32_t>(msg.GetFailingElement())),
                    static_cast<int>(msg.GetFailingOccurrence()));
    EMSTraceMessage("%s", kBanner);
}
}  // namespace

int SessionProtocol::WriteMSG(const char*, int32_t, BaseMSG&, int) { return 1; }

int SessionProtocol::WriteMSG(SessionMSG* frame, const std::vector<DeviceEntry>&, BaseMSG&, int) {
    delete frame;
    return 1;
}

int SessionProtocol::WriteMSG(int32_t sessionID, BaseMSG& msg) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::WriteMSG");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) return 0;
    LockGuard<CTILockObject> hold(s->SessionLock(), "SessionProtocol::WriteMSG");
    if (msg.ValidateToSend(s->GetClientVersion()) != 0) {
        TraceInvalid("SessionProtocol::WriteMSG: code=%s, element=%s[%d]", msg);
        return 0;
    }
    return s->SendMSG(msg);
}

int SessionProtocol::WriteMSG(uint32_t, int32_t, BaseMSG&) { return 1; }

int SessionProtocol::SendToActiveStandbyClients(BaseMSG&) { return 0; }

int SessionProtocol::SendMSG(BaseMSG& msg) {
    SessionMSG* frame = SessionMSG::CreateFromBaseMSG(static_cast<uint32_t>(GetSessionID()), GetClientVersion(), GetServiceMask(), msg);
    if (frame == nullptr) {
        if (EMSGetTraceMask() & 0xF0)
            EMSTraceMessage("SessionProtocol::SendMSG(BaseMSG*) - Error SessionMSG allocation failed for session %lu",
                            static_cast<unsigned long>(GetSessionID()));
        return 0;
    }
    return SendSessionMSG(frame, msg);
}

int SessionProtocol::SendSessionMSG(SessionMSG* frame, BaseMSG& msg) {
    const uint32_t type = frame->GetType();
    if (GetSessionState() == sessionStandby && type != 1 && type != 2 && type != 4 && type != 6 && type != 8 &&
        type != 99 && type != 100) {
        delete frame;
        return 1;
    }
    ProcessOutputMessage(frame, msg);
    return TransportProtocol::SendMSG(frame);
}

void SessionProtocol::ProcessOutputMessage(SessionMSG* frame, BaseMSG&) {
    if (Server* server = Server::sm_Server) server->UpdateMeter(20, static_cast<int32_t>(frame->GetType()));
}

bool SessionProtocol::PassesEventMasks(uint32_t, int32_t) const { return true; }

int SessionProtocol::SendResponseMSG(int32_t sessionID, BaseMSG& msg, uint64_t) { return WriteMSG(sessionID, msg); }

int SessionProtocol::SendFailureConfMSG(uint32_t invokeID, uint32_t status) {
    return SendFailureConfMSGEx(invokeID, status, nullptr);
}

int SessionProtocol::SendFailureConfMSGEx(uint32_t invokeID, uint32_t status, const char* text) {
    FailureConfMSG conf;
    conf.SetUINT(elementid::InvokeID, invokeID);
    conf.SetUINT(elementid::Status, status);
    if (text && *text) conf.SetSTRING(elementid::WEXACILClientID, text);
    if (conf.ValidateToSend(GetClientVersion()) != 0) {
        TraceInvalid("SessionProtocol::SendFailureConfMSG: Message failed validation, code=%s, element=%s[%d]", conf);
        return 0;
    }
    return SendMSG(conf);
}

int SessionProtocol::SendFailureEventMSG(uint32_t status) {
    FailureEventMSG event;
    event.SetUINT(elementid::Status, status);
    if (event.ValidateToSend(GetClientVersion()) != 0) {
        TraceInvalid("SessionProtocol::SendFailureEventMSG: Message failed validation, code=%s, element=%s[%d]", event);
        return 0;
    }
    return SendMSG(event);
}

int SessionProtocol::SendControlFailureConfMSG(uint32_t invokeID, uint32_t failureCode, uint32_t peripheralErrorCode) {
    return SendControlFailureConfMSGEx(invokeID, failureCode, peripheralErrorCode, nullptr);
}

int SessionProtocol::SendControlFailureConfMSGEx(uint32_t invokeID, uint32_t, uint32_t, const char* text) {
    return SendFailureConfMSGEx(invokeID, 17, text);
}

int SessionProtocol::SendFailureConfMSG(int32_t sessionID, uint32_t invokeID, uint32_t status) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::SendFailureConfMSG");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) {
        EMSTraceMessage("SessionProtocol::SendFailureConfMSG: Session %d not found", static_cast<int>(sessionID));
        return 0;
    }
    LockGuard<CTILockObject> hold(s->SessionLock(), "SessionProtocol::SendFailureConfMSG");
    return s->SendFailureConfMSG(invokeID, status);
}

int SessionProtocol::SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(m->SessionLock(), "SessionProtocol::SendFailureEventMSG");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) {
        EMSTraceMessage("SessionProtocol::SendFailureEventMSG: Session %d not found", static_cast<int>(sessionID));
        return 0;
    }
    LockGuard<CTILockObject> hold(s->SessionLock(), "SessionProtocol::SendFailureEventMSG");
    const int sent = s->SendFailureEventMSG(status);
    if (fail) s->FailSession(status);
    return sent;
}

void SessionProtocol::SendOpenSessionList() {}

void SessionProtocol::SendAgentTeamConfig() {}
