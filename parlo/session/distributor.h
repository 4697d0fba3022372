#pragma once
// The output side's entry points beside SessionProtocol's own senders (parlo/session/session.h):
// the agent-event fan-out to all-events clients with its change filter.
#include <cstdint>

#include "parlo/session/outfilter.h"

class BaseMSG;

class Agent;

// Sends an agent event to every ALL_EVENTS session that has a client record, withholding it
// from sessions with the change-filter bit when the event is no change. The agent's memory of
// what went last to all-events clients is updated here. Takes the server lock, then the
// master lock, each when the calling thread does not hold it (so a caller holding a session
// lock must hold both). Returns 1, or 0 when a frame could not be made (the distribution
// stops there); the event stays the caller's.
[[nodiscard]] int FilterAgentEventToAllEventClients(Agent& agent, BaseMSG& event);
// The same over a bare memory: reasonCodeChanged says whether the agent's current reason code
// differs from the event's.
[[nodiscard]] int FilterAgentEventToAllEventClients(AgentEventMemory& memory, bool reasonCodeChanged,
                                                    BaseMSG& event);
