#pragma once
// Tests only: gives an agent a state that OPC would report over several events (its overall
// state, how long it has been in it, the unique instance ID of its last report) in one step.
#include <cstdint>
#include <string>

#include "parlo/model/agent.h"

struct AgentTestAccess {
    static void SetOverallState(Agent* agent, int32_t state) { agent->m_OverallState = state; }
    static void SetOverallStateTime(Agent* agent, int64_t seconds) { agent->m_OverallStateTime = seconds; }
    static void SetUniqueInstanceID(Agent* agent, const std::string& id) { agent->m_UniqueInstanceID = id; }
};
