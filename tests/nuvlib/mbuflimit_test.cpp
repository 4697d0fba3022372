#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "nuvlib/mbuflimit.h"
#include "platform/named.h"
#include "tests/mdstimer/fatal_text.h"
#include "tests/nuvlib/mbuf_settings.h"
#include "tests/support/child_process.h"

namespace {

using testsupport::MBufSettings;
constexpr uint32_t kInc = 131072;

class LimitTable : public ::testing::Test {
protected:
    void Write(const MBufSettings& s) { testsupport::WriteMBufSettings(s); }
};

TEST_F(LimitTable, ExpandRoundsUpAndNeverPassesTheMaximum) {
    MBufSettings s;
    s.initial = 2 * kInc;
    s.maxPct = 0;  // the maximum is the initial quota
    Write(s);
    MBufLimitMgr mgr(testsupport::kMBufInstance, "parlo");
    EXPECT_EQ(0u, mgr.Expand(1));
    mgr.RaiseMaximum(4 * kInc);
    struct Step {
        uint32_t request, granted;
    } steps[] = {
        {0, 0},           {1, kInc},        {kInc, kInc},     {kInc + 1, 2 * kInc},
        {1, 0},  // full: assigned = initial + 4 increments = maximum
    };
    for (const Step& st : steps) EXPECT_EQ(st.granted, mgr.Expand(st.request)) << st.request;
    mgr.RaiseMaximum(1);  // raised by at least one increment
    EXPECT_EQ(0u, mgr.Expand(kInc + 1));  // one increment over the maximum: nothing at all
    EXPECT_EQ(kInc, mgr.Expand(kInc));
    MBufLimitMgr::RecordView r;
    ASSERT_TRUE(mgr.ReadRecord(mgr.GetOwnIndex(), &r));
    EXPECT_EQ(7 * kInc, r.assigned);
    EXPECT_EQ(7 * kInc, r.maximum);
    EXPECT_EQ(4u, r.expansions);
    MBufLimitMgr::TableView t = mgr.ReadTable();
    EXPECT_EQ(t.total - 7 * kInc, t.unassigned);
}

TEST_F(LimitTable, ShrinkRoundsDownAndKeepsTheInitialQuota) {
    MBufSettings s;
    Write(s);
    MBufLimitMgr mgr(testsupport::kMBufInstance, "parlo");
    EXPECT_EQ(0u, mgr.Shrink(10 * kInc));  // at the initial quota
    ASSERT_EQ(3 * kInc, mgr.Expand(3 * kInc));
    EXPECT_EQ(0u, mgr.Shrink(kInc - 1));
    EXPECT_EQ(kInc, mgr.Shrink(2 * kInc - 1));
    EXPECT_EQ(2 * kInc, mgr.Shrink(10 * kInc));
    MBufLimitMgr::RecordView r;
    ASSERT_TRUE(mgr.ReadRecord(mgr.GetOwnIndex(), &r));
    EXPECT_EQ(s.initial, r.assigned);
    EXPECT_EQ(2u, r.shrinks);
    MBufLimitMgr::TableView t = mgr.ReadTable();
    EXPECT_EQ(t.total - s.initial, t.unassigned);
}

TEST_F(LimitTable, SettingsAreClamped) {
    struct Case {
        MBufSettings in;
        MBufLimitMgr::Settings out;
    } cases[] = {
        {{0, 100, 10, 5, 1, 1, 90}, {1, 128, 32, 10, 131072, 131072, 70}},
        {{201, 5000, 5000, 101, 20000000, 20000000, 70}, {200, 1024, 1024, 100, 16777216, 16777216, 70}},
        {{5, 256, 64, 60, 262144, 524288, 0}, {5, 256, 64, 60, 262144, 524288, 0}},
    };
    for (const Case& c : cases) {
        Write(c.in);
        // Each manager in a child: one process registers once.
        pid_t pid = testsupport::ForkChild([&] {
            MBufLimitMgr mgr(testsupport::kMBufInstance, "parlo");
            const MBufLimitMgr::Settings& g = mgr.GetSettings();
            const MBufLimitMgr::Settings& w = c.out;
            return (g.totalPctOfRam == w.totalPctOfRam && g.minTotalMB == w.minTotalMB &&
                    g.tableRecords == w.tableRecords && g.shrinkThresholdPct == w.shrinkThresholdPct &&
                    g.increment == w.increment && g.initialQuota == w.initialQuota &&
                    g.maxPctOfTotal == w.maxPctOfTotal)
                       ? 0
                       : 1;
        });
        int status = testsupport::WaitChild(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.in.records;
    }
}

TEST_F(LimitTable, ProcessValuesWinOverOtherAndIdentityBytesAreStored) {
    MBufSettings s;
    s.instance = 0x1FF;  // only the low byte is kept
    Write(s);
    testsupport::SetDword(std::string(MBufLimitMgr::kSettingsKey) + "\\Initial\\Process",
                          "averyLongProcessName", 3 * kInc);
    testsupport::WriteClientHandle("averyLongProcessName", 42);
    MBufLimitMgr mgr(testsupport::kMBufInstance, "averyLongProcessName");
    EXPECT_EQ(3 * kInc, mgr.GetSettings().initialQuota);
    MBufLimitMgr::RecordView r;
    ASSERT_TRUE(mgr.ReadRecord(mgr.GetOwnIndex(), &r));
    EXPECT_EQ("averyLongPro", r.name);  // cut to 12 characters
    EXPECT_EQ(0xFF, r.instance);
    EXPECT_EQ(7, r.systemId);
    EXPECT_EQ(42, r.handle);
    EXPECT_EQ(mgr.GetOwnIndex(), r.index);
    EXPECT_TRUE(plat::NamedMutexExists("Global\\averyLongPro@" + std::to_string(r.index)));
    MBufLimitMgr::TableView t = mgr.ReadTable();
    EXPECT_EQ(std::max<uint64_t>(t.total / 100 * 70, 3 * kInc), r.maximum);
    EXPECT_EQ(32u, t.records);
}

TEST_F(LimitTable, NoClientKeyGivesHandle255) {
    Write(MBufSettings{});
    MBufLimitMgr mgr(testsupport::kMBufInstance, "noclient");
    EXPECT_EQ(255, mgr.GetHandle());
}

TEST(LimitTotal, ComputedIn64BitsAndCapped) {
    struct Case {
        uint64_t ram;
        uint32_t pct, minMB;
        uint32_t total;
    } cases[] = {
        {8ULL << 30, 10, 128, static_cast<uint32_t>((8ULL << 30) / 100 * 10)},
        {8ULL << 30, 1, 128, 128u << 20},
        {64ULL << 30, 10, 128, 0xFFFFFFFFu},   // 6.4 GiB: saturated, not wrapped
        {1ULL << 40, 200, 1024, 0xFFFFFFFFu},
        {~0ULL, 200, 1024, 0xFFFFFFFFu},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.total, MBufLimitMgr::ComputeTotalLimit(c.ram, c.pct, c.minMB)) << c.ram;
}

TEST_F(LimitTable, MissingSettingsAreFatal) {
    struct Case {
        const char* key;  // relative to the settings key; "" for the key's own value
        const char* value;
        const char* text;
    } cases[] = {
        {"", "MinTotalLimit",
         "MBufLimitMgr RegGetDWORD failed \\(2\\) on value: SOFTWARE\\\\Quenlo Systems, "
         "Inc\\.\\\\ZUR\\\\SystemSettings\\\\MBufMemLimit\\\\MinTotalLimit"},
        {"\\Initial\\Process", "Other",
         "MBufLimitMgr RegGetDWORD failed \\(2\\) on value: .*MBufMemLimit\\\\Initial\\\\Process\\\\Other"},
    };
    for (const Case& c : cases) {
        Write(MBufSettings{});
        plat::RegKey k = nullptr;
        ASSERT_EQ(0u, plat::RegOpenKey(plat::RegRoot(),
                                       (std::string(MBufLimitMgr::kSettingsKey) + c.key).c_str(), &k));
        plat::RegDeleteValue(k, c.value);
        plat::RegCloseKey(k);
        EXPECT_EXIT(
            {
                testsupport::ShowFatalTextsOnStderr();
                MBufLimitMgr mgr(testsupport::kMBufInstance, "parlo");
            },
            ::testing::ExitedWithCode(162), c.text);
    }
    Write(MBufSettings{});
    EXPECT_EQ(0u, plat::RegDeleteKey(plat::RegRoot(), "SOFTWARE\\Quenlo Systems, Inc.\\ZUR\\cust\\CurrentVersion"));
    EXPECT_EXIT(
        {
            testsupport::ShowFatalTextsOnStderr();
            MBufLimitMgr mgr(testsupport::kMBufInstance, "parlo");
        },
        ::testing::ExitedWithCode(162),
        "MBufLimitMgr RegOpenKeyEx failed \\(2\\) on key: SOFTWARE\\\\Quenlo Systems, "
        "Inc\\.\\\\ZUR\\\\cust\\\\CurrentVersion");
}

// A child that registers, expands as far as the table lets it, reports its assignment
// through the pipe and waits to be killed.
pid_t StartGreedyChild(const char* name, int* readFd) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = testsupport::ForkChild([&] {
        close(fds[0]);
        MBufLimitMgr mgr(testsupport::kMBufInstance, name);
        while (mgr.Expand(1) != 0) {
        }
        MBufLimitMgr::RecordView r{};
        if (!mgr.ReadRecord(mgr.GetOwnIndex(), &r)) return 3;
        if (write(fds[1], &r.assigned, sizeof r.assigned) != sizeof r.assigned) return 2;
        for (;;) pause();
        return 0;
    });
    close(fds[1]);
    *readFd = fds[0];
    return pid;
}

TEST_F(LimitTable, AKilledProcessReturnsItsShareWhenSomeoneRunsShort) {
    MBufSettings s;
    s.increment = 16u << 20;
    s.initial = 16u << 20;
    Write(s);
    MBufLimitMgr mine(testsupport::kMBufInstance, "parent");
    uint32_t total = mine.ReadTable().total;

    int fd = -1;
    pid_t child = StartGreedyChild("greedy", &fd);
    ASSERT_GT(child, 0);
    uint32_t childAssigned = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof childAssigned), read(fd, &childAssigned, sizeof childAssigned));
    close(fd);
    // The child sees this process's record: together the two stay within the total.
    MBufLimitMgr::TableView t = mine.ReadTable();
    EXPECT_EQ(total - childAssigned - s.initial, t.unassigned);
    EXPECT_GE(childAssigned, s.initial);

    uint32_t grown = 0;
    while (uint32_t g = mine.Expand(1)) grown += g;
    EXPECT_LT(mine.ReadTable().unassigned, s.increment);  // short while the child lives

    kill(child, SIGKILL);
    testsupport::WaitChild(child);
    // The dead process's record stays until someone runs short, then its bytes return.
    EXPECT_LT(mine.ReadTable().unassigned, s.increment);
    EXPECT_EQ(s.increment, mine.Expand(1));
    t = mine.ReadTable();
    EXPECT_EQ(total - s.initial - grown - s.increment, t.unassigned);
    EXPECT_EQ(mine.GetOwnIndex(), t.firstInUse);  // the child's record went to the free list
    EXPECT_NE(0, t.firstFree);
}

TEST_F(LimitTable, ASecondProcessUsesTheFirstOnesTableAndAFullTableIsFatal) {
    MBufSettings s;
    s.records = 32;
    Write(s);
    MBufLimitMgr first(testsupport::kMBufInstance, "first");
    // Later settings ask for another record count: the table keeps the creator's.
    s.records = 100;
    Write(s);
    int status = testsupport::WaitChild(testsupport::ForkChild([&] {
        MBufLimitMgr second(testsupport::kMBufInstance, "second");
        return second.ReadTable().records == 32 && second.GetOwnIndex() != first.GetOwnIndex() ? 0 : 1;
    }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The second process ended: its record is reclaimed by the next registration that
    // runs short, here because no record is free.
    EXPECT_EXIT(
        {
            testsupport::ShowFatalTextsOnStderr();
            std::vector<std::unique_ptr<MBufLimitMgr>> many;
            for (int i = 0; i < 40; ++i)
                many.push_back(std::make_unique<MBufLimitMgr>(testsupport::kMBufInstance,
                                                              ("p" + std::to_string(i)).c_str()));
        },
        ::testing::ExitedWithCode(162), "MBufLimitMgr buffering memory limit table full \\(32 records\\)");
}

}  // namespace
