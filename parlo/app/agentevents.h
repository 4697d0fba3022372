#pragma once
// AgentEvents: OPC's reports about agents, applied on the application thread. CTI_AGENT_EVENT
// changes the agents, their devices, counters and sessions and is told to the sessions and
// monitors that want it; CTI_SET_CLIENT_STATUS_RESP ends an agent's pending client-status
// request.
#include <cstddef>
#include <cstdint>
#include <string>

class Agent;
class AppPeripherals;
class ApplicationQueue;
class OpenRoad;
class StdQueue;
struct OPCAgentEventRecord;

class AgentEvents {
public:
    // The handlers note the peripherals they see, read the application's state (`queue`),
    // bind sessions through the open road and take sessions out of `loginWait`; all outlive
    // them.
    AgentEvents(AppPeripherals& peripherals, const ApplicationQueue& queue, OpenRoad& road, StdQueue& loginWait)
        : peripherals_(peripherals), queue_(queue), road_(road), loginWait_(loginWait) {}
    AgentEvents(const AgentEvents&) = delete;
    AgentEvents& operator=(const AgentEvents&) = delete;

    // CTI_AGENT_EVENT: applies every record in order (agents and domains created on first
    // sight, device binding, identity, counters, OPC's client status, login waits,
    // AGENT_STATE_EVENT, logout). A body whose records do not fit `length` is traced and
    // dropped whole.
    void ProcessAgentEvent(const uint8_t* body, size_t length);
    // CTI_SET_CLIENT_STATUS_RESP: clears the agent's pending client-status flag and releases
    // the request record. Nothing goes to the client. A short body is traced and dropped.
    void ProcessClientStatusResponse(const uint8_t* body, size_t length);

private:
    void ProcessNonVoiceAgentEvent(const OPCAgentEventRecord& record, bool enabled);
    void ProcessVoiceAgentEvent(const OPCAgentEventRecord& record, bool enabled);
    // The first session of the login-wait queue that waits for this agent is bound to it.
    void CompleteAgentLoginWait(const OPCAgentEventRecord& record, Agent* agent);
    // A logged-out agent: its device let go, its agent-mode session back to waiting (or,
    // with AgentLoginRequired, ended with FAILURE_EVENT 9).
    void ProcessAgentLogout(const OPCAgentEventRecord& record, Agent* agent, bool enabled);

    AppPeripherals& peripherals_;
    const ApplicationQueue& queue_;
    OpenRoad& road_;
    StdQueue& loginWait_;
};

// The OPC writer's note (parlo/opclink/opcwriters.cpp) that a set-client-status request went
// out for the agent: its pending flag is set (under the server lock).
void MarkClientStatusRequested(const std::string& agentID, uint32_t peripheralID);
