#pragma once
// What the output side decides for each receiving session, as functions over small views of
// a session: which lists a distribution walks, the event-mask, peripheral, standby and
// stopping filters, the agent-event change filter, and the per-recipient tailoring of an
// encoded frame (re-encode for version and masks, UTF-8 for "Tressik" clients). The session
// layer fills the views under its locks; nothing here takes a lock or keeps a pointer.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/servicemask.h"

class TransportMSG;

// Bits of a session's own trace flags (SessionProtocol::SetTraceFlags, RecipientView).
namespace sessiontrace {
inline constexpr uint32_t kSession = 0x01;  // the session's life and what is distributed to it
inline constexpr uint32_t kInput = 0x02;    // every message it sends, and invalid ones dumped
inline constexpr uint32_t kOutput = 0x04;   // every message sent to it
}  // namespace sessiontrace

// A peripheral binding of 0xFFFFFFFF means every peripheral.
inline constexpr uint32_t kAnyPeripheral = 0xFFFFFFFF;
// The agent state that stands for none: UNKNOWN, the one state without a bit in the
// agent-state mask (outfilter.cpp checks the row).
inline constexpr int32_t kNoAgentState = agentstate::UNKNOWN;

// The filter and tailoring inputs of one receiving session. registeredVariables is null
// when the client registered none (all ECC variables go), else its list (empty = none); it
// must outlive the call it is passed to.
struct RecipientView {
    uint32_t sessionID = 0;
    uint32_t state = 0;
    uint32_t version = 24;
    uint32_t peripheralID = kAnyPeripheral;
    uint32_t serviceMask = 0;
    uint32_t callMsgMask = 0;
    uint32_t agentStateMask = 0;
    uint32_t registeredCallVars = ALL_CALL_VARIABLES;
    const ECCSelection* registeredVariables = nullptr;
    bool tressik = false;  // ClientSignature is exactly "Tressik"
    uint32_t traceFlags = 0;
};

// What a frame was encoded for; tailoring updates it with the frame.
struct FrameStamp {
    uint32_t msgType = 0;
    uint32_t version = 24;
    uint32_t serviceMask = 0;
};

// ---- recipient choice ----
// The lists a distribution walks, in delivery order. Values outside 0..11 walk nothing.
enum class RecipientList : uint8_t {
    Explicit,  // the explicit device list
    AllSessions,
    AllEvents,
    PeripheralMonitor,
    ClientMonitor,
    Supervisor,
    Server,
    WEXA,
    AllTaskEvents,
    TaskMonitor,
};
std::span<const RecipientList> DistributionLists(int distribution);
// The service bit whose list a RecipientList is; 0 for Explicit and AllSessions.
uint32_t ServiceBitOfList(RecipientList list);

// ---- filters ----
// The agent state the distributor filters an event by: AGENT_STATE_EVENT's SkillGroupState,
// kNoAgentState for every other type.
int32_t DistributionAgentState(BaseMSG& msg);
// Whether the session's call-event or agent-state mask lets the type through.
bool PassesEventMasks(const RecipientView& session, uint32_t msgType, int32_t agentState);
// Whether SendSessionMSG hands the message on (false: the frame is dropped, result 1):
// peripheral binding, then standby, then the server's stopping state.
bool PassesSendFilters(const RecipientView& session, BaseMSG& msg, bool serverStopping);

// The agent's memory of what went last to all-events clients.
struct AgentEventMemory {
    int32_t lastState = kNoAgentState;
    uint32_t lastAvailability = 0;
};
// Decides whether an agent event is a change (and updates memory as the decision requires):
// states 0/1 always; reason 999 repeating the last state never; the same state and
// availability with a reason other than 50020 only when the agent's current reason code
// differs from the event's (reasonCodeChanged).
[[nodiscard]] bool AgentEventChanged(AgentEventMemory& memory, uint16_t skillGroupState, uint16_t agentState,
                                     uint16_t eventReasonCode, uint32_t availability,
                                     bool reasonCodeChanged);

// ---- tailoring ----
// Whether UTF-8 conversion may run at all: the master's host says (the application's
// DisableUTF8Conversion); without a master, no.
bool UTF8ConversionAllowed();

// Stores a re-encoded frame of `length` bytes (header included) in place of the old one;
// 1, or 0 when it cannot be kept (the frame must then not be sent).
using FrameReplacer = std::function<int(const uint8_t* data, int32_t length)>;

// Re-encodes the frame stamped by `stamp` for one recipient when its version, masks, REMask
// subscription, registered ECC variables or UTF-8 need it, handing the new bytes to replace
// and updating stamp. The message is changed only during the call (converted texts are
// restored before return). Returns 1, or 0 when the re-encoded frame could not be made.
[[nodiscard]] int TailorMessageForClient(FrameStamp& stamp, uint32_t version, BaseMSG& msg,
                                         uint32_t callVariableMask,
                                         const ECCSelection* registeredVariables,
                                         uint32_t serviceMask, bool trace, bool utf8,
                                         const FrameReplacer& replace);
// The same for a plain transport message, whose buffer takes the new bytes.
[[nodiscard]] int TailorMessageForClient(TransportMSG& frame, FrameStamp& stamp, uint32_t version,
                                         BaseMSG& msg, uint32_t callVariableMask,
                                         const ECCSelection* registeredVariables,
                                         uint32_t serviceMask, bool trace, bool utf8);

// Encodes msg for one recipient and hands the bytes to replace. Returns replace's result, or
// 0 when the message does not encode for the version or is larger than a transport message.
[[nodiscard]] int EncodeFrame(BaseMSG& msg, uint32_t version, uint32_t callVariableMask,
                              const ECCSelection* registeredVariables, uint32_t serviceMask,
                              const FrameReplacer& replace);
// The same into a transport message's buffer.
[[nodiscard]] int EncodeFrame(TransportMSG& frame, BaseMSG& msg, uint32_t version,
                              uint32_t callVariableMask, const ECCSelection* registeredVariables,
                              uint32_t serviceMask);
