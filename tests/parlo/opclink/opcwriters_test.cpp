// The envelope and the request writers: bytes on the wire, padding, refusals.
#include "parlo/opclink/opcwriters.h"

#include "opcmsg/armapppath.h"
#include "opcmsg/cstarequests.h"
#include "opcmsg/cstawire.h"
#include "tests/parlo/server/opc_fixture.h"

namespace srvtest {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Str(const std::string& s) {
    Payload p;
    p.U16(static_cast<uint16_t>(s.size()));
    p.bytes.insert(p.bytes.end(), s.begin(), s.end());
    p.bytes.resize(((s.size() + 6) & ~size_t{3}) + 0, 0);
    return p.bytes;
}

class WriterTest : public OPCTest {
protected:
    Sent Only() {
        auto sent = TakeSent();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? Sent{} : sent[0];
    }
};

TEST_F(WriterTest, StringAndBlockPadding) {
    const struct {
        size_t length, stringSize, blockSize;
    } cases[] = {{0, 4, 4}, {1, 4, 8}, {2, 8, 8}, {3, 8, 8}, {4, 8, 8}, {5, 8, 12}, {6, 12, 12}};
    for (const auto& c : cases) {
        EXPECT_EQ(opcout::StringSize(c.length), c.stringSize) << c.length;
        EXPECT_EQ(opcout::BlockSize(c.length), c.blockSize) << c.length;
    }
}

TEST_F(WriterTest, TheBufferZeroesWhatItReservesAndRefusesPastItsEnd) {
    MDSMsgBuffer buffer;
    uint8_t* a = buffer.Reserve(4000);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < 4000; ++i) ASSERT_EQ(a[i], 0);
    EXPECT_EQ(buffer.Reserve(13), nullptr);
    EXPECT_EQ(buffer.Reserve(-1), nullptr);
    EXPECT_TRUE(buffer.Failed());
    EXPECT_FALSE(buffer.SendInput(0, kOPCMessageClass, 99, 0));
    EXPECT_TRUE(TakeSent().empty());
}

TEST_F(WriterTest, GoldenBodies) {
    MDSIO::SetServerNumber(0x0A0B0C0D);
    ASSERT_TRUE(SendGetGroupStatisticsReq(0x11, 7, 0x22, 0x33));
    Sent s = Only();
    EXPECT_EQ(s.type, CTI_GET_GROUP_STATS_REQ);
    EXPECT_EQ(s.payload, (Payload().U32(0x0A0B0C0D).U32(0x11).U32(7).U32(0x33).U32(0x22).bytes));

    ASSERT_TRUE(SendGetCallDataReq(5, 6, 1, "ab"));
    s = Only();
    Bytes want = Payload().U32(0x0A0B0C0D).U32(5).U32(6).U32(1).bytes;
    for (uint8_t b : Str("ab")) want.push_back(b);
    EXPECT_EQ(s.type, CTI_SEND_CALL_DATA_IND);
    EXPECT_EQ(s.payload, want);

    ASSERT_TRUE(SendBadCallReq(0x44, 2, 3, -1, "dev", "agt", 9, kNoSession));
    s = Only();
    want = Payload().U32(0x0A0B0C0D).U32(0x44).U32(2).U32(3).U32(0xFFFFFFFF).U32(9).bytes;
    for (const std::string& t : {std::string(), std::string("agt"), std::string("dev")})
        for (uint8_t b : Str(t)) want.push_back(b);
    EXPECT_EQ(s.payload, want);

    ASSERT_TRUE(SendGetAgentStateReq(1, 2, 3, 4, "ext", "", "i", "OpenValidClient", 5, kNoSession));
    s = Only();
    want = Payload().U32(0x0A0B0C0D).U32(1).U32(2).U32(3).U32(4).U32(5).bytes;
    for (const std::string& t : {std::string(), std::string("ext"), std::string(), std::string("i")})
        for (uint8_t b : Str(t)) want.push_back(b);
    EXPECT_EQ(s.payload, want);

    ASSERT_TRUE(SendActiveHeartBeatEvent(0x5));
    s = Only();
    EXPECT_EQ(s.type, CTI_ACTIVE_HEART_BEAT_EVENT);
    EXPECT_EQ(s.payload, Payload().U32(5).bytes);
}

TEST_F(WriterTest, SetCallDataLaysOutFixedPartStringsAndECCBlock) {
    SetCallDataFields f;
    f.invokeID = 0x01000001;
    f.peripheralID = 5000;
    f.callID = 77;
    f.deviceIDType = 1;
    f.deviceID = "4001";
    f.destIDType = 0xFFFFFFFF;
    f.agentID = "A1";
    f.srch = 1;
    f.ani = kAbsentValue;
    f.callType = 0x1234;
    f.calledPartyDisposition = 0x5678;
    f.campaignID = 9;
    f.queryRuleID = 10;
    f.callOriginatedFrom = 0xAB;
    f.clientInvokeID = 0x99;
    for (int i = 0; i < 10; ++i) f.callVariables[i] = "v" + std::to_string(i + 1);
    const uint8_t ecc[5] = {1, 2, 3, 4, 5};
    f.eccData = ecc;
    f.eccLength = 5;
    ASSERT_TRUE(SendSetCallDataReq(f));
    const Sent s = Only();
    EXPECT_EQ(s.type, CTI_SET_CALL_DATA_REQ);
    Bytes want = Payload().U32(0xFFFFFFFF).U32(0x01000001).U32(5000).U32(77).U32(1).U32(0xFFFFFFFF).U32(1)
                     .U16(0x1234).U16(0x5678).U32(9).U32(10).U32(0x99).bytes;
    want.push_back(0xAB);
    want.insert(want.end(), 3, 0);  // not written: zero
    const std::vector<std::string> strings = {"", "A1", "4001", "", kAbsentValue, "", "", "", "", "",
                                              "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v8", "v9", "v10"};
    for (const auto& t : strings)
        for (uint8_t b : Str(t)) want.push_back(b);
    const Bytes eccLength = Payload().U32(5).bytes;
    want.insert(want.end(), eccLength.begin(), eccLength.end());
    want.insert(want.end(), ecc, ecc + 5);
    want.insert(want.end(), 3, 0);
    EXPECT_EQ(s.payload, want);
}

TEST_F(WriterTest, ActivationFailureValue) {
    const struct {
        const char* reason;
        uint32_t value;
    } cases[] = {{"NO_CLIENT_CONNECTED", 0x7FFFFFFF}, {"no_client_connected", 0}, {nullptr, 0},
                 {"NO_CLIENT_CONNECTED ", 0}};
    for (const auto& c : cases) {
        ASSERT_TRUE(MDSIO::SendActivationFailure(c.reason));
        const Sent s = Only();
        EXPECT_EQ(s.type, CTI_ERROR_ACK);
        EXPECT_EQ(s.payload, (Payload().U32(0xFFFFFFFF).U32(1).U32(1).U32(c.value).bytes));
    }
}

TEST_F(WriterTest, OversizeMessagesSendNothingAndReleaseTheirRequest) {
    OPCReq::Allocate(3, 4, 0x77);
    const std::string huge(4000, 'x');
    EXPECT_FALSE(SendReleaseCallReq(0x77, 1, 2, 3, huge, 0, "", "", 0, 4, kNoSession));
    EXPECT_EQ(OPCReq::Find(0x77), nullptr);
    EXPECT_EQ(Events::CountText(Events::Take(), "exceeds the 4012 bytes of an OPC message, not sent"), 1u);
    // Exactly full is still sent: 4 + 28 + three empty strings + one of 3968 characters.
    const std::string fits(4012 - 4 - 28 - 12 - 6 + 1, 'y');
    ASSERT_EQ(4 + 28 + 12 + opcout::StringSize(fits.size()), 4012u);
    EXPECT_TRUE(SendReleaseCallReq(0x78, 1, 2, 3, fits, 0, "", "", 0, 4, kNoSession));
    EXPECT_EQ(Only().payload.size(), 4012u);
}

TEST_F(WriterTest, SetClientStatusNeedsAnAgentAndAnActiveServer) {
    OPCAgentInfo info;
    OPCReq::Allocate(1, 1, 0x10);
    EXPECT_FALSE(SendSetClientStatusRequest(0x10, 1, info, "sig"));
    EXPECT_EQ(OPCReq::Find(0x10), nullptr);
    info.AgentID = "1001";
    info.PeripheralID = 5000;
    info.MRDomainIDs = {1, 7};
    OPCReq::Allocate(1, 1, 0x11);
    EXPECT_FALSE(SendSetClientStatusRequest(0x11, 1, info, "sig"));  // IDLE
    EXPECT_EQ(OPCReq::Find(0x11), nullptr);
    EXPECT_TRUE(TakeSent().empty());
    server_->SetState(Server::ACTIVATING);
    server_->SetState(Server::ACTIVE);
    ASSERT_TRUE(SendSetClientStatusRequest(0x12, 0x40, info, "sig"));
    Bytes want = Payload().U32(0xFFFFFFFF).U32(0x12).U32(5000).U32(0x40).U16(2).U16(0).bytes;
    for (const std::string& t : {std::string("1001"), std::string("sig"), std::string()})
        for (uint8_t b : Str(t)) want.push_back(b);
    const Bytes ids = Payload().U32(1).U32(7).bytes;
    want.insert(want.end(), ids.begin(), ids.end());
    EXPECT_EQ(Only().payload, want);
}

TEST_F(WriterTest, ARMMessagesSerializeThemselves) {
    ARMAppPathUpReqMsg up;
    up.SetInvokeID(0x0102);
    up.SetApplicationPathID(5);
    up.SetSessionID(6);
    ASSERT_TRUE(SendARMMsg(up));
    const Sent s = Only();
    EXPECT_EQ(s.type, 98);
    ASSERT_EQ(s.payload.size(), 4u + up.GetLength());
    EXPECT_EQ(s.Word(0), 0xFFFFFFFFu);
    EXPECT_EQ(s.Word(1), 0x0102u);
}

TEST_F(WriterTest, CSTAMessagesReadAtMost44ListWordsAndNeedClass8) {
    TPCSTAHoldCallMsg hold(5000, 0x0100000A, 0x33);
    std::vector<uint32_t> list(44);
    for (uint32_t i = 0; i < 44; ++i) list[i] = i + 1;
    // A count above 44 reads only the 44 words there are (ASan would catch more).
    ASSERT_TRUE(SendCSTAMessage(nullptr, 1000, list.data(), hold, nullptr, kNoSession));
    const Sent s = Only();
    EXPECT_EQ(s.type, CTI_CSTA_MESSAGE);
    EXPECT_EQ(s.Word(0), 0xFFFFFFFFu);
    EXPECT_EQ(s.Word(1), 5000u);       // PeripheralID
    EXPECT_EQ(s.Word(3), 0xFFFFFFFFu); // no connection
    EXPECT_EQ(s.Word(1 + 8), 1u);      // first list word at body offset 32
    EXPECT_EQ(s.Word(1 + 8 + 43), 44u);
    EXPECT_EQ(s.Word(1 + 52), 364u);   // the request part's length at body offset 208
    Bytes expected(kCSTAMessageRoom);
    const int n = WriteCSTAMessage(expected.data(), kCSTAMessageRoom, nullptr, 44, list.data(), hold, nullptr, "");
    ASSERT_GT(n, 0);
    expected.resize(static_cast<size_t>(n));
    EXPECT_EQ(Bytes(s.payload.begin() + 4, s.payload.end()), expected);

    TPCSTAMsg notARequest(1, 2);
    OPCReq::Allocate(1, 2, 1);
    EXPECT_FALSE(SendCSTAMessage(nullptr, 0, nullptr, notARequest, nullptr, kNoSession));
    EXPECT_TRUE(TakeSent().empty());
    EXPECT_EQ(OPCReq::Find(1), nullptr);
}

}  // namespace
}  // namespace srvtest
