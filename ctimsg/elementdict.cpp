#include "ctimsg/elementdict.h"

#include <cstring>

namespace elementdict {

const Row* FindRow(uint32_t id) {
    // Rows are sorted by id; the two classes of an id stand next to each other.
    std::size_t lo = 0, hi = kRowCount;
    while (lo < hi) {
        std::size_t mid = (lo + hi) / 2;
        if (kRows[mid].id < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < kRowCount && kRows[lo].id == id ? &kRows[lo] : nullptr;
}

const Row* FindRowByClass(const char* className) {
    if (className == nullptr) return nullptr;
    for (const Row& row : kRows)
        if (row.className != nullptr && std::strcmp(row.className, className) == 0) return &row;
    return nullptr;
}

}  // namespace elementdict
