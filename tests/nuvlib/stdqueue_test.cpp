#include "nuvlib/stdqueue.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "nuvlib/lock.h"

namespace {

struct Item {
    int value = 0;
    StdQueueLink byOrder;
    double padding = 0;
    StdQueueLink byBucket;  // a second link: one item may sit in two queues
};

class Queue : public ::testing::Test {
protected:
    void SetUp() override {
        q.SetLinkOffset(offsetof(Item, byOrder));
        for (int i = 0; i < 5; ++i) items[i].value = i;
    }
    // Walks both directions and checks they agree with the expected values.
    void ExpectOrder(const std::vector<int>& values) {
        ASSERT_EQ(q.Count(), static_cast<int32_t>(values.size()));
        std::vector<int> forward, backward;
        for (void* e = q.First(); e != nullptr; e = q.Next(e)) forward.push_back(static_cast<Item*>(e)->value);
        for (void* e = q.Last(); e != nullptr; e = q.Previous(e))
            backward.insert(backward.begin(), static_cast<Item*>(e)->value);
        EXPECT_EQ(forward, values);
        EXPECT_EQ(backward, values);
        if (values.empty()) {
            EXPECT_EQ(q.First(), nullptr);
            EXPECT_EQ(q.Last(), nullptr);
        }
    }
    StdQueue q;
    Item items[5];
};

TEST_F(Queue, NewHeadAndLink) {
    StdQueue fresh;
    EXPECT_EQ(fresh.First(), nullptr);
    EXPECT_EQ(fresh.Last(), nullptr);
    EXPECT_EQ(fresh.GetLinkOffset(), -1);
    EXPECT_EQ(fresh.Count(), 0);
    StdQueueLink link;
    EXPECT_FALSE(link.IsQueued());
    EXPECT_EQ(link.previous, StdQueueLink::kUnqueued);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(link.next), ~static_cast<uintptr_t>(0));
}

TEST_F(Queue, AppendAndPrependOnEmptyMakeFirstAndLast) {
    q.Append(&items[0]);
    ExpectOrder({0});
    EXPECT_TRUE(items[0].byOrder.IsQueued());
    EXPECT_EQ(items[0].byOrder.previous, nullptr);
    EXPECT_EQ(items[0].byOrder.next, nullptr);
    q.Remove(&items[0]);
    q.Prepend(&items[1]);
    ExpectOrder({1});
    q.Append(&items[2]);
    q.Prepend(&items[0]);
    ExpectOrder({0, 1, 2});
}

TEST_F(Queue, RemoveTable) {
    const struct {
        int count;
        int remove;
        std::vector<int> after;
    } cases[] = {
        {1, 0, {}},         // the only element
        {4, 0, {1, 2, 3}},  // the first
        {4, 2, {0, 1, 3}},  // a middle one
        {4, 3, {0, 1, 2}},  // the last
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remove);
        q.UnlinkAll();
        for (int i = 0; i < c.count; ++i) q.Append(&items[i]);
        q.Remove(&items[c.remove]);
        ExpectOrder(c.after);
        EXPECT_FALSE(items[c.remove].byOrder.IsQueued());
        EXPECT_EQ(items[c.remove].byOrder.previous, StdQueueLink::kUnqueued);
        EXPECT_EQ(items[c.remove].byOrder.next, StdQueueLink::kUnqueued);
    }
}

TEST_F(Queue, RemoveHeadAndUnlinkAll) {
    EXPECT_EQ(q.RemoveHead(), nullptr);
    ExpectOrder({});
    for (auto& item : items) q.Append(&item);
    EXPECT_EQ(q.RemoveHead(), &items[0]);
    ExpectOrder({1, 2, 3, 4});
    q.UnlinkAll();
    ExpectOrder({});
    for (const auto& item : items) EXPECT_FALSE(item.byOrder.IsQueued());
}

TEST_F(Queue, IterationThatRemovesReadsNextFirst) {
    for (auto& item : items) q.Append(&item);
    for (void* e = q.First(); e != nullptr;) {
        void* next = q.Next(e);
        if (static_cast<Item*>(e)->value % 2 == 0) q.Remove(e);
        e = next;
    }
    ExpectOrder({1, 3});
}

TEST_F(Queue, OneElementInTwoQueuesThroughTwoLinks) {
    StdQueue buckets[2];
    for (auto& b : buckets) b.SetLinkOffset(offsetof(Item, byBucket));
    for (auto& item : items) {
        q.Append(&item);
        buckets[item.value % 2].Append(&item);
    }
    buckets[0].Remove(&items[2]);
    ExpectOrder({0, 1, 2, 3, 4});
    EXPECT_EQ(buckets[0].Count(), 2);
    EXPECT_EQ(buckets[1].Count(), 2);
    EXPECT_TRUE(items[2].byOrder.IsQueued());
    EXPECT_FALSE(items[2].byBucket.IsQueued());
}

// Queues have no lock of their own; under their owner's lock they are safe from any thread.
TEST(QueueThreads, GuardedByTheOwnersLock) {
    StdQueue shared;
    shared.SetLinkOffset(offsetof(Item, byOrder));
    LockObject lock(1, nullptr, "QueueOwner", 0xFFFFFFFF, 0, 0);
    constexpr int kPerThread = 2000;
    std::vector<Item> pool(4 * kPerThread);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Item* item = &pool[t * kPerThread + i];
                ASSERT_TRUE(lock.Lock());
                shared.Append(item);
                if (i % 2 == 1) shared.Remove(shared.First());
                ASSERT_TRUE(lock.Unlock());
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared.Count(), 4 * kPerThread / 2);
    int walked = 0;
    for (void* e = shared.First(); e != nullptr; e = shared.Next(e)) ++walked;
    EXPECT_EQ(walked, shared.Count());
}

}  // namespace
