#include "parlo/common/svrtrace.h"

#include "nuvlib/ems.h"

bool SVRTraceON(uint32_t bit) { return bit >= 1 && EMSIsUserDataBitSet(bit); }
