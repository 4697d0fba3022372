// The readers of the agent-side OPC bodies: bodies written here field by field from the byte
// tables read back exactly; hostile bodies (counts and string lengths beyond the body,
// truncated records) are refused without a read past the body (each body is parsed from a
// heap copy of its exact size, so ASan sees any over-read).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "opcmsg/agentmsgs.h"
#include "platform/byteorder.h"
#include "tests/opcmsg/opc_message_builder.h"

namespace {

using opctest::Add16;
using opctest::Add32;
using opctest::AddString;
using opctest::Bytes;
using opctest::ParseExact;
using opctest::Set32;

// CTI_AGENT_EVENT: count, then each record's 72 bytes and six strings.
void AddAgentRecord(Bytes& b, const OPCAgentEventRecord& r) {
    Add32(b, r.PeripheralID);
    Add16(b, r.PeripheralType);
    Add16(b, static_cast<uint16_t>(r.SkillGroupState));
    Add16(b, static_cast<uint16_t>(r.AgentState));
    Add16(b, r.EventReasonCode);
    Add32(b, r.SkillGroupStateDuration);
    Add32(b, r.StateDuration);
    Add32(b, static_cast<uint32_t>(r.SkillTargetID));
    Add32(b, r.AgentTeamID);
    Add32(b, r.SkillGroupSkillTargetID);
    Add32(b, r.SkillGroupNumberWord);
    Add16(b, static_cast<uint16_t>(r.NumLines));
    Add16(b, static_cast<uint16_t>(r.CurrentLine));
    for (uint32_t v : {r.ClientStatus, r.MRDomainID, r.NumTasks, r.MaxTaskLimit, r.MaxBeyondTaskLimit,
                       r.AgentMode, r.AgentAvailabilityStatus, r.Direction})
        Add32(b, v);
    for (const std::string* s : {&r.AgentExtension, &r.AgentID, &r.AgentInstrument, &r.ClientSignature,
                                 &r.TerminalDeviceName, &r.UniqueInstanceID})
        AddString(b, *s);
}

Bytes AgentEventBody(const std::vector<OPCAgentEventRecord>& records) {
    Bytes b;
    Add32(b, static_cast<uint32_t>(records.size()));
    for (const auto& r : records) AddAgentRecord(b, r);
    return b;
}

// Every field distinct, so a field read from a neighbour's offset shows.
OPCAgentEventRecord SampleRecord(uint32_t seed) {
    OPCAgentEventRecord r;
    r.PeripheralID = 5000 + seed;
    r.PeripheralType = 17;
    r.SkillGroupState = -2;
    r.AgentState = 3;
    r.EventReasonCode = 0xBEEF;
    r.SkillGroupStateDuration = 0x01020304;
    r.StateDuration = 0x05060708;
    r.SkillTargetID = -7;
    r.AgentTeamID = 0x0A0B0C0D;
    r.SkillGroupSkillTargetID = 0x11121314;
    r.SkillGroupNumberWord = 0x80000063;
    r.NumLines = -1;
    r.CurrentLine = 0x2122;
    r.ClientStatus = 1;
    r.MRDomainID = seed;
    r.NumTasks = 0x31;
    r.MaxTaskLimit = 0x32;
    r.MaxBeyondTaskLimit = 0x33;
    r.AgentMode = 0x34;
    r.AgentAvailabilityStatus = 0x35;
    r.Direction = 0x36;
    r.AgentExtension = "4001";
    r.AgentID = "agent" + std::to_string(seed);
    r.AgentInstrument = "4001i";
    r.ClientSignature = "desk signature";
    r.TerminalDeviceName = "T";
    r.UniqueInstanceID = "uii-12345";
    return r;
}

// CTI_GET_AGENT_STATE_RESP: 76 fixed bytes, five strings, skill groups, lines. The counts are
// taken from the vectors unless the struct says otherwise.
Bytes AgentStateBody(const OPCAgentStateResp& r) {
    Bytes b;
    Add32(b, r.InvokeID);
    Add32(b, static_cast<uint32_t>(r.PeripheralID));
    Add16(b, static_cast<uint16_t>(r.PeripheralType));
    Add16(b, static_cast<uint16_t>(r.AgentState));
    Add32(b, r.StateDuration);
    Add32(b, r.SkillTargetID);
    Add32(b, r.AgentTeamID);
    Add32(b, r.SkillGroupSkillTargetID);
    Add32(b, r.SkillGroupNumberWord);
    Add16(b, static_cast<uint16_t>(r.NumLines));
    Add16(b, static_cast<uint16_t>(r.CurrentLine));
    Add32(b, 0xDEADBEEF);  // not read
    Add16(b, static_cast<uint16_t>(r.NumSkillGroups));
    Add16(b, static_cast<uint16_t>(r.PeripheralOnline));
    for (uint32_t v : {r.Supervisor, r.MRDomainID, r.NumTasks, r.MaxTaskLimit, r.MaxBeyondTaskLimit,
                       r.AgentMode, r.AgentAvailabilityStatus, r.ClientInvokeID})
        Add32(b, v);
    for (const std::string* s :
         {&r.UniqueInstanceID, &r.AgentExtension, &r.AgentID, &r.AgentInstrument, &r.ClientSignature})
        AddString(b, *s);
    for (const auto& g : r.SkillGroups) {
        Add32(b, g.NumberWord);
        Add32(b, g.SkillTargetID);
        Add16(b, static_cast<uint16_t>(g.State));
        Add16(b, 0);
    }
    for (const auto& l : r.Lines) {
        for (uint32_t v : {l.LineIndex, l.LineType, l.CallID, l.SourceDeviceIDType, l.DestDeviceIDType})
            Add32(b, v);
        AddString(b, l.SourceDeviceID);
        AddString(b, l.DestDeviceID);
    }
    return b;
}

OPCAgentStateResp SampleState() {
    OPCAgentStateResp r;
    r.InvokeID = 0x75000012;
    r.PeripheralID = 5000;
    r.PeripheralType = 30;
    r.AgentState = 4;
    r.StateDuration = 0x01020304;
    r.SkillTargetID = 0x05060708;
    r.AgentTeamID = 0x090A0B0C;
    r.SkillGroupSkillTargetID = 0x0D0E0F10;
    r.SkillGroupNumberWord = 0x05000042;
    r.CurrentLine = 1;
    r.PeripheralOnline = 1;
    r.Supervisor = 1;
    r.MRDomainID = 1;
    r.NumTasks = 0x21;
    r.MaxTaskLimit = 0x22;
    r.MaxBeyondTaskLimit = 0x23;
    r.AgentMode = 0x24;
    r.AgentAvailabilityStatus = 0x25;
    r.ClientInvokeID = 0x26;
    r.UniqueInstanceID = "uii-1";
    r.AgentExtension = "4002";
    r.AgentID = "1002";
    r.AgentInstrument = "4002";
    r.ClientSignature = "sig";
    r.SkillGroups = {{0x80000011, 9011, 3}, {0xFFFFFFFF, 9012, -1}, {0x02000013, 9013, 2}};
    r.Lines = {{0, 0, 0x3001, 0, 1, "4002", "8000"}, {1, 3, 0xFFFFFFFF, 2, 3, "", ""}};
    r.NumSkillGroups = static_cast<int16_t>(r.SkillGroups.size());
    r.NumLines = static_cast<int16_t>(r.Lines.size());
    return r;
}

Bytes RemovedBody(uint32_t peripheral, const std::string& agentID) {
    Bytes b;
    Add32(b, peripheral);
    AddString(b, agentID);
    return b;
}

Bytes PGStatusBody(uint32_t status, uint32_t id, int32_t a1, int32_t a2, int32_t a3, const std::string& text) {
    Bytes b;
    for (uint32_t v : {status, id, static_cast<uint32_t>(a1), static_cast<uint32_t>(a2), static_cast<uint32_t>(a3)})
        Add32(b, v);
    AddString(b, text);
    return b;
}

TEST(AgentEventBody, RecordsReadBackWhateverTheStringLengths) {
    // Each string length takes a different fill (0 to 3 bytes); a wrong rounding shifts
    // every later field and record.
    for (size_t len : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 255u}) {
        SCOPED_TRACE(len);
        std::vector<OPCAgentEventRecord> records = {SampleRecord(1), SampleRecord(2), SampleRecord(3)};
        records[0].AgentExtension = std::string(len, 'e');
        records[1].ClientSignature = std::string(len, 's');
        records[2].UniqueInstanceID = std::string(len, 'u');
        std::vector<OPCAgentEventRecord> got;
        ASSERT_TRUE(ParseExact(ParseAgentEvent, AgentEventBody(records), &got));
        EXPECT_EQ(got, records);
    }
}

TEST(AgentEventBody, CountZeroAndTrailingBytes) {
    std::vector<OPCAgentEventRecord> got = {SampleRecord(9)};
    ASSERT_TRUE(ParseExact(ParseAgentEvent, AgentEventBody({}), &got));
    EXPECT_TRUE(got.empty());
    Bytes b = AgentEventBody({SampleRecord(1)});
    b.insert(b.end(), {1, 2, 3, 4, 5});
    ASSERT_TRUE(ParseExact(ParseAgentEvent, b, &got));
    EXPECT_EQ(got, std::vector<OPCAgentEventRecord>{SampleRecord(1)});
}

TEST(AgentStateBody, EveryFieldSkillGroupsAndLinesReadBack) {
    const OPCAgentStateResp want = SampleState();
    OPCAgentStateResp got;
    ASSERT_TRUE(ParseExact(ParseAgentStateResp, AgentStateBody(want), &got));
    EXPECT_EQ(got, want);
    // The fixed-part offsets of the two fields another layout places differently.
    EXPECT_EQ(got.UniqueInstanceID, "uii-1");
    EXPECT_EQ(got.ClientInvokeID, 0x26u);
}

TEST(AgentStateBody, NegativeCountsMeanNone) {
    OPCAgentStateResp want = SampleState();
    want.SkillGroups.clear();
    want.Lines.clear();
    want.NumSkillGroups = -1;
    want.NumLines = -5;
    OPCAgentStateResp got;
    ASSERT_TRUE(ParseExact(ParseAgentStateResp, AgentStateBody(want), &got));
    EXPECT_EQ(got, want);
}

TEST(SmallAgentBodies, ReadBack) {
    OPCAgentRemovedInd removed;
    ASSERT_TRUE(ParseExact(ParseAgentRemovedInd, RemovedBody(5000, "-1"), &removed));
    EXPECT_EQ(removed, (OPCAgentRemovedInd{5000, "-1"}));

    OPCPGStatusEvent pg;
    ASSERT_TRUE(ParseExact(ParsePGStatusEvent, PGStatusBody(4, 5, -1, 7, 8, "abc"), &pg));
    EXPECT_EQ(pg, (OPCPGStatusEvent{4, 5, -1, 7, 8, "abc"}));
    ASSERT_TRUE(ParseExact(ParsePGStatusEvent, PGStatusBody(0, 3, 5000, 0, 0, ""), &pg));
    EXPECT_EQ(pg, (OPCPGStatusEvent{0, 3, 5000, 0, 0, ""}));

    OPCSetClientStatusResp status;
    Bytes b;
    Add32(b, 0x75000001);
    Add32(b, 0xFFFFFFFE);
    ASSERT_TRUE(ParseExact(ParseSetClientStatusResp, b, &status));
    EXPECT_EQ(status, (OPCSetClientStatusResp{0x75000001, 0xFFFFFFFE}));
}

TEST(StringItems, TextEndsAtItsFirstNulAndTheLastFillMayBeCut) {
    // "ab\0cd": the text is "ab", and the next item still starts after all five bytes.
    Bytes b;
    Add32(b, 5000);
    Add16(b, 5);
    b.insert(b.end(), {'a', 'b', 0, 'c', 'd', 0, 0, 0});
    OPCAgentRemovedInd removed;
    ASSERT_TRUE(ParseExact(ParseAgentRemovedInd, b, &removed));
    EXPECT_EQ(removed.AgentID, "ab");
    // The text of a PG status event without its NUL and fill: the characters are there.
    Bytes pg = PGStatusBody(0, 5, 0, 0, 0, "abc");
    pg.resize(20 + 2 + 3);
    OPCPGStatusEvent event;
    ASSERT_TRUE(ParseExact(ParsePGStatusEvent, pg, &event));
    EXPECT_EQ(event.Text, "abc");
}

enum class Kind { AgentEvent, AgentState, Removed, PGStatus, ClientStatus };

OPCBodyResult ParseAny(Kind kind, const Bytes& b, bool* outputEmpty) {
    switch (kind) {
    case Kind::AgentEvent: {
        std::vector<OPCAgentEventRecord> out = {SampleRecord(7)};
        OPCBodyResult r = ParseExact(ParseAgentEvent, b, &out);
        *outputEmpty = out.empty();
        return r;
    }
    case Kind::AgentState: {
        OPCAgentStateResp out = SampleState();
        OPCBodyResult r = ParseExact(ParseAgentStateResp, b, &out);
        *outputEmpty = out == OPCAgentStateResp();
        return r;
    }
    case Kind::Removed: {
        OPCAgentRemovedInd out{1, "x"};
        OPCBodyResult r = ParseExact(ParseAgentRemovedInd, b, &out);
        *outputEmpty = out == OPCAgentRemovedInd();
        return r;
    }
    case Kind::PGStatus: {
        OPCPGStatusEvent out{1, 2, 3, 4, 5, "x"};
        OPCBodyResult r = ParseExact(ParsePGStatusEvent, b, &out);
        *outputEmpty = out == OPCPGStatusEvent();
        return r;
    }
    case Kind::ClientStatus: {
        OPCSetClientStatusResp out{1, 2};
        OPCBodyResult r = ParseExact(ParseSetClientStatusResp, b, &out);
        *outputEmpty = out == OPCSetClientStatusResp();
        return r;
    }
    }
    return {};
}

Bytes WithString16(Bytes b, size_t at, uint16_t count) {
    plat::StoreLE16(b.data() + at, count);
    return b;
}

// Offsets in the sample bodies: a record's strings begin 4 + 72 into the event body; the state
// response's first string at 76, its skill groups right after the five strings.
size_t StateStringsEnd() {
    const OPCAgentStateResp s = SampleState();
    size_t at = 76;
    for (const std::string* t : {&s.UniqueInstanceID, &s.AgentExtension, &s.AgentID, &s.AgentInstrument,
                                 &s.ClientSignature})
        at += (t->size() + 6) & ~size_t{3};
    return at;
}

TEST(HostileBodies, AreRefusedNamingWhatDidNotFit) {
    const Bytes oneRecord = AgentEventBody({SampleRecord(1)});
    const Bytes twoRecords = AgentEventBody({SampleRecord(1), SampleRecord(2)});
    const Bytes state = AgentStateBody(SampleState());
    const size_t groups = StateStringsEnd();
    const size_t lines = groups + 3 * 12;
    struct Row {
        const char* name;
        Kind kind;
        Bytes body;
        const char* item;
        int index;
    };
    auto withCount = [](Bytes b, uint32_t n) { return Set32(b, 0, n), b; };
    auto cut = [](Bytes b, size_t n) { return b.resize(n), b; };
    auto withI16 = [](Bytes b, size_t at, int16_t v) {
        plat::StoreLE16(b.data() + at, static_cast<uint16_t>(v));
        return b;
    };
    const std::vector<Row> rows = {
        {"event: no count", Kind::AgentEvent, {1, 0, 0}, "record count", -1},
        {"event: count beyond the body", Kind::AgentEvent, withCount(oneRecord, 2), "record count", -1},
        {"event: huge count", Kind::AgentEvent, withCount(oneRecord, 0xFFFFFFFF), "record count", -1},
        {"event: second record truncated in its fixed part", Kind::AgentEvent,
         cut(twoRecords, oneRecord.size() + 40), "record count", -1},
        {"event: count 2, second record ends in its strings", Kind::AgentEvent,
         cut(twoRecords, twoRecords.size() - 30), "string", 1},
        {"event: first string longer than the body", Kind::AgentEvent, WithString16(oneRecord, 4 + 72, 0xFFFF),
         "string", 0},
        {"state: fixed part short", Kind::AgentState, cut(state, 75), "fixed part", -1},
        {"state: unique id longer than the body", Kind::AgentState, WithString16(state, 76, 4000), "string", -1},
        {"state: skill groups beyond the body", Kind::AgentState, withI16(state, 40, 300), "skill group count", -1},
        {"state: last skill group truncated", Kind::AgentState, cut(state, groups + 2 * 12 + 6),
         "skill group count", -1},
        {"state: lines beyond the body", Kind::AgentState, withI16(state, 32, 0x7FFF), "line count", -1},
        {"state: second line truncated", Kind::AgentState, cut(state, lines + 36 + 18), "line", 1},
        {"state: line string longer than the body", Kind::AgentState, WithString16(state, lines + 20, 900),
         "line string", 0},
        {"removed: empty", Kind::Removed, {}, "fixed part", -1},
        {"removed: no string count", Kind::Removed, cut(RemovedBody(5000, "7"), 5), "string", -1},
        {"removed: AgentID longer than the body", Kind::Removed, WithString16(RemovedBody(5000, "7"), 4, 5),
         "string", -1},
        {"pg status: no text item", Kind::PGStatus, cut(PGStatusBody(0, 5, 0, 0, 0, ""), 20), "string", -1},
        {"pg status: text longer than the body", Kind::PGStatus,
         WithString16(PGStatusBody(0, 5, 0, 0, 0, "abc"), 20, 7), "string", -1},
        {"client status: short", Kind::ClientStatus, {1, 2, 3, 4, 5, 6, 7}, "fixed part", -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        bool empty = false;
        const OPCBodyResult r = ParseAny(row.kind, row.body, &empty);
        EXPECT_FALSE(r.ok);
        EXPECT_STREQ(r.item, row.item);
        EXPECT_EQ(r.index, row.index);
        EXPECT_EQ(r.length, row.body.size());
        EXPECT_TRUE(empty);
        EXPECT_NE(r.Text().find("-byte body"), std::string::npos) << r.Text();
    }
}

// Every prefix of a well-formed body is refused, except one cut inside the fill of its last
// string, which reads as the whole body.
TEST(HostileBodies, EveryTruncationIsRefusedOrReadsTheSame) {
    OPCAgentStateResp state = SampleState();
    state.Lines.back().DestDeviceID = "8001";
    const struct {
        Kind kind;
        Bytes body;
        size_t lastFill;  // NUL fill bytes after the last string's characters
    } bodies[] = {
        {Kind::AgentEvent, AgentEventBody({SampleRecord(1), SampleRecord(2)}), 1},  // "uii-12345"
        {Kind::AgentState, AgentStateBody(state), 2},  // "8001"
        {Kind::Removed, RemovedBody(5000, "1002"), 2},
        {Kind::PGStatus, PGStatusBody(0, 5, 0, 0, 0, "abc"), 3},
    };
    for (const auto& b : bodies) {
        for (size_t n = 0; n < b.body.size(); ++n) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(b.kind) << " cut to " << n);
            bool empty = false;
            const OPCBodyResult r = ParseAny(b.kind, Bytes(b.body.begin(), b.body.begin() + n), &empty);
            if (n >= b.body.size() - b.lastFill) {
                EXPECT_TRUE(r.ok);
            } else {
                EXPECT_FALSE(r.ok);
                EXPECT_TRUE(empty);
            }
        }
    }
}

}  // namespace
