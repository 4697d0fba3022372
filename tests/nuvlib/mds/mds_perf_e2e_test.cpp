// The MDS client's counters end to end: parlo-mds and parlo-opc run as child processes,
// "EnablePerformanceMonitor" of parlo-opc's client key is switched with parlo-reg, and
// parlo-counters shows what parlo-opc publishes.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "tests/peers/opc/opc_link_env.h"

namespace opcpeer {
namespace {

using linktest::kOpcHandle;
using linktest::OpcLink;

struct Reading {
    int status = -1;
    std::map<uint32_t, int32_t> values;  // counter id -> value, of instance parlo-opc
    std::string text;
};

Reading ReadCounters() {
    Reading r;
    FILE* p = ::popen((std::string(PARLO_COUNTERS_BIN) + " parlo-opc").c_str(), "r");
    if (!p) return r;
    char line[256];
    while (std::fgets(line, sizeof line, p)) {
        r.text += line;
        std::istringstream in(line);
        std::string instance, name;
        uint32_t id = 0;
        int32_t value = 0;
        if (in >> instance >> id >> name >> value && instance == "parlo-opc") r.values[id] = value;
    }
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Reads until `done` holds (about 15 s at most).
Reading ReadUntil(const std::function<bool(const Reading&)>& done) {
    Reading r;
    for (int i = 0; i < 150; ++i) {
        r = ReadCounters();
        if (done(r)) return r;
        plat::SleepForMs(100);
    }
    return r;
}

void SetMonitor(int on) {
    const std::string key = std::string("SOFTWARE\\Quenlo Systems, Inc.\\") + linktest::kInstance +
                            "\\MDS\\CurrentVersion\\Clients\\opc";
    const std::string cmd = std::string(PARLO_REG_BIN) + " set '" + key +
                            "' EnablePerformanceMonitor dword " + std::to_string(on);
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

TEST_F(OpcLink, CountersFollowTheRegistrySwitchAndTheTraffic) {
    SetMonitor(0);
    StartOpc("");
    Reading r = ReadCounters();
    EXPECT_EQ(r.status, 1) << r.text;
    EXPECT_TRUE(r.values.empty());

    SetMonitor(1);
    // Published at once, filled by the first sample a second later.
    r = ReadUntil([](const Reading& x) {
        auto it = x.values.find(2);
        return x.status == 0 && it != x.values.end() && it->second == kOpcHandle;
    });
    ASSERT_EQ(r.status, 0) << r.text;
    uint32_t id = 2;
    for (const auto& [counter, value] : r.values) {
        EXPECT_EQ(counter, id);
        id += 2;
    }
    EXPECT_EQ(r.values[2], kOpcHandle);

    // One request to parlo-opc and its answer: counted in the next sample, gone after it.
    CstaRequest req;
    req.eventType = 41;
    req.invokeID = 0x78;
    Send(kCstaMessage, WriteRequest(req));
    EXPECT_EQ(TakeEvent().eventType, 42);
    r = ReadUntil([](const Reading& x) { auto it = x.values.find(4); return it != x.values.end() && it->second > 0; });
    EXPECT_GE(r.values[4], 1) << r.text;   // messages received
    EXPECT_GT(r.values[8], 0) << r.text;   // bytes received
    EXPECT_GE(r.values[6], 1) << r.text;   // messages sent
    EXPECT_GT(r.values[10], 0) << r.text;  // bytes sent
    r = ReadUntil([](const Reading& x) { auto it = x.values.find(4); return it != x.values.end() && it->second == 0; });
    EXPECT_EQ(r.values[4], 0) << r.text;
    EXPECT_EQ(r.values[8], 0) << r.text;

    SetMonitor(0);
    r = ReadUntil([](const Reading& x) { return x.status == 1; });
    EXPECT_EQ(r.status, 1) << r.text;

    // A killed publisher leaves nothing that reads as live.
    SetMonitor(1);
    r = ReadUntil([](const Reading& x) { return x.status == 0; });
    ASSERT_EQ(r.status, 0) << r.text;
    opc_->Kill(SIGKILL);
    r = ReadCounters();
    EXPECT_EQ(r.status, 1) << r.text;
}

}  // namespace
}  // namespace opcpeer
