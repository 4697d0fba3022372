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
    // The session's trace flags (m_TraceFlags) the application reads: its per-session lines,
    // and the detail of the input (the open's refusals, the agent login waits).
    static constexpr uint32_t kTraceSession = 0x01;
    static constexpr uint32_t kTraceInput = 0x02;

    // Makes the record and appends it to its bucket (under the server lock). The hash owns
    // it from then on: it goes with DeleteBySessionID or DeleteAll.
    ClientCB(int32_t sessionID, const char* clientID);
    // Takes the server lock for the whole destruction (see the lock rule above).
    ~ClientCB();
    ClientCB(const ClientCB&) = delete;
    ClientCB& operator=(const ClientCB&) = delete;

    // ---- the hash ----
    static void InitHash();
    // The first record of that SessionID, or null. The record stays the hash's; the pointer
    // is valid while the caller holds the server lock (or no other thread destroys records).
    static ClientCB* Find(int32_t sessionID);
    static void DeleteBySessionID(int32_t sessionID);
    static void DeleteAll();
    static void HashInsert(ClientCB* record);
    static void HashRemove(ClientCB* record);
    static int Count();
    // Appends every record that takes configuration events, bucket by bucket.
    static void GetConfigClients(std::vector<ClientCB*>& out);
    // The first record whose associated-agent list holds (agentID, peripheralID), or null.
    static ClientCB* FindByAssociatedAgent(const char* agentID, int32_t peripheralID);
    // The records of that application path in hash order: the walk stops after the first
    // one not signed "Tressik", or at 4. The pointers stay the hash's (hold the server lock).
    static std::vector<ClientCB*> GetAppPathClients(uint32_t applicationPathID);
    // Every record in hash order (hold the server lock while using them).
    static std::vector<ClientCB*> GetAllClients();

    // ---- record helpers ----
    // Name of a record state; "(??INVALID_CLIENT_STATE??)" outside 0..6.
    static const char* StateName(uint32_t state);
    static bool IsTraceOn(const ClientCB* record, uint32_t bits);
    static bool IsTressikClient(const ClientCB* record);
    // The session layer's look-ups by SessionID (SessionHost), each under the server lock:
    // whether the session has a record, whether its record says "Tressik", and whether the
    // application-path member list of its ARM record holds the pair.
    static bool HasRecord(int32_t sessionID);
    static bool IsTressikSession(int32_t sessionID);
    static bool AppPathContains(int32_t sessionID, int32_t applicationPathID, int32_t peripheralID);
    static uint32_t GetVersion(const ClientCB* record) { return record->m_Version; }
    // A new reference to the ARM record, or null (application thread only: plain counts).
    static ARMClientInfoPtr GetARMClientInfo(const ClientCB* record) {
        return record->m_ARMClientInfo;
    }
    // Takes the record out of the application's agent-login wait queue when it is in it.
    static void RemoveFromLoginWait(ClientCB* record);
    static int32_t LoginWaitLinkOffset();
    // Unbinds the session's agent (agent mode) or, without one, undoes every association of
    // the list and empties it; each change is told to OPC with a set-client-status request.
    static void ClearAgentAssociations(ClientCB* record);
    void SendAppPathDownInd();
    // Keeps `msg` as the pending OPEN_REQ (a previous one is deleted).
    void SetOpenReq(BaseMSGPtr msg) {
        delete m_OpenReq;
        m_OpenReq = msg.release();
    }
    // Hands the pending OPEN_REQ back to the caller (null when none).
    BaseMSGPtr TakeOpenReq() {
        BaseMSGPtr out(m_OpenReq);
        m_OpenReq = nullptr;
        return out;
    }
    // What the object model sees of this record (pointers stay the record's).
    model::ClientInfo Info();

    // ---- console texts (hold the server lock) ----
    static std::string GetDumpString(ClientCB* record);
    static std::string GetListHeader();
    static std::string GetListEntry(ClientCB* record);

    // ---- members ----
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
    // standard-layout for its list links): set and take it with SetOpenReq / TakeOpenReq.
    BaseMSG* m_OpenReq = nullptr;
    std::forward_list<ClientAssociatedAgentPtr> m_AssociatedAgents;  // newest first
    uint32_t m_TraceFlags = 0;
    int64_t m_CreationTime;  // seconds since 1970
    uint64_t m_OpenRequestTime = 0;  // FILETIME
    StdQueueLink m_HashLinks;
    StdQueueLink m_QueueThread;
    StdQueue m_MonitorList;  // CTICSTAMonitor::m_ClientLinks; the first is the device monitor
    uint32_t m_ApplicationPathID = 0;
    ARMClientInfoPtr m_ARMClientInfo;
    // Set when the open road counted the session in the application's client count; whoever
    // destroys a counted record lowers the count once and clears the flag (the destructor
    // does it for every path that does not).
    bool m_CountedClient = false;
};

// Associations per media routing domain (1 is voice). Add: nothing for a null record, an
// empty AgentID, a PeripheralID or MRD ID below 1; appends the MRD ID to the entry of
// (agentID, peripheralID) unless it holds it, else puts a new entry in front.
void AddToAssociateAgentList(ClientCB* record, const char* agentID, int32_t peripheralID,
                             int32_t mrdID, int trace);
// Removes every occurrence of the MRD ID from the entry (the entry goes when it is left
// empty); MRD ID -1 removes the entry whatever it holds.
void RemoveFromAssociateAgentList(ClientCB* record, const char* agentID, int32_t peripheralID,
                                  int32_t mrdID);
bool ContainsVoiceMRD(std::vector<int32_t> mrdIDs);
// A new associated-agent entry, as the set-client-status requests carry it.
ClientAssociatedAgentPtr NewAssociatedAgent(const std::string& agentID, int32_t peripheralID,
                                            std::vector<int32_t> mrdIDs);
// The agent an entry names (on its peripheral, with that peripheral's DEFINITY rule); null
// when there is none. The server lock is held by the caller.
Agent* FindAssociatedAgent(const ClientAssociatedAgent& entry);
// Undoes the agent's links for the entry's domains, each only where it still names the
// session: a newer session may have taken the agent's domain since. Server lock held.
void UndoAgentLinks(Agent* agent, const ClientAssociatedAgent& entry, int32_t sessionID);

// The forced end of a client (the body of CTIApplication::KillClient): the EMS line, then
// FAILURE_EVENT with `status` and the session failed. Returns the result of the send.
int KillClientSession(ClientCB* record, uint32_t status);
