// Frames written byte by byte from the message layouts, checked both ways: the message built
// with the setters encodes to exactly these bytes, and the bytes decode to a valid message
// that holds the values in their occurrences.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ctimsg/elementdict.h"
#include "ctimsg/messages/catalog_helpers.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::Bytes;
using msgtest::DecodeBytes;
using msgtest::EncodeBytes;
using msgtest::Frame;

uint32_t Id(const char* cls) {
    const elementdict::Row* row = elementdict::FindRowByClass(cls);
    EXPECT_NE(row, nullptr) << cls;
    return row != nullptr ? row->id : 0;
}

// Sets a number field of any width by element class name.
void Num(BaseMSG& msg, const char* cls, uint32_t value, uint32_t occurrence = 0) {
    BaseElement* e = msg.FindElement(Id(cls), occurrence, false);
    ASSERT_NE(e, nullptr) << cls << "[" << occurrence << "]";
    if (auto* u32 = dynamic_cast<NumberElement<uint32_t, 4>*>(e)) {
        u32->Set(value);
    } else if (auto* i32 = dynamic_cast<NumberElement<int32_t, 4>*>(e)) {
        i32->Set(static_cast<int32_t>(value));
    } else if (auto* u16 = dynamic_cast<NumberElement<uint16_t, 2>*>(e)) {
        u16->Set(static_cast<uint16_t>(value));
    } else {
        FAIL() << cls << " is no number";
    }
}

void Str(BaseMSG& msg, const char* cls, const char* text, uint32_t occurrence = 0) {
    msg.SetSTRING(Id(cls), text, occurrence);
}

uint32_t NumOf(BaseMSG& msg, const char* cls, uint32_t occurrence = 0) {
    BaseElement* e = msg.FindElement(Id(cls), occurrence, false);
    if (e == nullptr || !e->IsPresent()) return 0xDEADBEEF;
    if (auto* u32 = dynamic_cast<NumberElement<uint32_t, 4>*>(e)) return u32->Get();
    if (auto* i32 = dynamic_cast<NumberElement<int32_t, 4>*>(e)) return static_cast<uint32_t>(i32->Get());
    if (auto* u16 = dynamic_cast<NumberElement<uint16_t, 2>*>(e)) return u16->Get();
    return 0xDEADBEEF;
}

bool Has(BaseMSG& msg, const char* cls, uint32_t occurrence = 0) {
    return msg.Present(Id(cls), occurrence) == 1;
}

// The message validates for the version and encodes to the golden frame; the frame decodes to
// a valid message of the same type that encodes to it again.
std::unique_ptr<BaseMSG> Both(BaseMSG& built, const Bytes& golden, uint32_t version,
                              uint32_t serviceMask = SERVICE_MASK_REMASK_BIT) {
    EXPECT_EQ(built.ValidateToSend(version), 0)
        << ElementName(built.GetFailingElement()) << "[" << built.GetFailingOccurrence() << "]";
    EXPECT_EQ(EncodeBytes(built, version, serviceMask), golden) << "v" << version;
    auto got = DecodeBytes(golden, version);
    EXPECT_NE(got, nullptr);
    if (got == nullptr) return got;
    EXPECT_EQ(got->GetStatus(), 0u) << ElementName(got->GetFailingElement()) << "["
                                    << got->GetFailingOccurrence() << "]";
    EXPECT_EQ(got->GetMsgType(), built.GetMsgType());
    EXPECT_EQ(EncodeBytes(*got, version, serviceMask), golden) << "v" << version;
    return got;
}

// ---- call events ----

TEST(Golden, CallHeldEventWithRequestEnablementMask) {
    CallHeldEventMSG held;
    Num(held, "MonitorID", 1);
    Num(held, "CTIPeripheralID", 5000);
    Num(held, "PeripheralType", 3);
    Num(held, "ConnectionDeviceIDType", 0);
    Num(held, "ConnectionCallID", 0x1234);
    Num(held, "HoldingDeviceType", 70);
    Num(held, "LocalConnectionState", 4);
    Num(held, "EventCause", 0xFFFF);
    Str(held, "ConnectionDeviceID", "dev");
    Str(held, "HoldingDeviceID", "1001");
    auto* masks = dynamic_cast<REMaskArray*>(held.FindElement(Id("REMaskArray"), 0, false));
    ASSERT_NE(masks, nullptr);
    REMaskEntry* entry = masks->AddREMask();
    entry->Set("inst1", "ext1", 900);
    entry->m_FunctionFlags.SetBits8(0x01);
    entry->m_CallMask.SetBits32(0x00010003);
    entry->m_AgentMask.SetBits8(0x04);

    auto fixed = [](uint32_t v) {
        Frame f(11, v);
        return f.U32(1).U32(5000).U16(3).U16(0).U32(0x1234).U16(70).U16(4).U16(0xFFFF)
            .Str(25, "dev").Str(31, "1001");
    };
    // Version 16 and a session that asked for the masks: one entry of six fields.
    Bytes v16 = fixed(16)
                    .Num16(236, 1)
                    .Str(237, "inst1")
                    .Str(238, "ext1")
                    .Num32(239, 900)
                    .Field(240, {0x01})
                    .Field(241, {0x03, 0x00, 0x01, 0x00})
                    .Field(242, {0x04})
                    .Done();
    auto got = Both(held, v16, 16);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(NumOf(*got, "REMaskArray"), 1u);
    EXPECT_EQ(NumOf(*got, "HoldingDeviceType"), 70u);
    // Without the service bit, or below version 16, the masks stay home.
    EXPECT_EQ(EncodeBytes(held, 16, 0), fixed(16).Done());
    EXPECT_EQ(EncodeBytes(held, 15), fixed(15).Done());
    // Version 20: 2-byte tags and lengths throughout.
    Bytes v20 = fixed(20)
                    .Num16(236, 1)
                    .Str(237, "inst1")
                    .Str(238, "ext1")
                    .Num32(239, 900)
                    .Field(240, {0x01})
                    .Field(241, {0x03, 0x00, 0x01, 0x00})
                    .Field(242, {0x04})
                    .Done();
    Both(held, v20, 20);
}

TEST(Golden, ThreePartyConference) {
    CallConferencedEventMSG conf;
    Num(conf, "MonitorID", 2);
    Num(conf, "CTIPeripheralID", 5000);
    Num(conf, "PeripheralType", 3);
    Num(conf, "PrimaryDeviceIDType", 0);
    Num(conf, "PrimaryCallID", 11);
    Num(conf, "LineHandle", 1);
    Num(conf, "LineTypeField", 2);
    Num(conf, "SkillGroupNumber", 300);
    Num(conf, "SkillGroupID", 301);
    Num(conf, "SkillGroupPriority", 0);
    Num(conf, "NumParties", 3);
    Num(conf, "SecondaryDeviceIDType", 1);
    Num(conf, "SecondaryCallID", 12);
    Num(conf, "ControllerDeviceType", 70);
    Num(conf, "AddedPartyDeviceType", 71);
    Num(conf, "LocalConnectionState", 3);
    Num(conf, "EventCause", 11);
    Str(conf, "PrimaryDeviceID", "p");
    Str(conf, "SecondaryDeviceID", "s");
    Str(conf, "ControllerDeviceID", "1001");
    Str(conf, "AddedPartyDeviceID", "1003");
    const char* parties[] = {"1001", "1002", "1003"};
    for (uint32_t k = 0; k < 3; ++k) {
        Num(conf, "ConnectedPartyCallID", 11 + k, k);
        Num(conf, "ConnectedPartyDeviceIDType", 0, k);
        Str(conf, "ConnectedPartyDeviceID", parties[k], k);
    }
    Frame f(17, 10);
    f.U32(2).U32(5000).U16(3).U16(0).U32(11).U16(1).U16(2).U32(300).U32(301).U16(0).U16(3)
        .U16(1).U32(12).U16(70).U16(71).U16(3).U16(11);
    f.Str(35, "p").Str(36, "s").Str(37, "1001").Str(38, "1003");
    // The parties go entry by entry: call id, device type, device id.
    for (uint32_t k = 0; k < 3; ++k) f.Num32(39, 11 + k).Num16(40, 0).Str(41, parties[k]);
    auto got = Both(conf, f.Done(), 10);
    ASSERT_NE(got, nullptr);
    for (uint32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(NumOf(*got, "ConnectedPartyCallID", k), 11 + k);
        EXPECT_STREQ(got->GetSTRING(Id("ConnectedPartyDeviceID"), k), parties[k]);
    }
    EXPECT_FALSE(Has(*got, "ConnectedPartyCallID", 3));

    // Sixteen parties fit; a seventeenth call id has no entry to go to.
    Frame many(17, 10);
    many.U32(2).U32(5000).U16(3).U16(0).U32(11).U16(1).U16(2).U32(300).U32(301).U16(0).U16(17)
        .U16(1).U32(12).U16(70).U16(71).U16(3).U16(11);
    many.Str(35, "p").Str(36, "s");
    for (uint32_t k = 0; k < 17; ++k) many.Num32(39, k);
    got = DecodeBytes(many.Done(), 10);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->GetStatus(), 26u);
    EXPECT_EQ(got->GetFailingElement(), Id("ConnectedPartyCallID"));
    EXPECT_EQ(NumOf(*got, "ConnectedPartyCallID", 15), 15u);
}

TEST(Golden, CallQueuedAtVersionsTwoFourAndFive) {
    // Twelve skill groups: none go to version 2, the first ten to version 4 (with the count
    // cut to 10), all twelve to version 5.
    CallQueuedEventMSG queued;
    Num(queued, "MonitorID", 7);
    Num(queued, "CTIPeripheralID", 5000);
    Num(queued, "PeripheralType", 3);
    Num(queued, "ConnectionDeviceIDType", 0);
    Num(queued, "ConnectionCallID", 99);
    Num(queued, "ServiceNumber", 40);
    Num(queued, "ServiceID", 41);
    Num(queued, "QueueDeviceType", 0xFFFF);
    Num(queued, "CallingDeviceType", 70);
    Num(queued, "CalledDeviceType", 71);
    Num(queued, "LastRedirectDeviceType", 0xFFFF);
    Num(queued, "NumQueued", 2);
    Num(queued, "NumSkillGroups", 12);
    Num(queued, "LocalConnectionState", 2);
    Num(queued, "EventCause", 22);
    Str(queued, "ConnectionDeviceID", "c");
    Str(queued, "CalledDeviceID", "8000");
    for (uint32_t k = 0; k < 12; ++k) {
        Num(queued, "FltSkillGroupNumber", 500 + k, k);
        Num(queued, "FltSkillGroupID", 600 + k, k);
        Num(queued, "FltSkillGroupPriority", k, k);
    }
    auto frame = [](uint32_t v, uint32_t records) {
        Frame f(21, v);
        if (v >= 5) f.U32(7);
        f.U32(5000).U16(3).U16(0).U32(99).U32(40).U32(41).U16(0xFFFF).U16(70).U16(71)
            .U16(0xFFFF).U16(2);
        if (v >= 3) f.U16(records);
        f.U16(2).U16(22).Str(25, "c").Str(28, "8000");
        for (uint32_t k = 0; k < records; ++k) f.Num32(62, 500 + k).Num32(63, 600 + k).Num16(64, k);
        return f.Done();
    };
    Both(queued, frame(2, 0), 2);
    auto v4 = Both(queued, frame(4, 10), 4);
    ASSERT_NE(v4, nullptr);
    EXPECT_EQ(NumOf(*v4, "NumSkillGroups"), 10u);
    EXPECT_FALSE(Has(*v4, "FltSkillGroupNumber", 10));
    auto v5 = Both(queued, frame(5, 12), 5);
    ASSERT_NE(v5, nullptr);
    EXPECT_EQ(NumOf(*v5, "FltSkillGroupID", 11), 611u);

    // An eleventh record sent to a version 4 server is a field of a later version.
    Bytes eleven = frame(4, 11);
    auto got = DecodeBytes(eleven, 4);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->GetStatus(), 49u);
    EXPECT_EQ(got->GetFailingElement(), Id("FltSkillGroupPriority"));
    EXPECT_EQ(got->GetFailingOccurrence(), 10u);
}

// ---- call control ----

TEST(Golden, MakeCallRequestFixedPartByVersion) {
    MakeCallReqMSG make(false, false);
    Num(make, "InvokeID", 0x10);
    Num(make, "CTIPeripheralID", 5000);
    Num(make, "CallPlacementType", 1);
    Num(make, "CallMannerType", 2);
    Num(make, "AlertRings", 4);
    Num(make, "CallOption", 0);
    Num(make, "FacilityType", 0);
    Num(make, "AnsweringMachine", 1);
    Num(make, "Priority", 0);
    Num(make, "PostRoute", 1);
    Num(make, "SkillGroupNumber", 0xFFFFFFFF);
    Str(make, "AgentInstrument", "1001");
    Str(make, "DialedNumberField", "5551234");
    make.SetSTRING(Id("CallVariable1"), "cv1");
    ASSERT_TRUE(SetECCCounts(make));
    auto frame = [](uint32_t v) {
        Frame f(56, v);
        f.U32(0x10).U32(5000).U16(1).U16(2);
        if (v >= 5) f.U16(4).U16(0);
        f.U16(0).U16(1).U16(0).U16(1);
        if (v >= 6) f.U16(0).U16(0);
        if (v >= 14) f.U32(0xFFFFFFFF);
        return f.Str(6, "1001").Str(11, "5551234").Str(13, "cv1").Done();
    };
    // 20, 24, 28 and 32 bytes of fixed part.
    const struct {
        uint32_t version;
        size_t fixed;
    } sizes[] = {{3, 20}, {4, 20}, {5, 24}, {6, 28}, {13, 28}, {14, 32}, {19, 32}, {24, 32}};
    for (const auto& s : sizes) {
        Bytes golden = frame(s.version);
        const size_t floating = s.version >= 20 ? 4 * 3 + 5 + 8 + 4 : 2 * 3 + 5 + 8 + 4;
        EXPECT_EQ(golden.size(), 8 + s.fixed + floating) << s.version;
        Both(make, golden, s.version);
    }
    // Both the instrument and the number are required.
    make.Remove(Id("DialedNumberField"));
    EXPECT_EQ(make.ValidateToSend(14), 6);
    EXPECT_EQ(make.GetFailingElement(), Id("DialedNumberField"));
}

TEST(Golden, OlderDTMFLayoutArrivesAsTheCurrentClass) {
    // InvokeID, PeripheralID, ConnectionCallID, ConnectionDeviceIDType, ToneDuration, the older
    // 2-byte CallMannerType, then the floating fields (AgentInstrument from version 8).
    for (uint32_t v : {3u, 5u, 9u, 19u}) {
        Frame older(91, v);
        older.U32(0x77).U32(5000).U32(0xABCD).U16(1).U16(250).U16(3).Str(25, "dev").Str(67, "12#");
        if (v >= 8) older.Str(6, "1001");
        auto got = DecodeBytes(older.Done(), v);
        ASSERT_NE(got, nullptr);
        ASSERT_NE(dynamic_cast<SendDTMFSignalReqMSG*>(got.get()), nullptr) << v;
        EXPECT_EQ(got->GetStatus(), 0u) << v;
        // The same request in the current layout: PauseDuration is 4 bytes.
        Frame current(91, v);
        current.U32(0x77).U32(5000).U32(0xABCD).U16(1).U16(250).U32(3)
            .Str(25, "dev").Str(67, "12#");
        if (v >= 8) current.Str(6, "1001");
        EXPECT_EQ(EncodeBytes(*got, v), current.Done()) << v;
        EXPECT_EQ(NumOf(*got, "PauseDuration"), 3u);
    }
}

// ---- snapshots ----

TEST(Golden, SnapshotCallConfDeviceRecordsByVersion) {
    SnapshotCallConfMSG snap(false, false);
    Num(snap, "InvokeID", 5);
    Num(snap, "CtiCallType", 1);
    Num(snap, "NumCTIClients", 1);
    Num(snap, "NumCallDevices", 2);
    Num(snap, "CalledPartyDisposition", 0);
    Num(snap, "CallTypeID", 44);
    ASSERT_TRUE(SetECCCounts(snap));
    Str(snap, "CTIClientSignature", "cli", 0);
    Num(snap, "CTIClientTimestamp", 1000, 0);
    const uint8_t ref[] = {0xA0, 0xA1};
    for (uint32_t k = 0; k < 2; ++k) {
        Num(snap, "CallConnectionCallID", 100 + k, k);
        Num(snap, "CallConnectionDeviceIDType", 0, k);
        Str(snap, "CallConnectionDeviceID", k == 0 ? "d0" : "d1", k);
        Num(snap, "CallDeviceType", 70, k);
        Str(snap, "CallDeviceID", k == 0 ? "1001" : "1002", k);
        Num(snap, "CallDeviceConnState", 3, k);
        snap.SetUNSPEC(Id("CallReferenceID"), ref, 2, k);
        Num(snap, "COCConnectionCallID", 200 + k, k);
        Num(snap, "COCCallConnectionDeviceIDType", 1, k);
        Str(snap, "COCCallConnectionDeviceID", "coc", k);
    }
    Num(snap, "RecordingStatus", 1);
    Str(snap, "ProtocolReferenceGUID", "g");
    Str(snap, "TessalyConfigId", "t");
    Num(snap, "NumOfEnabledServices", 2);
    Num(snap, "FltEnabledServices", 7, 0);
    Num(snap, "FltEnabledServices", 9, 1);

    auto frame = [&](uint32_t v) {
        Frame f(83, v);
        f.U32(5).U16(1).U16(1).U16(2).U16(0).U16(0).U16(0).U32(44);
        f.Str(23, "cli").Num32(24, 1000);
        for (uint32_t k = 0; k < 2; ++k) {
            f.Num32(56, 100 + k).Num16(57, 0).Str(58, k == 0 ? "d0" : "d1").Num16(59, 70)
                .Str(60, k == 0 ? "1001" : "1002").Num16(61, 3);
            if (v >= 14) f.Field(223, {0xA0, 0xA1}).Num32(229, 200 + k).Num16(230, 1).Str(231, "coc");
        }
        if (v >= 23) f.Num16(301, 1).Str(294, "g");
        if (v >= 24) f.Str(311, "t").Num16(310, 2).Num16(309, 7).Num16(309, 9);
        return f.Done();
    };
    // Version 13 writes six fields per device record, version 14 all ten.
    for (uint32_t v : {13u, 14u, 22u, 23u, 24u}) {
        auto got = Both(snap, frame(v), v);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(NumOf(*got, "CallDeviceConnState", 1), 3u);
        EXPECT_EQ(Has(*got, "COCConnectionCallID", 1), v >= 14) << v;
    }
}

// ---- agents ----

TEST(Golden, AgentStateEventAcrossVersions) {
    AgentStateEventMSG state;
    Num(state, "MonitorID", 1);
    Num(state, "CTIPeripheralID", 5000);
    Num(state, "SessionID", 2);
    Num(state, "PeripheralType", 3);
    Num(state, "SkillGroupState", 4);
    Num(state, "StateDuration", 5);
    Num(state, "SkillGroupNumber", 6);
    Num(state, "SkillGroupID", 7);
    Num(state, "SkillGroupPriority", 8);
    Num(state, "CTIAgentState", 3);
    Num(state, "EventReasonCode", 10);
    Num(state, "MRDID", 11);
    Num(state, "NumTasks", 12);
    Num(state, "AgentMode", 13);
    Num(state, "MaxTaskLimit", 14);
    Num(state, "ZURAgentID", 15);
    Num(state, "AgentAvailabilityStatus", 16);
    Num(state, "NumFltSkillGroups", 1);
    Num(state, "DepartmentID", 18);
    Str(state, "AgentID", "1234");
    Num(state, "NextAgentState", 2);
    Num(state, "Duration", 60);
    Num(state, "FltSkillGroupNumber", 90, 0);
    Num(state, "FltSkillGroupID", 91, 0);
    Num(state, "FltSkillGroupPriority", 1, 0);
    Num(state, "FltSkillGroupState", 4, 0);

    auto frame = [](uint32_t v, bool direction) {
        Frame f(30, v);
        if (v >= 5) f.U32(1);
        f.U32(5000);
        if (v >= 8) f.U32(2);
        f.U16(3).U16(4).U32(5).U32(6).U32(7).U16(8);
        if (v >= 3) f.U16(3);
        if (v >= 6) f.U16(10);
        if (v >= 9) f.U32(11).U32(12).U16(13).U32(14).U32(15).U32(16);
        if (v >= 10) f.U16(1);
        if (v >= 19) f.U32(18);
        // The first floating field, after DepartmentID.
        if (direction && v >= 16) f.Num32(244, 1);
        f.Str(5, "1234");
        if (v >= 10) f.Num16(123, 2).Num32(150, 60).Num32(62, 90).Num32(63, 91).Num16(64, 1).Num16(65, 4);
        return f.Done();
    };
    // Fixed part sizes: 22 bytes at version 2, 24 at 3, 28 at 5, 30 at 6, 34 at 8, 56 at 9,
    // 58 at 10, 62 at 19.
    const struct {
        uint32_t version;
        size_t fixed;
    } sizes[] = {{2, 22}, {3, 24}, {5, 28}, {6, 30}, {8, 34}, {9, 56}, {10, 58}, {15, 58}};
    for (const auto& s : sizes) {
        Bytes golden = frame(s.version, false);
        // AgentID; then NextAgentState, Duration and one skill-group record of four fields.
        const size_t floating = s.version >= 10 ? 7 + 4 + 6 + (6 + 6 + 4 + 4) : 7;
        EXPECT_EQ(golden.size(), 8 + s.fixed + floating) << s.version;
        Both(state, golden, s.version);
    }
    // From version 16 Direction is required.
    EXPECT_EQ(state.ValidateToSend(16), 6);
    EXPECT_EQ(state.GetFailingElement(), Id("Direction"));
    Num(state, "Direction", 1);
    for (uint32_t v : {16u, 19u, 20u, 24u}) {
        auto got = Both(state, frame(v, true), v);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(NumOf(*got, "DepartmentID"), v >= 19 ? 18u : 0xDEADBEEF);
    }
    EXPECT_EQ(frame(19, true).size() - 8, 62u + 6 + 7 + 4 + 6 + (6 + 6 + 4 + 4));
}

// ---- statistics ----

// QUERY_DEVICE_INFO_CONF: six fixed fields (14 bytes) up to version 5, fourteen (40 bytes)
// from 6; then the line pairs entry by entry, then the data structure, whose length takes two
// bytes whatever the version's header form.
TEST(Golden, QueryDeviceInfoConfByVersion) {
    const uint8_t data[] = {0x01, 0x00, 0x7F};
    for (uint32_t v : {5u, 6u, 19u, 20u}) {
        SCOPED_TRACE("v" + std::to_string(v));
        QueryDeviceInfoConfMSG msg;
        Num(msg, "InvokeID", 0x11223344);
        Num(msg, "PeripheralType", 5);
        Num(msg, "TypeOfDevice", 1);
        Num(msg, "ClassOfDevice", 2);
        Num(msg, "NumLines", 2);
        Num(msg, "QueryDeviceDataType", 0);
        Num(msg, "MaxActiveCalls", 3);
        Num(msg, "MaxHeldCalls", 4);
        Num(msg, "MaxDevicesInConference", 6);
        Num(msg, "AgentStateMask", 0x3FF);
        Num(msg, "TransferConferenceSetup", 7);
        Num(msg, "CallMsgMask", 0x1);
        Num(msg, "CallControlSupported", 0x8);
        Num(msg, "OtherFeaturesSupported", 0x3);
        for (uint32_t e = 0; e < 2; ++e) {
            Num(msg, "FltLineHandle", 10 + e, e);
            Num(msg, "FltLineType", 1 + e, e);
        }
        auto* structure = dynamic_cast<DataStructureField*>(msg.FindElement(Id("QueryDeviceData"), 0, false));
        ASSERT_NE(structure, nullptr);
        structure->Set(data, 3);

        Frame f(79, v);
        f.U32(0x11223344).U16(5).U16(1).U16(2).U16(2).U16(0);
        if (v >= 6) f.U16(3).U16(4).U16(6).U32(0x3FF).U32(7).U32(0x1).U32(0x8).U32(0x3);
        f.Num16(70, 10).Num16(71, 1).Num16(70, 11).Num16(71, 2);
        f.Field(74, Bytes(data, data + 3));
        const Bytes golden = f.Done();
        EXPECT_EQ(golden.size(), 8u + (v >= 6 ? 40u : 14u) + 4u * (v >= 20 ? 6u : 4u) +
                                     (v >= 20 ? 4u : 3u) + 3u);
        auto got = Both(msg, golden, v);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(NumOf(*got, "FltLineType", 1), 2u);
        EXPECT_FALSE(Has(*got, "FltLineHandle", 2));
        EXPECT_EQ(Has(*got, "CallMsgMask"), v >= 6);
    }
}

TEST(Golden, StatisticsConfirmationsFixedSizes) {
    // Fixed parts: agent statistics 168 / 328 / 344 bytes, skill-group statistics 196 / 588 /
    // 596 bytes, at versions 6-7 / 8 / 9 and later. Every counter is a 4-byte number.
    const struct {
        uint32_t version;
        size_t agent;
        size_t group;
    } sizes[] = {{6, 168, 196}, {7, 168, 196}, {8, 328, 588}, {9, 344, 596}, {24, 344, 596}};
    for (const auto& s : sizes) {
        QueryAgentStatisticsConfMSG agent;
        QuerySkillGroupStatisticsConfMSG group;
        uint32_t n = 0;
        for (BaseMSG* msg : {static_cast<BaseMSG*>(&agent), static_cast<BaseMSG*>(&group)}) {
            for (BaseElement* e = msg->GetFirstElement(); e != nullptr && !e->IsFloating(); e = e->GetNext()) {
                auto* counter = dynamic_cast<NumberElement<uint32_t, 4>*>(e);
                ASSERT_NE(counter, nullptr) << ElementName(e->GetElementID());
                counter->Set(++n);
            }
        }
        Str(agent, "AgentExtension", "1");
        Str(agent, "AgentID", "2");
        Str(agent, "AgentInstrument", "3");
        const size_t header = s.version >= 20 ? 4 : 2;
        Bytes a = EncodeBytes((agent.ValidateToSend(s.version), agent), s.version);
        Bytes g = EncodeBytes((group.ValidateToSend(s.version), group), s.version);
        EXPECT_EQ(a.size(), 8 + s.agent + 3 * (header + 2)) << s.version;
        EXPECT_EQ(g.size(), 8 + s.group) << s.version;
        // The counters go in the order of the list, which is not the order of their ids.
        auto got = DecodeBytes(a, s.version);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->GetStatus(), 0u);
        EXPECT_EQ(EncodeBytes(*got, s.version), a);
    }
    // A counter left unset fails the confirmation, naming it.
    QueryAgentStatisticsConfMSG agent;
    for (BaseElement* e = agent.GetFirstElement(); e != nullptr && !e->IsFloating(); e = e->GetNext()) {
        if (e->GetElementID() != Id("HandledCallsAfterCallTimeSession")) {
            dynamic_cast<NumberElement<uint32_t, 4>*>(e)->Set(1);
        }
    }
    Str(agent, "AgentExtension", "1");
    Str(agent, "AgentID", "2");
    Str(agent, "AgentInstrument", "3");
    EXPECT_EQ(agent.ValidateToSend(9), 6);
    EXPECT_EQ(agent.GetFailingElement(), Id("HandledCallsAfterCallTimeSession"));
    // Between HandledCallsTalkTimeSession and HandledCallsTimeSession on the wire.
    std::vector<uint32_t> order;
    for (BaseElement* e = agent.GetFirstElement(); e != nullptr; e = e->GetNext()) order.push_back(e->GetElementID());
    auto at = std::find(order.begin(), order.end(), Id("HandledCallsAfterCallTimeSession"));
    ASSERT_NE(at, order.end());
    EXPECT_EQ(*(at - 1), Id("HandledCallsTalkTimeSession"));
    EXPECT_EQ(*(at + 1), Id("HandledCallsTimeSession"));
}

// ---- routing ----

TEST(Golden, RouteRequestByVersion) {
    RouteRequestEventMSG route(false, false);
    Num(route, "RoutingCrossRefID", 0x0102);
    Num(route, "ConnectionCallID", 0x0304);
    Num(route, "ConnectionDeviceIDType", 0);
    Num(route, "CTIPeripheralID", 5000);
    Num(route, "Timeout", 30);
    Str(route, "ConnectionDeviceID", "c");
    Str(route, "CurrentRoute", "r");
    Str(route, "CallingDeviceID", "9");
    Str(route, "DNISField", "800");
    ASSERT_EQ(route.SetECC(Id("ExpandedCallContxt"), "user.a", "1"), 0);
    ASSERT_TRUE(SetECCCounts(route));
    Num(route, "COCConnectionCallID", 7);
    Num(route, "COCCallConnectionDeviceIDType", 1);
    Str(route, "COCCallConnectionDeviceID", "x");
    Num(route, "Options", 3);
    auto frame = [](uint32_t v) {
        Frame f(213, v);
        // RoutingCrossRefID, ConnectionCallID, ConnectionDeviceIDType, the two counts,
        // CTIPeripheralID: 18 bytes.
        f.U32(0x0102).U32(0x0304).U16(0).U16(1).U16(0).U32(5000);
        f.Num32(200, 30).Str(25, "c").Str(201, "r").Str(27, "9").Str(10, "800");
        // One scalar of the call context: tag 82, name and value each with its NUL.
        f.Field(82, {'u', 's', 'e', 'r', '.', 'a', 0, '1', 0});
        if (v >= 14) f.Num32(229, 7).Num16(230, 1).Str(231, "x");
        if (v >= 17) f.Num32(245, 3);
        return f.Done();
    };
    for (uint32_t v : {10u, 13u, 14u, 16u, 17u, 24u}) {
        Bytes golden = frame(v);
        auto got = Both(route, golden, v);
        ASSERT_NE(got, nullptr);
        std::string value;
        EXPECT_TRUE(got->GetECC(Id("ExpandedCallContxt"), "user.a", value));
        EXPECT_EQ(value, "1");
    }
    route.Remove(Id("CurrentRoute"));
    EXPECT_EQ(route.ValidateToSend(24), 6);
    EXPECT_EQ(route.GetFailingElement(), Id("CurrentRoute"));
}

// ---- configuration ----

TEST(Golden, ConfigAgentEventSkillListsRealigned) {
    // Two agents: the first with skills 3 and one media routing domain, the second with
    // skills 2 and none. Entry j of record r is occurrence r*100+j (skills) and r*40+j (domains).
    ConfigAgentEventMSG agents;
    Num(agents, "NumRecords", 2);
    const uint32_t skills[] = {3, 2};
    const uint32_t domains[] = {1, 0};
    for (uint32_t r = 0; r < 2; ++r) {
        Num(agents, "RecordType", 1, r);
        Num(agents, "FltPeripheralID", 5000, r);
        Num(agents, "AgentType", 1, r);
        Str(agents, "LoginID", r == 0 ? "a1" : "a2", r);
        Str(agents, "LastName", "L", r);
        Num(agents, "FltAgentSkillTargetID", 7000 + r, r);
        Num(agents, "NumSkills", skills[r], r);
        Num(agents, "NumMRDs", domains[r], r);
        for (uint32_t j = 0; j < skills[r]; ++j) {
            Num(agents, "FltSkillGroupNumber", 10 * r + j, r * 100 + j);
            Num(agents, "FltSkillGroupPriority", j, r * 100 + j);
        }
        for (uint32_t j = 0; j < domains[r]; ++j) {
            Num(agents, "FltAgentMRDID", 1, r * 40 + j);
            Num(agents, "FltAgentMRDState", 3, r * 40 + j);
        }
    }
    Frame f(237, 21);
    f.U16(2);
    for (uint32_t r = 0; r < 2; ++r) {
        f.Num16(183, 1).Num32(208, 5000).Num16(189, 1).Str(190, r == 0 ? "a1" : "a2")
            .Str(138, "L").Num32(141, 7000 + r).Num16(191, skills[r]).Num16(261, domains[r]);
        for (uint32_t j = 0; j < skills[r]; ++j) f.Num32(62, 10 * r + j).Num16(64, j);
        for (uint32_t j = 0; j < domains[r]; ++j) f.Num32(262, 1).Num16(263, 3);
    }
    Bytes golden = f.Done();
    EXPECT_LE(golden.size() - 8, static_cast<size_t>(agents.MaxEncodedSize(21)));
    auto got = Both(agents, golden, 21);
    ASSERT_NE(got, nullptr);
    for (uint32_t j = 0; j < 3; ++j) EXPECT_EQ(NumOf(*got, "FltSkillGroupNumber", j), j);
    EXPECT_EQ(NumOf(*got, "FltSkillGroupNumber", 100), 10u);
    EXPECT_EQ(NumOf(*got, "FltSkillGroupNumber", 101), 11u);
    EXPECT_EQ(NumOf(*got, "FltSkillGroupPriority", 101), 1u);
    for (uint32_t occ : {3u, 4u, 99u, 102u, 199u}) {
        EXPECT_FALSE(Has(*got, "FltSkillGroupNumber", occ)) << occ;
        EXPECT_FALSE(Has(*got, "FltSkillGroupPriority", occ)) << occ;
    }
    EXPECT_EQ(NumOf(*got, "FltAgentMRDState", 0), 3u);
    EXPECT_FALSE(Has(*got, "FltAgentMRDID", 40));
    EXPECT_STREQ(got->GetSTRING(Id("LoginID"), 1), "a2");

    // For version 10 a record has nine fields of its own and no domain list.
    Frame old(237, 10);
    old.U16(2);
    for (uint32_t r = 0; r < 2; ++r) {
        old.Num16(183, 1).Num16(189, 1).Str(190, r == 0 ? "a1" : "a2").Str(138, "L")
            .Num32(141, 7000 + r).Num16(191, skills[r]);
        for (uint32_t j = 0; j < skills[r]; ++j) old.Num32(62, 10 * r + j).Num16(64, j);
    }
    Both(agents, old.Done(), 10);
}

}  // namespace
