// Session and system messages: OPEN_REQ at every version with its service rule, OPEN_CONF's
// per-version fixed part, the Reserved fields, and the fields that arrive with later versions.
#include <gtest/gtest.h>

#include "ctimsg/messages/messages.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::Bytes;
using msgtest::DecodeBytes;
using msgtest::EncodeBytes;
using msgtest::Frame;

constexpr uint32_t kServiceMask = 5, kReserved = 8, kAgentID = 436, kAgentIDLong = 611;

// An OPEN_REQ frame as a client of that version writes it.
Frame OpenReq(uint32_t version, uint32_t versionNumber, uint32_t serviceMask,
              uint32_t reserved2 = 0) {
    Frame f(3, version);
    f.U32(7).U32(versionNumber).U32(30).U32(5000).U32(serviceMask).U32(0).U32(0);
    if (version >= 10) f.U32(0);
    f.U32(0).U32(reserved2).U32(0);
    f.Str(1, "client").Field(2, {'p', 'w'});
    return f;
}

TEST(OpenReq, DecodesAtEveryVersionWithItsFixedPart) {
    for (uint32_t v = 2; v <= 24; ++v) {
        Frame f = OpenReq(v, v, 0);
        if (v >= 10) f.Str(194, "long-agent");
        if (v >= 24) f.Str(308, "instance");
        auto msg = DecodeBytes(f.Done(), v);
        ASSERT_NE(msg, nullptr) << v;
        EXPECT_NE(dynamic_cast<OpenReqMSG*>(msg.get()), nullptr);
        EXPECT_EQ(msg->GetStatus(), 0u) << "version " << v << " element "
                                        << msg->GetFailingElement();
        EXPECT_TRUE(msg->IsValid()) << v;
        EXPECT_EQ(msg->GetUINT(3), 30u) << v;
        EXPECT_STREQ(msg->GetSTRING(432), "client") << v;
        if (v >= 24) {
            EXPECT_STREQ(msg->GetSTRING(720), "instance");
        }

        // The fixed part is 40 bytes below version 10 (no ConfigMsgMask) and 44 from it.
        Bytes bytes = EncodeBytes(*msg, v);
        Bytes again = f.Done();
        EXPECT_EQ(bytes, again) << "round trip at version " << v;
    }
}

TEST(OpenReq, ServiceRuleByTheVersionInsideTheMessage) {
    struct Case {
        uint32_t versionNumber;
        uint32_t mask;
        bool agent;
        uint32_t status;
        uint32_t element;
    };
    const Case cases[] = {
        {9, 0x00002000, true, 19, kServiceMask},   // bit 13 is unknown before 12
        {12, 0x00002000, true, 0, 0},
        {9, 0x00010000, true, 19, kServiceMask},   // ROUTING from 10
        {10, 0x00010000, true, 0, 0},
        {24, 0x00004000, true, 19, kServiceMask},  // bit 14 in no version
        {2, 0x00004000, true, 19, kServiceMask},
        {2, 0x80000000, false, 0, 0},              // DEBUG always
        {24, 0x80000000, false, 0, 0},
        {3, 0x0000000C, true, 0, 0},
        {2, 0x0000000C, true, 19, kServiceMask},
        {16, 0x01000000, true, 0, 0},
        {14, 0x01000000, true, 19, kServiceMask},
        {24, 0x02000000, true, 0, 0},
        {24, 0x04000000, true, 19, kServiceMask},
        {24, 0x80000001, false, 6, kAgentID},      // CLIENT_EVENTS names no agent
        {24, 0x00000001, true, 0, 0},
    };
    for (const auto& c : cases) {
        Frame f = OpenReq(24, c.versionNumber, c.mask);
        if (c.agent) f.Str(6, "4000");
        auto msg = DecodeBytes(f.Done(), 24);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->GetStatus(), c.status) << c.versionNumber << " " << std::hex << c.mask;
        EXPECT_EQ(msg->GetFailingElement(), c.element) << c.versionNumber << " " << std::hex << c.mask;
        EXPECT_EQ(msg->IsValid(), c.status == 0);
    }
}

TEST(OpenReq, AnyOneAgentFieldIdentifiesTheClient) {
    for (uint32_t tag : {4u, 5u, 194u, 6u}) {
        Frame f = OpenReq(24, 24, 0x00000001);
        f.Str(tag, "1234");
        auto msg = DecodeBytes(f.Done(), 24);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->GetStatus(), 0u) << tag;
    }
    // A locally built one is held to the same rule by every validation.
    OpenReqMSG open;
    open.SetUINT(1, 1);
    open.SetUINT(2, 24);
    for (uint32_t id : {3u, 4u, 6u, 7u, 375u}) open.SetUINT(id, 0);
    open.SetUINT(kServiceMask, 0x80000001);
    open.SetSTRING(432, "c");
    open.SetUNSPEC(433, reinterpret_cast<const uint8_t*>("x"), 1);
    EXPECT_EQ(open.ValidateToSend(24), 6);
    EXPECT_EQ(open.GetFailingElement(), kAgentID);
    open.SetSTRING(kAgentIDLong, "agent");
    EXPECT_EQ(open.ValidateToSend(24), 0);
    EXPECT_EQ(open.Validate(24), 0);
}

TEST(OpenReq, ThreeReservedFieldsBuiltZeroEachReadInPlace) {
    OpenReqMSG open;
    int reserved = 0;
    for (BaseElement* e = open.GetFirstElement(); e != nullptr; e = e->GetNext()) {
        if (e->GetElementID() != kReserved) continue;
        ++reserved;
        EXPECT_TRUE(e->IsPresent());
        EXPECT_EQ(e->GetOccurrence(), 0u);
    }
    EXPECT_EQ(reserved, 3);

    // A non-zero second Reserved fails with 22 and names occurrence 1 of the walk.
    auto msg = DecodeBytes(OpenReq(24, 24, 0, 5).Done(), 24);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetStatus(), 22u);
    EXPECT_EQ(msg->GetFailingElement(), kReserved);
    EXPECT_EQ(msg->GetFailingOccurrence(), 1u);
    // Access by (8, 0) reaches only the first one.
    EXPECT_EQ(msg->GetUINT(kReserved), 0u);
    msg->SetUINT(kReserved, 9);
    std::vector<uint32_t> values;
    for (BaseElement* e = msg->GetFirstElement(); e != nullptr; e = e->GetNext()) {
        if (e->GetElementID() == kReserved) values.push_back(static_cast<UINTElement*>(e)->Get());
    }
    EXPECT_EQ(values, (std::vector<uint32_t>{9, 5, 0}));
}

TEST(OpenConf, FixedPartSizeByVersion) {
    OpenConfMSG conf;
    for (uint32_t id : {1u, 5u, 87u, 9u, 174u}) conf.SetUINT(id, 0);
    conf.SetBOOL(97, 1);
    conf.SetUSHORT(10, 1);
    conf.SetUSHORT(11, 0);
    conf.SetINT(423, -1);
    conf.SetUSHORT(429, 0);
    struct Case {
        uint32_t version;
        size_t fixed;
    };
    const Case cases[] = {{2, 16}, {4, 16}, {5, 22}, {6, 26}, {18, 26}, {19, 30}, {23, 30}, {24, 32}};
    for (const auto& c : cases) {
        ASSERT_EQ(conf.ValidateToSend(c.version), 0) << c.version << " "
                                                     << conf.GetFailingElement();
        EXPECT_EQ(EncodeBytes(conf, c.version).size(), 8 + c.fixed) << c.version;
    }
    // A missing fixed field of the version fails; one from a later version does not.
    conf.Remove(429);
    EXPECT_EQ(conf.ValidateToSend(23), 0);
    EXPECT_EQ(conf.ValidateToSend(24), 6);
    EXPECT_EQ(conf.GetFailingElement(), 429u);
}

TEST(SessionMessages, FieldsArriveWithTheirVersions) {
    struct Case {
        const char* what;
        BaseMSG* msg;
        uint32_t textFrom;
        uint32_t clientIdFrom;
    };
    FailureConfMSG failureConf;
    FailureEventMSG failureEvent;
    ControlFailureConfMSG controlFailure;
    failureConf.SetUINT(1, 1);
    failureConf.SetUINT(12, 2);
    failureEvent.SetUINT(12, 2);
    controlFailure.SetUINT(1, 1);
    controlFailure.SetUSHORT(56, 1);
    controlFailure.SetUINT(85, 0);
    const Case cases[] = {{"FAILURE_CONF", &failureConf, 10, 11},
                          {"FAILURE_EVENT", &failureEvent, 10, 0},
                          {"CONTROL_FAILURE_CONF", &controlFailure, 10, 11}};
    for (const auto& c : cases) {
        c.msg->SetSTRING(477, "why");
        if (c.clientIdFrom != 0) c.msg->SetSTRING(632, "wexa");
        size_t bare = 0;
        for (uint32_t v : {9u, 10u, 11u}) {
            ASSERT_EQ(c.msg->ValidateToSend(v), 0) << c.what << v;
            size_t size = EncodeBytes(*c.msg, v).size();
            if (v == 9) bare = size;
            size_t expected = bare + (v >= c.textFrom ? 2 + 4 : 0) +
                              (c.clientIdFrom != 0 && v >= c.clientIdFrom ? 2 + 5 : 0);
            EXPECT_EQ(size, expected) << c.what << " v" << v;
        }
    }
}

TEST(SessionMessages, UserMessageEventRequiresWhatTheRequestMayOmit) {
    UserMessageReqMSG req;
    req.SetUINT(1, 1);
    req.SetUINT(4, 1);
    req.SetUSHORT(98, 0);
    EXPECT_EQ(req.ValidateToSend(6), 0);

    UserMessageEventMSG event;
    event.SetUINT(174, 1);
    event.SetUSHORT(98, 0);
    EXPECT_EQ(event.ValidateToSend(6), 6);
    EXPECT_EQ(event.GetFailingElement(), 432u);
    event.SetSTRING(432, "c");
    EXPECT_EQ(event.ValidateToSend(6), 6);
    EXPECT_EQ(event.GetFailingElement(), 477u);
    event.SetSTRING(477, "hi");
    EXPECT_EQ(event.ValidateToSend(6), 0);
}

TEST(SessionMessages, RegisterVariablesCountRuleAtDecode) {
    auto frame = [](uint32_t version, uint16_t numVariables) {
        Frame f(110, version);
        f.U32(1).U16(0).U16(numVariables).U16(0);
        // One scalar: name and value, each with its NUL.
        Bytes body = {'v', 'a', 'r', 0, 'x', 0};
        f.Field(82, body);
        return f.Done();
    };
    auto good = DecodeBytes(frame(6, 1), 6);
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(good->GetStatus(), 0u);
    auto bad = DecodeBytes(frame(6, 2), 6);
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->GetStatus(), 77u);
    EXPECT_EQ(bad->GetFailingElement(), 163u);
    EXPECT_FALSE(bad->IsValid());
}

}  // namespace
