#pragma once
// CTILockObject: the server's lock. A LockObject (not counted: a second Lock by the owner
// fails at once and the first Unlock releases) that measures how long a thread waited for
// it and held it, remembers who took it, and traces a "Long Lock Warning" whenever either
// time exceeds the registry's MaxLockTimeout. Take it through LockGuard (nuvlib/lockguard.h).
#include <atomic>
#include <cstdint>

#include "nuvlib/lock.h"

class CTIRegistry;

class CTILockObject : public LockObject {
public:
    static constexpr size_t kCallerSize = 512;

    CTILockObject(int usage, void* securityAttributes, const char* name, uint32_t timeoutMs,
                  int flag, int deadlockWatch);
    CTILockObject(int usage, void* securityAttributes, const char* name, uint32_t timeoutMs,
                  int flag, int deadlockWatch, int sessionID);

    // TRUE when the lock was taken; FALSE at once when the calling thread holds it already,
    // or after `timeout` ms (-1: no limit). `caller` is copied (kept for the warnings).
    [[nodiscard]] bool Lock(const char* caller, int timeout);
    [[nodiscard]] bool Lock() { return Lock("CTILockObject::Lock", -1); }
    // FALSE unless the calling thread owns the lock.
    [[nodiscard]] bool Unlock(const char* caller);
    [[nodiscard]] bool Unlock() { return Unlock("CTILockObject::Unlock"); }

    void StampTicks();
    // Milliseconds between the two stamps (0 when the previous one is 0), right across the
    // 32-bit wrap of the tick count.
    uint32_t GetElapsedTicks() const;
    // The caller text of the last Lock; empty after an Unlock.
    const char* GetCaller() const { return m_Caller; }
    int GetSessionID() const { return m_SessionID; }

    // The registry whose MaxLockTimeout every lock reads, looked up at each lock (a lock may
    // outlive a server); null: no warnings. The server sets it at start, tests set theirs.
    static void SetRegistry(CTIRegistry* registry);

private:
    static CTIRegistry* Registry();

    // Diagnostics only: a waiting thread may stamp them while another holds the lock.
    std::atomic<uint32_t> m_PreviousTicks{0};
    std::atomic<uint32_t> m_CurrentTicks{0};
    int m_SessionID = -1;
    char m_Caller[kCallerSize] = {};
};
