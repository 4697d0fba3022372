#pragma once
// The services of the MDS client that EMS and the buffers call. The MDS client lives in a
// library of its own built on top of this one, so it installs its operations here when it
// starts; until then (and in any process without an MDS client) the defaults answer as a
// client that is not registered.
#include <cstdint>

// Last-error values of the MDS client.
constexpr uint32_t MDS_ERROR_NOT_REGISTERED = 0xE1043F00;
constexpr uint32_t MDS_ERROR_TOO_LONG = 0xE1043F0A;

struct MDSHooks {
    // Stamp of the last message received from MDS; -1 when not registered.
    int32_t (*GetLastInputStamp)();
    // The client's Synchronized flag; 0 when not registered.
    int (*IsSynchronized)();
    // Payload pointer of a new buffer of that length; null (last error 0xE1043F00 when not
    // registered) when there is none.
    void* (*AllocBuffer)(uint32_t length);
    // Returns a buffer from AllocBuffer to its pool.
    void (*FreeBuffer)(void* payload);
    // 1 when the buffer was taken. 0 with last error 0xE1043F00 when not registered (the
    // buffer stays the caller's); 0 with 0xE1043F0A when length > 4012 (the buffer was freed).
    int (*SendCheckpoint)(uint32_t messageClass, uint32_t messageType, uint32_t flag,
                          void* payload, uint32_t length);
    // Stops the client (reason 0, 1 or 2).
    void (*StopClient)(int reason);
};

// Installs a table (kept by pointer: it must outlive its use); null restores the defaults.
// Every member must be set.
void MDSInstallHooks(const MDSHooks* hooks);
// The table in force.
const MDSHooks& MDSCurrentHooks();
// The "not registered" table.
const MDSHooks& MDSDefaultHooks();
