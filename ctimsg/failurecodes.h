#pragma once
// The CSTA failure codes by name, as the protocol spells them:
// failurecode::Of("CF_AGENT_NOT_PARTY_ON_CALL") == 268. Found at compile time in the name
// tables that FailureCodeName reads (valuenames_tables.inc), so each code is written once;
// a name missing from the tables does not compile.
#include <cstdint>
#include <string_view>

namespace failurecode {
namespace tables {
#include "ctimsg/valuenames_tables.inc"
}  // namespace tables

template <std::size_t N>
consteval int32_t IndexIn(const char* const (&names)[N], std::string_view name) {
    for (std::size_t i = 0; i < N; ++i)
        if (name == names[i]) return static_cast<int32_t>(i);
    return -1;
}

// The code of `name`; the three tables start at the codes FailureCodeName gives them.
consteval uint32_t Of(std::string_view name) {
    if (const int32_t i = IndexIn(tables::kFailureCodeNames, name); i >= 0) return static_cast<uint32_t>(i);
    if (const int32_t i = IndexIn(tables::kFailureCode256Names, name); i >= 0) return static_cast<uint32_t>(256 + i);
    if (const int32_t i = IndexIn(tables::kFailureCode1001Names, name); i >= 0) return static_cast<uint32_t>(1001 + i);
    throw "no failure code of that name";  // not a constant expression: the caller does not compile
}
}  // namespace failurecode
