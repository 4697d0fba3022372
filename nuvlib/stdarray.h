#pragma once
// Growable arrays that are StdObjects themselves. The caller keeps indexes below the size;
// the destructor frees the element block only (object arrays do not own their objects).
//
// Growth (SetSize beyond the capacity): the step is m_nGrowBy, or, when that is 0, the
// current size / 8 clamped to 4..1024; the new capacity is max(request, capacity + step).
// The block never shrinks; elements revealed by growing are zero.
#include <cstdint>

#include "nuvlib/stdobject.h"

// The growth step and new capacity of the rule above.
int32_t StdArrayNewCapacity(int32_t size, int32_t maxSize, int32_t growBy, int32_t newSize);

class StdShortArray : public StdObject {
    STD_OBJECT_DECLARE(StdShortArray)
public:
    StdShortArray() = default;
    ~StdShortArray() override;
    StdShortArray(const StdShortArray&) = delete;
    StdShortArray& operator=(const StdShortArray&) = delete;

    void SetSize(int32_t newSize, int32_t growBy = -1);
    void SetAtGrow(int32_t index, int16_t value);
    int16_t GetAt(int32_t index) const { return m_pData[index]; }
    int16_t& operator[](int32_t index) { return m_pData[index]; }
    int32_t GetSize() const { return m_nSize; }
    int32_t GetMaxSize() const { return m_nMaxSize; }
    const int16_t* GetData() const { return m_pData; }

    int16_t* m_pData = nullptr;
    int32_t m_nSize = 0;
    int32_t m_nMaxSize = 0;
    int32_t m_nGrowBy = 0;
    int32_t m_nElementSize = 2;
};

class StdObjectArrayBase : public StdObject {
    STD_OBJECT_DECLARE(StdObjectArrayBase)
public:
    StdObjectArrayBase() = default;
    ~StdObjectArrayBase() override;
    StdObjectArrayBase(const StdObjectArrayBase&) = delete;
    StdObjectArrayBase& operator=(const StdObjectArrayBase&) = delete;

    void SetSize(int32_t newSize, int32_t growBy = -1);
    void SetAtGrow(int32_t index, StdObjectBase* value);
    StdObjectBase* GetAt(int32_t index) const { return m_pData[index]; }
    int32_t GetSize() const { return m_nSize; }
    int32_t GetMaxSize() const { return m_nMaxSize; }

    StdObjectBase** m_pData = nullptr;
    int32_t m_nSize = 0;
    int32_t m_nMaxSize = 0;
    int32_t m_nGrowBy = 0;
};

// Typed access over StdObjectArrayBase; answers with StdObjectArrayBase's class record.
template <class T>
class StdArray : public StdObjectArrayBase {
public:
    void SetAtGrow(int32_t index, T* value) { StdObjectArrayBase::SetAtGrow(index, value); }
    T* GetAt(int32_t index) const { return static_cast<T*>(m_pData[index]); }
    T* operator[](int32_t index) const { return GetAt(index); }
};
