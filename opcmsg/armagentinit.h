#pragma once
// ARM agent initialisation messages (79 to 82, 84). The response (81) has the layout of
// the status responses (opcmsg/armagent.h).
#include "opcmsg/armagent.h"
#include "opcmsg/armmsg.h"

class ARMBeginAgentInitIndMsg final : public ARMMsgCommon {
public:
    ARMBeginAgentInitIndMsg() : ARMMsgCommon(ARM_BEGIN_AGENT_INIT_IND) {}
    ARM_I32(SessionID, 0)
    ARM_I32(ApplicationPathID, 4)
};

class ARMAgentInitReqMsg final : public ARMMsgCommon {
public:
    ARMAgentInitReqMsg() : ARMMsgCommon(ARM_AGENT_INIT_REQ) {}
    ARM_I32(MRDID, 0)
    ARM_I32(InvokeID, 4)
    ARM_I32(AgentID, 8)
    ARM_I32(AgentMode, 12)
    ARM_I32(IsInterrupted, 16)
    ARM_I32(InterruptingMRDID, 20)
    ARM_I32(InterruptingInvokeID, 24)
    ARM_I32(IsNotReady, 28)
    ARM_I32(MaxTaskLimit, 32)
    ARM_I32(MaxBeyondTaskLimit, 36)
    ARM_TEXT(AgentInfo, 0)
    ARM_I32(AvailableDuration, 40)
    ARM_I32(LogonDuration, 44)
    ARM_I32(NotReadyDuration, 48)
    ARM_I32(RoutableDuration, 52)
    ARM_I32(NumTasks, 56)
    ARM_I32(SessionID, 60)
    ARM_I32(ClientInvokeID, 64)
    ARM_UII
};

ARM_IN_CLASS(ARMAgentInitRespMsg, ARMStatusRespLayoutMsg, ARM_AGENT_INIT_RESP)

class ARMEndAgentInitIndMsg final : public ARMMsgCommon {
public:
    ARMEndAgentInitIndMsg() : ARMMsgCommon(ARM_END_AGENT_INIT_IND) {}
    ARM_I32(SessionID, 0)
};

class ARMAgentInitReadyEventMsg final : public ARMMsgCommon {
public:
    ARMAgentInitReadyEventMsg() : ARMMsgCommon(ARM_AGENT_INIT_READY_EVENT) {}
    ARMAgentInitReadyEventMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_AGENT_INIT_READY_EVENT, body, length) {}
    ARM_I32(ReadyCount, 0)
    ARM_I32(SessionID, 4)
};
