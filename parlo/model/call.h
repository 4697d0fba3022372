#pragma once
// Call: the server's record of one call that OPC reports, with its identity, call data,
// lifecycle flags, connections and monitors. Live calls sit in one of 256 buckets of the
// call hash (bucket = CallID & 255) under "CallLock"; released calls wait in a FIFO pool and
// are reused, never deleted.
//
// Threads and locks: every call operation runs on the application thread; console walks
// hold CallLock. Lock order: CallLock, then the server lock "RTServerConfig". The look-ups,
// Alloc, Free, Release, ChangeCallID, Reactivate and the merges (TransferConnections,
// UpdateCallData, SendCallDataUpdateEvent) take CallLock: call them without the server lock
// held (or with CallLock already held). The operations on connections and monitors take the
// server lock themselves when the thread does not hold it.
//
// Ownership: the pool owns every call. A pointer from Alloc or a look-up stays valid until
// the call is released (Free, Release, or the release of a duplicate by Alloc); the pool
// then reuses the object for another call.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/expandedcallcontext.h"
#include "nuvlib/stdqueue.h"

class Agent;
class BaseMSG;
class LockObject;
class Call;
class CTICSTAConnection;
class CTICSTADevice;
class CTICSTAMonitor;
class REMaskArray;
struct NameValueStruct;
namespace model {
struct CallTable;
}


namespace model {
// The connection ID of a call event: CallID, device ID (at most 63 characters) and type. In
// the model's namespace: the OPC messages' ConnectionID is another layout, and both are linked
// into one program.
struct ConnectionID {
    uint32_t callID = 0xFFFFFFFF;
    char deviceID[64] = {};
    uint16_t deviceIDType = 0xFFFF;
    ConnectionID() = default;
    ConnectionID(uint32_t call, uint16_t type, const char* device);
};
}  // namespace model

// "CallID." then, unless the type is -1, the device ID and its type mark; appended to out.
void AppendConnectionIDText(std::string& out, uint32_t callID, int deviceIDType,
                            const char* deviceID);

class Call {
public:
    static constexpr int kHashBuckets = 256;
    static constexpr int kMaxCTIClients = 16;
    static constexpr int kMaxParties = 16;

    Call();
    virtual ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // ---- texts (each a new string the caller keeps; hold CallLock) ----
    virtual std::string GetListHeader();
    virtual std::string GetListEntry();
    virtual std::string GetDumpString();

    // ---- table and pool ----
    // Sets up the hash, the pool and CallLock; run once at start (repeat calls do nothing).
    static void InitCallList();
    // The lock of the call hash. Take it only through LockGuard.
    static LockObject& GetCallLock();
    // A new active call, hashed and counted (meters CallsInProgress and ActiveCalls,
    // PARLO_ACTIVE_CALLS); an active call with the same identity is released first. Never
    // null (an allocation failure ends the process). The call belongs to the pool: hand it
    // back with Free or Release.
    static Call* Alloc(uint32_t peripheralID, uint32_t callID, uint16_t srcDeviceIDType,
                       const char* srcDeviceID, int16_t peripheralType, uint16_t callType,
                       uint16_t calledPartyDisposition, uint32_t campaignID,
                       uint32_t queryRuleID);
    // Releases the call to the pool: END_CALL_EVENT to all-events sessions when reported,
    // sendEndCall and the server active; unjoined, connections freed, monitors ended, every
    // counter it was in lowered. The call must not be on an agent's private list (Release
    // takes it off); the pointer is not valid afterwards. Null does nothing.
    static void Free(Call* call, bool sendEndCall);
    // Lookups: the call or null. peripheralID -1 matches any peripheral; deviceIDType -2
    // matches on CallID alone, -1 only calls with unique CallIDs. mode 0 any, 1 active,
    // 2 deactivated, 3 not active (preferring an exact source or destination device).
    static Call* FindCall(uint32_t peripheralID, uint32_t callID, int deviceIDType,
                          const char* deviceID, int mode);
    static Call* FindLastCall(uint32_t peripheralID, uint32_t callID, int deviceIDType,
                              const char* deviceID, int mode);
    // The next match after this call in its bucket; null also when this call is no longer in
    // the bucket of that CallID.
    Call* FindNextCall(uint32_t peripheralID, uint32_t callID, int deviceIDType,
                       const char* deviceID, int mode);
    // The first call of the bucket whose last event is at least `seconds` old, or null.
    static Call* FindStaleCall(int bucket, int seconds);
    // Releases every call of the peripheral (-1: all).
    static void RemovePeripheralCalls(uint32_t peripheralID);
    // Releases the private calls of the peripheral (-1: all) through their agents.
    static void RemovePrivateCalls(uint32_t peripheralID);
    static bool IsCallIDUnique(int peripheralType) {
        return peripheralType != 18 && peripheralType != 27;
    }
    // The bucket's head, for console walks under CallLock; next through NextInBucket.
    static Call* FirstInBucket(int bucket);
    Call* NextInBucket() const;
    // The bucket the call is filed under; -1 once it is released.
    int32_t HashIndex() const { return m_HashIndex; }
    // Calls in the pool (for tests and dumps).
    static int FreeCount();
    // Byte offset of the call's link in an agent's list of private calls.
    static int32_t PrivateCallLinkOffset();

    // ---- lifecycle ----
    // Every field back to a fresh call's (the links and lists stay as they are).
    void Reset();
    // Active -> deactivated (meter ActiveCalls down, PARLO_DEACTIVATED_CALLS up); else nothing.
    void Deactivate();
    // Active again, uncleared, unless another active call has this identity (traced).
    void Reactivate();
    // Once: not active or deactivated any more, counted cleared, every connection cleared
    // (ClearAllConnections with the cause).
    void ClearCall(int cause);
    // Reported once: counts the call in PARLO_REPORTED_CALLS (its release lowers the count).
    // Sends nothing: ReportCall sends BEGIN_CALL_EVENT first, and a handler that sent its
    // own marks the call with this.
    void MarkReported();
    // Re-keys the call under CallLock: new CallID, source and destination, new bucket.
    void ChangeCallID(uint32_t callID, uint16_t srcType, const char* srcID, uint16_t destType,
                      const char* destID);
    void SetSrcDeviceID(uint16_t type, const char* id);
    void SetDestDeviceID(uint16_t type, const char* id);
    // The last event's name and time (now), which the stale-call audit reads.
    void SetLastEvent(const char* name);
    const std::string& LastEvent() const { return m_LastEvent; }
    int64_t LastEventTime() const { return m_LastEventTime; }  // seconds since 1970
    bool IsActive() const { return m_Active; }
    bool IsDeactivated() const { return m_Deactivated; }
    bool IsCleared() const { return m_Cleared; }
    bool IsReported() const { return m_Reported; }
    bool IsPrivate() const { return m_Private; }
    // The agent that owns this private call, or null.
    Agent* PrivateCallAgent() const { return m_Private ? m_PrivateCallAgent : nullptr; }
    // The call this one is joined to during a consultation, or null.
    Call* JoinedCall() const { return m_JoinedCall; }

    // ---- lists (under the server lock) ----
    // Connections are linked by CTICSTAConnection's own operations (Alloc, SetCall, Free),
    // monitors by CTICSTAMonitor's (SetSubject, Free); these only keep the lists.
    void AddConnection(CTICSTAConnection* connection);
    void RemoveConnection(CTICSTAConnection* connection);
    void AddMonitor(CTICSTAMonitor* monitor);
    void RemoveMonitor(CTICSTAMonitor* monitor);
    CTICSTAConnection* FirstConnection() const;
    CTICSTAConnection* NextConnection(CTICSTAConnection* c) const;
    StdQueue& ConnectionList() { return m_ConnectionList; }
    StdQueue& MonitorList() { return m_MonitorList; }

    // ---- connection look-ups and counts (each returns null when nothing fits; the
    // connection stays the call's) ----
    CTICSTAConnection* FindConnection(CTICSTADevice* device);
    // Newest first, the connections with that OPC ID (alerting ones only with
    // includeAlerting): the first that fits the selector (CTICSTAConnection::FitsSelector,
    // 1..7); selector 1 falls back to the newest of any state.
    CTICSTAConnection* FindConnectionByDeviceID(int deviceIDType, const char* deviceID,
                                                int selector, bool includeAlerting);
    // A device where both calls have an active connection, or null.
    CTICSTADevice* FindCommonDevice(Call* other);
    // The counted connection clients know the call by: the first non-alerting source, else
    // the first non-alerting other, else the first counted one.
    CTICSTAConnection* GetReferenceConnection();
    // Counted connections: state 1..5, or a failed source connection.
    int ActiveConnections();
    bool HasConnection(CTICSTAConnection* connection);
    // Newest first: the first active connection other than `connection`, else the newest
    // other one.
    CTICSTAConnection* FindOtherConnection(CTICSTAConnection* connection);
    // The first connection of that type (1 source, 2 destination) without a device.
    CTICSTAConnection* FindDevicelessConnection(int type);
    // Another active connection with the same OPC ID, either of the two marked duplicate;
    // null unless RemoveCGDuplicateConnections is set on a CTI peripheral type 17, 20 or 23.
    CTICSTAConnection* FindDuplicateConnection(CTICSTAConnection* connection);
    // Whether a connection is at a device with an agent whose DeviceID is deviceID.
    bool HasDeviceConnection(const char* deviceID);
    // Counted connections whose device has an agent.
    int NumAgentConnections();
    // Newest first, the DeviceID of the first active connection at an agent's device; "".
    std::string GetAgentDeviceID();
    // The line number (0 none) and line type (3 none) of the instrument line carrying callID.
    int GetLineNumber(uint32_t callID);
    int GetLineType(uint32_t callID);
    // The connection ID an answer request uses; replaces type and ID when they name no
    // active, non-alerting connection and the call has a reference connection.
    void GetConnectionIDtoAnswer(uint16_t& deviceIDType, std::string& deviceID);

    // ---- connection changes (server lock inside) ----
    // The updated, taken-over or new (deviceless) connection; null when none is made. The
    // connection stays the call's.
    CTICSTAConnection* UpdateConnection(int32_t state, int32_t type, int32_t deviceIDType,
                                        const char* deviceID, const char* hint, bool exact);
    void ClearAlertingConnections(CTICSTAConnection* keep);
    void ClearQueuedConnections();
    void RemoveQueuedConnections();
    // Frees every inactive connection except a failed source connection.
    void RemoveInactiveConnections();
    void RemoveAllConnections();
    // Clears and frees every connection (CALL_CONNECTION_CLEARED_EVENT for the active ones),
    // keeping in state 0 a destination or source connection whose agent's line has the call.
    void ClearAllConnections(int cause);
    // The source redirected: a matching source becomes "BLIND_CONNECTION" (type 65535).
    void UpdateCallOnRedirect(CTICSTAConnection* connection);

    // ---- joins, merges and re-keys (CallLock inside: no server lock held) ----
    // Releases a call: a private call with an owner through its agent, any other by Free.
    // Null does nothing; the pointer is not valid afterwards.
    static void Release(Call* call, bool sendEndCall);
    // Joins the two calls, unjoining either from a third call first. Null does nothing.
    void Join(Call* other);
    // Separates the call from its partner (CALL_CONNECTION_CLEARED_EVENT to the partner's
    // watchers for this call's first unshared active connection).
    void Unjoin();
    // Merges this call into target, re-keying target to newCallID (-1 keeps it). refType and
    // refID name the connection clients know the call by and are updated. Returns this call
    // when the caller must release it, null when it was released here.
    [[nodiscard]] Call* TransferConnections(Call* target, uint32_t newCallID, uint16_t& refType,
                                            std::string& refID);
    // New CallID (-1 none) and CallType (-1 none): a conflicting active call with the new
    // CallID is merged in; the change goes out as CALL_DATA_UPDATE_EVENT.
    void UpdateCallData(uint32_t newCallID, int newCallType, uint16_t& refType,
                        std::string& refID);
    // Reports a change of the reference connection against refType/refID, then updates them.
    void NotifyReferenceConnectionUpdate(uint16_t& refType, std::string& refID);

    // ---- snapshots ----
    // Fills the call part of SNAPSHOT_CALL_CONF (at most 16 clients and 16 parties).
    void SnapshotCallConfMsg(BaseMSG& msg);

    // ---- call context ----
    // Each returns the ECC layer's code (0 success) and traces a failure. The Get calls
    // leave their outputs empty on failure; GetECCBinData's data points into the call's
    // context and is valid until the context next changes.
    [[nodiscard]] int SetECCBinData(int32_t length, const uint8_t* data);
    [[nodiscard]] int GetECCBinData(int32_t& length, const uint8_t*& data);
    [[nodiscard]] int GetECCData(std::vector<NameValueStruct>& list, int& scalars, int& arrays);
    [[nodiscard]] int SetECCData(const std::vector<NameValueStruct>& list);
    void TraceECC();

    // ---- reporting (the message is always the caller's; sends only while the server is
    // active) ----
    // The event with the call's REMask to the call's watchers, then through each connection
    // of this call to its device's monitors.
    void WriteMSG(BaseMSG& msg, bool setState, bool passConnection);
    // To the all-events sessions and the call's monitors, reporting the call first.
    void WriteToCallWatchers(BaseMSG& msg);
    // Once: BEGIN_CALL_EVENT to the all-events sessions, then MarkReported.
    void ReportCall();
    // The call's identity, data and context into any call event that has the fields.
    void GetCallContext(BaseMSG& msg);
    // Refills the message's REMask (when it has one) from the agents at the call's devices.
    void BuildREMask(BaseMSG& msg, uint32_t callIDOverride);
    // CALL_DATA_UPDATE_EVENT from oldID to newID, with the variables of the active call that
    // newID names; toDevices sends it through WriteMSG, else to the call's watchers only.
    void SendCallDataUpdateEvent(const model::ConnectionID& oldID, const model::ConnectionID& newID,
                                 const char* caller, bool toDevices);
    // The conference/transfer form, invoked on the primary call: fills the primary and
    // secondary IDs and the connected parties (marking duplicates when enabled), then sends
    // it to the all-events sessions, both calls' monitors and each party's device monitors.
    // numParties is the count OPC reported; the message stays the caller's.
    void WritePriSecMSG(Call* secondary, BaseMSG& msg, uint32_t callIDOverride, int numParties);
    // The active parties of the call and of its joined call (at most 16) into the message.
    void SetConnectedParties(BaseMSG& msg);
    // Ends every monitor of the call (FAILURE_EVENT E_CTI_MONITOR_TERMINATED to each owner).
    void RemoveAllMonitors();
    // The connection ID clients know the call by: the reference connection's once three are
    // counted, else the source's (the destination's without a source).
    uint16_t GetCallConnectionDeviceIDType();
    std::string GetCallConnectionDeviceID();
    // The state of the destination's connection; 1 without one.
    int GetDestConnectionState();
    const std::string& GetAgentID() const {
        return m_DestAgentID.empty() ? m_SrcAgentID : m_DestAgentID;
    }
    // The CTI client stamps: set index i when it exists or is the next one; read "" / 0
    // past the end.
    void SetCTIClientSignature(size_t index, const std::string& signature);
    void SetCTIClientTimestamp(size_t index, uint32_t stamp);
    std::string GetCTIClientSignature(size_t index) const;
    uint32_t GetCTIClientTimestamp(size_t index) const;
    void TraceCallState();

    // ---- identity: the hash keys. Set by Alloc; change only through ChangeCallID,
    // SetSrcDeviceID and SetDestDeviceID ----
    uint32_t m_PeripheralID;
    uint32_t m_CallID;
    uint16_t m_SrcDeviceIDType;
    uint16_t m_DestDeviceIDType;
    int16_t m_PeripheralType;

    // ---- call data: the event handlers set these directly ----
    uint16_t m_CallType;
    int32_t m_CallTypeID;
    uint16_t m_CalledPartyDisposition;
    uint32_t m_CampaignID;
    uint32_t m_QueryRuleID;
    int32_t m_TrunkGroup;
    uint32_t m_RouterCallKeyDay;
    uint32_t m_RouterCallKeyCallID;
    uint32_t m_RouterCallKeySequenceNum;
    std::string m_SrcAgentID, m_SrcExtension, m_SrcDeviceID;
    std::string m_DestAgentID, m_DestExtension, m_DestDeviceID;
    std::string m_ANI, m_UserToUser, m_DNIS, m_CED, m_DialedNumber, m_CallWrapupData;
    std::string m_CustomerPhoneNumber, m_CustomerAccountNumber;
    std::string m_CallVariable[10];
    // The call's named variables; made on first use (a context holds a 2000-byte BINDATA
    // buffer) and kept with the pooled call. Read through GetECC* / set through SetECC*.
    std::unique_ptr<ExpandedCallContext> m_ECC;
    ExpandedCallContext& ECC();
    std::vector<std::string> m_CTIClientSignatures;
    std::vector<uint32_t> m_CTIClientTimestamps;

private:
    // The call hash and pool file calls by their links; an agent owns its private calls: it
    // links them and names itself their owner. The tests force states the model never makes
    // (a broken join, a private call without an owner) through CallTestAccess.
    friend struct model::CallTable;
    friend class Agent;
    friend struct CallTestAccess;

    enum class Order { Bucket, ByCallID, ByPeripheralCallID };
    static Call* Walk(Call* from, bool backward, Order order, uint32_t peripheralID, uint32_t callID,
                      int deviceIDType, const char* deviceID, int mode);
    bool IdentityMatches(int deviceIDType, const char* deviceID, int mode);
    void AddToHash();
    void RemoveFromHash();
    void TraceDuplicate(const char* what);
    // A counted connection: state 1..5, or a failed (6) source connection.
    static bool IsCounted(const CTICSTAConnection* c);
    bool KeepForWrapup(uint16_t type, const std::string& id, const char* end);
    void TraceConflict(const char* head, bool campaign);
    // Sends CALL_CONNECTION_CLEARED_EVENT for the connection through `via` (this call or the
    // call it is joined to), when it validates under `caller`'s name.
    void SendConnectionCleared(const CTICSTAConnection* c, uint16_t cause, const char* caller, Call* via);

    // Flags and links, read through IsActive, IsReported, IsPrivate and JoinedCall: the call's
    // operations set them (m_Reported through MarkReported, m_Private by the owning agent).
    bool m_Reported;
    bool m_Active;
    bool m_Private;
    Call* m_JoinedCall;
    std::string m_LastEvent;
    int64_t m_LastEventTime;  // seconds since 1970; SetLastEvent sets both
    bool m_Deactivated;
    bool m_Cleared;
    int32_t m_HashIndex;
    StdQueueLink m_HashLinks;
    StdQueueLink m_IndexLinks;        // in the exact-CallID index beside the hash
    StdQueueLink m_PeriphIndexLinks;  // in the exact (PeripheralID, CallID) index
    StdQueue m_ConnectionList;
    StdQueue m_MonitorList;
    StdQueueLink m_PrivateCallLinks;  // in the owning agent's private-call list
    Agent* m_PrivateCallAgent;        // the owning agent while m_Private
};
