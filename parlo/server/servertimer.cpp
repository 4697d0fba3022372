#include "parlo/server/servertimer.h"

#include <cstdio>

#include "nuvlib/ems.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/server/server.h"

const char* ServerTimer::TypeName(int type) {
    switch (type) {
        case OPCHeartBeat: return "ServerTimer - OPCHeartBeat";
        case ServerHeartBeat: return "ServerTimer - ServerHeartBeat";
        case AgentConfigureUpdate: return "ServerTimer - AgentConfigureUpdate";
        case MaintenanceModeReq: return "ServerTimer - MaintenanceModeReq";
        case StoppingReqsInd: return "ServerTimer - StoppingReqsInd";
        default: return "ServerTimer - Unknown";
    }
}

void ServerTimer::Reschedule() {
    m_Running = 1;
    Timer::Reschedule();
}

void ServerTimer::Cancel() {
    m_Running = 0;
    Timer::Cancel();
}

void ServerTimer::GetName(char* buffer, size_t size) {
    if (buffer && size) std::snprintf(buffer, size, "%s", TypeName(m_TimerType));
}

void ServerTimer::StartSeconds(uint32_t seconds) {
    m_Running = 1;
    Timer::SetSeconds(seconds);
}

void ServerTimer::StartOnBoundary(uint32_t seconds) {
    m_Running = 1;
    Timer::SetNextSecondsBoundary(seconds);
}

void ServerTimer::Execute() {
    m_Running = 0;
    Server* server = Server::sm_Server;
    switch (m_TimerType) {
        case OPCHeartBeat:
            MDSIO::CheckOPCHeartBeat();
            Reschedule();
            break;
        case ServerHeartBeat:
            if (server) server->ApplicationWatchdog();
            Reschedule();
            break;
        case AgentConfigureUpdate:
            if (server && server->GetApplication()) server->GetApplication()->QueueApplicationMSG(-2);
            break;
        case MaintenanceModeReq:
            if (server) server->MaintenanceModeTimeout();
            break;
        case StoppingReqsInd:
            if (server) server->StoppingReqsTimeout();
            break;
        default:
            EMSEvent1I1S(0xA12EC001, 0, 0, m_TimerType, "Server");
            break;
    }
    (void)m_ID;
}
