// Private-data blocks, the ACS header match, call variables and device-id splitting.
#include "opcmsg/opclib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/opcmsg/opc_test_support.h"

namespace {

TEST(PrivateDataBlock, AppendsRoundToFourAndReportTheirOffsets) {
    std::vector<uint8_t> block(kOPCPrivateDataBlockSize, 0xAA);
    ResetPrivateData(block.data());
    uint32_t padded = 0;
    EXPECT_EQ(AppendPrivateDataEx(block.data(), "abcde", 5, 2906, &padded), 0);
    EXPECT_EQ(padded, 8u);
    EXPECT_EQ(PrivateDataLength(block.data()), 8);
    EXPECT_EQ(AppendPrivateDataEx(block.data(), "wxyz", 4, 2906, &padded), 8);
    EXPECT_EQ(padded, 4u);
    EXPECT_EQ(PrivateDataLength(block.data()), 12);
    EXPECT_EQ(std::memcmp(PrivateDataPointer(block.data(), 0), "abcde\0\0\0wxyz", 12), 0);
    EXPECT_EQ(PrivateDataAddress(block.data(), 8),
              reinterpret_cast<uintptr_t>(block.data() + 34 + 8));
}

TEST(PrivateDataBlock, AppendingItsOwnDataOntoItselfKeepsTheBytes) {
    std::vector<uint8_t> block(kOPCPrivateDataBlockSize, 0);
    for (int i = 0; i < 2764; ++i) block[34 + i] = static_cast<uint8_t>(i * 7);
    const std::vector<uint8_t> before = block;
    ResetPrivateData(block.data());
    EXPECT_EQ(AppendPrivateData(block.data(), PrivateDataPointer(block.data(), 0), 2764, 2906), 0);
    EXPECT_EQ(PrivateDataLength(block.data()), 2764);
    EXPECT_EQ(std::memcmp(block.data() + 34, before.data() + 34, 2764), 0);
}

// The capacity is enforced: nothing is written past the block and the length never wraps.
TEST(PrivateDataBlock, AppendBeyondTheCapacityIsRefusedWithATrace) {
    opctest::TraceCapture capture;
    std::vector<uint8_t> storage(1024 + 16, 0x5C);
    uint8_t* block = storage.data();
    ResetPrivateData(block);
    std::vector<uint8_t> data(1000, 1);
    EXPECT_EQ(AppendPrivateData(block, data.data(), 988, 1024), 0);  // 988 of 990 used
    EXPECT_EQ(AppendPrivateData(block, data.data(), 1, 1024), -1);   // 988 + 4 > 990
    EXPECT_EQ(AppendPrivateData(block, data.data(), 70000, 1024), -1);
    EXPECT_EQ(PrivateDataLength(block), 988);
    for (size_t i = 1024; i < storage.size(); ++i) EXPECT_EQ(storage[i], 0x5C);
    EXPECT_NE(capture.Take().find("OPCLIB: AppendPrivateData"), std::string::npos);
    // A capacity above what the u16 length can count is held to 65535 data bytes.
    std::vector<uint8_t> big(70000 + 34, 0);
    ResetPrivateData(big.data());
    EXPECT_EQ(AppendPrivateData(big.data(), big.data() + 34, 65536, 70034), -1);
    EXPECT_EQ(PrivateDataLength(big.data()), 0);
}

TEST(OPCLib, MatchesTheHeaderOnClassAndTypeOnly) {
    const uint8_t header[6] = {0x05, 0x00, 0x06, 0x00, 0x5D, 0x00};
    EXPECT_TRUE(MatchACSHeader(header, 6, 93));
    EXPECT_FALSE(MatchACSHeader(header, 6, 94));
    EXPECT_FALSE(MatchACSHeader(header, 4, 93));
    EXPECT_EQ(PeripheralIDToLong(0xFFFF), 65535u);
}

TEST(OPCLib, CopyCallVariablesCutsAtFortyAndEmptiesOnNull) {
    char source[410] = {};
    char destination[410];
    std::memset(destination, 'x', sizeof destination);
    const std::string longValue(45, 'v');
    std::memcpy(source, longValue.data(), 40);  // a full slot has no NUL of its own
    std::memcpy(source + 41, "second", 6);
    CopyCallVariables(destination, source);
    EXPECT_EQ(std::string(destination), std::string(40, 'v'));
    EXPECT_STREQ(destination + 41, "second");
    EXPECT_STREQ(destination + 9 * 41, "");
    CopyCallVariables(destination, nullptr);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(destination[i * 41], '\0');
}

struct SplitCase {
    const char* full;
    int result;
    const char* instrument;
    const char* extension;
    const char* line;
};

TEST(DisassembleDeviceID, SplitsAndLeavesMissingPartsUntouched) {
    const std::string ext15 = "1." + std::string(15, 'e');
    const std::string ext16 = "1." + std::string(16, 'e') + ".2";
    const std::string line39 = "1.2." + std::string(39, 'l');
    const std::string line40 = "1.2." + std::string(40, 'l');
    const std::string full63(63, '9');
    const std::string full64(64, '9');
    const SplitCase cases[] = {
        {"1001.22.3", 0, "1001", "22", "3"},
        {"1001", 0, "1001", "ext?", "line?"},
        {"1001.22", 0, "1001", "22", "line?"},
        {ext15.c_str(), 0, "1", ext15.c_str() + 2, "line?"},
        {ext16.c_str(), -3, "1", "ext?", "line?"},
        {line39.c_str(), 0, "1", "2", line39.c_str() + 4},
        {line40.c_str(), -4, "1", "2", "line?"},
        {full63.c_str(), 0, full63.c_str(), "ext?", "line?"},
        {full64.c_str(), -1, "inst?", "ext?", "line?"},
    };
    for (const SplitCase& c : cases) {
        opctest::TraceCapture capture;
        char instrument[64] = "inst?";
        char extension[16] = "ext?";
        char line[40] = "line?";
        EXPECT_EQ(DisassembleDeviceID(c.full, instrument, extension, line), c.result) << c.full;
        EXPECT_STREQ(instrument, c.instrument) << c.full;
        EXPECT_STREQ(extension, c.extension) << c.full;
        EXPECT_STREQ(line, c.line) << c.full;
        const std::string traces = capture.Take();
        if (c.result == -1)
            EXPECT_EQ(traces, opctest::Format("OPCLIB: DisassembleDeviceID(%s,...) ERROR: fullDevIDp "
                                              "length of %d exceeds maximum of %d - Not "
                                              "disassembling\n",
                                              c.full, 64, 63));
        else if (c.result == -3)
            EXPECT_EQ(traces, opctest::Format("OPCLIB: DisassembleDeviceID(%s,...) WARNING: "
                                              "Extension component length of %d exceeds maximum "
                                              "of %d \n",
                                              c.full, 16, 15));
        else if (c.result == -4)
            EXPECT_EQ(traces, opctest::Format("OPCLIB: DisassembleDeviceID(%s,...) WARNING: Line "
                                              "component length of %d exceeds maximum of %d \n",
                                              c.full, 40, 39));
        else
            EXPECT_EQ(traces, "");
    }
}

TEST(DisassembleDeviceID, PartsRecordKnowsWhetherThereIsAnExtension) {
    EXPECT_FALSE(DeviceIDParts("1001").HasExtension());
    const DeviceIDParts parts("1001.22");
    EXPECT_TRUE(parts.HasExtension());
    EXPECT_EQ(parts.FullDeviceID, "1001.22");
    const DeviceIDParts bad(("1." + std::string(20, 'e')).c_str());
    EXPECT_TRUE(bad.Instrument.empty());  // a failed split leaves every part empty
    EXPECT_FALSE(bad.HasExtension());
}

}  // namespace
