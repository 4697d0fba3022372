#pragma once
// The trace texts of CSTA events: the one line that names an unsolicited event with its
// identifiers, local connection state and cause (written before the event is dispatched,
// while the call-state trace or TR_PROC_6 is on), its identifier pieces, and the value texts
// the event handlers use in their own traces.
//
// In their own namespace: the model names the local connection states for its connection
// listings with a text of its own for an unknown state.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "opcmsg/tpcstamsg.h"
#include "parlo/model/csta.h"

namespace cstatrace {

// The event line's buffer: 512 bytes, so at most 511 characters; what does not fit is cut.
class TraceLine {
public:
    static constexpr size_t kCapacity = 511;
    void Append(std::string_view text);
    void Appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

// "label=callID.deviceID(s) ": "(s)" for devIDType 0, "(d)" for 1, else
// "(*** INVALID IDTYPE %d ***)".
void AppendConnectionPiece(TraceLine& line, const ConnectionID& id, const char* label);
// "label=" then "ID_NOT_KNOWN " for a status other than 0, else the type's text, the
// deviceID and a blank.
void AppendDevicePiece(TraceLine& line, const CSTAExtendedDeviceID& id, const char* label);
// As AppendDevicePiece without the type's text.
void AppendDeviceNoTypePiece(TraceLine& line, const CSTAExtendedDeviceID& id, const char* label);

// The lines the event report writes for the record's body (the event of `eventType`): the
// event line, and for the service-initiated and recording-target-info events the lines of
// `opcBlock` (the second private-data block, null when the message had none). An event type
// without a line gives "CSTADisplayCallEventReports: Unknown callEventReport %d specified.".
// Party lists are read only as far as the record's first private data holds them.
std::vector<std::string> CallEventReportLines(const CSTAEventRecord& record, int32_t eventType,
                                              const uint8_t* opcBlock);

// The value texts. Each returns constant text, but CSTADeviceIDTypeText for a type without a
// name: "(*UNKNOWN TYPE %d*)" with the number.
const char* CSTALocalConnectionStateText(int32_t state);  // "UnkownState" when unknown
const char* CSTASilentMonitorStatusText(int32_t status);  // "UnkownStatus" when unknown
const char* CTIHintText(int32_t hint);                    // "(?\?UNKNOWN_CTI_HINT?\?)"
std::string CSTADeviceIDTypeText(int32_t type);

}  // namespace cstatrace

// Writes CallEventReportLines to the EMS trace, each as one trace line.
void CSTADisplayCallEventReports(const CSTAEventRecord& record, int32_t eventType, const uint8_t* opcBlock);
