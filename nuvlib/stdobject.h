#pragma once
// StdObjectBase / StdObject: the root of the library's long-lived objects. Every instance is
// entered in one process-wide registry list guarded by the lock "StdObjectLock", and every
// class has a static class-information record (StdObjectClassInfo) chained to its base's.
#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>

#include "nuvlib/stdqueue.h"

class StdObjectBase;

struct StdFieldList {
    void* head = nullptr;
    void* tail = nullptr;
    uint32_t byteTotal = 0;
    uint32_t variableSize = 0;
};

struct StdObjectClassInfo {
    StdObjectClassInfo(const char* name, uint32_t size, StdObjectBase* (*construct)(void*),
                       void (*destroyObject)(StdObjectBase*))
        : className(name), objectSize(size), constructInPlace(construct), destroy(destroyObject) {}
    StdObjectClassInfo(const StdObjectClassInfo&) = delete;
    StdObjectClassInfo& operator=(const StdObjectClassInfo&) = delete;

    StdFieldList fields;
    StdFieldList transferFields;
    uint16_t version = 65535;
    const char* className = nullptr;
    uint16_t classNumber = 65535;
    uint32_t objectSize = 0;
    // Filled the first time the class's GetClassInfo runs.
    std::atomic<StdObjectClassInfo*> baseClass{nullptr};
    uint32_t counter1 = 0;
    uint32_t counter2 = 0;
    // Placement construction at an address (null for classes without a default constructor).
    StdObjectBase* (*constructInPlace)(void* address) = nullptr;
    // Calls the deleting destructor.
    void (*destroy)(StdObjectBase* object) = nullptr;
};

template <class T>
StdObjectBase* StdConstructInPlace(void* address) {
    if constexpr (std::is_default_constructible_v<T> && !std::is_abstract_v<T>)
        return new (address) T;
    else
        return nullptr;
}
inline void StdDestroyObject(StdObjectBase* object);

// Declares the class's own record: put STD_OBJECT_DECLARE(Class) in the class body and
// STD_OBJECT_IMPLEMENT(Class, Base) in one source file. A subclass without them answers
// with its base's record.
#define STD_OBJECT_DECLARE(Class)                         \
public:                                                   \
    static StdObjectClassInfo* StaticClassInfo();         \
    StdObjectClassInfo* GetClassInfo() override;

#define STD_OBJECT_IMPLEMENT(Class, Base)                                             \
    StdObjectClassInfo* Class::StaticClassInfo() {                                    \
        static StdObjectClassInfo info(#Class, sizeof(Class), &StdConstructInPlace<Class>, \
                                       &StdDestroyObject);                            \
        return &info;                                                                 \
    }                                                                                 \
    StdObjectClassInfo* Class::GetClassInfo() {                                       \
        StdObjectClassInfo* info = StaticClassInfo();                                 \
        if (info->baseClass.load(std::memory_order_acquire) == nullptr)               \
            info->baseClass.store(Base::GetClassInfo(), std::memory_order_release);   \
        return info;                                                                  \
    }

class StdObjectBase {
public:
    StdObjectBase();
    StdObjectBase(const StdObjectBase&);  // registers the copy as a new object
    StdObjectBase& operator=(const StdObjectBase&) { return *this; }
    virtual StdObjectClassInfo* GetClassInfo();
    virtual void RegisterFields(int version);
    virtual ~StdObjectBase();
    // "%s %d at %X...\n" on the console: class name, object id, address.
    virtual void Print();
    virtual void MarkForTransfer();
    virtual void TransferSetup();
    virtual void TransferComplete();

    static StdObjectClassInfo* StaticClassInfo();

    StdQueueLink m_ObjectLinks;
    int32_t objectID = 0;
    uint32_t m_TransferFlags = 0;

private:
    void Register();
};

class StdObject : public StdObjectBase {
    STD_OBJECT_DECLARE(StdObject)
public:
    void RegisterFields(int version) override;
};

inline void StdDestroyObject(StdObjectBase* object) { delete object; }

// Creates "StdObjectLock"; a second call is fatal. Objects constructed before it exists are
// registered without locking.
void CreateStdObjectLock();

// The registry list of live objects; null while no object exists. For diagnostics and tests:
// read it only while no other thread creates or destroys objects.
const StdQueue* StdObjectRegistry();
