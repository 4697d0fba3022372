#pragma once
// ClientCB: the application's record of one client session, kept in one process-wide hash of
// 1024 buckets by SessionID (bucket = SessionID mod 1024, new records at the bucket's tail).
//
// Lock rule: the server lock "RTServerConfig" guards the hash and the life of every record.
// Insertion, every look-up and walk, and the whole destruction (from the look-up in
// DeleteBySessionID to the delete) run under it; a thread that keeps a record pointer beyond
// the look-up holds it while it uses the record (the consoles, KillClient, and the session
// layer's destructor on its own thread). Lock order: "CallLock", then "RTServerConfig", then
// the session locks; so DeleteBySessionID and DeleteAll are called without any session lock
// held, and the destruction takes no "CallLock" (freeing monitors and undoing agent links
// need only the server lock).
//
// The record's values change only through its operations, each of which takes the server
// lock itself when the caller does not hold it, but SetOpenReq, TakeOpenReq, MarkCounted,
// TakeCounted and SetTraceFlags, which take none: the application thread calls them, or a
// caller that holds the server lock. The open road (the application thread) is the only
// writer while a session opens; the readers below read without a lock on the application
// thread and under the server lock elsewhere.
#include <cstdint>
#include <forward_list>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "nuvlib/stdqueue.h"
#include "opcmsg/armapppath.h"
#include "parlo/model/ports.h"

class Agent;

// One agent a session is associated with; shared between the session's list and the
// set-client-status requests being built (std::shared_ptr: atomic counts).
struct ClientAssociatedAgent {
    std::string AgentID;
    int32_t PeripheralID = 0;
    std::vector<int32_t> MRDIDs;  // insertion order, no duplicates
};
using ClientAssociatedAgentPtr = std::shared_ptr<ClientAssociatedAgent>;
using ClientAssociatedAgentList = std::forward_list<ClientAssociatedAgentPtr>;  // newest first

class ClientCB {
public:
    enum State : uint32_t {
        OPEN_VALIDATION = 0,
        CLIENT_VALIDATION = 1,
        AGENT_VALIDATION = 2,
        APP_PATH_VALIDATION = 3,
        AGENT_LOGIN_WAIT = 4,
        AGENT_LOGIN_RESUMED = 5,
        OPEN = 6,
    };
    static constexpr int kHashBuckets = 1024;
    static constexpr uint32_t kDefaultVersion = 24;
    // The session's trace flags (GetTraceFlags) the application reads: its per-session lines,
    // and the detail of the input (the open's refusals, the agent login waits).
    static constexpr uint32_t kTraceSession = 0x01;
    static constexpr uint32_t kTraceInput = 0x02;

    // Where the client's connection comes from, as the session layer knew it at the open.
    struct Host {
        std::string name;
        std::string address;
        uint32_t port = 0;
    };

    // Makes the record and appends it to its bucket (under the server lock). The hash owns
    // it from then on: it goes with DeleteBySessionID or DeleteAll (or `delete`, under the
    // server lock, by whoever found it).
    ClientCB(int32_t sessionID, const char* clientID);
    // Takes the server lock for the whole destruction (see the lock rule above). Leaves the
    // login wait, sends the application path down, deletes the pending OPEN_REQ, drops the
    // ECC registrations, undoes every agent binding and association (telling OPC), frees the
    // monitors, leaves the hash and, when counted, lowers the application's client count.
    // Needs the client seams (clientseams.h).
    ~ClientCB();
    ClientCB(const ClientCB&) = delete;
    ClientCB& operator=(const ClientCB&) = delete;

    // ---- the hash (each takes the server lock when the caller does not hold it) ----
    // Makes the hash (empty) on first use; a later call changes nothing.
    static void InitHash();
    // The first record of that SessionID, or null. The record stays the hash's; the pointer
    // is valid while the caller holds the server lock (or no other thread destroys records).
    static ClientCB* Find(int32_t sessionID);
    // Destroys the record of that SessionID, if any.
    static void DeleteBySessionID(int32_t sessionID);
    // Destroys every record.
    static void DeleteAll();
    // Links and unlinks a record (the constructor and destructor do it; a second insert or a
    // remove of an unlinked record does nothing, a negative SessionID is traced and refused).
    static void HashInsert(ClientCB* record);
    static void HashRemove(ClientCB* record);
    // The records in the hash.
    static int Count();
    // Appends every record that takes configuration events, bucket by bucket. The pointers
    // stay the hash's (hold the server lock while using them).
    static void GetConfigClients(std::vector<ClientCB*>& out);
    // The first record whose associated-agent list holds (agentID, peripheralID), or null
    // (also for a null agentID). The record stays the hash's (hold the server lock).
    static ClientCB* FindByAssociatedAgent(const char* agentID, int32_t peripheralID);
    // The records of that application path in hash order: the walk stops after the first
    // one not signed "Tressik", or at 4. The pointers stay the hash's (hold the server lock).
    static std::vector<ClientCB*> GetAppPathClients(uint32_t applicationPathID);
    // Every record in hash order (hold the server lock while using them).
    static std::vector<ClientCB*> GetAllClients();

    // ---- record helpers ----
    // Name of a record state; "(??INVALID_CLIENT_STATE??)" outside 0..6.
    static const char* StateName(uint32_t state);
    // True when the EMS trace mask has TR_PROC_5 or the record (may be null) has one of `bits`.
    static bool IsTraceOn(const ClientCB* record, uint32_t bits);
    // True when the record (may be null) is signed exactly "Tressik".
    static bool IsTressikClient(const ClientCB* record);
    // The session layer's look-ups by SessionID (SessionHost), each under the server lock:
    // whether the session has a record, whether its record says "Tressik", and whether the
    // application-path member list of its ARM record holds the pair.
    static bool HasRecord(int32_t sessionID);
    static bool IsTressikSession(int32_t sessionID);
    static bool AppPathContains(int32_t sessionID, int32_t applicationPathID, int32_t peripheralID);
    // A new reference to the ARM record, or null (application thread only: plain counts).
    static ARMClientInfoPtr GetARMClientInfo(const ClientCB* record) {
        return record->m_ARMClientInfo;
    }
    // Takes the record (may be null) out of the application's agent-login wait queue when it
    // is in it. The queue has no lock of its own: the caller holds the server lock.
    static void RemoveFromLoginWait(ClientCB* record);
    // The offset of the login-wait link, for the application's wait queue.
    static int32_t LoginWaitLinkOffset();
    // Unbinds the session's agent (agent mode) or, without one, undoes every association of
    // the list and empties it; each change is told to OPC with a set-client-status request.
    // Nothing for a null record; takes the server lock unless this thread holds it.
    static void ClearAgentAssociations(ClientCB* record);
    // ARM_APP_PATH_DOWN_IND for a record with an ARM record (through the client seams); the
    // send's result is not kept (OPC does not answer it).
    void SendAppPathDownInd();
    // What the object model sees of this record. Its pointers (ClientID, monitor list,
    // agent) stay the record's: valid while the record lives (hold the server lock).
    model::ClientInfo Info();

    // ---- the open road's steps (application thread) ----
    // Step 1: takes the OPEN_REQ's VersionNumber, ServiceMask, CallMsgMask, ConfigMsgMask,
    // AgentStateMask, ClientSignature (the ClientID when it is empty), ApplicationPathID (0
    // when absent), the connection's host and the arrival (FILETIME), and keeps `request` as
    // the pending OPEN_REQ (a previous one is deleted).
    void AcceptOpenRequest(BaseMSGPtr request, const Host& host, uint64_t received);
    // Step 3: the agent the pending OPEN_REQ names: its CTIPeripheralID, AgentExtension,
    // AgentID and AgentInstrument, and which of the three it gave. Nothing without a pending
    // OPEN_REQ.
    void ClaimAgentOfOpenRequest();
    // Keeps `msg` as the pending OPEN_REQ (a previous one is deleted).
    void SetOpenReq(BaseMSGPtr msg);
    // Hands the pending OPEN_REQ back to the caller (null when none).
    [[nodiscard]] BaseMSGPtr TakeOpenReq();
    void SetState(State state);
    // The open road counted the session in the application's client count; whoever destroys
    // the record lowers the count once: TakeCounted (true once, then false), or the
    // destructor for every path that does not.
    void MarkCounted();
    [[nodiscard]] bool TakeCounted();
    // The session opened while the server was not ACTIVE: it takes configuration events
    // (GetConfigClients) for the peripheral it named.
    void SetConfigPeripheral(uint32_t peripheralID);
    // OPC's answer to the application path (replaces the previous reference).
    void SetARMClientInfo(ARMClientInfoPtr info);

    // ---- the session's agent ----
    // Binds the agent-mode session to `agent` (the agents' table owns it); UnbindAgent hands
    // the bound agent back (null when none) and leaves none.
    void BindAgent(Agent* agent);
    [[nodiscard]] Agent* UnbindAgent();
    // The names of the bound agent, in place of those the open named.
    void AdoptAgentNames(const std::string& agentID, const std::string& extension,
                         const std::string& instrument);
    // Each agent name the OPEN_REQ did not give is emptied (its agent logged out).
    void ForgetUnclaimedAgentNames();
    // Empties the associated-agent list and hands it to the caller.
    [[nodiscard]] ClientAssociatedAgentList TakeAssociatedAgents();
    void SetTraceFlags(uint32_t flags);

    // ---- readers ----
    int32_t GetSessionID() const { return m_SessionID; }
    uint32_t GetState() const { return m_State; }
    uint32_t GetServiceMask() const { return m_ServiceMask; }
    uint32_t GetCallMsgMask() const { return m_CallMsgMask; }
    uint32_t GetAgentStateMask() const { return m_AgentStateMask; }
    uint32_t GetTaskMsgMask() const { return m_TaskMsgMask; }
    uint32_t GetVersion() const { return m_Version; }
    int32_t GetPeripheralID() const { return m_PeripheralID; }
    uint32_t GetConfigMsgMask() const { return m_ConfigMsgMask; }
    uint32_t GetConfigPeripheralID() const { return m_ConfigPeripheralID; }
    bool TakesConfigEvents() const { return m_ConfigFlag != 0; }
    // Which agent names the OPEN_REQ gave.
    bool HasAgentID() const { return m_HasAgentID != 0; }
    bool HasAgentExtension() const { return m_HasAgentExtension != 0; }
    bool HasAgentInstrument() const { return m_HasAgentInstrument != 0; }
    const std::string& GetClientID() const { return m_ClientID; }
    const std::string& GetClientSignature() const { return m_ClientSignature; }
    const std::string& GetAgentExtension() const { return m_AgentExtension; }
    const std::string& GetAgentID() const { return m_AgentID; }
    const std::string& GetAgentInstrument() const { return m_AgentInstrument; }
    const std::string& GetHostName() const { return m_HostName; }
    const std::string& GetHostAddress() const { return m_HostAddress; }
    uint32_t GetHostPort() const { return m_HostPort; }
    // The clients the session reports behind it (WEXA: -1 until it reports).
    int32_t GetWEXANumClients() const { return m_WEXANumClients; }
    int32_t GetFOSTRELNumClients() const { return m_FOSTRELNumClients; }
    int32_t GetHARNIXNumClients() const { return m_HARNIXNumClients; }
    // The bound agent (agent mode), or null; the agents' table owns it.
    Agent* GetAgent() const { return m_Agent; }
    // The pending OPEN_REQ, or null; it stays the record's.
    BaseMSG* GetOpenReq() const { return m_OpenReq; }
    const ClientAssociatedAgentList& GetAssociatedAgents() const { return m_AssociatedAgents; }
    uint32_t GetTraceFlags() const { return m_TraceFlags; }
    int64_t GetCreationTime() const { return m_CreationTime; }  // seconds since 1970
    uint64_t GetOpenRequestTime() const { return m_OpenRequestTime; }  // FILETIME
    uint32_t GetApplicationPathID() const { return m_ApplicationPathID; }
    bool HasARMClientInfo() const { return static_cast<bool>(m_ARMClientInfo); }
    bool IsCounted() const { return m_CountedClient; }
    // In the application's agent-login wait queue.
    bool IsInLoginWait() const { return m_QueueThread.IsQueued(); }
    // The session's monitors (CTICSTAMonitor::m_ClientLinks; the first is the device monitor).
    // The monitors link and unlink themselves; the list stays the record's.
    StdQueue& MonitorList() { return m_MonitorList; }

    // ---- console texts (hold the server lock) ----
    static std::string GetDumpString(ClientCB* record);
    static std::string GetListHeader();
    static std::string GetListEntry(ClientCB* record);

private:
    struct Hash;  // the buckets (clientcb.cpp)
    friend void AddToAssociateAgentList(ClientCB* record, const char* agentID, int32_t peripheralID,
                                        int32_t mrdID, int trace);
    friend void RemoveFromAssociateAgentList(ClientCB* record, const char* agentID,
                                             int32_t peripheralID, int32_t mrdID);

    // All members private and standard-layout: the hash and the login-wait queue link records
    // by offsetof.
    int32_t m_SessionID;
    uint32_t m_State = OPEN_VALIDATION;
    uint32_t m_ServiceMask = 0;
    uint32_t m_CallMsgMask = 0;
    uint32_t m_AgentStateMask = 0;
    uint32_t m_TaskMsgMask = 0;
    uint32_t m_Version = kDefaultVersion;
    int32_t m_PeripheralID = -1;
    uint32_t m_ConfigMsgMask = 0;
    uint32_t m_ConfigPeripheralID = 0;
    uint32_t m_ConfigFlag = 0;
    uint32_t m_HasAgentID = 0;
    uint32_t m_HasAgentExtension = 0;
    uint32_t m_HasAgentInstrument = 0;
    std::string m_ClientID;
    std::string m_ClientSignature;
    std::string m_AgentExtension;
    std::string m_AgentID;
    std::string m_AgentInstrument;
    std::string m_HostName;
    std::string m_HostAddress;
    uint32_t m_HostPort = 0;
    int32_t m_WEXANumClients = -1;
    int32_t m_FOSTRELNumClients = 0;
    int32_t m_HARNIXNumClients = 0;
    Agent* m_Agent = nullptr;  // the agents' table owns it
    // The OPEN_REQ under validation, owned by the record (a raw pointer keeps the record
    // standard-layout): SetOpenReq / TakeOpenReq.
    BaseMSG* m_OpenReq = nullptr;
    ClientAssociatedAgentList m_AssociatedAgents;
    uint32_t m_TraceFlags = 0;
    int64_t m_CreationTime;
    uint64_t m_OpenRequestTime = 0;
    StdQueueLink m_HashLinks;
    StdQueueLink m_QueueThread;
    StdQueue m_MonitorList;
    uint32_t m_ApplicationPathID = 0;
    ARMClientInfoPtr m_ARMClientInfo;
    bool m_CountedClient = false;
};

// Associations per media routing domain (1 is voice). Add: nothing for a null record, an
// empty AgentID, a PeripheralID or MRD ID below 1; appends the MRD ID to the entry of
// (agentID, peripheralID) unless it holds it, else puts a new entry in front. Both take the
// server lock.
void AddToAssociateAgentList(ClientCB* record, const char* agentID, int32_t peripheralID,
                             int32_t mrdID, int trace);
// Removes every occurrence of the MRD ID from the entry (the entry goes when it is left
// empty); MRD ID -1 removes the entry whatever it holds.
void RemoveFromAssociateAgentList(ClientCB* record, const char* agentID, int32_t peripheralID,
                                  int32_t mrdID);
// Whether the list holds the voice domain, 1.
bool ContainsVoiceMRD(std::vector<int32_t> mrdIDs);
// A new associated-agent entry, as the set-client-status requests carry it.
[[nodiscard]] ClientAssociatedAgentPtr NewAssociatedAgent(const std::string& agentID,
                                                          int32_t peripheralID,
                                                          std::vector<int32_t> mrdIDs);
// The agent an entry names (on its peripheral, with that peripheral's DEFINITY rule); null
// when there is none. The server lock is held by the caller.
Agent* FindAssociatedAgent(const ClientAssociatedAgent& entry);
// Undoes the agent's links for the entry's domains, each only where it still names the
// session: a newer session may have taken the agent's domain since. Server lock held.
void UndoAgentLinks(Agent* agent, const ClientAssociatedAgent& entry, int32_t sessionID);

// The forced end of a client (the body of CTIApplication::KillClient): the EMS line, then
// FAILURE_EVENT with `status` to the session and the session failed (the session layer's
// SendFailureEventMSG). Returns the result of the send: 1 sent, 0 not (no record, no
// session). The server lock is held by the caller.
[[nodiscard]] int KillClientSession(ClientCB* record, uint32_t status);
