// CTI_CSTA_MESSAGE on the wire: the request writer's bytes and limits, and the unpacker's
// bounds against messages that lie.
#include "opcmsg/cstawire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/cstarequests.h"
#include "tests/opcmsg/opc_message_builder.h"
#include "tests/opcmsg/opc_test_support.h"

namespace {

using opctest::Bytes;

// The whole message of a Hold request, with and without a connection, and with unique
// instance ids of 5 and 6 characters: every byte, reserved ones included.
TEST(CSTAWire, HoldRequestBytesWithAndWithoutAConnection) {
    TPCSTAHoldCallMsg hold(7, 0x01000025, 77);
    hold.SetActiveCall(901, "1001.22", 1);
    ConnectionID active;
    ASSERT_TRUE(hold.GetMainConnection(&active));
    struct Case {
        const ConnectionID* connection;
        std::string uii;
    };
    for (const Case& c : {Case{&active, "sess1"}, Case{&active, "sess12"}, Case{nullptr, "sess1"},
                          Case{nullptr, ""}}) {
        SCOPED_TRACE(c.uii + (c.connection ? " with connection" : " without connection"));
        Bytes expected;
        opctest::Add32(expected, 7);
        opctest::Add16(expected, 0xFFFF);
        opctest::Add16(expected, 0);
        opctest::Add32(expected, c.connection ? 901 : 0xFFFFFFFF);
        expected.insert(expected.end(), 16, 0);
        opctest::Add32(expected, c.connection ? 1 : 0);
        for (int i = 0; i < 44; ++i) opctest::Add32(expected, 0xFFFFFFFF);
        opctest::Add32(expected, 364);
        opctest::Add32(expected, 0);
        opctest::Add32(expected, 4);
        expected.insert(expected.end(), 24, 0);
        const size_t stringsAt = expected.size();
        opctest::AddString(expected, c.uii);
        EXPECT_EQ(expected.size() - stringsAt, c.uii.size() == 5 ? 8u : c.uii.size() == 6 ? 12u : 4u);
        opctest::AddString(expected, c.connection ? "1001.22" : "");
        opctest::Add16(expected, 7);
        opctest::Add16(expected, 8);
        opctest::Add16(expected, 21);
        opctest::Add32(expected, 0x01000025);
        opctest::Add32(expected, 77);
        opctest::AddConn(expected, 901, "1001.22", 1);
        expected.insert(expected.end(), 356 - 72, 0);  // Reservation 0 and the rest
        opctest::Add32(expected, 0xFFFFFFFF);          // CompoundRequestType

        uint8_t out[kCSTAMessageRoom];
        std::memset(out, 0xEE, sizeof out);  // stale bytes must not survive
        const int n = WriteCSTAMessage(out, sizeof out, c.connection, 0, nullptr, hold,
                                       hold.OPCBlock(), c.uii);
        ASSERT_EQ(n, static_cast<int>(expected.size()));
        EXPECT_EQ(Bytes(out, out + n), expected);
    }
}

TEST(CSTAWire, SkillGroupsFillTheirSlotsAndTheRestIsNone) {
    TPCSTARetrieveCallMsg retrieve(1, 2, 3);
    const uint32_t groups[3] = {10, 11, 12};
    uint8_t out[kCSTAMessageRoom];
    ASSERT_GT(WriteCSTAMessage(out, sizeof out, nullptr, 2, groups, retrieve, nullptr, ""), 0);
    EXPECT_EQ(out[32], 10);
    EXPECT_EQ(out[36], 11);
    for (int i = 2; i < 44; ++i) EXPECT_EQ(out[32 + 4 * i], 0xFF) << i;
    ASSERT_GT(WriteCSTAMessage(out, sizeof out, nullptr, -1, groups, retrieve, nullptr, ""), 0);
    EXPECT_EQ(out[32], 0xFF);
    EXPECT_EQ(out[216], 0);  // no OPC block given: length 0
}

TEST(CSTAWire, OnlyRequestsAreWritten) {
    opctest::TraceCapture capture;
    TPCSTAMsg record(1, 2);
    uint8_t out[kCSTAMessageRoom];
    EXPECT_EQ(WriteCSTAMessage(out, sizeof out, nullptr, 0, nullptr, record, nullptr, ""), -1);
    EXPECT_EQ(capture.Take(), "SendCSTAMessage:: Invalid event class 0x0 specified.\n");
}

// A request that does not fit the link's buffer is refused with a trace and nothing is
// written past the room given.
TEST(CSTAWire, ARequestThatDoesNotFitIsRefused) {
    opctest::TraceCapture capture;
    TPCSTAConferenceCallMsg conference(1, 2, 3);
    Bytes buffer(kCSTAMessageRoom + 64, 0xEE);
    // 244 + 4 + 6 + 364 + 2824 = 3442: 566 bytes of room remain for the id string.
    const std::string fits(560, 'u');     // a string of 564 bytes
    const std::string tooLong(564, 'u');  // 568 bytes
    EXPECT_EQ(WriteCSTAMessage(buffer.data(), kCSTAMessageRoom, nullptr, 0, nullptr, conference,
                               conference.OPCBlock(), fits),
              3442 + 564);
    EXPECT_EQ(WriteCSTAMessage(buffer.data(), kCSTAMessageRoom, nullptr, 0, nullptr, conference,
                               conference.OPCBlock(), tooLong),
              -1);
    EXPECT_NE(capture.Take().find("exceeds the buffer of 4008 bytes"), std::string::npos);
    for (size_t i = kCSTAMessageRoom; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE);
    const std::string huge(70000, 'u');
    EXPECT_EQ(WriteCSTAMessage(buffer.data(), kCSTAMessageRoom, nullptr, 0, nullptr, conference,
                               conference.OPCBlock(), huge),
              -1);
}

Bytes GoodMakeCallConfirmation() {
    Bytes fields;
    opctest::AddConn(fields, 901, "1001", 1);
    Bytes line;
    opctest::Add32(line, 7);
    opctest::Add32(line, 1);
    return opctest::Message(5, 24, opctest::ConfBody(fields), {}, line, "sess1", "1001");
}

// Messages that lie about their sizes (the ECC block's among them) are dropped with a trace,
// nothing is read outside them (ASan watches: each is copied into a buffer of its exact
// size), and a good message that follows still parses.
TEST(CSTAWire, MessagesThatLieAreDroppedAndTheNextOneParses) {
    const Bytes good = GoodMakeCallConfirmation();
    const size_t stringsEnd = good.size() - 6 - 80 - 8;
    constexpr size_t kECCAt = 244 + 8 + 8 + 14 * 4;
    struct Lie {
        const char* name;
        std::function<Bytes()> make;
    };
    const Lie lies[] = {
        {"shorter than the fixed part", [&] { return Bytes(good.begin(), good.begin() + 243); }},
        {"body above 1304", [&] { Bytes m = good; opctest::Set32(m, 208, 1305); return m; }},
        {"body beyond the message", [&] { Bytes m = good; opctest::Set32(m, 208, 1300); return m; }},
        {"raw private data above 990", [&] { Bytes m = good; opctest::Set32(m, 212, 991); return m; }},
        {"raw private data of 989 rounds past 990", [&] { Bytes m = good; opctest::Set32(m, 212, 989); m.resize(m.size() + 989, 0); return m; }},
        {"OPC private data above 2872", [&] { Bytes m = good; opctest::Set32(m, 216, 2873); m.resize(m.size() + 2873, 0); return m; }},
        {"OPC private data beyond the message", [&] { Bytes m = good; opctest::Set32(m, 216, 12); return m; }},
        {"a string count past the end", [&] { Bytes m = good; m[244 + 8 + 8] = 0xFF; m[244 + 8 + 9] = 0xFF; return m; }},
        {"cut inside the strings", [&] { return Bytes(good.begin(), good.begin() + static_cast<long>(stringsEnd) - 3); }},
        {"cut by one byte", [&] { return Bytes(good.begin(), good.end() - 1); }},
        // The ECC block at position 17: after "sess1", "1001" and fourteen empty strings.
        {"ECC block above 2000", [&] { Bytes m = good; opctest::Set32(m, kECCAt, 2001); m.resize(m.size() + 2004, 0); return m; }},
        {"ECC length of 4 GB", [&] { Bytes m = good; opctest::Set32(m, kECCAt, 0xFFFFFFFF); return m; }},
        {"ECC block past the end", [&] { Bytes m = good; opctest::Set32(m, kECCAt, 1000); return m; }},
        {"cut inside the ECC length", [&] { return Bytes(good.begin(), good.begin() + static_cast<long>(kECCAt) + 2); }},
    };
    auto record = std::make_unique<CSTAEventRecord>();
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.name);
        opctest::TraceCapture capture;
        const Bytes m = lie.make();
        std::unique_ptr<uint8_t[]> exact(new uint8_t[m.size()]);
        std::memcpy(exact.get(), m.data(), m.size());
        EXPECT_FALSE(UnpackCSTAMessage(exact.get(), static_cast<uint32_t>(m.size()), record.get()));
        EXPECT_NE(capture.Take().find("ProcessCSTAMessage: CTI_CSTA_MESSAGE of"), std::string::npos);
        ASSERT_TRUE(UnpackCSTAMessage(good.data(), static_cast<uint32_t>(good.size()), record.get()));
        const auto conf = CreateCSTAConfirmation(5, *record);
        ASSERT_NE(conf, nullptr);
        EXPECT_EQ(conf->GetNewCall().callID, 901);
        EXPECT_EQ(conf->PrivateDataWord(0), 7u);
    }
}

TEST(CSTAWire, UnpackKeepsStringsHeaderBodyAndBlocks) {
    Bytes raw(8, 0x11);
    Bytes opc(6, 0x22);  // rounds up to 8 in the record
    const Bytes m = opctest::Message(4, 57, {1, 0, 0, 0, 9}, raw, opc, "uii-x", "1001.1");
    auto record = std::make_unique<CSTAEventRecord>();
    std::memset(record->Bytes(), 0x77, kCSTARecordSize);  // a reused record
    ASSERT_TRUE(UnpackCSTAMessage(m.data(), static_cast<uint32_t>(m.size()), record.get()));
    EXPECT_EQ(record->PeripheralID(), 5);
    EXPECT_EQ(record->EventClass(), 4);
    EXPECT_EQ(record->EventType(), 57);
    EXPECT_EQ(record->UniqueInstanceID, "uii-x");
    EXPECT_EQ(record->DeviceID, "1001.1");
    EXPECT_EQ(record->EventBodyLength(), 5u);
    EXPECT_EQ(record->EventBody()[4], 9);
    for (uint32_t i = 5; i < kCSTAEventAreaSize; ++i) ASSERT_EQ(record->EventBody()[i], 0) << i;
    EXPECT_EQ(PrivateDataLength(record->RawBlock()), 8);
    EXPECT_EQ(PrivateDataLength(record->OPCBlock()), 8);
    EXPECT_EQ(PrivateDataPointer(record->OPCBlock(), 0)[5], 0x22);
    EXPECT_EQ(PrivateDataPointer(record->OPCBlock(), 0)[6], 0);  // the fill is zero
}

// The committed fuzz seeds are the messages the stand-in sends: each must unpack, and each
// confirmation must build its class.
TEST(CSTAWire, EverySeedOfTheFuzzCorpusParses) {
    const std::filesystem::path corpus =
        std::filesystem::path(PARLO_SOURCE_DIR) / "fuzz/opc_csta/corpus";
    auto record = std::make_unique<CSTAEventRecord>();
    int seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes m((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_TRUE(UnpackCSTAMessage(m.data(), static_cast<uint32_t>(m.size()), record.get()));
        if (record->EventClass() == 5) {
            EXPECT_NE(CreateCSTAConfirmation(5, *record), nullptr);
            // Seeds written by parlo-opc echo its own requests' id.
            const bool standIn = entry.path().filename().string().rfind("standin_", 0) == 0;
            EXPECT_EQ(record->UniqueInstanceID, standIn ? "desk1" : "sess1");
        }
        ++seeds;
    }
    EXPECT_GE(seeds, 43);
}

// Position 17 is the ECC block: its data is viewed, its fill stepped over, and position 18
// and the header after it are read where they are.
TEST(CSTAWire, UnpackViewsStrings3To16AndTheECCBlock) {
    for (const size_t eccSize : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{5}, size_t{2000}}) {
        SCOPED_TRACE(eccSize);
        opctest::CSTAMessageBuilder b;
        b.eventType = 57;
        b.body = {1, 0, 0, 0, 9};
        for (size_t i = 0; i < 18; ++i) b.strings[i] = "s" + std::to_string(i + 1);
        for (size_t i = 0; i < eccSize; ++i) b.ecc.push_back(static_cast<uint8_t>(i * 7 + 1));
        const Bytes m = b.Encode();
        auto record = std::make_unique<CSTAEventRecord>();
        ASSERT_TRUE(UnpackCSTAMessage(m.data(), static_cast<uint32_t>(m.size()), record.get()));
        EXPECT_EQ(record->EventType(), 57);
        EXPECT_EQ(record->EventBody()[4], 9);
        EXPECT_EQ(record->UniqueInstanceID, "s1");
        EXPECT_EQ(record->DeviceID, "s2");
        EXPECT_EQ(record->ApplicationData, "s3");
        EXPECT_EQ(record->ScriptSelector, "s4");
        EXPECT_EQ(record->ApplicationString1, "s5");
        EXPECT_EQ(record->ApplicationString2, "s6");
        for (size_t i = 0; i < 10; ++i) EXPECT_EQ(record->CallVariables[i], "s" + std::to_string(i + 7));
        EXPECT_EQ(Bytes(record->ECC.begin(), record->ECC.end()), b.ecc);
    }
}

}  // namespace
