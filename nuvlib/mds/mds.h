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

// Called on the receive thread with the 16-byte MDS header and the payload.
using MDSHandler = int (*)(const uint8_t* mdsHeader, uint8_t* payload);

struct MDSClientParams {
    uint16_t version;  // must be 1
    const char* clientName;
    uint32_t flag;
    const char* instanceName;
    MDSHandler statusHandler;
    MDSHandler defaultHandler;
};

uint32_t MDSRegisterClient(const MDSClientParams* params, uint8_t* handle);
uint8_t MDSGetHandle(const char* clientName);
int MDSSetMessageHandler(uint8_t messageClass, MDSHandler handler);
// Runs the receive loop on the calling thread; once registered it never returns.
void MDSStartClient();
int MDSStopClient(uint32_t reason);
void* MDSAllocBuffer(uint32_t size);
void MDSFreeBuffer(void* payload);
int MDSSendInput(uint8_t messageClass, uint8_t messageType, uint32_t flag, void* payload,
                 uint16_t length);
int MDSSendCheckpoint(uint8_t messageClass, uint8_t messageType, uint32_t flag, void* payload,
                      uint16_t length);
int MDSSendOutput(uint8_t destination, uint8_t messageClass, uint8_t messageType, void* payload,
                  uint16_t length);
uint32_t MDSGetLastInputStamp();
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
void MDSEncodeHeader(const MDSHeader& h, uint8_t* out);
MDSHeader MDSDecodeHeader(const uint8_t* in);
