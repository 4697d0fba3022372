// The readers of OPC's call messages: bodies written field by field from the byte tables
// (tests/opcmsg/opc_message_builder.h) read back exactly; bodies that lie about a string, the
// ECC block or the history are refused whole, without a read past their end (each is parsed
// from a heap copy of its exact size, so ASan sees any over-read).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opcmsg/callmsgs.h"
#include "platform/byteorder.h"
#include "tests/opcmsg/opc_message_builder.h"

namespace {

using opctest::Bytes;
using opctest::CallDataBuilder;
using opctest::ParseExact;

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// Every field distinct, every string of another length (so another fill), so a field read
// from its neighbour's offset or a wrong rounding shows.
CallDataBuilder SampleCallData(bool update) {
    CallDataBuilder b;
    b.update = update;
    b.peripheralID = 5001;
    b.peripheralType = 17;
    b.callType = 6;
    b.calledPartyDisposition = 0xFFFE;
    b.campaignID = 0x01020304;
    b.queryRuleID = 0x05060708;
    b.callID = 0x00BC614E;
    b.trunkGroup = 77;
    b.active = 1;
    b.srcType = 0;
    b.destType = 0xFFFFFFFF;
    b.routerCallKey = {151234, 9876, 3};
    b.hint = 5;
    b.srcState = -1;
    b.destState = 2;
    b.texts = {"4001", "8000", "6175551212", "uu", "800", "12345", "918005551212", "wrap",
               "cust-phone-1", "a"};
    for (size_t i = 0; i < b.callVariables.size(); ++i) b.callVariables[i] = std::string(i, 'a' + i);
    b.srcAgentExtension = "4001x";
    b.destAgentExtension = "";
    b.ecc = Pattern(13, 1);
    b.history = {{"parlo-client", 0x5F000001}, {"", 0x5F000002}, {"desk-7", 0x5F000003}};
    return b;
}

// What a reader must make of a builder: the fields as laid out, the call variables cut to
// 40, the history count as announced but at most 16 entries kept.
void ExpectCallData(const CallDataBuilder& b, const OPCCallData& d) {
    EXPECT_EQ(d.PeripheralID, b.peripheralID);
    EXPECT_EQ(d.PeripheralType, b.peripheralType);
    EXPECT_EQ(d.NumCTIClients, b.historyCount.value_or(static_cast<int16_t>(b.history.size())));
    EXPECT_EQ(d.CallType, b.callType);
    EXPECT_EQ(d.CalledPartyDisposition, b.calledPartyDisposition);
    EXPECT_EQ(d.CampaignID, b.campaignID);
    EXPECT_EQ(d.QueryRuleID, b.queryRuleID);
    EXPECT_EQ(d.ConnectionCallID, b.callID);
    EXPECT_EQ(d.SrcDeviceIDType, b.srcType);
    EXPECT_EQ(d.DestDeviceIDType, b.destType);
    EXPECT_EQ(d.TrunkGroup, b.trunkGroup);
    EXPECT_EQ(d.RouterCallKeyDay, b.routerCallKey[0]);
    EXPECT_EQ(d.RouterCallKeyCallID, b.routerCallKey[1]);
    EXPECT_EQ(d.RouterCallKeySequenceNum, b.routerCallKey[2]);
    EXPECT_EQ(d.CTIHint, b.hint);
    const std::string* texts[] = {&d.SrcDeviceID, &d.DestDeviceID, &d.ANI, &d.UserToUser, &d.DNIS,
                                  &d.CED, &d.DialedNumber, &d.CallWrapupData,
                                  &d.CustomerPhoneNumber, &d.CustomerAccountNumber};
    for (size_t i = 0; i < b.texts.size(); ++i) EXPECT_EQ(*texts[i], b.texts[i]) << "text " << i;
    for (size_t i = 0; i < b.callVariables.size(); ++i)
        EXPECT_EQ(d.CallVariable[i], b.callVariables[i].substr(0, 40)) << "CallVariable" << i + 1;
    EXPECT_EQ(d.ECC, b.ecc);
    const size_t kept = std::min<size_t>(b.history.size(), 16);
    ASSERT_EQ(d.History.size(), b.historyCount && *b.historyCount < 0 ? 0 : kept);
    for (size_t i = 0; i < d.History.size(); ++i) {
        EXPECT_EQ(d.History[i].CTIClientSignature, b.history[i].first) << "entry " << i;
        EXPECT_EQ(d.History[i].CTIClientTimestamp, b.history[i].second) << "entry " << i;
    }
}

// The call data messages each way they may be filled, both layouts.
TEST(CallDataBodies, ReadBackFieldByField) {
    struct Row {
        const char* name;
        void (*change)(CallDataBuilder&);
    };
    const Row rows[] = {
        {"every field set", [](CallDataBuilder&) {}},
        {"no ECC, no history, empty strings",
         [](CallDataBuilder& b) {
             b.texts = {};
             b.callVariables = {};
             b.ecc.clear();
             b.history.clear();
         }},
        {"ECC of 2000 bytes", [](CallDataBuilder& b) { b.ecc = Pattern(2000, 9); }},
        {"ECC of 4 bytes (no fill)", [](CallDataBuilder& b) { b.ecc = Pattern(4, 3); }},
        {"call variables above 40 characters are cut",
         [](CallDataBuilder& b) {
             b.callVariables[0] = std::string(41, 'x');
             b.callVariables[9] = std::string(210, 'y');
         }},
        {"20 history entries keep the first 16",
         [](CallDataBuilder& b) {
             b.history.clear();
             for (uint32_t i = 0; i < 20; ++i) b.history.push_back({"client" + std::to_string(i), 100 + i});
         }},
        {"a negative history count reads as none",
         [](CallDataBuilder& b) {
             b.history.clear();
             b.historyCount = -3;
         }},
    };
    for (bool update : {false, true}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(testing::Message() << (update ? "update: " : "created: ") << row.name);
            CallDataBuilder b = SampleCallData(update);
            row.change(b);
            const Bytes body = b.Encode();
            if (update) {
                OPCCallDataUpdateEvent got;
                const OPCBodyResult r = ParseExact(ParseCallDataUpdateEvent, body, &got);
                ASSERT_TRUE(r.ok) << r.Text();
                ExpectCallData(b, got);
                EXPECT_EQ(got.Active, b.active);
                EXPECT_EQ(got.SrcConnectionState, b.srcState);
                EXPECT_EQ(got.DestConnectionState, b.destState);
                EXPECT_EQ(got.SrcAgentExtension, b.srcAgentExtension);
                EXPECT_EQ(got.DestAgentExtension, b.destAgentExtension);
            } else {
                OPCCallCreatedEvent got;
                const OPCBodyResult r = ParseExact(ParseCallCreatedEvent, body, &got);
                ASSERT_TRUE(r.ok) << r.Text();
                ExpectCallData(b, got);
            }
        }
    }
}

TEST(CallStateBodies, ReadBackFieldByField) {
    OPCCallStateEvent state;
    ASSERT_TRUE(ParseExact(ParseCallStateEvent,
                           opctest::CallStateBody(5001, 0xFFFFFFFF, 0xFFFFFFFF, 2, "4001"), &state));
    EXPECT_EQ(state, (OPCCallStateEvent{5001, 0xFFFFFFFF, 0xFFFFFFFF, 2, "4001"}));
    ASSERT_TRUE(ParseExact(ParseCallStateEvent, opctest::CallStateBody(7, 3001, 0, 0, ""), &state));
    EXPECT_EQ(state, (OPCCallStateEvent{7, 3001, 0, 0, ""}));

    OPCCallReclassifiedEvent re;
    ASSERT_TRUE(ParseExact(ParseCallReclassifiedEvent,
                           opctest::CallReclassifiedBody(5001, 3001, 3002, 0, 1, 0xFFFFFFFF, 3, "4001",
                                                         "40020", "800"),
                           &re));
    EXPECT_EQ(re, (OPCCallReclassifiedEvent{5001, 3001, 3002, 0, 1, 0xFFFFFFFF, 3, "4001", "40020", "800"}));

    OPCCallTypeChangedEvent type;
    ASSERT_TRUE(ParseExact(ParseCallTypeChangedEvent,
                           opctest::CallTypeChangedBody(5001, 3001, 0, 27, "4001"), &type));
    EXPECT_EQ(type, (OPCCallTypeChangedEvent{5001, 3001, 0, 27, "4001"}));
}

enum class Kind { Created, Update, State, Reclassified, TypeChanged };

// Parses with the reader of `kind`; `*outputEmpty` says whether the struct was left empty.
OPCBodyResult ParseAny(Kind kind, const Bytes& b, bool* outputEmpty) {
    auto run = [&](auto parse, auto out) {
        const OPCBodyResult r = ParseExact(parse, b, &out);
        *outputEmpty = out == decltype(out)();
        return r;
    };
    switch (kind) {
    case Kind::Created: return run(ParseCallCreatedEvent, OPCCallCreatedEvent());
    case Kind::Update: return run(ParseCallDataUpdateEvent, OPCCallDataUpdateEvent());
    case Kind::State: return run(ParseCallStateEvent, OPCCallStateEvent());
    case Kind::Reclassified: return run(ParseCallReclassifiedEvent, OPCCallReclassifiedEvent());
    case Kind::TypeChanged: return run(ParseCallTypeChangedEvent, OPCCallTypeChangedEvent());
    }
    return {};
}

Bytes WithCount16(Bytes b, size_t at, uint16_t count) {
    plat::StoreLE16(b.data() + at, count);
    return b;
}
Bytes Cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}
Bytes Encoded(bool update, void (*change)(CallDataBuilder&)) {
    CallDataBuilder b = SampleCallData(update);
    change(b);
    return b.Encode();
}

TEST(LyingCallBodies, AreRefusedNamingWhatDidNotFit) {
    // Offsets in the sample: the strings start at 56 (created) or 60 (update); ANI is the
    // third string, after "4001" and "8000" (8 bytes each).
    const size_t createdANI = 56 + 8 + 8;
    const size_t updateANI = 60 + 8 + 8;
    const Bytes created = SampleCallData(false).Encode();
    // Its ECC block (4 + 16 bytes) before three history entries ("parlo-client", "", "desk-7").
    const size_t createdECC = created.size() - (4 + 16) - (16 + 4) - (4 + 4) - (12 + 4);
    // CallVariable5 of 300 characters starts after the ten texts and four call variables.
    const Bytes longVariable = Encoded(false, [](CallDataBuilder& b) { b.callVariables[4] = std::string(300, 'v'); });
    size_t variable5 = 56;
    for (const auto& t : SampleCallData(false).texts) variable5 += (t.size() + 6) & ~size_t{3};
    for (size_t i = 0; i < 4; ++i) variable5 += (i + 6) & ~size_t{3};
    struct Row {
        const char* name;
        Kind kind;
        Bytes body;
        const char* item;
        int index;
    };
    const std::vector<Row> rows = {
        {"created: fixed part short", Kind::Created, Cut(created, 55), "fixed part", -1},
        {"update: fixed part short", Kind::Update, Cut(SampleCallData(true).Encode(), 59), "fixed part", -1},
        {"created: ANI longer than the body", Kind::Created, WithCount16(created, createdANI, 0xFFFF),
         "string", -1},
        {"update: ANI longer than the body", Kind::Update,
         WithCount16(SampleCallData(true).Encode(), updateANI, 0x8000), "string", -1},
        {"created: CallVariable5 runs past the end", Kind::Created, Cut(longVariable, variable5 + 2 + 200),
         "call variable", 4},
        {"created: ECC length beyond the body", Kind::Created,
         Encoded(false, [](CallDataBuilder& b) { b.eccLength = 64; }), "ECC block", -1},
        {"created: ECC length negative", Kind::Created,
         Encoded(false, [](CallDataBuilder& b) { b.eccLength = 0xFFFFFFF0; }), "ECC block", -1},
        {"update: ECC above 2000 bytes although present", Kind::Update,
         Encoded(true, [](CallDataBuilder& b) { b.ecc = Pattern(2001, 5); }), "ECC block", -1},
        {"created: no ECC length word", Kind::Created, Cut(created, createdECC + 2), "ECC block", -1},
        {"created: history count beyond the entries", Kind::Created,
         Encoded(false, [](CallDataBuilder& b) { b.historyCount = 4; }), "history signature", 3},
        {"update: history count far beyond the body", Kind::Update,
         Encoded(true, [](CallDataBuilder& b) { b.historyCount = 0x7FFF; }), "history signature", 3},
        {"created: last time stamp cut", Kind::Created, Cut(created, created.size() - 1),
         "history time stamp", 2},
        {"state: fixed part short", Kind::State, Cut(opctest::CallStateBody(1, 2, 0, 0, "4001"), 19),
         "fixed part", -1},
        {"state: device longer than the body", Kind::State,
         WithCount16(opctest::CallStateBody(1, 2, 0, 0, "4001"), 20, 9), "string", -1},
        {"reclassified: new destination longer than the body", Kind::Reclassified,
         WithCount16(opctest::CallReclassifiedBody(1, 2, 3, 0, 0, 0, 0, "a", "bb", "ccc"), 32 + 4 + 8, 40),
         "string", -1},
        {"reclassified: strings missing", Kind::Reclassified,
         Cut(opctest::CallReclassifiedBody(1, 2, 3, 0, 0, 0, 0, "a", "bb", "ccc"), 40), "string", -1},
        {"type changed: device longer than the body", Kind::TypeChanged,
         WithCount16(opctest::CallTypeChangedBody(1, 2, 0, 27, "4001"), 16, 0xFFFF), "string", -1},
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

// Every prefix of a well-formed body is refused and leaves the struct empty, except one cut
// only inside the fill of its last item, which reads as the whole body.
template <class Out, class Parse>
void ExpectEveryTruncationRefusedOrWhole(Parse parse, const Bytes& body, size_t lastFill) {
    Out whole;
    const OPCBodyResult r = ParseExact(parse, body, &whole);
    ASSERT_TRUE(r.ok) << r.Text();
    for (size_t n = 0; n < body.size(); ++n) {
        SCOPED_TRACE(testing::Message() << "cut to " << n << " of " << body.size());
        Out got;
        const bool ok = ParseExact(parse, Cut(body, n), &got).ok;
        EXPECT_EQ(ok, n >= body.size() - lastFill);
        EXPECT_TRUE(ok ? got == whole : got == Out());
    }
}

TEST(LyingCallBodies, EveryTruncationIsRefusedOrReadsTheSame) {
    // The created sample ends in a time stamp; the update without history in a 13-byte ECC.
    ExpectEveryTruncationRefusedOrWhole<OPCCallCreatedEvent>(ParseCallCreatedEvent,
                                                             SampleCallData(false).Encode(), 0);
    ExpectEveryTruncationRefusedOrWhole<OPCCallDataUpdateEvent>(
        ParseCallDataUpdateEvent, Encoded(true, [](CallDataBuilder& b) { b.history.clear(); }), 3);
    ExpectEveryTruncationRefusedOrWhole<OPCCallStateEvent>(
        ParseCallStateEvent, opctest::CallStateBody(1, 2, 0, 0, "4001"), 2);
    ExpectEveryTruncationRefusedOrWhole<OPCCallReclassifiedEvent>(
        ParseCallReclassifiedEvent,
        opctest::CallReclassifiedBody(1, 2, 3, 0, 0, 0, 0, "a", "bb", "ccc"), 3);
    ExpectEveryTruncationRefusedOrWhole<OPCCallTypeChangedEvent>(
        ParseCallTypeChangedEvent, opctest::CallTypeChangedBody(1, 2, 0, 27, "40012"), 1);
}

}  // namespace
