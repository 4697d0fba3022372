#pragma once
// Waiting for what another thread or process does: a condition with a generous real-time
// bound, never a fixed delay followed by an assumption. The bound is real time on purpose:
// it must hold while a test's fake clock stands still.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

#include "platform/clock.h"

namespace testsupport {

// Real time since it was made, against a bound of limitMs: for a wait that blocks in the
// kernel between its looks (poll() on a pipe or socket), and for how long a call took.
class RealTimer {
public:
    explicit RealTimer(int64_t limitMs = 0)
        : start_(plat::SystemMonotonicNs()), end_(start_ + limitMs * 1000000) {}

    int64_t ElapsedMs() const { return (plat::SystemMonotonicNs() - start_) / 1000000; }
    bool Expired() const { return plat::SystemMonotonicNs() >= end_; }
    // What is left of the bound, rounded up to whole milliseconds, 0 once it has passed: a
    // timeout for poll().
    int LeftMs() const {
        const int64_t left = end_ - plat::SystemMonotonicNs();
        if (left <= 0) return 0;
        return static_cast<int>(std::min<int64_t>((left + 999999) / 1000000, INT32_MAX));
    }

private:
    int64_t start_;
    int64_t end_;
};

// Looks at pred every millisecond until it holds or timeoutMs pass; returns pred().
inline bool WaitFor(const std::function<bool()>& pred, int64_t timeoutMs = 20000) {
    const RealTimer bound(timeoutMs);
    while (!pred()) {
        if (bound.Expired()) return pred();
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
