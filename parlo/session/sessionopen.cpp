// A session's open, heartbeat, close and failure, and the master's open and close.
#include <cstdio>
#include <cstring>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "nuvlib/tracemeter.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/importmetrics.h"
#include "parlo/common/meterids.h"
#include "parlo/common/serverstate.h"
#include "parlo/common/svrtrace.h"
#include "parlo/session/outfilter.h"
#include "parlo/session/session.h"
#include "platform/clock.h"

namespace {

constexpr const char* kBanner = "#################################################";

void Count(const char* meter) { TraceMeterCount(meter, "", __FILE__, __LINE__, 0); }

void Meter(int id, int32_t value) { GetSessionServer().UpdateMeter(id, value); }

void Metric(uint32_t index, int delta) {
    if (delta > 0)
        ImportMetrics::Instance().Increment(index);
    else
        ImportMetrics::Instance().Decrement(index);
}

int ServerState() { return GetSessionServer().GetState(); }

int64_t NowSeconds() { return plat::MonotonicNs() / 1000000000; }

void TraceInvalid(const char* invalidLine, const char* text, BaseMSG& msg) {
    EMSTraceMessage("%s", kBanner);
    EMSTraceMessage("%s", invalidLine);
    EMSTraceMessage(text, StatusCodeName(static_cast<int32_t>(msg.GetStatus())),
                    ElementName(static_cast<int32_t>(msg.GetFailingElement())),
                    static_cast<int>(msg.GetFailingOccurrence()));
    EMSTraceMessage("%s", kBanner);
}

std::string Text(BaseMSG& msg, uint32_t id) {
    const char* s = msg.GetSTRING(id);
    return s ? s : "";
}

}  // namespace

// ---------------------------------------------------------------- the session's requests

void SessionProtocol::ProcessOpenRequest(std::unique_ptr<SessionMSG> frame, BaseMSGPtr decoded) {
    Count("Session: OPEN msgs received");
    BaseMSG& request = *decoded;
    const uint32_t invokeID = request.GetUINT(elementid::InvokeID);
    if (m_State == sessionUnknown) Metric(PARLO_UNKNOWN_SESSIONS, -1);
    if (m_State == sessionFailed) return;
    if (m_State != sessionUnknown) {
        (void)SendFailureConfMSG(invokeID, E_CTI_SESSION_ALREADY_OPEN);
        return;
    }
    if (GetSessionServer().IsStopping()) {
        (void)SendFailureConfMSG(invokeID, E_PARLO_IN_MAINTENANCE_MODE);
        FailSession(E_PARLO_IN_MAINTENANCE_MODE);
        return;
    }
    if (ServerState() == serverstate::STANDBY &&
        (request.GetUINT(elementid::VersionNumber) < 24 ||
         !(request.GetUINT(elementid::ServiceMask) & servicemask::STANDBY_CAPABLE))) {
        FailSession(E_CTI_INVALID_CLIENT_FOR_STANDBY);
        return;
    }
    if (request.Present(elementid::UniqueInstanceID)) {
        MasterHold master(*this, "SessionProtocol::ProcessOpenRequest");
        const std::string id = Text(request, elementid::UniqueInstanceID);
        uint32_t refusal = E_CTI_NO_ERROR;
        if (id.empty())
            refusal = E_CTI_INVALID_UNIQUE_INSTANCE_ID;
        else if (FindSessionByUniqueInstanceID(id) != nullptr)
            refusal = E_CTI_DUPLICATE_UNIQUE_INSTANCE_ID;
        if (refusal != E_CTI_NO_ERROR) {
            (void)SendFailureConfMSG(invokeID, refusal);
            return;
        }
        m_UniqueInstanceID = id;
        AddToUniqueInstanceIDMap();
    }
    SessionTimer::Cancel();
    m_State = sessionOpening;
    m_LastHeardFrom = NowSeconds();
    m_InvokeID = invokeID;
    m_ClientVersion = request.GetUINT(elementid::VersionNumber);
    m_IdleTimeout = request.GetUINT(elementid::IdleTimeout);
    m_PeripheralID = request.GetUINT(elementid::CTIPeripheralID);
    m_ServiceMask = request.GetUINT(elementid::ServiceMask);
    m_CallMSGMask = request.GetUINT(elementid::CallMsgMask);
    m_AgentStateMask = request.GetUINT(elementid::AgentStateMask);
    m_ClientID = Text(request, elementid::ClientID);
    int passwordLength = 0;
    const uint8_t* password = request.GetUNSPEC(elementid::ClientPassword, passwordLength);
    m_ClientPassword.assign(password, password ? password + passwordLength : password);
    m_ClientSignature = Text(request, elementid::ClientSignature);
    if (m_ClientSignature.empty()) m_ClientSignature = m_ClientID;
    RecipientsChanged();
    if (m_ServiceMask & servicemask::CLIENT_EVENTS) {
        m_AgentExtension = Text(request, elementid::AgentExtension);
        m_AgentID = Text(request, elementid::AgentID);
        m_AgentInstrumentID = Text(request, elementid::AgentInstrument);
    }
    char text[120];
    std::snprintf(text, sizeof text, "Opening from client %s at %s(%s:%d)", m_ClientID.c_str(), HostName().c_str(),
                  HostAddress().c_str(), static_cast<int>(HostPort()));
    EMSEvent1I1S(0x612E0016, 0, 0, static_cast<int32_t>(m_SessionID), text);
    // The capture and the client-trace lists come with the console's trace services.
    {
        MasterHold master(*this, "SessionProtocol::ProcessOpenRequest");
        AddToOpeningTable();
    }
    QueueInputMessage(std::move(frame), std::move(decoded), false);
}

void SessionProtocol::ProcessHeartBeatRequest(const SessionMSG& frame, BaseMSG& request) {
    Count("Session: HB msgs received");
    if (!IsOpenState(m_State)) return;
    RestartIdleTimer();
    m_LastHeardFrom = NowSeconds();
    (void)SendHeartBeatConfMSG(request, frame.Stamp());
}

void SessionProtocol::ProcessCloseRequest(std::unique_ptr<SessionMSG> frame, BaseMSGPtr decoded) {
    Count("Session: CLOSE msgs received");
    BaseMSG& request = *decoded;
    EMSTraceMessage("SessionProtocol::ProcessCloseRequest - SessionID %ld", static_cast<long>(m_SessionID));
    if (m_State == sessionFailed) return;
    if (!IsOpenState(m_State)) {
        (void)SendFailureConfMSG(request.GetUINT(elementid::InvokeID), E_CTI_SESSION_NOT_OPEN);
        FailSession(E_CTI_SESSION_NOT_OPEN);
        return;
    }
    SessionTimer::Cancel();
    m_State = sessionClosing;
    m_CloseStatus = request.GetUINT(elementid::Status);
    (void)SendCloseConfMSG(request, frame->Stamp());
    // Sending failed and ended the session already.
    if (m_State == sessionFailed) return;
    m_State = sessionClosed;
    Meter(meter::OtherResponse, static_cast<int32_t>(frame->ElapsedSinceStamp()));
    Metric(PARLO_TOTAL_SESSIONS, -1);
    Metric(PARLO_OPEN_SESSIONS, -1);
    Metric(PARLO_CLOSED_SESSIONS, -1);
    ShutdownConnection();
    QueueInputMessage(std::move(frame), std::move(decoded), false);
    m_ApplicationCloseSent = true;
    StartSeconds(sm_Registry ? sm_Registry->Dynamic(CTIRegistry::ConnectionTimeout) : 0);
}

// ---------------------------------------------------------------- the application's verdict

int SessionProtocol::ConfirmOpen(int32_t sessionID, BaseMSG& openConf, uint64_t requestStamp, bool agentDevice) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    const uint32_t granted = openConf.GetUINT(elementid::ServiceMask);
    LockGuard<CTILockObject> server(GetSessionServer().ServerLock(), "SessionProtocol::ConfirmOpen");
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::ConfirmOpen");
    SessionProtocol* s = FindOpeningSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) {
        if ((EMSGetTraceMask() & tracebit::TR_PROC_4) || (m->m_TraceFlags & sessiontrace::kSession))
            EMSTraceMessage("SessionProtocol::ConfirmOpen: Session %d not found.", static_cast<int>(sessionID));
        return 0;
    }
    s->RemoveFromOpeningTable();
    if (s->m_ClientVersion < 14 && GetSessionServer().CountFlaggedPeripherals() > 0)
        EMSEvent0I3S(0xA12E800F, 0, 0, s->m_ClientID.c_str(), s->m_ClientSignature.c_str(), s->HostAddress().c_str());
    std::string key;
    if ((granted & servicemask::CLIENT_EVENTS) && agentDevice) {
        key = Text(openConf, elementid::AgentExtension);
        SessionProtocol* old = FindSessionByDevice(key.c_str(), s->m_PeripheralID);
        if (old != nullptr && old != s) {
            if (old->HostAddress() != s->HostAddress()) {
                EMSTraceMessage("SessionProtocol::ConfirmOpen: Attempt to open a device in use, Addr=%s:%d, Ext=%s",
                                s->HostAddress().c_str(), static_cast<int>(s->HostPort()), key.c_str());
                LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::ConfirmOpen");
                (void)s->SendFailureConfMSG(openConf.GetUINT(elementid::InvokeID), E_CTI_DEVICE_IN_USE);
                s->FailSession(E_CTI_DEVICE_IN_USE);
                return 0;
            }
            EMSTraceMessage("SessionProtocol::ConfirmOpen: Terminating Previous Session At Addr=%s:%d, Ext=%s",
                            old->HostAddress().c_str(), static_cast<int>(old->HostPort()), key.c_str());
            LockGuard<CTILockObject> hold(*old->m_SessionLock, "SessionProtocol::ConfirmOpen");
            (void)old->SendFailureEventMSG(E_CTI_NEW_SESSION_OPENED);
            old->FailSession(E_CTI_NEW_SESSION_OPENED);
        }
    }
    if (openConf.ValidateToSend(s->m_ClientVersion) != 0) {
        master.Release();
        server.Release();
        TraceInvalid("###!!!Invalide Message INGORE and CONTINUE !!!###",
                     "SessionProtocol::ConfirmOpen: Invalid confirm message, code=%s, element=%s[%d]", openConf);
        return 0;
    }
    LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::ConfirmOpen");
    if (s->m_State == sessionFailed) return 0;
    s->m_State = ServerState() == serverstate::ACTIVE ? sessionOpen : sessionStandby;
    s->m_ServiceMask = granted;
    RecipientsChanged();
    if (agentDevice && !key.empty() && key != s->m_DeviceID) {
        s->HashOut();
        s->m_DeviceID = key;
        s->HashIn();
    }
    constexpr uint32_t kManyEvents = servicemask::ALL_EVENTS | servicemask::PERIPHERAL_MONITOR | servicemask::CLIENT_MONITOR;
    const auto limit = (granted & kManyEvents) ? CTIRegistry::MaxQueueAllEventClient : CTIRegistry::MaxQueueClientEventClient;
    s->m_MaxQueued = sm_Registry ? sm_Registry->Dynamic(limit) : 16;
    (void)s->SendOpenConfMSG(openConf, requestStamp);
    if (s->m_State == sessionFailed) return 0;
    s->AddToClientIDTable();
    if (granted & servicemask::CONNECTION_MONITOR)
        EMSEvent0I3S(0x612E8006, 0, 0, s->m_ClientID.c_str(), s->m_ClientSignature.c_str(), s->HostAddress().c_str());
    static constexpr int kJoinOrder[] = {ListAllEvents, ListPeripheralMonitor, ListClientMonitor,
                                         ListSupervisor, ListServer,          ListWEXA,
                                         ListAllTaskEvents, ListTaskMonitor,  ListAgentReporting};
    for (int list : kJoinOrder) {
        if (!(granted & kServiceListBits[list]) || s->m_InServiceList[list]) continue;
        AppendToServiceList(list, s);
        if (list == ListClientMonitor) s->SendOpenSessionList();
        if (list == ListSupervisor) s->SendAgentTeamConfig();
    }
    return 1;
}

int SessionProtocol::FailOpen(int32_t sessionID, uint32_t failureCode) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::FailOpen");
    SessionProtocol* s = FindOpeningSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) {
        EMSTraceMessage("SessionProtocol::FailOpen: Session %d not found", static_cast<int>(sessionID));
        return 0;
    }
    s->RemoveFromOpeningTable();
    LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::FailOpen");
    if (s->m_State == sessionFailed) return 0;
    const int sent = s->SendFailureConfMSG(s->m_InvokeID, failureCode);
    s->FailSession(failureCode);
    return sent;
}

// ---------------------------------------------------------------- failure and close

void SessionProtocol::FailSession(uint32_t status) {
    LockGuard<CTILockObject> hold(*m_SessionLock, "SessionProtocol::FailSession");
    if (m_State == sessionFailed) return;
    if (TraceOn())
        EMSTraceMessage("... SessionProtocol::FailSession %d (%s) ...", static_cast<int>(m_SessionID),
                        StatusCodeName(static_cast<int32_t>(status)));
    if (SessionProtocol* m = Master()) (void)m->Host().SessionFailed(static_cast<int32_t>(m_SessionID));
    PurgeApplicationMessage(m_SessionID);
    QueueCloseClientRequest(status);
    SessionTimer::Cancel();
    const uint32_t previous = m_State;
    m_State = sessionFailed;
    Metric(PARLO_FAILED_SESSIONS, +1);
    CleanUpQueuesOnConnectionClose(previous);
    if (m_WasOpened) Metric(PARLO_OPEN_SESSIONS, -1);
    ReportSessionEnd();
    AddToGarbageCollectionList();
    Metric(PARLO_FAILED_SESSIONS, -1);
}

void SessionProtocol::QueueCloseClientRequest(uint32_t status) {
    if (m_ApplicationCloseSent) return;
    auto close = std::make_unique<CloseReqMSG>();
    close->SetUINT(elementid::InvokeID, 0);
    close->SetUINT(elementid::Status, status);
    if (close->ValidateToSend(24) != 0)
        TraceInvalid("###!!!Invalid Message INGORE and CONTINUE !!!###",
                     "SessionProtocol::QueueCloseClientRequest: Message validation failed, code=%s, element=%s[%d]", *close);
    std::unique_ptr<SessionMSG> frame = SessionMSG::CreateFromBaseMSG(m_SessionID, 24, m_ServiceMask, *close);
    if (frame == nullptr) {
        if (EMSGetTraceMask() & tracebit::kDefault)
            EMSTraceMessage("SessionProtocol::QueueCloseClientRequest - Error SessionMSG allocation failed for session %lu",
                            static_cast<unsigned long>(m_SessionID));
    } else {
        if (TraceOn())
            EMSTraceMessage("SessionProtocol::QueueCloseClientRequest: queue CloseReq to CTIApplication. SessionID %ld",
                            static_cast<long>(m_SessionID));
        QueueInputMessage(std::move(frame), std::move(close), false);
    }
    LockGuard<CTILockObject> hold(*m_SessionLock, "SessionProtocol::QueueCloseClientRequest");
    m_CloseStatus = status;
    m_ApplicationCloseSent = true;
}

int SessionProtocol::ProcessFailureEvent(int cause) {
    if (TraceOn())
        EMSTraceMessage("... SessionProtocol:: Session %d ProcessFailureEvent(%s) ...", static_cast<int>(m_SessionID),
                        StatusCodeName(cause));
    QueueSessionFailedMSG(static_cast<uint32_t>(cause));
    return 1;
}

void SessionProtocol::QueueSessionFailedMSG(uint32_t status) {
    LockGuard<CTILockObject> hold(*m_SessionLock, "SessionProtocol::QueueSessionFailedMSG");
    if (m_SentSessionFailedMSG || m_State == sessionFailed || m_State == sessionClosed) {
        if (EMSGetTraceMask() & tracebit::kDefault)
            EMSTraceMessage("SessionProtocol::QueueSessionFailedMSG - Session %ld already in %ld state",
                            static_cast<long>(m_SessionID), static_cast<long>(m_State));
        return;
    }
    auto failed = std::make_unique<SessionFailedMSG>();
    failed->SetUINT(elementid::InvokeID, 0);
    failed->SetUINT(elementid::Status, status);
    if (failed->ValidateToSend(24) != 0)
        TraceInvalid("###!!!Invalid Message INGORE and CONTINUE !!!###",
                     "SessionProtocol::QueueSessionFailedMSG: Message validation failed, code=%s, element=%s[%d]", *failed);
    std::unique_ptr<SessionMSG> frame = SessionMSG::CreateFromBaseMSG(m_SessionID, 24, m_ServiceMask, *failed);
    if (frame == nullptr) {
        if (EMSGetTraceMask() & tracebit::kDefault)
            EMSTraceMessage("SessionProtocol::QueueSessionFailedMSG - Error SessionMSG allocation failed for session %lu",
                            static_cast<unsigned long>(m_SessionID));
    } else {
        if (TraceOn())
            EMSTraceMessage("SessionProtocol::QueueSessionFailedMSG: queue SessionFailedMSG to CTIApplication. SessionID %ld",
                            static_cast<long>(m_SessionID));
        QueueInputMessage(std::move(frame), std::move(failed), false);
    }
    m_SentSessionFailedMSG = true;
}

int SessionProtocol::CloseSession(int32_t sessionID) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::CloseSession");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) return 0;
    LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::CloseSession");
    if (s->m_State != sessionClosed) return 0;
    if (s->TraceOn()) EMSTraceMessage("... SessionProtocol::CloseSession %d ...", static_cast<int>(sessionID));
    PurgeApplicationMessage(s->m_SessionID);
    s->SessionTimer::Cancel();
    s->CleanUpQueuesOnConnectionClose(sessionClosed);
    s->ReportSessionEnd();
    s->AddToGarbageCollectionList();
    return 1;
}

int SessionProtocol::FailSessionByID(int32_t sessionID, uint32_t status) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::FailSessionByID");
    SessionProtocol* s = FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) return 0;
    LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::FailSessionByID");
    s->FailSession(status);
    return 1;
}

void SessionProtocol::ReportSessionEnd() {
    if (!m_WasOpened) return;
    char text[160];
    if (m_CloseStatus != 0) {
        std::snprintf(text, sizeof text, "Terminating client %s at %s(%s:%d), %s", m_ClientID.c_str(),
                      HostName().c_str(), HostAddress().c_str(), static_cast<int>(HostPort()),
                      StatusCodeName(static_cast<int32_t>(m_CloseStatus)));
        EMSEvent1I1S(0xA12E0017, 0, 0, static_cast<int32_t>(m_SessionID), text);
    } else {
        std::snprintf(text, sizeof text, "Closing client %s at %s(%s:%d)", m_ClientID.c_str(), HostName().c_str(),
                      HostAddress().c_str(), static_cast<int>(HostPort()));
        EMSEvent1I1S(0x612E0016, 0, 0, static_cast<int32_t>(m_SessionID), text);
    }
    if (m_ServiceMask & servicemask::CONNECTION_MONITOR)
        EMSEvent0I3S(m_CloseStatus != 0 ? 0xE12E8008 : 0xA12E8007, 0, 0, m_ClientID.c_str(),
                     m_ClientSignature.c_str(), HostAddress().c_str());
}

// ---------------------------------------------------------------- senders of this Part

int SessionProtocol::SendOpenConfMSG(BaseMSG& openConf, uint64_t requestStamp) {
    const int sent = SendMSG(openConf);
    m_WasOpened = true;
    RestartIdleTimer();
    const uint64_t now = plat::FileTimeNow();
    Meter(meter::OpenResponse, static_cast<int32_t>(now > requestStamp ? (now - requestStamp) / 10000 : 0));
    Metric(PARLO_TOTAL_SESSIONS, +1);
    Metric(PARLO_OPEN_SESSIONS, +1);
    return sent;
}

int SessionProtocol::SendCloseConfMSG(BaseMSG& request, uint64_t) {
    CloseConfMSG conf;
    conf.SetUINT(elementid::InvokeID, request.GetUINT(elementid::InvokeID));
    if (conf.ValidateToSend(m_ClientVersion) != 0) {
        EMSTraceMessage("%s", kBanner);
        EMSTraceMessage("###!!!Invalide Message INGORE and CONTINUE !!!###");
        EMSTraceMessage("SessionProtocol::SendCloseConfMSG: Message failed validation, code=%s.",
                        StatusCodeName(static_cast<int32_t>(conf.GetStatus())));
        EMSTraceMessage("%s", kBanner);
        return 0;
    }
    return SendMSG(conf);
}

int SessionProtocol::SendHeartBeatConfMSG(BaseMSG& request, uint64_t requestStamp) {
    HeartbeatConfMSG conf;
    conf.SetUINT(elementid::InvokeID, request.GetUINT(elementid::InvokeID));
    if (conf.ValidateToSend(m_ClientVersion) != 0) {
        TraceInvalid("###!!!Invalide Message INGORE and CONTINUE !!!###",
                     "SessionProtocol::SendHeartBeatConfMSG: Invalid confirm message, code=%s, element=%s[%d]", conf);
        return 0;
    }
    const int sent = SendMSG(conf);
    const uint64_t now = plat::FileTimeNow();
    Meter(meter::HeartbeatResponse, static_cast<int32_t>(now > requestStamp ? (now - requestStamp) / 10000 : 0));
    return sent;
}

int SessionProtocol::SendStandbyActiveEvent() {
    StandbyActiveEventMSG event;
    if (event.ValidateToSend(m_ClientVersion) != 0) {
        TraceInvalid("###!!!Invalid Message INGORE and CONTINUE !!!###",
                     "SessionProtocol::SendStandbyActiveEvent: Message validation failed, code=%s, element=%s[%d]", event);
        return 0;
    }
    return SendMSG(event);
}

// ---------------------------------------------------------------- the master

int SessionProtocol::OpenMaster(uint32_t target) {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::Open");
    m->m_State = sessionOpening;
    Metric(PARLO_OPENING_SESSIONS, +1);
    if (m->TransportProtocol::GetState() == TransportProtocol::connectionUnknown)
        (void)m->TransportProtocol::Configure();
    if (!m->TransportProtocol::Open()) return 0;
    m->m_State = target;
    Metric(PARLO_OPENING_SESSIONS, -1);
    return 1;
}

int SessionProtocol::Open() { return OpenMaster(sessionOpen); }

int SessionProtocol::OpenStandby() { return OpenMaster(sessionStandby); }

int SessionProtocol::StandbyToOpen() {
    SessionProtocol* m = Master();
    if (m == nullptr) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::StandbyToOpen");
    if (m->m_State != sessionStandby) return 0;
    m->m_State = sessionOpen;
    for (SessionProtocol* s : AllSessions()) {
        LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::StandbyToOpen");
        // Only sessions waiting in standby switch: opening, closing and failed ones keep
        // their state.
        if (s->m_State != sessionStandby) continue;
        s->m_State = sessionOpen;
        (void)s->SendStandbyActiveEvent();
    }
    return 1;
}

int SessionProtocol::Close(uint32_t reason) {
    SessionProtocol* m = Master();
    // A master that never opened has nothing to close (and its lock is not needed).
    if (m == nullptr || m->m_State == sessionUnknown) return 0;
    LockGuard<CTILockObject> master(*m->m_SessionLock, "SessionProtocol::Close");
    if (m->m_State != sessionOpening && !IsOpenState(m->m_State)) return 0;
    m->m_State = sessionClosing;
    Metric(PARLO_CLOSING_SESSIONS, +1);
    m->SessionTimer::Cancel();
    for (int list : {ListAllEvents, ListPeripheralMonitor, ListClientMonitor, ListWEXA}) {
        for (SessionProtocol* s : ServiceListOf(list)) s->m_InServiceList[list] = false;
        ClearServiceList(list);
    }
    ClearUniqueInstanceIDMap();
    const std::vector<SessionProtocol*> sessions = AllSessions();
    for (SessionProtocol* s : sessions) {
        LockGuard<CTILockObject> hold(*s->m_SessionLock, "SessionProtocol::Close");
        s->SessionTimer::Cancel();
        if (IsOpenState(s->m_State)) {
            if (reason == E_PARLO_IN_MAINTENANCE_MODE) {
                (void)s->SendFailureEventMSG(E_PARLO_IN_MAINTENANCE_MODE);
                s->FailSession(E_PARLO_IN_MAINTENANCE_MODE);
            } else {
                (void)s->SendFailureEventMSG(E_CTI_PARLO_OFFLINE);
            }
        }
        s->ShutdownConnection();
        // A failed session waits on the garbage list already: it stays failed.
        if (s->m_State != sessionFailed) s->m_State = sessionClosing;
    }
    // The poster and timer threads get time to finish with the sessions; with no session
    // there is nothing to finish.
    if (!sessions.empty()) {
        master.Release();
        plat::SleepForMs(kCloseWaitMs);
        master.Acquire();
    }
    // The transport's close waits for the poster thread, which may itself be waiting for
    // the master's lock to deliver an event: let go of it for the wait.
    master.Release();
    m->TransportProtocol::Close();
    master.Acquire();
    m->m_State = sessionClosed;
    Metric(PARLO_CLOSING_SESSIONS, -1);
    Metric(PARLO_CLOSED_SESSIONS, +1);
    return 1;
}
