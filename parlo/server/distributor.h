#pragma once
// The output side's entry points beside SessionProtocol's own senders (parlo/server/session.h):
// the agent-event fan-out to all-events clients with its change filter.
#include <cstdint>

#include "parlo/server/outfilter.h"

class BaseMSG;

// Sends an agent event to every ALL_EVENTS session that has a client record, withholding it
// from sessions with the change-filter bit when the event is no change. `agent` is the
// agent's memory of what went last (updated here) and `agentReasonCode` its current reason
// code. Takes the master lock when the calling thread does not hold it. Returns 1, or 0 when
// an encoding failed (the loop stops there).
int FilterAgentEventToAllEventClients(AgentEventMemory& agent, uint16_t agentReasonCode, BaseMSG& event);
