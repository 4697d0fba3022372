#include "nuvlib/stdobject.h"

#include <cstdio>
#include <new>

#include "nuvlib/ems.h"
#include "nuvlib/lock.h"

namespace {

// Constant-initialised: objects may be built by static initialisers of any unit.
constinit std::atomic<LockObject*> g_objectLock{nullptr};
constinit StdQueue* g_registry = nullptr;

class RegistryHold {
public:
    RegistryHold() : lock_(g_objectLock.load(std::memory_order_acquire)) {
        if (lock_ != nullptr && !lock_->Lock(-1))
            EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "objectLock->Lock()",
                           __FILE__, __LINE__);
    }
    ~RegistryHold() {
        if (lock_ != nullptr && !lock_->Unlock())
            EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n",
                           "objectLock->Unlock()", __FILE__, __LINE__);
    }

private:
    LockObject* lock_;
};

}  // namespace

void StdObjectBase::Register() {
    RegistryHold hold;
    if (g_registry == nullptr) {
        g_registry = new (std::nothrow) StdQueue;
        if (g_registry == nullptr) NUV_ALLOC_FAILED(sizeof(StdQueue));
        g_registry->SetLinkOffset(static_cast<int32_t>(reinterpret_cast<char*>(&m_ObjectLinks) -
                                                       reinterpret_cast<char*>(this)));
    }
    g_registry->Append(this);
    objectID = 0;
}

StdObjectBase::StdObjectBase() {
    Register();
    m_TransferFlags = 0;
}

StdObjectBase::StdObjectBase(const StdObjectBase&) : StdObjectBase() {}

StdObjectBase::~StdObjectBase() {
    RegistryHold hold;
    if (g_registry == nullptr) return;
    g_registry->Remove(this);
    if (g_registry->Count() == 0) {
        delete g_registry;
        g_registry = nullptr;
    }
}

StdObjectClassInfo* StdObjectBase::StaticClassInfo() {
    static StdObjectClassInfo info("StdObjectBase", sizeof(StdObjectBase),
                                   &StdConstructInPlace<StdObjectBase>, &StdDestroyObject);
    return &info;
}

StdObjectClassInfo* StdObjectBase::GetClassInfo() { return StaticClassInfo(); }
void StdObjectBase::RegisterFields(int) {}
void StdObjectBase::MarkForTransfer() {}
void StdObjectBase::TransferSetup() {}
void StdObjectBase::TransferComplete() {}

void StdObjectBase::Print() {
    std::printf("%s %d at %X...\n", GetClassInfo()->className, objectID,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
}

STD_OBJECT_IMPLEMENT(StdObject, StdObjectBase)
void StdObject::RegisterFields(int) {}

void CreateStdObjectLock() {
    if (g_objectLock.load() != nullptr)
        EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "objectLock == NULL",
                       __FILE__, __LINE__);
    auto* lock = new (std::nothrow)
        LockObject(LockObject::USAGE_CRITICAL_SECTION, nullptr, "StdObjectLock", 0xFFFFFFFF, 0, 0);
    if (lock == nullptr) NUV_ALLOC_FAILED(sizeof(LockObject));
    g_objectLock.store(lock, std::memory_order_release);
}

const StdQueue* StdObjectRegistry() { return g_registry; }
