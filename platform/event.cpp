#include "platform/event.h"

#include <chrono>

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
    std::unique_lock<std::mutex> lk(mu_);
    if (ms == INFINITE) {
        cv_.wait(lk, [this] { return set_; });
    } else if (!cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return set_; })) {
        return WAIT_TIMEOUT;
    }
    if (!manual_) set_ = false;
    return WAIT_OBJECT_0;
}

}  // namespace plat
