#include "parlo/model/configtable.h"

#include <cstring>

#include "ctimsg/elementdict.h"
#include "platform/byteorder.h"

namespace model {

int OPCConfigOpToRecordType(uint32_t operation) {
    switch (operation) {
        case 1: return 0;
        case 3: return 1;
        case 2: return 2;
        default: return -1;
    }
}

uint64_t OPCRecordReader::Bytes(size_t offset, size_t width) {
    if (failed_ || static_cast<size_t>(end_ - start_) < offset ||
        static_cast<size_t>(end_ - start_) - offset < width) {
        failed_ = true;
        return 0;
    }
    const uint8_t* at = start_ + offset;
    return width == 2 ? plat::LoadLE16(at) : plat::LoadLE32(at);
}

void OPCRecordReader::Seek(size_t offset) {
    if (failed_ || static_cast<size_t>(end_ - start_) < offset) {
        failed_ = true;
        return;
    }
    pos_ = start_ + offset;
}

bool OPCRecordReader::Fits(uint64_t count, size_t size) const {
    if (failed_) return false;
    const uint64_t room = static_cast<uint64_t>(end_ - pos_);
    return size == 0 || count <= room / size;
}

void OPCRecordReader::Skip(size_t bytes) {
    if (failed_ || static_cast<size_t>(end_ - pos_) < bytes) {
        failed_ = true;
        return;
    }
    pos_ += bytes;
}

uint32_t OPCRecordReader::NextU32() {
    if (failed_ || end_ - pos_ < 4) {
        failed_ = true;
        return 0;
    }
    const uint32_t v = plat::LoadLE32(pos_);
    pos_ += 4;
    return v;
}

std::string OPCRecordReader::NextString() {
    if (failed_ || end_ - pos_ < 2) {
        failed_ = true;
        return {};
    }
    const size_t length = plat::LoadLE16(pos_);
    const size_t room = static_cast<size_t>(end_ - pos_) - 2;
    if (length > room) {
        failed_ = true;
        return {};
    }
    const char* chars = reinterpret_cast<const char*>(pos_ + 2);
    const void* zero = std::memchr(chars, 0, length);
    std::string text(chars, zero ? static_cast<const char*>(zero) - chars : length);
    const size_t step = (length + 6) & ~size_t{3};
    pos_ = static_cast<size_t>(end_ - pos_) < step ? end_ : pos_ + step;
    return text;
}

void TraceRecordOverrun(const char* table, const uint8_t* record, const uint8_t* end) {
    EMSTraceMessage("%s - record of %d bytes refused: a field runs past the end of the message", table,
                    record != nullptr && end != nullptr && end >= record ? static_cast<int>(end - record) : 0);
}

void SetConfigNumber(BaseMSG& msg, uint32_t element, uint32_t value, uint32_t occurrence) {
    const elementdict::Row* row = elementdict::FindRow(element);
    if (row != nullptr && row->bytes == 2)
        msg.SetUSHORT(element, static_cast<uint16_t>(value), occurrence);
    else
        msg.SetUINT(element, value, occurrence);
}

}  // namespace model
