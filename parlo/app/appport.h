#pragma once
// What the application needs of the server core above it. The server installs one port at
// start-up (SetAppServerPort); tests install their own. The application reaches the server
// only through it: the thread manager, unique IDs, meters, the state, the duplex side and its
// failure report, the PG status and clock, the peripheral table and the configuration intake.
#include <cstddef>
#include <cstdint>
#include <vector>

class AppServerPort {
public:
    using ThreadFunction = unsigned (*)(void* argument);
    // One entry of the server's peripheral table.
    struct Peripheral {
        int32_t peripheralID = 0;
        int32_t type = 0;  // the OPC's internal peripheral type code
        int32_t status = 0;
        int32_t multiline = 0;
    };

    virtual ~AppServerPort() = default;

    // ---- the application thread, through the thread manager ----
    // Starts `function(argument)` on a thread of the thread manager, named `name`; the
    // manager owns the thread, `argument` must outlive it.
    virtual void StartThread(const char* name, ThreadFunction function, void* argument) = 0;
    // 0 when the thread was told to stop, else 1.
    [[nodiscard]] virtual int SetActivated(const char* name, int active) = 0;
    virtual void ClearActivated(const char* name) = 0;

    // ---- unique IDs ----
    // The unique-id prefix from the registry's generation counter; the counter restarts at 0.
    virtual void InitUniqueID() = 0;
    // The next OPC invoke ID; never the same twice until the 24-bit counter wraps. Any thread.
    virtual uint32_t GetUniqueID() = 0;

    // ---- state, meters and the duplex side ----
    // The server state (serverstate::State, parlo/common/serverstate.h).
    virtual int GetState() const = 0;
    // A standby application switched to active: the server becomes ACTIVE.
    virtual void MakeActive() = 0;
    virtual void UpdateMeter(int meter, int32_t value) = 0;
    // 1 side A, 0 side B; nonzero for a duplex pair.
    virtual int GetSide() const = 0;
    virtual int GetDuplex() const = 0;
    // CTI_ERROR_ACK for CTI_SET_ACTIVE_REQ, so that OPC fails over to the other side.
    virtual void ReportFailure(const char* text) = 0;
    // Whether the no-client report went to OPC (set by the application thread, cleared when
    // clients return and when the server is cleaned up).
    virtual int GetFailoverReported() const = 0;
    virtual void SetFailoverReported(int reported) = 0;

    // ---- OPC's status, clock and peripherals ----
    // The PG status word, and the per-peripheral status (SystemEventID 3/4 are kept in the
    // peripheral's entry; other IDs change nothing).
    virtual void SetPGStatus(int status) = 0;
    virtual int GetPGStatus() const = 0;
    virtual void SetPeripheralStatus(int32_t peripheralID, int32_t systemEventID) = 0;
    virtual int32_t GetPeripheralStatus(int32_t peripheralID) = 0;
    // OPC's current time in seconds.
    virtual int64_t GetPGTime() = 0;
    // A copy of the peripheral table, in its order.
    virtual std::vector<Peripheral> GetPeripherals() const = 0;
    // The client type of the agent peripherals (the first such entry's type); `count` (may be
    // null) gets the number of them.
    virtual int32_t GetAgentPeripheralClientType(int* count) = 0;

    // ---- configuration ----
    // CTI_CONFIGURE_REQ's body (behind the ServerNumber word), `length` bytes.
    virtual void ProcessConfigMessage(const uint8_t* body, size_t length) = 0;
};

// Installs the port (kept by pointer: it must outlive every application). Once at start; a
// test puts its double in place and back. Returns the port it replaced (null for none).
AppServerPort* SetAppServerPort(AppServerPort* port);
// The installed port. Fatal when none is installed.
AppServerPort& GetAppServerPort();
