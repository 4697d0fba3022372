// Stand-in for the agent configuration table: no agent has a record yet.
#include "parlo/model/agentdesk.h"

namespace agentconfig {

bool GetAgentDeskSettings(int32_t, AgentDeskSettings&) { return false; }

bool GetAgentDumpInfo(int32_t, std::string&, std::vector<int32_t>&) { return false; }

}  // namespace agentconfig
