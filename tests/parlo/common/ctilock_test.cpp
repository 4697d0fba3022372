// CTILockObject: wait and hold times against MaxLockTimeout, across the tick wrap.
#include <gtest/gtest.h>

#include <thread>

#include "nuvlib/lockguard.h"
#include "parlo/common/ctilock.h"
#include "tests/parlo/server/server_fixture.h"

namespace {

using srvtest::Events;
using srvtest::ServerTest;


TEST_F(ServerTest, HoldLongerThanTheThresholdWarns) {
    for (const int64_t held : {500, 501}) {
        SCOPED_TRACE(held);
        CTILockObject lock(1, nullptr, "RTServerConfig", 0xFFFFFFFF, 0, 0);
        ASSERT_TRUE(lock.Lock("Holder::Run", -1));
        EXPECT_STREQ(lock.GetCaller(), "Holder::Run");
        clock_.AdvanceMs(held);
        ASSERT_TRUE(lock.Unlock("Holder::Done"));
        EXPECT_STREQ(lock.GetCaller(), "");
        const auto events = Events::Take();
        const std::string warning =
            "CTILockObject::Unlock(Holder::Done, sessionID -1) - WARNING: - Long Lock Warning on " +
            std::string(lock.GetLockName()) + " (locked from Holder::Run), Thread ";
        EXPECT_EQ(Events::CountText(events, warning), held > 500 ? 1u : 0u);
        EXPECT_EQ(Events::CountText(events, "held lock for 501 ms, exceeded threshold 500 ms"), held > 500 ? 1u : 0u);
    }
}

TEST_F(ServerTest, WaitLongerThanTheThresholdWarns) {
    for (const int64_t waited : {500, 501}) {
        SCOPED_TRACE(waited);
        CTILockObject lock(1, nullptr, "CallLock", 0xFFFFFFFF, 0, 0, 7);
        ASSERT_TRUE(lock.Lock("First", -1));
        std::thread waiter([&] {
            EXPECT_TRUE(lock.Lock("Second", -1));
            EXPECT_TRUE(lock.Unlock());
        });
        while (lock.GetWaitingThread() == 0) std::this_thread::yield();
        clock_.AdvanceMs(waited);
        ASSERT_TRUE(lock.Unlock("First"));
        waiter.join();
        const std::string warning = "CTILockObject::Lock(Second, sessionID 7) - WARNING: - Long Lock Warning on Global\\CallLock";
        const auto events = Events::Take();
        EXPECT_EQ(Events::CountText(events, warning), waited > 500 ? 1u : 0u);
        EXPECT_EQ(Events::CountText(events, "took 501 ms to acquire lock"), waited > 500 ? 1u : 0u);
    }
}

TEST_F(ServerTest, HoldTimeIsRightAcrossTheTickWrap) {
    clock_.SetMonotonicNs((int64_t{1} << 32) * 1000000 - int64_t{256} * 1000000);  // 256 ms before
    CTILockObject lock(1, nullptr, "RTServerConfig", 0xFFFFFFFF, 0, 0);
    ASSERT_TRUE(lock.Lock());
    clock_.AdvanceMs(512);
    ASSERT_TRUE(lock.Unlock());
    EXPECT_EQ(Events::CountText(Events::Take(), "held lock for 512 ms"), 1u);
}

TEST_F(ServerTest, ARelockByTheOwnerFailsAndOneUnlockReleases) {
    CTILockObject lock(1, nullptr, "RTServerConfig", 0xFFFFFFFF, 0, 0);
    ASSERT_TRUE(lock.Lock());
    EXPECT_FALSE(lock.Lock());
    EXPECT_TRUE(lock.Unlock());
    EXPECT_FALSE(lock.IsLockedByCurrentThread());
    EXPECT_FALSE(lock.Unlock());
    // Through the guard, the inner hold neither takes nor releases.
    {
        LockGuard<CTILockObject> outer(lock, "Outer");
        LockGuard<CTILockObject> inner(lock, "Inner");
        EXPECT_FALSE(inner.Took());
        EXPECT_STREQ(lock.GetCaller(), "Outer");
    }
    EXPECT_FALSE(lock.IsLockedByCurrentThread());
}

// Without a registry object nothing is checked and every call says so.
TEST(CTILockWithoutRegistry, TracesAndMakesNoCheck) {
    EMSInstallSeams(&Events::kSeams);
    plat::FakeClock clock;
    plat::ScopedClock scoped(&clock);
    clock.SetMonotonicNs(int64_t{1000} * 1000000000);
    CTILockObject lock(1, nullptr, "MeterLock", 0xFFFFFFFF, 0, 0);
    ASSERT_TRUE(lock.Lock("Caller", -1));
    clock.AdvanceMs(5000);
    ASSERT_TRUE(lock.Unlock("Releaser"));
    const auto events = Events::Take();
    EXPECT_EQ(Events::CountText(events, "CTILockObject::Lock(Caller, sessionID -1) - Can't get the CTI Registry object. Lock Global\\MeterLock"), 1u);
    EXPECT_EQ(Events::CountText(events, "CTILockObject::Unlock(Releaser, sessionID -1) - Can't get the CTI Registry object. Lock Global\\MeterLock"), 1u);
    EXPECT_EQ(Events::CountText(events, "waittime 5000 ms"), 1u);
    EXPECT_EQ(Events::CountText(events, "Long Lock Warning"), 0u);
}

}  // namespace
