// The frame decoder: one table of frames with the status, failing element, occurrence and
// trace line each must give, then the layouts that need more than a row.
#include <gtest/gtest.h>

#include <string>

#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "tests/ctimsg/messages/frame_builder.h"
#include "tests/ctimsg/trace_capture.h"

namespace {

using ctimsgtest::TraceCapture;
using msgtest::Bytes;
using msgtest::DecodeBytes;
using msgtest::EncodeBytes;
using msgtest::Frame;

constexpr uint32_t kClientID = 432;

Frame Heartbeat(uint32_t version) { return Frame(5, version).U32(1); }

Frame OpenReqFixed(uint32_t version) {
    Frame f(3, version);
    f.U32(7).U32(version).U32(30).U32(5000).U32(0).U32(0).U32(0);
    if (version >= 10) f.U32(0);
    return f.U32(0).U32(0).U32(0);
}

Frame OpenReq(uint32_t version) { return OpenReqFixed(version).Str(1, "client").Field(2, {1}); }

// A version 2 heartbeat whose body is exactly `length` bytes of foreign fields.
Bytes LongHeartbeat(int32_t length) {
    Frame f = Heartbeat(2);
    int left = length - 4;
    while (left > 0) {
        int value = std::min(left - 2, 255);
        f.Field(7, Bytes(static_cast<size_t>(value), 'a'));
        left -= value + 2;
    }
    return f.WithLength(length);
}

Bytes Cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

TEST(Decode, TableOfFrames) {
    struct Case {
        const char* what;
        uint32_t version;
        Bytes frame;
        bool built;
        uint32_t status;
        uint32_t element;
        uint32_t occurrence;
        std::string trace;
    };
    const std::string notYet =
        std::string("BaseMSG::Decode - Message type 66 (") + MsgTypeName(66) + ") not yet implemented";
    const Case cases[] = {
        {"valid", 2, Heartbeat(2).Done(), true, 0, 0, 0, ""},
        {"7 bytes", 24, Cut(Heartbeat(24).Done(), 7), false, 0, 0, 0,
         "BaseMSG::Decode - No room for 8 byte message header, 7 bytes left."},
        {"negative length", 24, Heartbeat(24).WithLength(-1), false, 0, 0, 0,
         "BaseMSG::Decode - Invalid message length of -1, maximum:12492"},
        {"largest v2 body", 2, LongHeartbeat(2053), true, 26, 477, 0, ""},
        {"over-long v2 body", 2, LongHeartbeat(2054), false, 0, 0, 0,
         "BaseMSG::Decode - Invalid message length of 2054, maximum:2053"},
        {"length beyond buffer", 24, Heartbeat(24).WithLength(8), false, 0, 0, 0,
         "BaseMSG::Decode - Message length of 8 exceeds buffer size (4)"},
        {"type 0", 24, Frame(0, 24).Done(), false, 0, 0, 0,
         "BaseMSG::Decode - Invalid version 24 message type 0"},
        {"type 283", 24, Frame(283, 24).Done(), false, 0, 0, 0,
         "BaseMSG::Decode - Invalid version 24 message type 283"},
        {"type 32 at v2", 2, Frame(32, 2).U32(1).U16(0).Str(7, "t").Done(), false, 0, 0, 0,
         "BaseMSG::Decode - Invalid version 2 message type 32"},
        {"type 32 at v3", 3, Frame(32, 3).U32(1).U16(0).Str(7, "t").Done(), true, 0, 0, 0, ""},
        {"not implemented", 24, Frame(66, 24).Done(), false, 0, 0, 0, notYet},
        {"invalid 216", 24, Frame(216, 24).Done(), false, 0, 0, 0,
         "BaseMSG::Decode - Invalid message type 216"},
        {"invalid 241", 24, Frame(241, 24).Done(), false, 0, 0, 0,
         "BaseMSG::Decode - Invalid message type 241"},
        {"truncated fixed part", 2, Frame(5, 2).Done(), true, 2, 1, 0, ""},
        {"half a fixed field", 24, Frame(5, 24).U16(1).Done(), true, 2, 1, 0, ""},
        {"one trailing byte", 2, Heartbeat(2).Raw({7}).Done(), true, 2, 0, 0, ""},
        {"2 bytes left at v20", 20, Heartbeat(20).Raw({0, 1}).Done(), true, 2, 0, 0, ""},
        {"3 bytes left at v24", 24, Heartbeat(24).Raw({0, 1, 0}).Done(), true, 2, 0, 0, ""},
        {"tag 74 head cut at v19", 19, Heartbeat(19).Raw({74, 0}).Done(), true, 2, 0, 0, ""},
        {"foreign tag", 24, OpenReqFixed(24).Str(7, "x").Str(1, "c").Field(2, {1}).Done(), true, 26,
         477, 0, ""},
        {"tag above the version's limit", 2, OpenReq(2).Str(48, "x").Done(), true, 3, 0, 0,
         "Invalid floating field tag 48 (0x30) following CLIENT_PASSWORD_TAG[0] field in message"},
        {"tag 0 first", 24, OpenReqFixed(24).Str(0, "x").Done(), true, 3, 0, 0,
         "Invalid floating field tag 0 (0x0) in message"},
        {"duplicate field", 24, OpenReq(24).Str(1, "again").Done(), true, 26, kClientID, 1, ""},
        {"field from a newer version", 23, OpenReq(23).Str(308, "i").Done(), true, 49, 720, 0, ""},
        {"wrong width", 24, OpenReq(24).Num16(97, 1).Done(), true, 23, 525, 0, ""},
        {"the last bad field wins", 23, OpenReq(23).Str(7, "x").Str(308, "i").Done(), true, 49,
         720, 0, ""},
        {"length beyond the body", 24, OpenReqFixed(24).Str(1, "c").Field(2, {1}).Raw({0, 3, 0, 9, 'a'}).Done(),
         true, 23, 434, 0, ""},
        {"required field missing", 24, OpenReqFixed(24).Field(2, {1}).Done(), true, 6, kClientID, 0,
         ""},
        {"tag 74 with a 2-byte length at v19", 19,
         OpenReqFixed(19).Field(74, Bytes(300, 1)).Str(1, "c").Field(2, {1}).Done(), true, 26, 503,
         0, ""},
    };
    for (const auto& c : cases) {
        TraceCapture capture;
        auto msg = DecodeBytes(c.frame, c.version);
        std::string traces = capture.Take();
        ASSERT_EQ(msg != nullptr, c.built) << c.what;
        if (!c.trace.empty()) {
            EXPECT_NE(traces.find(c.trace), std::string::npos) << c.what << "\n" << traces;
        }
        if (!msg) continue;
        EXPECT_EQ(msg->GetStatus(), c.status) << c.what;
        EXPECT_EQ(msg->GetFailingElement(), c.element) << c.what;
        EXPECT_EQ(msg->GetFailingOccurrence(), c.occurrence) << c.what;
        EXPECT_EQ(msg->IsValid(), c.status == 0) << c.what;
    }
}

TEST(Decode, BadFieldsDoNotStopTheRest) {
    auto msg = DecodeBytes(
        OpenReqFixed(24).Str(7, "x").Str(1, "client").Field(2, {1}).Str(6, "4000").Done(), 24);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetStatus(), 26u);
    EXPECT_STREQ(msg->GetSTRING(kClientID), "client");
    EXPECT_STREQ(msg->GetSTRING(437), "4000");
}

TEST(Decode, EveryTypeOfTheTableIsBuiltOrRefused) {
    int built = 0, refused = 0;
    for (uint32_t type = 1; type <= 282; ++type) {
        auto msg = DecodeBytes(Frame(type, 24).Done(), 24);
        const auto& row = catalog::GetTypeRow(type);
        if (row.kind == catalog::TypeKind::Implemented) {
            ASSERT_NE(msg, nullptr) << type;
            EXPECT_EQ(msg->GetMsgType(), type);
            ++built;
        } else {
            EXPECT_EQ(msg, nullptr) << type;
            ++refused;
        }
    }
    EXPECT_EQ(built, 254);
    EXPECT_EQ(refused, 28);
}

TEST(Decode, ConfigServiceRecordsRealignToTheirSlots) {
    // Two records of 2 and 3 members arrive packed as five entries.
    ConfigServiceEventMSG sent;
    sent.SetUSHORT(379, 2);
    const uint16_t members[] = {2, 3};
    uint32_t k = 0;
    for (uint32_t r = 0; r < 2; ++r) {
        sent.SetUSHORT(603, members[r], r);
        for (uint32_t j = 0; j < members[r]; ++j, ++k) {
            sent.SetUINT(604, 100 + k, k);
            sent.SetUSHORT(605, static_cast<uint16_t>(j), k);
        }
    }
    ASSERT_EQ(sent.ValidateToSend(10), 0) << sent.GetFailingElement();
    Bytes frame = EncodeBytes(sent, 10);
    auto msg = DecodeBytes(frame, 10);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetStatus(), 0u);
    const uint32_t expected[] = {0, 1, 10, 11, 12};
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(msg->Present(604, expected[i]), 1) << expected[i];
        EXPECT_EQ(msg->GetUINT(604, expected[i]), 100 + i);
    }
    for (uint32_t occ : {2u, 9u, 13u, 19u, 20u, 99u}) {
        EXPECT_EQ(msg->Present(604, occ), 0) << occ;
    }
}

TEST(Decode, HostileRecordCountsFailCleanly) {
    // CONFIG_SERVICE_EVENT at version 10: NumRecords, then record fields and members.
    struct Case {
        const char* what;
        uint16_t records;
        std::vector<uint16_t> counts;
        int members;
        uint32_t element;
    };
    const Case cases[] = {
        {"more records than slots", 11, {1}, 1, 379},
        {"a count above the list's slots", 1, {11}, 11, 603},
    };
    for (const auto& c : cases) {
        Frame f(235, 10);
        f.U16(c.records);
        for (uint16_t n : c.counts) f.Num16(186, n);
        for (int i = 0; i < c.members; ++i) f.Num32(187, 5);
        auto msg = DecodeBytes(f.Done(), 10);
        ASSERT_NE(msg, nullptr) << c.what;
        EXPECT_EQ(msg->GetStatus(), 25u) << c.what;
        EXPECT_EQ(msg->GetFailingElement(), c.element) << c.what;
        EXPECT_FALSE(msg->IsValid());
    }
}

// Counts that no longer match because the floating part already failed do not replace that
// failure: the frame reports its bad field, as it would without records.
TEST(Decode, AFloatingFailureStandsOverTheRecordCounts) {
    struct Case {
        const char* what;
        Bytes tail;
        uint32_t status;
        uint32_t element;
    };
    const Case cases[] = {
        {"a bad tag ends the frame", {0, 1, 0}, 3, 0},
        {"a foreign field", {7, 1, 'x'}, 26, 477},
    };
    for (const auto& c : cases) {
        Frame f(235, 10);
        // Two records of 2 and 3 members, of which only three arrive.
        f.U16(2).Num16(186, 2).Num32(187, 1).Num32(187, 2).Num16(186, 3).Num32(187, 3);
        f.Raw(c.tail);
        auto msg = DecodeBytes(f.Done(), 10);
        ASSERT_NE(msg, nullptr) << c.what;
        EXPECT_EQ(msg->GetStatus(), c.status) << c.what;
        EXPECT_EQ(msg->GetFailingElement(), c.element) << c.what;
        EXPECT_FALSE(msg->IsValid()) << c.what;
    }
}

TEST(Decode, OlderDTMFLayoutIsReadIntoTheCurrentClass) {
    // InvokeID, PeripheralID, ConnectionCallID, ConnectionDeviceIDType, ToneDuration, then
    // the older 2-byte CallMannerType, then the floating fields.
    Frame older(91, 5);
    older.U32(1).U32(2).U32(3).U16(0).U16(5).U16(600).Str(25, "dev").Str(67, "123");
    auto msg = DecodeBytes(older.Done(), 5);
    ASSERT_NE(msg, nullptr);
    EXPECT_NE(dynamic_cast<SendDTMFSignalReqMSG*>(msg.get()), nullptr);
    EXPECT_EQ(msg->GetStatus(), 0u) << msg->GetFailingElement();
    EXPECT_EQ(msg->GetUINT(1), 1u);
    EXPECT_EQ(msg->GetUINT(4), 2u);
    EXPECT_EQ(msg->GetUINT(14), 3u);
    EXPECT_EQ(msg->GetUSHORT(16), 0u);
    EXPECT_EQ(msg->GetUSHORT(81), 5u);
    EXPECT_EQ(msg->GetUINT(82), 600u);
    EXPECT_STREQ(msg->GetSTRING(455), "dev");
    EXPECT_STREQ(msg->GetSTRING(500), "123");

    Frame current(91, 5);
    current.U32(1).U32(2).U32(3).U16(0).U16(5).U32(70000).Str(25, "dev").Str(67, "123");
    msg = DecodeBytes(current.Done(), 5);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetStatus(), 0u);
    EXPECT_EQ(msg->GetUINT(82), 70000u);
}

TEST(Decode, ReceivedMessagesNeverTraceCallVariablesOrContext) {
    BaseElement::EnableCallVariableTrace();
    BaseElement::EnableECCTrace();
    auto probe = std::unique_ptr<BaseMSG>(catalog::CreateMessage(26));
    ASSERT_NE(probe, nullptr);
    SetCallDataReqMSG traced(true, true);
    traced.SetSTRING(443, "cv1");
    std::string shown;
    traced.Trace(shown, 24);
    EXPECT_NE(shown.find("cv1"), std::string::npos);
    probe->SetSTRING(443, "cv1");
    std::string hidden;
    probe->Trace(hidden, 24);
    EXPECT_EQ(hidden.find("cv1"), std::string::npos);
}

}  // namespace
