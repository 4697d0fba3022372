#include "parlo/server/serverports.h"

#include <iterator>
#include <memory>
#include <new>

#include "parlo/app/appport.h"
#include "parlo/app/clientdirectory.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctilock.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/importmetrics.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opclinkport.h"
#include "parlo/opclink/opcwriterport.h"
#include "parlo/session/sessionports.h"
#include "parlo/session/sessionsink.h"
#include "parlo/server/threadmgr.h"
#include "parlo/server/server.h"
#include "parlo/common/svrtrace.h"

namespace {

constexpr int kAgentConfigureDelaySeconds = 3;

// The model's counter names onto the published counters, in model::PerfCounter's order.
constexpr ParloMetric kMetricOf[] = {
    PARLO_ACTIVE_CALLS,     PARLO_REPORTED_CALLS,      PARLO_DEACTIVATED_CALLS,
    PARLO_CLEARED_CALLS,    PARLO_PRIVATE_CALLS,       PARLO_LOGGEDIN_AGENTS,
    PARLO_LOGGEDOUT_AGENTS, PARLO_READY_AGENTS,        PARLO_NOT_READY_AGENTS,
    PARLO_WORKREADY_AGENTS, PARLO_WORKNOTREADY_AGENTS, PARLO_TALKING_AGENTS,
};
static_assert(std::size(kMetricOf) == static_cast<size_t>(model::PerfCounter::PARLO_TALKING_AGENTS) + 1);

bool MetricOf(model::PerfCounter counter, uint32_t& metric) {
    const auto i = static_cast<size_t>(counter);
    if (i >= std::size(kMetricOf)) return false;
    metric = kMetricOf[i];
    return true;
}

}  // namespace

bool ServerContextPort::LockServer(const char* caller) { return m_Server.ServerLock().Lock(caller, -1); }
bool ServerContextPort::UnlockServer(const char* caller) { return m_Server.ServerLock().Unlock(caller); }
bool ServerContextPort::IsServerLockedByCurrentThread() { return m_Server.IsLocked(); }
int ServerContextPort::ServerState() { return m_Server.GetState(); }
bool ServerContextPort::IsServerActive() { return MDSIO::IsServerActive() != 0; }
int ServerContextPort::GetPeripheralType(int32_t peripheralID) { return m_Server.GetPeripheralType(peripheralID); }
void ServerContextPort::UpdateMeter(int meter, int delta) { m_Server.UpdateMeter(meter, delta); }

void ServerContextPort::Increment(model::PerfCounter counter) {
    if (uint32_t metric = 0; MetricOf(counter, metric)) ImportMetrics::Instance().Increment(metric);
}

void ServerContextPort::Decrement(model::PerfCounter counter) {
    if (uint32_t metric = 0; MetricOf(counter, metric)) ImportMetrics::Instance().Decrement(metric);
}

namespace {
int RegistryValue(Server& server, CTIRegistry::DynamicValue value) {
    const CTIRegistry* registry = server.GetRegistry();
    return registry == nullptr ? 0 : static_cast<int>(registry->Dynamic(value));
}
}  // namespace

bool ServerContextPort::RemoveCGDuplicateConnections() {
    return RegistryValue(m_Server, CTIRegistry::RemoveCGDuplicateConnections) != 0;
}
int ServerContextPort::VerboseLevel() { return 0; }
bool ServerContextPort::TracePeriphVariables() { return SVRTraceON(PeriphVariables); }
bool ServerContextPort::TraceECCVariables() { return SVRTraceON(ECCVariables); }

void ServerContextPort::ActivateAgentConfigureUpdateTimer() {
    m_Server.ActivateAgentConfigureUpdateTimer(kAgentConfigureDelaySeconds);
}


int ServerContextPort::MaxPrivateCallsPerAgent() {
    return RegistryValue(m_Server, CTIRegistry::MaxPrivateCallsPerAgent);
}
int ServerContextPort::PrivateCallCleanupDelay() {
    return RegistryValue(m_Server, CTIRegistry::PrivateCallCleanupDelay);
}

LockObject* ServerContextPort::NewCallLock() {
    return new (std::nothrow) CTILockObject(1, nullptr, "CallLock", 0xFFFFFFFF, 0, 0);
}

bool ServerContextPort::CallStateTraceOn() {
    const CTIApplication* application = m_Server.GetApplication();
    // Two switches came with two branches (GetCallstateTrace, IsCallstateTraceOn): either traces.
    return application != nullptr && (application->GetCallstateTrace() || application->IsCallstateTraceOn());
}

namespace {

// ---- the session layer's server port ----
class SessionServerPort final : public SessionServer {
public:
    explicit SessionServerPort(Server& server) : m_Server(server) {}
    CTILockObject& ServerLock() override { return m_Server.ServerLock(); }
    int GetState() const override { return m_Server.GetState(); }
    bool IsStopping() override { return m_Server.IsStopping(); }
    bool IsStoppingRequestsPending() override { return m_Server.IsStoppingRequestsPending(); }
    bool IsShuttingDown() const override { return m_Server.IsShuttingDown(); }
    int CountFlaggedPeripherals() const override { return m_Server.CountFlaggedPeripherals(); }
    int GetDuplex() const override { return m_Server.GetDuplex(); }
    void ReportFailure(const char* text) override { m_Server.ReportFailure(text); }
    void UpdateMeter(int meter, int32_t value) override { m_Server.UpdateMeter(meter, value); }

private:
    Server& m_Server;
};

// ---- the OPC link's server port ----
class OPCLinkServerPort final : public OPCLinkServer {
public:
    explicit OPCLinkServerPort(Server& server) : m_Server(server) {}
    void ProcessCTISetIdleReq(const uint8_t* body, size_t length, uint32_t serverNumber) override {
        m_Server.ProcessCTISetIdleReq(body, length, serverNumber);
    }
    void ProcessCTISetActiveReq(const uint8_t* body, size_t length) override {
        m_Server.ProcessCTISetActiveReq(body, length);
    }
    void ProcessMaintenanceModeRequest(const uint8_t* body, size_t length, uint32_t serverNumber) override {
        m_Server.ProcessMaintenanceModeRequest(body, length, serverNumber);
    }
    void ProcessMaintenanceModeInProgress(const uint8_t* body, size_t length) override {
        m_Server.ProcessMaintenanceModeInProgress(body, length);
    }
    void SetPGTime(int64_t seconds) override { m_Server.SetPGTime(seconds); }
    void QueueOPCMessage(int type, int length, const uint8_t* data) override {
        m_Server.QueueOPCMessage(type, length, data);
    }
    void ReportPGStatusText(const char* text) override { m_Server.ReportPGStatusText(text); }
    void UpdateMeter(int meter, int32_t value) override { m_Server.UpdateMeter(meter, value); }
    int GetState() const override { return m_Server.GetState(); }
    bool IsStoppingRequestsPending() override { return m_Server.IsStoppingRequestsPending(); }

private:
    Server& m_Server;
};

// ---- the application's server port ----
class ServerAppPort final : public AppServerPort {
public:
    explicit ServerAppPort(Server& server) : m_Server(server) {}
    void StartThread(const char* name, ThreadFunction function, void* argument) override {
        ThreadManager::StartThread(name, function, argument);
    }
    int SetActivated(const char* name, int active) override {
        return ThreadManager::SetActivated(name, active);
    }
    void ClearActivated(const char* name) override { ThreadManager::ClearActivated(name); }
    void InitUniqueID() override {
        CTIRegistry* registry = m_Server.GetRegistry();
        m_Server.InitUniqueID(registry ? registry->GenerationCounter() : 0);
    }
    uint32_t GetUniqueID() override { return m_Server.GetUniqueID(); }
    int GetState() const override { return m_Server.GetState(); }
    void MakeActive() override { m_Server.MakeActive(); }
    void UpdateMeter(int meter, int32_t value) override { m_Server.UpdateMeter(meter, value); }
    int GetSide() const override { return m_Server.GetSide(); }
    int GetDuplex() const override { return m_Server.GetDuplex(); }
    void ReportFailure(const char* text) override { m_Server.ReportFailure(text); }
    int GetFailoverReported() const override { return m_Server.GetFailoverReported(); }
    void SetFailoverReported(int reported) override { m_Server.SetFailoverReported(reported); }
    void SetPGStatus(int status) override { m_Server.SetPGStatus(status); }
    int GetPGStatus() const override { return m_Server.GetPGStatus(); }
    void SetPeripheralStatus(int32_t peripheralID, int32_t systemEventID) override {
        m_Server.SetPeripheralStatus(peripheralID, systemEventID);
    }
    int32_t GetPeripheralStatus(int32_t peripheralID) override {
        return m_Server.GetPeripheralStatus(peripheralID);
    }
    int64_t GetPGTime() override { return m_Server.GetPGTime(); }
    std::vector<Peripheral> GetPeripherals() const override {
        std::vector<Peripheral> out;
        Peripheral entry;
        for (int i = 0; m_Server.GetPeripheralEntry(i, entry); ++i) out.push_back(entry);
        return out;
    }
    int32_t GetAgentPeripheralClientType(int* count) override {
        return m_Server.GetAgentPeripheralClientType(count);
    }
    void ProcessConfigMessage(const uint8_t* body, size_t length) override {
        m_Server.ProcessConfigMessage(body, length);
    }

private:
    Server& m_Server;
};

}  // namespace

void InstallServerPorts(Server& server) {
    // Process-wide: the layers keep the pointers; a newer Server (tests) replaces the adapters.
    static std::unique_ptr<ServerContextPort> context;
    static std::unique_ptr<SessionServerPort> sessions;
    static std::unique_ptr<OPCLinkServerPort> link;
    static std::unique_ptr<ServerAppPort> app;
    static OPCWriterPort opc;
    context = std::make_unique<ServerContextPort>(server);
    sessions = std::make_unique<SessionServerPort>(server);
    link = std::make_unique<OPCLinkServerPort>(server);
    app = std::make_unique<ServerAppPort>(server);
    model::Ports ports;
    ports.sessions = &SessionSinkPort::Instance();
    ports.server = context.get();
    ports.clients = &ClientCBDirectory::Instance();
    ports.opc = &opc;
    model::InstallPorts(ports);
    InstallSessionServer(sessions.get());
    InstallOPCLinkServer(link.get());
    SetAppServerPort(app.get());
}
