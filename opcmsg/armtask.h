#pragma once
// ARM task messages: offer and start (58 to 63), pause, resume, wrap-up and end (64 to 67),
// context update (78) and task initialisation (83, 103, 104). A text that the client left
// out is sent as the one character 0xFF (kARMTextLeftOut), an empty one as the empty text.
#include "opcmsg/armmsg.h"

// The one-character text of a client field that the client's message does not carry.
inline const CString kARMTextLeftOut = CString(1, '\xFF');

// Layout of 58 and 61.
class ARMTaskIndLayoutMsg : public ARMMsgCommon {
public:
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_TASK(TaskID, 12)
    ARM_I32(SkillGroupID, 24)
    ARM_I32(ServiceID, 28)
    ARM_I32(SessionID, 32)
    ARM_I32(ClientInvokeID, 36)
    ARM_UII
protected:
    using ARMMsgCommon::ARMMsgCommon;
};
ARM_OUT_CLASS(ARMOfferTaskIndMsg, ARMTaskIndLayoutMsg, ARM_OFFER_TASK_IND)
ARM_OUT_CLASS(ARMStartTaskIndMsg, ARMTaskIndLayoutMsg, ARM_START_TASK_IND)

// Layout of 59 and 62. ToString() is empty; the two-flag ToString is the trace.
class ARMApplicationTaskReqLayoutMsg : public ARMMsgCommon {
public:
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_TASK(PreviousZURTaskID, 12)
    ARM_I32(SkillGroupID, 24)
    ARM_I32(ServiceID, 28)
    ARM_I32(XferInWhileLoggedOut, 36)
    ARM_TEXT(ScriptSelector, 0)
    ARM_TEXT(ApplicationString1, 1)
    ARM_TEXT(ApplicationString2, 2)
    ARM_CALL_VARIABLES_AND_ECC(3)
    ARM_I32(ClientInvokeID, 32)
    ARM_UII
protected:
    using ARMMsgCommon::ARMMsgCommon;
};
ARM_OUT_CLASS(ARMOfferApplicationTaskReqMsg, ARMApplicationTaskReqLayoutMsg, ARM_OFFER_APPLICATION_TASK_REQ)
ARM_OUT_CLASS(ARMStartApplicationTaskReqMsg, ARMApplicationTaskReqLayoutMsg, ARM_START_APPLICATION_TASK_REQ)

// Layout of 60, 63 and 104: OPC's answer with the task it assigned.
class ARMTaskRespLayoutMsg : public ARMMsgCommon {
public:
    ARM_I32(InvokeID, 0)
    ARM_I32(Status, 4)
    ARM_TASK(TaskID, 12)
    ARM_I32(ClientInvokeID, 8)
    ARM_UII
protected:
    using ARMMsgCommon::ARMMsgCommon;
};
ARM_IN_CLASS(ARMOfferApplicationTaskRespMsg, ARMTaskRespLayoutMsg, ARM_OFFER_APPLICATION_TASK_RESP)
ARM_IN_CLASS(ARMStartApplicationTaskRespMsg, ARMTaskRespLayoutMsg, ARM_START_APPLICATION_TASK_RESP)
ARM_IN_CLASS(ARMTaskInitRespMsg, ARMTaskRespLayoutMsg, ARM_TASK_INIT_RESP)

// Layout of 64, 65 and 66.
class ARMTaskStepIndLayoutMsg : public ARMMsgCommon {
public:
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_TASK(TaskID, 12)
    ARM_I32(SessionID, 24)
    ARM_I32(ClientInvokeID, 28)
    ARM_UII
protected:
    using ARMMsgCommon::ARMMsgCommon;
};
ARM_OUT_CLASS(ARMPauseTaskIndMsg, ARMTaskStepIndLayoutMsg, ARM_PAUSE_TASK_IND)
ARM_OUT_CLASS(ARMResumeTaskIndMsg, ARMTaskStepIndLayoutMsg, ARM_RESUME_TASK_IND)
ARM_OUT_CLASS(ARMWrapupTaskIndMsg, ARMTaskStepIndLayoutMsg, ARM_WRAPUP_TASK_IND)

// The builder sends it only for a ZURDisposition of 15, 37, 38 or 63, with EndTaskFlag 1.
class ARMEndTaskIndMsg final : public ARMMsgCommon {
public:
    ARMEndTaskIndMsg() : ARMMsgCommon(ARM_END_TASK_IND) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_TASK(TaskID, 12)
    ARM_U16(ZURDisposition, 24)
    ARM_U16(ApplicationDisposition, 26)
    ARM_TEXT(WrapupData, 0)
    ARM_TEXT(ApplicationData, 1)
    ARM_I32(SessionID, 28)
    ARM_I32(EndTaskFlag, 36)
    ARM_I32(ClientInvokeID, 32)
    ARM_UII
};

// ToString() is empty; the two-flag ToString is the trace.
class ARMUpdateTaskContextIndMsg final : public ARMMsgCommon {
public:
    ARMUpdateTaskContextIndMsg() : ARMMsgCommon(ARM_UPDATE_TASK_CONTEXT_IND) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_TASK(TaskID, 12)
    ARM_I32(SessionID, 24)
    ARM_TEXT(ScriptSelector, 0)
    ARM_TEXT(ApplicationString1, 1)
    ARM_TEXT(ApplicationString2, 2)
    ARM_CALL_VARIABLES_AND_ECC(3)
    ARM_I32(ClientInvokeID, 28)
    ARM_UII
};

// Layout of 83 and 103; the first 12 bytes are TaskID (83) or PreviousZURTaskID (103).
// ToString() is empty; the two-flag ToString is the trace.
class ARMTaskInitLayoutMsg : public ARMMsgCommon {
public:
    ARM_I32(MRDID, 12)
    ARM_I32(InvokeID, 16)
    ARM_I32(AgentID, 20)
    ARM_I32(SkillGroupID, 24)
    ARM_I32(ServiceID, 28)
    ARM_I32(Paused, 32)
    ARM_I32(TaskState, 36)
    ARM_I32(OfferDuration, 40)
    ARM_I32(BeginDuration, 44)
    ARM_I32(InterruptDuration, 48)
    ARM_I32(PauseDuration, 52)
    ARM_I32(WrapupDuration, 56)
    ARM_I32(ApplicationRouted, 60)
    ARM_I32(SessionID, 64)
    ARM_TEXT(ScriptSelector, 0)
    ARM_TEXT(ApplicationString1, 1)
    ARM_TEXT(ApplicationString2, 2)
    ARM_CALL_VARIABLES_AND_ECC(3)
    ARM_I32(ClientInvokeID, 68)
    ARM_UII
protected:
    using ARMMsgCommon::ARMMsgCommon;
};

class ARMTaskInitIndMsg final : public ARMTaskInitLayoutMsg {
public:
    ARMTaskInitIndMsg() : ARMTaskInitLayoutMsg(ARM_TASK_INIT_IND) {}
    ARM_TASK(TaskID, 0)
};

class ARMTaskInitReqMsg final : public ARMTaskInitLayoutMsg {
public:
    ARMTaskInitReqMsg() : ARMTaskInitLayoutMsg(ARM_TASK_INIT_REQ) {}
    ARM_TASK(PreviousZURTaskID, 0)
};
