#include "opcmsg/tpcstamsg.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "nuvlib/ems.h"
#include "opcmsg/opcnames.h"
#include "platform/byteorder.h"

using plat::LoadLE16;
using plat::LoadLE32;
using plat::StoreLE16;
using plat::StoreLE32;

ConnectionID ConnectionID::Read(const uint8_t* wire) {
    ConnectionID c;
    c.callID = static_cast<int32_t>(LoadLE32(wire));
    const size_t n = opcbytes::FieldLength(wire + 4, 64);
    std::memcpy(c.deviceID, wire + 4, n);
    c.deviceID[n] = '\0';
    c.deviceIDType = LoadLE32(wire + 68);
    return c;
}

TPCSTAMsg::TPCSTAMsg(uint32_t invokeID, uint32_t clientInvokeID)
    : TPCSTAMsg(invokeID, clientInvokeID, kOPCPrivateDataRoom) {}

TPCSTAMsg::TPCSTAMsg(uint32_t invokeID, uint32_t clientInvokeID, uint32_t zeroedData) {
    // Every byte that may travel starts as zero: the header, the body area, both block heads
    // and the typed private data with its gaps and ECC area. The data rooms beyond are never
    // read past their stated lengths.
    std::memset(m_Bytes, 0, kCSTARecRawBlock + kPrivateDataHeadSize);
    std::memset(OPCBlock(), 0, kPrivateDataHeadSize + zeroedData);
    Initialize(invokeID, clientInvokeID);
}

void TPCSTAMsg::Initialize(uint32_t invokeID, uint32_t clientInvokeID) {
    ResetPrivateData(RawBlock());
    ResetPrivateData(OPCBlock());
    m_InvokeID = invokeID;
    m_ClientInvokeID = clientInvokeID;
    m_InvokeIDHashIndex = invokeID & 31;
}

void TPCSTAMsg::WriteHeader(uint16_t peripheralID, uint16_t eventClass, uint16_t eventType,
                            uint32_t invokeID, uint32_t clientInvokeID) {
    StoreLE16(m_Bytes, peripheralID);
    StoreLE16(m_Bytes + 2, eventClass);
    StoreLE16(m_Bytes + 4, eventType);
    StoreLE32(m_Bytes + kCSTARecInvokeID, invokeID);
    StoreLE32(m_Bytes + kCSTARecClientInvokeID, clientInvokeID);
}

void TPCSTAMsg::Trace(const char* prefix, int dumpPrivateData, int /*includePV*/,
                      int /*includeECC*/, int option) {
    Trace(prefix, dumpPrivateData, option);
}

void TPCSTAMsg::Trace(const char* prefix, int /*dumpPrivateData*/, int /*option*/) {
    EMSTraceMessage("TPCSTAMsg: %s InvokeID=0x%x InvokeIDHashIndex=%d, ClientInvokeID=0x%x",
                    prefix ? prefix : "", m_InvokeID, static_cast<int>(m_InvokeIDHashIndex),
                    m_ClientInvokeID);
}

void TPCSTAMsg::CopyDeviceID(uint8_t* field, const char* text) {
    const size_t n = text ? strnlen(text, 64) : 0;
    if (n) std::memcpy(field, text, n);
    std::memset(field + n, 0, 64 - n);
}

void TPCSTAMsg::SetConnectionID(uint8_t* connection, int32_t callID, const char* deviceID,
                                uint32_t deviceIDType) {
    StoreLE32(connection, static_cast<uint32_t>(callID));
    if (deviceID && strnlen(deviceID, 65) > 64)
        EMSTraceMessage("TCPCSTAMSG::SetConnectionID - DeviceID length to long for device %s",
                        deviceID);
    CopyDeviceID(connection + 4, deviceID);
    if (deviceIDType > 1) {
        EMSTraceMessage("TCPCSTAMSG::SetConnectionID - Invalid DeviceType %d specified.",
                        static_cast<int>(deviceIDType));
        return;
    }
    StoreLE32(connection + 68, deviceIDType);
}

void TPCSTAMsg::SetPrivateData(const uint8_t* block) {
    uint32_t length = PrivateDataLength(block);
    if (length > kOPCPrivateDataRoom) {
        EMSTraceMessage(
            "TPCSTAMsg::SetPrivateData - private data length %u exceeds %u; cut to %u", length,
            kOPCPrivateDataRoom, kOPCPrivateDataRoom);
        length = kOPCPrivateDataRoom;
    }
    std::memcpy(OPCBlock(), block, kPrivateDataHeadSize);
    StoreLE16(OPCBlock() + kPrivateDataLengthOffset, static_cast<uint16_t>(length));
    std::memmove(PrivateData(), PrivateDataPointer(block, 0), length);
}

void TPCSTAMsg::PrivateDataDump() const {
    const uint32_t length = PrivateDataLength(OPCBlock());
    if (length == 0) return;
    const uint8_t* data = PrivateData();
    std::string lines;
    uint32_t groupStart = 0;
    char piece[16];
    for (uint32_t lineStart = 0; lineStart < length; lineStart += 16) {
        const uint32_t n = length - lineStart < 16 ? length - lineStart : 16;
        std::snprintf(piece, sizeof piece, "     %.5x  ", lineStart);
        lines += piece;
        for (uint32_t i = 0; i < 16; ++i) {
            if (i < n) {
                std::snprintf(piece, sizeof piece, "%.2x ", data[lineStart + i]);
                lines += piece;
            } else {
                lines += ' ';  // one blank per missing byte
            }
        }
        lines += "  |";
        for (uint32_t i = 0; i < 16; ++i) {
            if (i < n) {
                const unsigned char c = data[lineStart + i];
                lines += std::isprint(c) ? static_cast<char>(c) : '.';
            } else {
                lines += ' ';
            }
        }
        lines += "|\n";
        const uint32_t lineEnd = lineStart + 16;
        if (lineEnd - groupStart == 192 || lineEnd >= length) {
            EMSTraceMessage("     PrivateDataDump Length=%d (%d, %d)\n%s",
                            static_cast<int>(length), static_cast<int>(groupStart),
                            static_cast<int>(lineEnd - 1), lines.c_str());
            lines.clear();
            groupStart = lineEnd;
        }
    }
}

void TPCSTAMsg::ResetField(const CSTAField& f) {
    uint8_t* p = FieldPointer(f);
    switch (f.kind) {
    case CSTAFieldKind::Conn:
        SetConnectionID(p, -1, nullptr, 0);
        break;
    case CSTAFieldKind::DevText:
    case CSTAFieldKind::Bounded:
    case CSTAFieldKind::Plain:
        std::memset(p, 0, f.width);
        break;
    case CSTAFieldKind::CallVars:
        CopyCallVariables(reinterpret_cast<char*>(p), nullptr);
        break;
    case CSTAFieldKind::UserToUser:
        SetUserToUserField(f, nullptr, 0);
        break;
    case CSTAFieldKind::ECC:
        StoreLE32(p, 0);
        break;
    case CSTAFieldKind::Groups:
        std::memset(p, 0, 19 * 32);
        break;
    default:
        SetNumberField(f, f.def);
        break;
    }
}

void TPCSTAMsg::SetConnField(const CSTAField& f, int32_t callID, const char* deviceID,
                             uint32_t deviceIDType) {
    SetConnectionID(FieldPointer(f), callID, deviceID, deviceIDType);
}

void TPCSTAMsg::SetTextField(const CSTAField& f, const char* text) {
    uint8_t* p = FieldPointer(f);
    const size_t limit = f.kind == CSTAFieldKind::Bounded ? f.width - 1u : f.width;
    const size_t n = text ? strnlen(text, limit) : 0;
    if (n) std::memcpy(p, text, n);
    std::memset(p + n, 0, f.width - n);
}

void TPCSTAMsg::SetNumberField(const CSTAField& f, int64_t value) {
    uint8_t* p = FieldPointer(f);
    switch (f.kind) {
    case CSTAFieldKind::U16:
    case CSTAFieldKind::I16:
        StoreLE16(p, static_cast<uint16_t>(value));
        break;
    case CSTAFieldKind::I8:
        p[0] = static_cast<uint8_t>(value);
        break;
    default:
        StoreLE32(p, static_cast<uint32_t>(value));
        break;
    }
}

void TPCSTAMsg::SetCallVariablesField(const CSTAField& f, const char* slots) {
    CopyCallVariables(reinterpret_cast<char*>(FieldPointer(f)), slots);
}

void TPCSTAMsg::SetUserToUserField(const CSTAField& f, const void* data, int32_t length) {
    uint8_t* p = FieldPointer(f);
    // The mark is 0xFFFF in every call-placing request, the consultation's included: no
    // stale bytes travel in its place.
    StoreLE16(p + 2, 0xFFFF);
    if (data && length > 0) {
        const uint16_t n = static_cast<uint16_t>(length > 130 ? 130 : length);
        StoreLE16(p, n);
        std::memcpy(p + 4, data, n);
        p[4 + n] = 0;
    } else {
        StoreLE16(p, 0);
        p[4] = 0;
    }
}

void TPCSTAMsg::SetECCField(const CSTAField& f, int32_t size, const void* data) {
    uint8_t* p = FieldPointer(f);
    const uint32_t n = size <= 0 || !data ? 0 : static_cast<uint32_t>(size > 2000 ? 2000 : size);
    StoreLE32(p, n);
    if (n) std::memmove(p + 4, data, n);
}

void TPCSTAMsg::SetGroupField(const CSTAField& f, int32_t index, const char* text) {
    if (index < 0 || index >= 19) return;
    uint8_t* p = FieldPointer(f) + index * 32;
    const size_t n = text ? strnlen(text, 32) : 0;
    if (n) std::memcpy(p, text, n);
    std::memset(p + n, 0, 32 - n);
}

std::string TPCSTAMsg::TextField(const CSTAField& f) const {
    const uint8_t* p = FieldPointer(f);
    return std::string(reinterpret_cast<const char*>(p), opcbytes::FieldLength(p, f.width));
}

int64_t TPCSTAMsg::NumberField(const CSTAField& f) const {
    const uint8_t* p = FieldPointer(f);
    switch (f.kind) {
    case CSTAFieldKind::U16:
        return LoadLE16(p);
    case CSTAFieldKind::I16:
        return static_cast<int16_t>(LoadLE16(p));
    case CSTAFieldKind::I8:
        return static_cast<int8_t>(p[0]);
    default:
        return LoadLE32(p);
    }
}
