#pragma once
// LockGuard: the one scoped holder of the process's non-counted locks. A LockObject does not
// nest (a second Lock by the owner fails and the first Unlock releases), so the guard takes
// the lock only when the calling thread does not hold it yet and releases only what it took.
//
// Debug builds check the lock order on every lock the guard takes: "Monitor", "Thread Lock",
// "CallLock", "RTServerConfig", "Master Session Lock", "Session Lock" must be taken in that
// order, and every other lock (the leaf locks: queues, pools, "MeterLock", ...) last and
// alone. An inversion ends the process with a fatal report naming both locks.
#include <cstddef>

namespace lockorder {
// Rank of a lock name in the order above; kLeaf for any other name.
inline constexpr int kLeaf = 100;
int RankOf(const char* name);
// Records that the calling thread took / released the named lock. NoteAcquire reports an
// inversion against the locks the thread already holds (debug builds only).
void NoteAcquire(const char* name);
void NoteRelease(const char* name);
// The text of the inversion of taking `name` while the thread holds its recorded locks, or
// null when the order is kept. The returned text lives until the thread's next call.
const char* CheckAcquire(const char* name);
#ifdef NDEBUG
inline constexpr bool kChecked = false;
#else
inline constexpr bool kChecked = true;
#endif
}  // namespace lockorder

// L is LockObject or a class derived from it; a lock with Lock(caller, timeout) and
// Unlock(caller) (CTILockObject) gets the caller text. The lock must outlive the guard.
template <class L>
class LockGuard {
public:
    explicit LockGuard(L& lock, const char* caller = nullptr) : lock_(lock), caller_(caller) {
        Acquire();
    }
    ~LockGuard() { Release(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    // Takes the lock again after Release, when the thread does not hold it.
    void Acquire() {
        if (took_ || lock_.IsLockedByCurrentThread()) return;
        if constexpr (lockorder::kChecked) lockorder::NoteAcquire(lock_.GetLockName());
        if constexpr (requires { lock_.Lock(caller_, -1); }) {
            took_ = caller_ ? lock_.Lock(caller_, -1) : lock_.Lock();
        } else {
            took_ = lock_.Lock();
        }
        if constexpr (lockorder::kChecked)
            if (!took_) lockorder::NoteRelease(lock_.GetLockName());
    }
    // Releases early what this guard took; nothing otherwise.
    void Release() {
        if (!took_) return;
        took_ = false;
        if constexpr (requires { lock_.Unlock(caller_); }) {
            if (caller_)
                (void)lock_.Unlock(caller_);
            else
                (void)lock_.Unlock();
        } else {
            (void)lock_.Unlock();
        }
        if constexpr (lockorder::kChecked) lockorder::NoteRelease(lock_.GetLockName());
    }
    // True when this guard took the lock (false when the thread held it already).
    bool Took() const { return took_; }

private:
    L& lock_;
    const char* caller_;
    bool took_ = false;
};
