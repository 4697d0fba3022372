#pragma once
// Agent: the server's record of one agent of one peripheral, found through four tables of
// 512 buckets (by AgentID, extension, instrument number, SkillTargetID). An agent keeps its
// client sessions by SessionID only, its states (overall, per skill group, per media routing
// domain), its private calls and the monitors whose subject it is.
//
// Locks: the tables and every change of an agent's members belong to the server lock
// "RTServerConfig"; each operation takes it when the calling thread does not hold it, so a
// caller that reads several members or keeps a pointer from a look-up holds it itself. Steps
// that allocate or free a call take "CallLock", which comes first in the lock order: the
// operations that may do so (the destructor, RemoveAgent, UpdateAgentState, the private-call
// operations) must be called without the server lock held, and release it themselves around
// those steps. Console walks and dumps hold the server lock.
//
// Ownership: the tables own every agent. `new Agent(...)` files it; it lives until
// RemoveAgent destroys it (never delete one otherwise). A pointer from a look-up is valid
// until then; a thread that does not remove agents itself holds the server lock while it
// uses one.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ctimsg/eventmasks.h"
#include "nuvlib/stdqueue.h"
#include "parlo/model/call.h"
#include "parlo/model/instrument.h"
#include "parlo/model/ports.h"

class CTICSTADevice;
class CTICSTAMonitor;
class BaseMSG;
namespace model {
struct AgentTables;
}

class Agent {
public:
    static constexpr int kHashBuckets = 512;
    // OPC names skill groups and domains: an agent keeps at most this many of each; a report
    // of one more is traced and not kept.
    static constexpr int kMaxSkillGroups = 1024;
    static constexpr int kMaxMRDs = 1024;

    // Creates and hashes an agent (under the server lock). extension and instrument: none,
    // "" or "-1" mean none. The tables own it until RemoveAgent destroys it.
    Agent(int32_t peripheralID, int32_t peripheralType, int32_t skillTargetID,
          int32_t agentTeamID, const char* agentID, const char* extension,
          const char* instrument, bool supervisor);
    // Out of the tables, private calls released, monitors ended (FAILURE_EVENT
    // E_CTI_MONITOR_TERMINATED to each owner), device unlinked, sessions told. Only through
    // RemoveAgent; without the server lock held.
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // ---- tables ----
    static void InitHashTables();
    // Sum of the characters as signed bytes, remainder by 512 with its sign, absolute value.
    static int HashString(const char* text);
    // Destroys one agent (AgentID given: the PeripheralID must match exactly) or every agent
    // of the peripheral (AgentID none, "" or "-1"; PeripheralID -1: every agent). Pointers to
    // a destroyed agent are dangling afterwards. Call without the server lock held.
    static void RemoveAgent(int32_t peripheralID, const char* agentID);
    // Look-ups: the first match in bucket order, or null. PeripheralID -1 matches every
    // peripheral; texts compare byte for byte. The agent stays the tables'.
    static Agent* FindAgentBySkillTargetID(int32_t peripheralID, int32_t skillTargetID);
    static Agent* FindAgentByAgentID(int32_t peripheralID, const char* agentID, bool definity);
    static Agent* FindAgentByExtension(int32_t peripheralID, const char* extension);
    static Agent* FindAgentByInstrument(int32_t peripheralID, const char* instrument);
    // Bucket walks of AgentIDHashList for the console and tests (hold the server lock).
    static Agent* FirstInBucket(int bucket);
    Agent* NextInBucket() const;
    // The same walks of the other three tables (hold the server lock).
    static Agent* FirstInExtensionBucket(int bucket);
    Agent* NextInExtensionBucket() const;
    static Agent* FirstInInstrumentBucket(int bucket);
    Agent* NextInInstrumentBucket() const;
    static Agent* FirstInSkillTargetIDBucket(int bucket);
    Agent* NextInSkillTargetIDBucket() const;
    static int Count();
    // The extension and instrument buckets the agent is filed under (-1: none).
    int32_t ExtensionHashIndex() const { return m_ExtensionHashIndex; }
    int32_t InstrumentHashIndex() const { return m_InstrumentHashIndex; }

    // ---- identity and sessions ----
    int32_t GetPeripheralID() const { return m_PeripheralID; }
    int32_t GetPeripheralType() const { return m_PeripheralType; }
    int32_t GetSkillTargetID() const { return m_SkillTargetID; }
    const std::string& GetAgentID() const { return m_AgentID; }
    // The overall agent state (the voice domain's), 1 (logged out) until a report.
    int32_t GetOverallState() const { return m_OverallState; }
    // None, "" or "-1" only clear the flag; any other text rehashes the agent (the same text
    // again too). SetInstrument also recreates the instrument (its lines' calls are lost).
    void SetExtension(const char* extension);
    void SetInstrument(const char* instrument);
    // Moves the agent to its new SkillTargetID in the SkillTargetID table (server lock inside).
    void SetSkillTargetID(int32_t skillTargetID);
    std::string GetInstrumentNumber() const;
    // What SetDevice changed, for the caller's traces.
    struct DeviceChange {
        bool agentMoved = false;                  // the agent names a new device (or none)
        CTICSTADevice* previousDevice = nullptr;  // the device it named before, or null
        bool deviceMoved = false;                 // the device names this agent now
        Agent* previousAgent = nullptr;           // the agent the device named before, or null
    };
    // Links the agent and the device both ways (null unlinks the agent). A device or agent
    // left behind loses its link when it pointed back here; a one-sided link is completed.
    // The device stays the table's.
    DeviceChange SetDevice(CTICSTADevice* device);
    // The bound sessions are kept by SessionID only (-1 none). Set*ClientCB take the client
    // or null; Get*ClientCB answer whether that client still exists, filling `out` from the
    // client directory (false for -1 or a closed session; hold the server lock while `out`
    // is used).
    void SetClientSessionID(int32_t sessionID) { m_ClientSessionID = sessionID; }
    void SetAssociateSessionID(int32_t sessionID) { m_AssociateSessionID = sessionID; }
    void SetClientCB(const model::ClientInfo* client);
    void SetAssociateClientCB(const model::ClientInfo* client);
    [[nodiscard]] bool GetClientCB(model::ClientInfo& out) const;
    [[nodiscard]] bool GetAssociateClientCB(model::ClientInfo& out) const;
    // Seconds in the overall state.
    int32_t GetOverallDuration() const;
    int32_t ClientSessionID() const { return m_ClientSessionID; }
    int32_t AssociateSessionID() const { return m_AssociateSessionID; }
    // Whether the agent has an extension (m_Extension) and an instrument.
    bool HasExtension() const { return m_HasExtension; }
    bool HasInstrument() const { return m_HasInstrument; }
    // The client signature and unique instance ID of the last state report.
    const std::string& GetSignature() const { return m_Signature; }
    const std::string& GetUniqueInstanceID() const { return m_UniqueInstanceID; }
    // When the overall state began, seconds since 1970.
    int64_t OverallStateTime() const { return m_OverallStateTime; }
    // What the agent events and state answers set.
    void SetDepartmentID(int32_t departmentID);
    void SetAgentTeamID(int32_t agentTeamID);
    void SetSupervisor(bool supervisor);
    void SetDirection(int32_t direction);
    int32_t GetDepartmentID() const { return m_DepartmentID; }
    int32_t GetAgentTeamID() const { return m_AgentTeamID; }
    bool IsSupervisor() const { return m_Supervisor; }
    int32_t GetDirection() const { return m_Direction; }
    // The reason code of the last state event sent, which IsReasonCodeChanged compares with.
    void SetReasonCode(uint16_t code);
    uint16_t GetReasonCode() const { return m_ReasonCode; }
    // The agent's device (SetDevice), or null.
    CTICSTADevice* GetDevice() const { return m_Device; }
    // Whether a CTI_SET_CLIENT_STATUS_REQ for the agent awaits its answer (one at a time).
    void SetClientStatusRequested(bool requested);
    bool IsClientStatusRequested() const { return m_ClientStatusRequested; }
    // The agent state and availability the all-events filter last let through.
    void SetLastAllEvents(int32_t state, uint32_t availability);
    int32_t LastAllEventsState() const { return m_LastAllEventsState; }
    uint32_t LastAllEventsAvailability() const { return m_LastAllEventsAvailability; }
    // 1 when the status changed (and is stored), else 0.
    [[nodiscard]] int UpdateAvailabilityStatus(uint32_t status);
    bool IsReasonCodeChanged(uint16_t code) const { return code != m_ReasonCode; }
    bool IsLoggedOn() const { return m_OverallState != agentstate::UNKNOWN && m_OverallState != agentstate::LOGOUT; }

    // ---- performance counters (server lock inside) ----
    // While logged in the agent counts once in PARLO_LOGGEDIN_AGENTS, and in at most one of
    // the state counters (ready 3, not ready 2, work ready 6, work not ready 5).
    // A login, counted unless it is already.
    void CountLogin();
    // A logout while counted as logged in: PARLO_LOGGEDIN_AGENTS down, PARLO_LOGGEDOUT_AGENTS
    // up (never lowered), and out of the first state counter it is in. Nothing otherwise.
    void CountLogout();
    // A state event: into that state's counter, out of the first other one it is in; any
    // other state leaves work not ready and the first of the other three.
    void CountAgentState(int32_t state);
    bool IsCountedLoggedIn() const { return m_CountedLoggedIn; }
    // Whether the agent counts in that state's counter (2, 3, 5 or 6).
    bool IsCountedIn(int32_t state) const;

    // ---- monitors ----
    // The list of monitors whose subject is the agent (CTICSTAMonitor::SubjectLinkOffset);
    // CTICSTAMonitor::SetSubject and Free link and unlink them.
    void AddMonitor(CTICSTAMonitor* monitor);
    void RemoveMonitor(CTICSTAMonitor* monitor);
    // Ends every monitor of the agent (FAILURE_EVENT E_CTI_MONITOR_TERMINATED to each owner).
    void CleanupMonitorList();
    // To every monitor of the agent; the message stays the caller's.
    void WriteMSG(BaseMSG& msg);
    StdQueue& MonitorList() { return m_MonitorList; }

    // ---- state, skill groups and media routing domains ----
    // One state report; nonzero when the overall state or a skill-group entry changed. On a
    // change of the voice domain's state it counts (server active), drops aged private calls
    // on AVAILABLE and every one on LOGOUT (CallLock: call without the server lock held).
    [[nodiscard]] int UpdateAgentState(int32_t state, int32_t stateDuration, int32_t mrdID,
                                       int32_t skillGroupState, int32_t skillGroupStateDuration,
                                       int32_t skillGroupID, uint32_t skillGroupNumber,
                                       int32_t numLines, int32_t curLine, const char* signature,
                                       const char* uniqueInstanceID, bool associate);
    // 1 when the skill group's entry was added or changed, else 0 (also when it is not kept).
    [[nodiscard]] int UpdateSkillGroupState(int32_t state, int32_t duration, uint32_t number,
                                            int32_t id);
    void InitSkillGroups();
    // Index of the matching entry, or the number of entries.
    int FindSkillGroupIndex(uint32_t number) const;
    int32_t GetCurrentSkillGroupID() const;
    uint32_t GetCurrentSkillGroupNumber() const;
    int32_t GetCurrentSkillGroupState() const;
    int32_t GetSkillGroupDuration(int index) const;
    int NumSkillGroups() const { return static_cast<int>(m_SkillGroupNumbers.size()); }
    // Entry `index` (0 .. NumSkillGroups() - 1) and the index of the current one (-1 none).
    uint32_t GetSkillGroupNumber(int index) const { return m_SkillGroupNumbers[static_cast<size_t>(index)]; }
    int32_t GetSkillGroupState(int index) const { return m_SkillGroupStates[static_cast<size_t>(index)]; }
    int CurrentSkillGroupIndex() const { return m_CurGroup; }

    void SetAgentMRDState(int32_t mrdID, uint16_t state);
    // 9 when the agent has no state for that domain.
    uint16_t GetAgentMRDState(int32_t mrdID) const;
    // Replaces the set of domains (null: no change); live states other than 9 are kept.
    void SetAgentMRDs(const std::vector<std::pair<int32_t, uint16_t>>* list);
    // MRDomainID -> state, in the order the domains were added.
    const std::vector<std::pair<int32_t, uint16_t>>& GetAgentMRDStates() const { return m_MRDStates; }
    // The session associated for a non-voice domain (the voice domain, 1, is never one).
    void AddAssociateNonVoiceClient(int32_t mrdID, int32_t sessionID);
    void RemoveAssociateNonVoiceClient(int32_t mrdID);
    int32_t GetAssociateNonVoiceSessionID(int32_t mrdID) const;
    int NumAssociateNonVoiceClients() const { return static_cast<int>(m_NonVoiceSessions.size()); }
    // Binds a newly opened session (ALL_EVENTS or PERIPHERAL_MONITOR) to every agent last
    // reported with that unique instance ID.
    static void AssociateClient(int32_t sessionID, const char* uniqueInstanceID);

    // ---- private calls (call these without the server lock held) ----
    // A new private call at the agent, or null when the limit is below 1 (the oldest go
    // first while the agent has `limit`). The call belongs to the agent's list until
    // RemovePrivateCall or DetachPrivateCall.
    Call* AddPrivateCall(int limit, uint16_t callType, const model::ConnectionID& connection,
                         const char* dialedNumber, bool trace);
    // Unlinks the call and releases it (Call::Free with sendEndCall); the pointer is gone.
    void RemovePrivateCall(Call* call, bool sendEndCall);
    // Unlinks the call; it lives on as an ordinary call.
    void DetachPrivateCall(Call* call);
    // Removes each private call whose last event is more than `seconds` old; -1: all.
    void DropPrivateCalls(int seconds);
    int NumPrivateCalls() const { return m_PrivateCallList.Count(); }
    // The oldest private call and the one after `call`; null at the end.
    Call* FirstPrivateCall() const;
    Call* NextPrivateCall(Call* call) const;

    // ---- instrument lines (server lock inside) ----
    // Puts the call on line lineIndex (0..10) as lineType; type 3 or a negative index does
    // nothing. RemoveCallFromLine* clear the lowest line carrying the call.
    void AddCallToLine(int32_t callID, int32_t deviceIDType, const char* deviceID,
                       int32_t lineIndex, int32_t lineType);
    void RemoveCallFromLine(int32_t callID);
    void RemoveCallFromLineAt(int32_t callID, int32_t lineNumber);

    // ---- console texts (server lock inside; each a new string) ----
    std::string GetDumpString();
    static std::string GetListHeader();
    std::string GetListEntry();

    // ---- members: read them under the server lock; change them only through the
    // operations above. They stay public while the application and the model's tests still
    // read them directly ----
    std::string m_Extension;  // a table key: SetExtension
    CTICSTADevice* m_Device = nullptr;
    std::unique_ptr<Instrument> m_Instrument;  // never null; SetInstrument replaces it
    // The desk settings of the agent's configuration, copied at login (-1: none).
    int32_t m_DeskSettingsMask = -1;
    int32_t m_WrapUpIncomingMode = -1;
    int32_t m_WrapUpOutgoingMode = -1;

private:
    // The four tables and their exact indexes file agents by their links.
    friend struct model::AgentTables;
    friend struct AgentTestAccess;  // tests: states that take OPC several reports

    void AddToHash();
    void RemoveFromHash();
    void AssociateVoice(int32_t sessionID);
    void AssociateNonVoice(int32_t mrdID, int32_t sessionID);
    // The counters of a state change that UpdateAgentState made while the server is active.
    void CountState(int32_t state, int32_t old);
    // The flag and counter of a counted state (2, 3, 5 or 6).
    bool& CountedFlag(int32_t state);
    void SetCounted(int32_t state);
    bool ClearCounted(int32_t state);
    // Out of the first state counter the agent is in, in the order ready, not ready, work
    // ready, work not ready, leaving out `except`.
    void LeaveFirstCounted(int32_t except);

    // Set through the operations above, read through their getters.
    int32_t m_LastAllEventsState = 0;
    uint32_t m_LastAllEventsAvailability = 0;
    int32_t m_PeripheralID;
    int32_t m_PeripheralType;
    int32_t m_SkillTargetID;  // a table key: SetSkillTargetID
    std::string m_AgentID;    // a table key: fixed
    bool m_ClientStatusRequested = false;
    bool m_Supervisor;
    int32_t m_OverallState = agentstate::LOGOUT;
    int32_t m_DepartmentID = -1;
    std::string m_Signature;
    std::string m_UniqueInstanceID;
    bool m_HasExtension = false;
    bool m_HasInstrument = false;
    int32_t m_ClientSessionID = -1;
    int32_t m_AssociateSessionID = -1;
    int32_t m_NumLines = 0;
    int32_t m_CurLine = -1;
    int32_t m_AgentTeamID;
    uint32_t m_AvailabilityStatus = 0;
    int32_t m_Direction = 0;
    int64_t m_OverallStateTime = 0;  // seconds since 1970
    uint16_t m_ReasonCode = 0;
    bool m_CountedReady = false;
    bool m_CountedNotReady = false;
    bool m_CountedWorkReady = false;
    bool m_CountedWorkNotReady = false;
    bool m_CountedLoggedIn = false;
    int32_t m_CurGroup = -1;
    std::vector<int32_t> m_SkillGroupStates;
    std::vector<uint32_t> m_SkillGroupStateTimes;
    std::vector<uint32_t> m_SkillGroupNumbers;
    std::vector<int32_t> m_SkillGroupIDs;
    // MRDomainID -> state, in the order the domains were added.
    std::vector<std::pair<int32_t, uint16_t>> m_MRDStates;
    std::map<int32_t, int32_t> m_NonVoiceSessions;  // MRDomainID -> SessionID
    StdQueue m_PrivateCallList;
    StdQueue m_MonitorList;

    int32_t m_AgentIDHashIndex = -1;
    int32_t m_ExtensionHashIndex = -1;
    int32_t m_InstrumentHashIndex = -1;
    int32_t m_SkillTargetIDHashIndex = -1;
    StdQueueLink m_AgentIDLinks;
    StdQueueLink m_ExtensionLinks;
    StdQueueLink m_InstrumentLinks;
    StdQueueLink m_SkillTargetIDLinks;
    // Exact-key indexes beside the four tables (same relative order as the buckets).
    StdQueueLink m_AgentIDIndexLinks;
    StdQueueLink m_ExtensionIndexLinks;
    StdQueueLink m_InstrumentIndexLinks;
    StdQueueLink m_SkillTargetIDIndexLinks;
    uint64_t m_ExtensionIndexKey = 0;
    uint64_t m_InstrumentIndexKey = 0;
};
