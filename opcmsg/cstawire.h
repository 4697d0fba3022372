#pragma once
// CTI_CSTA_MESSAGE (OPC message type 28) on the wire: the writer of a request and the
// unpacker of a received message. Both work on the message body that follows the 32-bit
// ServerNumber word of the OPC envelope.
#include <cstdint>
#include <string_view>

#include "opcmsg/tpcstamsg.h"

constexpr uint32_t kOPCMessageTypeCSTA = 28;
// The OPC link's build buffer, and what is left of it after the ServerNumber word.
constexpr uint32_t kOPCMessageBufferSize = 4012;
constexpr uint32_t kCSTAMessageRoom = kOPCMessageBufferSize - 4;
constexpr uint32_t kCSTASkillGroupSlots = 44;

// The fixed part of a received CTI_CSTA_MESSAGE body: offsets of its fields, then the strings.
namespace cstamsg {
constexpr uint32_t kPeripheralID = 0;            // u32
constexpr uint32_t kPeripheralType = 4;          // u16, the OPC's internal type
constexpr uint32_t kTaskBegun = 6;               // u16
constexpr uint32_t kCallID = 8;                  // u32
constexpr uint32_t kSkillTargetID = 12;          // u32
constexpr uint32_t kTaskID = 16;                 // three u32
constexpr uint32_t kConnectionDeviceIDType = 28; // u32
constexpr uint32_t kArea = 32;                   // kCSTASkillGroupSlots u32 words
constexpr uint32_t kBodyLength = 208;            // u32
constexpr uint32_t kRawLength = 212;             // u32
constexpr uint32_t kOPCLength = 216;             // u32
constexpr uint32_t kMRDomainID = 220;            // u32
constexpr uint32_t kPreviousTaskID = 224;        // three u32
constexpr uint32_t kDisposition = 236;           // u16
constexpr uint32_t kApplicationDisposition = 238;  // u16
constexpr uint32_t kFixedPart = 244;
// Eighteen strings follow; position 17 (from 1) is the expanded call context block: u32
// length (at most kMaxECCLength), the BINDATA, NUL fill to a multiple of 4.
constexpr uint32_t kStringCount = 18;
constexpr uint32_t kECCPosition = 17;
constexpr uint32_t kMaxECCLength = 2000;
}  // namespace cstamsg

// Writes the CTI_CSTA_MESSAGE of one request into `out` (`room` bytes; kCSTAMessageRoom in the
// link's buffer): the header with `connection` (null: call id 0xFFFFFFFF, type 0, empty device
// string), the first `skillGroupCount` of `skillGroups` (the rest 0xFFFFFFFF), the unique
// instance id and device strings, the ACS header, the 364-byte event part, the record's raw
// private data and the data of `opcBlock` (a PrivateDataBlock, usually record.OPCBlock(); null
// for none). Reserved bytes are zero. Returns the bytes written; -1 with a trace and nothing
// meaningful in `out` when the record's class is not 8 ("SendCSTAMessage:: Invalid event class
// 0x%x specified.") or when the message would not fit in `room`.
[[nodiscard]] int WriteCSTAMessage(uint8_t* out, uint32_t room, const ConnectionID* connection,
                                   int32_t skillGroupCount, const uint32_t* skillGroups,
                                   const TPCSTAMsg& record, const uint8_t* opcBlock,
                                   std::string_view uniqueInstanceID);

// Unpacks one received CTI_CSTA_MESSAGE body of `length` bytes into `record`: the ACS header,
// the event body (zero past its length), private data 1 into the raw block and private data 2
// into the OPC block, and views of strings 1 to 16 and of the ECC block (valid while
// `message` lives). Returns false, with a trace, for a message that does not hold what it
// states (shorter than its fixed part, a string or the ECC block running past the end, an ECC
// block above 2000 bytes, a body above 1304 bytes, private data above 990 or 2872 bytes, or
// parts beyond the message); the record is then not to be used. Reads nothing outside
// `message` .. `message + length`.
[[nodiscard]] bool UnpackCSTAMessage(const uint8_t* message, uint32_t length,
                                     CSTAEventRecord* record);
