#pragma once
// The event record: one length-framed, little-endian block of at most 2088 bytes. The same
// bytes go to the log files, the system event log, the event monitors and (behind an 8-byte
// envelope) to the central logger through MDS.
//
// block offset  field
//   0  u32  total length (whole block, both length words included)
//   4  u8   version (6)          5 u8 system type      6 u8 system id     7 u8 status kind
//   8  u32  status code         12 u32 MDS input stamp 16 u32 event id
//  20  u64  time (FILETIME, UTC)
//  28  u16  variable length     30 u16 data length
//  32  u8   integer count       33 u8 string count     34 u8 side         35 u8 flags
//  36  variable part: process name, computer name, integers as text, strings (each
//      NUL-terminated), zeros to a multiple of 4, raw data
//  then zeros to a multiple of 4 and the total length again.
#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t EMS_RECORD_MAX = 2088;
constexpr uint32_t EMS_RECORD_TEXT_END = 2083;  // last block offset a text or data may use
constexpr uint32_t EMS_RECORD_VAR_START = 36;   // block offset of the variable part
constexpr uint8_t EMS_RECORD_VERSION = 6;
constexpr uint32_t EMS_NAME_MAX = 15;
constexpr uint32_t EMS_STRING_MAX = 259;
constexpr uint32_t EMS_MAX_INTS = 5;
constexpr uint32_t EMS_MAX_STRINGS = 5;

// One record block, room for the largest; the same bytes go to every sink.
using EMSEventRecord = uint8_t[EMS_RECORD_MAX];

constexpr uint8_t EMS_FLAG_CONSOLE = 0x80;
constexpr uint8_t EMS_FLAG_SYNCHRONIZED = 0x01;

// Block offsets of the header fields.
namespace emsoff {
constexpr size_t kTotal = 0, kVersion = 4, kSystemType = 5, kSystemId = 6, kStatusKind = 7,
                 kStatusCode = 8, kMdsStamp = 12, kEventId = 16, kTime = 20, kVarLength = 28,
                 kDataLength = 30, kIntCount = 32, kStrCount = 33, kSide = 34, kFlags = 35;
}

constexpr const char* EMS_ARG_TRUNCATED = "<Event Argument Truncated>";

struct EMSRecordInput {
    uint8_t systemType = 0;
    uint8_t systemId = 0;
    uint8_t statusKind = 0;
    uint32_t statusCode = 0;
    uint32_t mdsStamp = 0;
    uint32_t eventId = 0;
    uint64_t time = 0;
    uint8_t side = 0;
    const char* processName = "";
    const char* computerName = "";
    uint32_t intCount = 0;  // at most 5
    const int32_t* ints = nullptr;
    uint32_t strCount = 0;  // at most 5, none null
    const char* const* strings = nullptr;
    uint32_t dataLength = 0;
    const void* data = nullptr;
};

// Fills a block (at least EMS_RECORD_MAX bytes, zeroed by the call) and returns its total
// length. Over-long texts and data are cut; a record is never refused.
uint32_t EMSFillRecord(uint8_t* block, const EMSRecordInput& in);

struct EMSParsedRecord {
    std::string processName;
    std::string computerName;
    uint32_t argCount = 0;  // integers first, then strings
    std::string args[EMS_MAX_INTS + EMS_MAX_STRINGS];
    const uint8_t* data = nullptr;
    uint32_t dataLength = 0;
};

// Takes a record apart. `available` is the number of readable bytes at `block`; nothing
// beyond it or beyond the variable part is read. A text that is missing reads as
// "<Event Argument Truncated>". False when the block is too short to hold its header.
bool EMSParseRecord(const uint8_t* block, size_t available, EMSParsedRecord* out);

// Sends a record to the central logger through the MDS client (class 128, type 1) and marks
// it synchronized when the client says so. Failures are traced under trace-mask bit 28.
void EMSForwardToMDS(uint8_t* block);
