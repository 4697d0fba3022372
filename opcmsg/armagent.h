#pragma once
// ARM agent state, media login and interrupt messages (types 49 to 57, 68 to 77, 85, 121).
// Numbers are signed 32-bit unless the accessor says uint16_t; unset fields travel as zero.
#include <vector>

#include "opcmsg/armmsg.h"

class ARMMediaLoginReqMsg final : public ARMMsgCommon {
public:
    ARMMediaLoginReqMsg() : ARMMsgCommon(ARM_MEDIA_LOGIN_REQ) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(AgentMode, 12)
    ARM_I32(IsAvailable, 16)
    ARM_I32(MaxTaskLimit, 20)
    ARM_I32(MaxBeyondTaskLimit, 24)
    ARM_TEXT(AgentInfo, 0)
    ARM_I32(ApplicationPathID, 28)
    // Offset 32 is a reserved word without accessor; it travels as zero.
    ARM_I32(PeripheralID, 36)
    ARM_TEXT(AgentID, 1)
    ARM_I32(ClientInvokeID, 40)
    ARM_UII
};

class ARMMediaLoginRespMsg final : public ARMMsgCommon {
public:
    ARMMediaLoginRespMsg() : ARMMsgCommon(ARM_MEDIA_LOGIN_RESP) {}
    ARMMediaLoginRespMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_MEDIA_LOGIN_RESP, body, length) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(Status, 4)
    ARM_I32(AgentSkillTargetID, 8)
    ARM_I32(ClientInvokeID, 12)
    ARM_UII
};

class ARMMediaLogoutIndMsg final : public ARMMsgCommon {
public:
    ARMMediaLogoutIndMsg() : ARMMsgCommon(ARM_MEDIA_LOGOUT_IND) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_U16(EventReasonCode, 12)  // two padding bytes follow, sent as zero
    ARM_I32(SessionID, 16)
    ARM_U16(ZURDisposition, 20)
    ARM_U16(ApplicationDisposition, 22)
    ARM_I32(ClientInvokeID, 24)
    ARM_UII
};

// Types 52 and 55 differ in the field at 12.
class ARMMakeAgentRoutableIndMsg final : public ARMMsgCommon {
public:
    ARMMakeAgentRoutableIndMsg() : ARMMsgCommon(ARM_MAKE_AGENT_ROUTABLE_IND) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(MaxTasks, 12)
    ARM_I32(SessionID, 16)
    ARM_I32(ClientInvokeID, 20)
    ARM_UII
};

class ARMMakeAgentReadyIndMsg final : public ARMMsgCommon {
public:
    ARMMakeAgentReadyIndMsg() : ARMMsgCommon(ARM_MAKE_AGENT_READY_IND) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(MakeRoutable, 12)
    ARM_I32(SessionID, 16)
    ARM_I32(ClientInvokeID, 20)
    ARM_UII
};

// Layout of 53 and 76: an agent request without arguments.
class ARMAgentReqLayoutMsg : public ARMMsgCommon {
public:
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(ClientInvokeID, 12)
    ARM_UII
protected:
    using ARMMsgCommon::ARMMsgCommon;
};
ARM_OUT_CLASS(ARMMakeAgentNotRoutableReqMsg, ARMAgentReqLayoutMsg, ARM_MAKE_AGENT_NOT_ROUTABLE_REQ)
ARM_OUT_CLASS(ARMOverrideLimitReqMsg, ARMAgentReqLayoutMsg, ARM_OVERRIDE_LIMIT_REQ)

// Layout of 54, 57 and 81: a status response.
class ARMStatusRespLayoutMsg : public ARMMsgCommon {
public:
    ARM_I32(InvokeID, 0)
    ARM_I32(Status, 4)
    ARM_I32(ClientInvokeID, 8)
    ARM_UII
protected:
    using ARMMsgCommon::ARMMsgCommon;
};
ARM_IN_CLASS(ARMMakeAgentNotRoutableRespMsg, ARMStatusRespLayoutMsg, ARM_MAKE_AGENT_NOT_ROUTABLE_RESP)
ARM_IN_CLASS(ARMMakeAgentNotReadyRespMsg, ARMStatusRespLayoutMsg, ARM_MAKE_AGENT_NOT_READY_RESP)

class ARMMakeAgentNotReadyReqMsg final : public ARMMsgCommon {
public:
    ARMMakeAgentNotReadyReqMsg() : ARMMsgCommon(ARM_MAKE_AGENT_NOT_READY_REQ) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(Reason, 12)
    ARM_I32(ClientInvokeID, 16)
    ARM_UII
};

class ARMAgentMadeNotRoutableEventMsg final : public ARMMsgCommon {
public:
    ARMAgentMadeNotRoutableEventMsg() : ARMMsgCommon(ARM_AGENT_MADE_NOT_ROUTABLE_EVENT) {}
    ARMAgentMadeNotRoutableEventMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_AGENT_MADE_NOT_ROUTABLE_EVENT, body, length) {}
    ARM_I32(MRDID, 0)
    ARM_I32(ZURAgentID, 4)
};

class ARMAgentInterruptAdvisoryEventMsg final : public ARMMsgCommon {
public:
    ARMAgentInterruptAdvisoryEventMsg() : ARMMsgCommon(ARM_AGENT_INTERRUPT_ADVISORY_EVENT) {}
    ARMAgentInterruptAdvisoryEventMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_AGENT_INTERRUPT_ADVISORY_EVENT, body, length) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(InterruptingMRDID, 8)
    ARM_I32(ZURAgentID, 12)
};

class ARMAgentInterruptDoneAdvisoryEventMsg final : public ARMMsgCommon {
public:
    ARMAgentInterruptDoneAdvisoryEventMsg() : ARMMsgCommon(ARM_AGENT_INTERRUPT_DONE_ADVISORY_EVENT) {}
    ARMAgentInterruptDoneAdvisoryEventMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_AGENT_INTERRUPT_DONE_ADVISORY_EVENT, body, length) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
};

// Layout of 70, 71 and 73: interrupt indications.
class ARMInterruptIndLayoutMsg : public ARMMsgCommon {
public:
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(SessionID, 12)
    ARM_I32(ClientInvokeID, 16)
    ARM_UII
protected:
    using ARMMsgCommon::ARMMsgCommon;
};
ARM_OUT_CLASS(ARMAgentInterruptAcceptedIndMsg, ARMInterruptIndLayoutMsg, ARM_AGENT_INTERRUPT_ACCEPTED_IND)
ARM_OUT_CLASS(ARMAgentInterruptUnacceptedIndMsg, ARMInterruptIndLayoutMsg, ARM_AGENT_INTERRUPT_UNACCEPTED_IND)
ARM_OUT_CLASS(ARMAgentInterruptDoneAcceptedIndMsg, ARMInterruptIndLayoutMsg, ARM_AGENT_INTERRUPT_DONE_ACCEPTED_IND)

class ARMChangeMaxTaskLimitReqMsg final : public ARMMsgCommon {
public:
    ARMChangeMaxTaskLimitReqMsg() : ARMMsgCommon(ARM_CHANGE_MAX_TASK_LIMIT_REQ) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(MaxTasks, 12)
    ARM_I32(ClientInvokeID, 16)
    ARM_UII
};

class ARMChangeMaxTaskLimitRespMsg final : public ARMMsgCommon {
public:
    ARMChangeMaxTaskLimitRespMsg() : ARMMsgCommon(ARM_CHANGE_MAX_TASK_LIMIT_RESP) {}
    ARMChangeMaxTaskLimitRespMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_CHANGE_MAX_TASK_LIMIT_RESP, body, length) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(DoThisWithTaskOnTheWay, 20)
    ARM_I32(Status, 12)
    ARM_I32(ClientInvokeID, 16)
    ARM_UII
};

class ARMOverrideLimitRespMsg final : public ARMMsgCommon {
public:
    ARMOverrideLimitRespMsg() : ARMMsgCommon(ARM_OVERRIDE_LIMIT_RESP) {}
    ARMOverrideLimitRespMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_OVERRIDE_LIMIT_RESP, body, length) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(Status, 12)
    ARM_I32(ClientInvokeID, 16)
    ARM_UII
};

class ARMFailureRespMsg final : public ARMMsgCommon {
public:
    ARMFailureRespMsg() : ARMMsgCommon(ARM_FAILURE_RESP) {}
    ARMFailureRespMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_FAILURE_RESP, body, length) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(Status, 4)
    ARM_I32(Type, 8)
    ARM_I32(SessionID, 12)
    ARM_I32(ClientInvokeID, 16)
    ARM_UII
};

// Defaults: ZURAgentID and ApplicationPathID -1. Set NumMRDs to the list's length before
// Serialize: a count that disagrees with the list sends that many zero words.
class ARMDesktopConnectedIndMSG final : public ARMMsgCommon {
public:
    ARMDesktopConnectedIndMSG() : ARMMsgCommon(ARM_DESKTOP_CONNECTED_IND) {
        SetZURAgentID(-1);
        SetApplicationPathID(-1);
    }
    ARM_I32(InvokeID, 0)
    ARM_I32(ZURAgentID, 4)
    ARM_U16(NumMRDs, 8)
    ARM_U16(EventReasonCode, 10)
    ARM_I32(ApplicationPathID, 12)
    ARM_I32(SessionID, 16)
    std::vector<int32_t> GetMRDIDs() const { return m_Body.Words(); }
    void SetMRDIDs(const std::vector<int32_t>& ids) { m_Body.Words() = ids; }
    ARM_I32(ClientInvokeID, 20)
    ARM_UII
};
