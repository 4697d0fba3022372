// The MDS client's performance monitor without a client: the queue-delay estimate, the
// instance name, publishing through the counter facility and the registry switch.
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "nuvlib/mds/mdsperfmon.h"
#include "platform/perfcounters.h"
#include "platform/registry.h"

namespace {

using namespace mds;

TEST(MdsPerfDelay, EstimatesOfTheInterval) {
    struct {
        uint32_t lambda, mu, n;
        float percent;
        uint32_t meanMs, p90Ms;
    } cases[] = {
        {10, 0, 10, 100, 8000, 18400},  // ten queued, none sent
        {5, 10, 3, 50, 200, 460},       // messages still waiting
        {5, 10, 0, 0, 0, 0},            // an empty queue at the sample
        {0, 0, 0, 0, 0, 0},             // nothing at all
        {20, 10, 5, 200, 500, 1150},    // overloaded: n / mu
        {20, 10, 0, 0, 0, 0},           // overloaded but drained: rho is 0
        {10, 10, 4, 100, 400, 920},     // exactly 1: n / mu
    };
    for (const auto& c : cases) {
        MDS_CLIENT_PERFMON_STATS s{};
        EstimateQueueDelay(c.lambda, c.mu, c.n, &s);
        EXPECT_EQ(s.queueUtilisation, c.percent) << c.lambda << "/" << c.mu << "/" << c.n;
        EXPECT_EQ(s.meanDelayMs, c.meanMs) << c.lambda << "/" << c.mu << "/" << c.n;
        EXPECT_EQ(s.p90DelayMs, c.p90Ms) << c.lambda << "/" << c.mu << "/" << c.n;
    }
}

TEST(MdsPerfName, PrefixRule) {
    const std::pair<const char*, const char*> cases[] = {
        {"ZUR\\acme\\PG1A", "acme-PG1A"},
        {"ZUR\\my site\\PG 1A", "mysite-PG1A"},
        {"Plain name\\x", "Plain name\\x"},
        {"top\\ZUR\\a\\ZUR\\b", "a-ZUR-b"},
    };
    for (const auto& c : cases) EXPECT_EQ(PerfInstancePrefix(c.first), c.second);
    CMDSClientPerfMonitor m;
    ASSERT_EQ(m.Init("Parlo", PerfInstancePrefix("ZUR\\acme\\PG1A").c_str(), 10), 0);
    EXPECT_EQ(m.InstanceName(), "acme-PG1A-Parlo");
    EXPECT_EQ(m.Init(nullptr, "x", 10), 160);
}

// Init publishes the 19 counters of object 10, Update writes one sample, Remove
// unpublishes; before Init and after Remove, Update answers -9993.
TEST(MdsPerfCounters, PublishUpdateRemove) {
    CMDSClientPerfMonitor m;
    MDS_CLIENT_PERFMON_STATS s{};
    EXPECT_EQ(m.Update(s), kPerfNotInitialized);
    ASSERT_EQ(m.Init("client", "site-A", 10), 0);
    auto found = plat::ReadPublishedCounters("site-A-client");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].objectIndex, 10u);
    ASSERT_EQ(found[0].counters.size(), 19u);
    s.clientHandle = 11;
    s.messagesSent = 3;
    s.messagesReceived = 4;
    s.bytesSent = 300;
    s.bytesReceived = 400;
    s.queueUtilisation = 50;
    s.meanDelayMs = 200;
    s.p90DelayMs = 460;
    ASSERT_EQ(m.Update(s), 0);
    found = plat::ReadPublishedCounters("site-A-client");
    ASSERT_EQ(found.size(), 1u);
    std::vector<uint32_t> ids;
    for (const auto& c : found[0].counters) ids.push_back(c.id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{2, 6, 4, 10, 8, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30,
                                          32, 34, 36, 38}));
    auto value = [&](uint32_t id) {
        for (const auto& c : found[0].counters)
            if (c.id == id) return c.value;
        return -1;
    };
    EXPECT_EQ(value(2), 11);
    EXPECT_EQ(value(6), 3);
    EXPECT_EQ(value(4), 4);
    EXPECT_EQ(value(10), 300);
    EXPECT_EQ(value(8), 400);
    EXPECT_EQ(value(34), 50);
    EXPECT_EQ(value(38), 460);
    ASSERT_EQ(m.Remove(), 0);
    EXPECT_TRUE(plat::ReadPublishedCounters("site-A-client").empty());
    EXPECT_EQ(m.Update(s), kPerfNotInitialized);
    EXPECT_EQ(m.Remove(), kPerfNotInitialized);
}

// The registry switch: 1 publishes, 0 removes; each change is seen within the interval.
TEST(MdsPerfSwitch, RegistryValueTogglesTheInstance) {
    const std::string path = "SOFTWARE\\Quenlo Systems, Inc.\\ZUR\\acme\\MDS\\CurrentVersion\\Clients\\Parlo";
    plat::RegKeyHolder k;
    ASSERT_EQ(plat::RegCreateKey(plat::RegRoot(), path.c_str(), k.out()), 0u);
    uint32_t v = 0;
    ASSERT_EQ(plat::RegSetValue(k.get(), "EnablePerformanceMonitor", plat::REG_DWORD, &v, 4), 0u);
    CMdsLibPerfMon mon;
    EXPECT_EQ(mon.Init("ZUR\\acme", "Parlo"), 0);
    plat::Event stop(true, false);
    EXPECT_EQ(mon.WaitForChange(stop, 10), 3);  // no watch yet
    ASSERT_EQ(mon.WatchRegistry(plat::RegRoot(), path), 0u);
    EXPECT_EQ(mon.WaitForChange(stop, 10), 2);
    v = 1;
    ASSERT_EQ(plat::RegSetValue(k.get(), "EnablePerformanceMonitor", plat::REG_DWORD, &v, 4), 0u);
    for (int i = 0; i < 200 && !mon.Enabled(); ++i) EXPECT_EQ(mon.WaitForChange(stop, 50), 2);
    ASSERT_TRUE(mon.Enabled());
    EXPECT_EQ(plat::ReadPublishedCounters("acme-Parlo").size(), 1u);
    MDS_CLIENT_PERFMON_STATS s{};
    s.clientHandle = 7;
    mon.Update(s);
    EXPECT_EQ(plat::ReadPublishedCounters("acme-Parlo").at(0).counters.at(0).value, 7);
    v = 0;
    ASSERT_EQ(plat::RegSetValue(k.get(), "EnablePerformanceMonitor", plat::REG_DWORD, &v, 4), 0u);
    for (int i = 0; i < 200 && mon.Enabled(); ++i) EXPECT_EQ(mon.WaitForChange(stop, 50), 2);
    EXPECT_FALSE(mon.Enabled());
    EXPECT_TRUE(plat::ReadPublishedCounters("acme-Parlo").empty());
    stop.Set();
    EXPECT_EQ(mon.WaitForChange(stop, 5000), 1);
}

}  // namespace
