#pragma once
// Call: the server's record of one call that OPC reports, with its identity, call data,
// lifecycle flags, connections and monitors. Live calls sit in one of 256 buckets of the
// call hash (bucket = CallID & 255) under "CallLock"; released calls wait in a FIFO pool and
// are reused, never deleted. All call operations run on the application thread; console
// walks hold CallLock. Lock order: CallLock, then the server lock.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/expandedcallcontext.h"
#include "nuvlib/stdqueue.h"

class BaseMSG;
class LockObject;
class Call;
class CTICSTAConnection;
class CTICSTADevice;
class CTICSTAMonitor;
class REMaskArray;
struct NameValueStruct;


// The connection ID of a call event: CallID, device ID (at most 63 characters) and type.
struct ConnectionID {
    uint32_t callID = 0xFFFFFFFF;
    char deviceID[64] = {};
    uint16_t deviceIDType = 0xFFFF;
    ConnectionID() = default;
    ConnectionID(uint32_t call, uint16_t type, const char* device);
};

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

    // ---- texts (each a new string the caller keeps) ----
    virtual std::string GetListHeader();
    virtual std::string GetListEntry();
    virtual std::string GetDumpString();

    // ---- table and pool ----
    // Sets up the hash, the pool and CallLock; run once at start (repeat calls do nothing).
    static void InitCallList();
    // The lock of the call hash. Take it only through LockGuard.
    static LockObject& GetCallLock();
    // A new active call; an active call with the same identity is released first. The call
    // belongs to the pool: hand it back with Free.
    static Call* Alloc(uint32_t peripheralID, uint32_t callID, uint16_t srcDeviceIDType,
                       const char* srcDeviceID, int16_t peripheralType, uint16_t callType,
                       uint16_t calledPartyDisposition, uint32_t campaignID,
                       uint32_t queryRuleID);
    // Releases the call to the pool (END_CALL_EVENT to all-events sessions when reported and
    // sendEndCall); the pointer is not valid afterwards.
    static void Free(Call* call, bool sendEndCall);
    // Lookups: the call or null. peripheralID -1 matches any peripheral; deviceIDType -2
    // matches on CallID alone, -1 only calls with unique CallIDs. mode 0 any, 1 active,
    // 2 deactivated, 3 not active (preferring an exact source or destination device).
    static Call* FindCall(uint32_t peripheralID, uint32_t callID, int deviceIDType,
                          const char* deviceID, int mode);
    static Call* FindLastCall(uint32_t peripheralID, uint32_t callID, int deviceIDType,
                              const char* deviceID, int mode);
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
    // Calls in the pool (for tests and dumps).
    static int FreeCount();

    // ---- lifecycle ----
    void Reset();
    void Deactivate();
    void Reactivate();
    void ClearCall(int cause);
    void ChangeCallID(uint32_t callID, uint16_t srcType, const char* srcID, uint16_t destType,
                      const char* destID);
    void SetSrcDeviceID(uint16_t type, const char* id);
    void SetDestDeviceID(uint16_t type, const char* id);
    void SetLastEvent(const char* name);
    // Reported once: counts the call in PARLO_REPORTED_CALLS (its release lowers the count).
    // Sends nothing: ReportCall sends BEGIN_CALL_EVENT first, and a handler that sent its own
    // marks the call with this.
    void MarkReported();

    // ---- lists ----
    void AddConnection(CTICSTAConnection* connection);
    void RemoveConnection(CTICSTAConnection* connection);
    void AddMonitor(CTICSTAMonitor* monitor);
    void RemoveMonitor(CTICSTAMonitor* monitor);
    CTICSTAConnection* FirstConnection() const;
    CTICSTAConnection* NextConnection(CTICSTAConnection* c) const;
    StdQueue& ConnectionList() { return m_ConnectionList; }
    StdQueue& MonitorList() { return m_MonitorList; }

    // ---- connection look-ups and counts (each returns null when nothing fits) ----
    CTICSTAConnection* FindConnection(CTICSTADevice* device);
    // Newest first. selector 1: first active match, else newest of any state; 2 first
    // active; 3 state 1,3,4,5; 4 state 2; 5 state 3; 6 state 4; 7 state 2 or 4.
    CTICSTAConnection* FindConnectionByDeviceID(int deviceIDType, const char* deviceID,
                                                int selector, bool includeAlerting);
    CTICSTADevice* FindCommonDevice(Call* other);
    CTICSTAConnection* GetReferenceConnection();
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

    // ---- connection changes (under the server lock) ----
    // The updated, taken-over or new (deviceless) connection; null when none is made.
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

    // ---- joins, merges and re-keys ----
    // Releases a call: a private call with an owner through its agent, any other by Free.
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
    // Each returns the ECC layer's code (0 success) and traces a failure.
    int SetECCBinData(int32_t length, const uint8_t* data);
    int GetECCBinData(int32_t& length, const uint8_t*& data);
    int GetECCData(std::vector<NameValueStruct>& list, int& scalars, int& arrays);
    int SetECCData(const std::vector<NameValueStruct>& list);
    void TraceECC();

    // ---- reporting ----
    void WriteMSG(BaseMSG& msg, bool setState, bool passConnection);
    void WriteToCallWatchers(BaseMSG& msg);
    void ReportCall();
    void GetCallContext(BaseMSG& msg);
    void BuildREMask(BaseMSG& msg, uint32_t callIDOverride);
    void SendCallDataUpdateEvent(const ConnectionID& oldID, const ConnectionID& newID,
                                 const char* caller, bool toDevices);
    // The conference/transfer form, invoked on the primary call: fills the primary and
    // secondary IDs and the connected parties (marking duplicates when enabled), then sends
    // it to the all-events sessions, both calls' monitors and each party's device monitors.
    // numParties is the count OPC reported; the message stays the caller's.
    void WritePriSecMSG(Call* secondary, BaseMSG& msg, uint32_t callIDOverride, int numParties);
    void SetConnectedParties(BaseMSG& msg);
    void RemoveAllMonitors();
    uint16_t GetCallConnectionDeviceIDType();
    std::string GetCallConnectionDeviceID();
    int GetDestConnectionState();
    const std::string& GetAgentID() const {
        return m_DestAgentID.empty() ? m_SrcAgentID : m_DestAgentID;
    }
    void SetCTIClientSignature(size_t index, const std::string& signature);
    void SetCTIClientTimestamp(size_t index, uint32_t stamp);
    std::string GetCTIClientSignature(size_t index) const;
    uint32_t GetCTIClientTimestamp(size_t index) const;
    void TraceCallState();

    // ---- members (the model's own record; handlers set the call data directly) ----
    uint32_t m_PeripheralID;
    uint32_t m_CallID;
    uint16_t m_SrcDeviceIDType;
    uint16_t m_DestDeviceIDType;
    int16_t m_PeripheralType;
    uint16_t m_CallType;
    int32_t m_CallTypeID;
    uint16_t m_CalledPartyDisposition;
    uint32_t m_CampaignID;
    uint32_t m_QueryRuleID;
    int32_t m_TrunkGroup;
    uint32_t m_RouterCallKeyDay;
    uint32_t m_RouterCallKeyCallID;
    uint32_t m_RouterCallKeySequenceNum;
    bool m_Reported;
    bool m_Active;
    bool m_Deactivated;
    bool m_Cleared;
    bool m_Private;
    Call* m_JoinedCall;
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
    int32_t m_HashIndex;
    StdQueueLink m_HashLinks;
    StdQueueLink m_IndexLinks;        // in the exact-CallID index beside the hash
    StdQueueLink m_PeriphIndexLinks;  // in the exact (PeripheralID, CallID) index
    StdQueue m_ConnectionList;
    StdQueue m_MonitorList;
    StdQueueLink m_PrivateCallLinks;
    void* m_PrivateCallAgent;
    std::string m_LastEvent;
    int64_t m_LastEventTime;  // seconds since 1970

private:
    enum class Order { Bucket, ByCallID, ByPeripheralCallID };
    static Call* Walk(Call* from, bool backward, Order order, uint32_t peripheralID, uint32_t callID,
                      int deviceIDType, const char* deviceID, int mode);
    bool IdentityMatches(int deviceIDType, const char* deviceID, int mode);
    void AddToHash();
    void RemoveFromHash();
    void TraceDuplicate(const char* what);
    void ReleaseOne();
    // A counted connection: state 1..5, or a failed (6) source connection.
    static bool IsCounted(const CTICSTAConnection* c);
    bool KeepForWrapup(uint16_t type, const std::string& id, const char* end);
    void TraceConflict(const char* head, bool campaign);
    // Sends CALL_CONNECTION_CLEARED_EVENT for the connection through `via` (this call or the
    // call it is joined to), when it validates under `caller`'s name.
    void SendConnectionCleared(const CTICSTAConnection* c, uint16_t cause, const char* caller, Call* via);
};
