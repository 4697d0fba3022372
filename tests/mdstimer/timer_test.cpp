#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mdstimer/systimer.h"
#include "mdstimer/timer.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "tests/mdstimer/fatal_text.h"

namespace {

constexpr uint64_t kSec = kTimerUnitsPerSecond;
// 2021-03-04 12:00:00 UTC as a FILETIME.
const uint64_t kNoon = plat::UnixNsToFileTime(1614859200LL * 1000000000LL);

std::vector<std::string> g_Fired;

class RecTimer : public Timer {
public:
    explicit RecTimer(std::string name, std::function<void(RecTimer*)> action = nullptr)
        : name_(std::move(name)), action_(std::move(action)) {}
    void Execute() override {
        g_Fired.push_back(name_);
        if (action_) action_(this);
    }
    int runs() const { return static_cast<int>(g_Fired.size()); }

private:
    std::string name_;
    std::function<void(RecTimer*)> action_;
};

class TimerWheel : public ::testing::Test {
protected:
    void SetUp() override {
        g_Fired.clear();
        master_ = TimerMaster::Create(kNoon, kNoon, true, 0);
    }
    void Tick(uint64_t utc) { master_->ProcessTimers(utc, utc); }
    CTimerBucketMaster* wheel() { return master_->m_TimerBuckets.get(); }
    TimerMaster* master_ = nullptr;
};

TEST_F(TimerWheel, EqualTimesRunInSchedulingOrderAndPastTimesAtTheNextTick) {
    RecTimer a("a"), b("b"), c("c"), early("early"), past("past");
    uint64_t t = kNoon + 5 * kSec;
    c.SetTime(t + 1);  // later in the same bucket, inserted first: the bucket must sort
    a.SetTime(t);
    b.SetTime(t);
    early.SetTime(t - 1);
    past.SetTime(kNoon - 3600 * kSec);
    EXPECT_EQ(kNoon, past.GetTimeScheduled());  // raised to the wheel's current time
    Tick(kNoon);
    EXPECT_EQ((std::vector<std::string>{"past"}), g_Fired);
    Tick(t + 1);
    EXPECT_EQ((std::vector<std::string>{"past", "early", "a", "b", "c"}), g_Fired);
    EXPECT_FALSE(a.IsActive());
    EXPECT_EQ(5u, wheel()->m_timersExecuted);
    EXPECT_EQ(0u, wheel()->m_activeTimerCount);
}

TEST_F(TimerWheel, IntervalOperations) {
    struct Case {
        uint64_t now;
        std::function<void(Timer&)> op;
        uint64_t expected;
    } cases[] = {
        {kNoon + 30 * kSec, [](Timer& t) { t.SetNextSecondsBoundary(60); }, kNoon + 60 * kSec},
        {kNoon, [](Timer& t) { t.SetNextSecondsBoundary(60); }, kNoon + 60 * kSec},
        {kNoon + 59 * kSec, [](Timer& t) { t.SetNextSecondsBoundary(60); }, kNoon + 60 * kSec},
        {kNoon, [](Timer& t) { t.SetNextSecondsBoundary(0); }, kNoon},
        {kNoon, [](Timer& t) { t.SetMilliseconds(250); }, kNoon + 2500000},
        {kNoon, [](Timer& t) { t.SetSeconds(3); }, kNoon + 3 * kSec},
        {kNoon + 7, [](Timer& t) { t.SetNow(); }, kNoon + 7},
    };
    for (const Case& c : cases) {
        Tick(c.now);
        RecTimer t("t");
        c.op(t);
        EXPECT_EQ(c.expected, t.GetTimeScheduled()) << (c.now - kNoon);
        EXPECT_TRUE(t.IsActive());
    }
    RecTimer r("r");
    r.SetSeconds(10);
    r.SetSecondsFromLast(5);  // from the last scheduled time, not from now
    EXPECT_EQ(master_->m_CurrentTime + 15 * kSec, r.GetTimeScheduled());
    r.Reschedule();
    EXPECT_EQ(master_->m_CurrentTime + 20 * kSec, r.GetTimeScheduled());
    r.Cancel();
    EXPECT_FALSE(r.IsActive());
    r.Cancel();  // not scheduled: nothing to do
    EXPECT_FALSE(r.IsActive());
}

TEST_F(TimerWheel, RescheduleCountsOneDeletedAndOneMoreScheduled) {
    RecTimer t("t");
    t.SetSeconds(10);
    uint32_t total = wheel()->m_totalTimerCount, deleted = wheel()->m_timersDeleted;
    t.SetSeconds(20);
    EXPECT_EQ(total + 1, wheel()->m_totalTimerCount);
    EXPECT_EQ(deleted + 1, wheel()->m_timersDeleted);
    EXPECT_EQ(1u, wheel()->m_activeTimerCount);
    EXPECT_EQ(1u, wheel()->m_maxTimers);
}

TEST_F(TimerWheel, ATimerADayAheadNeitherRunsNorHidesDueTimersOfItsBucket) {
    Tick(kNoon);
    RecTimer tomorrow("tomorrow"), due("due");
    tomorrow.SetTime(kNoon + 86401 * kSec);
    due.SetTime(kNoon + 1 * kSec);  // the same bucket, a day earlier
    ASSERT_EQ(wheel()->BucketOf(tomorrow.GetTimeScheduled()), wheel()->BucketOf(due.GetTimeScheduled()));
    for (int i = 1; i <= 20; ++i) Tick(kNoon + i * kSec);
    EXPECT_EQ((std::vector<std::string>{"due"}), g_Fired);
    EXPECT_TRUE(tomorrow.IsActive());
    Tick(kNoon + 86401 * kSec);
    EXPECT_EQ((std::vector<std::string>{"due", "tomorrow"}), g_Fired);
}

TEST_F(TimerWheel, CollectionWrapsPastMidnight) {
    const uint64_t midnight = kNoon + 12 * 3600 * kSec;
    Tick(midnight - 5 * kSec);
    RecTimer before("before"), after("after"), later("later");
    before.SetTime(midnight - 1);
    after.SetTime(midnight + 1 * kSec);
    later.SetTime(midnight + 60 * kSec);
    ASSERT_EQ(9999, wheel()->BucketOf(before.GetTimeScheduled()));
    ASSERT_EQ(0, wheel()->BucketOf(after.GetTimeScheduled()));
    Tick(midnight + 5 * kSec);  // from bucket 9999 round to bucket 0
    EXPECT_EQ((std::vector<std::string>{"before", "after"}), g_Fired);
    EXPECT_TRUE(later.IsActive());
}

TEST_F(TimerWheel, ExecuteMayRescheduleItselfIntoALaterBucketOfTheSamePass) {
    Tick(kNoon);
    int runs = 0;
    RecTimer self("self", [&](RecTimer* t) {
        if (++runs == 1) t->SetTime(kNoon + 30 * kSec);  // three buckets on, still due
    });
    self.SetTime(kNoon + 1 * kSec);
    Tick(kNoon + 40 * kSec);
    EXPECT_EQ(2, runs);
    EXPECT_FALSE(self.IsActive());
}

TEST_F(TimerWheel, DeleteTimerFromExecuteDeletesAfterReturn) {
    bool returned = false;
    RecTimer* t = new RecTimer("once", [&](RecTimer* self) {
        self->DeleteTimer();
        EXPECT_TRUE(self->IsExecuting());  // still alive here
        returned = true;
    });
    t->SetSeconds(1);
    Tick(kNoon + 2 * kSec);
    EXPECT_TRUE(returned);
    EXPECT_EQ(0u, wheel()->m_activeTimerCount);  // and ASan sees no leak
    RecTimer* idle = new RecTimer("idle");
    idle->SetSeconds(100);
    idle->DeleteTimer();  // not executing: gone at once, out of the wheel
    EXPECT_EQ(0u, wheel()->m_activeTimerCount);
}

TEST_F(TimerWheel, DeleteFromAnotherThreadWaitsForExecute) {
    // The deleter looks again every millisecond of the injectable clock: the test sees it
    // wait and moves the clock for it.
    plat::FakeClock clock;
    plat::ScopedClock scoped(&clock);
    // Execute touches no member: the derived part is gone once the delete has begun.
    static std::atomic<bool> inExecute{false}, release{false};
    std::atomic<bool> deleted{false};
    struct Slow : Timer {
        void Execute() override {
            inExecute = true;
            while (!release) std::this_thread::yield();
        }
    };
    Slow* slow = new Slow;
    slow->SetSeconds(1);
    std::thread ticker([&] { Tick(kNoon + 2 * kSec); });
    while (!inExecute) std::this_thread::yield();
    std::thread deleter([&] {
        delete slow;
        deleted = true;
    });
    ASSERT_TRUE(clock.AwaitSleepers(1));  // the delete waits for Execute
    for (int i = 0; i < 3; ++i) EXPECT_EQ(1, clock.AdvanceToNextDeadline());
    EXPECT_FALSE(deleted);
    release = true;
    while (!deleted) clock.AdvanceToNextDeadline(20);
    deleter.join();
    ticker.join();
}

TEST_F(TimerWheel, DeletingFromItsOwnExecuteIsFatal) {
    EXPECT_EXIT(
        {
            testsupport::ShowFatalTextsOnStderr();
            RecTimer* t = new RecTimer("suicide", [](RecTimer* self) { delete self; });
            t->SetSeconds(1);
            Tick(kNoon + 2 * kSec);
        },
        ::testing::ExitedWithCode(162), "Deadlock:  delete called from timer execute thread\\.");
}

TEST_F(TimerWheel, ABackwardClockLooksAtEveryBucket) {
    Tick(kNoon + 100 * kSec);
    RecTimer t("t");
    t.SetTime(kNoon + 200 * kSec);
    Tick(kNoon + 300 * kSec);  // collected up to here
    RecTimer back("back");
    back.SetTime(kNoon + 250 * kSec);  // raised to now (300 s) by the schedule rule
    Tick(kNoon + 50 * kSec);            // the clock went back: all buckets, none due
    EXPECT_EQ((std::vector<std::string>{"t"}), g_Fired);
    Tick(kNoon + 300 * kSec);
    EXPECT_EQ((std::vector<std::string>{"t", "back"}), g_Fired);
}

TEST_F(TimerWheel, NameComesFromTheClassRecord) {
    RecTimer t("t");
    char name[32];
    t.GetName(name, sizeof name);
    EXPECT_STREQ("Timer", name);
    char small[3];
    t.GetName(small, sizeof small);
    EXPECT_STREQ("Ti", small);
}

// ---------------------------------------------------------------- the tick source

class SystemTimer : public ::testing::Test {
protected:
    void SetUp() override {
        clock_.SetRealtimeNs(1614859200LL * 1000000000LL);  // 12:00:00 UTC
        clock_.SetLocalBiasMinutes(-60);
        g_Fired.clear();
    }
    plat::FakeClock clock_;
    plat::ScopedClock scoped_{&clock_};
};

TEST_F(SystemTimer, StepsAreClampedToAPeriodPlusOrMinusTenPercent) {
    SystemEventTimer* s = SystemEventTimer::Create(100, 1);
    EXPECT_EQ(kNoon, s->m_CurrentUtc);
    EXPECT_EQ(kNoon + 3600 * kSec, s->m_CurrentLocal);
    struct Step {
        int64_t wallMs;   // wall clock moves by this before the tick
        int64_t advance;  // the service's clock moves by this (100 ns units)
    } steps[] = {
        {100, 1000000},        {95, 950000},          {109, 1090000},
        {3600000, 1100000},    {100, 1100000},        {1, 1100000},
        {-7200000, 900000},    {100, 900000},         {0, 900000},
    };
    uint32_t cut = 0, raised = 0;
    for (const Step& step : steps) {
        clock_.AdvanceMs(step.wallMs);
        uint64_t before = s->m_CurrentUtc;
        s->Tick();
        EXPECT_EQ(step.advance, static_cast<int64_t>(s->m_CurrentUtc - before)) << step.wallMs;
        EXPECT_EQ(s->m_CurrentUtc, TimerMaster::Instance()->m_CurrentTime);
        if (step.advance == 1100000) ++cut;
        if (step.advance == 900000) ++raised;
    }
    EXPECT_EQ(cut, s->m_StepsCut.load());
    EXPECT_EQ(raised, s->m_StepsRaised.load());
    EXPECT_EQ(3u, s->m_StepsKept.load());
}

TEST_F(SystemTimer, OddPeriodsRoundTheLimitsInMilliseconds) {
    SystemEventTimer* s = SystemEventTimer::Create(15, 1);
    EXPECT_EQ(130000, s->m_ShortestStep);  // 15 * 9 / 10 = 13 ms
    EXPECT_EQ(160000, s->m_LongestStep);   // 15 * 11 / 10 = 16 ms
}

TEST_F(SystemTimer, ABiasBeyondADayIsNoTimeZoneAndEndsTheStart) {
    for (int bias : {24 * 60 + 1, -24 * 60 - 1}) {
        clock_.SetLocalBiasMinutes(bias);
        EXPECT_EXIT(
            {
                testsupport::ShowFatalTextsOnStderr();
                SystemEventTimer::Create(100, 1);
            },
            ::testing::ExitedWithCode(162), "SystemEventTimer can't get time zone information\\.")
            << bias;
    }
    clock_.SetLocalBiasMinutes(24 * 60);  // the farthest a zone may be
    EXPECT_EQ(24 * 60, SystemEventTimer::Create(100, 1)->m_BiasMinutes);
}

TEST_F(SystemTimer, BiasIsRereadWhenTheMinuteChanges) {
    SystemEventTimer* s = SystemEventTimer::Create(1000, 1);
    clock_.SetLocalBiasMinutes(-120);
    clock_.AdvanceMs(1000);
    s->Tick();  // 12:00:01, the same minute: the old bias holds
    EXPECT_EQ(s->m_CurrentUtc + 3600 * kSec, s->m_CurrentLocal);
    for (int i = 0; i < 59; ++i) {
        clock_.AdvanceMs(1000);
        s->Tick();
    }
    EXPECT_EQ(-120, s->m_BiasMinutes);
    EXPECT_EQ(s->m_CurrentUtc + 7200 * kSec, s->m_CurrentLocal);
    EXPECT_EQ(s->m_CurrentLocal, TimerMaster::Instance()->m_LocalTime);
}

TEST_F(SystemTimer, TimersRunFromTicks) {
    SystemEventTimer* s = SystemEventTimer::Create(100, 1);
    RecTimer t("t");
    t.SetMilliseconds(250);
    for (int i = 0; i < 2; ++i) {
        clock_.AdvanceMs(100);
        s->Tick();
    }
    EXPECT_TRUE(g_Fired.empty());
    clock_.AdvanceMs(100);
    s->Tick();
    EXPECT_EQ((std::vector<std::string>{"t"}), g_Fired);
}

TEST(SystemTimerThread, TicksOnItsOwnThread) {
    plat::FakeClock clock;
    plat::ScopedClock scoped(&clock);
    g_Fired.clear();
    StartSystemEventTimer(10, 1);
    std::atomic<int> runs{0};
    struct Counting : Timer {
        std::atomic<int>* runs;
        void Execute() override {
            if (++*runs < 3) SetMilliseconds(10);
        }
    } t;
    t.runs = &runs;
    t.SetMilliseconds(10);
    // The thread sleeps for absolute deadlines one period apart.
    std::vector<int64_t> steps;
    for (int i = 0; i < 50 && runs < 3; ++i) {
        steps.push_back(clock.AdvanceToNextDeadline());
        ASSERT_TRUE(clock.AwaitSleepers(1));  // asleep again: that tick is done
    }
    EXPECT_EQ(3, runs.load());
    for (int64_t step : steps) EXPECT_EQ(10, step);
    t.Cancel();
}

TEST(TickCounterTest, WrapsAndSmallStepsBack) {
    plat::FakeClock clock;
    plat::ScopedClock scoped(&clock);
    struct Case {
        int64_t startMs;  // monotonic time when the counter starts
        std::vector<std::pair<int64_t, uint32_t>> reads;  // monotonic ms, expected seconds
    } cases[] = {
        {0, {{5000, 5}, {20000, 20}, {10000, 20}, {9999, 4294967u + 9}}},
        // The 32-bit tick count itself wraps: 2^32 ms + 20 s reads as tick 20000.
        {4294967295LL - 1000, {{4294967296LL + 20000, 4294967u + 20}}},
    };
    for (const Case& c : cases) {
        clock.SetMonotonicNs(c.startMs * 1000000);
        TickCounter counter;
        for (const auto& [ms, seconds] : c.reads) {
            clock.SetMonotonicNs(ms * 1000000);
            EXPECT_EQ(seconds, counter.GetSeconds()) << ms;
        }
    }
}

TEST(WorkerThread, RunsWithItsArgumentAndSignalsItsEnd) {
    static std::atomic<int> seen{0};
    plat::Event* done = nullptr;
    int value = 42;
    ASSERT_TRUE(BeginWorkerThread(
        [](WorkerThreadStart* start) {
            seen = *static_cast<int*>(GetWorkerThreadArg(start));
            EndWorkerThread(start);
        },
        0, &value, &done));
    ASSERT_NE(nullptr, done);
    EXPECT_EQ(0u, done->Wait(5000));
    EXPECT_EQ(42, seen.load());
    delete done;
}

}  // namespace
