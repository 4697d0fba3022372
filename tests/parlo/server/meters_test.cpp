// The server meters: update rules, the console text and the half-hour and midnight work.
#include <gtest/gtest.h>

#include "nuvlib/release.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/buildinfo.h"
#include "tests/parlo/server/server_fixture.h"

namespace {

using srvtest::Event;
using srvtest::Events;
using srvtest::ServerTest;

class MetersTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        server_->ResetMeters();
    }
    // Moves the clock to `seconds` after the start of the next day (local = UTC here).
    void ToNextDayPlus(int64_t seconds) {
        const int64_t now = clock_.RealtimeNs() / 1000000000;
        clock_.SetRealtimeNs(((now / 86400 + 1) * 86400 + seconds) * 1000000000);
    }
};

TEST_F(MetersTest, UpdateRules) {
    struct Step {
        int meter;
        int32_t value;
    };
    const struct {
        const char* what;
        std::vector<Step> steps;
        std::vector<std::pair<int, int32_t>> reads;
    } cases[] = {
        {"connections down leaves today alone", {{3, 1}, {3, 1}, {3, -1}}, {{3, 1}, {6, 2}, {7, 2}, {8, 2}}},
        {"calls", {{9, 1}, {9, -1}, {9, 1}}, {{9, 1}, {10, 2}, {11, 1}, {12, 1}}},
        {"OPC type outside the list", {{17, 200}, {17, 3}}, {{17, 2}}},
        {"response minimum starts at 99000", {{39, 7}}, {{40, 7}, {41, 7}, {42, 7}, {25, 99000}}},
        {"response min max ever", {{24, 30}, {24, 10}, {24, 20}}, {{25, 10}, {26, 30}, {27, 30}}},
        {"queue maxima", {{22, 5}, {22, 3}, {23, 9}}, {{22, 5}, {23, 9}}},
        {"validate errors ignore the value", {{14, 50}, {14, -3}}, {{14, 2}}},
        {"processing time counts", {{54, 4}, {54, 6}}, {{54, 10}, {58, 2}, {55, 4}, {56, 6}}},
        {"no rule", {{1, 5}, {2, 5}, {6, 5}, {60, 5}, {-1, 5}, {99, 5}}, {{1, 0}, {6, 0}, {60, 0}, {61, 0}, {-1, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server_->ResetMeters();
        for (const Step& s : c.steps) server_->UpdateMeter(s.meter, s.value);
        for (const auto& [index, expected] : c.reads) EXPECT_EQ(server_->GetMeter(index), expected) << index;
    }
}

TEST_F(MetersTest, ClocksKeepTheirFirstStart) {
    server_->UpdateMeter(0, 1);
    clock_.AdvanceMs(10000);
    server_->UpdateMeter(0, 1);  // running: ignored
    clock_.AdvanceMs(5000);
    EXPECT_EQ(server_->GetMeter(1), 15);
    server_->UpdateMeter(0, 0);
    clock_.AdvanceMs(5000);
    EXPECT_EQ(server_->GetMeter(0), 0);
    EXPECT_EQ(server_->GetMeter(1), 15);
    server_->UpdateMeter(59, 1);
    clock_.AdvanceMs(3000);
    EXPECT_EQ(server_->GetMeter(60), 3);
    EXPECT_EQ(server_->GetMeter(2), 23);
}

TEST_F(MetersTest, TextWithoutActiveTime) {
    clock_.AdvanceMs(3723000);  // 1 h 2 min 3 s
    server_->UpdateMeter(17, 1);
    server_->UpdateMeter(15, 100);
    server_->UpdateMeter(16, 24);
    server_->UpdateMeter(13, 2);
    server_->UpdateMeter(9, 3);
    std::string text;
    server_->DumpMeters(false, text);
    const std::string expected =
        std::string("Velquar Server version:         ") + GetReleaseString() + "\n" +
        "   Build date:                  " + BuildDateText() + "\n" +
        "   Parlo UP time:               0 days 1 hours 2 minutes\n"
        "\n"
        "Velquar Meters from last:       1 hrs 2 min 3 sec\n"
        "   Parlo-OPC traffic:           1 messages (0.00 msgs/sec)\n"
        "                                124 bytes (0.03 bytes/sec)\n"
        "   Active time:                 0 hrs 0 min 0 sec\n"
        "   2 Active Call(s), 3 Total Call(s) in progress\n";
    EXPECT_EQ(text, expected);
    std::string perType;
    server_->DumpMeters(true, perType);
    EXPECT_EQ(perType.rfind("OPC/Parlo Message Meters from last:     1 hrs 2 min 3 sec\n", 0), 0u);
    EXPECT_NE(perType.find("   OPC_MSG_TYPE_0                       0\n"), std::string::npos);
    EXPECT_NE(perType.find("Velquar Message Meters from last:"), std::string::npos);
}

TEST_F(MetersTest, StatusText) {
    server_->Init();
    server_->SetServerNumber(3);
    for (const auto& [meter, value] : std::vector<std::pair<int, int32_t>>{{3, 2}, {4, 1}, {5, 1}, {13, 1}, {9, 4}})
        server_->UpdateMeter(meter, value);
    std::string text;
    server_->GetStatusText(text);
    const std::string head = "\nServerStatus:\nCurrentTime: ";
    ASSERT_EQ(text.rfind(head, 0), 0u) << text;
    const size_t table = text.find("ServerNumber  Side   State             LastStateChange\n  3             A    IDLE              ");
    EXPECT_NE(table, std::string::npos) << text;
    const std::string tail =
        "\nCTILink:\n    NOT active for at least 0 sec\n\n2 CTI Client(s) connected[NonSecure:1, Secure:1]\n"
        "1 Active Call(s), 4 Total Call(s) in progress\n\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(MetersTest, MidnightReportsInOrderThenResets) {
    server_->Init();
    ToNextDayPlus(-1800);  // 23:30
    Events::Take();
    server_->CheckMeterPeriods();  // the first look only saves the baselines
    EXPECT_TRUE(Events::Take().empty());
    server_->UpdateMeter(0, 1);
    for (int32_t v : {1, 1, 1, -1}) server_->UpdateMeter(3, v);
    server_->UpdateMeter(9, 1);
    server_->UpdateMeter(22, 40);
    server_->UpdateMeter(20, 5);
    server_->UpdateMeter(18, 1000);
    server_->UpdateMeter(24, 12);
    clock_.AdvanceMs(1799000);
    server_->CheckMeterPeriods();  // 23:59:59: the same half hour
    EXPECT_TRUE(Events::Take().empty());
    clock_.AdvanceMs(1000);
    server_->CheckMeterPeriods();  // midnight
    const auto events = Events::Take();

    // The status event, the period lines, the id reset, the meter log.
    std::vector<std::string> order;
    for (const Event& e : events) {
        std::string kind = e.id == 0x612E000B   ? "status"
                           : e.id == 0x612E000C ? "period"
                           : e.id == 0x612E000D ? "log"
                           : e.Text().find("ResetIDCounters") != std::string::npos ? "ids"
                                                                                  : "other";
        if (kind != "other" && (order.empty() || order.back() != kind)) order.push_back(kind);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"status", "period", "ids", "log"}));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].Text(), "2|1|IDLE|0xffffffff");
    EXPECT_EQ(Events::CountText(events, "   Period connection(s): 3       Period call(s): 1 (0.00 calls/sec)"), 1u);
    EXPECT_EQ(Events::CountText(events, "   Standby time:                0 hrs 0 min 0 sec"), 1u);
    EXPECT_EQ(Events::CountText(events, "   Max Connections Today/Ever:  3 / 3"), 1u);

    // Kept: maxima ever, transmit-queue maxima, peaks and current values; the rest restarts.
    EXPECT_EQ(server_->GetMeter(3), 2);
    EXPECT_EQ(server_->GetMeter(6), 0);
    EXPECT_EQ(server_->GetMeter(7), 2);
    EXPECT_EQ(server_->GetMeter(8), 3);
    EXPECT_EQ(server_->GetMeter(9), 1);
    EXPECT_EQ(server_->GetMeter(11), 1);
    EXPECT_EQ(server_->GetMeter(22), 40);
    EXPECT_EQ(server_->GetMeter(20), 0);
    EXPECT_EQ(server_->GetMeter(18), 0);
    EXPECT_EQ(server_->GetMeter(25), 99000);
    EXPECT_EQ(server_->GetMeter(26), 0);
    EXPECT_EQ(server_->GetMeter(27), 12);
    EXPECT_EQ(server_->GetMeter(1), 0);  // the active clock runs on from midnight
    EXPECT_EQ(server_->GetMeter(0), 1);
    EXPECT_EQ(server_->GetMeter(2), 0);
    std::string text;
    server_->DumpMeters(false, text);
    EXPECT_EQ(text.find("bytes/sec (peak)"), std::string::npos);  // no client bytes since
    server_->UpdateMeter(18, 1);
    clock_.AdvanceMs(10000);
    text.clear();
    server_->DumpMeters(false, text);
    EXPECT_NE(text.find("                                1 bytes/sec (peak)"), std::string::npos) << text;

    // The next half hour reports again, without the midnight work.
    clock_.AdvanceMs(1800000);
    server_->CheckMeterPeriods();
    const auto later = Events::Take();
    EXPECT_EQ(Events::CountText(later, "ResetIDCounters"), 0u);
    EXPECT_EQ(later.front().id, 0x612E000Bu);
}

}  // namespace
