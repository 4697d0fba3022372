#pragma once
// What the request writers read of the layers below them: the session a request is made for
// and the object model's agents. Each call takes the lock it needs (the master session lock,
// the server lock) when the calling thread does not hold it already.
#include <cstdint>
#include <string>

namespace opclink {

// The UniqueInstanceID that session `session` gave at its open (OPC matches a request to the
// client's instance with it, after a failover too); empty for kNoSession, without a session
// master, or once the session is gone.
std::string UniqueInstanceID(int session);

// Whether the object model has an agent of that AgentID on that peripheral.
bool AgentExists(const std::string& agentID, uint32_t peripheralID);

// Marks the agent's set-client-status request pending (Agent::SetClientStatusRequested) until
// OPC's answer clears it; an unknown agent is left alone.
void MarkClientStatusRequested(const std::string& agentID, uint32_t peripheralID);

}  // namespace opclink
