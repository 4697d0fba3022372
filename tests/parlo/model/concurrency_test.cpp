// One thread churns calls, devices, connections and monitors as the application thread
// does; another lists and dumps them the way the console does, under the same locks.
// Meant for the tsan preset; it also runs (as a smoke test) everywhere else.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "nuvlib/lockguard.h"
#include "tests/parlo/model/model_fixture.h"
#include "tests/support/wait.h"

namespace modeltest {
namespace {

using ModelConcurrency = ModelTest;

TEST_F(ModelConcurrency, ConsoleWalksWhileTheApplicationChurns) {
    ports.quiet = true;
    ports.AddSession(10, "watch", 24, 0);
    std::atomic<bool> done{false};
    std::atomic<int> walks{0};
    std::atomic<int> rounds{0};

    std::thread console([&] {
        while (!done.load() || walks.load() < 3) {
            size_t text = 0;
            {
                LockGuard<LockObject> callLock(Call::GetCallLock());
                LockGuard<LockObject> serverLock(ports.ServerLock());
                for (int b = 0; b < Call::kHashBuckets; ++b)
                    for (Call* c = Call::FirstInBucket(b); c != nullptr; c = c->NextInBucket())
                        text += c->GetListEntry().size() + c->GetDumpString().size();
            }
            {
                LockGuard<LockObject> serverLock(ports.ServerLock());
                for (int b = 0; b < CTICSTADevice::kHashBuckets; ++b)
                    for (CTICSTADevice* d = FirstDeviceInBucket(b); d != nullptr;
                         d = NextDeviceInBucket(d))
                        text += d->GetListEntry().size() + d->GetDumpString().size();
                for (uint32_t id = 1; id < 64; ++id)
                    if (CTICSTAMonitor* m = CTICSTAMonitor::FindMonitor(id))
                        text += m->GetListEntry().size();
            }
            EXPECT_GT(text + 1, 0u);
            walks.fetch_add(1);
            // The locks are not fair: let the churn make a round before the next walk, or
            // a console that takes them again at once starves it.
            const int seen = rounds.load();
            testsupport::WaitFor([&] { return done.load() || rounds.load() != seen; });
        }
    });

    for (int round = 0; round < 300; ++round) {
        const std::string phone = std::to_string(1000 + round % 17);
        const std::string trunk = std::to_string(9000 + round % 5);
        Call* call = NewCall(5000, static_cast<uint32_t>(round), phone.c_str());
        CTICSTADevice* d = NewDevice(5000, 0, phone.c_str());
        CTICSTADevice* t = NewDevice(5000, 70, trunk.c_str());
        CTICSTAMonitor* m = CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 10, t);
        CTICSTAConnection::Alloc(d, call, 3, 1, 0, phone.c_str(), "churn");
        CTICSTAConnection::Alloc(t, call, 2, 2, 0, trunk.c_str(), "churn");
        if (round % 3 == 0) CTICSTAMonitor::Free(m);
        if (round % 2 == 0) Call::Free(call, true);
        rounds.fetch_add(1);
    }
    Call::RemovePeripheralCalls(0xFFFFFFFF);
    done.store(true);
    console.join();
    EXPECT_GE(walks.load(), 3);
    EXPECT_EQ(Call::FirstInBucket(0), nullptr);
}

}  // namespace
}  // namespace modeltest
