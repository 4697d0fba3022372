// parlo-load's application modes: the bursts and last-copy delays it reports, the agent
// identities it opens with, and the options it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "peers/client/cticlient.h"
#include "peers/client/loadapp.h"

namespace parloload {
namespace {

constexpr int64_t kMs = 1000000;

TEST(DeliveryLog, BurstsCutAtPausesAndTimeTheLastOfCompleteEvents) {
    // Two reader threads' logs: three events 10 ms apart, then after a 2 s pause two more.
    DeliveryLog a, b;
    const int64_t t0 = 1000 * kMs;
    for (int64_t e = 0; e < 3; ++e) {
        const int64_t stamp = t0 + e * 10 * kMs;
        a.Add(stamp, stamp + 1 * kMs);
        a.Add(stamp, stamp + 2 * kMs);
        if (e != 1) b.Add(stamp, stamp + (e + 3) * kMs);  // event 1 misses its third copy
    }
    const int64_t t1 = t0 + 2000 * kMs;
    for (int64_t e = 0; e < 2; ++e) {
        const int64_t stamp = t1 + e * 500 * kMs;
        for (int64_t c = 1; c <= 3; ++c) b.Add(stamp, stamp + c * 4 * kMs);
    }
    a.Merge(b);
    const std::vector<DeliveryLog::Burst> bursts = a.Bursts(1000 * kMs, 3);
    ASSERT_EQ(bursts.size(), 2u);

    EXPECT_EQ(bursts[0].events, 3u);
    EXPECT_EQ(bursts[0].complete, 2u);
    EXPECT_EQ(bursts[0].copies, 8u);
    EXPECT_DOUBLE_EQ(bursts[0].spanS, 0.02);
    EXPECT_DOUBLE_EQ(bursts[0].deliveredS, 0.025);  // event 2's copy 5 ms after it was sent
    EXPECT_EQ(bursts[0].lastP50Us, 3000);  // the last copies of events 0 and 2: 3 and 5 ms
    EXPECT_EQ(bursts[0].lastMaxUs, 5000);
    EXPECT_EQ(bursts[0].meanCopyUs, (1 + 2 + 3 + 1 + 2 + 1 + 2 + 5) * 1000 / 8);

    EXPECT_EQ(bursts[1].events, 2u);
    EXPECT_EQ(bursts[1].complete, 2u);
    EXPECT_EQ(bursts[1].lastP99Us, 12000);
    EXPECT_EQ(bursts[1].meanCopyUs, 8000);
    EXPECT_DOUBLE_EQ(bursts[1].deliveredS, 0.512);

    // Asking for more copies than any event had leaves no last-copy figure.
    const DeliveryLog::Burst none = a.Bursts(1000 * kMs, 4)[1];
    EXPECT_EQ(none.complete, 0u);
    EXPECT_EQ(none.lastP50Us, -1);
    EXPECT_TRUE(DeliveryLog().Bursts(kMs, 1).empty());
}

std::string Field(const std::vector<std::string>& words, const std::string& name) {
    for (const std::string& w : words)
        if (w.rfind(name + "=", 0) == 0) return w.substr(name.size() + 1);
    return "(absent)";
}

TEST(AppOpenWords, AgentModeNamesItsAgentOfTheRangeAndTheServerCanEncodeIt) {
    AppOptions o;
    o.port = 1;
    struct Row {
        uint32_t extFirst;
        int agentIndex;
        const char* agentID;
        const char* ext;
    };
    const Row rows[] = {
        {0, 0, "200000", "700000"},     // the stand-in's default extensions
        {0, 7999, "207999", "707999"},
        {9000, 5, "200005", "9005"},
        {0, -1, "(absent)", "(absent)"},  // not agent mode
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.agentIndex);
        o.extFirst = row.extFirst;
        const std::vector<std::string> words = AppOpenWords(o, row.agentIndex >= 0 ? 7 : 0x20, 12, row.agentIndex);
        EXPECT_EQ(Field(words, "AgentID"), row.agentID);
        EXPECT_EQ(Field(words, "AgentExtension"), row.ext);
        EXPECT_EQ(Field(words, "AgentInstrument"), row.ext);
        EXPECT_EQ(Field(words, "CTIPeripheralID"), row.agentIndex >= 0 ? "5000" : "(absent)");
        EXPECT_EQ(Field(words, "ClientID"),
                  row.agentIndex >= 0 ? "app-agent" + std::to_string(row.agentIndex) : std::string("app12"));
        std::string error;
        BaseMSGPtr open = cticlient::MakeOpenReq(words, &error);
        ASSERT_TRUE(open) << error;
        EXPECT_FALSE(cticlient::EncodeFrame(*open, 24, &error).empty()) << error;
    }
}

TEST(ParseAppOptions, RefusesWhatItCannotRun) {
    AppOptions o;
    std::string error;
    ASSERT_TRUE(ParseAppOptions({"--port", "42027", "--agents", "8000", "--agent-first", "200000", "--rate", "1000",
                                 "--keep", "1", "--services", "0x20", "--duration", "2.5"},
                                &o, &error))
        << error;
    EXPECT_EQ(o.agents, 8000);
    EXPECT_EQ(o.services, 0x20u);
    EXPECT_TRUE(o.keep);
    EXPECT_DOUBLE_EQ(o.duration, 2.5);

    const std::vector<std::vector<std::string>> bad = {
        {"--agents", "5"},                                         // no port
        {"--port", "70000"},
        {"--port", "1", "--sessions", "20001"},
        {"--port", "1", "--sessions", "5", "--monitors", "6"},
        {"--port", "1", "--agents", "10", "--agent-first", "2147483640"},
        {"--port", "1", "--agents", "10", "--ext-first", "2147483640"},
        {"--port", "1", "--threads", "0"},
        {"--port", "1", "--duration", "0"},
        {"--port", "1", "--keep", "yes"},
        {"--port", "1", "--bogus", "1"},
        {"--port"},                                                // a word without its value
    };
    for (const auto& args : bad) {
        AppOptions x;
        x.mode = "app-sessions";
        std::string joined;
        for (const auto& w : args) joined += w + " ";
        EXPECT_FALSE(ParseAppOptions(args, &x, &error)) << joined;
    }
    AppOptions many;
    many.mode = "app-sessions";
    EXPECT_FALSE(ParseAppOptions({"--port", "1", "--sessions", "12000", "--agents", "9000"}, &many, &error));
    EXPECT_TRUE(IsAppMode("app-opens"));
    EXPECT_FALSE(IsAppMode("opens"));
}

}  // namespace
}  // namespace parloload
