#include "nuvlib/emsrecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/nuvlib/mds_fake_port.h"
#include "platform/byteorder.h"
#include "platform/lasterror.h"

namespace {

EMSRecordInput BaseInput() {
    EMSRecordInput in;
    in.systemType = 7;
    in.systemId = 3;
    in.statusKind = 1;
    in.statusCode = 0x01020304;
    in.mdsStamp = 0xFFFFFFFF;
    in.eventId = 0x21010003;
    in.time = 0x0102030405060708ULL;
    in.side = 'A';
    in.processName = "abc";
    in.computerName = "host";
    return in;
}

TEST(EmsRecord, MinimalRecordBytes) {
    uint8_t block[EMS_RECORD_MAX];
    const uint32_t total = EMSFillRecord(block, BaseInput());
    // "abc\0host\0" = 9 bytes from offset 36, padded to offset 48: variable length 12.
    ASSERT_EQ(total, 52u);
    const uint8_t expected[52] = {
        52, 0, 0, 0,                          // total
        6, 7, 3, 1,                           // version, system type, system id, status kind
        4, 3, 2, 1,                           // status code
        0xFF, 0xFF, 0xFF, 0xFF,               // MDS stamp
        0x03, 0x00, 0x01, 0x21,               // event id
        8, 7, 6, 5, 4, 3, 2, 1,               // time, low word first
        12, 0, 0, 0,                          // variable length, data length
        0, 0, 'A', 0,                         // counts, side, flags
        'a', 'b', 'c', 0, 'h', 'o', 's', 't', 0, 0, 0, 0,
        52, 0, 0, 0,                          // closing total
    };
    EXPECT_EQ(std::memcmp(block, expected, sizeof expected), 0);
}

TEST(EmsRecord, CuttingRules) {
    const std::string s300(300, 's');
    const std::string s259(259, 't');
    const std::string name20(20, 'n');
    std::vector<uint8_t> data1000(1000);
    for (size_t i = 0; i < data1000.size(); ++i) data1000[i] = static_cast<uint8_t>(i * 7 + 1);

    struct Case {
        const char* what;
        std::vector<std::string> strings;
        std::vector<int32_t> ints;
        const std::vector<uint8_t>* data;
        const char* processName;
        std::vector<std::string> expectedArgs;
        uint32_t expectedData;
    };
    const Case cases[] = {
        {"300 characters keep 259", {s300}, {}, nullptr, "abc", {std::string(259, 's')}, 0},
        {"integers as decimal text", {"x"}, {-5, 2147483647}, nullptr, "abc",
         {"-5", "2147483647", "x"}, 0},
        {"long process name cut to 15", {}, {}, nullptr, name20.c_str(), {}, 0},
        {"small data kept whole", {"x"}, {}, &data1000, "abc", {"x"}, 1000},
        // 36 + "abc\0host\0" + 5 x 260 = 1345, padded to 1348; data fits up to 2083.
        {"five full strings cut the data", {s259, s259, s259, s259, s259}, {}, &data1000, "abc",
         {s259, s259, s259, s259, s259}, 2084 - 1348},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EMSRecordInput in = BaseInput();
        in.processName = c.processName;
        std::vector<const char*> strs;
        for (const auto& s : c.strings) strs.push_back(s.c_str());
        in.strCount = static_cast<uint32_t>(strs.size());
        in.strings = strs.data();
        in.intCount = static_cast<uint32_t>(c.ints.size());
        in.ints = c.ints.data();
        if (c.data != nullptr) {
            in.data = c.data->data();
            in.dataLength = static_cast<uint32_t>(c.data->size());
        }
        uint8_t block[EMS_RECORD_MAX];
        const uint32_t total = EMSFillRecord(block, in);
        ASSERT_LE(total, EMS_RECORD_MAX);
        EXPECT_EQ(total % 4, 0u);
        EXPECT_EQ(plat::LoadLE32(block), total);
        EXPECT_EQ(plat::LoadLE32(block + total - 4), total);
        EXPECT_EQ(plat::LoadLE16(block + emsoff::kDataLength), c.expectedData);

        // Parse from an exact-size copy: the sanitizer catches any read past the block.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[total]);
        std::memcpy(copy.get(), block, total);
        EMSParsedRecord parsed;
        ASSERT_TRUE(EMSParseRecord(copy.get(), total, &parsed));
        EXPECT_EQ(parsed.processName, std::string(c.processName).substr(0, 15));
        EXPECT_EQ(parsed.computerName, "host");
        ASSERT_EQ(parsed.argCount, c.expectedArgs.size());
        for (size_t i = 0; i < c.expectedArgs.size(); ++i) EXPECT_EQ(parsed.args[i], c.expectedArgs[i]);
        ASSERT_EQ(parsed.dataLength, c.expectedData);
        if (c.expectedData != 0) {
            EXPECT_EQ((parsed.data - copy.get()) % 4, 0);
            EXPECT_EQ(std::memcmp(parsed.data, data1000.data(), c.expectedData), 0);
        }
    }
}

TEST(EmsRecord, FullRecordEndsAtTheLimit) {
    const std::string s259(259, 't');
    const char* strs[5] = {s259.c_str(), s259.c_str(), s259.c_str(), s259.c_str(), s259.c_str()};
    std::vector<uint8_t> data(1000, 0xAB);
    EMSRecordInput in = BaseInput();
    in.strCount = 5;
    in.strings = strs;
    in.data = data.data();
    in.dataLength = 1000;
    uint8_t block[EMS_RECORD_MAX];
    EXPECT_EQ(EMSFillRecord(block, in), 2088u);
    EXPECT_EQ(plat::LoadLE16(block + emsoff::kVarLength), 2084u - 36u);
    EXPECT_EQ(block[2083], 0xAB);  // data reaches offset 2083 and no further
}

TEST(EmsRecord, ParsingACutRecordReportsTruncatedArguments) {
    const char* strs[3] = {"first", "second", "third"};
    EMSRecordInput in = BaseInput();
    in.strCount = 3;
    in.strings = strs;
    uint8_t block[EMS_RECORD_MAX];
    EMSFillRecord(block, in);
    // Variable part cut right after "first\0": 9 + 6 = 15 bytes.
    plat::StoreLE16(block + emsoff::kVarLength, 15);
    EMSParsedRecord parsed;
    ASSERT_TRUE(EMSParseRecord(block, EMS_RECORD_MAX, &parsed));
    ASSERT_EQ(parsed.argCount, 3u);
    EXPECT_EQ(parsed.args[0], "first");
    EXPECT_EQ(parsed.args[1], EMS_ARG_TRUNCATED);
    EXPECT_EQ(parsed.args[2], EMS_ARG_TRUNCATED);

    // A text without its NUL inside the part is read up to the end only.
    plat::StoreLE16(block + emsoff::kVarLength, 12);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[36 + 12]);
    std::memcpy(exact.get(), block, 36 + 12);
    ASSERT_TRUE(EMSParseRecord(exact.get(), 36 + 12, &parsed));
    EXPECT_EQ(parsed.args[0], "fir");
    EXPECT_EQ(parsed.args[2], EMS_ARG_TRUNCATED);

    // Counts above 5 and a block shorter than its header are bounded.
    block[emsoff::kIntCount] = 200;
    block[emsoff::kStrCount] = 200;
    ASSERT_TRUE(EMSParseRecord(block, EMS_RECORD_MAX, &parsed));
    EXPECT_EQ(parsed.argCount, 10u);
    EXPECT_FALSE(EMSParseRecord(block, 20, &parsed));
}

// A stand-in MDS client that records what it is given.
struct FakeMds {
    static inline int synchronized = 0;
    static inline int sendResult = 1;
    static inline uint32_t sendError = 0;
    static inline bool allocFails = false;
    static inline std::vector<uint8_t> sent;
    static inline uint32_t sentClass = 0, sentType = 0, sentFlag = 0, sentLength = 0;
    static inline int freed = 0;
    static inline std::vector<std::unique_ptr<uint8_t[]>> buffers;

    static int32_t Stamp() { return 77; }
    static int Sync() { return synchronized; }
    static void* Alloc(uint32_t n) {
        if (allocFails) return nullptr;
        buffers.emplace_back(new uint8_t[n]);
        return buffers.back().get();
    }
    static void Free(void*) { ++freed; }
    static int Send(uint32_t cls, uint32_t type, uint32_t flag, void* p, uint32_t n) {
        sentClass = cls;
        sentType = type;
        sentFlag = flag;
        sentLength = n;
        sent.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + n);
        if (sendResult != 1) plat::SetLastError(sendError);
        return sendResult;
    }
    static void Stop(int) {}
    static inline emstest::FakeMDSClient client{{Stamp, Sync, Alloc, Free, Send, Stop}};
};

class EmsForward : public ::testing::Test {
protected:
    void SetUp() override { (void)MDSInstallClientPort(&FakeMds::client); }
    void TearDown() override { (void)MDSInstallClientPort(nullptr); }
};

TEST_F(EmsForward, EnvelopeAndSynchronizedFlag) {
    FakeMds::synchronized = 1;
    uint8_t block[EMS_RECORD_MAX];
    const uint32_t total = EMSFillRecord(block, BaseInput());
    EMSForwardToMDS(block);
    EXPECT_EQ(FakeMds::sentClass, 128u);
    EXPECT_EQ(FakeMds::sentType, 1u);
    EXPECT_EQ(FakeMds::sentFlag, 0u);
    ASSERT_EQ(FakeMds::sentLength, 12u + 32u + 8u);
    const uint8_t envelope[8] = {3, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(FakeMds::sent.data(), envelope, 8), 0);
    // The local copy carries the flag, and the sent record is the local one from its version.
    EXPECT_EQ(block[emsoff::kFlags], EMS_FLAG_SYNCHRONIZED);
    EXPECT_EQ(std::memcmp(FakeMds::sent.data() + 8, block + 4, total - 8), 0);
    EXPECT_EQ(FakeMds::freed, 0);
}

TEST_F(EmsForward, BufferIsFreedOnlyWhenStillOurs) {
    const struct {
        int result;
        uint32_t error;
        int freed;
    } cases[] = {
        {1, 0, 0},                           // taken by the client
        {0, MDS_ERROR_NOT_REGISTERED, 1},    // still ours: free it
        {0, MDS_ERROR_TOO_LONG, 0},          // already freed by the refusal
    };
    for (const auto& c : cases) {
        FakeMds::sendResult = c.result;
        FakeMds::sendError = c.error;
        FakeMds::freed = 0;
        FakeMds::synchronized = 0;
        uint8_t block[EMS_RECORD_MAX];
        EMSFillRecord(block, BaseInput());
        EMSForwardToMDS(block);
        EXPECT_EQ(FakeMds::freed, c.freed) << std::hex << c.error;
        EXPECT_EQ(block[emsoff::kFlags], 0);
    }
}

TEST(EmsForwardDefaults, NotRegisteredSendsNothing) {
    UnregisteredMDSClient d;
    EXPECT_EQ(d.GetLastInputStamp(), -1);
    EXPECT_EQ(d.IsSynchronized(), 0);
    plat::SetLastError(0);
    EXPECT_EQ(d.AllocBuffer(10), nullptr);
    EXPECT_EQ(plat::GetLastError(), MDS_ERROR_NOT_REGISTERED);
    uint8_t block[EMS_RECORD_MAX];
    EMSFillRecord(block, BaseInput());
    EMSForwardToMDS(block);  // allocation refused: nothing happens
    EXPECT_EQ(block[emsoff::kFlags], 0);
}

}  // namespace
