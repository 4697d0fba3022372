#include "parlo/common/ctilock.h"

#include <cstring>

#include "nuvlib/ems.h"
#include "parlo/common/ctiregistry.h"
#include "platform/clock.h"

CTILockObject::CTILockObject(int usage, void* securityAttributes, const char* name,
                             uint32_t timeoutMs, int flag, int deadlockWatch)
    : LockObject(usage, securityAttributes, name, timeoutMs, flag, deadlockWatch) {}

CTILockObject::CTILockObject(int usage, void* securityAttributes, const char* name,
                             uint32_t timeoutMs, int flag, int deadlockWatch, int sessionID)
    : LockObject(usage, securityAttributes, name, timeoutMs, flag, deadlockWatch),
      m_SessionID(sessionID) {}

void CTILockObject::StampTicks() {
    m_PreviousTicks.store(m_CurrentTicks.load(std::memory_order_relaxed), std::memory_order_relaxed);
    m_CurrentTicks.store(plat::GetTickCount(), std::memory_order_relaxed);
}

uint32_t CTILockObject::GetElapsedTicks() const {
    const uint32_t previous = m_PreviousTicks.load(std::memory_order_relaxed);
    if (previous == 0) return 0;
    return m_CurrentTicks.load(std::memory_order_relaxed) - previous;  // unsigned: across the wrap
}

namespace {
std::atomic<CTIRegistry*> g_Registry{nullptr};
}  // namespace

CTIRegistry* CTILockObject::Registry() { return g_Registry.load(std::memory_order_acquire); }

void CTILockObject::SetRegistry(CTIRegistry* registry) {
    g_Registry.store(registry, std::memory_order_release);
}

bool CTILockObject::Lock(const char* caller, int timeout) {
    // The wait is measured in locals: the stamps belong to the holder, and a waiter that
    // wrote them would spoil the holder's hold time (and the holder's clearing its wait).
    const uint32_t before = plat::GetTickCount();
    const bool result = LockObject::Lock(timeout);
    const uint32_t after = plat::GetTickCount();
    const uint32_t waited = after - before;  // unsigned: right across the wrap
    if (result) {
        m_PreviousTicks.store(before, std::memory_order_relaxed);
        m_CurrentTicks.store(after, std::memory_order_relaxed);
        const size_t length = caller ? strnlen(caller, kCallerSize - 1) : 0;
        if (length) std::memcpy(m_Caller, caller, length);
        m_Caller[length] = '\0';
    }
    CTIRegistry* registry = Registry();
    if (registry == nullptr) {
        EMSTraceMessage(
            "CTILockObject::Lock(%s, sessionID %ld) - Can't get the CTI Registry object. Lock %s, "
            "Thread %ld, waittime %d ms",
            caller ? caller : "", static_cast<long>(m_SessionID), GetLockName(),
            static_cast<long>(LockCurrentThreadId()), static_cast<int>(waited));
        return result;
    }
    const uint32_t threshold = registry->Dynamic(CTIRegistry::MaxLockTimeout);
    if (waited > threshold)
        EMSTraceMessage(
            "CTILockObject::Lock(%s, sessionID %ld) - WARNING: - Long Lock Warning on %s, Thread "
            "%d took %d ms to acquire lock, exceeded threshold %d ms",
            caller ? caller : "", static_cast<long>(m_SessionID), GetLockName(),
            static_cast<int>(LockCurrentThreadId()), static_cast<int>(waited),
            static_cast<int>(threshold));
    return result;
}

bool CTILockObject::Unlock(const char* caller) {
    // The stamps and the caller text are the owner's: read and cleared before the release.
    CTIRegistry* registry = Registry();
    uint32_t held = 0;
    char lockedFrom[kCallerSize];
    lockedFrom[0] = '\0';
    if (IsLockedByCurrentThread()) {
        StampTicks();
        held = GetElapsedTicks();
        // Kept only for a warning, which is rare: copied then.
        if (registry != nullptr && held > registry->Dynamic(CTIRegistry::MaxLockTimeout))
            std::memcpy(lockedFrom, m_Caller, strnlen(m_Caller, kCallerSize - 1) + 1);
        m_Caller[0] = '\0';
        m_PreviousTicks.store(0, std::memory_order_relaxed);
        m_CurrentTicks.store(0, std::memory_order_relaxed);
    }
    const bool result = LockObject::Unlock();
    if (registry == nullptr) {
        EMSTraceMessage(
            "CTILockObject::Unlock(%s, sessionID %ld) - Can't get the CTI Registry object. Lock "
            "%s, Thread %ld, waittime %d ms",
            caller ? caller : "", static_cast<long>(m_SessionID), GetLockName(),
            static_cast<long>(LockCurrentThreadId()), static_cast<int>(held));
    } else {
        const uint32_t threshold = registry->Dynamic(CTIRegistry::MaxLockTimeout);
        if (held > threshold)
            EMSTraceMessage(
                "CTILockObject::Unlock(%s, sessionID %ld) - WARNING: - Long Lock Warning on %s "
                "(locked from %s), Thread %d held lock for %d ms, exceeded threshold %d ms",
                caller ? caller : "", static_cast<long>(m_SessionID), GetLockName(), lockedFrom,
                static_cast<int>(LockCurrentThreadId()), static_cast<int>(held),
                static_cast<int>(threshold));
    }
    return result;
}
