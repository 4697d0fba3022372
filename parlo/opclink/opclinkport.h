#pragma once
// What the OPC link needs of the server above it: the handling of the OPC's control requests
// on the main thread, the hand-over of every other message to the application, the meters and
// the server state. The server installs it once at start-up; tests install their own. The
// link never includes a header of the layers above.
#include <cstddef>
#include <cstdint>

class OPCLinkServer {
public:
    virtual ~OPCLinkServer() = default;

    // ---- the OPC's messages, on the main thread inside the MDS receive loop ----
    // `body` is the message behind the ServerNumber word, `length` bytes of it; the link has
    // checked that the fixed words of the type are there. `serverNumber` is that word.
    virtual void ProcessCTISetIdleReq(const uint8_t* body, size_t length, uint32_t serverNumber) = 0;
    virtual void ProcessCTISetActiveReq(const uint8_t* body, size_t length) = 0;
    virtual void ProcessMaintenanceModeRequest(const uint8_t* body, size_t length,
                                               uint32_t serverNumber) = 0;
    virtual void ProcessMaintenanceModeInProgress(const uint8_t* body, size_t length) = 0;
    // The OPC's clock from CTI_TIME_NOTIFICATION_EVENT, in seconds.
    virtual void SetPGTime(int64_t seconds) = 0;
    // Any other message (`length` bytes with the ServerNumber word; copied) for the
    // application, which queues it while it is in service.
    virtual void QueueOPCMessage(int type, int length, const uint8_t* data) = 0;
    // MDS went out of service: the clients are told before the process ends.
    virtual void ReportPGStatusText(const char* text) = 0;

    // ---- services (any thread) ----
    // The server's meter update (meter::, parlo/common/meterids.h).
    virtual void UpdateMeter(int meter, int32_t value) = 0;
    // The server state (serverstate::State, parlo/common/serverstate.h).
    virtual int GetState() const = 0;
    // Stopping requests to this side are pending: no client status goes to OPC.
    virtual bool IsStoppingRequestsPending() = 0;
};

// Installs the port (kept by pointer: it must outlive every use). Once at start; returns the
// port it replaced (null for none).
OPCLinkServer* InstallOPCLinkServer(OPCLinkServer* server);
// The installed port. Fatal when none is installed.
OPCLinkServer& GetOPCLinkServer();
