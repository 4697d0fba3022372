#pragma once
// The ports of the layers below as the server implements them, and the one place that
// installs them all (InstallServerPorts, from the Server's constructor):
// - the object model's four ports (parlo/model/ports.h): the server context below, the
//   session layer's sink, the application's client directory and the OPC writer;
// - the session layer's server port (parlo/session/sessionports.h);
// - the OPC link's server port (parlo/opclink/opclinkport.h);
// - the application's server port (parlo/app/appport.h).
// The session layer's host is the application itself, given to its master session when the
// server creates the application. Each adapter reads the Server it was made for at the moment
// of use; the Server must outlive the installation.
#include <cstdint>

#include "parlo/model/ports.h"

class Server;

// The server context of the object model.
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
    // The application's call-state trace switch (off: the console that sets it comes later).
    bool CallStateTraceOn() override;

private:
    Server& m_Server;
};

// Installs every port of the layers below for `server`. A later call (tests make one Server
// after another) re-points them at the newer Server.
void InstallServerPorts(Server& server);
