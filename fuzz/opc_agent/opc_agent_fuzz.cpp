// The agent-side bodies that OPC sends, read from untrusted bytes: the first byte chooses the
// reader, the rest is the body with its length, copied into a block of its exact size so that
// any read past it is caught. An accepted body must hold no more entries than its bytes allow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "opcmsg/agentmsgs.h"

namespace {

void Check(bool fact) {
    if (!fact) std::abort();
}

void AgentEvent(const uint8_t* body, size_t length) {
    std::vector<OPCAgentEventRecord> records;
    const OPCBodyResult r = ParseAgentEvent(body, length, &records);
    Check(r.ok || records.empty());
    Check(records.size() * 94 <= length);
}

void AgentState(const uint8_t* body, size_t length) {
    OPCAgentStateResp resp;
    const OPCBodyResult r = ParseAgentStateResp(body, length, &resp);
    if (!r.ok) return Check(resp == OPCAgentStateResp());
    Check(resp.SkillGroups.size() * 12 + resp.Lines.size() * 26 + 76 <= length);
    size_t text = resp.UniqueInstanceID.size() + resp.AgentExtension.size() + resp.AgentID.size() +
                  resp.AgentInstrument.size() + resp.ClientSignature.size();
    for (const auto& line : resp.Lines) text += line.SourceDeviceID.size() + line.DestDeviceID.size();
    Check(text <= length);
}

void AgentRemoved(const uint8_t* body, size_t length) {
    OPCAgentRemovedInd ind;
    const OPCBodyResult r = ParseAgentRemovedInd(body, length, &ind);
    Check(r.ok ? ind.AgentID.size() + 6 <= length : ind == OPCAgentRemovedInd());
}

void PGStatus(const uint8_t* body, size_t length) {
    OPCPGStatusEvent event;
    const OPCBodyResult r = ParsePGStatusEvent(body, length, &event);
    Check(r.ok ? event.Text.size() + 22 <= length : event == OPCPGStatusEvent());
}

void ClientStatus(const uint8_t* body, size_t length) {
    OPCSetClientStatusResp resp;
    const OPCBodyResult r = ParseSetClientStatusResp(body, length, &resp);
    Check(r.ok == (length >= 8));
}

using Reader = void (*)(const uint8_t*, size_t);
// In the order of the seed corpus's first byte.
constexpr Reader kReaders[] = {AgentEvent, AgentState, AgentRemoved, PGStatus, ClientStatus};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t length = size - 1;
    auto body = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
    if (length > 0) std::memcpy(body.get(), data + 1, length);
    kReaders[data[0] % std::size(kReaders)](body.get(), length);
    return 0;
}
