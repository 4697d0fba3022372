#pragma once
// Small helpers the application's handlers share: connection texts, meters, the FILETIME
// clock, bounded formatting into fixed buffers, what the session layer knows of a session,
// the DEFINITY peripheral test, the call variables of a request and the helpers of the CSTA
// event handlers. The formatting and the texts are pure; the model helpers run on the
// application thread, which changes the model.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "parlo/model/validate.h"

class BaseMSG;
class Call;
struct CSTAExtendedDeviceID;

// ValidateMessage, the check before a message goes to clients, is the model's
// (parlo/model/validate.h), shared with the session layer: 1 when the message may go, else
// 0 with the refusal traced.

// Appends "callID." and, unless type is -1, the device ID with "(s)", "(d)" or the
// invalid-type text.
void AppendConnectionIDText(std::string& text, int32_t callID, int32_t type,
                            const char* deviceID);

// The server's meter `meter` (meter::, parlo/common/meterids.h) += the milliseconds since
// `sinceNs` on the monotonic clock, through the application's server port.
void UpdateMeterSince(int meter, int64_t sinceNs);

// The current UTC time as a FILETIME count, on the injectable clock.
uint64_t FileTimeNow();
// Fills `out` with FileTimeNow() and returns it.
uint64_t GetFileTimeNow(uint64_t& out);

// printf into a buffer of N bytes (32, 64, 80, 128, 256 or 512): at most min(count, N - 1)
// characters, always terminated. Returns the formatter's count, or -1 on a failure or a cut.
// Count 0 leaves the empty text and returns 0.
[[nodiscard]] int BoundedVsprintf(char* buffer, size_t size, size_t count, const char* format, va_list args);
template <size_t N>
[[nodiscard]] int BoundedSprintf(char (&buffer)[N], size_t count, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
template <size_t N>
[[nodiscard]] int BoundedSprintf(char (&buffer)[N], size_t count, const char* format, ...) {
    static_assert(N == 32 || N == 64 || N == 80 || N == 128 || N == 256 || N == 512);
    va_list args;
    va_start(args, format);
    const int result = BoundedVsprintf(buffer, N, count, format, args);
    va_end(args);
    return result;
}

// Appends as much of text as the 65-byte buffer still holds (64 characters in all); a full
// buffer or a null text changes nothing. Returns the buffer.
char* BoundedStrcat(char (&buffer)[65], const char* text);
// Empties the buffer, then copies up to min(count, 131) characters of text when that is at
// least 2.
void BoundedCopy(char (&buffer)[132], const char* text, size_t count);

// What the session layer knows of a session. FindSessionFacts looks it up under the session
// layer's master lock; false (and `out` untouched) when there is no master or no session object
// for that SessionID.
struct SessionFacts {
    bool secure = false;           // a TLS connection
    std::string uniqueInstanceID;  // the OPEN_REQ's UniqueInstanceID, empty when none
};
[[nodiscard]] bool FindSessionFacts(int32_t sessionID, SessionFacts& out);

// True for the internal peripheral types 12 and 1 (the DEFINITY switches).
bool IsDefinityPeripheralType(int16_t type);

// The text of a string element of `msg`; empty when the element is absent.
std::string ElementText(BaseMSG& msg, uint32_t element);

// The text of an absent call variable.
inline constexpr const char* kAbsentCallVariable = "\xFF";

// CallVariable1..10 of a request: the present text, else the absent marker. The UTF8 forms
// convert a present text to the local code page and keep the client's text when the
// conversion gives nothing.
void GetCallVariables(BaseMSG& msg, std::string (&out)[10]);
void GetCallVariablesUTF8(BaseMSG& msg, std::string (&out)[10]);
// The same into 41-byte buffers (at most 40 characters): an absent variable of a
// MAKE_CALL_REQ is the empty text, of any other request the absent marker.
void GetRequestCallVariables(BaseMSG& msg, char (&out)[10][41]);
void GetRequestCallVariablesUTF8(BaseMSG& msg, char (&out)[10][41]);

// For a plain device (status 0, type 0 or 78): puts the call on the line of the agent whose
// extension is the device ID, if any.
void UpdateAgentLineForDevice(int32_t peripheralID, const CSTAExtendedDeviceID& device,
                              int32_t callID, int32_t deviceIDType, const char* deviceID,
                              int32_t lineIndex, int32_t lineType);
// For a plain device with an ID: the call's source extension (and the agent's AgentID when
// an agent has that extension).
void SetCallSourceAgent(int32_t peripheralID, const CSTAExtendedDeviceID& device, Call* call);
// The same for the call's destination: DestExtension, and DestAgentID when an agent has it.
void SetCallDestAgent(int32_t peripheralID, const CSTAExtendedDeviceID& device, Call* call);

// One party of a call-party update for a non-ACD device (device types 10 and 11): the
// connection of the call with the party's device ID type and extension (the second part of
// its device ID) takes the party's device ID and local connection state. Returns 1 when a
// connection was updated, else 0; `changed` is set to 1 when none was found or its state
// moved (left as it is otherwise).
[[nodiscard]] int HandleCallPartyUpdateIndForNonAcdDevices(int32_t callID, const char* deviceID,
                                             int32_t deviceIDType, int32_t localConnectionState,
                                             int32_t deviceType, Call* call, int& changed);
