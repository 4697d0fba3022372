#include <gtest/gtest.h>

#include "nuvlib/tracemeter.h"
#include "platform/clock.h"

namespace {

constexpr int64_t kNs = 1000000000;
// 2021-03-04 00:00:00 UTC.
constexpr int64_t kMidnight = 1614816000;

int64_t At(int hour, int minute, int second = 0) {
    return (kMidnight + hour * 3600 + minute * 60 + second) * kNs;
}

class TraceMeters : public ::testing::Test {
protected:
    void SetUp() override {
        clock_.SetRealtimeNs(At(12, 0));
        InitTraceMeters(1);
    }
    void CountAt(int64_t ns, const char* description, const char* key, uint32_t line = 10,
                 uint32_t flag = 1) {
        clock_.SetRealtimeNs(ns);
        TraceMeterCount(description, key, "/src/parlo/session.cpp", line, flag);
    }
    plat::FakeClock clock_;
    plat::ScopedClock scoped_{&clock_};
};

TEST(TraceMetersOff, NothingIsCountedBeforeInitialisationOrWhileDisabled) {
    TraceMeterCount("early", "", "a.cpp", 1, 1);
    EXPECT_EQ(nullptr, FindTraceMeterHeader(1, "early"));
    EXPECT_EQ(0, TraceMetersEnabled());
    InitTraceMeters(0);
    TraceMeterCount("early", "", "a.cpp", 1, 1);
    EXPECT_EQ(nullptr, FindTraceMeterHeader(1, "early"));
    EnableTraceMeters();
    TraceMeterCount("early", "", "a.cpp", 1, 1);
    ASSERT_NE(nullptr, FindTraceMeterHeader(1, "early"));
    DisableTraceMeters();
    TraceMeterCount("early", "", "a.cpp", 1, 1);
    EXPECT_EQ(1u, FindTraceMeterHeader(1, "early")->m_Counts.grandTotal);
}

TEST_F(TraceMeters, FirstCountsCreateHeaderAndElementAndCountEverywhere) {
    for (int i = 0; i < 10; ++i) CountAt(At(12, 1, i), "Session: msgs received", "dev7");
    TraceMeterHeader* h = FindTraceMeterHeader(10, "Session: msgs received");
    ASSERT_NE(nullptr, h);
    EXPECT_EQ("session.cpp", h->m_FileName);
    EXPECT_EQ("/src/parlo/session.cpp", h->m_SourcePath);
    ASSERT_EQ(1u, h->m_Elements.size());
    TraceMeterElement* e = h->m_Elements[0];
    EXPECT_EQ("dev7", e->m_Key);
    for (TraceMeterCounts* c : {&h->m_Counts, &e->m_Counts}) {
        EXPECT_EQ(10u, c->window[0]);
        EXPECT_EQ(10u, c->window[1]);
        EXPECT_EQ(10u, c->window[2]);
        EXPECT_EQ(10u, c->totalSinceReset);
        EXPECT_EQ(10u, c->grandTotal);
        EXPECT_EQ(At(12, 1, 9) / kNs, c->lastCountTime);
    }
    EXPECT_EQ(-1, h->GetWindowCount(3));
    EXPECT_EQ(-1, e->GetWindowCount(7));
}

TEST_F(TraceMeters, WindowsRollOnFixedBlocksFromTheBaseMidnight) {
    struct Step {
        int64_t at;
        uint32_t w5, w30, day, total;
    } steps[] = {
        {At(12, 4), 1, 1, 1, 1},         {At(12, 6), 1, 2, 2, 2},
        {At(12, 29, 59), 1, 3, 3, 3},    {At(12, 30), 1, 1, 4, 4},
        {At(23, 59, 59), 1, 1, 5, 5},    {At(24, 0, 1), 1, 1, 1, 6},
    };
    for (const Step& s : steps) {
        CountAt(s.at, "Application: calls", "");
        TraceMeterHeader* h = FindTraceMeterHeader(10, "Application: calls");
        ASSERT_NE(nullptr, h);
        EXPECT_EQ(s.w5, h->m_Counts.window[0]) << s.at / kNs;
        EXPECT_EQ(s.w30, h->m_Counts.window[1]) << s.at / kNs;
        EXPECT_EQ(s.day, h->m_Counts.window[2]) << s.at / kNs;
        EXPECT_EQ(s.total, h->m_Counts.grandTotal) << s.at / kNs;
    }
    // Reading rolls too: an hour later both short windows read 0, the day still counts.
    clock_.SetRealtimeNs(At(25, 30));
    TraceMeterHeader* h = FindTraceMeterHeader(10, "Application: calls");
    EXPECT_EQ(0, h->GetWindowCount(0));
    EXPECT_EQ(0, h->GetWindowCount(1));
    EXPECT_EQ(1, h->GetWindowCount(2));
}

TEST_F(TraceMeters, WindowsFollowLocalMidnight) {
    // Local time five hours behind UTC: the local day starts at 05:00 UTC.
    clock_.SetLocalBiasMinutes(300);
    clock_.SetRealtimeNs(At(12, 0));
    InitTraceMeters(1);
    CountAt(At(28, 59, 59), "local day", "");
    CountAt(At(29, 0, 0), "local day", "");
    EXPECT_EQ(1u, FindTraceMeterHeader(10, "local day")->m_Counts.window[2]);
}

TEST_F(TraceMeters, ResetKeepsGrandTotalAndCountsResets) {
    CountAt(At(12, 1), "Transport: accept()", "a");
    CountAt(At(12, 2), "Transport: accept()", "b");
    CountAt(At(12, 3), "Transport: accept()", "b");
    TraceMeterHeader* h = FindTraceMeterHeader(10, "Transport: accept()");
    ASSERT_NE(nullptr, h);
    clock_.SetRealtimeNs(At(12, 4));
    h->Reset();
    for (TraceMeterCounts* c : {&h->m_Counts, &h->m_Elements[0]->m_Counts,
                                &h->m_Elements[1]->m_Counts}) {
        EXPECT_EQ(0u, c->window[0] + c->window[1] + c->window[2] + c->totalSinceReset);
        EXPECT_EQ(0, c->lastCountTime);
        EXPECT_EQ(At(12, 4) / kNs, c->resetTime);
        EXPECT_EQ(1u, c->resetCount);
    }
    EXPECT_EQ(3u, h->m_Counts.grandTotal);
    EXPECT_EQ(2u, h->m_Elements[1]->m_Counts.grandTotal);
}

TEST_F(TraceMeters, KeysWithoutLineShareOneElementUnderTheFirstHeader) {
    CountAt(At(12, 1), "Private Calls", "k", 100, 0);
    CountAt(At(12, 1), "Private Calls", "k", 200, 0);
    CountAt(At(12, 1), "Private Calls", "k", 300, 1);
    TraceMeterHeader* first = FindTraceMeterHeader(100, "Private Calls");
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(nullptr, FindTraceMeterHeader(200, "Private Calls"));
    ASSERT_EQ(1u, first->m_Elements.size());
    EXPECT_EQ(2u, first->m_Elements[0]->m_Counts.grandTotal);
    TraceMeterHeader* third = FindTraceMeterHeader(300, "Private Calls");
    ASSERT_NE(nullptr, third);
    EXPECT_EQ(1u, third->m_Counts.grandTotal);
}

TEST_F(TraceMeters, WalkByPattern) {
    CountAt(At(12, 1), "Session: msgs received", "dev1");
    CountAt(At(12, 1), "Transport: accept()", "");
    CountAt(At(12, 1), "Session: msgs sent", "dev2");
    CountAt(At(12, 1), "Session: msgs sent", "agent9");
    CountAt(At(12, 1), "Session: msgs sent", "dev3");
    std::vector<std::string> seen;
    TraceMeterPosition pos = FindFirstTraceMeterHeader("Session:*");
    while (TraceMeterHeader* h = FindNextTraceMeterHeader(&pos, "Session:*"))
        seen.push_back(h->m_Description);
    EXPECT_EQ((std::vector<std::string>{"Session: msgs received", "Session: msgs sent"}), seen);
    EXPECT_EQ(0u, FindFirstTraceMeterHeader("Nothing*"));

    TraceMeterHeader* sent = FindTraceMeterHeader(10, "Session: msgs sent");
    std::vector<std::string> keys;
    for (TraceMeterElement* e = sent->FindNextElement(nullptr, "dev*"); e;
         e = sent->FindNextElement(e, "dev*"))
        keys.push_back(e->m_Key);
    EXPECT_EQ((std::vector<std::string>{"dev2", "dev3"}), keys);
    EXPECT_EQ(sent->m_Elements[0], sent->FindNextElement(nullptr, ""));
}

TEST(MatchPattern, Table) {
    struct Case {
        const char* text;
        const char* pattern;
        int match;
    } cases[] = {
        {"", "*", 1},          {"anything", "*", 1},   {"ab", "a*b", 1},
        {"axxxb", "a*b", 1},   {"axxx", "a*b", 0},     {"xab", "a*b", 0},
        {"a", "?", 1},         {"", "?", 0},           {"ab", "?", 0},
        {"b", "[^a-c]", 0},    {"d", "[^a-c]", 1},     {"b", "[a-c]", 1},
        {"*", "\\*", 1},       {"a", "\\*", 0},        {"x*", "\\*", 0},
        {"ab", "ab", 1},       {"Ab", "ab", 0},        {"a", "[a", 0},
        {"a", "[", 0},         {"a", "[b-", 0},        {"-", "[a-]", 0},
        {"a", "[-a]", 0},      {"abc", "a**c", 1},     {"a", "a\\", 0},
        {"abcd", "*c?", 1},    {"x]", "[x]]", 1},      {"", "", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.match, MatchPattern(c.text, c.pattern)) << c.text << " ~ " << c.pattern;
    EXPECT_EQ(1, MatchMeterPattern("whatever", ""));
    EXPECT_EQ(0, MatchMeterPattern("whatever", "x*"));
    EXPECT_EQ(kMatchAbort, MatchPatternFrom("", "a"));
    EXPECT_EQ(kMatchAbort, MatchPatternFrom("abc", "*x"));
}

}  // namespace
