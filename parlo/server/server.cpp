#include "parlo/server/server.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "ctimsg/names.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/datetime.h"
#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/svrtrace.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/server/serverports.h"
#include "parlo/server/tables.h"
#include "parlo/server/threadmgr.h"
#include "parlo/session/session.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

Server* Server::sm_Server = nullptr;

namespace {

constexpr const char* kApplicationThread = "CTI Application Thread";

std::mutex g_TitleLock;
std::string g_ConsoleTitle = "parlo";

bool IsAgentPeripheralType(uint32_t ctiType) {
    return ctiType == 1 || ctiType == 4 || ctiType == 5 || ctiType == 16 || ctiType == 17 ||
           ctiType == 23;
}

const char* SecurityModeText(uint32_t mode) {
    return mode == 0 ? "MIXED" : mode == 1 ? "SECURE" : "UNKNOWN";
}

}  // namespace

Server::Server() {
    if (sm_Server != nullptr) EMSFailMessage("Server::Server - The static member sm_Server is already set.");
    sm_Server = this;
    SetState(IDLE);
    m_StartTime = NowSeconds();
    for (int type : {ServerTimer::OPCHeartBeat, ServerTimer::AgentConfigureUpdate,
                     ServerTimer::MaintenanceModeReq, ServerTimer::StoppingReqsInd,
                     ServerTimer::ServerHeartBeat})
        m_Timers[type] = std::make_unique<ServerTimer>(type);
    m_OPCHeartBeatsEnabled = 1;
    try {
        m_ActivationEvent = std::make_unique<plat::Event>(true, false);
    } catch (...) {
        EMSFailMessageLastError("Server::Server: Unable to create m_ActivationEvent.");
    }
    m_PGTickCounter = TickCounter();
    m_PGTickSeconds = m_PGTickCounter.GetSeconds();
    m_FailoverReported = 0;
    m_ShuttingDown = false;
    InstallServerPorts(*this);
    InitServerTables();
    OPCReq::InitTables();
    m_MonitorLock = std::make_unique<CTILockObject>(1, nullptr, "Monitor", 0xFFFFFFFF, 0, 0);
    m_ServerLock = std::make_unique<CTILockObject>(1, nullptr, "RTServerConfig", 0xFFFFFFFF, 0, 0);
    m_MeterLock = std::make_unique<CTILockObject>(1, nullptr, "MeterLock", 0xFFFFFFFF, 0, 0);
    m_NumPeripherals = 0;
    for (auto& p : m_Peripherals) p = Peripheral{};
    m_Meters.metersStart = NowSeconds();
}

Server::~Server() {
    // The process never ends this way; tests that make a Server only unhook it. The
    // application goes first: its end still reads the server's timers.
    delete m_Application.exchange(nullptr);
    for (auto& t : m_Timers) {
        if (t) t->Cancel();
        t.reset();
    }
    CTILockObject::SetRegistry(nullptr);
    if (sm_Server == this) sm_Server = nullptr;
}

int64_t Server::NowSeconds() const { return plat::RealtimeNs() / 1000000000; }

void Server::Init() {
    SetState(IDLE);
    CreateApplication();
    ResetMeters();
    m_Timers[ServerTimer::ServerHeartBeat]->StartSeconds(1);
}

void Server::CreateApplication() {
    CTIApplication* application = new (std::nothrow) CTIApplication;
    if (application == nullptr) NUV_ALLOC_FAILED(sizeof(CTIApplication));
    m_Application.store(application);
    ThreadManager::AddThread(kApplicationThread, ThreadEntry::CRITICAL);
    application->Configure(GetRegistry());
}

void Server::DestroyApplication() {
    // The client records and the sessions waiting for collection go before the application
    // (the session master) that serves them.
    ClientCB::DeleteAll();
    SessionProtocol::CleanupGarbageList();
    delete m_Application.exchange(nullptr);
    ThreadManager::RemoveThread(kApplicationThread);
}

const char* Server::GetStateName(int state) { return ServerStateName(state); }

void Server::SetState(int state) {
    const int old = m_State.load();
    if (state < 0 || state > STANDBY)
        EMSFailMessage("Server::SetState - Invalid state %d specified (oldState=%s(%d))", state,
                       GetStateName(old), old);
    bool allowed = false;
    switch (state) {
        case SHUTDOWN:
        case IDLE: allowed = true; break;
        case ACTIVATING: allowed = old == IDLE; break;
        case ACTIVE: allowed = old == ACTIVATING || old == STANDBY; break;
        case STANDBY: allowed = old == ACTIVATING; break;
        default: allowed = false; break;
    }
    if (!allowed)
        EMSFailMessage("Server::SetState - Invalid state transition from %s to %s",
                       GetStateName(old), GetStateName(state));
    m_State.store(state);
    m_StateChangeTime.store(LocalFileTimeNow());
    MDSIO::SetServerActive(state == ACTIVE || state == STANDBY ? 1 : 0);
    if (GetRegistry() != nullptr) UpdateConsoleTitle();
}

void Server::SetSide(int v) {
    m_Side = v;
    MDSIO::SetSide(v);
    if (CTIRegistry* registry = GetRegistry()) registry->SetIdentity(m_RegistryBase, m_Side == 1);
}

void Server::SetRegistryBase(const std::string& v) {
    m_RegistryBase = v;
    if (CTIRegistry* registry = GetRegistry()) registry->SetIdentity(m_RegistryBase, m_Side == 1);
}

void Server::SetRegistry(CTIRegistry* registry) {
    m_Registry.store(registry);
    if (registry != nullptr) registry->SetIdentity(m_RegistryBase, m_Side == 1);
    CTILockObject::SetRegistry(registry);
}

bool Server::Lock() { return m_ServerLock->Lock("Server::Lock", -1); }
bool Server::Unlock() { return m_ServerLock->Unlock("Server::Unlock"); }
bool Server::IsLocked() const { return m_ServerLock->IsLockedByCurrentThread(); }

uint32_t Server::GetUniqueID() {
    const uint32_t counter = m_UniqueIDCounter.fetch_add(1, std::memory_order_relaxed) & 0xFFFFFF;
    return m_UniqueIDPrefix.load(std::memory_order_relaxed) | counter;
}

void Server::InitUniqueID(uint32_t generation) {
    uint32_t top = (generation & 15) | (m_Side == 1 ? 0u : 0x10u) |
                   ((static_cast<uint32_t>(m_ServerNumber) & 7) << 5);
    m_UniqueIDPrefix.store(top << 24);
    m_UniqueIDCounter.store(0);
}

// ---- Peripheral table -----------------------------------------------------------------

int Server::FindPeripheral(int32_t peripheralID) {
    for (int i = 0; i < m_NumPeripherals; ++i)
        if (m_Peripherals[i].peripheralID == peripheralID) return i;
    if (m_NumPeripherals >= kMaxPeripherals) {
        EMSTraceMessage("Server::FindPeripheral - ERROR:  Peripheral limit of %d reached, cannot add peripheral %d",
                        kMaxPeripherals, peripheralID);
        return -1;
    }
    const int index = m_NumPeripherals++;
    m_Peripherals[index] = Peripheral{};
    m_Peripherals[index].peripheralID = peripheralID;
    if (EMSGetTraceMask() & tracebit::TR_PROC_1)
        EMSTraceMessage("Server::FindPeripheral - Peripheral %d not found - Added - NumPeripherals=%d",
                        peripheralID, m_NumPeripherals);
    return index;
}

void Server::SetPeripheralType(int32_t peripheralID, int32_t type) {
    const int i = FindPeripheral(peripheralID);
    if (i >= 0) m_Peripherals[i].type = type;
}

void Server::SetPeripheralMultiline(int32_t peripheralID, int32_t flag) {
    const int i = FindPeripheral(peripheralID);
    if (i >= 0) m_Peripherals[i].multiline = flag;
}

void Server::SetPeripheralStatus(int32_t peripheralID, int32_t status) {
    const int i = FindPeripheral(peripheralID);
    if (i >= 0 && (status == 3 || status == 4)) m_Peripherals[i].status = status;
}

int32_t Server::GetPeripheralType(int32_t peripheralID) {
    const int i = FindPeripheral(peripheralID);
    return i >= 0 ? m_Peripherals[i].type : -1;
}

int32_t Server::GetPeripheralFlag(int32_t peripheralID) {
    const int i = FindPeripheral(peripheralID);
    return i >= 0 ? m_Peripherals[i].multiline : 0;
}

int32_t Server::GetPeripheralStatus(int32_t peripheralID) {
    const int i = FindPeripheral(peripheralID);
    return i >= 0 ? m_Peripherals[i].status : 0;
}

int Server::CountFlaggedPeripherals() const {
    int count = 0;
    for (int i = 0; i < m_NumPeripherals; ++i)
        if (m_Peripherals[i].multiline) ++count;
    return count;
}

bool Server::HasStandbyPeripheral() const {
    for (int i = 0; i < m_NumPeripherals; ++i)
        if (ConvertPeripheralType(m_Peripherals[i].type) == 17) return true;
    return false;
}

int32_t Server::GetAgentPeripheralClientType(int* count) {
    int found = 0;
    int first = -1;
    for (int i = 0; i < m_NumPeripherals; ++i) {
        if (!IsAgentPeripheralType(ConvertPeripheralType(m_Peripherals[i].type))) continue;
        if (first < 0) first = i;
        ++found;
    }
    if (found != 1 && (EMSGetTraceMask() & tracebit::kDefault)) {
        const int32_t id = first >= 0 ? m_Peripherals[first].peripheralID : 0;
        const int32_t type = first >= 0 ? m_Peripherals[first].type : 0;
        EMSTraceMessage("Server::GetAgentPeripheralClientType - Warning!!! Found multiple (or no) "
                        "Agent Peripherals (%d). Using the first Agent Pripheral [%ld, %ld (%s)]",
                        found, static_cast<long>(id), static_cast<long>(type),
                        PeripheralTypeName(static_cast<int32_t>(ConvertPeripheralType(type))));
    }
    if (count) *count = found;
    return first >= 0 ? m_Peripherals[first].type : 0;
}

// ---- OPC clock --------------------------------------------------------------------------

int64_t Server::GetPGTime() {
    return m_PGTime + (static_cast<int64_t>(m_PGTickCounter.GetSeconds()) - m_PGTickSeconds);
}

void Server::SetPGTime(int64_t seconds) {
    const int64_t current = GetPGTime();
    if (seconds == current) return;
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[64] = "";
    if (::gmtime_r(&t, &utc)) std::strftime(text, sizeof text, "%X", &utc);
    const bool wasSet = m_PGTimeSet;
    m_PGTime = seconds;
    m_PGTickSeconds = m_PGTickCounter.GetSeconds();
    m_PGTimeSet = true;
    EMSEvent1I1S(0x612E0013, 0, 0, wasSet ? static_cast<int32_t>(seconds - current) : 0, text);
}

void Server::ProcessTimeNotification(const uint8_t* body, size_t length) {
    if (body == nullptr || length < 4) return;
    SetPGTime(plat::LoadLE32(body));
}

// ---- Timers -----------------------------------------------------------------------------

ServerTimer* Server::GetTimer(int type) {
    return type >= 1 && type <= 5 ? m_Timers[type].get() : nullptr;
}

void Server::StartOPCHeartBeatTimer(int seconds) {
    if (seconds == -1) return;
    m_OPCHeartBeatTime = seconds;
    m_Timers[ServerTimer::OPCHeartBeat]->StartSeconds(static_cast<uint32_t>(seconds));
}

void Server::ActivateAgentConfigureUpdateTimer(int seconds) {
    if (seconds == -1) return;
    m_AgentConfigureDelay = seconds;
    ServerTimer* timer = m_Timers[ServerTimer::AgentConfigureUpdate].get();
    if (timer->IsRunning()) return;
    EMSTraceMessage("Server::ActivateAgentConfigureUpdateTimer");
    timer->StartSeconds(static_cast<uint32_t>(seconds));
}

bool Server::IsStoppingRequestsPending() { return m_Timers[ServerTimer::StoppingReqsInd]->IsRunning(); }

bool Server::IsStopping() {
    CTIApplication* application = GetApplication();
    return IsShuttingDown() || IsStoppingRequestsPending() ||
           (application != nullptr && application->IsMaintenanceHold());
}

// ---- Forwarders -------------------------------------------------------------------------

void Server::QueueOPCMessage(int type, int length, const uint8_t* data) {
    CTIApplication* application = GetApplication();
    if (application == nullptr || !IsOPCLinkEstablished()) return;
    application->ProcessOPCInput(type, length, data);
}

void Server::ReportPGStatusText(const char* text) {
    if (CTIApplication* application = GetApplication()) application->ProcessPGFailure(text);
    (void)SessionProtocol::WaitForOutputSent(plat::DeadlineAfterMs(kPGStatusSendWaitMs));
}

void Server::KillClient(int sessionID) {
    if (CTIApplication* application = GetApplication()) application->KillClient(sessionID);
}

void Server::ListECCVariableClients(std::string& text) {
    if (CTIApplication* application = GetApplication()) application->GetECCVariableClients(text);
}

void Server::ListTraceKeywords(std::string& text) {
    if (CTIApplication* application = GetApplication()) application->GetTraceKeywords(text);
}

void Server::SendTextToClients(const char* text) {
    if (CTIApplication* application = GetApplication()) application->SendText(text);
}

// ---- Console title ----------------------------------------------------------------------

std::string Server::GetConsoleTitle() {
    std::lock_guard<std::mutex> hold(g_TitleLock);
    return g_ConsoleTitle;
}

void Server::SetConsoleTitle(const std::string& title) {
    {
        std::lock_guard<std::mutex> hold(g_TitleLock);
        g_ConsoleTitle = title;
    }
    EMSUpdateStatusTitle(title.c_str());
}

void Server::UpdateConsoleTitle() {
    std::string current = GetConsoleTitle();
    const size_t blank = current.find(' ');
    if (blank != std::string::npos) current.resize(blank);
    CTIRegistry* registry = GetRegistry();
    const CTIRegistry::ConfigBlock empty;
    const CTIRegistry::ConfigBlock& config = registry ? registry->Config() : empty;
    auto port = [](const std::string& p) { return p.empty() ? std::string("Not-Configured") : p; };
    char title[260];
    std::snprintf(title, sizeof title,
                  "%s %s - [%s  %s  SecurityMode - %s  (NonSecurePort: %s, SecurePort: %s)]",
                  current.c_str(), m_ProcessName.c_str(), GetStateName(GetState()),
                  config.CGPublicInterface.c_str(), SecurityModeText(config.SecurityMode),
                  port(config.ListenPort).c_str(), port(config.SecuredListenPort).c_str());
    SetConsoleTitle(title);
}

void Server::StartInput() {
    MDSIO::CTIInputManager(m_ProcessName.c_str(), m_RegistryBase.c_str(), m_Side, m_MDSConnections);
    EMSFailMessage("Server::StartInput - Unexpected input handler termination (standAlone=%d).", 0);
}
