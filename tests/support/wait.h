#pragma once
// Waiting for what another thread or process does: a condition with a generous real-time
// bound, never a fixed delay followed by an assumption. The bound is real time on purpose:
// it must hold while a test's fake clock stands still.
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

#include "platform/clock.h"

namespace testsupport {

// Looks at pred every millisecond until it holds or timeoutMs pass; returns pred().
inline bool WaitFor(const std::function<bool()>& pred, int64_t timeoutMs = 20000) {
    const int64_t end = plat::SystemMonotonicNs() + timeoutMs * 1000000;
    while (!pred()) {
        if (plat::SystemMonotonicNs() >= end) return pred();
        plat::SystemSleepMs(1);  // real time on purpose: a fake clock may stand still
    }
    return true;
}

// The scheduler state of thread tid of this process ('R' running, 'S' sleeping in the
// kernel, ...), or 0 when it is gone.
inline char ThreadState(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // "tid (comm) S ...": the command may hold spaces and parentheses, the state follows
    // the last ')'.
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return 0;
    return stat[close + 2];
}

// Waits until thread tid sleeps in the kernel (blocked in a call or on a lock).
inline bool WaitUntilBlocked(pid_t tid, int64_t timeoutMs = 10000) {
    return WaitFor([&] { return ThreadState(tid) == 'S'; }, timeoutMs);
}

}  // namespace testsupport
