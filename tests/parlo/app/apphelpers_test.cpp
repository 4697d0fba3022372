// The application helpers: bounded formatting, connection texts, send validation, the
// DEFINITY test, call variables of requests and the CSTA source-agent helper.
#include "parlo/app/apphelpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "nuvlib/utf8utils.h"
#include "parlo/model/agent.h"
#include "tests/parlo/model/model_fixture.h"
#include "tests/support/fake_clock.h"

namespace {

namespace E = elementid;

TEST(BoundedFormatting, SprintfCutsAndReports) {
    const std::string big(300, 'x');
    struct Case {
        size_t count;
        std::string text;
        int result;
        size_t kept;
    } cases[] = {
        {256, big, -1, 255},            // cut at N - 1
        {256, std::string(255, 'y'), 255, 255},
        {0, "abc", 0, 0},               // count 0: empty text, 0
        {3, "hello", -1, 3},            // a smaller count cuts earlier
        {10, "hello", 5, 5},
        {1000, "hello", 5, 5},          // count beyond N is N
    };
    for (const Case& c : cases) {
        char buffer[256];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(BoundedSprintf(buffer, c.count, "%s", c.text.c_str()), c.result) << c.count;
        EXPECT_EQ(std::strlen(buffer), c.kept) << c.count;
        EXPECT_EQ(std::string(buffer), c.text.substr(0, c.kept));
    }
    char small[32];
    EXPECT_EQ(BoundedSprintf(small, sizeof small, "%d-%s", 12345, std::string(40, 'z').c_str()),
              -1);
    EXPECT_EQ(std::strlen(small), 31u);
    EXPECT_EQ(std::string(small, 6), "12345-");
}

TEST(BoundedFormatting, StrcatAndCopy) {
    struct Cat {
        std::string start;
        const char* add;
        std::string expected;
    } cats[] = {
        {"abc", "def", "abcdef"},
        {std::string(60, 'a'), "0123456789", std::string(60, 'a') + "0123"},
        {std::string(64, 'a'), "x", std::string(64, 'a')},
        {"abc", nullptr, "abc"},
        {"", "", ""},
    };
    for (const Cat& c : cats) {
        char buffer[65];
        std::memcpy(buffer, c.start.c_str(), c.start.size() + 1);
        EXPECT_EQ(BoundedStrcat(buffer, c.add), buffer);
        EXPECT_EQ(std::string(buffer), c.expected);
    }

    const std::string long200(200, 'q');
    struct Copy {
        const char* text;
        size_t count;
        std::string expected;
    } copies[] = {
        {"abc", 1, ""},  // below 2: nothing
        {"abc", 0, ""},
        {"abc", 2, "ab"},
        {"abc", 50, "abc"},
        {long200.c_str(), 500, std::string(131, 'q')},
        {nullptr, 50, ""},
    };
    for (const Copy& c : copies) {
        char buffer[132];
        std::memset(buffer, '#', sizeof buffer);
        BoundedCopy(buffer, c.text, c.count);
        EXPECT_EQ(std::string(buffer), c.expected) << c.count;
    }
}

TEST(AppHelpers, ConnectionIDTextAndDefinity) {
    struct Case {
        int32_t callID;
        int32_t type;
        const char* device;
        const char* expected;
    } cases[] = {
        {17, -1, "4711", "17."},
        {17, 0, "4711", "17.4711(s)"},
        {17, 1, "4711", "17.4711(d)"},
        {-2, 9, "4711", "-2.4711(*** INVALID IDTYPE 9 ***)"},
    };
    for (const Case& c : cases) {
        std::string text = "call ";
        AppendConnectionIDText(text, c.callID, c.type, c.device);
        EXPECT_EQ(text, std::string("call ") + c.expected);
    }

    for (int16_t type : {-1, 0, 2, 11, 13, 30})
        EXPECT_FALSE(IsDefinityPeripheralType(type)) << type;
    EXPECT_TRUE(IsDefinityPeripheralType(12));
    EXPECT_TRUE(IsDefinityPeripheralType(1));
}

// A message whose send validation gives a negative code.
class NegativeMSG : public BaseMSG {
public:
    NegativeMSG() : BaseMSG(0) {}
    int ValidateToSend(uint32_t) override { return -4; }
};

TEST(AppHelpers, ValidateMessageOnlyZeroPasses) {
    HeartbeatConfMSG conf;  // InvokeID required and absent
    EXPECT_EQ(ValidateMessage("Test", conf), 0);
    NegativeMSG negative;
    EXPECT_EQ(ValidateMessage("Test", negative), 0);
    conf.SetUINT(E::InvokeID, 7);
    EXPECT_EQ(ValidateMessage("Test", conf), 1);
}

class FileTimeTest : public testsupport::FakeClockTest {};

TEST_F(FileTimeTest, FollowsTheInjectableClock) {
    clock_.SetRealtimeNs(0);
    uint64_t ft = 0;
    EXPECT_EQ(GetFileTimeNow(ft), plat::kFileTimeUnixEpoch);
    EXPECT_EQ(ft, plat::kFileTimeUnixEpoch);
    clock_.AdvanceMs(1500);
    EXPECT_EQ(FileTimeNow(), plat::kFileTimeUnixEpoch + 15000000);
}

TEST(CallVariables, ExtractionByRequestType) {
    MakeCallReqMSG makeCall(false, false);
    ConferenceCallReqMSG conference(false, false);
    for (BaseMSG* m : {static_cast<BaseMSG*>(&makeCall), static_cast<BaseMSG*>(&conference)}) {
        m->SetSTRING(E::CallVariable1, "first");
        m->SetSTRING(E::CallVariable2, std::string(40, 'v'));
        m->SetSTRING(E::CallVariable10, "");
    }

    struct Case {
        BaseMSG* msg;
        const char* absent;  // what a missing variable becomes in the buffer form
    } cases[] = {{&makeCall, ""}, {&conference, kAbsentCallVariable}};
    for (const Case& c : cases) {
        char buffers[10][41];
        std::memset(buffers, '#', sizeof buffers);
        GetRequestCallVariables(*c.msg, buffers);
        EXPECT_STREQ(buffers[0], "first");
        EXPECT_EQ(std::string(buffers[1]), std::string(40, 'v'));
        EXPECT_STREQ(buffers[2], c.absent);
        EXPECT_STREQ(buffers[9], "");  // present and empty
        std::string texts[10];
        GetCallVariables(*c.msg, texts);
        EXPECT_EQ(texts[0], "first");
        EXPECT_EQ(texts[2], "\xFF");  // the text form marks every absent one
        EXPECT_EQ(texts[9], "");
    }
}

TEST(CallVariables, UTF8ConversionKeepsTheClientsTextOnFailure) {
    ASSERT_TRUE(UTF8UtilsSetLocalCodePage("CP1252"));
    SetCallDataReqMSG request(false, false);
    request.SetSTRING(E::CallVariable1, "caf\xC3\xA9");  // UTF-8 e-acute
    request.SetSTRING(E::CallVariable2, "bad\xC3(");      // invalid UTF-8: conversion fails
    request.SetSTRING(E::CallVariable3, "plain");

    std::string texts[10];
    GetCallVariablesUTF8(request, texts);
    EXPECT_EQ(texts[0], "caf\xE9");
    EXPECT_EQ(texts[1], "bad\xC3(");
    EXPECT_EQ(texts[2], "plain");
    EXPECT_EQ(texts[3], "\xFF");

    char buffers[10][41];
    GetRequestCallVariablesUTF8(request, buffers);
    EXPECT_STREQ(buffers[0], "caf\xE9");
    EXPECT_STREQ(buffers[1], "bad\xC3(");
    EXPECT_STREQ(buffers[3], "\xFF");

    std::string raw[10];
    GetCallVariables(request, raw);
    EXPECT_EQ(raw[0], "caf\xC3\xA9");
}

class SourceAgentTest : public modeltest::ModelTest {
protected:
    ~SourceAgentTest() override { Agent::RemoveAgent(-1, ""); }
};

TEST_F(SourceAgentTest, SetsTheSourceExtensionAndAgent) {
    ports.peripheralTypes[5003] = 30;
    new Agent(5000, 48, 1, 0, "1001", "4711", nullptr, false);
    new Agent(5003, 30, 2, 0, "2002", "6000", nullptr, false);
    struct Case {
        int32_t periph;
        const char* device;
        int32_t type;
        int32_t status;
        const char* srcExtension;
        const char* srcAgent;
    } cases[] = {
        {5000, "4711", 0, 0, "4711", "1001"},
        {5000, "5555", 78, 0, "5555", ""},     // no agent: the extension still
        {5003, "6000.77.1", 0, 0, "6000", "2002"},  // the instrument part
        {5000, "4711", 5, 0, "", ""},          // not a plain device
        {5000, "4711", 0, 1, "", ""},          // ID not provided
        {5000, "", 0, 0, "", ""},
    };
    for (const Case& c : cases) {
        Call* call = NewCall(static_cast<uint32_t>(c.periph), 700);
        CSTAExtendedDeviceID device;
        std::snprintf(device.deviceID, sizeof device.deviceID, "%s", c.device);
        device.deviceIDType = c.type;
        device.deviceIDStatus = c.status;
        SetCallSourceAgent(c.periph, device, call);
        EXPECT_EQ(call->m_SrcExtension, c.srcExtension) << c.device << " " << c.type;
        EXPECT_EQ(call->m_SrcAgentID, c.srcAgent) << c.device << " " << c.type;
        Call::Free(call, false);
    }
}

}  // namespace

namespace {

TEST_F(SourceAgentTest, PartyUpdateOfNonAcdDevices) {
    Call* call = NewCall(5000, 900);
    CTICSTADevice* device = NewDevice(5000, 0, "4711");
    CTICSTAConnection* c =
        CTICSTAConnection::Alloc(device, call, 3, 0, 0, "4711", "test");
    ASSERT_NE(c, nullptr);
    struct Case {
        const char* name;
        const char* deviceID;
        int32_t state;
        int32_t deviceType;
        int changedBefore;
        int result;
        int changedAfter;
        int32_t stateAfter;
    } cases[] = {
        {"ACD device: untouched", "sw.4711.1", 4, 5, 0, 0, 0, 3},
        {"no such extension", "sw.9999.1", 4, 10, 0, 0, 1, 3},
        {"state moves", "sw.4711.1", 4, 10, 0, 1, 1, 4},
        {"same state", "sw.4711.1", 4, 11, 0, 1, 0, 4},
        {"already changed", "sw.4711.1", 5, 11, 1, 1, 1, 5},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        c->SetOPCDevice(0, 0, "4711");  // an update leaves the party's full ID behind
        int changed = k.changedBefore;
        EXPECT_EQ(HandleCallPartyUpdateIndForNonAcdDevices(900, k.deviceID, 0, k.state,
                                                           k.deviceType, call, changed),
                  k.result);
        EXPECT_EQ(changed, k.changedAfter);
        EXPECT_EQ(c->m_LocalConnectionState, k.stateAfter);
    }
    EXPECT_STREQ(c->m_OPCDeviceID, "sw.4711.1");
    Call::Free(call, false);
}

}  // namespace
