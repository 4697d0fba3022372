// The OPC link's input side: dispatch, length checks, status, heartbeat watch.
#include "nuvlib/mds/mds.h"
#include "tests/parlo/server/opc_fixture.h"

namespace srvtest {
namespace {

MDSHeader StatusHeader(uint8_t cls, uint8_t type) {
    MDSHeader h;
    h.messageClass = cls;
    h.messageType = type;
    return h;
}

TEST_F(OPCTest, ShortPayloadsAreDroppedAndTheProcessLivesOn) {
    server_->CreateApplication();
    const struct {
        uint8_t type;
        size_t length;
    } cases[] = {{CTI_SET_IDLE_REQ, 23}, {CTI_SET_ACTIVE_REQ, 10}, {CTI_TIME_NOTIFICATION_EVENT, 7},
                 {CTI_MAINTENANCE_MODE_REQUEST, 11}, {CTI_MAINTENANCE_MODE_IN_PROGRESS, 15},
                 {CTI_HEART_BEAT_EVENT, 3}, {CTI_CONFIGURE_REQ, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        std::vector<uint8_t> payload(c.length, 0x00);
        MDSIO::ProcessOPCMessage(c.type, payload.data(), payload.size());
        const auto events = Events::Take();
        EXPECT_EQ(Events::CountText(events, "dropped: payload of " + std::to_string(c.length) + " bytes"), 1u);
        EXPECT_TRUE(TakeSent().empty());
    }
    EXPECT_EQ(server_->GetState(), Server::IDLE);
    // A set-idle body without its text still counts (the text is read within the payload).
    Payload p;
    p.U32(7).U32(1).U32(9).U32(0).U32(8503).U32(1);
    Deliver(CTI_SET_IDLE_REQ, p);
    Sent ack;
    ASSERT_TRUE(WaitSent(CTI_OK_ACK, &ack));
    EXPECT_EQ(ack.Word(0), 7u);
}

TEST_F(OPCTest, HeartbeatsCountOnlyWhileActiveOrStandbyAndTimeAlwaysSetsTheClock) {
    Payload hb;
    hb.U32(0);
    for (int state : {Server::IDLE, Server::ACTIVATING}) {
        if (state == Server::ACTIVATING) server_->SetState(Server::ACTIVATING);
        Deliver(CTI_HEART_BEAT_EVENT, hb);
    }
    EXPECT_EQ(MDSIO::GetHeartBeatCount(), 0u);
    server_->SetState(Server::ACTIVE);
    Deliver(CTI_HEART_BEAT_EVENT, hb);
    Deliver(CTI_HEART_BEAT_EVENT, hb);
    EXPECT_EQ(MDSIO::GetHeartBeatCount(), 2u);

    server_->SetState(Server::IDLE);
    Payload time;
    time.U32(0).U32(2000000000);
    Deliver(CTI_TIME_NOTIFICATION_EVENT, time);
    EXPECT_EQ(server_->GetPGTime(), 2000000000);
}

TEST_F(OPCTest, MetersCountEveryMessageAndItsBytes) {
    const int32_t before16 = server_->GetMeter(16);
    const int32_t before17 = server_->GetMeter(17);
    Payload p;
    p.U32(0).U32(1).U32(2);
    Deliver(107, p);   // unnamed: passed on like any other type
    Deliver(124, p);
    Deliver(CTI_HEART_BEAT_EVENT, p);
    EXPECT_EQ(server_->GetMeter(16) - before16, 3 * (12 + 16));
    EXPECT_EQ(server_->GetMeter(17) - before17, 3);
}

TEST_F(OPCTest, TheFourthSilentCheckIsFatal) {
    Payload hb;
    hb.U32(0);
    server_->SetState(Server::ACTIVATING);
    server_->SetState(Server::ACTIVE);
    for (int i = 0; i < 5; ++i) {  // a heartbeat every period: never a miss
        Deliver(CTI_HEART_BEAT_EVENT, hb);
        MDSIO::CheckOPCHeartBeat();
        EXPECT_EQ(MDSIO::GetMissedChecks(), 0u);
    }
    for (uint32_t i = 1; i <= 3; ++i) {
        MDSIO::CheckOPCHeartBeat();
        EXPECT_EQ(MDSIO::GetMissedChecks(), i);
    }
    EXPECT_EXIT(MDSIO::CheckOPCHeartBeat(), ::testing::ExitedWithCode(100002 & 0xFF),
                "An OPC HeartBeat Timeout has occurred.");
}

TEST_F(OPCTest, MDSStatusMessages) {
    uint8_t header[16];
    MDSEncodeHeader(StatusHeader(0, 0), header);
    MDSIO::MDSStatusHandler(header, nullptr);
    auto events = Events::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 0x612E0005u);

    MDSEncodeHeader(StatusHeader(9, 2), header);  // any class: the default handler too
    MDSIO::MDSStatusHandler(header, nullptr);
    events = Events::Take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 0xA12E8003u);
    EXPECT_EQ(events[0].Text(), "9|2");

    MDSEncodeHeader(StatusHeader(0, 1), header);
    EXPECT_EXIT(MDSIO::MDSStatusHandler(header, nullptr), ::testing::ExitedWithCode(100003 & 0xFF),
                "612E0006");
}

}  // namespace
}  // namespace srvtest
