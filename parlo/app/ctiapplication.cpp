#include "parlo/app/ctiapplication.h"

#include <cstring>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "parlo/app/appport.h"
#include "parlo/app/appseams.h"
#include "parlo/app/clientcb.h"
#include "platform/clock.h"

namespace {

// Opens the client ports once per application: active, or standby until the switch.
void OpenClientPorts(SessionProtocol& master, bool active) {
    if (master.GetSessionState() != SessionProtocol::sessionUnknown) return;
    const int opened = active ? SessionProtocol::Open() : SessionProtocol::OpenStandby();
    if (!opened)
        EMSTraceMessage("CTIApplication: the client ports (ListenPort %d, SecuredListenPort %d, SecurityMode %u) could not be opened.",
                        static_cast<int>(TransportProtocol::sm_ListenPort),
                        static_cast<int>(TransportProtocol::sm_ListenSecurePort), TransportProtocol::sm_SecurityMode);
}
}  // namespace

CTIApplication::CTIApplication() : m_Seams(std::make_unique<AppClientSeams>(&m_AgentLoginWaitQueue)) {
    m_AgentLoginWaitQueue.SetLinkOffset(ClientCB::LoginWaitLinkOffset());
}

CTIApplication::~CTIApplication() {
    Idle(0);
    RemoveClientPorts();
}

void CTIApplication::Configure(CTIRegistry* registry) {
    m_Registry = registry;
    (void)SessionProtocol::Configure(registry);
    InstallClientPorts();
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_State == New) m_State = Configured;
}

void CTIApplication::GetCTILinkStatus(std::string& text) {
    text += "CTI Link: no OPC link\n";
}

void CTIApplication::ResetIDCounters() {
    SessionProtocol::ResetIDCounters();
    m_NextSessionID = 1;
    m_NextMonitorID = 1;
    EMSTraceMessage("CTIApplication::ResetIDCounters: session and monitor ids start again at 1.");
}

int CTIApplication::GetState() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_State;
}

bool CTIApplication::IsThreadRunning() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_ThreadRunning;
}

int CTIApplication::Activate() {
    {
        std::unique_lock<std::mutex> hold(m_Lock);
        if (m_State == Standby && m_ThreadRunning) {
            // The running standby thread serves on; only the mode changes.
            m_State = Active;
            hold.unlock();
            (void)StandbyToOpen();
            if (AppServerPort* port = GetAppServerPort()) port->MakeActive();
            return 1;
        }
        if (m_State == Active && m_ThreadRunning) return 1;
    }
    OpenClientPorts(*this, true);
    return StartThread(1);
}

int CTIApplication::StartStandby() {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (m_State == Standby && m_ThreadRunning) return 1;
        if (m_State == Active && m_ThreadRunning) return 0;
    }
    OpenClientPorts(*this, false);
    return StartThread(0);
}

int CTIApplication::StartThread(int active) {
    AppServerPort* port = GetAppServerPort();
    if (port == nullptr) return 0;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (m_ThreadRunning) return 0;
        m_State = active ? Active : Standby;
        m_ThreadRunning = true;
        m_StopThread = false;
        m_FailThread = false;
    }
    port->StartThread(kThreadName, ThreadMain, this);
    return 1;
}

unsigned CTIApplication::ThreadMain(void* argument) {
    auto* application = static_cast<CTIApplication*>(argument);
    int active;
    {
        std::lock_guard<std::mutex> hold(application->m_Lock);
        active = application->m_State == Active ? 1 : 0;
    }
    application->Run(active);
    return 0;
}

void CTIApplication::GetECCVariableClients(std::string&) {}
void CTIApplication::GetTraceKeywords(std::string&) {}
void CTIApplication::SendAppPathDownForAllClients() {}
void CTIApplication::DeleteECCVariable(int32_t, const std::string&, int32_t) {}

const uint8_t* CTIApplication::ProcessTerminalConfig(int32_t, int32_t, const uint8_t*,
                                                     const uint8_t* end) {
    return end;
}

// ---------------------------------------------------------------- client input

BaseMSGPtr CTIApplication::MakeOpenConf(BaseMSG& request) {
    auto conf = std::make_unique<OpenConfMSG>();
    conf->SetUINT(elementid::InvokeID, request.GetUINT(elementid::InvokeID));
    conf->SetUINT(elementid::ServiceMask, request.GetUINT(elementid::ServiceMask));
    conf->SetUINT(elementid::MonitorID, 0);
    conf->SetUINT(elementid::PGStatus, 0);
    conf->SetUINT(elementid::CCTimestamp, 0);
    conf->SetBOOL(elementid::PeripheralOnline, 0);
    conf->SetUSHORT(elementid::PeripheralType, 0xFFFF);
    conf->SetUSHORT(elementid::CTIAgentState, 0);
    conf->SetINT(elementid::DepartmentID, 0);
    conf->SetUSHORT(elementid::SessionType, 0);
    if (const char* extension = request.GetSTRING(elementid::AgentExtension); extension && *extension)
        conf->SetSTRING(elementid::AgentExtension, extension);
    return conf;
}
