#pragma once
// Occurrence counts per element id for one pass over a message (validation, decoding),
// without clearing a table of every id on each pass: a count belongs to the pass whose
// generation stamped it. Each Tag has its own per-thread table, so a validation pass and
// a decoding pass never share one.
#include <cstdint>

#include "ctimsg/elementids.h"

template <typename Tag>
class OccurrenceCounts {
public:
    // One more than the highest element id.
    static constexpr uint32_t kIdCount = elementdict::kElementIdCount;

    OccurrenceCounts() {
        Table& t = table();
        if (++t.generation == 0) {
            for (uint32_t& s : t.stamp) s = 0;
            t.generation = 1;
        }
        m_Generation = t.generation;
    }
    OccurrenceCounts(const OccurrenceCounts&) = delete;
    OccurrenceCounts& operator=(const OccurrenceCounts&) = delete;

    // 0 for ids outside the table.
    uint32_t Get(uint32_t id) const {
        if (id >= kIdCount) return 0;
        const Table& t = table();
        return t.stamp[id] == m_Generation ? t.count[id] : 0;
    }
    void Add(uint32_t id) {
        if (id >= kIdCount) return;
        Table& t = table();
        if (t.stamp[id] != m_Generation) {
            t.stamp[id] = m_Generation;
            t.count[id] = 0;
        }
        ++t.count[id];
    }

private:
    struct Table {
        uint32_t generation = 0;
        uint32_t stamp[kIdCount] = {};
        uint32_t count[kIdCount] = {};
    };
    static Table& table() {
        thread_local Table t;
        return t;
    }

    uint32_t m_Generation;
};
