#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "nuvlib/mbuf.h"
#include "nuvlib/mbuflimit.h"
#include "tests/mdstimer/fatal_text.h"
#include "tests/nuvlib/mbuf_settings.h"
#include "tests/support/child_process.h"

namespace {

constexpr uint32_t kInc = 131072;

class Pool : public ::testing::Test {
protected:
    void SetUp() override { testsupport::WriteMBufSettings(settings_); }
    MBufLimitMgr::RecordView Record(BufferPool& pool) {
        MBufLimitMgr::RecordView r{};
        EXPECT_TRUE(pool.GetLimitManager()->ReadRecord(pool.GetLimitManager()->GetOwnIndex(), &r));
        return r;
    }
    testsupport::MBufSettings settings_;  // initial 8 increments, shrink threshold 50
};

TEST_F(Pool, BuffersAreAccountedWithA24ByteHeader) {
    BufferPool pool(testsupport::kMBufInstance, "parlo", nullptr);
    MBuf* b = pool.Alloc(0);
    EXPECT_EQ(1u, b->capacity);
    EXPECT_EQ(0u, b->length);
    EXPECT_EQ(0u, b->offset);
    EXPECT_EQ(nullptr, b->prev);
    EXPECT_EQ(nullptr, b->next);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(b) + sizeof(MBuf), b->data);
    EXPECT_EQ(sizeof(MBuf) + 20, kMBufHeader);
    EXPECT_EQ(25u, pool.GetBytesInUse());
    MBuf* c = pool.Alloc(100);
    c->data[99] = 1;  // the whole data area is ours
    EXPECT_EQ(25u + 124u, pool.GetBytesInUse());
    pool.Free(b);
    pool.Free(c);
    EXPECT_EQ(0u, pool.GetBytesInUse());
}

TEST_F(Pool, TheLimitGrowsOnlyPastItAndByWholeIncrements) {
    BufferPool pool(testsupport::kMBufInstance, "parlo", nullptr);
    uint32_t initial = settings_.initial;
    EXPECT_EQ(initial, pool.GetCurrentLimit());
    MBuf* exact = pool.Alloc(initial - 24);  // exactly to the limit
    EXPECT_EQ(initial, pool.GetCurrentLimit());
    EXPECT_EQ(0u, Record(pool).expansions);
    MBuf* one = pool.Alloc(0);  // 25 bytes over
    EXPECT_EQ(initial + kInc, pool.GetCurrentLimit());
    EXPECT_EQ(1u, Record(pool).expansions);
    EXPECT_EQ(initial + kInc, Record(pool).assigned);
    pool.Free(one);
    pool.Free(exact);
}

TEST_F(Pool, SizeClassesAndStatistics) {
    BufferPool pool(testsupport::kMBufInstance, "parlo", nullptr);
    struct Case {
        uint32_t size;  // accounted size less 24
        int sizeClass;
    } cases[] = {{999, 0}, {1000, 1}, {2024, 2}, {3047, 2}, {3048, 3}, {4072, 4}, {60000, 4}, {0, 0}};
    std::vector<MBuf*> held;
    uint32_t expected[5] = {};
    uint32_t bytes = 0;
    for (const Case& c : cases) {
        held.push_back(pool.Alloc(c.size));
        ++expected[c.sizeClass];
        bytes += (c.size ? c.size : 1) + 24;
    }
    BufferStats stats{};
    EXPECT_EQ(0, pool.GetBufferStats(&stats, false));  // the version must be 2
    EXPECT_EQ(0u, stats.allocations);
    EXPECT_EQ(0, pool.GetBufferStats(nullptr, false));
    stats.version = 2;
    ASSERT_EQ(1, pool.GetBufferStats(&stats, false));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(expected[i], stats.sizeClasses[i]) << i;
    EXPECT_EQ(bytes, stats.bytesInUse);
    EXPECT_EQ(bytes, stats.peakBytes);
    EXPECT_EQ(8u, stats.buffersOutstanding);
    EXPECT_EQ(8u, stats.allocations);
    pool.Free(held.back());
    held.pop_back();
    ASSERT_EQ(1, pool.GetBufferStats(&stats, true));
    EXPECT_EQ(1u, stats.frees);
    BufferStats after{};
    after.version = 2;
    ASSERT_EQ(1, pool.GetBufferStats(&after, false));
    // A reset clears the counts and the peak, never what is in use or the limits.
    EXPECT_EQ(0u, after.allocations);
    EXPECT_EQ(0u, after.frees);
    EXPECT_EQ(0u, after.peakBytes);
    for (uint32_t c : after.sizeClasses) EXPECT_EQ(0u, c);
    EXPECT_EQ(bytes - 25, after.bytesInUse);
    EXPECT_EQ(7u, after.buffersOutstanding);
    EXPECT_EQ(stats.currentLimit, after.currentLimit);
    EXPECT_EQ(settings_.initial, after.initialLimit);
    for (MBuf* b : held) pool.Free(b);
}

TEST_F(Pool, FreeShrinksByWholeIncrementsOnceUsageIsLow) {
    BufferPool pool(testsupport::kMBufInstance, "parlo", nullptr);
    // A little under 4.6 increments in use after the big buffer goes.
    MBuf* keep = pool.Alloc(602931 - 100 - 24);
    MBuf* big = pool.Alloc(7 * kInc);
    ASSERT_EQ(12 * kInc, pool.GetCurrentLimit());
    pool.Free(big);
    // Target twice the use (under 9.2 increments): 2.8 increments asked, 2 given.
    EXPECT_EQ(10 * kInc, pool.GetCurrentLimit());
    EXPECT_EQ(10 * kInc, Record(pool).assigned);
    pool.Free(keep);
    EXPECT_EQ(8 * kInc, pool.GetCurrentLimit());  // never below the initial quota
    EXPECT_EQ(2u, Record(pool).shrinks);
    MBuf* small = pool.Alloc(100);
    pool.Free(small);  // at the initial limit: the table is not touched
    EXPECT_EQ(2u, Record(pool).shrinks);
}

TEST_F(Pool, ThreadsShareThePoolWithoutLosingCounts) {
    BufferPool pool(testsupport::kMBufInstance, "parlo", nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, t] {
            std::vector<MBuf*> mine;
            for (int i = 0; i < 2000; ++i) {
                mine.push_back(pool.Alloc(static_cast<uint32_t>(100 + (i * 37 + t) % 3000)));
                if (mine.size() > 50) {
                    pool.Free(mine.front());
                    mine.erase(mine.begin());
                }
            }
            for (MBuf* b : mine) pool.Free(b);
        });
    }
    for (auto& th : threads) th.join();
    BufferStats stats{};
    stats.version = 2;
    ASSERT_EQ(1, pool.GetBufferStats(&stats, false));
    EXPECT_EQ(0u, stats.bytesInUse);
    EXPECT_EQ(0u, stats.buffersOutstanding);
    EXPECT_EQ(8000u, stats.allocations);
    EXPECT_EQ(8000u, stats.frees);
}

TEST_F(Pool, ExhaustionRaisesTheMaximumOnceAndEndsTheProcess) {
    // The maximum equals the initial quota: the first allocation past it cannot be served.
    settings_.maxPct = 0;
    testsupport::WriteMBufSettings(settings_);
    // This process keeps the table alive, to read what the dying one left in it.
    MBufLimitMgr observer(testsupport::kMBufInstance, "observer");
    EXPECT_EXIT(
        {
            testsupport::ShowFatalTextsOnStderr();
            BufferPool pool(testsupport::kMBufInstance, "parlo", [](BufferPool*) {
                std::fprintf(stderr, "limit callback\n");
            });
            pool.Alloc(settings_.initial - 24);
            pool.Alloc(1);
        },
        ::testing::ExitedWithCode(162),
        "limit callback\n(.|\n)*BufferPool Buffering Memory Limit Reached\\(1048576 bytes\\)\\.");
    MBufLimitMgr::TableView t = observer.ReadTable();
    MBufLimitMgr::RecordView r{};
    // The dead process's record stays in use, at the head of the list, until reclaimed.
    ASSERT_TRUE(observer.ReadRecord(t.firstInUse, &r));
    EXPECT_EQ("parlo", r.name);
    EXPECT_EQ(settings_.initial + kInc, r.maximum);  // raised by 128 KB once
}

TEST_F(Pool, TwoProcessesDrawOnOneNodeWideLimit) {
    // Each process may take 70 % of the total, so together they exhaust it.
    settings_.increment = 16u << 20;
    settings_.initial = 16u << 20;
    testsupport::WriteMBufSettings(settings_);
    BufferPool pool(testsupport::kMBufInstance, "first", nullptr);
    uint32_t total = pool.GetLimitManager()->ReadTable().total;
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t child = testsupport::ForkChild([&] {
        BufferPool other(testsupport::kMBufInstance, "second", nullptr);
        // Grow while the table has room, then report the limit reached.
        uint32_t grown = 0;
        while (other.GetLimitManager()->ReadTable().unassigned >= settings_.increment &&
               grown + 2 * settings_.increment <= total / 100 * 70) {
            other.Alloc(settings_.increment - 24);
            grown += settings_.increment;
        }
        uint32_t limit = other.GetCurrentLimit();
        if (write(fds[1], &limit, sizeof limit) != sizeof limit) return 2;
        for (;;) pause();
        return 0;
    });
    uint32_t childLimit = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof childLimit), read(fds[0], &childLimit, sizeof childLimit));
    MBufLimitMgr::TableView t = pool.GetLimitManager()->ReadTable();
    EXPECT_EQ(total - childLimit - pool.GetCurrentLimit(), t.unassigned);

    // While the child holds its share, this process gets only what is left.
    uint32_t canGrow = t.unassigned / settings_.increment * settings_.increment;
    std::vector<MBuf*> held;
    // The first buffer fills the initial quota, each further one grows the limit.
    for (uint32_t i = 0; i <= canGrow / settings_.increment; ++i) held.push_back(pool.Alloc(settings_.increment - 24));
    EXPECT_EQ(settings_.initial + canGrow, pool.GetCurrentLimit());
    EXPECT_LT(pool.GetLimitManager()->ReadTable().unassigned, settings_.increment);

    // Killing the child returns its share: the next growth succeeds.
    kill(child, SIGKILL);
    testsupport::WaitChild(child);
    held.push_back(pool.Alloc(settings_.increment - 24));
    EXPECT_EQ(settings_.initial + canGrow + settings_.increment, pool.GetCurrentLimit());
    for (MBuf* b : held) pool.Free(b);
}

TEST(MessageQueue, EventCountsAndWarningLevel) {
    MessageQueue q(2);
    MBuf bufs[4] = {};
    for (uint32_t i = 0; i < 4; ++i) bufs[i].length = 10 * (i + 1);
    EXPECT_EQ(nullptr, q.Get());
    EXPECT_FALSE(q.GetEvent().IsSet());
    EXPECT_EQ(0, q.Put(&bufs[0]));
    EXPECT_TRUE(q.GetEvent().IsSet());
    EXPECT_EQ(0, q.Put(&bufs[1]));
    EXPECT_EQ(1, q.Put(&bufs[2]));  // the third passes warning level 2
    EXPECT_EQ(&bufs[1], bufs[0].next);
    EXPECT_EQ(&bufs[1], bufs[2].prev);
    EXPECT_EQ(3u, q.GetCount());
    EXPECT_EQ(&bufs[0], q.Get());
    EXPECT_EQ(nullptr, bufs[0].next);
    EXPECT_EQ(nullptr, bufs[1].prev);
    EXPECT_EQ(&bufs[1], q.Get());
    EXPECT_TRUE(q.GetEvent().IsSet());
    EXPECT_EQ(&bufs[2], q.Get());
    EXPECT_FALSE(q.GetEvent().IsSet());  // reset by the Get that took the last
    EXPECT_EQ(nullptr, q.Get());
    EXPECT_EQ(0, q.Put(&bufs[3]));

    QueueStats stats{};
    EXPECT_EQ(0, q.GetQueueStats(&stats));
    stats.version = 1;
    ASSERT_EQ(1, q.GetQueueStats(&stats));
    EXPECT_EQ(1u, stats.count);
    EXPECT_EQ(3u, stats.countHighWater);
    EXPECT_EQ(40u, stats.bytesQueued);
    EXPECT_EQ(60u, stats.bytesHighWater);
    EXPECT_EQ(4u, stats.messagesPut);
    EXPECT_EQ(3u, stats.messagesGot);
    EXPECT_EQ(100u, stats.bytesPut);
    EXPECT_EQ(60u, stats.bytesGot);
    ASSERT_EQ(1, q.GetQueueStats(&stats));
    EXPECT_EQ(0u, stats.messagesPut + stats.messagesGot + stats.bytesPut + stats.bytesGot);
    EXPECT_EQ(3u, stats.countHighWater);
    EXPECT_EQ(60u, stats.bytesHighWater);
}

TEST(MessageQueue, NoWarningAtTheHighestLevelAndAConsumerWakes) {
    MessageQueue q(0xFFFFFFFFu);
    std::vector<MBuf> bufs(1000);
    std::thread consumer([&] {
        size_t got = 0;
        while (got < bufs.size()) {
            if (q.GetEvent().Wait(5000) != 0) break;
            while (q.Get()) ++got;
        }
        EXPECT_EQ(bufs.size(), got);
    });
    for (MBuf& b : bufs) EXPECT_EQ(0, q.Put(&b));
    consumer.join();
}

}  // namespace
