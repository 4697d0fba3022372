// The scoped guard of the non-counted locks and its lock-order check.
#include "nuvlib/lockguard.h"

#include <gtest/gtest.h>

#include "nuvlib/lock.h"

namespace {

LockObject* MakeLock(const char* name) { return new LockObject(1, nullptr, name, 0xFFFFFFFF, 0, 0); }

TEST(LockGuard, TakesOnlyWhatTheThreadDoesNotHoldAndReleasesOnlyThat) {
    std::unique_ptr<LockObject> lock(MakeLock("RTServerConfig"));
    {
        LockGuard<LockObject> outer(*lock);
        EXPECT_TRUE(outer.Took());
        {
            LockGuard<LockObject> inner(*lock);  // the thread holds it: not taken again
            EXPECT_FALSE(inner.Took());
        }
        EXPECT_TRUE(lock->IsLockedByCurrentThread());  // the inner guard left it held
        outer.Release();
        EXPECT_FALSE(lock->IsLockedByCurrentThread());
        outer.Acquire();
        EXPECT_TRUE(lock->IsLockedByCurrentThread());
    }
    EXPECT_FALSE(lock->IsLockedByCurrentThread());
}

TEST(LockGuard, OrderCheckFlagsOnlyRealInversions) {
    struct Case {
        std::vector<const char*> held;
        const char* next;
        bool inversion;
    };
    const Case cases[] = {
        {{"CallLock", "RTServerConfig", "Master Session Lock", "Session Lock"}, "MeterLock", false},
        {{"Monitor", "Thread Lock"}, "RTServerConfig", false},  // cleanup, then the thread list
        {{"Thread Lock"}, "CallLock", false},  // MakeActive runs inside "Thread Lock"
        {{"RTServerConfig"}, "CallLock", true},
        {{"Session Lock"}, "Master Session Lock", true},
        {{"Session Lock"}, "Session Lock", true},  // one session lock at a time
        {{"Thread Lock"}, "Monitor", true},
        {{"MeterLock"}, "RTServerConfig", true},  // a leaf is taken last
        {{"MeterLock"}, "Garbage Lock", true},    // and alone
        {{}, "MeterLock", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.next);
        for (const char* h : c.held) lockorder::NoteAcquire(h);
        const char* text = lockorder::CheckAcquire(c.next);
        EXPECT_EQ(text != nullptr, c.inversion);
        for (auto it = c.held.rbegin(); it != c.held.rend(); ++it) lockorder::NoteRelease(*it);
    }
}

TEST(LockGuard, InversionThroughGuardsIsFatalInDebugBuilds) {
    if (!lockorder::kChecked) GTEST_SKIP() << "checked in debug builds only";
    EXPECT_EXIT(
        {
            std::unique_ptr<LockObject> server(MakeLock("RTServerConfig"));
            std::unique_ptr<LockObject> call(MakeLock("CallLock"));
            LockGuard<LockObject> a(*server);
            LockGuard<LockObject> b(*call);
        },
        ::testing::ExitedWithCode(100002 & 0xFF), "");
}

}  // namespace
