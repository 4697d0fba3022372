#include "nuvlib/lock.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "nuvlib/ems.h"
#include "platform/lasterror.h"
#include "platform/named.h"
#include "platform/process.h"

uint32_t LockCurrentThreadId() {
    static thread_local uint32_t t_id = plat::CurrentThreadId();
    return t_id;
}

LockObject::LockObject(int usage, void* securityAttributes, const char* name, uint32_t timeoutMs,
                       int deadlockCheck, int tableFlag) {
    Construct(usage, securityAttributes, name, timeoutMs, deadlockCheck, tableFlag);
}

LockObject::LockObject(int usage, void* securityAttributes, const char* name, uint32_t timeoutMs,
                       int deadlockCheck, int tableFlag, int, int, int) {
    Construct(usage, securityAttributes, name, timeoutMs, deadlockCheck, tableFlag);
}

void LockObject::Construct(int usage, void* securityAttributes, const char* name,
                           uint32_t timeoutMs, int deadlockCheck, int tableFlag) {
    m_SecurityAttributes = securityAttributes;
    m_TimeOut = timeoutMs;
    m_DeadlockCheck = deadlockCheck;
    m_TableFlag = tableFlag;
    m_LockType = TYPE_NONE;

    int type;
    if (usage == USAGE_CRITICAL_SECTION)
        type = TYPE_CRITICAL_SECTION;
    else if (usage == USAGE_NAMED_MUTEX)
        type = TYPE_MUTEX;
    else
        EMSFailMessage("LockObject::LockObject: Invalid lock usage.");

    std::memset(m_LockName, 0, sizeof m_LockName);
    if (name != nullptr && name[0] != '\0') {
        static const char kPrefix[] = "Global\\";
        size_t n = sizeof kPrefix - 1;
        std::memcpy(m_LockName, kPrefix, n);
        size_t add = std::strlen(name);
        if (add > kNameSize - 1 - n) add = kNameSize - 1 - n;
        std::memcpy(m_LockName + n, name, add);
    }

    if (type == TYPE_MUTEX) {
        EMSTraceMessage("LockObject::LockObject: CreateMutex called with %s", m_LockName);
        m_Mutex = new (std::nothrow) plat::NamedMutex;
        if (m_Mutex == nullptr)
            EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                           static_cast<int>(sizeof(plat::NamedMutex)), "LOCK", __LINE__);
        // An unnamed mutex is this lock's alone.
        char unnamed[64];
        std::snprintf(unnamed, sizeof unnamed, "Global\\LockObject-%u-%p", plat::CurrentProcessId(),
                      static_cast<void*>(this));
        if (!m_Mutex->Create(m_LockName[0] != '\0' ? m_LockName : unnamed))
            EMSFailMessageLastError("lock: CreateMutex failed.");
        m_LockType = type;
        return;
    }
    if (type != TYPE_CRITICAL_SECTION) EMSFailMessage("LockObject::LockObject: invalid lock type.");
    m_Section = new (std::nothrow) std::mutex;
    if (m_Section == nullptr)
        EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                       static_cast<int>(sizeof(std::mutex)), "LOCK", __LINE__);
    m_LockType = type;
}

bool LockObject::Lock(int) {
    const uint32_t self = LockCurrentThreadId();
    if (m_LockID.load(std::memory_order_relaxed) == self &&
        m_NumLocked.load(std::memory_order_relaxed) > 0)
        return false;
    if (m_LockType == TYPE_MUTEX) {
        const uint32_t wait = m_Mutex->Lock(m_TimeOut);
        if (wait != plat::WAIT_OBJECT_0 && wait != plat::WAIT_ABANDONED) return false;
    } else if (m_LockType == TYPE_CRITICAL_SECTION) {
        m_WaitingThread.store(self, std::memory_order_relaxed);
        m_Section->lock();
    } else {
        EMSFailMessage("LockObject::Lock: Invalid lock type.");
    }
    m_NumLocked.fetch_add(1, std::memory_order_relaxed);
    m_LockID.store(self, std::memory_order_relaxed);
    m_WaitingThread.store(0, std::memory_order_relaxed);
    return true;
}

bool LockObject::Unlock() {
    if (m_LockID.load(std::memory_order_relaxed) != LockCurrentThreadId()) return false;
    m_LockID.store(0, std::memory_order_relaxed);
    m_NumLocked.store(0, std::memory_order_relaxed);
    if (m_LockType == TYPE_MUTEX)
        m_Mutex->Unlock();
    else if (m_LockType == TYPE_CRITICAL_SECTION)
        m_Section->unlock();
    else
        EMSFailMessage("LockObject::Unlock: Invalid lock type.");
    return true;
}

bool LockObject::IsLockedByCurrentThread() const {
    return m_LockID.load(std::memory_order_relaxed) == LockCurrentThreadId() &&
           m_NumLocked.load(std::memory_order_relaxed) >= 1;
}

namespace {

// A store the destructor leaves behind on purpose: a second destruction of the same lock must
// find it. Written through volatile, as the compiler may drop plain stores to a dying object.
template <class T>
void StoreThatOutlives(T& field, T value) {
    *static_cast<volatile T*>(&field) = value;
}

}  // namespace

LockObject::~LockObject() {
    const uint32_t owner = m_LockID.load(std::memory_order_relaxed);
    const int count = m_NumLocked.load(std::memory_order_relaxed);
    if (owner == 0 && count <= 0) {
        if (*static_cast<volatile int*>(&m_LockType) == TYPE_NONE) return;
        delete m_Section;
        StoreThatOutlives(m_Section, static_cast<std::mutex*>(nullptr));
        delete m_Mutex;
        StoreThatOutlives(m_Mutex, static_cast<plat::NamedMutex*>(nullptr));
        StoreThatOutlives(m_LockType, static_cast<int>(TYPE_NONE));
        return;
    }
    if (m_Reported) return;
    m_Reported = true;
    EMSFailMessage(
        "~LockObject (0x%X): Attempting to delete Lock while still in use!! (m_LockName=%s, "
        "m_LockID=%d, m_NumLocked=%d, m_LockType=%d)",
        static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)), m_LockName,
        static_cast<int>(owner), count, m_LockType);
}
