#pragma once
// What the session layer needs of the layers above it, in two ports:
// - SessionHost: the master session's owner, which consumes client input and keeps the client
//   records (the application). It is given to the master's constructor and lives as long as
//   the master.
// - SessionServer: the server's lock, state, meters and failure report. Installed once at
//   start-up with InstallSessionServer; tests install their own.
// The session layer never includes a header of the layers above.
#include <cstdint>

class CTILockObject;

class SessionHost {
public:
    virtual ~SessionHost() = default;

    // ---- the life of a session, on the thread that makes, fails or destroys it. Each
    // returns 1 (not read). SessionCreated: the poster thread, holding the master lock.
    // SessionFailed: any thread, holding the session's lock (and maybe the master lock).
    // SessionDestroyed: the garbage collection, holding the server and master locks, or the
    // master's destructor, holding none.
    virtual int SessionCreated(int32_t sessionID) = 0;
    virtual int SessionFailed(int32_t sessionID) = 0;
    virtual int SessionDestroyed(int32_t sessionID) = 0;

    // ---- client input ----
    // A marker for the host's thread: -1 says client input waits on the session input queue
    // (SessionProtocol::DequeueInputMessage). Called by the thread that queued it, holding
    // the session's lock, never the queue's.
    virtual void QueueApplicationMSG(int marker) = 0;
    // The input queue was found empty: the host may reset its input event. Called under the
    // session input queue's lock, so a queueing racing it is never lost.
    virtual void ResetInputEvent() = 0;

    // ---- client records (each takes the server lock when the calling thread does not hold
    // it, so a caller holding a session lock must hold the server lock first) ----
    // Whether the session has a client record.
    virtual bool HasClient(uint32_t sessionID) = 0;
    // Whether the session's client record says "Tressik" client.
    virtual bool IsTressikClient(uint32_t sessionID) = 0;
    // Whether the application-path member list of the session's client holds the pair.
    virtual bool AppPathContains(uint32_t sessionID, uint32_t applicationPathID,
                                 uint32_t peripheralID) = 0;
    // Whether texts may be converted to UTF-8 for "Tressik" clients at all (the application's
    // DisableUTF8Conversion is off).
    virtual bool UTF8ConversionAllowed() = 0;
};

class SessionServer {
public:
    virtual ~SessionServer() = default;
    // The server lock "RTServerConfig"; taken before the master and session locks.
    virtual CTILockObject& ServerLock() = 0;
    // The server state (serverstate::State, parlo/common/serverstate.h).
    virtual int GetState() const = 0;
    // A maintenance or stopping-requests procedure runs: no new opens.
    virtual bool IsStopping() = 0;
    // Stopping requests to this side are pending: events are no longer sent.
    virtual bool IsStoppingRequestsPending() = 0;
    virtual bool IsShuttingDown() const = 0;
    // Peripherals with the multi-line flag (older clients are refused while there are any).
    virtual int CountFlaggedPeripherals() const = 0;
    // Nonzero for a duplex pair.
    virtual int GetDuplex() const = 0;
    // Reports this side's failure to OPC so that the pair fails over.
    virtual void ReportFailure(const char* text) = 0;
    // Moves meter `meter` by `value` (the meter's own rule: add, set or peak).
    virtual void UpdateMeter(int meter, int32_t value) = 0;
    // UpdateMeter(meter, value) `times` times over, with the meter lock taken once (a
    // fan-out's count of messages).
    virtual void UpdateMeterTimes(int meter, int32_t value, int32_t times) = 0;
};

// Installs the server port (kept by pointer: it must outlive every session). Once at start;
// returns the port it replaced (null for none).
SessionServer* InstallSessionServer(SessionServer* server);
// The installed server port. Fatal when none is installed.
SessionServer& GetSessionServer();
