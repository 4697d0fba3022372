#include "opcmsg/cstawire.h"

#include <cstring>

#include "nuvlib/ems.h"
#include "opcmsg/opcnames.h"
#include "platform/byteorder.h"

using plat::LoadLE16;
using plat::LoadLE32;
using opcbytes::PaddedStringSize;
using plat::StoreLE16;
using plat::StoreLE32;

namespace {

using cstamsg::kFixedPart;

uint8_t* PutString(uint8_t* at, const char* text, uint32_t count) {
    const uint32_t size = PaddedStringSize(count);
    StoreLE16(at, static_cast<uint16_t>(count));
    if (count) std::memcpy(at + 2, text, count);
    std::memset(at + 2 + count, 0, size - 2 - count);
    return at + size;
}

}  // namespace

int WriteCSTAMessage(uint8_t* out, uint32_t room, const ConnectionID* connection,
                     int32_t skillGroupCount, const uint32_t* skillGroups,
                     const TPCSTAMsg& record, const uint8_t* opcBlock,
                     std::string_view uniqueInstanceID) {
    if (record.eventClass() != kCSTAClassRequest) {
        EMSTraceMessage("SendCSTAMessage:: Invalid event class 0x%x specified.",
                        record.eventClass());
        return -1;
    }
    const uint32_t deviceLength =
        connection ? static_cast<uint32_t>(strnlen(connection->deviceID, 64)) : 0;
    uint32_t rawLength = PrivateDataLength(record.RawBlock());
    if (rawLength > kRawPrivateDataRoom) rawLength = kRawPrivateDataRoom;
    uint32_t opcLength = opcBlock ? PrivateDataLength(opcBlock) : 0;
    if (opcLength > kOPCPrivateDataRoom) opcLength = kOPCPrivateDataRoom;
    // Sizes in 64 bits so that no id length can wrap the sum.
    const uint64_t uiiSize = uniqueInstanceID.size() > 0xFFFF
                                 ? uint64_t{0x10000} + 6
                                 : PaddedStringSize(static_cast<uint32_t>(uniqueInstanceID.size()));
    const uint64_t total = uint64_t{kFixedPart} + uiiSize + PaddedStringSize(deviceLength) + 6 +
                           kCSTARequestEventSize + rawLength + opcLength;
    if (total > room) {
        EMSTraceMessage(
            "SendCSTAMessage:: %s (InvokeID=0x%x) of %llu bytes exceeds the buffer of %u bytes; "
            "not sent.",
            CSTAEventTypeName(record.eventType()), record.InvokeID(),
            static_cast<unsigned long long>(total), room);
        return -1;
    }
    std::memset(out, 0, kFixedPart);
    StoreLE32(out, PeripheralIDToLong(record.PeripheralID()));
    StoreLE16(out + 4, 0xFFFF);
    StoreLE32(out + 8, connection ? static_cast<uint32_t>(connection->callID) : 0xFFFFFFFF);
    StoreLE32(out + 28, connection ? connection->deviceIDType : 0);
    std::memset(out + 32, 0xFF, 4 * kCSTASkillGroupSlots);
    for (int32_t i = 0; skillGroups && i < skillGroupCount && i < int32_t{kCSTASkillGroupSlots}; ++i)
        StoreLE32(out + 32 + 4 * i, skillGroups[i]);
    StoreLE32(out + 208, kCSTARequestEventSize);
    StoreLE32(out + 212, rawLength);
    StoreLE32(out + 216, opcLength);
    uint8_t* at = out + kFixedPart;
    at = PutString(at, uniqueInstanceID.data(), static_cast<uint32_t>(uniqueInstanceID.size()));
    at = PutString(at, connection ? connection->deviceID : nullptr, deviceLength);
    std::memcpy(at, record.Bytes(), 6);  // PeripheralID, eventClass, eventType
    at += 6;
    std::memmove(at, record.EventPart(), kCSTARequestEventSize);
    at += kCSTARequestEventSize;
    // memmove: with the lengths bounded, the compiler inlines memcpy as a slow string move.
    if (rawLength) std::memmove(at, PrivateDataPointer(record.RawBlock(), 0), rawLength);
    at += rawLength;
    if (opcLength) std::memmove(at, PrivateDataPointer(opcBlock, 0), opcLength);
    at += opcLength;
    return static_cast<int>(at - out);
}

bool UnpackCSTAMessage(const uint8_t* message, uint32_t length, CSTAEventRecord* record) {
    const char* fault = nullptr;
    uint32_t bodyLength = 0, raw = 0, opc = 0;
    uint64_t pos = kFixedPart;
    // Positions 1 to 16 are strings, 17 the ECC block; 18 is stepped over.
    const uint8_t* strings[cstamsg::kECCPosition] = {};
    uint32_t counts[cstamsg::kECCPosition] = {};
    if (length < kFixedPart) {
        fault = "shorter than its fixed part";
    } else {
        bodyLength = LoadLE32(message + cstamsg::kBodyLength);
        raw = LoadLE32(message + cstamsg::kRawLength);
        opc = LoadLE32(message + cstamsg::kOPCLength);
        if (bodyLength > kCSTAEventAreaSize)
            fault = "body length above 1304";
        else if (((raw + 3) & ~3u) > kRawPrivateDataRoom || raw > kRawPrivateDataRoom)
            fault = "first private data does not fit the 990 bytes of its block";
        else if (opc > kOPCPrivateDataRoom)
            fault = "second private data does not fit the 2872 bytes of its block";
    }
    for (uint32_t i = 0; !fault && i < cstamsg::kStringCount; ++i) {
        if (i + 1 == cstamsg::kECCPosition) {
            if (pos + 4 > length) {
                fault = "strings run past the end";
                break;
            }
            const uint32_t count = LoadLE32(message + pos);
            if (count > cstamsg::kMaxECCLength) {
                fault = "ECC block above 2000 bytes";
                break;
            }
            strings[i] = message + pos + 4;
            counts[i] = count;
            pos += 4 + ((uint64_t{count} + 3) & ~uint64_t{3});
            continue;
        }
        if (pos + 2 > length) {
            fault = "strings run past the end";
            break;
        }
        const uint32_t count = LoadLE16(message + pos);
        if (i < cstamsg::kECCPosition) {
            strings[i] = message + pos + 2;
            counts[i] = count;
        }
        pos += PaddedStringSize(count);
    }
    if (!fault && pos + 6 + bodyLength + raw + opc > length)
        fault = pos > length ? "strings run past the end" : "parts run past the end";
    if (fault) {
        EMSTraceMessage("ProcessCSTAMessage: CTI_CSTA_MESSAGE of %u bytes dropped: %s", length,
                        fault);
        return false;
    }
    const uint8_t* at = message + pos;
    uint8_t* bytes = record->m_Bytes;
    std::memcpy(bytes, at, 6);
    bytes[6] = bytes[7] = 0;
    at += 6;
    std::memmove(bytes + kCSTAHeaderSize, at, bodyLength);
    std::memset(bytes + kCSTAHeaderSize + bodyLength, 0, kCSTAEventAreaSize - bodyLength);
    at += bodyLength;
    record->m_BodyLength = bodyLength;
    uint8_t* rawBlock = bytes + kCSTARecRawBlock;
    uint8_t* opcBlock = bytes + kCSTARecOPCBlock;
    ResetPrivateData(rawBlock);
    ResetPrivateData(opcBlock);
    if (raw > 0) (void)AppendPrivateData(rawBlock, at, raw, kRawPrivateDataBlockSize);
    at += raw;
    if (opc > 0) (void)AppendPrivateData(opcBlock, at, opc, kOPCPrivateDataBlockSize);
    // The strings' characters and the ECC lie inside the message: each padded size was checked.
    const auto view = [&](uint32_t position) {
        return std::string_view(reinterpret_cast<const char*>(strings[position - 1]),
                                counts[position - 1]);
    };
    record->UniqueInstanceID = view(1);
    record->DeviceID = view(2);
    record->ApplicationData = view(3);
    record->ScriptSelector = view(4);
    record->ApplicationString1 = view(5);
    record->ApplicationString2 = view(6);
    for (uint32_t i = 0; i < 10; ++i) record->CallVariables[i] = view(7 + i);
    record->ECC = std::span<const uint8_t>(strings[cstamsg::kECCPosition - 1],
                                           counts[cstamsg::kECCPosition - 1]);
    return true;
}
