#pragma once
// Waiting in EMT tests for what other threads do: a condition with a generous real-time
// bound, the references a thread inside EMT holds on a handle, and a connection started on
// another thread while the test moves a fake clock.
#include <chrono>
#include <functional>
#include <future>

#include "nuvlib/emt/emt.h"
#include "nuvlib/emt/emtpriv.h"
#include "tests/support/wait.h"

namespace testsupport {

// References held on the handle by threads inside EMT; -1 once the handle is gone.
inline int32_t Refs(uint32_t handle) {
    emt::EmtControlBlock* cb = emt::LockBlock(handle);
    if (!cb) return -1;
    int32_t n = cb->GetRefCount();
    emt::UnlockBlock(cb);
    return n;
}

inline bool Gone(uint32_t handle) { return EMTGetConnectionError(handle) == EMT_E_BAD_HANDLE; }

// Runs `call` on a thread of its own; the test takes the result with Finished.
class Background {
public:
    explicit Background(std::function<uint32_t()> call)
        : result_(std::async(std::launch::async, std::move(call))) {}
    bool Done() const {
        return result_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    // The call's result, waiting (real time) at most ms; 0xDEAD0000 when it did not end.
    uint32_t Finished(int ms = 20000) {
        if (result_.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready)
            return 0xDEAD0000;
        return result_.get();
    }

private:
    std::future<uint32_t> result_;
};

}  // namespace testsupport
