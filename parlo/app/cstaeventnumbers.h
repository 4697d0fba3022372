#pragma once
// CSTA event numbers by their CSTA names, at compile time, from opcmsg's one name table: a
// name the table lacks does not compile.
#include <cstdint>

namespace cstaeventnames {
struct NameRow {
    int number;
    const char* text;
};
#include "opcmsg/opcnames_tables.inc"

consteval bool SameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}
}  // namespace cstaeventnames

consteval uint16_t CSTAEventNumber(const char* name) {
    for (const cstaeventnames::NameRow& row : cstaeventnames::kCSTAEventRows)
        if (cstaeventnames::SameText(row.text, name)) return static_cast<uint16_t>(row.number);
    throw "not a CSTA event name";
}
