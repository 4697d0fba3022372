#include "parlo/model/exactindex.h"

ExactIndex::ExactIndex(int32_t linkOffset) : linkOffset_(linkOffset), slots_(64) {}

uint64_t ExactIndex::TextKey(std::string_view text) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

size_t ExactIndex::Home(uint64_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & (slots_.size() - 1);
}

int64_t ExactIndex::Find(uint64_t key) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = Home(key);; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (!s.used) return -1;
        if (s.key == key) return static_cast<int64_t>(i);
    }
}

void ExactIndex::Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
        if (!s.used) continue;
        size_t i = Home(s.key);
        while (slots_[i].used) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

void ExactIndex::Append(uint64_t key, void* element) {
    int64_t at = Find(key);
    if (at < 0) {
        if ((used_ + 1) * 2 > slots_.size()) Grow();
        const size_t mask = slots_.size() - 1;
        size_t i = Home(key);
        while (slots_[i].used) i = (i + 1) & mask;
        slots_[i] = Slot{key, nullptr, nullptr, 0, true};
        ++used_;
        at = static_cast<int64_t>(i);
    }
    Slot& s = slots_[static_cast<size_t>(at)];
    StdQueueLink* link = LinkOf(element);
    link->previous = s.last;
    link->next = nullptr;
    if (s.last != nullptr)
        LinkOf(s.last)->next = element;
    else
        s.first = element;
    s.last = element;
    ++s.count;
}

void ExactIndex::Remove(uint64_t key, void* element) {
    const int64_t at = Find(key);
    StdQueueLink* link = LinkOf(element);
    if (at < 0 || !link->IsQueued()) return;
    Slot& s = slots_[static_cast<size_t>(at)];
    if (link->previous != nullptr)
        LinkOf(link->previous)->next = link->next;
    else
        s.first = link->next;
    if (link->next != nullptr)
        LinkOf(link->next)->previous = link->previous;
    else
        s.last = link->previous;
    link->Reset();
    if (--s.count == 0) Erase(static_cast<size_t>(at));
}

// Backward-shift deletion keeps every remaining key reachable from its home slot.
void ExactIndex::Erase(size_t i) {
    const size_t mask = slots_.size() - 1;
    size_t j = i;
    for (;;) {
        j = (j + 1) & mask;
        if (!slots_[j].used) break;
        const size_t k = Home(slots_[j].key);
        const bool movable = (j > i) ? (k <= i || k > j) : (k <= i && k > j);
        if (movable) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i] = Slot{};
    --used_;
}

void* ExactIndex::First(uint64_t key) const {
    const int64_t at = Find(key);
    return at < 0 ? nullptr : slots_[static_cast<size_t>(at)].first;
}

void* ExactIndex::Last(uint64_t key) const {
    const int64_t at = Find(key);
    return at < 0 ? nullptr : slots_[static_cast<size_t>(at)].last;
}

int32_t ExactIndex::Count(uint64_t key) const {
    const int64_t at = Find(key);
    return at < 0 ? 0 : slots_[static_cast<size_t>(at)].count;
}
