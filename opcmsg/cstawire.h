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
// into the OPC block, and views of strings 1 and 2 (valid while `message` lives). Returns
// false, with a trace, for a message that does not hold what it states (shorter than its
// fixed part, a string running past the end, a body above 1304 bytes, private data above 990
// or 2872 bytes, or parts beyond the message); the record is then not to be used. Reads
// nothing outside `message` .. `message + length`.
[[nodiscard]] bool UnpackCSTAMessage(const uint8_t* message, uint32_t length,
                                     CSTAEventRecord* record);
