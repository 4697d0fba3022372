#pragma once
// The OPC library: private-data blocks, peripheral ids, the ACS header match, call variables
// and the split of full device identifiers. Plain functions on the caller's thread.
#include <cstddef>
#include <cstdint>
#include <string>

// A private-data block as it lies in a record: 32-byte vendor text (never sent), u16 data
// length at byte 32, the data from byte 34. Blocks are plain byte areas owned by their record.
constexpr uint32_t kPrivateDataHeadSize = 34;
constexpr uint32_t kPrivateDataLengthOffset = 32;
constexpr uint32_t kRawPrivateDataBlockSize = 1024;  // 990 data bytes
constexpr uint32_t kOPCPrivateDataBlockSize = 2906;  // 2872 data bytes

// Call variables: ten slots of 41 bytes (40 characters and a NUL).
constexpr int kCallVariableCount = 10;
constexpr int kCallVariableSlot = 41;

// Sets the data length to 0 (vendor text and data bytes stay); returns the block.
uint8_t* ResetPrivateData(uint8_t* block);

// Appends `length` bytes at the block's data length, rounded up to a multiple of 4 (the fill
// bytes are not written); `data` may lie inside the block itself. `capacity` is the block's
// whole size (head included). Returns the offset of the piece, or -1 with a trace and nothing
// changed when the rounded piece would not fit in the capacity (or the u16 length).
[[nodiscard]] int AppendPrivateDataEx(uint8_t* block, const void* data, uint32_t length,
                                      uint32_t capacity, uint32_t* paddedLength);
[[nodiscard]] int AppendPrivateData(uint8_t* block, const void* data, uint32_t length,
                                    uint32_t capacity);

// Data byte `offset` of a block (block + 34 + offset); no check.
inline uint8_t* PrivateDataPointer(uint8_t* block, uint32_t offset) {
    return block + kPrivateDataHeadSize + offset;
}
inline const uint8_t* PrivateDataPointer(const uint8_t* block, uint32_t offset) {
    return block + kPrivateDataHeadSize + offset;
}
inline uintptr_t PrivateDataAddress(const uint8_t* block, uint32_t offset) {
    return reinterpret_cast<uintptr_t>(PrivateDataPointer(block, offset));
}
uint16_t PrivateDataLength(const uint8_t* block);

inline uint32_t PeripheralIDToLong(uint16_t peripheralID) { return peripheralID; }

// True when the received CSTA header (u16 peripheral id, u16 class, u16 type) has this class
// and type.
bool MatchACSHeader(const uint8_t* header, uint16_t eventClass, uint16_t eventType);

// Fills the ten 41-byte slots at `destination` from the ten slots at `source` (each at most 40
// characters and a NUL); a null source empties every slot.
void CopyCallVariables(char* destination, const char* source);

// Splits "instrument.extension.line" into outputs of 64, 16 and 40 bytes (each may be null).
// Returns 0; -1 for a full id of 64 or more characters, -3 for an extension of 16 or more,
// -4 for a line of 40 or more, each traced "OPCLIB: ...". Parts copied before a failure stay.
[[nodiscard]] int DisassembleDeviceID(const char* fullDeviceID, char* instrument,
                                      char* extension, char* line);

struct DeviceIDParts {
    explicit DeviceIDParts(const char* fullDeviceID);
    bool HasExtension() const { return !Instrument.empty() && !Extension.empty(); }
    std::string Instrument;
    std::string Extension;
    std::string Line;
    std::string FullDeviceID;
};
