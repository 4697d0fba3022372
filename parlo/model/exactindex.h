#pragma once
// ExactIndex: a look-up beside a fixed bucket table. For each exact key it keeps the
// elements with that key in one intrusive list, in the order they were appended, which is
// their relative order in the bucket (new entries go to a bucket's tail there too). A walk
// of a key's list therefore meets the same elements, in the same order, as a walk of the
// bucket that skips the other keys: every answer stays the bucket walk's.
//
// Open addressing with linear probing; the slot table grows by doubling and never shrinks,
// so a warm index allocates nothing. The owner's lock guards it; it never owns elements.
#include <cstdint>
#include <string_view>
#include <vector>

#include "nuvlib/stdqueue.h"

class ExactIndex {
public:
    // Byte offset of the element's StdQueueLink reserved for this index.
    explicit ExactIndex(int32_t linkOffset);
    ExactIndex(const ExactIndex&) = delete;
    ExactIndex& operator=(const ExactIndex&) = delete;

    void Append(uint64_t key, void* element);
    // The element must be in this key's list.
    void Remove(uint64_t key, void* element);
    void* First(uint64_t key) const;
    void* Last(uint64_t key) const;
    void* Next(void* element) const { return LinkOf(element)->next; }
    void* Previous(void* element) const { return LinkOf(element)->previous; }
    int32_t Count(uint64_t key) const;
    bool Contains(void* element) const { return LinkOf(element)->IsQueued(); }

    // Key of a text (FNV-1a): equal texts share a list; the rare unequal texts that share a
    // key share it too, and the walk compares the text anyway.
    static uint64_t TextKey(std::string_view text);

private:
    struct Slot {
        uint64_t key = 0;
        void* first = nullptr;
        void* last = nullptr;
        int32_t count = 0;
        bool used = false;
    };
    StdQueueLink* LinkOf(void* element) const {
        return reinterpret_cast<StdQueueLink*>(static_cast<char*>(element) + linkOffset_);
    }
    size_t Home(uint64_t key) const;
    // The slot of the key, or -1.
    int64_t Find(uint64_t key) const;
    void Grow();
    void Erase(size_t index);

    int32_t linkOffset_;
    std::vector<Slot> slots_;
    size_t used_ = 0;
};
