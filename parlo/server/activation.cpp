// The server's life with the OPC: activation, standby, idle, failover reports, the watchdog
// and the two-phase maintenance procedure.
#include <algorithm>
#include <cstring>
#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/statuscodes.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "opcmsg/opctypes.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/importmetrics.h"
#include "parlo/common/meterids.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/agentconfig.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/server/server.h"
#include "parlo/server/threadmgr.h"
#include "parlo/session/session.h"
#include "platform/byteorder.h"

namespace {

constexpr uint32_t kOPCVersion = 8503;
constexpr int kMaintenanceWaitSeconds = 5;

// The fixed words of the idle and active requests, then the text within the body.
struct ControlRequest {
    uint32_t side = 0;
    uint32_t second = 0;  // the echo value (idle) or the OPC heartbeat time (active)
    uint32_t pgStatus = 0;
    uint32_t version = 0;
    uint32_t opcTime = 0;
    std::string text;
};

ControlRequest ReadControlRequest(const uint8_t* body, size_t length) {
    ControlRequest r;
    if (length < 20) return r;
    r.side = plat::LoadLE32(body);
    r.second = plat::LoadLE32(body + 4);
    r.pgStatus = plat::LoadLE32(body + 8);
    r.version = plat::LoadLE32(body + 12);
    r.opcTime = plat::LoadLE32(body + 16);
    if (length >= 22) {
        const size_t n = std::min<size_t>(plat::LoadLE16(body + 20), length - 22);
        r.text.assign(reinterpret_cast<const char*>(body + 22), n);
        r.text.resize(std::strlen(r.text.c_str()));
    }
    return r;
}

const char* SideLetter(uint32_t side) { return side == 1 ? "A" : "B"; }

// Whether the session layer has a session of that id (the master's lock is taken here).
bool SessionExists(int sessionID) {
    SessionProtocol* master = SessionProtocol::Master();
    if (master == nullptr) return false;
    LockGuard<CTILockObject> hold(master->SessionLock(), "Server::ProcessStoppingRequestsInd");
    return SessionProtocol::FindSession(static_cast<uint32_t>(sessionID)) != nullptr;
}

// The session layer's broadcast to active and standby clients: the number of clients, or -1.
int SendToActiveStandbyClients(CTIMsgType messageType, uint32_t value) {
    if (messageType == ACTIVE_MAINTENANCE_REQ) {
        ActiveMaintenanceReqMSG request;
        request.SetUINT(elementid::InvokeID, value);
        return SessionProtocol::SendToActiveStandbyClients(request);
    }
    ActiveMaintenanceEventMSG event;
    event.SetBOOL(elementid::MaintenanceModeStatus, static_cast<uint16_t>(value));
    return SessionProtocol::SendToActiveStandbyClients(event);
}

// Takes the server lock unless this thread holds it already; releases only what it took.
class ServerLockHolder {
public:
    explicit ServerLockHolder(Server& server) : m_Server(server) {
        m_Took = !server.IsLocked() && server.Lock();
    }
    ~ServerLockHolder() { Release(); }
    void Release() {
        if (m_Took) (void)m_Server.Unlock();  // this thread holds it: the release cannot fail
        m_Took = false;
    }
    ServerLockHolder(const ServerLockHolder&) = delete;
    ServerLockHolder& operator=(const ServerLockHolder&) = delete;

private:
    Server& m_Server;
    bool m_Took;
};

}  // namespace


// ---- Activation ---------------------------------------------------------------------------

void Server::ProcessCTISetActiveReq(const uint8_t* body, size_t length) {
    const ControlRequest r = ReadControlRequest(body, length);
    const uint32_t serverNumber = static_cast<uint32_t>(m_ServerNumber);
    auto reject = [&] {
        (void)MDSIO::SendAck(CTI_SET_ACTIVE_REQ, CTI_ERROR_ACK, serverNumber, 0);
        if (++m_RejectionCount > kMaxRejections) {
            ImportMetrics::Instance().reset();
            EMSExitProcess(EMS_EXIT_FORCED);
        }
    };
    if (r.side == static_cast<uint32_t>(m_Side)) {
        if (r.version != kOPCVersion) {
            (void)MDSIO::SendAck(CTI_SET_ACTIVE_REQ, CTI_ERROR_ACK, serverNumber, 0);
            EMSEvent2I1S(0xE12EC00D, 0, 0, static_cast<int32_t>(r.version), kOPCVersion, r.text.c_str());
            SetOPCLinkEstablished(0);
            return;
        }
        const int state = GetState();
        if (state == ACTIVE || state == ACTIVATING) {
            EMSTraceMessage("Ignoring duplicate activate request from OPC as Parlo state is %ld",
                            static_cast<long>(state));
            return;
        }
        if (!IsConfigured()) {
            EMSTraceMessage("ProcessCTISetActiveReq - Not configured. Rejecting the Activate Req");
            reject();
            return;
        }
        SetPGTime(r.opcTime);
        if (state != STANDBY) SetState(ACTIVATING);
        if (EMSGetTraceMask() & tracebit::TR_PROC_1)
            EMSTraceMessage("ProcessCTISetActiveReq: Trying to activate Parlo on side %d.", m_Side);
        m_OPCHeartBeatTime = static_cast<int32_t>(r.second);
        SetOPCLinkEstablished(1);
        if (static_cast<int32_t>(r.pgStatus) != m_PGStatus) {
            m_PGStatus = static_cast<int32_t>(r.pgStatus);
            EMSEvent0I3S(0x612EC007, 0, 0, "ActivateParlo", "", PGStatusText(m_PGStatus));
        }
        if (StartApplicationThreads(1) == 0) reject();
        return;
    }
    const int state = GetState();
    if (IsConfigured() && state != ACTIVATING && state != ACTIVE && state != STANDBY &&
        HasStandbyPeripheral()) {
        SetState(ACTIVATING);
        if (StartApplicationThreads(0) == 0) reject();
        return;
    }
    EMSTraceMessage("Ignoring active request for other side=%d", static_cast<int>(r.side));
}

int Server::StartApplicationThreads(int active) {
    CTIApplication* application = GetApplication();
    if (application == nullptr) return 0;
    if (active) {
        if (application->IsActive()) EMSTraceMessage("Server::StartApplicationThreads - Already Active");
        return application->Activate();
    }
    if (application->GetState() == CTIApplication::Standby)
        EMSTraceMessage("Server::StartApplicationThreads - Already Standby");
    return application->StartStandby();
}

void Server::MakeActive() {
    (void)MDSIO::SendAck(CTI_SET_ACTIVE_REQ, CTI_OK_ACK, static_cast<uint32_t>(m_ServerNumber), 0);
    m_RejectionCount = 0;
    UpdateMeter(meter::StandbyClock, 0);
    UpdateMeter(meter::ActiveClock, 1);
    SetState(ACTIVE);
    StartOPCHeartBeatTimer(m_OPCHeartBeatTime);
    m_ActivationEvent->Set();
    EMSEvent0I1S(0x612E0007, 0, 0, "Active");
}

void Server::MakeStandby() {
    (void)MDSIO::SendAck(CTI_SET_ACTIVE_REQ, CTI_OK_ACK, static_cast<uint32_t>(m_ServerNumber), 0);
    m_RejectionCount = 0;
    UpdateMeter(meter::ActiveClock, 0);
    UpdateMeter(meter::StandbyClock, 1);
    SetState(STANDBY);
    StartOPCHeartBeatTimer(m_OPCHeartBeatTime);
    m_ActivationEvent->Set();
    EMSEvent0I1S(0x612E0007, 0, 0, "Standby");
}

// ---- Idle ---------------------------------------------------------------------------------

void Server::ProcessCTISetIdleReq(const uint8_t* body, size_t length, uint32_t serverNumber) {
    const ControlRequest r = ReadControlRequest(body, length);
    if (r.side != static_cast<uint32_t>(m_Side)) {
        EMSTraceMessage("Ignoring idle request for other side=%d", static_cast<int>(r.side));
        return;
    }
    if (IsStoppingRequestsPending()) {
        EMSTraceMessage("Server::ProcessCTISetIdleReq - Waiting for %ld clients to stop sending "
                        "requests to this side.",
                        static_cast<long>(m_MaintPendingClients));
        (void)MDSIO::SendAck(CTI_SET_IDLE_REQ, CTI_OK_ACK, serverNumber, r.second);
        SetOPCLinkEstablished(1);
        SetPGTime(r.opcTime);
        return;
    }
    EMSEvent0I0S(0x612E0008, 0, 0);
    CleanupServer(-1);
    m_ServerNumber = static_cast<int>(serverNumber);
    MDSIO::SetServerNumber(serverNumber);
    if (static_cast<int32_t>(r.pgStatus) != m_PGStatus) {
        m_PGStatus = static_cast<int32_t>(r.pgStatus);
        EMSEvent0I3S(0x612EC007, 0, 0, "IdleParlo", "", PGStatusText(m_PGStatus));
    }
    if (r.version == kOPCVersion) {
        (void)MDSIO::SendAck(CTI_SET_IDLE_REQ, CTI_OK_ACK, serverNumber, r.second);
        SetOPCLinkEstablished(1);
        SetPGTime(r.opcTime);
    } else {
        (void)MDSIO::SendAck(CTI_SET_IDLE_REQ, CTI_ERROR_ACK, serverNumber, r.second);
        EMSEvent2I1S(0xE12EC00D, 0, 0, static_cast<int32_t>(r.version), kOPCVersion, r.text.c_str());
        SetOPCLinkEstablished(0);
    }
    UpdateMeter(meter::ActiveClock, 0);
    UpdateMeter(meter::StandbyClock, 0);
    if (CTIRegistry* registry = GetRegistry()) registry->UpdateBuildInfo();
}

void Server::CleanupServer(int reason) {
    ThreadManager::ShutdownAll();
    SetState(SHUTDOWN);
    m_ActivationEvent->Set();
    IdleApplication(reason);
    m_Timers[ServerTimer::OPCHeartBeat]->Cancel();
    m_Timers[ServerTimer::AgentConfigureUpdate]->Cancel();
    // The application thread has ended and the timer that would have applied them is
    // cancelled: the agent records held back are applied now (under the server lock, which
    // the model takes), so that the next application starts from them.
    AgentConfig::ApplyDeferred();
    m_Timers[ServerTimer::MaintenanceModeReq]->Cancel();
    {
        const bool took = !m_MonitorLock->IsLockedByCurrentThread() &&
                          m_MonitorLock->Lock("Server::CleanupServer", -1);
        DestroyApplication();
        CreateApplication();
        if (took) (void)m_MonitorLock->Unlock("Server::CleanupServer");
    }
    SetState(IDLE);
    m_FailoverReported = 0;
    m_ActivationEvent->Set();
    m_ActivationEvent->Reset();
}

void Server::IdleApplication(int reason) {
    CTIApplication* application = GetApplication();
    if (application == nullptr) return;
    if (application->IsInService()) ++m_CTILinkRestarts;
    application->Idle(reason);
}

void Server::Shutdown() {
    m_ShuttingDown = true;
    if (CTIApplication* application = GetApplication()) application->SendAppPathDownForAllClients();
    ThreadManager::ShutdownAll();
    SetState(SHUTDOWN);
    EMSExitProcess(EMS_EXIT_SERVER_STOP);
}

// ---- Failure and heartbeat ------------------------------------------------------------------

void Server::ReportFailure(const char* text) {
    EMSTraceMessage("Server::ReportFailure: %s", text ? text : "");
    (void)MDSIO::SendActivationFailure(text);
}

void Server::SendActiveHeartBeat() {
    (void)SendActiveHeartBeatEvent(static_cast<uint32_t>(m_ServerNumber));
}

void Server::ApplicationWatchdog() {
    const int state = GetState();
    if (state == ACTIVE || state == STANDBY) {
        m_WatchdogArmed = 1;
        const char* thread = CTIApplication::kThreadName;
        if (ThreadManager::IsActivated(thread)) {
            CTIRegistry* registry = GetRegistry();
            const int period = registry
                                   ? static_cast<int32_t>(registry->Dynamic(CTIRegistry::OPCHeartbeatTime))
                                   : 10;
            if (period >= 1) {
                if (m_WatchdogTicks++ >= period) {
                    m_WatchdogTicks = 0;
                    if (m_OPCHeartBeatsEnabled) ThreadManager::SetHeartbeat(thread);
                }
            }
        } else if (!ThreadManager::IsShutdown(thread) && !m_WatchdogFailureReported) {
            ReportFailure("Parlo Application thread failure");
            m_WatchdogFailureReported = 1;
        }
    } else if (m_WatchdogArmed) {
        m_WatchdogTicks = 9;
        m_WatchdogArmed = 0;
        m_WatchdogFailureReported = 0;
    }
    CheckMeterPeriods();
}

// ---- Maintenance mode -----------------------------------------------------------------------

void Server::ProcessMaintenanceModeRequest(const uint8_t* body, size_t length, uint32_t serverNumber) {
    if (length < 8) return;
    const uint32_t value = plat::LoadLE32(body);
    const uint32_t side = plat::LoadLE32(body + 4);
    ServerLockHolder hold(*this);
    EMSTraceMessage("Parlo has been requested to go into Maintenance Mode");
    const int state = GetState();
    const bool thisSide = side == static_cast<uint32_t>(m_Side);
    CTIApplication* application = GetApplication();
    if (state == ACTIVE && thisSide) {
        if (m_Timers[ServerTimer::MaintenanceModeReq]->IsRunning()) {
            EMSTraceMessage("Another maintenance mode request is already in progress, rejecting this request");
            (void)MDSIO::SendAck(CTI_MAINTENANCE_MODE_REQUEST, CTI_ERROR_ACK, serverNumber, value);
            return;
        }
        const uint32_t id = GetUniqueID();
        EMSTraceMessage("Parlo forwarding maintenance mode request to clients");
        const int n = SendToActiveStandbyClients(ACTIVE_MAINTENANCE_REQ, id);
        if (n < 0) {
            EMSTraceMessage("Unable to send maintenance mode request, aborting request");
            (void)MDSIO::SendAck(CTI_MAINTENANCE_MODE_REQUEST, CTI_ERROR_ACK, serverNumber, value);
        } else if (n == 0) {
            EMSTraceMessage("No clients eligible for maintenance mode, accepting request");
            (void)MDSIO::SendAck(CTI_MAINTENANCE_MODE_REQUEST, CTI_OK_ACK, serverNumber, value);
            if (application) application->QueueMaintenanceRequest();
        } else {
            m_MaintPendingClients = n;
            m_MaintRequestValue = value;
            m_MaintInvokeID = id;
            m_Timers[ServerTimer::MaintenanceModeReq]->StartSeconds(kMaintenanceWaitSeconds);
            EMSTraceMessage("Maintenance mode request sent to %d cti clients invoke ID %d, timeout %d secs",
                            n, static_cast<int>(id), kMaintenanceWaitSeconds);
            if (application) application->QueueMaintenanceRequest();
        }
    } else if (state == ACTIVE) {
        EMSTraceMessage("Maintenance mode side %s, this side %s, status ACTIVE, accepting request",
                        SideLetter(side), SideLetter(static_cast<uint32_t>(m_Side)));
        (void)MDSIO::SendAck(CTI_MAINTENANCE_MODE_REQUEST, CTI_OK_ACK, serverNumber, value);
    } else if (state == STANDBY && !thisSide) {
        if (application) application->QueueMaintenanceRequest();
        EMSTraceMessage("Maintenance mode side %s, this side %s status STANDBY, keeping OPC messages in queue ...",
                        SideLetter(side), SideLetter(static_cast<uint32_t>(m_Side)));
    } else if (state == STANDBY) {
        EMSTraceMessage("Maintenance mode side %s, this side %s status STANDBY, ignoring...",
                        SideLetter(side), SideLetter(static_cast<uint32_t>(m_Side)));
    }
}

void Server::ProcessMaintenanceModeResponse(int sessionID, uint32_t invokeID, int accepted) {
    ServerLockHolder hold(*this);
    if (m_MaintPendingClients == 0) {
        EMSTraceMessage("Maintenance mode response received when no response is pending, ignoring msg");
        return;
    }
    // A rejection is not matched by invoke id: a late one aborts the request that waits.
    if (!accepted) {
        EMSTraceMessage("Client with session id %d rejected maintenance mode, aborting maintenance mode",
                        sessionID);
        (void)MDSIO::SendAck(CTI_MAINTENANCE_MODE_REQUEST, CTI_ERROR_ACK,
                             static_cast<uint32_t>(m_ServerNumber), m_MaintRequestValue);
        m_MaintPendingClients = 0;
        m_MaintRequestValue = 0;
        m_MaintInvokeID = 0;
        m_Timers[ServerTimer::MaintenanceModeReq]->Cancel();
        return;
    }
    if (invokeID != m_MaintInvokeID) {
        EMSTraceMessage("Maintenance mode response received with invoke id %d expected %d from client "
                        "with session id %d, ignoring msg",
                        static_cast<int>(invokeID), static_cast<int>(m_MaintInvokeID), sessionID);
        return;
    }
    if (--m_MaintPendingClients > 0) {
        EMSTraceMessage("Client with session id %d accepted maintenance mode, %d clients remaining",
                        sessionID, m_MaintPendingClients);
        return;
    }
    EMSTraceMessage("All clients confirmed maintenance mode, accepting maintenance mode");
    (void)MDSIO::SendAck(CTI_MAINTENANCE_MODE_REQUEST, CTI_OK_ACK,
                         static_cast<uint32_t>(m_ServerNumber), m_MaintRequestValue);
    m_MaintRequestValue = 0;
    m_MaintInvokeID = 0;
    m_Timers[ServerTimer::MaintenanceModeReq]->Cancel();
}

void Server::MaintenanceModeTimeout() {
    ServerLockHolder hold(*this);
    EMSTraceMessage("Timed out waiting for maintenance mode response from %d clients, rejecting "
                    "maintenance mode request",
                    m_MaintPendingClients);
    (void)MDSIO::SendAck(CTI_MAINTENANCE_MODE_REQUEST, CTI_ERROR_ACK,
                         static_cast<uint32_t>(m_ServerNumber), m_MaintRequestValue);
    m_MaintPendingClients = 0;
    m_MaintRequestValue = 0;
    m_MaintInvokeID = 0;
}

void Server::ProcessMaintenanceModeInProgress(const uint8_t* body, size_t length) {
    if (length < 12) return;
    const uint32_t accepted = plat::LoadLE32(body + 4);
    const uint32_t side = plat::LoadLE32(body + 8);
    ServerLockHolder hold(*this);
    EMSTraceMessage("Maintenance mode %s by PG on side %s", accepted ? "accepted" : "rejected",
                    SideLetter(side));
    const int state = GetState();
    const bool thisSide = side == static_cast<uint32_t>(m_Side);
    CTIApplication* application = GetApplication();
    if (!accepted) {
        if (thisSide && state == ACTIVE) {
            const int n = SendToActiveStandbyClients(ACTIVE_MAINTENANCE_EVENT, accepted & 0xFFFF);
            EMSTraceMessage("Sent maintenance mode event to %ld clients", static_cast<long>(n));
        }
        if (application) application->ProcessOPCMsgsFromQueue();
        return;
    }
    if (!thisSide) {
        if (state == ACTIVE) {
            EMSTraceMessage("Maintenance mode is proceeding in other side %s", SideLetter(side));
            if (application) application->ProcessOPCMsgsFromQueue();
        }
        return;
    }
    if (state == STANDBY) {
        EMSTraceMessage("Shutting down Parlo on side %s as side is in Standby mode", SideLetter(side));
        hold.Release();
        Shutdown();
    }
    if (state != ACTIVE) return;
    const int n = SendToActiveStandbyClients(ACTIVE_MAINTENANCE_EVENT, accepted & 0xFFFF);
    if (n < 0) {
        EMSTraceMessage("Unable to send maintenance mode event, waiting %d secs before terminating the clients",
                        kMaintenanceWaitSeconds);
        m_Timers[ServerTimer::StoppingReqsInd]->StartSeconds(kMaintenanceWaitSeconds);
    } else if (n == 0) {
        EMSTraceMessage("No clients eligible for maintenance mode event, shutting down Parlo");
        hold.Release();
        Shutdown();
    } else {
        m_MaintPendingClients = n;
        m_Timers[ServerTimer::StoppingReqsInd]->StartSeconds(kMaintenanceWaitSeconds);
        EMSTraceMessage("Maintenance mode event sent to %d cti clients, waiting %d secs before "
                        "terminating the clients",
                        n, kMaintenanceWaitSeconds);
    }
    if (application) application->ProcessOPCMsgsFromQueue();
}

void Server::ProcessStoppingRequestsInd(int sessionID) {
    ServerLockHolder hold(*this);
    if (m_MaintPendingClients == 0) {
        EMSTraceMessage("Stopping Reqs to this Side Indication received when it is not expected, ignoring msg");
        return;
    }
    CTIApplication* application = GetApplication();
    if (--m_MaintPendingClients == 0) {
        EMSTraceMessage("All clients stopped sending requests to side. Closing last client session %ld "
                        "and shutting down the Parlo",
                        static_cast<long>(sessionID));
        if (application) application->CloseClient(sessionID, E_PARLO_IN_MAINTENANCE_MODE);
        hold.Release();
        Shutdown();
    }
    if (!SessionExists(sessionID)) {
        EMSTraceMessage("No session found for sessionID %ld", static_cast<long>(sessionID));
        return;
    }
    EMSTraceMessage("Client stopped sending requests to this side. Closing session %ld",
                    static_cast<long>(sessionID));
    if (application) application->CloseClient(sessionID, E_PARLO_IN_MAINTENANCE_MODE);
}

void Server::StoppingReqsTimeout() {
    EMSTraceMessage("Timeout occured for StoppingReqsInd from clients, outstanding clients %ld, "
                    "shutting down Parlo",
                    static_cast<long>(m_MaintPendingClients));
    Shutdown();
}
