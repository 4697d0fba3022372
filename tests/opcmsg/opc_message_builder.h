#pragma once
// Builds CTI_CSTA_MESSAGE bodies byte by byte, as OPC lays them out, apart from opcmsg's own
// writer, for the reader tests.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/byteorder.h"

namespace opctest {

using Bytes = std::vector<uint8_t>;

inline void Add16(Bytes& b, uint32_t v) {
    b.resize(b.size() + 2);
    plat::StoreLE16(b.data() + b.size() - 2, static_cast<uint16_t>(v));
}
inline void Add32(Bytes& b, uint32_t v) {
    b.resize(b.size() + 4);
    plat::StoreLE32(b.data() + b.size() - 4, v);
}
inline void AddText(Bytes& b, const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) b.push_back(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
}
inline void AddString(Bytes& b, const std::string& s) {
    const size_t size = (s.size() + 6) & ~size_t{3};
    Add16(b, static_cast<uint32_t>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    b.insert(b.end(), size - 2 - s.size(), 0);
}
inline void AddConn(Bytes& b, uint32_t callID, const std::string& dev, uint32_t type) {
    Add32(b, callID);
    AddText(b, dev, 64);
    Add32(b, type);
}
inline void Set32(Bytes& b, size_t at, uint32_t v) { plat::StoreLE32(b.data() + at, v); }

// A received message: fixed part, 18 strings (the first two given), ACS header, body, raw and
// OPC private data.
inline Bytes Message(uint16_t cls, uint16_t type, const Bytes& body, const Bytes& raw = {},
                     const Bytes& opc = {}, const std::string& uii = "",
                     const std::string& dev = "") {
    Bytes m(244, 0);
    Set32(m, 0, 5);
    Set32(m, 8, 0xFFFFFFFF);
    Set32(m, 208, static_cast<uint32_t>(body.size()));
    Set32(m, 212, static_cast<uint32_t>(raw.size()));
    Set32(m, 216, static_cast<uint32_t>(opc.size()));
    Set32(m, 220, 1);
    AddString(m, uii);
    AddString(m, dev);
    for (int i = 0; i < 16; ++i) AddString(m, "");
    Add16(m, 5);
    Add16(m, cls);
    Add16(m, type);
    m.insert(m.end(), body.begin(), body.end());
    m.insert(m.end(), raw.begin(), raw.end());
    m.insert(m.end(), opc.begin(), opc.end());
    return m;
}

// A confirmation body: InvokeID, ClientInvokeID, then its fields.
inline Bytes ConfBody(const Bytes& fields, uint32_t invokeID = 0x01000042,
                      uint32_t clientInvokeID = 77) {
    Bytes b;
    Add32(b, invokeID);
    Add32(b, clientInvokeID);
    b.insert(b.end(), fields.begin(), fields.end());
    return b;
}

}  // namespace opctest
