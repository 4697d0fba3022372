#pragma once
// Ports that run the object model without a server: every send succeeds and goes nowhere, no
// session or client is found, the server lock is a plain critical section. Benchmarks and
// fuzz targets use them (or a subclass that answers a few calls its own way).
#include <cstdint>

#include "nuvlib/lock.h"
#include "parlo/model/ports.h"

namespace model {

class NoopPorts : public SessionSink, public ServerContext, public ClientDirectory, public OPCWriter {
public:
    NoopPorts();
    NoopPorts(const NoopPorts&) = delete;
    NoopPorts& operator=(const NoopPorts&) = delete;

    // Installs these ports and makes the model's empty tables (calls, devices, connections,
    // monitors, agents, MRDs, teams). The object must outlive every use of the model.
    void Install();

    int WriteMSG(const char*, int32_t, BaseMSG&, int) override { return 1; }
    int WriteMSG(int32_t, BaseMSG&) override { return 1; }
    int SendFailureEventMSG(int32_t, uint32_t, bool) override { return 1; }
    int SendResponseMSG(int32_t, BaseMSG&, uint64_t) override { return 1; }
    bool FindSession(int32_t) override { return false; }
    int32_t FindSessionByUniqueInstanceID(const char*) override { return -1; }
    StdQueue* SessionMonitorList(void*) override { return nullptr; }
    bool LockServer(const char*) override { return m_Lock.Lock(); }
    bool UnlockServer(const char*) override { return m_Lock.Unlock(); }
    bool IsServerLockedByCurrentThread() override { return m_Lock.IsLockedByCurrentThread(); }
    int ServerState() override { return serverState; }
    bool IsServerActive() override { return true; }
    int GetPeripheralType(int32_t) override { return 48; }
    void UpdateMeter(int, int) override {}
    void Increment(PerfCounter) override {}
    void Decrement(PerfCounter) override {}
    bool RemoveCGDuplicateConnections() override { return false; }
    int VerboseLevel() override { return 0; }
    bool TracePeriphVariables() override { return false; }
    bool TraceECCVariables() override { return false; }
    void ActivateAgentConfigureUpdateTimer() override {}
    bool Find(int32_t, ClientInfo&) override { return false; }
    int ValidateMessage(const char*, BaseMSG&) override { return 1; }
    uint64_t FileTimeNow() override { return 0; }
    void ReportECCTooMuchData(const char*, uint32_t, uint32_t) override {}
    int SendGetCallDataReq(int32_t, uint32_t, int, const char*) override { return 1; }
    LockObject* NewCallLock() override {
        return new LockObject(LockObject::USAGE_CRITICAL_SECTION, nullptr, "CallLock", 0xFFFFFFFF, 0, 0);
    }
    int MaxPrivateCallsPerAgent() override { return 0; }
    int PrivateCallCleanupDelay() override { return 0; }
    bool CallStateTraceOn() override { return false; }
    void GetConfigClients(std::vector<ConfigClient>& out) override { out.clear(); }
    bool FindConfigClient(int32_t, ConfigClient&) override { return false; }
    void SendConfigBeginEvent(uint32_t, double, int32_t, uint32_t) override {}
    void SendConfigEndEvent(int32_t, uint32_t) override {}
    bool GetDisableUTF8Conversion() override { return false; }
    void ClearClientAgent(int32_t) override {}
    void AddToAssociateAgentList(int32_t, const char*, int32_t, int32_t, int) override {}
    void RemoveFromAssociateAgentList(int32_t, const char*, int32_t, int32_t) override {}
    std::vector<std::vector<int32_t>> AssociatedAgentMRDs(int32_t, const char*, int32_t) override {
        return {};
    }

    int serverState = 2;  // ACTIVE

private:
    LockObject m_Lock;
};

}  // namespace model
