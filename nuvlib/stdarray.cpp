#include "nuvlib/stdarray.h"

#include <cstring>

#include "nuvlib/ems.h"

int32_t StdArrayNewCapacity(int32_t size, int32_t maxSize, int32_t growBy, int32_t newSize) {
    int32_t step = growBy;
    if (step == 0) {
        step = size / 8;
        if (step < 4) step = 4;
        if (step > 1024) step = 1024;
    }
    const int64_t grown = static_cast<int64_t>(maxSize) + step;
    return newSize > grown ? newSize : static_cast<int32_t>(grown);
}

namespace {

template <class E>
void ArraySetSize(E*& data, int32_t& size, int32_t& maxSize, int32_t& growBy, int32_t newSize,
                  int32_t newGrowBy) {
    NUV_ASSERT(newSize >= 0);
    if (newGrowBy != -1) growBy = newGrowBy;
    if (newSize == 0) {
        delete[] data;
        data = nullptr;
        size = maxSize = 0;
    } else if (data == nullptr) {
        data = new E[newSize]();
        size = maxSize = newSize;
    } else if (newSize <= maxSize) {
        if (newSize > size) std::memset(static_cast<void*>(data + size), 0, sizeof(E) * (newSize - size));
        size = newSize;
    } else {
        const int32_t capacity = StdArrayNewCapacity(size, maxSize, growBy, newSize);
        E* grown = new E[capacity];
        std::memcpy(static_cast<void*>(grown), data, sizeof(E) * size);
        std::memset(static_cast<void*>(grown + size), 0, sizeof(E) * (newSize - size));
        delete[] data;
        data = grown;
        maxSize = capacity;
        size = newSize;
    }
}

}  // namespace

STD_OBJECT_IMPLEMENT(StdShortArray, StdObject)

StdShortArray::~StdShortArray() { delete[] m_pData; }

void StdShortArray::SetSize(int32_t newSize, int32_t growBy) {
    ArraySetSize(m_pData, m_nSize, m_nMaxSize, m_nGrowBy, newSize, growBy);
}

void StdShortArray::SetAtGrow(int32_t index, int16_t value) {
    NUV_ASSERT(index >= 0);
    if (index >= m_nSize) SetSize(index + 1);
    m_pData[index] = value;
}

STD_OBJECT_IMPLEMENT(StdObjectArrayBase, StdObject)

StdObjectArrayBase::~StdObjectArrayBase() { delete[] m_pData; }

void StdObjectArrayBase::SetSize(int32_t newSize, int32_t growBy) {
    ArraySetSize(m_pData, m_nSize, m_nMaxSize, m_nGrowBy, newSize, growBy);
}

void StdObjectArrayBase::SetAtGrow(int32_t index, StdObjectBase* value) {
    NUV_ASSERT(index >= 0);
    if (index >= m_nSize) SetSize(index + 1);
    m_pData[index] = value;
}
