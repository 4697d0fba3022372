#pragma once
// An in-process event object: manual-reset (stays set until Reset) or auto-reset (one
// successful Wait consumes the signal).
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace plat {

class Event {
public:
    explicit Event(bool manualReset = true, bool initialState = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits up to ms milliseconds (INFINITE: no limit) on the current clock (a test's fake
    // clock moves it).
    // Returns WAIT_OBJECT_0 or WAIT_TIMEOUT.
    uint32_t Wait(uint32_t ms);
    // True when set, without consuming an auto-reset signal.
    bool IsSet() const;

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool manual_;
    bool set_;
};

}  // namespace plat
