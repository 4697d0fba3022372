#pragma once
// Server trace keywords: bit n (from 1) of the EMS user trace bits.
#include <cstdint>

bool SVRTraceON(uint32_t bit);
