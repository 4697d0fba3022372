// The CSTA confirmation classes built from received messages: defaults, lists moved into the
// record, bounds against lying lists, and the fatal type check.
#include "opcmsg/cstaconfirmations.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "opcmsg/cstawire.h"
#include "platform/byteorder.h"
#include "tests/opcmsg/opc_message_builder.h"
#include "tests/opcmsg/opc_test_support.h"
#include "tests/support/child_process.h"

namespace {

using opctest::Bytes;

class Confirmations : public ::testing::Test {
protected:
    // Unpacks a confirmation message and builds its class.
    std::unique_ptr<TPCSTAConfMsg> Build(uint16_t type, const Bytes& fields, const Bytes& raw = {},
                                         const Bytes& opc = {}) {
        const Bytes m = opctest::Message(5, type, opctest::ConfBody(fields), raw, opc, "sess1");
        EXPECT_TRUE(UnpackCSTAMessage(m.data(), static_cast<uint32_t>(m.size()), record.get()));
        return CreateCSTAConfirmation(7, *record);
    }
    std::unique_ptr<CSTAEventRecord> record = std::make_unique<CSTAEventRecord>();
};

// Every class of the table: class 5, its type, the echoed invoke ids, and typed defaults kept
// when no private data came.
TEST_F(Confirmations, EveryTypeBuildsItsClassAndKeepsTypedDefaults) {
    int built = 0;
    for (const CSTAConfDesc& desc : kCSTAConfirmations) {
        SCOPED_TRACE(desc.className);
        const auto conf = Build(desc.eventType, {});
        ASSERT_NE(conf, nullptr);
        EXPECT_EQ(&conf->Description(), &desc);
        EXPECT_EQ(conf->eventClass(), 5);
        EXPECT_EQ(conf->eventType(), desc.eventType);
        EXPECT_EQ(conf->PeripheralID(), 7);
        EXPECT_EQ(conf->InvokeID(), 0x01000042u);
        EXPECT_EQ(conf->ClientInvokeID(), 77u);
        ++built;
    }
    EXPECT_EQ(built, 36);

    auto line = Build(24, {});
    EXPECT_EQ(line->GetNewCall().callID, 0);  // a zero body: callID 0 came from OPC
    EXPECT_EQ(line->PrivateDataWord(cstaconfpd::kLineHandle), 0xFFFFFFFFu);
    EXPECT_EQ(line->PrivateDataWord(cstaconfpd::kLineType), 3u);
    EXPECT_EQ(PrivateDataLength(line->OPCBlock()), 0);  // the received length replaces it

    auto failure = Build(53, {});
    EXPECT_EQ(failure->PrivateDataWord(cstaconfpd::kPeripheralErrorCode), 0u);

    auto info = Build(38, {});
    EXPECT_EQ(info->PrivateDataWord(cstaconfpd::kPeripheralType), 0xFFFFFFFFu);
    EXPECT_EQ(info->PrivateDataWord(cstaconfpd::kNumLines), 0u);
    for (uint32_t i = 0; i < 10; ++i) {
        EXPECT_EQ(info->PrivateDataWord(cstaconfpd::kLineHandles + 4 * i), 0xFFFFFFFFu);
        EXPECT_EQ(info->PrivateDataWord(cstaconfpd::kLineTypes + 4 * i), 3u);
    }

    auto snap = Build(121, {});
    EXPECT_EQ(snap->PrivateDataWord(cstaconfpd::kCallTypeID), 0xFFFFFFFFu);
    EXPECT_EQ(snap->PrivateDataWord(cstaconfpd::kCOC), 0xFFFFFFFFu);

    record->Bytes()[4] = 99;  // a type without a class
    EXPECT_EQ(CreateCSTAConfirmation(7, *record), nullptr);
    record->Bytes()[2] = 4;  // not a confirmation
    record->Bytes()[4] = 24;
    EXPECT_EQ(CreateCSTAConfirmation(7, *record), nullptr);
}

TEST_F(Confirmations, NewCallAndLinePrivateDataAreRead) {
    Bytes fields;
    opctest::AddConn(fields, 901, "1001.22.3", 1);
    Bytes line;
    opctest::Add32(line, 12);
    opctest::Add32(line, 7);
    for (uint16_t type : {14, 24, 26}) {
        auto conf = Build(type, fields, {}, line);
        const ConnectionID c = conf->GetNewCall();
        EXPECT_EQ(c.callID, 901);
        EXPECT_STREQ(c.deviceID, "1001.22.3");
        EXPECT_EQ(c.deviceIDType, 1u);
        EXPECT_EQ(conf->PrivateDataWord(0), 12u);
        EXPECT_EQ(conf->PrivateDataWord(4), 7u);
    }
    auto supervise = Build(141, fields, {}, line);
    EXPECT_EQ(supervise->GetConnection().callID, 901);
}

TEST_F(Confirmations, BadDeviceTypeIsTracedAndTheDefaultStays) {
    opctest::TraceCapture capture;
    Bytes fields;
    opctest::AddConn(fields, 5, "1001", 2);
    auto conf = Build(12, fields);
    EXPECT_EQ(conf->GetNewCall().deviceIDType, 0u);
    EXPECT_NE(capture.Take().find("TCPCSTAMSG::SetConnectionID - Invalid DeviceType 2 specified."),
              std::string::npos);
}

TEST_F(Confirmations, UniversalFailureGivesErrorAndPeripheralErrorCode) {
    Bytes error;
    opctest::Add32(error, 12);
    Bytes pd;
    opctest::Add32(pd, 4711);
    opctest::Add32(pd, 0xABCD);  // a longer block keeps its extra bytes
    auto conf = Build(53, error, {}, pd);
    EXPECT_EQ(conf->GetError(), 12u);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kPeripheralErrorCode), 4711u);
    EXPECT_EQ(PrivateDataLength(conf->OPCBlock()), 8);
    EXPECT_EQ(conf->PrivateDataWord(4), 0xABCDu);
}

TEST_F(Confirmations, DeviceInfoWithAShortBlockKeepsTheRestOfItsDefaults) {
    Bytes fields;
    opctest::AddText(fields, "3003", 64);
    opctest::Add32(fields, 5);
    fields.push_back(2);
    Bytes pd(44, 0);
    opctest::Set32(pd, 0, 17);
    auto conf = Build(38, fields, {}, pd);
    EXPECT_EQ(conf->GetDeviceType(), 5u);
    EXPECT_EQ(conf->GetDeviceClass(), 2);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kPeripheralType), 17u);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kLineHandles + 36), 0xFFFFFFFFu);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kLineTypes), 3u);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kDataLength), 0u);
}

TEST_F(Confirmations, QueryFwdCountIsClampedToSeven) {
    Bytes fields;
    opctest::Add16(fields, 9);
    opctest::Add16(fields, 0);
    for (int i = 0; i < 9; ++i) {
        opctest::Add32(fields, 100 + i);
        fields.push_back(1);
        opctest::AddText(fields, "dest" + std::to_string(i), 64);
        fields.insert(fields.end(), 3, 0);
    }
    auto conf = Build(32, fields);
    const uint8_t* body = conf->Body();
    EXPECT_EQ(body[0], 7);
    EXPECT_EQ(body[4 + 6 * 72], 106);
    EXPECT_STREQ(reinterpret_cast<const char*>(body + 4 + 6 * 72 + 5), "dest6");
    EXPECT_EQ(body[4 + 7 * 72], 0);  // no eighth entry

    Bytes minusOne = fields;
    minusOne[0] = 0xFF;
    minusOne[1] = 0xFF;
    conf = Build(32, minusOne);
    EXPECT_EQ(conf->Body()[0], 0xFF);
    EXPECT_EQ(conf->Body()[1], 0xFF);
    EXPECT_EQ(conf->Body()[4], 0);
}

Bytes PartyEntry(uint32_t callID) {
    Bytes e;
    opctest::AddConn(e, callID, std::to_string(callID), 0);
    opctest::AddText(e, "static", 64);
    opctest::Add32(e, 0);
    opctest::Add32(e, 0);
    return e;
}

TEST_F(Confirmations, PartyListMovesIntoTheRecordAtOffsetZero) {
    Bytes raw(16, 0xAB);  // the list lies at offset 16 of the received block
    for (uint32_t i = 0; i < 2; ++i) {
        const Bytes e = PartyEntry(500 + i);
        raw.insert(raw.end(), e.begin(), e.end());
    }
    Bytes fields;
    opctest::AddConn(fields, 9, "1001", 0);
    opctest::Add32(fields, 2);
    opctest::Add32(fields, 16);
    auto conf = Build(52, fields, raw);
    EXPECT_EQ(plat::LoadLE32(conf->Body() + 72), 2u);
    EXPECT_EQ(plat::LoadLE32(conf->Body() + 76), 0u);
    EXPECT_EQ(PrivateDataLength(conf->RawBlock()), 288);
    EXPECT_EQ(plat::LoadLE32(PrivateDataPointer(conf->RawBlock(), 144)), 501u);
}

Bytes SnapshotDeviceEntry(uint32_t callID, uint32_t states, uint32_t offset) {
    Bytes e;
    opctest::AddConn(e, callID, "1001", 0);
    opctest::Add32(e, states);
    opctest::Add32(e, offset);
    opctest::Add32(e, 0);
    return e;
}

TEST_F(Confirmations, SnapshotDeviceMovesStateListsFirstThenEntries) {
    Bytes raw;
    for (int i = 0; i < 2; ++i) {  // entries at 0
        const Bytes e = SnapshotDeviceEntry(600 + i, i == 0 ? 1 : 3, i == 0 ? 168 : 172);
        raw.insert(raw.end(), e.begin(), e.end());
    }
    for (uint32_t s : {3u, 2u, 4u, 5u}) opctest::Add32(raw, s);  // lists at 168 and 172
    Bytes fields;
    opctest::Add32(fields, 2);
    opctest::Add32(fields, 0);
    auto conf = Build(123, fields, raw);
    const uint8_t* data = conf->GetSnapshotData();
    EXPECT_EQ(plat::LoadLE32(data), 2u);
    EXPECT_EQ(plat::LoadLE32(data + 4), 16u);
    const uint8_t* block = PrivateDataPointer(conf->RawBlock(), 0);
    EXPECT_EQ(PrivateDataLength(conf->RawBlock()), 16 + 168);
    EXPECT_EQ(plat::LoadLE32(block + 16 + 76), 0u);       // first entry's list
    EXPECT_EQ(plat::LoadLE32(block + 16 + 84 + 76), 4u);  // second entry's list
    EXPECT_EQ(plat::LoadLE32(block + 0), 3u);
    EXPECT_EQ(plat::LoadLE32(block + 4), 2u);
    EXPECT_EQ(plat::LoadLE32(block + 12), 5u);

    Bytes none;
    opctest::Add32(none, 0);
    opctest::Add32(none, 0);
    conf = Build(123, none);
    EXPECT_EQ(plat::LoadLE32(conf->Body()), 0u);
    EXPECT_EQ(plat::LoadLE32(conf->Body() + 4), 0u);
    EXPECT_EQ(PrivateDataLength(conf->RawBlock()), 0);
}

// Lists that lie about their counts or offsets are cut to the whole entries that lie in the
// received raw data and fit the record, with a trace; nothing is read beyond a block.
TEST_F(Confirmations, ListsThatLieAreCutToWhatFits) {
    struct ListLie {
        const char* name;
        uint16_t type;
        uint32_t count;
        uint32_t offset;
        uint32_t rawBytes;
        uint32_t kept;
    };
    const ListLie lies[] = {
        {"party count past the data", 12, 5, 0, 2 * 144, 2},
        {"party count negative", 52, 0xFFFFFFFF, 0, 144, 0},
        {"party offset past the data", 12, 1, 900, 2 * 144, 0},
        {"party offset huge", 52, 1, 0xFFFFFFF0, 2 * 144, 0},
        {"snapshot-call count of a thousand", 121, 1000, 0, 6 * 148, 6},
        {"snapshot-call negative", 121, 0x80000000, 0, 148, 0},
    };
    for (const ListLie& lie : lies) {
        SCOPED_TRACE(lie.name);
        opctest::TraceCapture capture;
        Bytes fields;
        const uint32_t countAt = lie.type == 121 ? 0 : 72;
        if (lie.type != 121) opctest::AddConn(fields, 9, "1001", 0);
        opctest::Add32(fields, lie.count);
        opctest::Add32(fields, lie.offset);
        auto conf = Build(lie.type, fields, Bytes(lie.rawBytes, 0x3C));
        EXPECT_EQ(plat::LoadLE32(conf->Body() + countAt), lie.kept);
        EXPECT_LE(PrivateDataLength(conf->RawBlock()), 990);
        EXPECT_NE(capture.Take().find("kept"), std::string::npos);
    }
}

TEST_F(Confirmations, SnapshotDeviceListsThatLieAreCut) {
    opctest::TraceCapture capture;
    Bytes raw;
    const Bytes a = SnapshotDeviceEntry(1, 2, 168);          // list in range
    const Bytes b = SnapshotDeviceEntry(2, 0x7FFFFFFF, 172);  // a state count far past the data
    raw.insert(raw.end(), a.begin(), a.end());
    raw.insert(raw.end(), b.begin(), b.end());
    opctest::Add32(raw, 3);
    opctest::Add32(raw, 4);
    Bytes fields;
    opctest::Add32(fields, 50);  // 50 entries claimed, 2 present
    opctest::Add32(fields, 0);
    auto conf = Build(123, fields, raw);
    EXPECT_EQ(plat::LoadLE32(conf->Body()), 2u);
    const uint8_t* block = PrivateDataPointer(conf->RawBlock(), 0);
    const uint32_t entries = plat::LoadLE32(conf->Body() + 4);
    EXPECT_EQ(plat::LoadLE32(block + entries + 72), 2u);
    EXPECT_EQ(plat::LoadLE32(block + entries + 84 + 72), 1u);  // cut to the one word left
    EXPECT_NE(capture.Take().find("kept"), std::string::npos);

    // Two entries share one long list: copied twice, it no longer fits beside the entries.
    Bytes shared;
    for (uint32_t i = 0; i < 2; ++i) {
        const Bytes e = SnapshotDeviceEntry(1 + i, 200, 168);
        shared.insert(shared.end(), e.begin(), e.end());
    }
    shared.insert(shared.end(), 800, 0);
    Bytes two;
    opctest::Add32(two, 2);
    opctest::Add32(two, 0);
    conf = Build(123, two, shared);
    EXPECT_EQ(plat::LoadLE32(conf->Body()), 1u);
    EXPECT_EQ(PrivateDataLength(conf->RawBlock()), 800 + 84);
}

TEST_F(Confirmations, ReceivedPrivateDataAboveTheBlockIsCut) {
    opctest::TraceCapture capture;
    Bytes block(kOPCPrivateDataBlockSize + 200, 0x44);
    opctest::Set32(block, 32, 0xFFFF);  // the u16 length states 65535 (and 2 bytes of vendor)
    block[34] = 0x44;
    TPCSTAMsg copy(1, 2);
    copy.SetPrivateData(block.data());
    EXPECT_EQ(PrivateDataLength(copy.OPCBlock()), 2872);
    EXPECT_NE(capture.Take().find("cut to 2872"), std::string::npos);
}

void ConsoleToStderr(const uint8_t* block, uint32_t length) {
    EMSParsedRecord parsed;
    if (!EMSParseRecord(block, length, &parsed)) return;
    for (uint32_t i = 0; i < parsed.argCount; ++i) std::fputs(parsed.args[i].c_str(), stderr);
    std::fputs("\n", stderr);
}
constexpr EMSSeams kFailToStderr = {ConsoleToStderr, nullptr, nullptr, nullptr,
                                    nullptr,         nullptr, nullptr, nullptr};

// A record of another type handed to a class ends the process with the class's text.
TEST_F(Confirmations, AMismatchedRecordIsFatal) {
    const Bytes m = opctest::Message(5, 14, opctest::ConfBody({}));
    ASSERT_TRUE(UnpackCSTAMessage(m.data(), static_cast<uint32_t>(m.size()), record.get()));
    const pid_t child = testsupport::ForkChild([&] {
        TPCSTAConferenceCallConfEventMsg conf(7, *record, record->OPCBlock());
        return 0;
    });
    const int status = testsupport::WaitChild(child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 162);
    EXPECT_DEATH(
        {
            EMSInstallSeams(&kFailToStderr);
            TPCSTAConferenceCallConfEventMsg(7, *record, record->OPCBlock());
        },
                 "Construction of TPCSTAConferenceCallConfEventMsg failed eventClass=5 "
                 "eventType=14");
    const Bytes greeting = opctest::Message(5, 160, opctest::ConfBody({}));
    ASSERT_TRUE(UnpackCSTAMessage(greeting.data(), static_cast<uint32_t>(greeting.size()), record.get()));
    EXPECT_DEATH(
        {
            EMSInstallSeams(&kFailToStderr);
            TPCSTAAgentGreetingControlConfMsg(7, *record, record->OPCBlock());
        },
                 "Construction of TPCSTAAgentGreetingControlConfMsg failed eventClass=5 "
                 "eventType=160");
}

TEST_F(Confirmations, GreetingConfirmationLeavesThePrivateDataAlone) {
    Bytes pd;
    opctest::Add32(pd, 5);
    auto conf = Build(159, {}, {}, pd);
    EXPECT_EQ(PrivateDataLength(conf->OPCBlock()), 0);
}

}  // namespace
