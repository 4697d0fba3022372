#pragma once
// CTI_CSTA_MESSAGE as OPC sends it, for the application's CSTA tests: the encoder
// (opctest::CSTAMessageBuilder: every field, the ECC block at position 17, any stated length
// made to lie) and the confirmations, failures and events built on it.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "opcmsg/cstawire.h"
#include "opcmsg/tpcstamsg.h"
#include "tests/opcmsg/opc_message_builder.h"

namespace cstatest {

using opctest::Bytes;
using opctest::CSTAMessageBuilder;

// CSTA event classes and the few CSTA numbers the tests write (the server's side takes them
// from opcmsg's tables).
constexpr uint16_t kUnsolicited = 4, kConfirmation = 5, kEventReport = 6;
constexpr uint16_t kPrivateEvent = 93, kUniversalFailure = 53;

// An extended device ID of an event body: 64-byte device ID, type, status.
inline void AddDevice(Bytes& b, const std::string& deviceID, uint32_t type, uint32_t status = 0) {
    opctest::AddText(b, deviceID, 64);
    opctest::Add32(b, type);
    opctest::Add32(b, status);
}

// A message unpacked as the intake unpacks it; the bytes stay with the record's views.
struct Unpacked {
    Bytes bytes;
    std::unique_ptr<CSTAEventRecord> record = std::make_unique<CSTAEventRecord>();
    bool ok = false;
    explicit Unpacked(const CSTAMessageBuilder& m) : bytes(m.Encode()) {
        ok = UnpackCSTAMessage(bytes.data(), static_cast<uint32_t>(bytes.size()), record.get());
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
