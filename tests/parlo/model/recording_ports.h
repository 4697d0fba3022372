#pragma once
// A recording fake of the object model's four ports: every write becomes one line of text
// (the catalogue's trace of the message as it was at the moment of the call), so a test or a
// scenario can compare the whole stream. Sessions are declared with their version, service
// mask and monitor lists; the all-events distribution goes to the declared sessions with the
// ALL_EVENTS service bit, in declaration order, each at its own version.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nuvlib/lock.h"
#include "nuvlib/stdqueue.h"
#include "parlo/model/ports.h"

namespace modeltest {

struct FakeSession {
    int32_t sessionID = 0;
    std::string clientID;
    uint32_t version = 24;
    uint32_t serviceMask = 0;
    StdQueue monitors;         // the client's monitors (CTICSTAMonitor::m_ClientLinks)
    StdQueue sessionMonitors;  // session monitors watching this session (m_SubjectLinks)
};

class RecordingPorts : public model::SessionSink,
                       public model::ServerContext,
                       public model::ClientDirectory,
                       public model::OPCWriter {
public:
    RecordingPorts();
    ~RecordingPorts() override;

    // Installs this object as all four ports (it must outlive every model call).
    void Install();
    // Declares a client session; the returned record stays valid while this object lives.
    FakeSession& AddSession(int32_t sessionID, const std::string& clientID, uint32_t version,
                            uint32_t serviceMask);
    // Forgets a client (its monitors then lose their owner).
    void RemoveSession(int32_t sessionID);
    FakeSession* Session(int32_t sessionID);

    // No lines, no traces: for benchmarks.
    bool quiet = false;
    bool serverActive = true;
    int verbose = 0;
    bool removeDuplicates = false;
    bool tracePeriphVariables = false;  // events then trace their call variables
    bool traceECCVariables = false;
    std::map<int32_t, int> peripheralTypes;  // PeripheralID -> internal type

    // ---- agents ----
    int serverState = 2;
    int maxPrivateCalls = 3;
    int privateCallCleanupDelay = 60;
    bool callStateTrace = false;
    std::map<std::string, int32_t> uniqueInstanceIDs;  // -> SessionID
    // Associated-agent entries per SessionID: (AgentID, PeripheralID) -> MRD IDs.
    std::map<int32_t, std::map<std::pair<std::string, int32_t>, std::vector<int32_t>>> associations;

    std::vector<std::string> lines;
    std::map<int, int> meters;
    std::map<std::string, int> counters;

    // The recorded lines joined with "\n" (each line ends with one), then cleared.
    std::string Take();

    // ---- SessionSink ----
    int WriteMSG(const char* deviceKey, int32_t peripheralID, BaseMSG& msg,
                 int distribution) override;
    int WriteMSG(int32_t sessionID, BaseMSG& msg) override;
    int SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail) override;
    int SendResponseMSG(int32_t sessionID, BaseMSG& msg, uint64_t requestTime) override;
    bool FindSession(int32_t sessionID) override;
    int32_t FindSessionByUniqueInstanceID(const char* uniqueInstanceID) override;
    StdQueue* SessionMonitorList(void* session) override;

    // ---- ServerContext ----
    // The server lock itself, for tests that hold it as the console does.
    LockObject& ServerLock() { return lock_; }
    bool LockServer(const char*) override { return lock_.Lock(); }
    bool UnlockServer(const char*) override { return lock_.Unlock(); }
    bool IsServerLockedByCurrentThread() override { return lock_.IsLockedByCurrentThread(); }
    int ServerState() override { return serverState; }
    bool IsServerActive() override { return serverActive; }
    int GetPeripheralType(int32_t peripheralID) override;
    void UpdateMeter(int meter, int delta) override;
    void Increment(model::PerfCounter counter) override;
    void Decrement(model::PerfCounter counter) override;
    bool RemoveCGDuplicateConnections() override { return removeDuplicates; }
    int VerboseLevel() override { return verbose; }
    bool TracePeriphVariables() override { return tracePeriphVariables; }
    bool TraceECCVariables() override { return traceECCVariables; }
    void ActivateAgentConfigureUpdateTimer() override;
    // A plain lock named "CallLock" (the server's has long-lock warnings).
    LockObject* NewCallLock() override;

    // ---- ClientDirectory ----
    bool Find(int32_t sessionID, model::ClientInfo& out) override;
    int ValidateMessage(const char* caller, BaseMSG& msg) override;
    uint64_t FileTimeNow() override;
    void ReportECCTooMuchData(const char* caller, uint32_t peripheralID,
                              uint32_t callID) override;

    // ---- agents ----
    int MaxPrivateCallsPerAgent() override { return maxPrivateCalls; }
    int PrivateCallCleanupDelay() override { return privateCallCleanupDelay; }
    bool CallStateTraceOn() override { return callStateTrace; }
    void ClearClientAgent(int32_t sessionID) override;
    void AddToAssociateAgentList(int32_t sessionID, const char* agentID, int32_t peripheralID,
                                 int32_t mrdID, int flag) override;
    void RemoveFromAssociateAgentList(int32_t sessionID, const char* agentID,
                                      int32_t peripheralID, int32_t mrdID) override;
    std::vector<std::vector<int32_t>> AssociatedAgentMRDs(int32_t sessionID, const char* agentID,
                                                          int32_t peripheralID) override;

    // ---- OPCWriter ----
    int SendGetCallDataReq(int32_t peripheralID, uint32_t callID, int deviceIDType,
                           const char* deviceID) override;

    // ---- configuration clients (the configuration tables) ----
    // The configuration clients in ClientCB-hash order; each must also be declared with
    // AddSession to count as live.
    std::vector<model::ConfigClient> configClients;
    bool disableUTF8 = false;                // DisableUTF8Conversion
    bool agentTimerRunning = false;          // the AgentConfigureUpdate timer
    int agentTimerStarts = 0;
    void GetConfigClients(std::vector<model::ConfigClient>& out) override { out = configClients; }
    bool FindConfigClient(int32_t sessionID, model::ConfigClient& out) override;
    void SendConfigBeginEvent(uint32_t infoBit, double key, int32_t sessionID,
                              uint32_t keyElement) override;
    void SendConfigEndEvent(int32_t sessionID, uint32_t status) override;
    bool GetDisableUTF8Conversion() override { return disableUTF8; }
    // Sees every answer before it is recorded (the message is the caller's).
    std::function<void(int32_t sessionID, BaseMSG& msg)> onResponse;

private:
    void Line(std::string text);
    static std::string TraceOf(BaseMSG& msg, uint32_t version);

    LockObject lock_;
    std::vector<std::unique_ptr<FakeSession>> sessions_;
};

}  // namespace modeltest
