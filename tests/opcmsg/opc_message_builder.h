#pragma once
// Builds CTI_CSTA_MESSAGE bodies byte by byte, as OPC lays them out, apart from opcmsg's own
// writer, for the reader tests.
#include <array>
#include <cstdint>
#include <optional>
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

// One CTI_CSTA_MESSAGE field by field: the fixed part, the eighteen strings with the ECC block
// at position 17 (u32 length, the BINDATA, NUL fill to 4), the ACS header, the event body and
// both private data. Each stated length can be made to lie.
struct CSTAMessageBuilder {
    uint32_t peripheralID = 5000;
    uint16_t peripheralType = 30;
    uint16_t taskBegun = 0;
    uint32_t callID = 0xFFFFFFFF;
    uint32_t skillTargetID = 0xFFFFFFFF;
    std::array<uint32_t, 3> taskID{};
    uint32_t connectionDeviceIDType = 0;
    std::array<uint32_t, 44> area = [] {
        std::array<uint32_t, 44> a{};
        a.fill(0xFFFFFFFF);
        return a;
    }();
    uint32_t mrDomainID = 1;
    // strings[0] is position 1 (the unique instance ID), strings[1] position 2 (the main
    // connection's device ID); position 17 is the ECC block below, its string here unused.
    std::array<std::string, 18> strings{};
    Bytes ecc;
    uint16_t acsPeripheralID = 0;
    uint16_t eventClass = 4;
    uint16_t eventType = 0;
    Bytes body;
    Bytes raw;  // first private data
    Bytes opc;  // second private data
    // Lies: a stated length other than the real one.
    std::optional<uint32_t> bodyLength, rawLength, opcLength, eccLength;

    // The body after the ServerNumber word.
    Bytes Encode() const {
        Bytes m(244, 0);
        opctest::Set32(m, 0, peripheralID);
        plat::StoreLE16(m.data() + 4, peripheralType);
        plat::StoreLE16(m.data() + 6, taskBegun);
        opctest::Set32(m, 8, callID);
        opctest::Set32(m, 12, skillTargetID);
        for (size_t i = 0; i < 3; ++i) opctest::Set32(m, 16 + 4 * i, taskID[i]);
        opctest::Set32(m, 28, connectionDeviceIDType);
        for (size_t i = 0; i < area.size(); ++i) opctest::Set32(m, 32 + 4 * i, area[i]);
        opctest::Set32(m, 208, bodyLength.value_or(static_cast<uint32_t>(body.size())));
        opctest::Set32(m, 212, rawLength.value_or(static_cast<uint32_t>(raw.size())));
        opctest::Set32(m, 216, opcLength.value_or(static_cast<uint32_t>(opc.size())));
        opctest::Set32(m, 220, mrDomainID);
        for (size_t i = 0; i < strings.size(); ++i) {
            if (i + 1 == 17) {
                opctest::Add32(m, eccLength.value_or(static_cast<uint32_t>(ecc.size())));
                m.insert(m.end(), ecc.begin(), ecc.end());
                m.resize(m.size() + ((4 - ecc.size() % 4) % 4), 0);
            } else {
                opctest::AddString(m, strings[i]);
            }
        }
        opctest::Add16(m, acsPeripheralID);
        opctest::Add16(m, eventClass);
        opctest::Add16(m, eventType);
        m.insert(m.end(), body.begin(), body.end());
        m.insert(m.end(), raw.begin(), raw.end());
        m.insert(m.end(), opc.begin(), opc.end());
        return m;
    }
    // The whole OPC payload: the ServerNumber word, then Encode().
    Bytes Payload(uint32_t serverNumber = 0) const {
        Bytes p;
        opctest::Add32(p, serverNumber);
        const Bytes m = Encode();
        p.insert(p.end(), m.begin(), m.end());
        return p;
    }
};

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
