// parlo-opc over real MDS links: parlo-mds and parlo-opc run as child processes with a
// registry seeded from config/*.reg, and this test process registers as "parlo".
#include <gtest/gtest.h>

#include <filesystem>

#include "peers/opc/arm_wire.h"
#include "tests/peers/opc/opc_link_env.h"

namespace opcpeer {
namespace {

using linktest::inbox;
using linktest::kOpcHandle;
using linktest::Message;
using linktest::OpcLink;

TEST_F(OpcLink, EveryRequestTypeIsAnsweredAndAScriptedFailureComesBack) {
    StartOpc("answer 21 failure error=7 pec=8\n");
    ASSERT_NE(opc_->WaitLine("parlo-opc: script done"), "");
    uint32_t invoke = 0x10;
    for (const RequestType& t : RequestTypes()) {
        CstaRequest r;
        r.peripheralID = r.headerPeripheralID = 5000;
        r.eventType = t.type;
        r.invokeID = ++invoke;
        r.clientInvokeID = invoke + 0x1000;
        r.uniqueInstanceID = "desk-" + std::to_string(t.type);
        r.opc.assign(t.privateDataSize, 0);
        if (t.type == 23) std::memcpy(r.body.data(), "5001", 4);
        Send(kCstaMessage, WriteRequest(r));
        const CstaEvent e = TakeEvent();
        SCOPED_TRACE(t.name);
        EXPECT_EQ(e.eventClass, 5);
        EXPECT_EQ(e.eventType, t.type == 21 ? 53 : t.confirmation);
        ASSERT_GE(e.body.size(), 8u);
        EXPECT_EQ(LoadLE32(&e.body[0]), r.invokeID);
        EXPECT_EQ(LoadLE32(&e.body[4]), r.clientInvokeID);
        EXPECT_EQ(e.strings[0], r.uniqueInstanceID);
        if (t.type == 21) {
            ASSERT_EQ(e.body.size(), 12u);
            EXPECT_EQ(LoadLE32(&e.body[8]), 7u);
            ASSERT_EQ(e.opc.size(), 4u);
            EXPECT_EQ(LoadLE32(&e.opc[0]), 8u);
        }
        if (t.type == 23) {
            const ConnectionID nc = GetConnection(&e.body[8]);
            EXPECT_EQ(nc.deviceID, "5001");
            ASSERT_EQ(e.opc.size(), 8u);
            EXPECT_EQ(LoadLE32(&e.opc[4]), 2u);
        }
    }
    // A request that lies is printed and not answered; the next one is.
    CstaRequest r;
    r.eventType = 41;
    r.invokeID = 0x77;
    std::vector<uint8_t> bad = WriteRequest(r);
    PutLE32(bad, 216, 4);
    Send(kCstaMessage, bad);
    EXPECT_NE(opc_->WaitLine("parlo-opc: error: CTI_CSTA_MESSAGE from 10: lengths add up"), "");
    r.invokeID = 0x78;
    Send(kCstaMessage, WriteRequest(r));
    const CstaEvent e = TakeEvent();
    EXPECT_EQ(e.eventType, 42);
    EXPECT_EQ(LoadLE32(&e.body[0]), 0x78u);
}

TEST_F(OpcLink, ScriptSetsIdleWaitsForTheAckAndInjectsEvents) {
    StartOpc("set-idle server=3 echo=5\n"
             "wait ok-ack\n"
             "event 4 service-initiated periph=5000 call=9 s2=1001 si.coccall=88 "
             "si.cocdev=1001 si.corr=abcde\n"
             "event 4 recording-target-info rti.corr=c1 rti.addr=10.0.0.1 rti.err=disk\n"
             "event 6 private opc.u32@0=8\n");
    Message m;
    ASSERT_TRUE(inbox.Take(kSetIdleReq, &m));
    ASSERT_GE(m.payload.size(), 24u);
    EXPECT_EQ(LoadLE32(&m.payload[0]), 3u);
    EXPECT_EQ(LoadLE32(&m.payload[4]), 1u);   // side
    EXPECT_EQ(LoadLE32(&m.payload[8]), 5u);   // echoed value
    EXPECT_EQ(LoadLE32(&m.payload[16]), 8503u);
    std::vector<uint8_t> ack;
    PutLE32(ack, 0, 1);
    PutLE32(ack, 4, kSetIdleReq);
    PutLE32(ack, 8, 5);
    Send(kOkAck, ack, 3);
    EXPECT_NE(opc_->WaitLine("parlo-opc: recv CTI_OK_ACK from 10 server 3 side 1 answers 0 "
                             "(CTI_SET_IDLE_REQ) value 5"),
              "");
    EXPECT_NE(opc_->WaitLine("parlo-opc: wait ok-ack done"), "");

    CstaEvent e = TakeEvent();
    EXPECT_EQ(e.eventClass, 4);
    EXPECT_EQ(e.eventType, 66);
    EXPECT_EQ(e.callID, 9u);
    EXPECT_EQ(e.strings[1], "1001");
    ASSERT_EQ(e.opc.size(), 124u);
    EXPECT_EQ(LoadLE32(&e.opc[16]), 88u);
    size_t at = 116;
    std::string s;
    ASSERT_TRUE(ReadPadded(e.opc.data(), e.opc.size(), &at, &s));
    EXPECT_EQ(s, "abcde");

    e = TakeEvent();
    EXPECT_EQ(e.eventType, 208);
    at = 24;
    std::vector<std::string> strings;
    while (ReadPadded(e.opc.data(), e.opc.size(), &at, &s)) strings.push_back(s);
    EXPECT_EQ(strings, (std::vector<std::string>{"c1", "", "10.0.0.1", "", "", "", "", "",
                                                 "disk"}));

    e = TakeEvent();
    EXPECT_EQ(e.eventClass, 6);
    EXPECT_EQ(e.eventType, 93);
    EXPECT_EQ(LoadLE32(&e.opc[0]), 8u);
}

TEST_F(OpcLink, ArmRequestsAreAnsweredAndScriptedArmEventsArrive) {
    StartOpc("arm-answer 51 failure status=29\n"
             "arm-members 5000/1,5001/1,5002/2\n"
             "arm-event 108 u32@4=5000 u32@8=300 t1=8000 t3=1001 ecc=0a0b\n");
    Message m;
    ASSERT_TRUE(inbox.Take(108, &m));
    ArmMessage route;
    std::string error;
    ASSERT_TRUE(ReadArm(*FindArmLayout(108), m.payload.data() + 4, m.payload.size() - 4, &route,
                        &error))
        << error;
    EXPECT_EQ(route.Word(8), 300u);
    EXPECT_EQ(route.texts[0], "8000");
    EXPECT_EQ(route.texts[2], "1001");
    EXPECT_EQ(route.ecc, (std::vector<uint8_t>{0x0A, 0x0B}));
    ASSERT_NE(opc_->WaitLine("parlo-opc: script done"), "");

    for (uint8_t type : {49, 53, 56, 59, 62, 74, 76, 80, 98, 103, 112, 114, 106, 51}) {
        const ArmLayout* l = FindArmLayout(type);
        ArmMessage req = NewArmMessage(*l);
        req.SetWord(l->invokeAt, 0x700 + type);
        req.SetWord(l->clientAt, 0x800 + type);
        req.SetWord(l->sessionAt, 40 + type);
        req.uniqueInstanceID = "desk-" + std::to_string(type);
        if (type == 98) {
            req.SetWord(4, 77);
            req.fixed[12] = 1;
        }
        std::vector<uint8_t> body;
        ASSERT_TRUE(WriteArm(*l, req, &body, &error)) << error;
        Send(type, body);
        const uint8_t expected = type == 51 ? 85 : l->answer;
        SCOPED_TRACE(l->name);
        ASSERT_TRUE(inbox.Take(expected, &m));
        const ArmLayout* al = FindArmLayout(expected);
        ArmMessage a;
        ASSERT_TRUE(ReadArm(*al, m.payload.data() + 4, m.payload.size() - 4, &a, &error)) << error;
        if (l->invokeAt >= 0) {
            EXPECT_EQ(a.Word(al->invokeAt), 0x700u + type);
        }
        if (al->uii) {
            EXPECT_EQ(a.uniqueInstanceID, "desk-" + std::to_string(type));
        }
        if (type == 98) {
            EXPECT_EQ(a.Word(8), 77u);
            EXPECT_EQ(a.Word(12), 40u + type);
            EXPECT_EQ(a.fixed[16], 1);
            EXPECT_EQ(a.list, (std::vector<uint32_t>{5000, 5001, 5002, 1, 1, 2}));
        }
        if (type == 51) {
            EXPECT_EQ(a.Word(4), 29u);
            EXPECT_EQ(a.Word(8), 51u);
            EXPECT_EQ(a.Word(12), 40u + 51);
        }
    }
    // The agent-tasks request event is followed by begin, list and end.
    ArmMessage ev = NewArmMessage(*FindArmLayout(116));
    ev.SetWord(0, 5005);
    ev.SetWord(4, 12);
    std::vector<uint8_t> body;
    ASSERT_TRUE(WriteArm(*FindArmLayout(116), ev, &body, &error));
    Send(116, body);
    for (uint8_t type : {117, 118, 120}) EXPECT_TRUE(inbox.Take(type, &m)) << int(type);
}

TEST(OpcCorpusCommand, WritesOneFilePerMessage) {
    testsupport::TempDir dir("corpus");
    const std::string cmd = std::string(PARLO_OPC_BIN) + " --write-corpus '" + dir.str() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_GT(e.file_size(), 0u);
        ++files;
    }
    EXPECT_EQ(files, 25u + 6u + 26u);
}

}  // namespace
}  // namespace opcpeer
