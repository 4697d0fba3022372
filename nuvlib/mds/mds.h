#pragma once
// MDS client: registers the process with the node's message delivery service and
// exchanges class- and type-tagged messages with it and with the other clients.
#include <cstdint>

constexpr uint32_t MDS_E_NOT_REGISTERED = 0xE1043F00;
constexpr uint32_t MDS_E_CONFIG = 0xE1043F03;
constexpr uint32_t MDS_E_VERSION = 0xE1043F04;
constexpr uint32_t MDS_E_ALREADY_REGISTERED = 0xE1043F05;
constexpr uint32_t MDS_E_OUTPUT_THREAD = 0xE1043F07;
constexpr uint32_t MDS_S_REGISTERED = 0x61043F08;
constexpr uint32_t MDS_E_NO_REPLY = 0xE1043F09;
constexpr uint32_t MDS_E_TOO_LONG = 0xE1043F0A;

constexpr uint32_t MDS_MAX_PAYLOAD = 4012;
constexpr uint32_t MDS_HEADER_SIZE = 16;
constexpr uint8_t MDS_DESTINATION_MDS = 1;

// Frames of the client protocol: EMT class 2, the EMT type names the frame.
constexpr uint8_t MDS_EMT_CLASS = 2;
enum MDSFrameType : uint8_t {
    MDS_MSG_DATA = 1,
    MSG_REGISTER_CLIENT = 2,
    MSG_REGISTER_REPLY = 3,
    MSG_START_CLIENT = 4,
    MSG_STOP_CLIENT = 5,
    MSG_RECONNECT_CLIENT = 6,
    MSG_RECONNECT_REPLY = 7,
    MSG_STOP_CLIENT_ACK = 22,
};

// Message class 0 is MDS's status class.
constexpr uint8_t MDS_STATUS_IN_SERVICE = 0;
constexpr uint8_t MDS_STATUS_OUT_OF_SERVICE = 1;
constexpr uint8_t MDS_STATUS_VALUES = 2;

// Called on the receive thread with the 16-byte MDS header and the payload. The payload is
// the handler's to pass on to one of the sends (which then takes it); otherwise the client
// releases it when the handler returns. The result is not looked at.
using MDSHandler = int (*)(const uint8_t* mdsHeader, uint8_t* payload);

struct MDSClientParams {
    uint16_t version;  // must be 1
    const char* clientName;    // the client's key in the registry; copied (63 characters)
    uint32_t flag;
    const char* instanceName;  // registry base of the instance; copied (63 characters)
    MDSHandler statusHandler;  // class 0
    MDSHandler defaultHandler; // every class without a handler of its own
};

// Registers the process, once, with the MDS its registry names: reads the configuration,
// connects and exchanges the registration, pausing and retrying as MDS answers. Returns 0
// or MDS_S_REGISTERED once registered, with the handle in *handle; otherwise the error
// (also the last error) with *handle 0xFF. A configuration that cannot be read at all, or
// a reply that is not a registration reply, ends the process (fatal report).
[[nodiscard]] uint32_t MDSRegisterClient(const MDSClientParams* params, uint8_t* handle);
// The handle the registry gives the named client; 0xFF with the last error set when the
// process is not registered or the client has no valid handle.
[[nodiscard]] uint8_t MDSGetHandle(const char* clientName);
// Routes one message class to `handler` (null: back to the default handler). 1, or 0 with
// the last error MDS_E_NOT_REGISTERED.
[[nodiscard]] int MDSSetMessageHandler(uint8_t messageClass, MDSHandler handler);
// Runs the receive loop on the calling thread; once registered it never returns. Without a
// registration it returns at once with the last error MDS_E_NOT_REGISTERED.
void MDSStartClient();
// Stops the client: reason 0, 1 or 2 picks the event reported. A started, connected client
// waits up to 10 s for MDS to acknowledge. Returns 1 (also for a repeated stop), 0 when not
// registered.
int MDSStopClient(uint32_t reason);
// A payload buffer of at least `size` bytes, the caller's until it passes it to a send or
// to MDSFreeBuffer; null with the last error MDS_E_NOT_REGISTERED.
[[nodiscard]] void* MDSAllocBuffer(uint32_t size);
// Releases a payload from MDSAllocBuffer or a handler; null is ignored.
void MDSFreeBuffer(void* payload);
// The sends queue `payload` (from MDSAllocBuffer or a handler) with `length` bytes. They
// take the buffer on every path but one: without a registration they return 0 with the
// last error MDS_E_NOT_REGISTERED and the buffer stays with the caller. Otherwise 1 when
// queued, or when dropped because the client is stopping or out of service (only class 1
// leaves then); 0 with MDS_E_TOO_LONG (over 4012 bytes) or 87 (over the buffer), the buffer
// released.
// An input goes to MDS (caller byte = flag ? 1 : 0); a checkpoint too, with sequence 0xFFFF.
[[nodiscard]] int MDSSendInput(uint8_t messageClass, uint8_t messageType, uint32_t flag,
                               void* payload, uint16_t length);
[[nodiscard]] int MDSSendCheckpoint(uint8_t messageClass, uint8_t messageType, uint32_t flag,
                                    void* payload, uint16_t length);
// An output goes to the client with handle `destination` (caller byte 0xFF).
[[nodiscard]] int MDSSendOutput(uint8_t destination, uint8_t messageClass, uint8_t messageType,
                                void* payload, uint16_t length);
// The stamp of the last stamped input received; 0xFFFFFFFF when none since the client
// went in service, or when not registered.
uint32_t MDSGetLastInputStamp();
// The Synchronized value of the client's configuration; 0 when not registered.
uint32_t MDSIsSynchronized();

// The 16-byte MDS header of a data frame (little-endian on the wire).
struct MDSHeader {
    uint16_t marker = 0x1000;
    uint16_t length = 0;
    uint8_t sender = 0;
    uint8_t destination = 0;
    uint8_t flags = 0;
    uint8_t caller = 0;
    uint32_t stamp = 0xFFFFFFFF;
    uint16_t sequence = 0;
    uint8_t messageClass = 0;
    uint8_t messageType = 0;
};
// Writes the 16 bytes at `out`; reads 16 bytes at `in`.
void MDSEncodeHeader(const MDSHeader& h, uint8_t* out);
MDSHeader MDSDecodeHeader(const uint8_t* in);
