#pragma once
// Builds CTI_CSTA_MESSAGE bodies and OPC's call message bodies byte by byte, as OPC lays them
// out, apart from opcmsg's own writer and readers, for the reader tests.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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
// An ECC block: u32 length (or the lie given), the BINDATA, NUL fill to a multiple of 4.
inline void AddECC(Bytes& b, const Bytes& ecc, std::optional<uint32_t> lengthLie = {}) {
    Add32(b, lengthLie.value_or(static_cast<uint32_t>(ecc.size())));
    b.insert(b.end(), ecc.begin(), ecc.end());
    b.resize(b.size() + ((4 - ecc.size() % 4) % 4), 0);
}

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
                opctest::AddECC(m, ecc, eccLength);
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

// Runs a body reader on `bytes` copied into a heap block of exactly their size, so that ASan
// sees any read past them.
template <class Out, class Result>
Result ParseExact(Result (*parse)(const uint8_t*, size_t, Out*), const Bytes& bytes, Out* out) {
    auto block = std::make_unique<uint8_t[]>(bytes.size() ? bytes.size() : 1);
    std::copy(bytes.begin(), bytes.end(), block.get());
    return parse(block.get(), bytes.size(), out);
}

// CTI_CALL_CREATED_EVENT, or CTI_CALL_DATA_UPDATE_EVENT when `update`, field by field. The
// words the server does not read hold kUnread bytes, so a field read from them shows.
struct CallDataBuilder {
    static constexpr uint8_t kUnread = 0xA5;
    bool update = false;
    uint32_t peripheralID = 5000;
    uint16_t peripheralType = 30;
    uint16_t callType = 1;
    uint16_t calledPartyDisposition = 0;
    uint32_t campaignID = 0;
    uint32_t queryRuleID = 0;
    uint32_t callID = 0;
    uint32_t trunkGroup = 0;
    uint16_t active = 0;  // update only
    uint32_t srcType = 0;
    uint32_t destType = 0;
    std::array<uint32_t, 3> routerCallKey{};
    uint32_t hint = 0;  // a u16 in an update
    int16_t srcState = 0;   // update only
    int16_t destState = 0;  // update only
    // Source and destination device ID, ANI, UserToUser, DNIS, CED, DialedNumber,
    // CallWrapupData, CustomerPhoneNumber, CustomerAccountNumber.
    std::array<std::string, 10> texts{};
    std::array<std::string, 10> callVariables{};
    std::string srcAgentExtension, destAgentExtension;  // update only
    Bytes ecc;
    std::vector<std::pair<std::string, uint32_t>> history;  // signature, time stamp
    // Lies: a stated length other than the real one.
    std::optional<uint32_t> eccLength;
    std::optional<int16_t> historyCount;

    Bytes Encode() const {
        Bytes m(update ? 60 : 56, kUnread);
        Set32(m, 0, peripheralID);
        plat::StoreLE16(m.data() + 4, peripheralType);
        plat::StoreLE16(m.data() + 6, static_cast<uint16_t>(
                                          historyCount.value_or(static_cast<int16_t>(history.size()))));
        plat::StoreLE16(m.data() + 8, callType);
        plat::StoreLE16(m.data() + 10, calledPartyDisposition);
        Set32(m, 12, campaignID);
        Set32(m, 16, queryRuleID);
        if (update) {
            Set32(m, 20, callID);
            Set32(m, 24, trunkGroup);
            plat::StoreLE16(m.data() + 28, active);
            Set32(m, 32, srcType);
            Set32(m, 36, destType);
            plat::StoreLE16(m.data() + 52, static_cast<uint16_t>(hint));
            plat::StoreLE16(m.data() + 54, static_cast<uint16_t>(srcState));
            plat::StoreLE16(m.data() + 56, static_cast<uint16_t>(destState));
        } else {
            Set32(m, 24, callID);
            Set32(m, 28, srcType);
            Set32(m, 32, destType);
            Set32(m, 36, trunkGroup);
            Set32(m, 52, hint);
        }
        for (size_t i = 0; i < 3; ++i) Set32(m, 40 + 4 * i, routerCallKey[i]);
        for (const auto& t : texts) AddString(m, t);
        for (const auto& v : callVariables) AddString(m, v);
        if (update) {
            AddString(m, srcAgentExtension);
            AddString(m, destAgentExtension);
        }
        AddECC(m, ecc, eccLength);
        for (const auto& [signature, stamp] : history) {
            AddString(m, signature);
            Add32(m, stamp);
        }
        return m;
    }
};

// CTI_CALL_TERMINATED_EVENT, CTI_CALL_DEACTIVATED_EVENT, CTI_CALL_REACTIVATED_EVENT.
inline Bytes CallStateBody(uint32_t peripheralID, uint32_t callID, uint32_t deviceType,
                           uint32_t hint, const std::string& device) {
    Bytes b;
    Add32(b, peripheralID);
    Add32(b, 0xA5A5A5A5);  // not read
    Add32(b, callID);
    Add32(b, deviceType);
    Add32(b, hint);
    AddString(b, device);
    return b;
}

// CTI_CALL_RECLASSIFIED_EVENT.
inline Bytes CallReclassifiedBody(uint32_t peripheralID, uint32_t oldCallID, uint32_t newCallID,
                                  uint32_t oldType, uint32_t newSrcType, uint32_t newDestType,
                                  uint32_t hint, const std::string& oldDevice,
                                  const std::string& newSrc, const std::string& newDest) {
    Bytes b;
    Add32(b, peripheralID);
    Add32(b, 0xA5A5A5A5);  // not read
    for (uint32_t v : {oldCallID, newCallID, oldType, newSrcType, newDestType, hint}) Add32(b, v);
    AddString(b, oldDevice);
    AddString(b, newSrc);
    AddString(b, newDest);
    return b;
}

// CTI_CALL_TYPE_CHANGED_EVENT.
inline Bytes CallTypeChangedBody(uint32_t peripheralID, uint32_t callID, uint32_t deviceType,
                                 uint32_t callTypeID, const std::string& device) {
    Bytes b;
    for (uint32_t v : {peripheralID, callID, deviceType, callTypeID}) Add32(b, v);
    AddString(b, device);
    return b;
}

}  // namespace opctest
