#include "nuvlib/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "nuvlib/ems.h"
#include "tests/support/wait.h"

namespace {

LockObject* MakeLock(const char* name = "TestLock") {
    return new LockObject(LockObject::USAGE_CRITICAL_SECTION, nullptr, name, 0xFFFFFFFF, 0, 0);
}

TEST(LockObject, RelockByOwnerFailsAtOnceAndOneUnlockFrees) {
    LockObject lock(1, nullptr, "TestLock", 0xFFFFFFFF, 0, 0);
    ASSERT_TRUE(lock.Lock(-1));
    EXPECT_FALSE(lock.Lock(-1));
    EXPECT_EQ(lock.GetNumLocked(), 1);
    EXPECT_TRUE(lock.Unlock());
    EXPECT_EQ(lock.GetNumLocked(), 0);
    EXPECT_EQ(lock.GetLockID(), 0u);
    EXPECT_FALSE(lock.Unlock());  // no longer the owner

    // Free for another thread now.
    std::thread t([&] {
        EXPECT_TRUE(lock.Lock());
        EXPECT_TRUE(lock.Unlock());
    });
    t.join();
}

TEST(LockObject, UnlockByNonOwnerFailsAndWaiterStaysBlocked) {
    LockObject lock(1, nullptr, "TestLock", 0xFFFFFFFF, 0, 0);
    ASSERT_TRUE(lock.Lock());

    std::atomic<bool> waiterGot{false};
    std::thread waiter([&] {
        EXPECT_TRUE(lock.Lock());
        waiterGot = true;
        EXPECT_TRUE(lock.Unlock());
    });
    // Wait until the waiter is inside Lock.
    (void)testsupport::WaitFor([&] { return lock.GetWaitingThread() != 0; }, 10000);
    const uint32_t waiting = lock.GetWaitingThread();
    EXPECT_NE(waiting, 0u);

    bool strangerUnlock = true;
    std::thread stranger([&] { strangerUnlock = lock.Unlock(); });
    stranger.join();
    EXPECT_FALSE(strangerUnlock);
    // Still ours, and the waiter still waits for it.
    EXPECT_TRUE(lock.IsLockedByCurrentThread());
    EXPECT_EQ(lock.GetWaitingThread(), waiting);
    EXPECT_FALSE(waiterGot.load());

    EXPECT_TRUE(lock.Unlock());
    waiter.join();
    EXPECT_TRUE(waiterGot.load());
    EXPECT_EQ(lock.GetWaitingThread(), 0u);
}

TEST(LockObject, IsLockedByCurrentThreadOnlyForTheOwner) {
    LockObject lock(1, nullptr, "TestLock", 0xFFFFFFFF, 0, 0);
    auto other = [&] {
        bool r = true;
        std::thread t([&] { r = lock.IsLockedByCurrentThread(); });
        t.join();
        return r;
    };
    EXPECT_FALSE(lock.IsLockedByCurrentThread());
    EXPECT_FALSE(other());
    lock.Lock();
    EXPECT_TRUE(lock.IsLockedByCurrentThread());
    EXPECT_FALSE(other());
    lock.Unlock();
    EXPECT_FALSE(lock.IsLockedByCurrentThread());
}

TEST(LockObject, StoredNameIsPrefixedAndCutTo31Characters) {
    const struct {
        std::string given;
        std::string stored;
    } cases[] = {
        {"", ""},
        {"StdObjectLock", "Global\\StdObjectLock"},
        {std::string(24, 'a'), "Global\\" + std::string(24, 'a')},
        {std::string(25, 'b'), "Global\\" + std::string(24, 'b')},
        {std::string(40, 'c'), "Global\\" + std::string(24, 'c')},
    };
    for (const auto& c : cases) {
        LockObject lock(1, nullptr, c.given.c_str(), 0xFFFFFFFF, -1, 0, 0, -1, -1);
        EXPECT_EQ(std::string(lock.GetLockName()), c.stored) << c.given;
        EXPECT_LE(std::strlen(lock.GetLockName()), 31u);
        EXPECT_EQ(lock.GetLockType(), LockObject::TYPE_CRITICAL_SECTION);
    }
    LockObject unnamed(1, nullptr, nullptr, 0xFFFFFFFF, 0, 0);
    EXPECT_STREQ(unnamed.GetLockName(), "");
}

TEST(LockObject, DestroyingAFreeLockTwiceIsHarmless) {
    alignas(LockObject) unsigned char storage[sizeof(LockObject)];
    auto* lock = new (storage) LockObject(1, nullptr, "Twice", 0xFFFFFFFF, 0, 0);
    lock->Lock();
    lock->Unlock();
    lock->~LockObject();
    EXPECT_EQ(lock->GetLockType(), LockObject::TYPE_NONE);
    lock->~LockObject();
    EXPECT_EQ(lock->GetLockType(), LockObject::TYPE_NONE);
}

TEST(LockObjectDeath, InvalidUsageIsFatal) {
    EXPECT_EXIT(LockObject(3, nullptr, "Bad", 0xFFFFFFFF, 0, 0),
                ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF), "");
}

TEST(LockObjectDeath, DestroyingAHeldLockIsFatal) {
    EXPECT_EXIT(
        {
            LockObject* lock = MakeLock("Held");
            lock->Lock();
            delete lock;
        },
        ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF), "");
}

TEST(CSync, CriticalSectionIsRecursiveAndScopedLockReleases) {
    CSyncCriticalSect cs;
    {
        CSyncLock outer(&cs);
        CSyncLock inner(&cs);  // same thread enters again
        EXPECT_TRUE(inner.IsHeld());
        inner.Unlock();
        EXPECT_FALSE(inner.IsHeld());
        inner.Unlock();  // not held: nothing
        outer.Lock();    // held: nothing
    }
    // Both released: another thread can take it.
    std::thread t([&] {
        CSyncLock l(&cs);
        EXPECT_TRUE(l.IsHeld());
    });
    t.join();
}

TEST(CSync, ScopedLockExcludesOtherThreads) {
    CSyncCriticalSect cs;
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            CSyncLock l(&cs);
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 20000);
}

}  // namespace

namespace {

// Usage 2: a node-wide mutex under the stored name, with the same owner rules.
TEST(LockObjectNamedMutex, ExcludesOtherHoldersAndTimesOut) {
    LockObject a(2, nullptr, "NodeWide", 0xFFFFFFFF, 0, 0);
    EXPECT_EQ(a.GetLockType(), LockObject::TYPE_MUTEX);
    EXPECT_STREQ(a.GetLockName(), "Global\\NodeWide");
    ASSERT_TRUE(a.Lock());
    EXPECT_FALSE(a.Lock());
    EXPECT_EQ(a.GetNumLocked(), 1);

    // A second lock object over the same name waits with its time-out.
    LockObject b(2, nullptr, "NodeWide", 100, 0, 0);
    bool got = true;
    std::thread t([&] { got = b.Lock(); });
    t.join();
    EXPECT_FALSE(got);
    EXPECT_TRUE(a.Unlock());
    std::thread t2([&] {
        EXPECT_TRUE(b.Lock());
        EXPECT_TRUE(b.Unlock());
    });
    t2.join();
}

}  // namespace
