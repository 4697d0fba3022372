// Policy-based QoS entries: the names, the values written to the registry store, the
// node-wide mutex, the retried saves, and EMT's step that applies them to connections.
#include <algorithm>
#include <arpa/inet.h>
#include <mutex>
#include <vector>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>

#include "nuvlib/emsinternal.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"
#include "nuvlib/emt/emt.h"
#include "nuvlib/emt/emtpolicy.h"
#include "nuvlib/emt/emtpriv.h"
#include "platform/clock.h"
#include "platform/named.h"
#include "platform/registry.h"
#include "tests/nuvlib/emt/trace_lines.h"
#include "tests/nuvlib/emt/waiting.h"

namespace {

using namespace emt;
using testsupport::Background;

using testsupport::LinesContaining;
using testsupport::RecordTraces;

uint32_t Ip(const char* text) { return inet_addr(text); }

TEST(EmtPolicyName, Forms) {
    struct {
        uint8_t id;
        uint16_t rport, lport;
        const char* ip;
        bool server;
        const char* name;
    } cases[] = {
        {0, 40017, 5000, "10.1.2.3", false, "QUENLO-ZUR-QOS-RPORT-40017-RIP10.1.2.3"},
        {0, 40017, 5000, "10.1.2.3", true, "QUENLO-ZUR-QOS-LPORT-5000-RIP10.1.2.3"},
        {7, 0, 0, "192.168.0.1", false, "QUENLO-ZUR-QOS-ID-7-RPORT-*-RIP192.168.0.1"},
        {255, 1, 0, "1.2.3.4", true, "QUENLO-ZUR-QOS-ID-255-LPORT-*-RIP1.2.3.4"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PolicyName(c.id, c.rport, c.lport, Ip(c.ip), c.server), c.name);
}

EMT_QOS_PARAMS Dscp(uint32_t dscp);

std::string Value(const std::string& key, const char* name) {
    plat::RegKeyHolder k;
    std::string path = std::string(kPolicyRootKey) + "\\" + key;
    if (plat::RegOpenKey(plat::RegRoot(), path.c_str(), k.out()) != 0) return "<no key>";
    char buf[128] = {};
    uint32_t type = 0, size = sizeof buf - 1;
    if (plat::RegQueryValue(k.get(), name, &type, buf, &size) != 0) return "<no value>";
    return buf;
}

uint32_t ValueCount(const std::string& key) {
    plat::RegKeyHolder k;
    std::string path = std::string(kPolicyRootKey) + "\\" + key;
    plat::RegKeyInfo info;
    if (plat::RegOpenKey(plat::RegRoot(), path.c_str(), k.out()) != 0 ||
        plat::RegQueryInfoKey(k.get(), &info) != 0)
        return 0;
    return info.values;
}

// A new policy gets the defaults and the current values; the same values again write and
// save nothing; a changed DSCP rewrites only "DSCP Value"; delete removes it, and deleting
// what is not there saves nothing.
TEST(EmtPolicy, UpdateWritesOnlyWhatChanged) {
    const std::string name = "QUENLO-ZUR-QOS-RPORT-40017-RIP10.1.2.3";
    {
        ZUR_QoS_Policies p;
        ASSERT_EQ(p.ErrorText(), "");
        ASSERT_TRUE(p.UpdatePolicy(0, 40017, 0, Ip("10.1.2.3"), false, 46));
        EXPECT_EQ(p.PolicyNameText(), name);
    }
    const std::pair<const char*, const char*> expected[] = {
        {"Version", "1.0"}, {"Application Name", "*"}, {"Protocol", "TCP"},
        {"Local Port", "*"}, {"Local IP", "*"}, {"Local IP Prefix Length", "*"},
        {"Remote Port", "40017"}, {"Remote IP", "10.1.2.3"},
        {"Remote IP Prefix Length", "32"}, {"Throttle Rate", "-1"}, {"DSCP Value", "46"}};
    for (const auto& e : expected) EXPECT_EQ(Value(name, e.first), e.second) << e.first;
    EXPECT_EQ(ValueCount(name), 11u);
    const uint32_t saves = ZUR_QoS_Policies::SaveAttempts();
    EXPECT_EQ(saves, 2u);  // two saves of one commit
    {
        ZUR_QoS_Policies p;
        ASSERT_TRUE(p.UpdatePolicy(0, 40017, 0, Ip("10.1.2.3"), false, 46));
        EXPECT_FALSE(p.Dirty());
    }
    EXPECT_EQ(ZUR_QoS_Policies::SaveAttempts(), saves);
    // Only DSCP changes: every other value keeps its text, and one commit saves.
    int writes = 0;
    {
        plat::RegKeyHolder k;
        std::string path = std::string(kPolicyRootKey) + "\\" + name;
        ASSERT_EQ(plat::RegOpenKey(plat::RegRoot(), path.c_str(), k.out()), 0u);
        // A foreign text in "Version" shows that defaults are not written again.
        ASSERT_EQ(plat::RegSetValue(k.get(), "Version", plat::REG_SZ, "9.9", 4), 0u);
    }
    {
        ZUR_QoS_Policies p;
        ASSERT_TRUE(p.UpdatePolicy(0, 40017, 0, Ip("10.1.2.3"), false, 26));
        writes = static_cast<int>(ZUR_QoS_Policies::SaveAttempts() - saves);
    }
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(Value(name, "DSCP Value"), "26");
    EXPECT_EQ(Value(name, "Version"), "9.9");
    {
        ZUR_QoS_Policies p;
        ASSERT_TRUE(p.DeletePolicy(0, 40017, 0, Ip("10.1.2.3"), false));
        ASSERT_TRUE(p.DeletePolicy(0, 40017, 0, Ip("10.1.2.3"), false));
    }
    EXPECT_EQ(Value(name, "DSCP Value"), "<no key>");
    EXPECT_EQ(ZUR_QoS_Policies::SaveAttempts(), saves + 4);
}

// Ten sharing violations in a row fail the commit with the first save's text; one fewer
// succeeds. Either way the mutex is free afterwards for another thread.
TEST(EmtPolicy, SharingViolationsAreRetriedTenTimes) {
    int failures = 0;
    ZUR_QoS_Policies::SetSaveForTest([&](plat::RegKey key) -> uint32_t {
        if (failures > 0) {
            --failures;
            return 0x80070000u | 32;
        }
        return plat::RegFlushKey(key);
    });
    {
        failures = 9;
        ZUR_QoS_Policies p;
        EXPECT_TRUE(p.UpdatePolicy(0, 1, 2, Ip("10.0.0.1"), false, 10));
        EXPECT_EQ(failures, 0);
    }
    {
        failures = 10;
        ZUR_QoS_Policies p;
        EXPECT_FALSE(p.UpdatePolicy(0, 1, 2, Ip("10.0.0.2"), false, 10));
        EXPECT_EQ(p.ErrorText().rfind("ZUR_QoS_Policies::Commit(REGISTRY_EXTENSION_GUID) failed", 0), 0u)
            << p.ErrorText();
        EXPECT_EQ(failures, 0);
        failures = 10;  // the destructor's commit fails as well and still releases
    }
    ZUR_QoS_Policies::SetSaveForTest(nullptr);
    std::string other;
    std::thread t([&] {
        ZUR_QoS_Policies p;
        other = p.ErrorText();
    });
    t.join();
    EXPECT_EQ(other, "");
}

// Another holder keeps the mutex past the second: the time-out text, and EMT's step traces
// once per process (whatever the mask) and does nothing.
TEST(EmtPolicy, MutexHeldElsewhereTimesOut) {
    RecordTraces(0);
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        plat::NamedMutex m;
        ASSERT_TRUE(m.Create(kPolicyMutexName));
        ASSERT_EQ(m.Lock(0), plat::WAIT_OBJECT_0);
        held = true;
        while (!release) std::this_thread::yield();
        m.Unlock();
    });
    ASSERT_TRUE(testsupport::WaitFor([&] { return held.load(); }));
    {
        // The second passes on a fake clock here; the connections below wait it out.
        plat::FakeClock clock;
        plat::ScopedClock scoped(&clock);
        int64_t moved = -1;
        std::thread mover([&] { moved = clock.AdvanceToNextDeadline(); });
        ZUR_QoS_Policies p;
        mover.join();
        EXPECT_EQ(moved, 1000);
        EXPECT_EQ(p.ErrorText(), "ZUR_QoS_Policies WaitForSingleObject(h, 1000) timed out");
        EXPECT_FALSE(p.UpdatePolicy(0, 1, 2, Ip("10.0.0.1"), false, 10));
        EXPECT_FALSE(p.Commit());
    }
    // Two connection ends, each a second without the mutex: one trace for the process.
    ASSERT_EQ(EMTInitialize(nullptr, 0, 0, 1), 0u);
    const uint32_t peer = Ip("127.0.0.2");
    Lib().notLocalForTest = peer;
    EMT_QOS_PARAMS q = Dscp(46);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = peer;
    uint32_t lh = 0, server = 0, client = 0;
    ASSERT_EQ(EMTListen(&at, &lh, 1, &q), 0u);
    EmtControlBlock* lb = LockBlock(lh);
    ASSERT_NE(lb, nullptr);
    sockaddr_in to = lb->local;
    UnlockBlock(lb);
    Background acc([&] { return EMTAccept(lh, nullptr, nullptr, &server, 20000); });
    ASSERT_EQ(EMTConnectTcp(nullptr, &to, 65535, nullptr, 20000, &client, 0, &q), 0u);
    ASSERT_EQ(acc.Finished(), 0u);
    EXPECT_EQ(LinesContaining("ZUR_QoS_Policies failed to initialize [ZUR_QoS_Policies "
                              "WaitForSingleObject(h, 1000) timed out], OS may not support MS "
                              "eQoS, legacy QoS will be used if possible"),
              1u);
    EXPECT_EQ(Value("QUENLO-ZUR-QOS-RPORT-" + std::to_string(ntohs(to.sin_port)) + "-RIP127.0.0.2",
                    "DSCP Value"),
              "<no key>");
    EXPECT_EQ(EMTCleanup(), 0u);
    release = true;
    holder.join();
    ZUR_QoS_Policies p;
    EXPECT_EQ(p.ErrorText(), "");
}

int TosOf(uint32_t handle) {
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return -1;
    int v = -1;
    socklen_t n = sizeof v;
    if (::getsockopt(cb->sock, IPPROTO_IP, IP_TOS, &v, &n) != 0) v = -2;
    UnlockBlock(cb);
    return v;
}

EMT_QOS_PARAMS Dscp(uint32_t dscp) {
    EMT_QOS_PARAMS q{};
    q.dwSendBandwidth = q.dwRecvBandwidth = 10000;
    q.dwSendLatency = q.dwRecvLatency = 1000;
    q.dwSendBWThreashold = q.dwRecvBWThreashold = 25;
    q.dwSendBWThreasholdExceedTime = q.dwRecvBWThreasholdExceedTime = 45;
    q.dwSendBWIncrement = q.dwRecvBWIncrement = 25;
    q.dwSendMaxBWIncrement = q.dwRecvMaxBWIncrement = 2;
    q.dwSendDSCP = q.dwRecvDSCP = dscp;
    q.dwPingInterval = 30;
    q.dwPingHistorySize = 30;
    q.usHeartbeatInterval = 65535;
    q.ucHeartbeatCount = 5;
    return q;
}

// With policy support: a link to a remote peer (127.0.0.2 through the test seam) writes
// its policy and is marked 184; a loopback link has QoS off and deletes its key instead.
TEST(EmtPolicy, ConnectionsWriteOrDeleteTheirPolicy) {
    ASSERT_EQ(EMTInitialize(nullptr, 0, 0, 1), 0u);
    const uint32_t peer = Ip("127.0.0.2");
    Lib().notLocalForTest = peer;
    EMT_QOS_PARAMS q = Dscp(46);
    for (uint32_t ip : {peer, Ip("127.0.0.1")}) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = ip;
        uint32_t lh = 0, server = 0, client = 0;
        ASSERT_EQ(EMTListen(&at, &lh, 1, &q), 0u);
        EmtControlBlock* lb = LockBlock(lh);
        ASSERT_NE(lb, nullptr);
        sockaddr_in to = lb->local;
        UnlockBlock(lb);
        const std::string name = "QUENLO-ZUR-QOS-RPORT-" + std::to_string(ntohs(to.sin_port)) +
                                 "-RIP" + (ip == peer ? "127.0.0.2" : "127.0.0.1");
        if (ip != peer) {  // a stale policy of the same name goes
            ZUR_QoS_Policies p;
            ASSERT_TRUE(p.UpdatePolicy(0, ntohs(to.sin_port), 0, ip, false, 46));
        }
        Background acc([&] { return EMTAccept(lh, nullptr, nullptr, &server, 20000); });
        ASSERT_EQ(EMTConnectTcp(nullptr, &to, 65535, nullptr, 20000, &client, 0, &q), 0u);
        ASSERT_EQ(acc.Finished(), 0u);
        if (ip == peer) {
            EXPECT_EQ(Value(name, "DSCP Value"), "46");
            EXPECT_EQ(Value(name, "Remote IP"), "127.0.0.2");
            EXPECT_EQ(TosOf(client), 184);
            EXPECT_EQ(TosOf(server), 184);
        } else {
            EXPECT_EQ(Value(name, "DSCP Value"), "<no key>");
            EXPECT_EQ(TosOf(client), 0);
        }
    }
    EXPECT_EQ(EMTCleanup(), 0u);
}

}  // namespace
