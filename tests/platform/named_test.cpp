// Node-wide named objects: sections and mutexes shared between processes, their lifetime
// bound to the processes that hold them, and the abandoned-owner rule.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/named.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

using namespace plat;
using testsupport::ForkChild;
using testsupport::WaitChild;

namespace {

// A one-way signal between parent and child.
class Pipe {
public:
    Pipe() { EXPECT_EQ(pipe(fds_), 0); }
    ~Pipe() {
        close(fds_[0]);
        close(fds_[1]);
    }
    void Signal() { (void)!write(fds_[1], "x", 1); }
    bool Await() {
        char c;
        return read(fds_[0], &c, 1) == 1;
    }

private:
    int fds_[2];
};

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

TEST(NamedObjects, NamesMapIntoTheNamespace) {
    std::string ns = testsupport::Namespace();
    EXPECT_EQ(MapObjectName("Global\\MBUF Limit Table"), ns + ".Global_MBUF Limit Table");
    EXPECT_EQ(MapObjectName("Global\\a/b"), ns + ".Global_a_b");
    EXPECT_EQ(MapSharedMemoryName("Global\\IMT.PID:7.PORT:9"), "/" + ns + ".Global_IMT.PID:7.PORT:9");
}

TEST(NamedObjects, SectionIsSharedByHandlesAndProcesses) {
    SharedSection first;
    ASSERT_TRUE(first.Create("Global\\Status", 64));
    EXPECT_FALSE(first.Existed());
    EXPECT_EQ(first.Size(), 64u);
    auto* bytes = static_cast<unsigned char*>(first.Data());
    for (size_t i = 0; i < 64; ++i) ASSERT_EQ(bytes[i], 0) << i;

    // A second creator finds it, keeps its first size and sees the same bytes.
    SharedSection second;
    ASSERT_TRUE(second.Create("Global\\Status", 128));
    EXPECT_TRUE(second.Existed());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(second.Size(), 64u);
    std::strcpy(static_cast<char*>(first.Data()), "parent");
    EXPECT_STREQ(static_cast<char*>(second.Data()), "parent");

    pid_t pid = ForkChild([] {
        SharedSection s;
        if (!s.Open("Global\\Status") || !s.Existed()) return 1;
        if (std::strcmp(static_cast<char*>(s.Data()), "parent") != 0) return 2;
        std::strcpy(static_cast<char*>(s.Data()), "child");
        return 0;
    });
    ASSERT_EQ(ExitCodeOf(WaitChild(pid)), 0);
    EXPECT_STREQ(static_cast<char*>(second.Data()), "child");
}

TEST(NamedObjects, SectionLivesWhileSomeProcessHoldsIt) {
    SharedSection s;
    EXPECT_FALSE(s.Open("Global\\Life"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // A creator that dies while another process holds the section: the section stays.
    {
        Pipe created, opened;
        pid_t pid = ForkChild([&] {
            SharedSection mine;
            if (!mine.Create("Global\\Life", 32)) return 1;
            std::strcpy(static_cast<char*>(mine.Data()), "kept");
            created.Signal();
            opened.Await();
            _exit(0);  // dies without closing
        });
        ASSERT_TRUE(created.Await());
        ASSERT_TRUE(s.Open("Global\\Life"));
        opened.Signal();
        ASSERT_EQ(ExitCodeOf(WaitChild(pid)), 0);
        SharedSection again;
        ASSERT_TRUE(again.Create("Global\\Life", 32));
        EXPECT_TRUE(again.Existed());
        EXPECT_STREQ(static_cast<char*>(again.Data()), "kept");
    }
    // Once the last holder is gone, the next creator starts afresh; so it does after a
    // creator that died with nobody else holding it.
    s.Close();
    pid_t pid = ForkChild([] {
        SharedSection mine;
        if (!mine.Create("Global\\Life", 16)) return 1;
        std::strcpy(static_cast<char*>(mine.Data()), "stale");
        _exit(0);  // dies without closing
    });
    ASSERT_EQ(ExitCodeOf(WaitChild(pid)), 0);
    EXPECT_FALSE(s.Open("Global\\Life"));
    ASSERT_TRUE(s.Create("Global\\Life", 48));
    EXPECT_FALSE(s.Existed());
    EXPECT_EQ(s.Size(), 48u);
    EXPECT_EQ(static_cast<char*>(s.Data())[0], 0);
}

TEST(NamedObjects, BadSectionRequestsFail) {
    SharedSection s;
    EXPECT_FALSE(s.Create("Global\\Zero", 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(s.Create("Global\\" + std::string(300, 'n'), 16));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_FALSE(s.IsOpen());
}

TEST(NamedMutexes, DeadOwnerMeansAbandonedWhichCountsAsAcquired) {
    NamedMutex m;
    ASSERT_TRUE(m.Create("Global\\MBUF Limit Table Mutex"));
    EXPECT_FALSE(m.Existed());
    Pipe locked;
    pid_t pid = ForkChild([&] {
        NamedMutex mine;
        if (!mine.Create("Global\\MBUF Limit Table Mutex") || !mine.Existed()) return 1;
        if (mine.Lock(INFINITE) != WAIT_OBJECT_0) return 2;
        locked.Signal();
        _exit(0);  // dies holding it
    });
    ASSERT_TRUE(locked.Await());
    ASSERT_EQ(ExitCodeOf(WaitChild(pid)), 0);
    EXPECT_EQ(m.Lock(5000), WAIT_ABANDONED);
    EXPECT_TRUE(m.IsOwnedByCurrentThread());
    EXPECT_TRUE(m.Unlock());
    EXPECT_EQ(m.Lock(5000), WAIT_OBJECT_0);
    EXPECT_TRUE(m.Unlock());
}

TEST(NamedMutexes, AMutexNobodyHoldsStartsAfresh) {
    pid_t pid = ForkChild([] {
        NamedMutex mine;
        if (!mine.Create("Global\\Fresh")) return 1;
        _exit(mine.Lock(INFINITE) == WAIT_OBJECT_0 ? 0 : 2);  // dies holding it
    });
    ASSERT_EQ(ExitCodeOf(WaitChild(pid)), 0);
    EXPECT_FALSE(NamedMutexExists("Global\\Fresh"));
    NamedMutex m;
    ASSERT_TRUE(m.Create("Global\\Fresh"));
    EXPECT_FALSE(m.Existed());
    EXPECT_EQ(m.Lock(1000), WAIT_OBJECT_0);
}

TEST(NamedMutexes, ExcludesOtherProcessesWithTimeOut) {
    NamedMutex m;
    ASSERT_TRUE(m.Create("Global\\TORVStatusMutex"));
    ASSERT_EQ(m.Lock(INFINITE), WAIT_OBJECT_0);
    auto tryInChild = [](uint32_t timeoutMs) {
        return ForkChild([timeoutMs] {
            NamedMutex theirs;
            if (!theirs.Create("Global\\TORVStatusMutex")) return 100;
            // Real time on purpose: no clock is installed, the time-out is the system's.
            const testsupport::RealTimer took;
            uint32_t rc = theirs.Lock(timeoutMs);
            if (rc == WAIT_TIMEOUT) return took.ElapsedMs() >= timeoutMs ? 1 : 101;
            return rc == WAIT_OBJECT_0 ? 0 : 102;
        });
    };
    EXPECT_EQ(ExitCodeOf(WaitChild(tryInChild(150))), 1);
    pid_t waiter = tryInChild(10000);
    ASSERT_TRUE(m.Unlock());  // the child gets it, whether it waits already or not yet
    EXPECT_EQ(ExitCodeOf(WaitChild(waiter)), 0);
}

// The time-out follows the installed clock, whether another process or another thread of
// this one holds the mutex: a pump that passes only plain sleeps leaves it alone (the holder
// may yet let go), moving time to it ends it, and a release in time is taken while the clock
// stands still.
TEST(NamedMutexes, TimeOutFollowsTheInstalledClock) {
    FakeClock clock;
    ScopedClock scoped(&clock);
    NamedMutex m;
    ASSERT_TRUE(m.Create("Global\\Clocked"));
    auto timesOutWhenMoved = [&] {
        uint32_t rc = 0;
        std::thread waiter([&] { rc = m.Lock(5000); });
        EXPECT_TRUE(clock.AwaitSleepers(1));
        EXPECT_EQ(clock.AdvanceToNextSleep(100), -1);
        EXPECT_EQ(clock.AdvanceToNextDeadline(), 5000);
        waiter.join();
        return rc;
    };

    Pipe held, letGo;
    pid_t pid = ForkChild([&] {
        NamedMutex theirs;
        if (!theirs.Create("Global\\Clocked") || theirs.Lock(INFINITE) != WAIT_OBJECT_0) return 1;
        held.Signal();
        letGo.Await();
        return theirs.Unlock() ? 0 : 2;
    });
    ASSERT_TRUE(held.Await());
    EXPECT_EQ(timesOutWhenMoved(), WAIT_TIMEOUT);
    std::thread releaser([&] {
        EXPECT_TRUE(clock.AwaitSleepers(1));
        letGo.Signal();
    });
    EXPECT_EQ(m.Lock(5000), WAIT_OBJECT_0);  // from here on this thread holds it
    releaser.join();
    EXPECT_EQ(ExitCodeOf(WaitChild(pid)), 0);

    EXPECT_EQ(timesOutWhenMoved(), WAIT_TIMEOUT);
    EXPECT_TRUE(m.Unlock());
}

TEST(NamedMutexes, OwnerReentersOtherThreadsWait) {
    NamedMutex m, other;
    ASSERT_TRUE(m.Create("Global\\Reentry", true));  // created owned
    EXPECT_TRUE(m.IsOwnedByCurrentThread());
    EXPECT_EQ(m.Lock(0), WAIT_OBJECT_0);
    // Another handle of this process to the same mutex: the same owner.
    ASSERT_TRUE(other.Create("Global\\Reentry", true));
    EXPECT_TRUE(other.Existed());
    EXPECT_EQ(other.Lock(0), WAIT_OBJECT_0);

    auto fromOtherThread = [&](uint32_t timeoutMs, bool* unlockRefused) {
        uint32_t rc = 0;
        std::thread([&] {
            *unlockRefused = !m.Unlock() && GetLastError() == 288;
            rc = m.Lock(timeoutMs);
            if (rc == WAIT_OBJECT_0) m.Unlock();
        }).join();
        return rc;
    };
    bool refused = false;
    EXPECT_EQ(fromOtherThread(50, &refused), WAIT_TIMEOUT);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(m.Unlock());
    EXPECT_TRUE(other.Unlock());
    EXPECT_EQ(fromOtherThread(50, &refused), WAIT_TIMEOUT);  // one count left
    EXPECT_TRUE(m.Unlock());
    EXPECT_FALSE(m.IsOwnedByCurrentThread());
    EXPECT_EQ(fromOtherThread(1000, &refused), WAIT_OBJECT_0);
    EXPECT_FALSE(m.Unlock());
}

TEST(NamedMutexes, ExistsOnlyWhileItsHolderLives) {
    const std::string name = "Global\\parlo@3";
    EXPECT_FALSE(NamedMutexExists(name));
    NamedMutex probe;
    EXPECT_FALSE(probe.Open(name));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    Pipe created, checked;
    pid_t pid = ForkChild([&] {
        NamedMutex mine;
        if (!mine.Create(name)) return 1;
        created.Signal();
        checked.Await();
        _exit(0);  // dies holding it open
    });
    ASSERT_TRUE(created.Await());
    EXPECT_TRUE(NamedMutexExists(name));
    ASSERT_TRUE(probe.Open(name));
    probe.Close();
    checked.Signal();
    ASSERT_EQ(ExitCodeOf(WaitChild(pid)), 0);
    EXPECT_FALSE(NamedMutexExists(name));
    EXPECT_FALSE(probe.Open(name));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // Held by this process: exists until the last handle closes.
    ASSERT_TRUE(probe.Create(name));
    EXPECT_TRUE(NamedMutexExists(name));
    probe.Close();
    EXPECT_FALSE(NamedMutexExists(name));
}

TEST(NamedMarker, SeenByAnotherProcess) {
    NamedMarkerEvent ev("Global\\NMReadyToConnectEvent42");
    ASSERT_TRUE(ev.Reset());
    EXPECT_FALSE(ev.IsSet());
    pid_t pid = ForkChild([] {
        NamedMarkerEvent mine("Global\\NMReadyToConnectEvent42");
        return mine.Wait(10000) == WAIT_OBJECT_0 ? 0 : 1;
    });
    ASSERT_TRUE(ev.Set());  // seen, whether the child waits already or not yet
    EXPECT_EQ(ExitCodeOf(WaitChild(pid)), 0);
    EXPECT_EQ(ev.Wait(0), WAIT_OBJECT_0);
    ASSERT_TRUE(ev.Reset());
    EXPECT_EQ(ev.Wait(20), WAIT_TIMEOUT);
}
