#pragma once
// The CSTA intake: one received CTI_CSTA_MESSAGE as its handlers see it, the checks of the
// values OPC reports in it (the sanitisers), the copies of its identifiers into client
// messages, and the frame every call-event handler runs. Application thread.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "opcmsg/cstawire.h"
#include "opcmsg/tpcstamsg.h"
#include "parlo/model/csta.h"
#include "platform/byteorder.h"

class BaseMSG;
class Call;
class CTIApplication;
class CTICSTADevice;

// A received CTI_CSTA_MESSAGE after UnpackCSTAMessage accepted it: the fixed part of its body
// and the record unpacked from it. Both stay the caller's and must outlive this view (one
// dispatch); the fixed part holds cstamsg::kFixedPart bytes, as the unpacker checked.
class CSTAMessage {
public:
    CSTAMessage(const uint8_t* body, const CSTAEventRecord& record) : body_(body), record_(record) {}

    uint32_t PeripheralID() const { return Word(cstamsg::kPeripheralID); }
    // The OPC's internal peripheral type.
    int16_t PeripheralType() const {
        return static_cast<int16_t>(plat::LoadLE16(body_ + cstamsg::kPeripheralType));
    }
    uint16_t TaskBegun() const { return plat::LoadLE16(body_ + cstamsg::kTaskBegun); }
    int32_t CallID() const { return static_cast<int32_t>(Word(cstamsg::kCallID)); }
    int32_t SkillTargetID() const { return static_cast<int32_t>(Word(cstamsg::kSkillTargetID)); }
    // Word 0 to 2 of the task ID and of the previous task ID (0 for another word).
    uint32_t TaskID(int word) const { return word >= 0 && word < 3 ? Word(cstamsg::kTaskID + 4 * static_cast<uint32_t>(word)) : 0; }
    uint32_t PreviousTaskID(int word) const {
        return word >= 0 && word < 3 ? Word(cstamsg::kPreviousTaskID + 4 * static_cast<uint32_t>(word)) : 0;
    }
    // The main connection's device ID type as the call look-ups read it (16 bits).
    int16_t ConnectionDeviceIDType() const {
        return static_cast<int16_t>(plat::LoadLE16(body_ + cstamsg::kConnectionDeviceIDType));
    }
    // Word 0 to 43 of the event-specific area (0 for another index).
    uint32_t AreaWord(int index) const {
        return index >= 0 && index < static_cast<int>(kCSTASkillGroupSlots)
                   ? Word(cstamsg::kArea + 4 * static_cast<uint32_t>(index))
                   : 0;
    }
    uint32_t MRDomainID() const { return Word(cstamsg::kMRDomainID); }
    uint16_t Disposition() const { return plat::LoadLE16(body_ + cstamsg::kDisposition); }
    uint16_t ApplicationDisposition() const { return plat::LoadLE16(body_ + cstamsg::kApplicationDisposition); }
    uint32_t RawPrivateDataLength() const { return Word(cstamsg::kRawLength); }
    uint32_t OPCPrivateDataLength() const { return Word(cstamsg::kOPCLength); }

    const CSTAEventRecord& Record() const { return record_; }
    // String 1, the unique instance ID of the session whose request a confirmation answers.
    std::string_view UniqueInstanceID() const { return record_.UniqueInstanceID; }
    // String 2, the main connection's device ID, as a text up to its first NUL.
    std::string MainDeviceID() const {
        const std::string_view s = record_.DeviceID;
        return std::string(s.substr(0, s.find('\0')));
    }
    // The second private-data block when the message carried any, else null.
    const uint8_t* OPCBlockOrNull() const { return OPCPrivateDataLength() >= 1 ? record_.OPCBlock() : nullptr; }

private:
    uint32_t Word(uint32_t offset) const { return plat::LoadLE32(body_ + offset); }
    const uint8_t* body_;
    const CSTAEventRecord& record_;
};

// Offsets of the unsolicited events' fields from the start of the event body (the record's
// EventBody: the monitor cross-reference word, then the event's own fields). Connections
// (ConnectionID) and devices (extended device IDs) take 72 bytes each; LCS and cause are
// 32-bit.
namespace cstabody {
constexpr uint32_t kMain = 4;     // the event's first connection (its main one)
constexpr uint32_t kSecond = 76;  // the second identifier
constexpr uint32_t kThird = 148;
constexpr uint32_t kFourth = 220;
constexpr uint32_t kFifth = 292;
// call cleared, service initiated: connection, LCS, cause
constexpr uint32_t kOneIdLCS = 76, kOneIdCause = 80;
// connection cleared, held, retrieved: connection, device, LCS, cause
constexpr uint32_t kTwoIdLCS = 148, kTwoIdCause = 152;
// diverted, failed, network reached, originated: connection, two devices, LCS, cause
constexpr uint32_t kThreeIdLCS = 220, kThreeIdCause = 224;
// delivered, established: connection, four devices, LCS, cause
constexpr uint32_t kFiveIdLCS = 364, kFiveIdCause = 368;
// queued: connection, four devices, a 16-bit count of the queued, LCS, cause
constexpr uint32_t kQueuedLCS = 368, kQueuedCause = 372;
// conferenced, transferred: two connections, two devices, the party count and the offset of
// the party list in the first private data (entries of kPartyEntrySize bytes: the party's
// connection, then its static device), LCS, cause
constexpr uint32_t kPartyCount = 292, kPartyListOffset = 296, kPartyLCS = 300, kPartyCause = 304;
constexpr uint32_t kPartyEntrySize = 144;
// call information: connection, device, 32-byte account text, 32-byte authorisation code
constexpr uint32_t kAccountInfo = 148, kAuthorisationCode = 180, kCallInfoTextSize = 32;
// agent greeting: connection, 36-byte GreetingType text, EventCode, PeripheralErrorCode
constexpr uint32_t kGreetingType = 76, kGreetingTypeSize = 36, kGreetingEventCode = 112,
                   kGreetingPeripheralErrorCode = 116;
// recording events: connection, device, and for recording failed a cause
constexpr uint32_t kRecordingCause = 148;
}  // namespace cstabody

// The 72-byte extended device ID of an event body: char[64] deviceID, u32 type, u32 status.
constexpr uint32_t kExtendedDeviceIDWireSize = 72;
CSTAExtendedDeviceID ReadExtendedDeviceID(const uint8_t* wire);

// ---- sanitisers: each checks one value OPC reported and replaces a bad one in place ----
// The first four warn on the first rejection and every 1024th after it, counted per check
// (the connection-ID and device-ID checks share a counter); the line type warns every time.
// A connection with a devIDType other than 0 or 1 becomes type 0 with an empty deviceID.
void SanitizeConnectionID(ConnectionID& id);
// A device ID type other than 0, 1 or -1 becomes 0 and `deviceID` (a terminated text) empty.
void SanitizeDeviceID(int32_t& deviceIDType, char* deviceID);
// Outside -1 (CS_NONE) .. 6 (CS_FAIL): -1.
void SanitizeLocalConnectionState(int32_t& state);
// Other than -1, 1 to 61 and 1001 to 1066: -1.
void SanitizeEventCause(int32_t& cause);
// Outside 0 .. 11: 3 (LINETYPE_UNKNOWN).
void SanitizeLineType(int32_t& lineType);

// The rejection counters (rejections modulo 1024; copies: bad connection copies modulo 512).
// Application thread; tests reset them.
struct CSTASanitizerCounters {
    uint32_t identifiers = 0;  // connection IDs and device IDs
    uint32_t states = 0;
    uint32_t causes = 0;
    uint32_t connectionCopies = 0;
};
CSTASanitizerCounters& SanitizerCounters();

// ---- identifiers into client messages ----
// A devIDType of 0 or 1 goes as the 16-bit `typeElement` with the deviceID as `idElement`;
// any other as type 0 and an empty ID, traced on the first and every 512th such copy.
void CopyConnectionIDToMSG(const ConnectionID& id, BaseMSG& msg, uint32_t typeElement,
                           uint32_t idElement);
// Status 0: the type (0, 70, 71, 75 or 78 as it is, any other as 0) and the ID. Any other
// status: only the type element, 0xFFFF.
void CopyDeviceIDToMSG(const CSTAExtendedDeviceID& id, BaseMSG& msg, uint32_t typeElement,
                       uint32_t idElement);

// ---- the event tables (cstaeventtable.def) ----
enum class CSTAEventState : uint8_t { Built, Later, Unimplemented };
struct CSTAEventRoute {
    uint16_t type;        // the CSTA event type
    const char* name;     // its CSTA name
    const char* handler;  // "CTIApplication::..."
    CSTAEventState state;
    void (CTIApplication::*function)(const CSTAMessage& message);
};
struct CSTAPrivateRoute {
    uint32_t type;  // the private message type
    const char* name;
    const char* handler;
    CSTAEventState state;
    // Null for Unimplemented rows.
    void (CTIApplication::*function)(const CSTAMessage& message, const uint8_t* data, uint32_t length);
};
// The rows in table order, and the row of one type (null outside the table). Static data.
std::span<const CSTAEventRoute> CSTAEventRoutes();
std::span<const CSTAPrivateRoute> CSTAPrivateRoutes();
const CSTAEventRoute* FindCSTAEventRoute(int64_t type);
const CSTAPrivateRoute* FindCSTAPrivateRoute(int64_t type);

// ---- the frame of the call-event handlers ----
// One event's run through the steps every call-event handler shares, in this order:
//   CallEventFrame frame(app, message, "ProcessCallHeldEvent");
//   if (frame.AreaTraceOn()) EMSTraceMessage(<the handler's area words>);   // area trace
//   frame.Sanitize(&connection, &lcs, &cause);                               // sanitise
//   CTICSTADevice* device = frame.FindDevice(holdingDevice, "hint");         // device look-up
//   Call* call = frame.FindCall(fallback, "...%s...");                       // call look-up
//   if (call == nullptr) return;
//   frame.CheckState(&lcs, expected, "...%d...%s...%s...");                  // state check
//   ... the handler's own model changes ...
//   if (auto msg = frame.NewEvent<CallHeldEventMSG>(connection)) {           // event
//       ... the handler's fields ...
//       frame.Distribute(*msg);                                              // validate, send
//   }
//   frame.Finish("last event");                                              // bookkeeping
// Application thread; the model operations take their locks themselves.
class CallEventFrame {
public:
    // `app` gives the call-state trace switch; `handler` labels the validation. Both, and the
    // message, outlive the frame.
    CallEventFrame(const CTIApplication& app, const CSTAMessage& message, const char* handler);

    // The call-state trace or TR_PROC_6: the handler traces its area words.
    bool AreaTraceOn() const;
    // Sanitises what is given (each may be null).
    static void Sanitize(ConnectionID* connection, int32_t* localConnectionState, int32_t* cause);
    // The device of `id` on the message's peripheral, made when unknown unless `create` is
    // false (hint: its origin); null when the ID is not provided or not a usable device. The
    // device stays the model's.
    CTICSTADevice* FindDevice(const CSTAExtendedDeviceID& id, const char* hint, bool create = true);
    // The active call of the message's CallID, ConnectionDeviceIDType and main device ID
    // (string 2); with `fallback`, else the newest active call of that CallID at any device.
    // None found: `notFound` is traced with the PeripheralID (%d) and the connection text
    // ("callID.deviceID(s)", %s), and null returned. The call is kept for the steps below.
    Call* FindCall(bool fallback, const char* notFound);
    Call* GetCall() const { return call_; }
    // Runs the steps below on a call found by another look-up (not null).
    void UseCall(Call* call) { call_ = call; }
    // A state other than `expected` is traced with `format` (PeripheralID %d, connection text
    // %s, the state's name %s) and replaced by `expected`.
    void CheckState(int32_t* localConnectionState, int32_t expected, const char* format) const;
    // The event, only while the OPC link is server-active (else null): MonitorID 0, the call's
    // PeripheralID and PeripheralType, ConnectionDeviceIDType and ConnectionDeviceID of
    // `connection`, the call's CallID. Messages built with trace flags take the periph and
    // ECC variables switches. FindCall must have found the call. The caller owns the message.
    template <class Msg>
    std::unique_ptr<Msg> NewEvent(const ConnectionID& connection) const {
        if (!ServerActive()) return nullptr;
        std::unique_ptr<Msg> msg;
        if constexpr (std::is_constructible_v<Msg, bool, bool>)
            msg = std::make_unique<Msg>(TraceECCVariables(), TracePeriphVariables());
        else
            msg = std::make_unique<Msg>();
        SetCommonFields(*msg, connection);
        return msg;
    }
    // Sends a valid message through the call (its watchers, then each connection's device);
    // an invalid one is traced and not sent. 1 when sent.
    int Distribute(BaseMSG& msg, bool setState = true, bool passConnection = false) const;
    // The call's last event, and its state to the trace while the call-state trace is on.
    void Finish(const char* lastEvent) const;
    // The connection text of the message's main connection.
    std::string ConnectionText() const;

private:
    static bool ServerActive();
    static bool TraceECCVariables();
    static bool TracePeriphVariables();
    void SetCommonFields(BaseMSG& msg, const ConnectionID& connection) const;

    const CTIApplication& app_;
    const CSTAMessage& message_;
    const char* handler_;
    Call* call_ = nullptr;
};
