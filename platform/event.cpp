#include "platform/event.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/lasterror.h"

namespace plat {

namespace detail {
// One thread in WaitAny: every object it waits on points here while it waits.
struct AnyWaiter {
    std::mutex mu;
    std::condition_variable cv;
    bool woken = false;
};
}  // namespace detail

namespace {
int64_t DeadlineOf(uint32_t ms) { return ms == INFINITE ? kNoDeadline : DeadlineAfterMs(ms); }
}  // namespace

void Waitable::WakeLocked() {
    cv_.notify_all();
    // Lock order: an object's mu_, then a waiter's mu; WaitAny never holds a waiter's mu
    // while it takes an object's.
    for (detail::AnyWaiter* w : anyWaiters_) {
        std::lock_guard<std::mutex> lk(w->mu);
        w->woken = true;
        w->cv.notify_all();
    }
}

uint32_t Waitable::Wait(uint32_t ms) {
    int64_t deadline = DeadlineOf(ms);
    std::unique_lock<std::mutex> lk(mu_);
    return WaitUntil(cv_, lk, deadline, [this] { return TryTakeLocked(); }) ? WAIT_OBJECT_0
                                                                          : WAIT_TIMEOUT;
}

uint32_t WaitAny(std::initializer_list<Waitable*> objects, uint32_t ms) {
    const int64_t deadline = DeadlineOf(ms);
    detail::AnyWaiter waiter;
    // Registered before the first look, so a signal between a look and the wait still
    // wakes this thread.
    for (Waitable* o : objects) {
        if (!o) continue;
        std::lock_guard<std::mutex> lk(o->mu_);
        o->anyWaiters_.push_back(&waiter);
    }
    auto look = [&]() -> uint32_t {
        uint32_t i = 0;
        for (Waitable* o : objects) {
            if (o) {
                std::lock_guard<std::mutex> lk(o->mu_);
                if (o->TryTakeLocked()) return WAIT_OBJECT_0 + i;
            }
            ++i;
        }
        return WAIT_TIMEOUT;
    };
    uint32_t result;
    for (;;) {
        result = look();
        if (result != WAIT_TIMEOUT) break;
        std::unique_lock<std::mutex> lk(waiter.mu);
        bool woken = WaitUntil(waiter.cv, lk, deadline, [&] { return waiter.woken; });
        waiter.woken = false;
        if (!woken) {
            lk.unlock();
            result = look();  // a signal may have raced with the time-out
            break;
        }
    }
    for (Waitable* o : objects) {
        if (!o) continue;
        std::lock_guard<std::mutex> lk(o->mu_);
        auto& v = o->anyWaiters_;
        v.erase(std::remove(v.begin(), v.end(), &waiter), v.end());
    }
    return result;
}

bool Waitable::TryTakeLocked() {
    if (count_ == 0) return false;
    if (kind_ != Kind::kManualEvent) --count_;
    return true;
}

Event::Event(bool manualReset, bool initialState)
    : Waitable(manualReset ? Kind::kManualEvent : Kind::kAutoEvent, initialState ? 1 : 0) {}

void Event::Set() {
    // Woken under the lock: a waiter that wakes may destroy the event at once.
    std::lock_guard<std::mutex> lk(mu_);
    count_ = 1;
    WakeLocked();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lk(mu_);
    count_ = 0;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> lk(mu_);
    return count_ != 0;
}

Semaphore::Semaphore(uint32_t initial, uint32_t maximum)
    : Waitable(Kind::kSemaphore, std::min(initial, maximum)), maximum_(maximum) {}

bool Semaphore::Release(uint32_t n) {
    std::lock_guard<std::mutex> lk(mu_);
    if (n > maximum_ - count_) return false;
    count_ += n;
    WakeLocked();
    return true;
}

bool Semaphore::TryAcquire() {
    std::lock_guard<std::mutex> lk(mu_);
    return TryTakeLocked();
}


}  // namespace plat
