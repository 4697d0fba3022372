#pragma once
// CTI_CSTA_MESSAGE as OPC sends it, field by field, for the application's CSTA tests: the
// fixed part, the eighteen strings with the ECC block at position 17, the ACS header, the
// event body and both private data. Any stated length can be made to lie.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "tests/opcmsg/opc_message_builder.h"

namespace cstatest {

using opctest::Bytes;

// CSTA event classes and the few CSTA numbers the tests write (the server's side takes them
// from opcmsg's tables).
constexpr uint16_t kUnsolicited = 4, kConfirmation = 5, kEventReport = 6;
constexpr uint16_t kPrivateEvent = 93, kUniversalFailure = 53;

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
    uint16_t eventClass = kUnsolicited;
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

// A confirmation of `type` for the request with `invokeID` (the OPC's) and `clientInvokeID`,
// sent by the session whose unique instance ID is `uniqueID`.
inline CSTAMessageBuilder Confirmation(uint16_t type, uint32_t invokeID, uint32_t clientInvokeID,
                                       const std::string& uniqueID, const Bytes& fields = {},
                                       const Bytes& opc = {}) {
    CSTAMessageBuilder b;
    b.eventClass = kConfirmation;
    b.eventType = type;
    b.body = opctest::ConfBody(fields, invokeID, clientInvokeID);
    b.opc = opc;
    b.strings[0] = uniqueID;
    return b;
}

// A universal failure with `error` and, unless omitted, the peripheral error code as the
// first word of its private data.
inline CSTAMessageBuilder UniversalFailure(uint32_t invokeID, uint32_t clientInvokeID,
                                           const std::string& uniqueID, uint32_t error,
                                           std::optional<uint32_t> peripheralError) {
    Bytes fields, opc;
    opctest::Add32(fields, error);
    if (peripheralError) opctest::Add32(opc, *peripheralError);
    return Confirmation(kUniversalFailure, invokeID, clientInvokeID, uniqueID, fields, opc);
}

// An unsolicited event of `type` whose body is the monitor cross-reference word and `fields`.
inline CSTAMessageBuilder Unsolicited(uint16_t type, const Bytes& fields = {}) {
    CSTAMessageBuilder b;
    b.eventClass = kUnsolicited;
    b.eventType = type;
    opctest::Add32(b.body, 0);
    b.body.insert(b.body.end(), fields.begin(), fields.end());
    return b;
}

// The private event carrying private message `privateType` with `data` after its type word.
inline CSTAMessageBuilder PrivateEvent(uint32_t privateType, const Bytes& data = {}) {
    CSTAMessageBuilder b;
    b.eventClass = kEventReport;
    b.eventType = kPrivateEvent;
    opctest::Add32(b.body, 0);
    opctest::Add32(b.opc, privateType);
    b.opc.insert(b.opc.end(), data.begin(), data.end());
    return b;
}

}  // namespace cstatest
