// The CSTA trace texts: the value texts, the identifier pieces, and the event report line,
// exactly, with its cap at 511 characters and party lists read only as far as they were sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parlo/app/cstatrace.h"
#include "tests/parlo/app/csta_message_builder.h"

namespace {

using cstatest::AddDevice;
using cstatest::Bytes;
using cstatest::Unpacked;
using namespace cstatrace;

TEST(CSTATraceTexts, ValueTexts) {
    const std::pair<int32_t, const char*> states[] = {{-1, "CS_NONE"}, {0, "CS_NULL"}, {1, "CS_INITIATE"},
                                                     {2, "CS_ALERTING"}, {3, "CS_CONNECT"}, {4, "CS_HOLD"},
                                                     {5, "CS_QUEUED"}, {6, "CS_FAIL"}, {7, "UnkownState"},
                                                     {9, "UnkownState"}, {-2, "UnkownState"}};
    for (const auto& [v, text] : states) EXPECT_STREQ(text, cstatrace::CSTALocalConnectionStateText(v)) << v;
    const std::pair<int32_t, const char*> monitors[] = {
        {0, "SM_NONE"}, {1, "SM_INITIATOR"}, {2, "SM_TARGET"}, {3, "UnkownStatus"}, {-1, "UnkownStatus"}};
    for (const auto& [v, text] : monitors) EXPECT_STREQ(text, CSTASilentMonitorStatusText(v)) << v;
    const std::pair<int32_t, const char*> hints[] = {
        {0, ""}, {1, "(Conference Party)"}, {2, "(Transfer Primary)"}, {3, "(Transfer Result)"},
        {4, "(Party List)"}, {5, "(Query Response)"}, {6, "(DO NOT NOTIFY)"}, {7, "(?\?UNKNOWN_CTI_HINT?\?)"},
        {-1, "(?\?UNKNOWN_CTI_HINT?\?)"}};
    for (const auto& [v, text] : hints) EXPECT_STREQ(text, CTIHintText(v)) << v;
    const std::pair<int32_t, const char*> types[] = {
        {0, "(DEV)"}, {20, "(IMPLICIT_PUBLIC)"}, {30, "(EXPLICIT_PUBLIC_UNKNOWN)"},
        {31, "(EXPLICIT_PUBLIC_INTERNATIONAL)"}, {32, "(EXPLICIT_PUBLIC_NATIONAL)"},
        {33, "(EXPLICIT_PUBLIC_NETWORK_SPECIFIC)"}, {34, "(EXPLICIT_PUBLIC_SUBSCRIBER)"},
        {35, "(EXPLICIT_PUBLIC_ABBREVIATED)"}, {40, "(IMPLICIT_PRIVATE)"}, {50, "(EXPLICIT_PRIVATE_UNKNOWN)"},
        {51, "(EXPLICIT_PRIVATE_LEVEL3_REGIONAL_NUMBER)"}, {52, "(EXPLICIT_PRIVATE_LEVEL2_REGIONAL_NUMBER)"},
        {53, "(EXPLICIT_PRIVATE_LEVEL1_REGIONAL_NUMBER)"}, {54, "(EXPLICIT_PRIVATE_PTN_SPECIFIC_NUMBER)"},
        {55, "(EXPLICIT_PRIVATE_LOCAL_NUMBER)"}, {56, "(EXPLICIT_PRIVATE_ABBREVIATED)"}, {60, "(OTHER_PLAN)"},
        {70, "(TRUNK)"}, {71, "(TRKGRP)"}, {72, "(PHONE_MAC_IDENTIFIER)"}, {73, "(CTI_PORT_IDENTIFIER)"},
        {74, "(ROUTE_POINT_IDENTIFIER)"}, {75, "(EXTERNAL_IDENTIFIER)"}, {76, "(AGENT_DEVICE_IDENTIFIER)"},
        {77, "(QUEUE_IDENTIFIER)"}, {78, "(NON_ACD)"}, {99, "(*UNKNOWN TYPE 99*)"}, {1, "(*UNKNOWN TYPE 1*)"},
        {-1, "(*UNKNOWN TYPE -1*)"}};
    for (const auto& [v, text] : types) EXPECT_EQ(text, CSTADeviceIDTypeText(v)) << v;
}

TEST(CSTATraceTexts, IdentifierPieces) {
    struct Case {
        const char* what;
        std::string (*make)();
        const char* text;
    };
    const Case cases[] = {
        {"static connection", [] { TraceLine l; ConnectionID c; c.callID = 12; std::snprintf(c.deviceID, 65, "5001"); c.deviceIDType = 0; AppendConnectionPiece(l, c, "callID"); return l.Text(); }, "callID=12.5001(s) "},
        {"dynamic connection", [] { TraceLine l; ConnectionID c; c.callID = -1; std::snprintf(c.deviceID, 65, "4001.1"); c.deviceIDType = 1; AppendConnectionPiece(l, c, "x"); return l.Text(); }, "x=-1.4001.1(d) "},
        {"bad connection type", [] { TraceLine l; ConnectionID c; c.callID = 3; std::snprintf(c.deviceID, 65, "9"); c.deviceIDType = 7; AppendConnectionPiece(l, c, "x"); return l.Text(); }, "x=3.9(*** INVALID IDTYPE 7 ***) "},
        {"device with type", [] { TraceLine l; CSTAExtendedDeviceID d; std::snprintf(d.deviceID, 64, "6001"); d.deviceIDType = 70; AppendDevicePiece(l, d, "calledDev"); return l.Text(); }, "calledDev=(TRUNK)6001 "},
        {"device with unknown type", [] { TraceLine l; CSTAExtendedDeviceID d; std::snprintf(d.deviceID, 64, "6001"); d.deviceIDType = 99; AppendDevicePiece(l, d, "d"); return l.Text(); }, "d=(*UNKNOWN TYPE 99*)6001 "},
        {"device not known", [] { TraceLine l; CSTAExtendedDeviceID d; std::snprintf(d.deviceID, 64, "6001"); d.deviceIDStatus = 1; AppendDevicePiece(l, d, "callingDev"); return l.Text(); }, "callingDev=ID_NOT_KNOWN "},
        {"device without type", [] { TraceLine l; CSTAExtendedDeviceID d; std::snprintf(d.deviceID, 64, "5001"); d.deviceIDType = 70; AppendDeviceNoTypePiece(l, d, "alertingDev"); return l.Text(); }, "alertingDev=5001 "},
        {"device without type not known", [] { TraceLine l; CSTAExtendedDeviceID d; d.deviceIDStatus = 2; AppendDeviceNoTypePiece(l, d, "q"); return l.Text(); }, "q=ID_NOT_KNOWN "},
        {"a full 64-character device", [] { TraceLine l; CSTAExtendedDeviceID d; std::memset(d.deviceID, '7', 64); AppendDeviceNoTypePiece(l, d, "q"); return l.Text(); }, nullptr},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        if (k.text != nullptr)
            EXPECT_EQ(k.text, k.make());
        else
            EXPECT_EQ("q=" + std::string(64, '7') + " ", k.make());
    }
}

Bytes Conn(uint32_t callID, const std::string& dev, uint32_t type) {
    Bytes b;
    opctest::AddConn(b, callID, dev, type);
    return b;
}
Bytes Dev(const std::string& dev, uint32_t type, uint32_t status = 0) {
    Bytes b;
    AddDevice(b, dev, type, status);
    return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes b;
    for (uint32_t w : words) opctest::Add32(b, w);
    return b;
}

std::vector<std::string> Lines(const cstatest::CSTAMessageBuilder& m, int32_t type) {
    Unpacked u(m);
    EXPECT_TRUE(u.ok);
    return CallEventReportLines(*u.record, type, nullptr);
}

TEST(CSTATraceTexts, EventLines) {
    struct Case {
        const char* what;
        uint16_t type;
        Bytes fields;
        const char* line;
    };
    const Case cases[] = {
        {"delivered", 57,
         Cat({Conn(3001, "5001", 0), Dev("5001", 0), Dev("2001", 0, 1), Dev("6001", 70), Dev("7001", 0), Words({2, 22})}),
         "CSTA_DELIVERED - callID=3001.5001(s) alertingDev=5001 callingDev=ID_NOT_KNOWN calledDev=(TRUNK)6001  "
         "localConnectionInfo(2)=CS_ALERTING cause=22"},
        {"held, dynamic, state unknown", 61, Cat({Conn(7, "4001.1", 1), Dev("4001", 0), Words({9, 1})}),
         "CSTA_HELD - callID=7.4001.1(d) holdingDev=4001  localConnectionInfo(9)=UnkownState cause=1"},
        {"call cleared", 54, Cat({Conn(8, "5001", 0), Words({0, 0xFFFFFFFF})}),
         "CSTA_CALL_CLEARED - callID=8.5001(s)  localConnectionInfo(0)=CS_NULL cause=-1"},
        {"queued", 64,
         Cat({Conn(9, "5001", 0), Dev("Q1", 77), Dev("2001", 0), Dev("6001", 0), Dev("", 0, 1), Words({3, 5, 1001})}),
         "CSTA_QUEUED - callID=9.5001(s) queue=Q1 callingDev=2001 calledDev=(DEV)6001 lastRedirectionDevice=ID_NOT_KNOWN  "
         "localConnectionInfo(5)=CS_QUEUED cause=1001"},
        {"recording failed", 207, Cat({Conn(10, "5001", 0), Dev("R1", 0), Words({44})}),
         "CSTA_RECORDING_FAILED_EVENT: RecordingConn=10.5001(s) RecordingDev=R1  cause=44"},
        {"agent greeting", 158, [] { Bytes b = Conn(11, "5001", 1); opctest::AddText(b, "welcome", 36); opctest::Add32(b, 2); opctest::Add32(b, 17); return b; }(),
         "CSTA_AGENT_GREETING - DeviceID=5001 DeviceType=Dynamic CallID=11 GreetingType=welcome "
         "EventCode=AGENT_GREETING_FAILED PeripheralErrorCode=17"},
        {"unknown type", 99, {}, "CSTADisplayCallEventReports: Unknown callEventReport 99 specified."},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const auto lines = Lines(cstatest::Unsolicited(k.type, k.fields), k.type);
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(k.line, lines[0]);
    }
}

// A conferenced event's party list: one listID piece per entry the first private data holds,
// every piece cut once the line's pieces reach 511 characters.
TEST(CSTATraceTexts, PartyListsAreReadAsFarAsSentAndTheLineStopsAt511) {
    const auto conferenced = [](uint32_t count, uint32_t entries, const std::string& device) {
        cstatest::CSTAMessageBuilder m = cstatest::Unsolicited(
            55, Cat({Conn(1, "5001", 0), Conn(2, "5002", 0), Dev("5001", 0), Dev("5003", 0), Words({count, 0, 3, 22})}));
        for (uint32_t i = 0; i < entries; ++i) m.raw = Cat({m.raw, Conn(100 + i, device, 0), Dev(device, 0)});
        return m;
    };
    const std::string head = "primCallID=1.5001(s) secCallID=2.5002(s) confController=5001 addedParty=5003 ";
    const std::string tail = " localConnectionInfo(3)=CS_CONNECT cause=22";
    auto lines = Lines(conferenced(3, 3, "60"), 55);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("CSTA_CONFERENCED - " + head + "listID=100.60(s) listID=101.60(s) listID=102.60(s) " + tail, lines[0]);

    // Five stated, one sent: only the one is read.
    lines = Lines(conferenced(5, 1, "60"), 55);
    EXPECT_EQ("CSTA_CONFERENCED - " + head + "listID=100.60(s) " + tail, lines[0]);

    // Long device IDs: the pieces stop at 511 characters.
    const std::string device(60, '8');
    std::string pieces = head;
    for (uint32_t i = 0; i < 6; ++i) pieces += "listID=" + std::to_string(100 + i) + "." + device + "(s) ";
    ASSERT_GT(pieces.size(), 511u);
    lines = Lines(conferenced(6, 6, device), 55);
    EXPECT_EQ("CSTA_CONFERENCED - " + pieces.substr(0, 511) + tail, lines[0]);
}

}  // namespace
