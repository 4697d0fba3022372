#pragma once
#include <cstdint>

class Call;

// What a call needs of the agent at a device (CTICSTADevice::m_Agent): its instrument lines
// and the release of its private calls. The agent objects install it once at start; without
// it a device's agent counts as absent. Runs on the application thread.
class CallAgentOps {
public:
    virtual ~CallAgentOps() = default;
    virtual bool HasInstrument(void* agent) = 0;
    // Whether a line of the agent's instrument carries the CallID.
    virtual bool FindLineByCallID(void* agent, uint32_t callID) = 0;
    // The first non-zero line number of a line carrying the CallID; 0 when none.
    virtual int GetLineNumber(void* agent, uint32_t callID) = 0;
    // The first line type other than 3 (unknown) of a line carrying the CallID; 3 when none.
    virtual int GetLineType(void* agent, uint32_t callID) = 0;
    // Clears the instrument line that carries the CallID (with that line number).
    virtual void RemoveCallFromLine(void* agent, uint32_t callID) = 0;
    virtual void RemoveCallFromLineAt(void* agent, uint32_t callID, int lineNumber) = 0;
    // Unlinks the private call from the agent's list, then runs Call::Free.
    virtual void RemovePrivateCall(void* agent, Call* call, bool sendEndCall) = 0;
};
// Kept by pointer (must outlive every call operation); null removes it.
void InstallCallAgentOps(CallAgentOps* ops);
CallAgentOps* GetCallAgentOps();
