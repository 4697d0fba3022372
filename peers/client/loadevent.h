#pragma once
// The event of the fan-out figures: one CALL_DELIVERED_EVENT with all ten call variables and
// ten ECC variables, stamped with its send time, so that a reader finds the delivery delay in
// the bytes it receives, whoever carried them.
#include <cstdint>
#include <memory>
#include <vector>

#include "ctimsg/basemsg.h"

namespace parloload {

// Defines the ten ECC variables the event carries (once per process).
void DefineFanoutVariables();
// A valid CALL_DELIVERED_EVENT stamped with `stampNs` (owned by the caller).
BaseMSGPtr MakeFanoutEvent(int64_t stampNs);
// Restamps an event made by MakeFanoutEvent (and validates it again).
void StampFanoutEvent(BaseMSG& event, int64_t stampNs);
// The stamp found in `length` bytes of a received frame or payload, or -1. Never reads
// past data + length.
int64_t FindStamp(const uint8_t* data, size_t length);

}  // namespace parloload
