#pragma once
// Task snapshot and agent-task list messages (101, 112 to 120). In the list messages
// NumTasks is a field of its own: set it to the list's length before Serialize (a count
// that disagrees with the list sends that many zero task ids, so the length still holds).
#include <vector>

#include "opcmsg/armmsg.h"

// Defaults: MRDID, ZURAgentID and every TaskID word -1.
class ARMSnapshotTaskReqMsg final : public ARMMsgCommon {
public:
    ARMSnapshotTaskReqMsg() : ARMMsgCommon(ARM_SNAPSHOT_TASK_REQ) {
        SetMRDID(-1);
        SetZURAgentID(-1);
        SetTaskID(-1, -1, -1);
    }
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_TASK(TaskID, 12)
    ARM_I32(SessionID, 24)
    ARM_I32(ClientInvokeID, 28)
    ARM_UII
};

// ToString() is ToString(false, false).
class ARMSnapshotTaskRespMsg final : public ARMMsgCommon {
public:
    ARMSnapshotTaskRespMsg() : ARMMsgCommon(ARM_SNAPSHOT_TASK_RESP) {}
    ARMSnapshotTaskRespMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_SNAPSHOT_TASK_RESP, body, length) {}
    ARM_TASK(TaskID, 12)
    ARM_I32(MRDID, 4)
    ARM_I32(InvokeID, 0)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(Status, 24)
    ARM_I32(SkillGroupID, 28)
    ARM_I32(ServiceID, 32)
    ARM_I32(TaskState, 36)
    ARM_I32(OfferDuration, 40)
    ARM_I32(BeginDuration, 44)
    ARM_I32(InterruptDuration, 48)
    ARM_I32(PauseDuration, 52)
    ARM_I32(WrapupDuration, 56)
    ARM_I32(ApplicationRouted, 64)
    ARM_TEXT(ScriptSelector, 0)
    ARM_TEXT(ApplicationString1, 1)
    ARM_TEXT(ApplicationString2, 2)
    ARM_CALL_VARIABLES_AND_ECC(3)
    ARM_I32(ClientInvokeID, 60)
    ARM_UII
};

// ToString() is ToString(false, false).
class ARMSnapshotTaskEventMSG final : public ARMMsgCommon {
public:
    ARMSnapshotTaskEventMSG() : ARMMsgCommon(ARM_SNAPSHOT_TASK_EVENT) {}
    ARMSnapshotTaskEventMSG(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_SNAPSHOT_TASK_EVENT, body, length) {}
    ARM_TASK(TaskID, 12)
    ARM_I32(MRDID, 4)
    ARM_I32(SessionID, 0)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(SkillGroupID, 24)
    ARM_I32(ServiceID, 28)
    ARM_I32(TaskState, 32)
    ARM_I32(OfferDuration, 36)
    ARM_I32(BeginDuration, 40)
    ARM_I32(InterruptDuration, 44)
    ARM_I32(PauseDuration, 48)
    ARM_I32(WrapupDuration, 52)
    ARM_I32(ApplicationRouted, 56)
    ARM_TEXT(ScriptSelector, 0)
    ARM_TEXT(ApplicationString1, 1)
    ARM_TEXT(ApplicationString2, 2)
    ARM_CALL_VARIABLES_AND_ECC(3)
};

// Defaults: MRDID and ZURAgentID -1.
class ARMGetAgentTasksReqMsg final : public ARMMsgCommon {
public:
    ARMGetAgentTasksReqMsg() : ARMMsgCommon(ARM_GET_AGENT_TASKS_REQ) {
        SetMRDID(-1);
        SetZURAgentID(-1);
    }
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(SessionID, 12)
    ARM_I32(ClientInvokeID, 16)
    ARM_UII
};

class ARMGetAgentTasksRespMsg final : public ARMMsgCommon {
public:
    ARMGetAgentTasksRespMsg() : ARMMsgCommon(ARM_GET_AGENT_TASKS_RESP) {}
    ARMGetAgentTasksRespMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_GET_AGENT_TASKS_RESP, body, length) {}
    ARM_I32(InvokeID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_I32(Status, 12)
    ARM_U32(NumTasks, 16)
    std::vector<ARMTaskID> GetTaskIDs() const { return m_Body.Tasks(); }
    // Replaces the list; NumTasks stays as it is.
    void SetTaskIDs(const std::vector<ARMTaskID>& ids) { m_Body.Tasks() = ids; }
    ARM_I32(ClientInvokeID, 20)
    ARM_UII
};

// Defaults: ZURAgentID and ApplicationPathID -1.
class ARMAgentTasksReqEventMSG final : public ARMMsgCommon {
public:
    ARMAgentTasksReqEventMSG() : ARMMsgCommon(ARM_AGENT_TASKS_REQUEST_EVENT) {
        SetZURAgentID(-1);
        SetApplicationPathID(-1);
    }
    ARM_I32(ZURAgentID, 0)
    ARM_I32(SessionID, 4)
    ARM_I32(SendTasksInAllMRDs, 12)
    ARM_I32(ApplicationPathID, 8)
    ARM_I32(DesktopConnectedFlag, 16)
};

class ARMAgentTasksBeginEventMSG final : public ARMMsgCommon {
public:
    ARMAgentTasksBeginEventMSG() : ARMMsgCommon(ARM_AGENT_TASKS_BEGIN_EVENT) {}
    ARMAgentTasksBeginEventMSG(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_AGENT_TASKS_BEGIN_EVENT, body, length) {}
    ARM_I32(ZURAgentID, 0)
    ARM_I32(SessionID, 4)
};

class ARMAgentTasksEventMSG final : public ARMMsgCommon {
public:
    ARMAgentTasksEventMSG() : ARMMsgCommon(ARM_AGENT_TASKS_EVENT) {}
    ARMAgentTasksEventMSG(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_AGENT_TASKS_EVENT, body, length) {}
    ARM_I32(SessionID, 0)
    ARM_I32(MRDID, 4)
    ARM_I32(ZURAgentID, 8)
    ARM_U32(NumTasks, 12)
    std::vector<ARMTaskID> GetTaskIDs() const { return m_Body.Tasks(); }
    // Replaces the list; NumTasks stays as it is.
    void SetTaskIDs(const std::vector<ARMTaskID>& ids) { m_Body.Tasks() = ids; }
};

class ARMAgentTasksEndEventMSG final : public ARMMsgCommon {
public:
    ARMAgentTasksEndEventMSG() : ARMMsgCommon(ARM_AGENT_TASKS_END_EVENT) {}
    ARMAgentTasksEndEventMSG(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_AGENT_TASKS_END_EVENT, body, length) {}
    ARM_I32(ZURAgentID, 0)
    ARM_I32(SessionID, 4)
    ARM_I32(Status, 8)
};

class ARMMaxTaskLifetimeExceededEventMsg final : public ARMMsgCommon {
public:
    ARMMaxTaskLifetimeExceededEventMsg() : ARMMsgCommon(ARM_MAX_TASK_LIFETIME_EXCEEDED_EVENT) {}
    ARMMaxTaskLifetimeExceededEventMsg(const uint8_t* body, size_t length)
        : ARMMsgCommon(ARM_MAX_TASK_LIFETIME_EXCEEDED_EVENT, body, length) {}
    ARM_TASK(TaskID, 0)
    ARM_I32(AgentID, 12)
    ARM_I32(MRDID, 16)
};
