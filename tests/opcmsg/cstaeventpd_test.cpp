// The private-data views of the service-initiated and recording-target-info events.
#include "opcmsg/cstaeventpd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "tests/opcmsg/opc_message_builder.h"
#include "tests/opcmsg/opc_test_support.h"

namespace {

using opctest::Bytes;

// A private-data block (34-byte head, data) holding `data`, in storage of exactly its size so
// that ASan sees any read past it.
std::vector<uint8_t> Block(const Bytes& data, uint16_t statedLength) {
    std::vector<uint8_t> block(34 + data.size(), 0);
    plat::StoreLE16(block.data() + 32, statedLength);
    std::copy(data.begin(), data.end(), block.begin() + 34);
    return block;
}
std::vector<uint8_t> Block(const Bytes& data) { return Block(data, static_cast<uint16_t>(data.size())); }

Bytes ServiceInitiated(const std::string& corr) {
    Bytes d;
    opctest::Add32(d, 12);
    opctest::Add32(d, 1);
    opctest::Add32(d, 0);
    opctest::Add32(d, 3);
    opctest::AddConn(d, 907, "1002.1.2", 1);
    opctest::AddText(d, "22", 16);
    opctest::Add32(d, 5000);
    opctest::Add32(d, 150001);
    opctest::Add32(d, 33);
    opctest::AddString(d, corr);
    return d;
}

TEST(CSTAEventPD, ServiceInitiatedParsesEveryFieldAndTraces) {
    const Bytes data = ServiceInitiated("corr5");
    EXPECT_EQ(data.size(), 124u);  // 116 + count, five characters and a NUL
    const auto block = Block(data);
    opctest::TraceCapture capture;
    const CSTAServiceInitiatedEvent_PD view(block.data());
    EXPECT_EQ(view.SkillGroupNumber, 12);
    EXPECT_EQ(view.Line, 1);
    EXPECT_EQ(view.LineType, 0);
    EXPECT_EQ(view.DeviceNumber, 3);
    EXPECT_EQ(view.COC.callID, 907);
    EXPECT_STREQ(view.COC.deviceID, "1002.1.2");
    EXPECT_EQ(view.COC.deviceIDType, 1u);
    EXPECT_EQ(view.AGExt, "22");
    EXPECT_EQ(view.AGSTID, 5000);
    EXPECT_EQ(view.RtrCallKey1, 150001);
    EXPECT_EQ(view.RtrCallKey2, 33);
    EXPECT_EQ(view.CorrData, "corr5");
    view.Trace();
    EXPECT_EQ(capture.Take(),
              opctest::Format("CSTAServiceInitiatedEvent_PD:: AGExt=%s SG#=%d Line=%d LineType=%d "
                              "Dev#=%d COC(CID=%d DevID=%s DevIDType=%s)  CorrData=%s AGSTID=%d "
                              "RtrCallKey=(%d-%d)\n",
                              "22", 12, 1, 0, 3, 907, "1002.1.2", "Dynamic", "corr5", 5000,
                              150001, 33));
}

Bytes RecordingTarget(const std::vector<std::string>& strings, uint32_t recorderType) {
    Bytes d;
    opctest::Add32(d, 1);
    opctest::Add32(d, 0);
    opctest::Add32(d, 2);
    opctest::Add32(d, 1);
    opctest::Add32(d, recorderType);
    opctest::Add32(d, 0);
    for (const std::string& s : strings) opctest::AddString(d, s);
    return d;
}

TEST(CSTAEventPD, RecordingTargetInfoWithNineStrings) {
    const Bytes empty = RecordingTarget(std::vector<std::string>(9), 0x7FFFFFFF);
    EXPECT_EQ(empty.size(), 60u);
    const auto emptyBlock = Block(empty);
    const CSTARecordingTargetInfoEvent_PD blank(emptyBlock.data());
    EXPECT_EQ(blank.RecorderType, CSTARecordingTargetInfoEvent_PD::kNoValue);
    EXPECT_EQ(blank.RecorderStatus, 0);
    EXPECT_TRUE(blank.CorrData.empty() && blank.RecorderAddress.empty() && blank.RecorderURI.empty() &&
                blank.RecorderErrorMsg.empty());

    const auto block = Block(RecordingTarget(
        {"corr", "x", "10.0.0.9", "term", "fork", "guid-1", "cluster", "sip:rec", ""}, 4));
    opctest::TraceCapture capture;
    const CSTARecordingTargetInfoEvent_PD view(block.data());
    EXPECT_EQ(view.Line, 1);
    EXPECT_EQ(view.RecordingType, 2);
    EXPECT_EQ(view.MediaForkingDeviceType, 1);
    EXPECT_EQ(view.RecorderType, 4);
    EXPECT_EQ(view.CorrData, "corr");
    EXPECT_EQ(view.RecorderAddress, "10.0.0.9");
    EXPECT_EQ(view.TerminalName, "term");
    EXPECT_EQ(view.MediaForkingDeviceName, "fork");
    EXPECT_EQ(view.ProtocolReferenceGUID, "guid-1");
    EXPECT_EQ(view.MediaForkingClusterID, "cluster");
    EXPECT_EQ(view.RecorderURI, "sip:rec");
    EXPECT_EQ(view.RecorderErrorMsg, "");
    view.Trace();
    EXPECT_EQ(capture.Take(),
              "CSTARecordingTargetInfoEvent_PD:: Line=1 LineType=0 CorrData=corr\n"
              "RecordingType=2 MediaForkingDeviceType=1 RecorderType=4 RecorderStatus=0\n"
              "RecorderAddress=10.0.0.9 TerminalName=term MediaForkingDeviceName=fork "
              "ProtocolReferenceGUID=guid-1 MediaForkingClusterID=cluster\n"
              "RecorderURI=sip:rec \n");
}

// Blocks that are short or whose string counts run past their stated length: the fields not
// reached keep their values set before parsing, with one trace, and nothing past the stated
// length (nor past the block) is read.
TEST(CSTAEventPD, ShortAndLyingBlocksKeepTheirDefaults) {
    opctest::TraceCapture capture;
    const Bytes full = ServiceInitiated("corr5");
    const auto cut = Block(Bytes(full.begin(), full.begin() + 20));  // inside the COC
    const CSTAServiceInitiatedEvent_PD a(cut.data());
    EXPECT_EQ(a.DeviceNumber, 3);
    EXPECT_EQ(a.COC.callID, -1);
    EXPECT_EQ(a.AGSTID, -1);
    EXPECT_NE(capture.Take().find("ends inside its fields"), std::string::npos);

    Bytes lying = full;
    lying[116] = 0xFF;  // CorrData count 65535
    lying[117] = 0xFF;
    const auto lyingBlock = Block(lying);
    const CSTAServiceInitiatedEvent_PD b(lyingBlock.data());
    EXPECT_EQ(b.RtrCallKey2, 33);
    EXPECT_EQ(b.CorrData, "");

    // A stated length above the data present is held to the block's capacity by the
    // records; here the block is a record's, so it really holds 2872 bytes.
    std::vector<uint8_t> record(kOPCPrivateDataBlockSize, 0);
    const Bytes rti = RecordingTarget({"c"}, 1);
    std::copy(rti.begin(), rti.end(), record.begin() + 34);
    record[32] = 0xFF;
    record[33] = 0xFF;
    const CSTARecordingTargetInfoEvent_PD c(record.data());
    EXPECT_EQ(c.CorrData, "c");
    EXPECT_EQ(c.RecorderAddress, "");  // zero counts up to the 2872-byte limit

    const auto empty = Block({});
    const CSTARecordingTargetInfoEvent_PD d(empty.data());
    EXPECT_EQ(d.Line, -1);
    EXPECT_EQ(d.LineType, 3);
    EXPECT_EQ(d.RecordingType, CSTARecordingTargetInfoEvent_PD::kNoValue);
}

}  // namespace
