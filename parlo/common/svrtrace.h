#pragma once
// The server's two kinds of trace switch:
// - trace keywords: bit n (from 1) of the EMS user trace bits, tested with SVRTraceON and named
//   in tracekeywords.def;
// - bits of the EMS trace mask (EMSGetTraceMask), which the console shows as TR_PROC_1 to
//   TR_PROC_8.
#include <cstddef>
#include <cstdint>
#include <span>

enum TraceKeyword : uint32_t {
#define TRACE_KEYWORD(id, name, bit) id = bit,
#include "parlo/common/tracekeywords.def"
#undef TRACE_KEYWORD
};

// True when the keyword's bit is set; false for bit 0 or a bit
// beyond the user trace bits. Reads the bits without a lock (EMS replaces them whole).
bool SVRTraceON(uint32_t bit);

// One keyword as the console lists it.
struct TraceKeywordRow {
    const char* name;
    uint32_t bit;
};
// Every keyword, in the console's order.
std::span<const TraceKeywordRow> TraceKeywordRows();

// Bits of the EMS trace mask.
namespace tracebit {
enum : uint32_t {
    TR_PROC_1 = 0x01,
    TR_PROC_2 = 0x02,
    TR_PROC_3 = 0x04,
    TR_PROC_4 = 0x08,
    TR_PROC_5 = 0x10,
    TR_PROC_6 = 0x20,
    TR_PROC_7 = 0x40,
    TR_PROC_8 = 0x80,
    // The default tracing the console switches on (240): TR_PROC_5 to TR_PROC_8.
    kDefault = TR_PROC_5 | TR_PROC_6 | TR_PROC_7 | TR_PROC_8,
};
}  // namespace tracebit
