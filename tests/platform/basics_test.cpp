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

    // File and system errors get Win32 numbers, errors only sockets give their Winsock
    // numbers; anything else passes through.
    struct Case { int e; uint32_t win; };
    for (auto c : {Case{ENOENT, 2}, Case{EACCES, 5}, Case{EBADF, 6}, Case{EPIPE, 109},
                   Case{EEXIST, 183}, Case{ENOMEM, 8}, Case{0, 0}, Case{EXDEV, EXDEV},
                   Case{ECONNRESET, 10054}, Case{ECONNREFUSED, 10061}, Case{ETIMEDOUT, 10060},
                   Case{EADDRINUSE, 10048}, Case{ENOTCONN, 10057}, Case{EHOSTUNREACH, 10065}})
        EXPECT_EQ(ErrnoToWin32(c.e), c.win) << "errno " << c.e;
    EXPECT_FALSE(KnownErrnoToWin32(EXDEV).has_value());
    EXPECT_EQ(KnownErrnoToWin32(EPIPE), 109u);

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

// A wait on something outside the platform (a socket, another process) counts as a sleeper
// on a fake clock and ends when the test moves time past its deadline; the real slices
// between looks stay short.
TEST_F(FakeClockTime, ExternalWaitEndsWhenTimeMoves) {
    std::atomic<bool> expired{false};
    std::thread t([&] {
        ExternalWait wait(DeadlineAfterMs(2500));
        while (!wait.Expired()) {
            EXPECT_LE(wait.NextSliceMs(1000), 1);
            std::this_thread::yield();
        }
        EXPECT_EQ(wait.NextSliceMs(1000), 0);
        expired = true;
    });
    EXPECT_EQ(clock_.AdvanceToNextDeadline(), 2500);
    t.join();
    EXPECT_TRUE(expired.load());
    EXPECT_EQ(clock_.Sleepers(), 0u);
    ExternalWait forever(kNoDeadline);
    EXPECT_FALSE(forever.Expired());
    EXPECT_EQ(forever.NextSliceMs(), -1);
    EXPECT_EQ(forever.NextSliceMs(1000), 1000);
}

// AdvanceUntil moves from deadline to deadline until the condition holds, and stops there.
TEST_F(FakeClockTime, AdvanceUntilStopsWhereTheConditionHolds) {
    std::atomic<int> woken{0};
    std::thread t([&] {
        for (int i = 0; i < 5; ++i) {
            SleepForMs(1000);
            ++woken;
        }
    });
    EXPECT_TRUE(clock_.AdvanceUntil([&] { return woken.load() == 3; }));
    EXPECT_EQ(GetTickCount(), 3000u);
    EXPECT_FALSE(clock_.AdvanceUntil([&] { return woken.load() == 5; }, 1));
    EXPECT_TRUE(clock_.AdvanceUntil([&] { return woken.load() == 5; }));
    t.join();
    EXPECT_EQ(GetTickCount(), 5000u);
}

// A pump that moves only plain sleeps never moves time past a socket wait in progress: the
// sleep's deadline comes once the external wait has ended.
TEST_F(FakeClockTime, AdvanceToNextSleepWaitsForExternalWaitsToEnd) {
    std::atomic<bool> ioDone{false};
    std::atomic<bool> ioExpired{false};
    std::thread io([&] {
        ExternalWait wait(DeadlineAfterMs(500));
        ASSERT_TRUE(clock_.AwaitSleepers(2));
        while (!ioDone.load() && !wait.Expired()) std::this_thread::yield();
        ioExpired = wait.Expired();
    });
    std::thread sleeper([&] { SleepForMs(2000); });
    ASSERT_TRUE(clock_.AwaitSleepers(2));
    EXPECT_EQ(clock_.AdvanceToNextSleep(50), -1);  // the I/O ends first
    ioDone = true;
    io.join();
    EXPECT_EQ(clock_.AdvanceToNextSleep(), 2000);
    sleeper.join();
    EXPECT_FALSE(ioExpired.load());
}

TEST(SystemClock, SystemMonotonicIgnoresAFakeClock) {
    FakeClock fake;
    ScopedClock scope(&fake);
    EXPECT_EQ(MonotonicNs(), 0);
    EXPECT_GT(SystemMonotonicNs(), 0);
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

// WaitAny answers the first signalled object in list order and takes only that one.
TEST(EventObject, WaitAnyTakesTheFirstSignalled) {
    Event manual(true, false), autoReset(false, false);
    Semaphore sem(0, 2);
    EXPECT_EQ(WaitAny({&manual, &autoReset, &sem}, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(sem.Release(2));
    EXPECT_FALSE(sem.Release());  // past the maximum
    autoReset.Set();
    EXPECT_EQ(WaitAny({&manual, &autoReset, &sem}, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(autoReset.IsSet());  // taken
    EXPECT_EQ(WaitAny({&manual, nullptr, &sem}, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitAny({&manual, nullptr, &sem}, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitAny({&manual, nullptr, &sem}, 0), WAIT_TIMEOUT);  // both counts taken
    manual.Set();
    EXPECT_EQ(WaitAny({&sem, &manual}, 0), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(manual.IsSet());  // a manual-reset event stays set
    EXPECT_FALSE(sem.TryAcquire());
}

// A thread waiting on several objects wakes for whichever is signalled later, and a
// time-out on a fake clock ends when the test moves time.
TEST_F(FakeClockTime, WaitAnyWakesForALaterSignalOrTheClock) {
    Event a(false, false), b(false, false);
    std::atomic<uint32_t> got{0xFFFFFFFF};
    std::thread t([&] { got = WaitAny({&a, &b}, 60000); });
    ASSERT_TRUE(clock_.AwaitSleepers(1));
    b.Set();
    t.join();
    EXPECT_EQ(got.load(), WAIT_OBJECT_0 + 1);
    std::thread u([&] { got = WaitAny({&a, &b}, 60000); });
    EXPECT_EQ(clock_.AdvanceToNextDeadline(), 60000);
    u.join();
    EXPECT_EQ(got.load(), WAIT_TIMEOUT);
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
