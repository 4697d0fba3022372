#include "nuvlib/emsrecord.h"

#include <cstdio>
#include <cstring>

#include "nuvlib/ems.h"
#include "nuvlib/mdsport.h"
#include "platform/byteorder.h"
#include "platform/lasterror.h"

namespace {

// Copies a text up to its NUL or the limit position, writes the NUL at the stop position and
// returns the position after it. A copy that would start beyond its limit writes nothing.
uint32_t CopyText(uint8_t* block, uint32_t pos, const char* text, uint32_t maxChars) {
    uint32_t limit = pos + maxChars;
    if (limit > EMS_RECORD_TEXT_END) limit = EMS_RECORD_TEXT_END;
    if (pos > limit) return pos;
    while (pos < limit && *text != '\0') block[pos++] = static_cast<uint8_t>(*text++);
    block[pos++] = 0;
    return pos;
}

}  // namespace

uint32_t EMSFillRecord(uint8_t* block, const EMSRecordInput& in) {
    std::memset(block, 0, EMS_RECORD_MAX);
    const uint32_t ints = in.intCount <= EMS_MAX_INTS ? in.intCount : EMS_MAX_INTS;
    const uint32_t strs = in.strCount <= EMS_MAX_STRINGS ? in.strCount : EMS_MAX_STRINGS;

    uint32_t pos = EMS_RECORD_VAR_START;
    pos = CopyText(block, pos, in.processName ? in.processName : "", EMS_NAME_MAX);
    pos = CopyText(block, pos, in.computerName ? in.computerName : "", EMS_NAME_MAX);
    for (uint32_t i = 0; i < ints; ++i) {
        char num[16];
        std::snprintf(num, sizeof num, "%ld", static_cast<long>(in.ints[i]));
        pos = CopyText(block, pos, num, sizeof num - 1);
    }
    for (uint32_t i = 0; i < strs; ++i)
        pos = CopyText(block, pos, in.strings[i] ? in.strings[i] : "", EMS_STRING_MAX);

    uint32_t stored = 0;
    if (pos <= EMS_RECORD_TEXT_END) {
        while (pos % 4 != 0 && pos <= EMS_RECORD_TEXT_END) block[pos++] = 0;
        uint32_t room = pos <= EMS_RECORD_TEXT_END ? EMS_RECORD_TEXT_END - pos + 1 : 0;
        if (in.data != nullptr) stored = in.dataLength < room ? in.dataLength : room;
        if (stored > 0) std::memcpy(block + pos, in.data, stored);
        pos += stored;
    }
    const uint32_t varLength = pos - EMS_RECORD_VAR_START;
    while (pos % 4 != 0) block[pos++] = 0;
    const uint32_t total = pos + 4;

    plat::StoreLE32(block + emsoff::kTotal, total);
    block[emsoff::kVersion] = EMS_RECORD_VERSION;
    block[emsoff::kSystemType] = in.systemType;
    block[emsoff::kSystemId] = in.systemId;
    block[emsoff::kStatusKind] = in.statusKind;
    plat::StoreLE32(block + emsoff::kStatusCode, in.statusCode);
    plat::StoreLE32(block + emsoff::kMdsStamp, in.mdsStamp);
    plat::StoreLE32(block + emsoff::kEventId, in.eventId);
    plat::StoreLE64(block + emsoff::kTime, in.time);
    plat::StoreLE16(block + emsoff::kVarLength, static_cast<uint16_t>(varLength));
    plat::StoreLE16(block + emsoff::kDataLength, static_cast<uint16_t>(stored));
    block[emsoff::kIntCount] = static_cast<uint8_t>(ints);
    block[emsoff::kStrCount] = static_cast<uint8_t>(strs);
    block[emsoff::kSide] = in.side;
    block[emsoff::kFlags] = 0;
    plat::StoreLE32(block + pos, total);
    return total;
}

bool EMSParseRecord(const uint8_t* block, size_t available, EMSParsedRecord* out) {
    *out = EMSParsedRecord{};
    if (block == nullptr || available < EMS_RECORD_VAR_START) return false;
    // The variable part: block offsets [36, varEnd), never beyond what the caller has.
    size_t varEnd = EMS_RECORD_VAR_START + plat::LoadLE16(block + emsoff::kVarLength);
    if (varEnd > available) varEnd = available;
    if (varEnd > EMS_RECORD_MAX) varEnd = EMS_RECORD_MAX;

    size_t cursor = EMS_RECORD_VAR_START;
    auto next = [&](std::string* text) {
        if (cursor >= varEnd) {
            *text = EMS_ARG_TRUNCATED;
            return;
        }
        const char* start = reinterpret_cast<const char*>(block + cursor);
        size_t n = strnlen(start, varEnd - cursor);
        text->assign(start, n);
        cursor += n + 1;
    };
    next(&out->processName);
    next(&out->computerName);
    uint32_t ints = block[emsoff::kIntCount];
    uint32_t strs = block[emsoff::kStrCount];
    if (ints > EMS_MAX_INTS) ints = EMS_MAX_INTS;
    if (strs > EMS_MAX_STRINGS) strs = EMS_MAX_STRINGS;
    out->argCount = ints + strs;
    for (uint32_t i = 0; i < out->argCount; ++i) next(&out->args[i]);

    uint32_t dataLength = plat::LoadLE16(block + emsoff::kDataLength);
    if (dataLength != 0) {
        size_t start = (cursor + 3) & ~static_cast<size_t>(3);
        if (start < varEnd) {
            size_t room = varEnd - start;
            out->data = block + start;
            out->dataLength = static_cast<uint32_t>(dataLength < room ? dataLength : room);
        }
    }
    return true;
}

void EMSForwardToMDS(uint8_t* block) {
    MDSClientPort& mds = MDSCurrentClientPort();
    const uint32_t recordLength = plat::LoadLE16(block + emsoff::kVarLength) + 32u;
    const uint16_t length = static_cast<uint16_t>(recordLength + 8);
    auto* buffer = static_cast<uint8_t*>(mds.AllocBuffer(length));
    if (buffer == nullptr) {
        if (EMSGetTraceMask() & 0x10000000) EMSTraceMessageLastError("Call to MDSAllocBuffer failed.");
        return;
    }
    if (mds.IsSynchronized()) block[emsoff::kFlags] |= EMS_FLAG_SYNCHRONIZED;
    buffer[0] = block[emsoff::kSystemId];
    std::memset(buffer + 1, 0, 7);
    std::memcpy(buffer + 8, block + emsoff::kVersion, recordLength);
    if (mds.SendCheckpoint(128, 1, 0, buffer, length) == 1) return;
    const uint32_t error = plat::GetLastError();
    if (EMSGetTraceMask() & 0x10000000) EMSTraceMessageLastError("Call to MDSSendCheckpoint failed.");
    // A refusal for length has already freed the buffer; any other failure leaves it ours.
    if (error != MDS_ERROR_TOO_LONG) mds.FreeBuffer(buffer);
}
