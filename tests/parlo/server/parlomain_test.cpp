// Start-up pieces: the counter instance name, the node manager's answers and the counters.
#include <gtest/gtest.h>

#include "parlo/common/importmetrics.h"
#include "parlo/server/parlomain.h"
#include "platform/perfcounters.h"
#include "tests/parlo/server/server_fixture.h"

namespace {

using srvtest::Events;
using srvtest::ServerTest;

TEST(PerfmonInstanceName, FromTheRegistryBase) {
    const struct {
        const char* base;
        const char* name;
    } cases[] = {
        {"prod\\inst\\CG1A", "inst CG1A"},
        {"ZUR\\parlo", "parlo"},            // no "C", no second backslash: the rest as it is
        {"ZUR\\site\\node", "site node"},  // no "C": the last backslash becomes a blank
        {"parlo", "parlo"},                 // no backslash: the whole base
        {"a\\Cx", "Cx"},                    // a "C" with nothing before it does not count
        {"a\\xyCz", "x Cz"},
    };
    for (const auto& c : cases) EXPECT_EQ(PerfmonInstanceName(c.base), c.name) << c.base;
}

TEST_F(ServerTest, PingAnswersNotOkOnlyWhenTheOPCCountStandsStill) {
    EXPECT_EQ(NodeManagerHandler(1), 2u);  // checks 0: always OK
    registry_->SetDynamic(CTIRegistry::NodeManagerPingTimeChecks, 3);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(NodeManagerHandler(1), 2u);  // no OPC message yet
    for (int i = 0; i < 5; ++i) server_->UpdateMeter(17, 7);
    std::vector<uint32_t> answers;
    for (int i = 0; i < 5; ++i) answers.push_back(NodeManagerHandler(1));
    EXPECT_EQ(answers, (std::vector<uint32_t>{2, 2, 2, 3, 3}));
    server_->UpdateMeter(17, 7);  // the count moved
    EXPECT_EQ(NodeManagerHandler(1), 2u);
    EXPECT_EQ(Events::CountText(Events::Take(), "no change to OPC Message Count for 3 consecutive checks"), 1u);
}

TEST_F(ServerTest, ShutdownAndUnknownCodes) {
    ASSERT_TRUE(ImportMetrics::Instance().Init("inst CG1A"));
    ASSERT_EQ(plat::ReadPublishedCounters("inst CG1A").size(), 1u);
    Events::Take();
    EXPECT_EQ(NodeManagerHandler(99), 7u);
    auto events = Events::Take();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].id, 0x612E0003u);
    EXPECT_EQ(events[0].Text(), "99");
    EXPECT_EQ(NodeManagerHandler(4), 5u);
    events = Events::Take();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].id, 0x612E0002u);
    EXPECT_TRUE(plat::ReadPublishedCounters("inst CG1A").empty());
}

TEST(ImportMetrics, InitOnceCountOnlyWhileInitialised) {
    ImportMetrics& m = ImportMetrics::Instance();
    const uint32_t open = PARLO_OPEN_SESSIONS, closed = PARLO_CLOSED_SESSIONS, beyond = 20;
    m.Increment(open);  // before Init: nothing, no instance
    EXPECT_TRUE(plat::ReadPublishedCounters().empty());
    ASSERT_TRUE(m.Init("ledger"));
    EXPECT_FALSE(m.Init("ledger"));
    // A session opens and closes; the closed count goes below zero as the session layer
    // moves it, and the reader shows it signed.
    m.Increment(open);
    m.Decrement(open);
    m.Decrement(closed);
    m.Increment(beyond);  // no such counter
    auto published = plat::ReadPublishedCounters("ledger");
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].objectIndex, ImportMetrics::kObjectIndex);
    ASSERT_EQ(published[0].counters.size(), 20u);
    EXPECT_EQ(published[0].counters[PARLO_OPEN_SESSIONS].value, 0);
    EXPECT_EQ(published[0].counters[PARLO_CLOSED_SESSIONS].id, 10u);
    EXPECT_EQ(published[0].counters[PARLO_CLOSED_SESSIONS].value, -1);
    EXPECT_EQ(published[0].counters[19].name, "PARLO_CLOSING_SESSIONS");
    m.reset();
    EXPECT_TRUE(plat::ReadPublishedCounters().empty());
    m.Increment(open);  // nothing until the next Init
    ASSERT_TRUE(m.Init("ledger"));
    EXPECT_EQ(plat::ReadPublishedCounters("ledger")[0].counters[PARLO_OPEN_SESSIONS].value, 0);
    m.reset();
}

}  // namespace
