#pragma once
// The byte layouts that the stand-in OPC reads and writes, written on their own (apart from
// the server's OPC message layer) so that each side checks the other. Every message body
// here is what follows the 32-bit ServerNumber word of an OPC message; all numbers are
// little-endian and every reader is bounded by the length it is given.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/byteorder.h"

namespace opcpeer {

// OPC message types (MDS class 17, the MDS message type is the OPC type).
constexpr uint8_t kMdsClassOpc = 17;
constexpr uint8_t kSetIdleReq = 0;
constexpr uint8_t kSetActiveReq = 1;
constexpr uint8_t kOkAck = 2;
constexpr uint8_t kErrorAck = 3;
constexpr uint8_t kActiveHeartBeat = 4;
constexpr uint8_t kConfigureReq = 5;
constexpr uint8_t kTimeNotification = 6;
constexpr uint8_t kHeartBeat = 7;
constexpr uint8_t kMaintenanceRequest = 122;
constexpr uint8_t kMaintenanceInProgress = 123;
constexpr uint8_t kCstaMessage = 28;

// CSTA event classes.
constexpr uint16_t kClassUnsolicited = 4;
constexpr uint16_t kClassConfirmation = 5;
constexpr uint16_t kClassEventReport = 6;
constexpr uint16_t kClassRequest = 8;
constexpr uint16_t kUniversalFailure = 53;
constexpr uint16_t kPrivateEvent = 93;

constexpr size_t kMaxPayload = 4012;      // ServerNumber word included
constexpr size_t kMaxBody = kMaxPayload - 4;
constexpr uint32_t kEventPartLength = 364;  // InvokeID, ClientInvokeID, 356 body bytes
constexpr size_t kRequestBodySize = 356;
constexpr size_t kMaxEventBody = 1304;      // body area of the server's event record
constexpr size_t kMaxRawData = 990;
constexpr size_t kMaxOpcData = 2872;
constexpr size_t kFixedPart = 244;          // bytes before the first string
constexpr size_t kEventStrings = 18;
// String position 17 of a message from OPC is an ECC block instead: a u32 length, the
// BINDATA and NUL fill to a multiple of 4; the BINDATA holds at most 2000 bytes.
constexpr size_t kEccPosition = 17;
constexpr size_t kMaxEcc = 2000;
constexpr size_t kConnectionIDSize = 72;
constexpr size_t kDeviceIDSize = 64;
constexpr uint32_t kSetIdleVersion = 8503;

// Little-endian stores at a byte offset, the buffer grown with zeros to hold them, and loads.
void PutLE16(std::vector<uint8_t>& b, size_t at, uint16_t v);
void PutLE32(std::vector<uint8_t>& b, size_t at, uint32_t v);
using plat::LoadLE16;
using plat::LoadLE32;

// A padded string takes (n + 6) & ~3 bytes: u16 count, the characters, NUL fill.
size_t PaddedSize(size_t chars);
void AppendPadded(std::vector<uint8_t>& b, const std::string& s);
// Reads one padded string at `at` of `len` bytes. Returns false (and leaves `at`) when the
// count or the padding reach past `len`; the text ends at its first NUL.
[[nodiscard]] bool ReadPadded(const uint8_t* p, size_t len, size_t* at, std::string* out);

// A ConnectionID of 72 bytes: callID, deviceID[64], deviceIDType.
struct ConnectionID {
    uint32_t callID = 0xFFFFFFFF;
    std::string deviceID;
    uint32_t deviceIDType = 0;
};
void PutConnection(std::vector<uint8_t>& b, size_t at, const ConnectionID& c);
// Reads a ConnectionID from the 72 bytes at p (the device text ends at NUL or 64 bytes).
ConnectionID GetConnection(const uint8_t* p);
// A fixed text field of `width` bytes: up to its first NUL, at most `width` characters.
std::string GetText(const uint8_t* p, size_t width);
// Writes `s` into a field of `width` bytes, cut to `width`, NUL-filled.
void PutText(std::vector<uint8_t>& b, size_t at, size_t width, const std::string& s);

// A CTI_CSTA_MESSAGE request as the server writes it.
struct CstaRequest {
    uint32_t peripheralID = 0;
    uint16_t marker = 0xFFFF;  // offset 4
    ConnectionID connection;   // callID at 8, type at 28, device as string 2
    std::array<uint32_t, 44> skillGroups{};
    std::string uniqueInstanceID;
    uint16_t headerPeripheralID = 0;
    uint16_t eventClass = kClassRequest;
    uint16_t eventType = 0;
    uint32_t invokeID = 0;
    uint32_t clientInvokeID = 0;
    std::vector<uint8_t> body = std::vector<uint8_t>(kRequestBodySize, 0);  // 356 bytes
    std::vector<uint8_t> raw;
    std::vector<uint8_t> opc;
    CstaRequest() { skillGroups.fill(0xFFFFFFFF); }
};

// The request's bytes (the body after the ServerNumber word), reserved bytes zero.
std::vector<uint8_t> WriteRequest(const CstaRequest& r);
// Reads and checks one request body of `len` bytes: event-part length 364, class 8, the
// marker, zero reserved bytes and string fill, a device text of at most 64 characters, and
// the private-data lengths (at most 990 and 2872) adding up to the message's length.
// Returns false with a one-line reason in *error.
[[nodiscard]] bool ReadRequest(const uint8_t* p, size_t len, CstaRequest* out,
                               std::string* error);

// A CTI_CSTA_MESSAGE as OPC sends it (events and confirmations).
struct CstaEvent {
    uint32_t peripheralID = 0;
    uint16_t peripheralType = 0;
    uint16_t taskBegun = 0;
    uint32_t callID = 0xFFFFFFFF;
    uint32_t skillTargetID = 0xFFFFFFFF;
    std::array<uint32_t, 3> taskID{};
    uint32_t connectionDeviceIDType = 0;
    std::array<uint32_t, 44> area{};
    uint32_t mrDomainID = 1;
    std::array<uint32_t, 3> previousTaskID{};
    uint16_t disposition = 0;
    uint16_t applicationDisposition = 0;
    // By position less one: [0] unique instance id, [1] device. [16] is not written: position
    // 17 is the ECC block below.
    std::array<std::string, kEventStrings> strings;
    std::vector<uint8_t> ecc;   // the BINDATA of position 17
    int64_t eccLength = -1;     // a length to state instead of ecc.size() (a lying message)
    uint16_t headerPeripheralID = 0;
    uint16_t eventClass = 0;
    uint16_t eventType = 0;
    std::vector<uint8_t> body;  // for a confirmation: InvokeID, ClientInvokeID, then its own
    std::vector<uint8_t> raw;
    std::vector<uint8_t> opc;
};

// The message's bytes; false when it would not fit in an OPC message (more than 4008
// bytes, a body above 1304, private data above 990 / 2872 bytes or an ECC above 2000).
[[nodiscard]] bool WriteEvent(const CstaEvent& e, std::vector<uint8_t>* out, std::string* error);
// Reads one message of `len` bytes, bounded by it and by the record's limits (an ECC block
// above 2000 bytes or with fill that is not zero is refused).
[[nodiscard]] bool ReadEvent(const uint8_t* p, size_t len, CstaEvent* out, std::string* error);

// One CSTA request type that the server sends.
struct RequestType {
    uint16_t type;
    const char* name;
    uint32_t privateDataSize;  // the typed private data the request carries
    uint16_t confirmation;
};
// The request type, or null for a type the server never sends.
const RequestType* FindRequestType(uint16_t type);
const std::vector<RequestType>& RequestTypes();

// The values a script may choose for one answer.
struct FieldSet {
    struct Field {
        char kind;  // '1' u8, '2' u16, '4' u32, 't' text
        size_t offset;
        uint32_t value;
        std::string text;
        size_t width;
    };
    std::vector<Field> fields;
    // Writes every field into b, growing it to hold them; false when a field would reach
    // beyond `limit` bytes.
    [[nodiscard]] bool Apply(std::vector<uint8_t>& b, size_t limit) const;
};

// The confirmation OPC sends for `req`: class 5, the request's confirmation type, invoke
// ids and unique instance id echoed, a plausible body; NewCall types take `*nextCallID`
// (advanced) for the new call and carry line private data.
CstaEvent BuildConfirmation(const CstaRequest& req, uint32_t* nextCallID);
// A universal failure (type 53) for `req` with Error and PeripheralErrorCode.
CstaEvent BuildUniversalFailure(const CstaRequest& req, uint32_t error, uint32_t peripheralError);

// The private data of the service-initiated event.
struct ServiceInitiatedPD {
    uint32_t skillGroup = 0xFFFFFFFF;
    uint32_t line = 0xFFFFFFFF;
    uint32_t lineType = 3;
    uint32_t device = 0xFFFFFFFF;
    ConnectionID coc;
    std::string agentExtension;
    uint32_t agentSkillTargetID = 0xFFFFFFFF;
    uint32_t routerCallKey[2] = {0, 0};
    std::string corrData;
};
std::vector<uint8_t> WriteServiceInitiatedPD(const ServiceInitiatedPD& pd);

// The private data of the recording-target-info event; strings in their order on the wire:
// CorrData, a second string, RecorderAddress, TerminalName, MediaForkingDeviceName,
// ProtocolReferenceGUID, MediaForkingClusterID, RecorderURI, RecorderErrorMsg.
struct RecordingTargetInfoPD {
    uint32_t line = 0xFFFFFFFF;
    uint32_t lineType = 3;
    uint32_t recordingType = 0x7FFFFFFF;
    uint32_t mediaForkingDeviceType = 0;
    uint32_t recorderType = 0x7FFFFFFF;
    uint32_t recorderStatus = 0x7FFFFFFF;
    std::array<std::string, 9> strings;
};
std::vector<uint8_t> WriteRecordingTargetInfoPD(const RecordingTargetInfoPD& pd);

// CTI_SET_IDLE_REQ / CTI_SET_ACTIVE_REQ body: side, a second word (the echoed value of the
// idle request, the heartbeat time of the active request), PG status, version, OPC time,
// then a text.
struct SetModeReq {
    uint32_t side = 1;
    uint32_t second = 0;
    uint32_t pgStatus = 0;
    uint32_t version = kSetIdleVersion;
    uint32_t opcTime = 0;
    std::string text;
};
std::vector<uint8_t> WriteSetModeReq(const SetModeReq& r);

// CTI_OK_ACK / CTI_ERROR_ACK body: side, the answered OPC type, value.
struct Ack {
    uint32_t side = 0;
    uint32_t answeredType = 0;
    uint32_t value = 0;
};
[[nodiscard]] bool ReadAck(const uint8_t* p, size_t len, Ack* out, std::string* error);

// CTI_CONFIGURE_REQ body: Op, Table, Num, Update, then the records as given.
struct ConfigReq {
    uint32_t op = 1;
    uint32_t table = 0;
    uint32_t num = 0;
    uint32_t update = 0;
    std::vector<uint8_t> records;
};
std::vector<uint8_t> WriteConfigReq(const ConfigReq& r);
// A table-11 record: PeripheralID, ClientType, DefAgentDeskSettings, MultilineAgent.
void AppendPeripheral(std::vector<uint8_t>& b, uint32_t id, uint32_t clientType,
                      uint32_t deskSettings, uint32_t multiline);
// A table-3 record: id, MaxLen, MaxArray, Array, Enabled, the maker's flag, then the name
// as a padded string.
void AppendEccVariable(std::vector<uint8_t>& b, const uint32_t (&words)[6],
                       const std::string& name);

// "CTI_OK_ACK" and the other OPC type names this stand-in prints; "OPC_TYPE_%d" otherwise.
std::string OpcTypeName(uint32_t type);

// The other requests the server writes (besides CTI_CSTA_MESSAGE and the acknowledgements),
// read with the stand-in's own table of their layouts: the fixed part's numbers by name,
// the strings by name, and the set-client-status request's media routing domain IDs or the
// set-call-data request's ECC block.
struct ServerRequest {
    std::string name;
    std::vector<std::pair<std::string, uint32_t>> numbers;
    std::vector<std::pair<std::string, std::string>> strings;
    std::vector<uint32_t> mrDomainIDs;
    std::vector<uint8_t> ecc;
    // The value of a field by name; false when the layout has no such field.
    [[nodiscard]] bool Number(const std::string& field, uint32_t* value) const;
    [[nodiscard]] bool String(const std::string& field, std::string* value) const;
    // "Field=value ..." for a trace line.
    std::string Describe() const;
};
// Reads the body of `len` bytes of a request of `type`. False, with a one-line reason, for a
// type without a layout here, a field or string past the end, padding or reserved bytes
// that are not zero, or bytes left over after the last field.
[[nodiscard]] bool ReadServerRequest(uint8_t type, const uint8_t* p, size_t len,
                                     ServerRequest* out, std::string* error);


// The bytes in lower-case hex, two digits each.
std::string HexOf(const uint8_t* p, size_t n);

// printf into a string of at most 1023 characters, for the stand-in's output lines.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace opcpeer
