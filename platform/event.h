#pragma once
// In-process objects a thread waits on: events (manual or auto reset) and counting
// semaphores. A thread waits on one with Wait, or on several at once with WaitAny. Every
// time-out runs on the current clock (platform/clock.h): a test's fake clock moves it.
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace plat {

namespace detail {
struct AnyWaiter;
}

// What Event and Semaphore share: the lock, the waiting threads and the waits. Not
// polymorphic: a signal is taken by the one rule of each kind below.
class Waitable {
public:
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;

    // Waits up to ms milliseconds (INFINITE: no limit). WAIT_OBJECT_0 once the object is
    // signalled (an auto-reset event's signal or one semaphore count is then taken), else
    // WAIT_TIMEOUT.
    uint32_t Wait(uint32_t ms);

protected:
    enum class Kind { kManualEvent, kAutoEvent, kSemaphore };
    Waitable(Kind kind, uint32_t count) : kind_(kind), count_(count) {}
    ~Waitable() = default;

    // With mu_ held: true when signalled, taking what a successful wait takes (an
    // auto-reset event's signal, one semaphore count).
    bool TryTakeLocked();
    // With mu_ held, after the state changed: wakes the threads waiting on this object.
    void WakeLocked();

    mutable std::mutex mu_;
    const Kind kind_;
    uint32_t count_;  // mu_: an event's state (0 or 1), or a semaphore's count

private:
    friend uint32_t WaitAny(std::initializer_list<Waitable*> objects, uint32_t ms);
    std::condition_variable cv_;
    std::vector<detail::AnyWaiter*> anyWaiters_;  // mu_
};

// Waits up to ms milliseconds (INFINITE: no limit) until one of the objects is signalled.
// Returns the index of the first signalled one in the list (WAIT_OBJECT_0 + index; only
// that one is taken), or WAIT_TIMEOUT. Null entries are skipped but keep their index.
// The objects must outlive the call.
uint32_t WaitAny(std::initializer_list<Waitable*> objects, uint32_t ms);

class Event final : public Waitable {
public:
    explicit Event(bool manualReset = true, bool initialState = false);

    void Set();
    void Reset();
    // True when set, without taking an auto-reset signal.
    bool IsSet() const;
};

// A counting semaphore: Wait takes one count.
class Semaphore final : public Waitable {
public:
    Semaphore(uint32_t initial, uint32_t maximum);

    // Adds n counts. false (nothing added) when that would pass the maximum.
    [[nodiscard]] bool Release(uint32_t n = 1);
    // Takes one count without waiting; false when none is left.
    [[nodiscard]] bool TryAcquire();

private:
    const uint32_t maximum_;
};

}  // namespace plat
