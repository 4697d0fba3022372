// The counter facility: instances published by one process and read by another.
#include "platform/perfcounters.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <thread>

#include "platform/lasterror.h"
#include "tests/support/child_process.h"

namespace {

const std::vector<plat::CounterDef> kDefs = {{2, "FIRST"}, {4, "SECOND"}, {6, nullptr}};

TEST(PerfCounters, ReaderSeesValuesNamesAndSignedResults) {
    plat::CounterInstance inst;
    ASSERT_TRUE(inst.Create(17, "inst CG1A", kDefs));
    ASSERT_TRUE(inst.Add(2, 5));
    ASSERT_TRUE(inst.Add(4, -1));  // goes negative, read back signed
    ASSERT_TRUE(inst.Set(99, INT_MIN));  // an unknown id gets an unnamed slot
    const auto all = plat::ReadPublishedCounters();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].instance, "inst CG1A");
    EXPECT_EQ(all[0].objectIndex, 17u);
    EXPECT_EQ(all[0].writerPid, getpid());
    ASSERT_EQ(all[0].counters.size(), 4u);
    const std::pair<uint32_t, int32_t> expected[] = {{2, 5}, {4, -1}, {6, 0}, {99, INT_MIN}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(all[0].counters[i].id, expected[i].first);
        EXPECT_EQ(all[0].counters[i].value, expected[i].second);
    }
    EXPECT_EQ(all[0].counters[0].name, "FIRST");
    EXPECT_EQ(all[0].counters[2].name, "");
    EXPECT_TRUE(plat::ReadPublishedCounters("other").empty());
    EXPECT_EQ(plat::ReadPublishedCounters("inst CG1A").size(), 1u);
}

TEST(PerfCounters, RemoveUnpublishesAndSecondWriterIsRefused) {
    plat::CounterInstance a, b;
    ASSERT_TRUE(a.Create(17, "x", kDefs));
    EXPECT_FALSE(b.Create(17, "x", kDefs));
    EXPECT_EQ(plat::GetLastError(), 183u);
    ASSERT_TRUE(b.Create(18, "x", kDefs));  // another object index is another object
    EXPECT_EQ(plat::ReadPublishedCounters("x").size(), 2u);
    a.Remove();
    b.Remove();
    EXPECT_TRUE(plat::ReadPublishedCounters().empty());
    EXPECT_FALSE(a.Set(2, 1));
}

TEST(PerfCounters, DeadWritersObjectIsNotPublishedAndIsReplaced) {
    // The child publishes and dies without removing its object.
    const pid_t child = testsupport::ForkChild([] {
        plat::CounterInstance inst;
        if (!inst.Create(17, "gone", kDefs)) return 1;
        inst.Set(2, 7);
        _exit(0);  // no destructor: the object stays behind
    });
    ASSERT_EQ(WEXITSTATUS(testsupport::WaitChild(child)), 0);
    EXPECT_TRUE(plat::ReadPublishedCounters("gone").empty());
    plat::CounterInstance inst;
    ASSERT_TRUE(inst.Create(17, "gone", kDefs));
    const auto now = plat::ReadPublishedCounters("gone");
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0].counters[0].value, 0);
}

TEST(PerfCounters, BadArgumentsAndFullTable) {
    plat::CounterInstance inst;
    EXPECT_FALSE(inst.Create(1, "", kDefs));
    EXPECT_FALSE(inst.Create(1, std::string(plat::kCounterInstanceSize, 'a'), kDefs));
    std::vector<plat::CounterDef> many(plat::kCounterMaxSlots + 1, plat::CounterDef{1, "n"});
    EXPECT_FALSE(inst.Create(1, "a", many));
    ASSERT_TRUE(inst.Create(1, "a", {}));
    for (uint32_t id = 0; id < plat::kCounterMaxSlots; ++id) ASSERT_TRUE(inst.Set(id, 1));
    EXPECT_FALSE(inst.Set(1000, 1));
    EXPECT_EQ(inst.Get(1000), 0);
}

TEST(PerfCounters, ServerCallsMoveTheProcessInstance) {
    ASSERT_EQ(InitNUVPerformance("srv", 17, {{2, "A"}}), 0u);
    EXPECT_EQ(IncrementPerfCounterSync(2), 0u);
    EXPECT_EQ(IncrementPerfCounterSync(2), 0u);
    EXPECT_EQ(DecrementPerfCounterSync(4), 0u);
    EXPECT_EQ(SetPerfCounterValueSync(6, 9), 0u);
    auto all = plat::ReadPublishedCounters("srv");
    ASSERT_EQ(all.size(), 1u);
    ASSERT_EQ(all[0].counters.size(), 3u);
    EXPECT_EQ(all[0].counters[0].value, 2);
    EXPECT_EQ(all[0].counters[1].value, -1);
    EXPECT_EQ(all[0].counters[2].value, 9);
    UnInitNUVPerformance();
    EXPECT_TRUE(plat::ReadPublishedCounters("srv").empty());
    EXPECT_NE(IncrementPerfCounterSync(2), 0u);
}

}  // namespace

// The monitor, object and instance calls of the MDS client over the same facility: one
// instance per name, lookups, and removal that unpublishes (also by removing the object).
TEST(PerfCounters, MonitorObjectsAndInstances) {
    plat::CZURPerfMon mon;
    const std::vector<plat::CounterDef> defs = {{2, "A"}, {4, "B"}};
    EXPECT_EQ(mon.GetPO(10), nullptr);
    ASSERT_EQ(mon.AddPO(10, defs), 0u);
    ASSERT_EQ(mon.AddPO(10), 0u);  // kept as it was
    plat::CZURPerfPO* po = mon.GetPO(10);
    ASSERT_NE(po, nullptr);
    ASSERT_EQ(po->AddInstance("one"), 0u);
    EXPECT_EQ(po->AddInstance("one"), 183u);
    EXPECT_EQ(po->AddInstance(""), 87u);
    ASSERT_EQ(po->AddInstance("two"), 0u);
    EXPECT_EQ(po->GetInstance("three"), nullptr);
    plat::CZURPerfInstance* one = po->GetInstance("one");
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->UpdateCounter(4, -5), 0u);
    auto found = plat::ReadPublishedCounters("one");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].objectIndex, 10u);
    ASSERT_EQ(found[0].counters.size(), 2u);
    EXPECT_EQ(found[0].counters[1].name, "B");
    EXPECT_EQ(found[0].counters[1].value, -5);
    plat::PublishedCounters direct;
    ASSERT_TRUE(plat::ReadPublishedInstance(10, "one", &direct));
    EXPECT_EQ(direct.counters[1].value, -5);
    EXPECT_FALSE(plat::ReadPublishedInstance(11, "one", &direct));
    EXPECT_EQ(po->RemoveInstance("one"), 0u);
    EXPECT_FALSE(plat::ReadPublishedInstance(10, "one", &direct));
    EXPECT_EQ(po->RemoveInstance("one"), 2u);
    EXPECT_TRUE(plat::ReadPublishedCounters("one").empty());
    EXPECT_EQ(plat::ReadPublishedCounters("two").size(), 1u);
    EXPECT_EQ(mon.RemovePO(10), 0u);
    EXPECT_EQ(mon.RemovePO(10), 2u);
    EXPECT_TRUE(plat::ReadPublishedCounters("two").empty());
}

// A sample written between BeginSample and EndSample is copied whole or not at all: a
// reader racing the writer never sees two counters from different samples.
TEST(PerfCounters, ReaderNeverSeesHalfASample) {
    plat::CounterInstance inst;
    ASSERT_TRUE(inst.Create(10, "sampled", {{2, "a"}, {4, "b"}, {6, "c"}}));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int32_t n = 1; !stop; ++n) {
            inst.BeginSample();
            for (uint32_t id : {2u, 4u, 6u}) inst.Set(id, n);
            inst.EndSample();
        }
    });
    int mixed = 0, reads = 0;
    for (; reads < 2000; ++reads) {
        plat::PublishedCounters copy;
        if (!plat::ReadPublishedInstance(10, "sampled", &copy)) continue;
        const auto& c = copy.counters;
        if (c[0].value != c[1].value || c[1].value != c[2].value) ++mixed;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0);
}
