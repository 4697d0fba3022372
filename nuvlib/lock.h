#pragma once
// LockObject: the named, non-recursive lock of the process. A second Lock by the owner fails
// at once instead of nesting, only the owner may unlock, and destroying a held lock is fatal.
// CSyncObject / CSyncCriticalSect / CSyncLock: a minimal recursive lock with a scoped holder.
#include <atomic>
#include <cstdint>
#include <mutex>

namespace plat {
class NamedMutex;
}

class LockObject {
public:
    enum Usage { USAGE_CRITICAL_SECTION = 1, USAGE_NAMED_MUTEX = 2 };
    enum Type { TYPE_NONE = -1, TYPE_MUTEX = 1, TYPE_CRITICAL_SECTION = 2 };
    static constexpr uint32_t kNameSize = 32;

    // securityAttributes is accepted for the callers' sake; the two flags only matter to a
    // lock-debugging facility that is never switched on.
    LockObject(int usage, void* securityAttributes, const char* name, uint32_t timeoutMs,
               int deadlockCheck, int tableFlag);
    LockObject(int usage, void* securityAttributes, const char* name, uint32_t timeoutMs,
               int deadlockCheck, int tableFlag, int unused1, int unused2, int unused3);
    ~LockObject();
    LockObject(const LockObject&) = delete;
    LockObject& operator=(const LockObject&) = delete;

    // The argument is ignored (callers pass -1). FALSE at once when the caller already owns it.
    bool Lock(int ignored = -1);
    // FALSE, with nothing changed, when the caller is not the owner.
    bool Unlock();
    bool IsLockedByCurrentThread() const;

    const char* GetLockName() const { return m_LockName; }
    int GetLockType() const { return m_LockType; }
    uint32_t GetLockID() const { return m_LockID.load(std::memory_order_relaxed); }
    int GetNumLocked() const { return m_NumLocked.load(std::memory_order_relaxed); }
    uint32_t GetWaitingThread() const { return m_WaitingThread.load(std::memory_order_relaxed); }

private:
    void Construct(int usage, void* securityAttributes, const char* name, uint32_t timeoutMs,
                   int deadlockCheck, int tableFlag);

    int m_LockType = TYPE_NONE;
    std::mutex* m_Section = nullptr;       // type 2
    plat::NamedMutex* m_Mutex = nullptr;   // type 1
    uint32_t m_TimeOut = 0xFFFFFFFF;
    std::atomic<uint32_t> m_LockID{0};
    std::atomic<uint32_t> m_WaitingThread{0};
    [[maybe_unused]] uint32_t m_UnlockingThread = 0;
    int m_DeadlockCheck = 0;
    int m_TableFlag = 0;
    std::atomic<int> m_NumLocked{0};
    char m_LockName[kNameSize] = {};
    void* m_SecurityAttributes = nullptr;
    bool m_Reported = false;
};

// The calling thread's id as the locks record it: never 0, so 0 can mean "free".
uint32_t LockCurrentThreadId();

class CSyncObject {
public:
    virtual ~CSyncObject() = default;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

// Recursive: the same thread may enter repeatedly, leaving once per entry.
class CSyncCriticalSect : public CSyncObject {
public:
    CSyncCriticalSect() = default;
    ~CSyncCriticalSect() override = default;
    void Lock() override { m_Section.lock(); }
    void Unlock() override { m_Section.unlock(); }

private:
    std::recursive_mutex m_Section;
};

// Holds its object from construction until destruction (or an explicit Unlock).
class CSyncLock {
public:
    explicit CSyncLock(CSyncObject* object) : m_Object(object) { Lock(); }
    virtual ~CSyncLock() {
        if (m_Held) m_Object->Unlock();
    }
    CSyncLock(const CSyncLock&) = delete;
    CSyncLock& operator=(const CSyncLock&) = delete;
    virtual void Lock() {
        if (!m_Held) {
            m_Object->Lock();
            m_Held = true;
        }
    }
    virtual void Unlock() {
        if (m_Held) {
            m_Object->Unlock();
            m_Held = false;
        }
    }
    bool IsHeld() const { return m_Held; }

private:
    CSyncObject* m_Object;
    bool m_Held = false;
};
