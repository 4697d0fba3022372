// Last error, clocks, events and process helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/lasterror.h"
#include "platform/process.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_clock.h"

using namespace plat;
using testsupport::ForkChild;
using testsupport::WaitChild;

TEST(LastError, IsPerThreadAndMapsErrno) {
    SetLastError(234);
    uint32_t other = 1;
    std::thread([&] { other = GetLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), 234u);

    struct Case { int e; uint32_t win; };
    for (auto c : {Case{ENOENT, 2}, Case{EACCES, 5}, Case{EBADF, 6}, Case{EPIPE, 109},
                   Case{EEXIST, 183}, Case{ENOMEM, 8}, Case{0, 0}, Case{EXDEV, EXDEV}})
        EXPECT_EQ(ErrnoToWin32(c.e), c.win) << "errno " << c.e;

    errno = ENOENT;
    EXPECT_EQ(SetLastErrorFromErrno(), 2u);
    EXPECT_EQ(GetLastError(), 2u);
}

TEST(FileTime, ConvertsBothWays) {
    struct Case { int64_t unixNs; uint64_t fileTime; };
    for (auto c : {Case{0, 116444736000000000ULL},
                   // 2021-03-04 05:06:07.5 UTC
                   Case{1614834367500000000LL, 132593079675000000ULL},
                   // Before 1970 the 100 ns unit still rounds down.
                   Case{-150, 116444735999999998ULL}}) {
        EXPECT_EQ(UnixNsToFileTime(c.unixNs), c.fileTime) << c.unixNs;
    }
    EXPECT_EQ(FileTimeToUnixNs(132593079675000000ULL), 1614834367500000000LL);
}

TEST(SystemClock, FileTimeFollowsTheWallClock) {
    uint64_t ft = FileTimeNow();
    int64_t seconds = static_cast<int64_t>((ft - kFileTimeUnixEpoch) / 10000000);
    EXPECT_LE(std::llabs(seconds - static_cast<int64_t>(time(nullptr))), 2);
}

TEST(SystemClock, LocalBiasComesFromTheTimeZone) {
    setenv("TZ", "XYZ-2", 1);  // two hours east of UTC
    tzset();
    EXPECT_EQ(LocalBiasMinutes(), -120);
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(LocalBiasMinutes(), 0);
}

using FakeClockTime = testsupport::FakeClockTest;

TEST_F(FakeClockTime, TickWrapsAt32BitsAndDifferencesStayRight) {
    clock_.SetMonotonicNs((int64_t{0xFFFFFFFF} - 9) * 1000000);  // 10 ms before the wrap
    uint32_t before = GetTickCount();
    EXPECT_EQ(before, 0xFFFFFFF6u);
    clock_.AdvanceMs(25);
    uint32_t after = GetTickCount();
    EXPECT_EQ(after, 15u);
    EXPECT_EQ(after - before, 25u);
}

TEST_F(FakeClockTime, DrivesWallClockAndBias) {
    EXPECT_EQ(FileTimeNow(), UnixNsToFileTime(1614834367LL * 1000000000));
    clock_.AdvanceMs(1500);
    EXPECT_EQ(FileTimeNow(), UnixNsToFileTime(1614834368500LL * 1000000));
    clock_.SetLocalBiasMinutes(-60);
    EXPECT_EQ(LocalBiasMinutes(), -60);
}

TEST_F(FakeClockTime, WaitsEndWhenTheTestMovesTime) {
    // A thread sleeps 3 s and then waits 10 s on an event nobody sets: the test moves the
    // clock to each deadline as the thread reaches it, and real time stays short.
    Event never(true, false);
    std::atomic<int> step{0};
    std::thread t([&] {
        SleepForMs(3000);
        step = 1;
        EXPECT_EQ(never.Wait(10000), WAIT_TIMEOUT);
        step = 2;
    });
    EXPECT_EQ(clock_.AdvanceToNextDeadline(), 3000);
    EXPECT_EQ(clock_.AdvanceToNextDeadline(), 10000);
    t.join();
    EXPECT_EQ(step.load(), 2);
    EXPECT_EQ(GetTickCount(), 13000u);
}

TEST_F(FakeClockTime, AWaitWakesOnItsConditionBeforeTheDeadline) {
    std::mutex mu;
    std::condition_variable cv;
    bool ready = false;
    std::thread t([&] {
        ASSERT_TRUE(clock_.AwaitSleepers(1));
        std::lock_guard<std::mutex> lk(mu);
        ready = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> lk(mu);
    EXPECT_TRUE(WaitUntil(cv, lk, DeadlineAfterMs(60000), [&] { return ready; }));
    lk.unlock();
    t.join();
    EXPECT_EQ(clock_.Sleepers(), 0u);
    EXPECT_EQ(GetTickCount(), 0u);
}

TEST(FakeClockScope, RestoresTheSystemClock) {
    {
        FakeClock fake;
        ScopedClock scope(&fake);
        EXPECT_EQ(MonotonicNs(), 0);
    }
    EXPECT_GT(MonotonicNs(), 0);
}

TEST(EventObject, ManualAndAutoReset) {
    struct Case { bool manual; uint32_t secondWait; };
    for (auto c : {Case{true, WAIT_OBJECT_0}, Case{false, WAIT_TIMEOUT}}) {
        Event ev(c.manual, false);
        EXPECT_EQ(ev.Wait(0), WAIT_TIMEOUT);
        ev.Set();
        EXPECT_EQ(ev.Wait(0), WAIT_OBJECT_0) << c.manual;
        EXPECT_EQ(ev.Wait(10), c.secondWait) << c.manual;
        ev.Set();
        ev.Reset();
        EXPECT_EQ(ev.Wait(0), WAIT_TIMEOUT) << c.manual;
    }
}

TEST(EventObject, WakesAWaiterInAnotherThread) {
    Event ev(false, false);
    std::thread t([&] { ev.Set(); });
    EXPECT_EQ(ev.Wait(INFINITE), WAIT_OBJECT_0);
    t.join();
}

TEST(Process, ExitStatusKeepsTheLowByte) {
    struct Case { int code; int status; };
    for (auto c : {Case{100002, 162}, Case{100003, 163}, Case{100008, 168}, Case{9999, 15},
                   Case{200004, 68}, Case{-1, 255}, Case{1, 1}, Case{0, 0}}) {
        EXPECT_EQ(ExitStatusOf(c.code), c.status);
        pid_t pid = ForkChild([&]() -> int { ExitProcess(c.code); });
        int status = WaitChild(pid);
        ASSERT_TRUE(WIFEXITED(status)) << c.code;
        EXPECT_EQ(WEXITSTATUS(status), c.status) << c.code;
    }
}

TEST(Process, DebugBreakWithoutDebuggerEndsTheProcess) {
    ASSERT_FALSE(IsDebuggerPresent());
    pid_t pid = ForkChild([] {
        signal(SIGTRAP, SIG_DFL);
        DebugBreak();
        return 0;
    });
    int status = WaitChild(pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTRAP);
}

TEST(Process, Identities) {
    std::string name = ComputerName();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(name.find('.'), std::string::npos);

    uint32_t mine = CurrentThreadId(), other = 0;
    std::thread([&] { other = CurrentThreadId(); }).join();
    EXPECT_NE(mine, 0u);
    EXPECT_NE(other, 0u);
    EXPECT_NE(mine, other);
    EXPECT_EQ(CurrentProcessId(), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(RunDir(), std::getenv("PARLO_RUN_DIR"));
}
