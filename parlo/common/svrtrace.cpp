#include "parlo/common/svrtrace.h"

#include <iterator>

#include "nuvlib/ems.h"

namespace {
constexpr TraceKeywordRow kRows[] = {
#define TRACE_KEYWORD(id, name, bit) {name, bit},
#include "parlo/common/tracekeywords.def"
#undef TRACE_KEYWORD
};
}  // namespace

bool SVRTraceON(uint32_t bit) { return bit >= 1 && EMSIsUserDataBitSet(bit); }

std::span<const TraceKeywordRow> TraceKeywordRows() { return kRows; }
