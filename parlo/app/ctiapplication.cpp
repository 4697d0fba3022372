#include "parlo/app/ctiapplication.h"

#include <cstring>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "parlo/app/appport.h"
#include "platform/clock.h"

namespace {
constexpr int kConfigureRequest = 5;  // CTI_CONFIGURE_REQ
constexpr uint32_t kOpenReq = 3, kCloseReq = 7, kSessionFailedMsg = 259;

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

CTIApplication::~CTIApplication() { Idle(0); }

void CTIApplication::Configure(CTIRegistry* registry) {
    m_Registry = registry;
    (void)SessionProtocol::Configure(registry);
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

void CTIApplication::Run(int active) {
    AppServerPort* port = GetAppServerPort();
    port->InitUniqueID();
    bool serving = port->SetActivated(kThreadName, active) != 0;
    while (serving) {
        OPCInput input{-1, {}};
        {
            std::unique_lock<std::mutex> hold(m_Lock);
            plat::WaitUntil(m_Wake, hold, plat::kNoDeadline, [this] {
                return m_StopThread || m_FailThread || !m_Markers.empty() ||
                       (!m_MaintenanceHold && !m_Input.empty());
            });
            if (m_StopThread || m_FailThread) break;
            if (!m_Markers.empty()) {
                const int marker = m_Markers.front();
                m_Markers.pop_front();
                if (marker == -1) {
                    hold.unlock();
                    ProcessSessionInput();
                }
                continue;
            }
            input = std::move(m_Input.front());
            m_Input.pop_front();
        }
        DispatchOPCMessage(input.type, input.data.data(), input.data.size());
    }
    port->ClearActivated(kThreadName);
    std::lock_guard<std::mutex> hold(m_Lock);
    m_ThreadRunning = false;
    m_Wake.notify_all();
}

void CTIApplication::Idle(int reason) {
    // The clients go first, while the thread still takes their closes.
    (void)SessionProtocol::Close(static_cast<uint32_t>(reason));
    std::unique_lock<std::mutex> hold(m_Lock);
    if (m_ThreadRunning) {
        EMSTraceMessage("CTIApplication::Idle - stopping the application thread (reason %d).", reason);
        m_StopThread = true;
        m_Wake.notify_all();
        plat::WaitUntil(m_Wake, hold, plat::kNoDeadline, [this] { return !m_ThreadRunning; });
    }
    m_Input.clear();
    m_Held.clear();
    m_Markers.clear();
    m_MaintenanceHold = false;
    if (m_State != New) m_State = Shutdown;
}

void CTIApplication::FailThreadForTest() {
    std::lock_guard<std::mutex> hold(m_Lock);
    m_FailThread = true;
    m_Wake.notify_all();
}

void CTIApplication::ProcessOPCInput(int type, int length, const uint8_t* data) {
    if (length < 0 || (length > 0 && data == nullptr)) return;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        const bool inService = m_State == Active || m_State == Standby;
        if (inService || m_MaintenanceHold) {
            OPCInput input{type, std::vector<uint8_t>(data, data + length)};
            (m_MaintenanceHold ? m_Held : m_Input).push_back(std::move(input));
            m_Wake.notify_all();
            return;
        }
    }
    DispatchOPCMessage(type, data, static_cast<size_t>(length));
}

void CTIApplication::DispatchOPCMessage(int type, const uint8_t* data, size_t length) {
    if (type == kConfigureRequest && length >= 4) {
        if (AppServerPort* port = GetAppServerPort()) port->ProcessConfigMessage(data + 4, length - 4);
        return;
    }
    // The handlers of the other OPC messages come with the application layer.
    if (EMSGetTraceMask() & 0x01)
        EMSTraceMessage("CTIApplication::ProcessOPCMessage - msgtype %d (%d bytes) not handled yet, "
                        "dropped.",
                        type, static_cast<int>(length));
}

void CTIApplication::QueueMaintenanceRequest() {
    std::lock_guard<std::mutex> hold(m_Lock);
    m_MaintenanceHold = true;
}

void CTIApplication::ProcessOPCMsgsFromQueue() {
    std::deque<OPCInput> released;
    bool dispatchHere;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_MaintenanceHold = false;
        dispatchHere = !(m_State == Active || m_State == Standby) || !m_ThreadRunning;
        if (dispatchHere) {
            released.swap(m_Held);
        } else {
            while (!m_Held.empty()) {
                m_Input.push_back(std::move(m_Held.front()));
                m_Held.pop_front();
            }
            m_Wake.notify_all();
        }
    }
    for (auto& input : released) DispatchOPCMessage(input.type, input.data.data(), input.data.size());
}

bool CTIApplication::IsMaintenanceHold() const {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_MaintenanceHold;
}

void CTIApplication::QueueApplicationMSG(int marker) {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (!m_ThreadRunning) return;
    m_Markers.push_back(marker);
    m_Wake.notify_all();
}

void CTIApplication::ProcessPGFailure(const char*) {}
void CTIApplication::KillClient(int) {}
void CTIApplication::GetECCVariableClients(std::string&) {}
void CTIApplication::GetTraceKeywords(std::string&) {}
void CTIApplication::SendText(const char*) {}
void CTIApplication::CloseClient(int, int) {}
void CTIApplication::SendAppPathDownForAllClients() {}
void CTIApplication::DeleteECCVariable(int32_t, const std::string&, int32_t) {}

const uint8_t* CTIApplication::ProcessTerminalConfig(int32_t, int32_t, const uint8_t*,
                                                     const uint8_t* end) {
    return end;
}

// ---------------------------------------------------------------- client input

void CTIApplication::ProcessSessionInput() {
    while (SessionMSG* frame = DequeueInputMessage()) {
        ProcessSessionMessage(*frame);
        delete frame;
    }
}

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

void CTIApplication::ProcessSessionMessage(SessionMSG& frame) {
    const int32_t sessionID = static_cast<int32_t>(frame.SessionID());
    BaseMSGPtr msg = BaseMSG::Decode(frame.Data(), frame.Length(), frame.ClientVersion());
    if (!msg) {
        EMSTraceMessage("CTIApplication::ProcessSessionMessage - SessionID %d: message type %d not decoded, dropped.",
                        static_cast<int>(sessionID), static_cast<int>(frame.GetType()));
        return;
    }
    switch (frame.GetType()) {
        case kOpenReq: {
            BaseMSGPtr conf = MakeOpenConf(*msg);
            const char* extension = msg->GetSTRING(elementid::AgentExtension);
            const bool agentDevice =
                (msg->GetUINT(elementid::ServiceMask) & 0x01) && extension != nullptr && *extension != '\0';
            if (!ConfirmOpen(sessionID, *conf, frame.Stamp(), agentDevice))
                EMSTraceMessage("CTIApplication::ProcessSessionMessage - SessionID %d: open not confirmed.",
                                static_cast<int>(sessionID));
            return;
        }
        case kCloseReq:
            (void)CloseSession(sessionID);
            return;
        case kSessionFailedMsg:
            (void)FailSessionByID(sessionID, msg->GetUINT(elementid::Status));
            return;
        default:
            // The request handlers come with the application layer.
            EMSTraceMessage("CTIApplication::ProcessSessionMessage - SessionID %d: %s not handled yet, dropped.",
                            static_cast<int>(sessionID), MsgTypeName(static_cast<int32_t>(frame.GetType())));
    }
}
