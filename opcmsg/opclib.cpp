#include "opcmsg/opclib.h"

#include <cstring>

#include "nuvlib/ems.h"
#include "platform/byteorder.h"

uint8_t* ResetPrivateData(uint8_t* block) {
    plat::StoreLE16(block + kPrivateDataLengthOffset, 0);
    return block;
}

uint16_t PrivateDataLength(const uint8_t* block) {
    return plat::LoadLE16(block + kPrivateDataLengthOffset);
}

int AppendPrivateDataEx(uint8_t* block, const void* data, uint32_t length, uint32_t capacity,
                        uint32_t* paddedLength) {
    const uint32_t offset = PrivateDataLength(block);
    const uint32_t fill = (4 - length % 4) % 4;
    uint32_t room = capacity > kPrivateDataHeadSize ? capacity - kPrivateDataHeadSize : 0;
    if (room > 0xFFFF) room = 0xFFFF;
    // A piece that would run past the block or wrap the u16 length is refused whole.
    if (length > room || offset + length + fill > room) {
        EMSTraceMessage(
            "OPCLIB: AppendPrivateData ERROR: %u bytes at offset %u exceed the capacity of %u "
            "data bytes - Not appended",
            length, offset, room);
        return -1;
    }
    plat::StoreLE16(block + kPrivateDataLengthOffset,
                    static_cast<uint16_t>(offset + length + fill));
    if (paddedLength) *paddedLength = length + fill;
    // The typed private data of a request is reserved by appending it onto itself.
    uint8_t* to = block + kPrivateDataHeadSize + offset;
    if (length > 0 && to != data) std::memmove(to, data, length);
    // The fill travels with the piece: zero, never stale bytes.
    std::memset(to + length, 0, fill);
    return static_cast<int>(offset);
}

int AppendPrivateData(uint8_t* block, const void* data, uint32_t length, uint32_t capacity) {
    return AppendPrivateDataEx(block, data, length, capacity, nullptr);
}

bool MatchACSHeader(const uint8_t* header, uint16_t eventClass, uint16_t eventType) {
    return plat::LoadLE16(header + 2) == eventClass && plat::LoadLE16(header + 4) == eventType;
}

void CopyCallVariables(char* destination, const char* source) {
    for (int i = 0; i < kCallVariableCount; ++i) {
        char* slot = destination + i * kCallVariableSlot;
        if (!source) {
            slot[0] = '\0';
            continue;
        }
        const char* from = source + i * kCallVariableSlot;
        const size_t n = strnlen(from, kCallVariableSlot - 1);
        std::memcpy(slot, from, n);
        std::memset(slot + n, 0, kCallVariableSlot - n);
    }
}

int DisassembleDeviceID(const char* fullDeviceID, char* instrument, char* extension, char* line) {
    const char* shown = fullDeviceID ? fullDeviceID : "(NULL)";
    if (!fullDeviceID) return -1;
    const size_t length = strnlen(fullDeviceID, 64);
    if (length >= 64) {
        EMSTraceMessage(
            "OPCLIB: DisassembleDeviceID(%s,...) ERROR: fullDevIDp length of %d exceeds maximum "
            "of %d - Not disassembling",
            shown, static_cast<int>(std::strlen(fullDeviceID)), 63);
        return -1;
    }
    const char* end = fullDeviceID + length;
    const char* dot1 = static_cast<const char*>(std::memchr(fullDeviceID, '.', length));
    const char* dot2 =
        dot1 ? static_cast<const char*>(std::memchr(dot1 + 1, '.', end - dot1 - 1)) : nullptr;
    if (instrument) {
        const size_t n = dot1 ? static_cast<size_t>(dot1 - fullDeviceID) : length;
        std::memcpy(instrument, fullDeviceID, n);
        instrument[n] = '\0';
    }
    if (extension && dot1) {
        const char* from = dot1 + 1;
        const size_t n = static_cast<size_t>((dot2 ? dot2 : end) - from);
        if (n >= 16) {
            EMSTraceMessage(
                "OPCLIB: DisassembleDeviceID(%s,...) WARNING: Extension component length of %d "
                "exceeds maximum of %d ",
                shown, static_cast<int>(n), 15);
            return -3;
        }
        std::memcpy(extension, from, n);
        extension[n] = '\0';
    }
    if (line && dot2) {
        const char* from = dot2 + 1;
        const size_t n = static_cast<size_t>(end - from);
        if (n >= 40) {
            EMSTraceMessage(
                "OPCLIB: DisassembleDeviceID(%s,...) WARNING: Line component length of %d "
                "exceeds maximum of %d ",
                shown, static_cast<int>(n), 39);
            return -4;
        }
        std::memcpy(line, from, n);
        line[n] = '\0';
    }
    return 0;
}

DeviceIDParts::DeviceIDParts(const char* fullDeviceID)
    : FullDeviceID(fullDeviceID ? fullDeviceID : "") {
    char instrument[64] = {};
    char extension[16] = {};
    char line[40] = {};
    if (DisassembleDeviceID(fullDeviceID, instrument, extension, line) != 0) return;
    Instrument = instrument;
    Extension = extension;
    Line = line;
}
