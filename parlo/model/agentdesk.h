#pragma once
// What the agent object needs of the agent configuration table: the desk settings of an
// agent and the lines its dump shows. agentconfig.cpp answers them from the agent's table-5
// record and the table-12 desk settings it names, so that agent.cpp and agentstate.cpp need
// not include the configuration tables. Call with the server lock held.
#include <cstdint>
#include <string>
#include <vector>

struct AgentDeskSettings {
    int32_t mask = -1;
    int32_t wrapUpIncomingMode = -1;
    int32_t wrapUpOutgoingMode = -1;
};

namespace agentconfig {
// The desk settings of the agent's configuration record; false when there are none (the
// agent then keeps -1 copies).
[[nodiscard]] bool GetAgentDeskSettings(int32_t skillTargetID, AgentDeskSettings& out);
// For the agent dump: the record's name line (the FirstName line, ending in "\n") and its
// enabled service types; false when the agent has no configuration record.
[[nodiscard]] bool GetAgentDumpInfo(int32_t skillTargetID, std::string& nameLine,
                                    std::vector<int32_t>& serviceTypes);
}  // namespace agentconfig
