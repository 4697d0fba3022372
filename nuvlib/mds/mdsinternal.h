#pragma once
// Test and load tooling only: the EMT connect flags the client uses (bit 0 forces TCP for
// an MDS on this node, which would otherwise be reached over shared memory).
#include <cstdint>

void MDSSetEmtConnectFlags(uint32_t flags);
