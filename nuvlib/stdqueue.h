#pragma once
// StdQueue: the intrusive, doubly linked list of the library. The link (StdQueueLink) lives
// inside the listed object at a fixed byte offset; elements are known by their own address.
// The queue never allocates, never locks and never owns its elements; the owner's lock
// guards it, and the owner keeps every element in at most one queue per link.
#include <cstdint>

struct StdQueueLink {
    // Both all bits set while the object is in no queue.
    static inline void* const kUnqueued = reinterpret_cast<void*>(~static_cast<uintptr_t>(0));

    void* previous = kUnqueued;  // the previous element; null at the head
    void* next = kUnqueued;      // the next element; null at the tail

    bool IsQueued() const { return previous != kUnqueued && next != kUnqueued; }
    void Reset() { previous = next = kUnqueued; }
};

class StdQueue {
public:
    StdQueue() = default;
    // Elements are not touched: their owner unlinks them first.
    ~StdQueue() = default;
    StdQueue(const StdQueue&) = delete;
    StdQueue& operator=(const StdQueue&) = delete;

    // Byte offset of the StdQueueLink inside every element; set once before first use.
    void SetLinkOffset(int32_t offset) { m_LinkOffset = offset; }
    int32_t GetLinkOffset() const { return m_LinkOffset; }

    void Append(void* element);
    void Prepend(void* element);
    // No check that the element is in this queue.
    void Remove(void* element);
    // Null when empty.
    void* RemoveHead();
    // Removes every element; each link ends unqueued.
    void UnlinkAll();

    void* First() const { return m_First; }
    void* Last() const { return m_Last; }
    // Read before removing the current element when iterating.
    void* Next(void* element) const { return LinkOf(element)->next; }
    void* Previous(void* element) const { return LinkOf(element)->previous; }
    int32_t Count() const { return m_Count; }

    StdQueueLink* LinkOf(void* element) const {
        return reinterpret_cast<StdQueueLink*>(static_cast<char*>(element) + m_LinkOffset);
    }

private:
    void* m_First = nullptr;
    void* m_Last = nullptr;
    int32_t m_LinkOffset = -1;
    int32_t m_Count = 0;
};
