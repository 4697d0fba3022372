#include "platform/event.h"

#include "platform/clock.h"

#include "platform/lasterror.h"

namespace plat {

Event::Event(bool manualReset, bool initialState) : manual_(manualReset), set_(initialState) {}

void Event::Set() {
    // Notified under the lock: a waiter that wakes may destroy the event at once.
    std::lock_guard<std::mutex> lk(mu_);
    set_ = true;
    if (manual_)
        cv_.notify_all();
    else
        cv_.notify_one();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lk(mu_);
    set_ = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> lk(mu_);
    return set_;
}

uint32_t Event::Wait(uint32_t ms) {
    int64_t deadline = ms == INFINITE ? kNoDeadline : DeadlineAfterMs(ms);
    std::unique_lock<std::mutex> lk(mu_);
    if (!WaitUntil(cv_, lk, deadline, [this] { return set_; })) return WAIT_TIMEOUT;
    if (!manual_) set_ = false;
    return WAIT_OBJECT_0;
}

}  // namespace plat
