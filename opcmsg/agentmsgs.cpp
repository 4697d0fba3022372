#include "opcmsg/agentmsgs.h"

#include "platform/byteorder.h"

using plat::LoadLE16;
using plat::LoadLE32;

namespace {

// The smallest record of CTI_AGENT_EVENT: 72 fixed bytes and six empty strings of 4 bytes.
constexpr size_t kAgentEventFixed = 72;
constexpr size_t kAgentEventMinRecord = kAgentEventFixed + 6 * 4;
constexpr size_t kAgentStateFixed = 76;
constexpr size_t kSkillGroupEntry = 12;
constexpr size_t kLineFixed = 20;
constexpr size_t kLineMin = kLineFixed + 2 * 4;

using Cursor = OPCBodyCursor;

int16_t GetI16(const uint8_t* p) { return static_cast<int16_t>(LoadLE16(p)); }
int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(LoadLE32(p)); }

}  // namespace

OPCBodyResult ParseAgentEvent(const uint8_t* body, size_t length,
                              std::vector<OPCAgentEventRecord>* out) {
    out->clear();
    Cursor c(body, length);
    const uint8_t* head = c.Take(4, "record count");
    if (!head) return c.Result();
    const uint32_t count = LoadLE32(head);
    // A count that the body cannot hold is refused before anything is reserved for it (the
    // last string's fill may be cut off: two bytes less).
    if (count > (c.Remaining() + 2) / kAgentEventMinRecord) {
        c.Fail("record count", -1);
        return c.Result();
    }
    std::vector<OPCAgentEventRecord> records(count);
    for (uint32_t i = 0; i < count; ++i) {
        const int index = static_cast<int>(i);
        const uint8_t* f = c.Take(kAgentEventFixed, "record", index);
        if (!f) break;
        OPCAgentEventRecord& r = records[i];
        r.PeripheralID = LoadLE32(f);
        r.PeripheralType = LoadLE16(f + 4);
        r.SkillGroupState = GetI16(f + 6);
        r.AgentState = GetI16(f + 8);
        r.EventReasonCode = LoadLE16(f + 10);
        r.SkillGroupStateDuration = LoadLE32(f + 12);
        r.StateDuration = LoadLE32(f + 16);
        r.SkillTargetID = GetI32(f + 20);
        r.AgentTeamID = LoadLE32(f + 24);
        r.SkillGroupSkillTargetID = LoadLE32(f + 28);
        r.SkillGroupNumberWord = LoadLE32(f + 32);
        r.NumLines = GetI16(f + 36);
        r.CurrentLine = GetI16(f + 38);
        r.ClientStatus = LoadLE32(f + 40);
        r.MRDomainID = LoadLE32(f + 44);
        r.NumTasks = LoadLE32(f + 48);
        r.MaxTaskLimit = LoadLE32(f + 52);
        r.MaxBeyondTaskLimit = LoadLE32(f + 56);
        r.AgentMode = LoadLE32(f + 60);
        r.AgentAvailabilityStatus = LoadLE32(f + 64);
        r.Direction = LoadLE32(f + 68);
        for (std::string* s : {&r.AgentExtension, &r.AgentID, &r.AgentInstrument, &r.ClientSignature,
                               &r.TerminalDeviceName, &r.UniqueInstanceID})
            if (!c.String(s, "string", index)) break;
    }
    if (c.Result()) out->swap(records);
    return c.Result();
}

OPCBodyResult ParseAgentStateResp(const uint8_t* body, size_t length, OPCAgentStateResp* out) {
    *out = OPCAgentStateResp();
    Cursor c(body, length);
    const uint8_t* f = c.Take(kAgentStateFixed, "fixed part");
    if (!f) return c.Result();
    OPCAgentStateResp r;
    r.InvokeID = LoadLE32(f);
    r.PeripheralID = GetI32(f + 4);
    r.PeripheralType = GetI16(f + 8);
    r.AgentState = GetI16(f + 10);
    r.StateDuration = LoadLE32(f + 12);
    r.SkillTargetID = LoadLE32(f + 16);
    r.AgentTeamID = LoadLE32(f + 20);
    r.SkillGroupSkillTargetID = LoadLE32(f + 24);
    r.SkillGroupNumberWord = LoadLE32(f + 28);
    r.NumLines = GetI16(f + 32);
    r.CurrentLine = GetI16(f + 34);
    // 36: four bytes the server does not read.
    r.NumSkillGroups = GetI16(f + 40);
    r.PeripheralOnline = GetI16(f + 42);
    r.Supervisor = LoadLE32(f + 44);
    r.MRDomainID = LoadLE32(f + 48);
    r.NumTasks = LoadLE32(f + 52);
    r.MaxTaskLimit = LoadLE32(f + 56);
    r.MaxBeyondTaskLimit = LoadLE32(f + 60);
    r.AgentMode = LoadLE32(f + 64);
    r.AgentAvailabilityStatus = LoadLE32(f + 68);
    r.ClientInvokeID = LoadLE32(f + 72);
    for (std::string* s : {&r.UniqueInstanceID, &r.AgentExtension, &r.AgentID, &r.AgentInstrument,
                           &r.ClientSignature})
        if (!c.String(s, "string")) return c.Result();

    const size_t groups = r.NumSkillGroups > 0 ? static_cast<size_t>(r.NumSkillGroups) : 0;
    if (groups > c.Remaining() / kSkillGroupEntry) {
        c.Fail("skill group count", -1);
        return c.Result();
    }
    r.SkillGroups.resize(groups);
    for (size_t i = 0; i < groups; ++i) {
        const uint8_t* g = c.Take(kSkillGroupEntry, "skill group", static_cast<int>(i));
        if (!g) return c.Result();
        r.SkillGroups[i].NumberWord = LoadLE32(g);
        r.SkillGroups[i].SkillTargetID = LoadLE32(g + 4);
        r.SkillGroups[i].State = GetI16(g + 8);
    }

    // A line takes at least its fixed part and two empty strings (the last fill may be cut).
    const size_t lines = r.NumLines > 0 ? static_cast<size_t>(r.NumLines) : 0;
    if (lines > (c.Remaining() + 2) / kLineMin) {
        c.Fail("line count", -1);
        return c.Result();
    }
    r.Lines.resize(lines);
    for (size_t i = 0; i < lines; ++i) {
        const int index = static_cast<int>(i);
        const uint8_t* l = c.Take(kLineFixed, "line", index);
        if (!l) return c.Result();
        OPCAgentLine& line = r.Lines[i];
        line.LineIndex = LoadLE32(l);
        line.LineType = LoadLE32(l + 4);
        line.CallID = LoadLE32(l + 8);
        line.SourceDeviceIDType = LoadLE32(l + 12);
        line.DestDeviceIDType = LoadLE32(l + 16);
        if (!c.String(&line.SourceDeviceID, "line string", index) ||
            !c.String(&line.DestDeviceID, "line string", index))
            return c.Result();
    }
    *out = std::move(r);
    return c.Result();
}

OPCBodyResult ParseAgentRemovedInd(const uint8_t* body, size_t length, OPCAgentRemovedInd* out) {
    *out = OPCAgentRemovedInd();
    Cursor c(body, length);
    const uint8_t* f = c.Take(4, "fixed part");
    OPCAgentRemovedInd r;
    if (!f || !c.String(&r.AgentID, "string")) return c.Result();
    r.PeripheralID = LoadLE32(f);
    *out = std::move(r);
    return c.Result();
}

OPCBodyResult ParsePGStatusEvent(const uint8_t* body, size_t length, OPCPGStatusEvent* out) {
    *out = OPCPGStatusEvent();
    Cursor c(body, length);
    const uint8_t* f = c.Take(20, "fixed part");
    OPCPGStatusEvent r;
    if (!f || !c.String(&r.Text, "string")) return c.Result();
    r.PGStatus = LoadLE32(f);
    r.SystemEventID = LoadLE32(f + 4);
    r.SystemEventArg1 = GetI32(f + 8);
    r.SystemEventArg2 = GetI32(f + 12);
    r.SystemEventArg3 = GetI32(f + 16);
    *out = std::move(r);
    return c.Result();
}

OPCBodyResult ParseSetClientStatusResp(const uint8_t* body, size_t length,
                                       OPCSetClientStatusResp* out) {
    *out = OPCSetClientStatusResp();
    Cursor c(body, length);
    const uint8_t* f = c.Take(8, "fixed part");
    if (!f) return c.Result();
    out->InvokeID = LoadLE32(f);
    out->ResultCode = LoadLE32(f + 4);
    return c.Result();
}
