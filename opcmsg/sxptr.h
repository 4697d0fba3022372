#pragma once
// Reference-counted records shared between client sessions and ARM messages, and the
// growable integer array they use.
//
// Threading rule: a reference count is a plain integer, not atomic. Every holder of a
// counted object (session control blocks, messages, the event routing of the session
// layer) runs on the application thread; never share a counted object across threads.
// Only the process-wide totalObjCnt counters are atomic.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace sx {

// Process-wide counters of counted objects: created (never decreases) and alive.
struct totalObjCnt {
    static inline std::atomic<int64_t> created{0};
    static inline std::atomic<int64_t> alive{0};

    totalObjCnt() { Count(); }
    totalObjCnt(const totalObjCnt&) { Count(); }
    totalObjCnt& operator=(const totalObjCnt&) { return *this; }
    ~totalObjCnt() { alive.fetch_sub(1, std::memory_order_relaxed); }

private:
    static void Count() {
        created.fetch_add(1, std::memory_order_relaxed);
        alive.fetch_add(1, std::memory_order_relaxed);
    }
};

// Base of a counted object: created with count 0; the last Release deletes it.
class _ptr : public totalObjCnt {
public:
    _ptr() = default;
    _ptr(const _ptr&) = delete;
    _ptr& operator=(const _ptr&) = delete;
    virtual ~_ptr() = default;

    void AddRef() { ++m_RefCount; }
    // Drops one reference; deletes the object when it was the last.
    void Release() {
        if (--m_RefCount == 0) delete this;
    }
    int32_t RefCount() const { return m_RefCount; }

private:
    int32_t m_RefCount = 0;
};

// A counted reference (null allowed). Copying takes a reference; assignment takes the new
// one before dropping the old; destruction drops it.
template <class T>
class Ptr {
public:
    Ptr() = default;
    Ptr(T* object) : m_Object(object) {  // NOLINT: implicit, as a raw pointer would be
        if (m_Object != nullptr) m_Object->AddRef();
    }
    Ptr(const Ptr& other) : Ptr(other.m_Object) {}
    Ptr(Ptr&& other) noexcept : m_Object(other.m_Object) { other.m_Object = nullptr; }
    ~Ptr() {
        if (m_Object != nullptr) m_Object->Release();
    }
    Ptr& operator=(const Ptr& other) {
        Reset(other.m_Object);
        return *this;
    }
    Ptr& operator=(Ptr&& other) noexcept {
        if (this != &other) {
            T* old = m_Object;
            m_Object = other.m_Object;
            other.m_Object = nullptr;
            if (old != nullptr) old->Release();
        }
        return *this;
    }
    void Reset(T* object = nullptr) {
        if (object != nullptr) object->AddRef();
        T* old = m_Object;
        m_Object = object;
        if (old != nullptr) old->Release();
    }
    T* get() const { return m_Object; }
    T* operator->() const { return m_Object; }
    T& operator*() const { return *m_Object; }
    explicit operator bool() const { return m_Object != nullptr; }

private:
    T* m_Object = nullptr;
};

// Growable array with a default value for slots never written. The name keeps the
// original's element type; Arr<long, D> holds 32-bit integers, as the wire does (long is
// 64-bit on Linux).
template <class T, int Default>
class Arr {
public:
    using value_type = std::conditional_t<std::is_same_v<T, long>, int32_t, T>;

    Arr() = default;
    Arr(const Arr&) = delete;
    Arr& operator=(const Arr&) = delete;
    virtual ~Arr() = default;

    // The element at i (i >= 0), growing the storage when i reaches the capacity; i above
    // the highest index so far becomes the highest index.
    value_type& At(int32_t i) {
        if (i < 0) EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "i >= 0", "sx", __LINE__);
        if (i > m_HighestIndex) {
            m_HighestIndex = i;
            if (i >= m_Capacity) Grow(i);
        }
        return m_Data[i];
    }
    // Capacity (1 when 0) doubled until above i, at least once; old values kept, new slots
    // set to the default.
    void Grow(int32_t i) {
        int64_t capacity = m_Capacity == 0 ? 1 : m_Capacity;
        do {
            capacity *= 2;
        } while (capacity <= i);
        auto storage = std::make_unique<value_type[]>(static_cast<size_t>(capacity));
        for (int64_t k = 0; k < capacity; ++k) {
            storage[static_cast<size_t>(k)] =
                k < m_Capacity ? m_Data[static_cast<size_t>(k)] : static_cast<value_type>(Default);
        }
        m_Data = std::move(storage);
        m_Capacity = static_cast<int32_t>(capacity);
    }
    // Copies n values to the front without moving the highest index (the list reader's
    // bulk load); the capacity must already hold them.
    void Load(const uint8_t* littleEndianWords, int32_t n) {
        if (n > m_Capacity) EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "n <= capacity", "sx", __LINE__);
        static_assert(sizeof(value_type) == 4, "a loaded list holds 32-bit words");
        for (int32_t k = 0; k < n; ++k)
            m_Data[static_cast<size_t>(k)] =
                static_cast<value_type>(plat::LoadLE32(littleEndianWords + 4 * static_cast<size_t>(k)));
    }
    int32_t Capacity() const { return m_Capacity; }
    int32_t HighestIndex() const { return m_HighestIndex; }
    // Read without growing; i must be below the capacity.
    value_type Peek(int32_t i) const { return m_Data[static_cast<size_t>(i)]; }

private:
    int32_t m_Capacity = 0;
    int32_t m_HighestIndex = -1;
    std::unique_ptr<value_type[]> m_Data;
};

}  // namespace sx
