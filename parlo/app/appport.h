#pragma once
// What the application needs of the server core, installed once by the server (the server
// folder builds on this one, so the application reaches back only through this port).
#include <cstddef>
#include <cstdint>

class AppServerPort {
public:
    using ThreadFunction = unsigned (*)(void* argument);
    virtual ~AppServerPort() = default;
    // The thread manager's calls for the application thread.
    virtual void StartThread(const char* name, ThreadFunction function, void* argument) = 0;
    // 0 when the thread was told to stop, else 1.
    virtual int SetActivated(const char* name, int active) = 0;
    virtual void ClearActivated(const char* name) = 0;
    // The unique-id prefix from the registry's generation counter; the counter restarts at 0.
    virtual void InitUniqueID() = 0;
    // A standby application switched to active.
    virtual void MakeActive() = 0;
    // CTI_CONFIGURE_REQ's body (behind the ServerNumber word).
    virtual void ProcessConfigMessage(const uint8_t* body, size_t length) = 0;
    // The server's PG status word and per-peripheral status (SystemEventID 3/4 store it in the
    // peripheral's entry, other IDs change nothing) and the OPC's current time in seconds. The
    // defaults keep nothing.
    virtual void SetPGStatus(int status) { (void)status; }
    virtual int GetPGStatus() { return 0; }
    virtual void SetPeripheralStatus(int32_t peripheralID, int32_t systemEventID) {
        (void)peripheralID, (void)systemEventID;
    }
    virtual int64_t GetPGTime() { return 0; }
};

// The installed port; null until the server installs it (the application then does
// nothing that needs it). The port must outlive every application.
void SetAppServerPort(AppServerPort* port);
AppServerPort* GetAppServerPort();
