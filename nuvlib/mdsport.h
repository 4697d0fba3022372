#pragma once
// What event reporting and the buffers need of the process's MDS client. The client lives in a
// library built on top of this one (nuvlib/mds), so it installs itself here when it registers;
// until then, and in any process without an MDS client, UnregisteredMDSClient answers.
#include <cstdint>

// Last-error values of the MDS client.
constexpr uint32_t MDS_ERROR_NOT_REGISTERED = 0xE1043F00;
constexpr uint32_t MDS_ERROR_TOO_LONG = 0xE1043F0A;

class MDSClientPort {
public:
    virtual ~MDSClientPort() = default;
    // Stamp of the last message received from MDS; -1 when not registered.
    virtual int32_t GetLastInputStamp() = 0;
    // The client's Synchronized flag; 0 when not registered.
    virtual int IsSynchronized() = 0;
    // Payload pointer of a new buffer of that length (the caller owns it until it is sent or
    // freed); null, with last error 0xE1043F00 when not registered, when there is none.
    virtual void* AllocBuffer(uint32_t length) = 0;
    // Returns a buffer from AllocBuffer to its pool.
    virtual void FreeBuffer(void* payload) = 0;
    // 1 when the buffer was taken. 0 with last error 0xE1043F00 when not registered (the buffer
    // stays the caller's); 0 with 0xE1043F0A when length > 4012 (the buffer was freed).
    virtual int SendCheckpoint(uint32_t messageClass, uint32_t messageType, uint32_t flag,
                               void* payload, uint32_t length) = 0;
    // Stops the client (reason 0, 1 or 2).
    virtual void StopClient(int reason) = 0;
};

// The answers of a process whose MDS client has not registered: no stamp, not synchronized,
// no buffers (last error 0xE1043F00), nothing sent, nothing to stop.
class UnregisteredMDSClient final : public MDSClientPort {
public:
    int32_t GetLastInputStamp() override { return -1; }
    int IsSynchronized() override { return 0; }
    void* AllocBuffer(uint32_t length) override;
    void FreeBuffer(void*) override {}
    int SendCheckpoint(uint32_t, uint32_t, uint32_t, void*, uint32_t) override;
    void StopClient(int) override {}
};

// Installs the client (kept by pointer: it must outlive its use); null puts the unregistered
// answers back. Returns the port it replaced.
MDSClientPort* MDSInstallClientPort(MDSClientPort* port);
// The client in force; valid during static initialisation of other units too.
MDSClientPort& MDSCurrentClientPort();
