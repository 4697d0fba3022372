#pragma once
// The object model's ports as the server implements them: the server context over the
// Server (its lock, state, peripheral table, meters, counters, registry values and trace
// switches) and the OPC writer over the request writers. The session sink and the client
// directory, which other layers own, come from the two factories below.
#include <cstdint>

#include "parlo/model/ports.h"

class Server;

// The server context. Every call reads `server` (and its registry, when one is set) at
// the moment of use; the Server must outlive the installation.
class ServerContextPort : public model::ServerContext {
public:
    explicit ServerContextPort(Server& server) : m_Server(server) {}
    bool LockServer(const char* caller) override;
    bool UnlockServer(const char* caller) override;
    bool IsServerLockedByCurrentThread() override;
    int ServerState() override;
    bool IsServerActive() override;
    int GetPeripheralType(int32_t peripheralID) override;
    void UpdateMeter(int meter, int delta) override;
    void Increment(model::PerfCounter counter) override;
    void Decrement(model::PerfCounter counter) override;
    bool RemoveCGDuplicateConnections() override;
    // 0: the server has no verbose setting of its own yet.
    int VerboseLevel() override;
    bool TracePeriphVariables() override;
    bool TraceECCVariables() override;
    // Server::ActivateAgentConfigureUpdateTimer(3).
    void ActivateAgentConfigureUpdateTimer() override;
    // A CTILockObject named "CallLock"; the caller owns it.
    LockObject* NewCallLock() override;
    int MaxPrivateCallsPerAgent() override;
    int PrivateCallCleanupDelay() override;

private:
    Server& m_Server;
};

// Requests to OPC through the request writers.
class OPCWriterPort : public model::OPCWriter {
public:
    // 1 when CTI_SEND_CALL_DATA_IND went out, else 0; a null deviceID is sent empty.
    int SendGetCallDataReq(int32_t peripheralID, uint32_t callID, int deviceIDType,
                           const char* deviceID) override;
};

// The session layer's sink (process-wide; never null).
model::SessionSink& ModelSessionSink();
// The application's client directory over the ClientCB hash (process-wide; never null).
model::ClientDirectory& ModelClientDirectory();

// Installs the four ports for `server` (the Server's constructor does, before the model's
// tables are built, so that the call table gets the server's CallLock). A later call
// re-points them at the newer Server.
void InstallModelPorts(Server& server);
