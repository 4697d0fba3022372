#include "parlo/server/serverports.h"

#include <iterator>
#include <memory>
#include <new>

#include "parlo/server/ctilock.h"
#include "parlo/server/ctiregistry.h"
#include "parlo/server/importmetrics.h"
#include "parlo/server/mdsio.h"
#include "parlo/server/opcwriters.h"
#include "parlo/server/server.h"
#include "parlo/server/svrtrace.h"

namespace {

constexpr uint32_t kTracePeriphVariables = 14;
constexpr uint32_t kTraceECCVariables = 15;
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
bool ServerContextPort::TracePeriphVariables() { return SVRTraceON(kTracePeriphVariables); }
bool ServerContextPort::TraceECCVariables() { return SVRTraceON(kTraceECCVariables); }

void ServerContextPort::ActivateAgentConfigureUpdateTimer() {
    m_Server.ActivateAgentConfigureUpdateTimer(kAgentConfigureDelaySeconds);
}

LockObject* ServerContextPort::NewCallLock() {
    return new (std::nothrow) CTILockObject(1, nullptr, "CallLock", 0xFFFFFFFF, 0, 0);
}

int ServerContextPort::MaxPrivateCallsPerAgent() {
    return RegistryValue(m_Server, CTIRegistry::MaxPrivateCallsPerAgent);
}
int ServerContextPort::PrivateCallCleanupDelay() {
    return RegistryValue(m_Server, CTIRegistry::PrivateCallCleanupDelay);
}

int OPCWriterPort::SendGetCallDataReq(int32_t peripheralID, uint32_t callID, int deviceIDType,
                                      const char* deviceID) {
    return ::SendGetCallDataReq(static_cast<uint32_t>(peripheralID), callID,
                                static_cast<uint32_t>(deviceIDType), deviceID ? deviceID : "")
               ? 1
               : 0;
}

void InstallModelPorts(Server& server) {
    // Process-wide: the model keeps the pointers; a newer Server (tests) replaces the context.
    static std::unique_ptr<ServerContextPort> context;
    static OPCWriterPort opc;
    context = std::make_unique<ServerContextPort>(server);
    model::Ports ports;
    ports.sessions = &ModelSessionSink();
    ports.server = context.get();
    ports.clients = &ModelClientDirectory();
    ports.opc = &opc;
    model::InstallPorts(ports);
}
