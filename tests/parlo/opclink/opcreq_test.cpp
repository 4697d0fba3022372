#include "parlo/opclink/opcreq.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class OPCReqTest : public ::testing::Test {
protected:
    void SetUp() override { OPCReq::InitTables(); }
    void TearDown() override { OPCReq::ClearAll(); }
};

TEST_F(OPCReqTest, FindReturnsFirstAllocatedAndZeroIdsShareBucketZero) {
    OPCReq* a = OPCReq::Allocate(1, 10, 0x05000001);
    OPCReq* b = OPCReq::Allocate(2, 20, 0x05000001);
    OPCReq* other = OPCReq::Allocate(3, 30, 0x05000081);  // same bucket, other id
    EXPECT_EQ(OPCReq::Find(0x05000001), a);
    EXPECT_EQ(OPCReq::Find(0x05000081), other);
    OPCReq::Release(a);
    EXPECT_EQ(OPCReq::Find(0x05000001), b);
    EXPECT_EQ(OPCReq::Find(0x12345), nullptr);

    OPCReq* z1 = OPCReq::Allocate(4, 1, 0);
    OPCReq* z2 = OPCReq::Allocate(5, 2, 0);
    OPCReq* at128 = OPCReq::Allocate(6, 3, 128);
    EXPECT_EQ(OPCReq::Find(0), z1);
    EXPECT_EQ(OPCReq::Find(128), at128);
    OPCReq::ReleaseByInvokeID(0);
    EXPECT_EQ(OPCReq::Find(0), z2);
    OPCReq::ReleaseByInvokeID(0x777);  // unknown: nothing
    EXPECT_EQ(OPCReq::CountLive(), 4);
}

TEST_F(OPCReqTest, ReleasedRecordsAreReusedOldestFirstAndKeepTheirTimes) {
    OPCReq* a = OPCReq::Allocate(1, 1, 1);
    OPCReq* b = OPCReq::Allocate(1, 2, 2);
    a->ReceiveTime = 111;
    a->SendTime = 222;
    a->PrivateCallFlags = 2;
    a->DeviceID = "5001";
    OPCReq::Release(a);
    OPCReq::Release(b);
    EXPECT_EQ(OPCReq::CountFree(), 2);
    OPCReq* first = OPCReq::Allocate(9, 90, 900);
    OPCReq* second = OPCReq::Allocate(9, 91, 901);
    EXPECT_EQ(first, a);
    EXPECT_EQ(second, b);
    EXPECT_EQ(first->ReceiveTime, 111u);
    EXPECT_EQ(first->SendTime, 222u);
    EXPECT_EQ(first->PrivateCallFlags, 0u);
    EXPECT_EQ(first->DeviceID, "");
    EXPECT_EQ(first->CallID, 0xFFFFFFFFu);
    EXPECT_EQ(first->OtherCallID, 0u);
    EXPECT_EQ(OPCReq::Find(900), first);
    EXPECT_EQ(OPCReq::Find(1), nullptr);
}

TEST_F(OPCReqTest, ReleaseSessionMovesOnlyThatSessionsRecords) {
    OPCReq::ReleaseSession(77);  // no records: nothing changes
    EXPECT_EQ(OPCReq::CountLive(), 0);
    OPCReq* s5a = OPCReq::Allocate(5, 1, 1);
    OPCReq* s133 = OPCReq::Allocate(133, 2, 2);  // 133 % 128 == 5: same bucket
    OPCReq* s5b = OPCReq::Allocate(5, 3, 3);
    OPCReq* s261 = OPCReq::Allocate(261, 4, 4);
    OPCReq::ReleaseSession(5);
    EXPECT_EQ(OPCReq::Find(1), nullptr);
    EXPECT_EQ(OPCReq::Find(3), nullptr);
    EXPECT_EQ(OPCReq::Find(2), s133);
    EXPECT_EQ(OPCReq::Find(4), s261);
    EXPECT_EQ(OPCReq::CountLive(), 2);
    // The free list took them in bucket order.
    EXPECT_EQ(OPCReq::Allocate(8, 0, 8), s5a);
    EXPECT_EQ(OPCReq::Allocate(8, 0, 9), s5b);
}

TEST_F(OPCReqTest, ClearAllEmptiesEverything) {
    for (uint32_t i = 0; i < 300; ++i) OPCReq::Allocate(static_cast<int32_t>(i), i, i * 3);
    for (uint32_t i = 0; i < 50; ++i) OPCReq::ReleaseByInvokeID(i * 3);
    OPCReq::ClearAll();
    EXPECT_EQ(OPCReq::CountLive(), 0);
    EXPECT_EQ(OPCReq::CountFree(), 0);
    EXPECT_EQ(OPCReq::Find(3 * 100), nullptr);
    EXPECT_NE(OPCReq::Allocate(1, 1, 1), nullptr);
}

// The console allocates from its own thread while the application thread works the tables.
TEST_F(OPCReqTest, TwoThreadsShareTheTables) {
    auto work = [](uint32_t base) {
        for (uint32_t i = 0; i < 5000; ++i) {
            OPCReq* r = OPCReq::Allocate(static_cast<int32_t>(base + (i & 7)), i, base + i);
            ASSERT_NE(OPCReq::Find(base + i), nullptr);
            if (i & 1) OPCReq::Release(r); else OPCReq::ReleaseByInvokeID(base + i);
        }
    };
    std::thread console(work, 0x100000u);
    work(0x200000u);
    console.join();
    EXPECT_EQ(OPCReq::CountLive(), 0);
}

}  // namespace
