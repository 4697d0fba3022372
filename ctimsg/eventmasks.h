#pragma once
// The bits of the event masks a client sets and of the configuration information mask, as
// constants and row tables, all from eventmasks.def: the call message mask
// (callmsgmask::kEventBits, callmsgmask::CALL_ATTRIBUTE_CHANGE), the task message mask
// (taskmsgmask::kEventBits), the agent state mask (agentstatemask::AVAILABLE == 0x8), the
// agent states themselves (agentstate::AVAILABLE == 3), the configuration message mask
// (configmsgmask::CONFIG_MSG_AGENT == 0x1) and the configuration information
// (configinfomask::CONFIG_AGENT == 0x4).
#include <cstddef>
#include <cstdint>

#include "ctimsg/msgtypes.h"

namespace eventmasks {
// The bit that lets one event type through its mask.
struct TypeBit {
    CTIMsgType type;
    uint32_t bit;
};
// One named bit.
struct NamedBit {
    uint32_t bit;
    const char* name;
};
template <typename Row, std::size_t N>
constexpr uint32_t AllBits(const Row (&rows)[N]) {
    uint32_t bits = 0;
    for (const Row& row : rows) bits |= row.bit;
    return bits;
}
}  // namespace eventmasks

namespace callmsgmask {
inline constexpr eventmasks::TypeBit kEventBits[] = {
#define CALL_EVENT_BIT(bit, type) {type, bit},
#include "ctimsg/eventmasks.def"
#undef CALL_EVENT_BIT
};
#define CALL_MSG_BIT(bit, name) inline constexpr uint32_t name = bit;
#include "ctimsg/eventmasks.def"
#undef CALL_MSG_BIT
}  // namespace callmsgmask

namespace taskmsgmask {
inline constexpr eventmasks::TypeBit kEventBits[] = {
#define TASK_EVENT_BIT(bit, type) {type, bit},
#include "ctimsg/eventmasks.def"
#undef TASK_EVENT_BIT
};
// Every task event: the bits a TaskMsgMask may hold from version 9.
inline constexpr uint32_t kAll = eventmasks::AllBits(kEventBits);
}  // namespace taskmsgmask

namespace agentstatemask {
#define AGENT_STATE(state, name, bit) inline constexpr uint32_t name = bit;
#include "ctimsg/eventmasks.def"
#undef AGENT_STATE
struct StateBit {
    int32_t state;
    const char* name;  // AgentStateName's text
    uint32_t bit;      // 0: the state has no bit
};
inline constexpr StateBit kStates[] = {
#define AGENT_STATE(state, name, bit) {state, #name, bit},
#include "ctimsg/eventmasks.def"
#undef AGENT_STATE
};
constexpr bool StatesInOrder() {
    int32_t expected = 0;
    for (const StateBit& row : kStates)
        if (row.state != expected++) return false;
    return true;
}
static_assert(StatesInOrder(), "eventmasks.def: agent states 0 to 14 in order");
// Every state with a bit: the default agent state mask.
inline constexpr uint32_t kAll = eventmasks::AllBits(kStates);
}  // namespace agentstatemask

// The agent states by name (agentstate::AVAILABLE == 3), from the same rows.
namespace agentstate {
enum AgentState : int32_t {
#define AGENT_STATE(state, name, bit) name = state,
#include "ctimsg/eventmasks.def"
#undef AGENT_STATE
};
}  // namespace agentstate

namespace configmsgmask {
#define CONFIG_MSG_BIT(bit, name) inline constexpr uint32_t name = bit;
#include "ctimsg/eventmasks.def"
#undef CONFIG_MSG_BIT
}  // namespace configmsgmask

namespace configinfomask {
#define CONFIG_INFO_BIT(bit, name) inline constexpr uint32_t name = bit;
#include "ctimsg/eventmasks.def"
#undef CONFIG_INFO_BIT
// The named bits in the order the trace lists them.
inline constexpr eventmasks::NamedBit kNames[] = {
#define CONFIG_INFO_BIT(bit, name) {bit, #name},
#include "ctimsg/eventmasks.def"
#undef CONFIG_INFO_BIT
};
}  // namespace configinfomask
