// The OPC link's output: MDS's unless another is installed, installing hands back the one
// replaced, and what a writer sends reaches the output in force, once, with its meters.
#include "parlo/opclink/opclinkoutput.h"

#include "parlo/opclink/opcwriters.h"
#include "tests/parlo/server/opc_fixture.h"

namespace srvtest {
namespace {

TEST(OPCLinkOutputTest, MDSIsInForceUntilAnotherIsInstalledAndInstallingReturnsThePrevious) {
    OPCLinkOutput* first = InstallOPCLinkOutput(nullptr);
    EXPECT_NE(dynamic_cast<MDSLinkOutput*>(first), nullptr);
    {
        opclinktest::OutputCapture outer;
        EXPECT_EQ(InstallOPCLinkOutput(&outer), &outer);  // the capture is in force
        opclinktest::OutputCapture inner;
        EXPECT_EQ(InstallOPCLinkOutput(&inner), &inner);
    }  // each puts back the one it replaced
    OPCLinkOutput* back = InstallOPCLinkOutput(nullptr);
    EXPECT_EQ(back, first);
}

TEST_F(OPCTest, AWriterSendsThroughTheOutputInForceAndCountsItsMeters) {
    MDSIO::SetServerNumber(0x0A0B0C0D);
    const auto messagesBefore = server_->GetMeter(meterindex::OPCMessages);
    const auto bytesBefore = server_->GetMeter(meterindex::OPCBytesSent);
    {
        opclinktest::OutputCapture nested;
        ASSERT_TRUE(SendGetGroupStatisticsReq(0x11, 7, 0x22, 0x33));
        const auto got = nested.Take();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].type, CTI_GET_GROUP_STATS_REQ);
        EXPECT_EQ(got[0].payload, (Payload().U32(0x0A0B0C0D).U32(0x11).U32(7).U32(0x33).U32(0x22).bytes));
    }
    EXPECT_TRUE(TakeSent().empty()) << "only the output in force sees a message";
    EXPECT_EQ(server_->GetMeter(meterindex::OPCMessages), messagesBefore + 1);
    EXPECT_EQ(server_->GetMeter(meterindex::OPCBytesSent), bytesBefore + 20 + 16);

    // The fixture's capture is back in force.
    ASSERT_TRUE(SendGetGroupStatisticsReq(0x12, 7, 0x22, 0x33));
    const auto sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Word(1), 0x12u);
}

TEST_F(OPCTest, WithoutAnMDSLinkMDSsOutputTracesAndDropsTheMessage) {
    StopCapturingSent(capture_);  // MDS's output in force
    MDSIO::SetMDSConnections(0);  // as under /tsy: heap storage, nothing to hand it to
    Events::Take();
    ASSERT_TRUE(SendGetGroupStatisticsReq(0x11, 7, 0x22, 0x33));
    EXPECT_EQ(Events::CountText(Events::Take(),
                                "MDSIO::SendInput: msgtype 20 (CTI_GET_GROUP_STATS_REQ) of 20 bytes "
                                "not sent: no MDS link."),
              1u);
    MDSIO::SetMDSConnections(1);
}

}  // namespace
}  // namespace srvtest
