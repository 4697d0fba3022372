#pragma once
// The CSTA objects: devices of the switch (CTICSTADevice, two 512-bucket tables by DeviceID
// and by Extension), the connections that tie calls to devices (CTICSTAConnection, pooled)
// and the monitors of client sessions (CTICSTAMonitor, 1024 buckets by MonitorID, pooled).
//
// Locks: all of them belong to the server lock "RTServerConfig". Every operation here takes
// it when the calling thread does not hold it (LockGuard), so a caller that reads several
// fields or walks a list holds it itself. A caller that also needs "CallLock" takes that
// first. Connections and monitors are never deleted; a device is deleted only when its last
// connection goes and it is untyped (0 or 78), without agent or monitor.
#include <cstdint>
#include <string>

#include "nuvlib/stdqueue.h"

class Agent;
class BaseMSG;
class Call;
class REMaskArray;
class TPCSTASnapshotDeviceConfEventMsg;

// The CSTA extended device ID of OPC's messages.
struct CSTAExtendedDeviceID {
    char deviceID[64] = {};
    int32_t deviceIDType = 0;  // the device type
    int32_t deviceIDStatus = 0;  // 0 when the ID is provided
};

class CTICSTAConnection;
class CTICSTAMonitor;
namespace model {
struct DeviceTables;
struct MonitorTable;
}  // namespace model

class CTICSTADevice {
public:
    static constexpr int kHashBuckets = 512;

    // Inserts the device into both tables (server lock inside). The tables own it from
    // here on: it goes only through Delete or the release of its last connection.
    CTICSTADevice(uint32_t peripheralID, int32_t deviceType, const char* deviceID,
                  const char* extension, const char* origin);
    // Removes it from the tables and unlinks its agent; its lists must be empty.
    ~CTICSTADevice();
    CTICSTADevice(const CTICSTADevice&) = delete;
    CTICSTADevice& operator=(const CTICSTADevice&) = delete;

    static void InitHashTables();
    // The bucket of a text: the sum of its characters' low five bits, '0' skipped, & 511.
    static uint32_t HashKey(const char* text);
    // "Device", "Trunk", ... for 0 and 70..79; "UNKNOWN" otherwise.
    static const char* DeviceTypeName(int32_t type);
    // Deletes the device under the server lock (the only deletion path).
    static void Delete(CTICSTADevice* device);

    // The next device after this one in its DeviceID bucket that matches, or null (also when
    // this device is no longer in that ID's bucket).
    CTICSTADevice* FindNextDevice(uint32_t peripheralID, int32_t type, const char* deviceID,
                                  bool lenient);
    // New type, ID and extension; the device moves to the buckets of its new texts.
    void Reconfigure(int32_t deviceType, const char* deviceID, const char* extension);
    // Same DeviceID and a matching type (-1 any; 0 and 78 match each other).
    bool Matches(int32_t type, const char* deviceID) const;

    // CallID -1 with a selector: newest first, the first connection that fits the selector
    // (CTICSTAConnection::FitsSelector; selector 1 falls back to the newest). Otherwise the
    // oldest connection with that CallID and OPC ID. Null when none; the connection stays
    // the device's.
    CTICSTAConnection* FindConnection(uint32_t callID, int deviceIDType, const char* deviceID,
                                      int selector);
    // The same, skipping under selectors 1 and 2 the connections of call otherCallID (-1:
    // none skipped) and those without a call.
    CTICSTAConnection* FindOtherCallConnection(uint32_t callID, int deviceIDType,
                                               const char* deviceID, int selector,
                                               uint32_t otherCallID);
    // The connection of that call at this device, or null.
    CTICSTAConnection* FindCallConnection(Call* call);
    int GetNumConnections() const { return m_ConnectionList.Count(); }
    int GetNumMonitors() const { return m_MonitorList.Count(); }
    bool IsKnownDeviceType() const {
        return m_DeviceType == 0 || (m_DeviceType >= 70 && m_DeviceType <= 77);
    }
    // Free every connection (RemoveInactiveConnections: every inactive one). Freeing the last
    // connection may delete an untyped device: the caller looks it up again afterwards.
    void RemoveAllConnections();
    void RemoveInactiveConnections();
    // To every monitor of the device. With a connection, its OPC ID fills the event's
    // connection IDs first. The message stays the caller's.
    void WriteMSG(BaseMSG& msg, CTICSTAConnection* connection);
    // BEGIN_CALL_EVENT / END_CALL_EVENT of the call to every monitor of the device.
    void SendBeginCallToMonitors(Call* call, CTICSTAConnection* connection);
    void SendEndCallToMonitors(Call* call, CTICSTAConnection* connection);
    // The device's calls (at most 16) and REMask into SNAPSHOT_DEVICE_CONF; skipDotted leaves
    // out the connections with dotted IDs.
    void SetSnapshotDeviceCalls(BaseMSG& msg, bool skipDotted);
    // Compares OPC's snapshot of this device with the tracked connections and traces each
    // difference; with fix it creates, moves and frees connections, with createCalls it
    // creates the calls OPC reports and the server lacks. The confirmation is peer data:
    // when its entries or state lists reach outside its raw data, that is traced and
    // nothing is changed. True when every tracked connection was reported; false when one
    // was not, or the confirmation was refused. Freeing the last connection of an untyped
    // device deletes the device: the caller looks it up again. Call without the server lock
    // held (calls are found, made and released under CallLock).
    [[nodiscard]] bool VerifySnapshot(const TPCSTASnapshotDeviceConfEventMsg& conf, bool fix,
                                      bool createCalls);
    // The same over the confirmation's parts: its Count and entry offset, and the `length`
    // bytes of raw data that offsets count from (nothing outside them is read).
    [[nodiscard]] bool VerifySnapshot(uint32_t peripheralID, int32_t count, uint32_t entriesOffset,
                                      const uint8_t* data, uint32_t length, bool fix,
                                      bool createCalls);
    // One REMask entry per connection (or one without call) from the agent at the device;
    // nothing without an agent. CallID -1 for the override or filter: none.
    void AddREMaskEntries(REMaskArray* element, uint32_t callIDOverride, uint32_t callIDFilter);

    // The device's lists of connections (CTICSTAConnection::DeviceLinkOffset) and monitors
    // (CTICSTAMonitor::SubjectLinkOffset). Walk them under the server lock; link and unlink
    // only through the connection's and the monitor's operations.
    void AddConnection(CTICSTAConnection* c);
    void RemoveConnection(CTICSTAConnection* c);
    StdQueue& ConnectionList() { return m_ConnectionList; }
    StdQueue& MonitorList() { return m_MonitorList; }
    // The buckets the device is filed under (-1: none).
    int32_t DeviceIDHashIndex() const { return m_DeviceIDHashIndex; }
    int32_t ExtensionHashIndex() const { return m_ExtensionHashIndex; }
    // Whether the device is in its DeviceID bucket / its extension bucket.
    bool InIDBucket() const { return m_DeviceIDLinks.IsQueued(); }
    bool InExtensionBucket() const { return m_ExtensionLinks.IsQueued(); }

    // Console texts (hold the server lock); each a new string.
    std::string GetListHeader();
    std::string GetListEntry();
    std::string GetDumpString();
    void TraceDeviceState();

    uint32_t m_PeripheralID;
    int32_t m_DeviceType;
    std::string m_DeviceID;
    std::string m_Extension;
    std::string m_Origin;
    // The Agent at the device, or null; Agent::SetDevice keeps both directions.
    void* m_Agent = nullptr;
    Agent* GetAgent() const { return static_cast<Agent*>(m_Agent); }

private:
    friend struct model::DeviceTables;  // files devices by their links

    void AddToHash();
    void RemoveFromHash();

    int32_t m_DeviceIDHashIndex = -1;
    int32_t m_ExtensionHashIndex = -1;
    StdQueueLink m_DeviceIDLinks;
    StdQueueLink m_ExtensionLinks;
    StdQueueLink m_IDIndexLinks;         // exact-ID index beside DeviceIDHashList
    StdQueueLink m_ExtensionIndexLinks;  // exact-extension index beside ExtensionHashList
    StdQueue m_ConnectionList;
    StdQueue m_MonitorList;
};

// Finders and find-or-create; each returns the device (the tables keep it) or null.
// peripheralID -1 matches any peripheral, type -1 any type; 0 and 78 match each other. The
// lenient flag is accepted and has no effect on the result.
CTICSTADevice* FindCTICSTADevice(uint32_t peripheralID, int32_t type, const char* deviceID,
                                 bool lenient);
CTICSTADevice* FindCTICSTADeviceByExtension(uint32_t peripheralID, const char* extension,
                                            bool lenient);
// Null for an ID that is not provided, empty, "-1", of a type other than 0, 70..74, 76..78,
// or not numeric on peripheral types 1 and 12; creates the device only when `create`.
CTICSTADevice* FindOrCreateCTICSTADevice(uint32_t peripheralID, const CSTAExtendedDeviceID* id,
                                         const char* extension, const char* origin,
                                         bool lenient, bool create);
// Bucket heads for console walks under the server lock (nullptr when empty).
CTICSTADevice* FirstDeviceInBucket(int bucket);
CTICSTADevice* NextDeviceInBucket(CTICSTADevice* device);
CTICSTADevice* FirstDeviceInExtensionBucket(int bucket);
CTICSTADevice* NextDeviceInExtensionBucket(CTICSTADevice* device);
// Name of a local connection state (-1..6), "CS_..."; "UNKNOWN" otherwise.
const char* CSTALocalConnectionStateText(int32_t state);

class CTICSTAConnection {
public:
    CTICSTAConnection() = default;
    CTICSTAConnection(const CTICSTAConnection&) = delete;
    CTICSTAConnection& operator=(const CTICSTAConnection&) = delete;

    static void InitFreeList();
    // A pooled connection on the call's list (and the device's, with BEGIN_CALL_EVENT to
    // the device's monitors). Belongs to the pool: hand it back with Free.
    static CTICSTAConnection* Alloc(CTICSTADevice* device, Call* call, int32_t state,
                                    int32_t type, int32_t deviceIDType, const char* deviceID,
                                    const char* hint);
    // END_CALL_EVENT to the device's monitors, unlink, reset, pool; may delete the device.
    // The pointer is not the caller's afterwards.
    static void Free(CTICSTAConnection* connection);
    static int FreeCount();
    // Byte offsets of the connection's links, for a device's and a call's connection lists.
    static int32_t DeviceLinkOffset();
    static int32_t CallLinkOffset();

    // The one selector of the connection look-ups (Call::FindConnectionByDeviceID,
    // CTICSTADevice::FindConnection): 1 and 2 active, 3 active and not alerting, 4 alerting,
    // 5 connected, 6 held, 7 alerting or held; any other selector fits nothing.
    bool FitsSelector(int selector) const;
    // State -1 leaves the state; state 1 marks the connection initiated; a hint replaces it.
    void SetState(int32_t state, const char* hint);
    void SetOPCDevice(int32_t type, int32_t deviceIDType, const char* deviceID);
    // Moves the connection to another device (END_CALL_EVENT to the old device's monitors,
    // BEGIN_CALL_EVENT to the new one's) or call.
    void SetDevice(CTICSTADevice* device);
    void SetCall(Call* call);
    // New OPC ID; a connection at a device of a call tells the device's monitors first
    // (CALL_DATA_UPDATE_EVENT from oldCallID) while the server is active.
    void Reclassify(int32_t type, uint32_t oldCallID, int32_t deviceIDType, const char* deviceID);
    // To the device's monitors when the device type is known. The message stays the caller's.
    void WriteMSG(BaseMSG& msg, bool setState, bool passConnection);
    std::string FindCTICSTAAgent();
    bool IsActive() const {
        return m_LocalConnectionState != -1 && m_LocalConnectionState != 0 &&
               m_LocalConnectionState != 6;
    }
    bool IsActiveNotAlerting() const {
        return m_LocalConnectionState == 1 || (m_LocalConnectionState >= 3 &&
                                               m_LocalConnectionState <= 5);
    }

    // Texts (hold the server lock).
    std::string GetFlagsText() const;
    std::string GetOPCIDText() const;
    void GetDumpString(std::string& out) const;
    void GetDeviceDumpString(std::string& out) const;
    void TraceConnectionstate() const;
    void TraceDeviceConnection() const;

    CTICSTADevice* m_Device = nullptr;
    Call* m_Call = nullptr;
    int32_t m_LocalConnectionState = -1;
    int32_t m_Initiated = 0;
    int32_t m_SilentMonitorStatus = 0;
    int32_t m_ConnectionType = 0;
    int32_t m_OPCDeviceIDType = 0;
    char m_OPCDeviceID[64] = {};
    char m_SubjectDeviceID[64] = {};
    uint32_t m_Flags = 0;
    std::string m_Hint;

private:
    StdQueueLink m_DeviceLinks;
    StdQueueLink m_CallLinks;
};

// Find-or-create of the connection of a call at a device (server lock inside): type 1 or 2
// makes a new one, type 3 only for "VerifySnapshot"; an existing one takes the new OPC ID
// and state. Null when nothing is found or made; the connection stays the call's and the
// device's. `changed` is set when a connection was made or its state changed.
CTICSTAConnection* SetConnection(CTICSTADevice* device, Call* call, int32_t state, int32_t type,
                                 int32_t deviceIDType, const char* deviceID, const char* hint,
                                 bool& changed);

class CTICSTAMonitor {
public:
    enum Type { Void = 0, Device = 1, CallSubject = 2, Session = 3, AgentTeam = 4, MRD = 5,
                AgentMRD = 6 };
    static constexpr int kHashBuckets = 1024;

    // A monitor with the default masks; only Alloc makes them.
    CTICSTAMonitor();
    CTICSTAMonitor(const CTICSTAMonitor&) = delete;
    CTICSTAMonitor& operator=(const CTICSTAMonitor&) = delete;

    static void InitHashTable();
    static const char* MonitorTypeName(int32_t type);
    // Byte offsets of the monitor's links for the lists other objects keep: a subject's
    // monitor list (a session's list of session monitors) and a client's monitor list.
    static int32_t SubjectLinkOffset();
    static int32_t ClientLinkOffset();
    // A pooled monitor with the next free MonitorID and the default masks; with a client
    // (sessionID, -1 for none) it joins the client's monitor list, with a subject the
    // subject's. No BEGIN_CALL_EVENT. The monitor belongs to the pool: hand it back with Free.
    static CTICSTAMonitor* Alloc(int32_t type, int32_t sessionID, void* subject);
    // END_CALL_EVENT for its subject's calls, off the subject's and the client's lists, out
    // of the table, pooled. The pointer is not the caller's afterwards.
    static void Free(CTICSTAMonitor* monitor);
    // The live monitor with that MonitorID, or null (0 is never one).
    static CTICSTAMonitor* FindMonitor(uint32_t monitorID);
    static int FreeCount();
    // Bucket walks for the console (under the server lock); null at the end.
    static CTICSTAMonitor* FirstInBucket(int bucket);
    CTICSTAMonitor* NextInBucket();
    // Next MonitorID to hand out (tests move it to show the wrap).
    static void SetNextMonitorID(uint32_t id);

    // Moves the monitor to another subject (null: none): END_CALL_EVENT for the old subject's
    // calls, off its list, onto the new one's. No BEGIN_CALL_EVENT (SendBeginCalls).
    void SetSubject(void* subject);
    // The masks a client set (OPEN_REQ, or a request of its session).
    void SetMasks(uint32_t callMsgMask, uint32_t agentStateMask, uint32_t taskMsgMask);
    uint32_t GetCallMsgMask() const { return m_CallMsgMask; }
    uint32_t GetAgentStateMask() const { return m_AgentStateMask; }
    uint32_t GetTaskMsgMask() const { return m_TaskMsgMask; }
    void SendBeginCalls(bool trace);
    void SendEndCalls();
    void SendBeginCall(Call* call, CTICSTAConnection* connection);
    void SendEndCall(Call* call, CTICSTAConnection* connection);
    // To the monitor's session when the version and the masks let the event through, with
    // the MonitorID set (not in SYSTEM_EVENT). A monitor whose session is gone forgets it.
    // The message stays the caller's.
    void WriteMSG(BaseMSG* msg);
    bool PassesMasks(BaseMSG& msg, int32_t agentState) const;

    // Console texts (hold the server lock).
    std::string GetListHeader();
    std::string GetListEntry();
    void GetDumpString(std::string& out);
    // Appends the dump line of every monitor of `list` (a list over ClientLinkOffset or a
    // subject's list), each indented by five blanks.
    static void AppendDumpLines(StdQueue& list, std::string& out);

    uint32_t m_MonitorID = 0;
    int32_t m_MonitorType = 0;
    void* m_Subject = nullptr;  // set through SetSubject
    int32_t m_SessionID = -1;
    uint32_t m_ClientVersion = 0;
    int32_t m_SubjectSessionID = 0;
    int32_t m_MRDomainID = 0;
    int32_t m_TaskAgentID = 0;
    uint32_t m_CallMsgMask = 0xFFFFFFFF;
    uint32_t m_AgentStateMask;
    uint32_t m_TaskMsgMask;

private:
    friend struct model::MonitorTable;  // files monitors by their links

    static uint32_t NextMonitorID();
    StdQueue* SubjectList(void* subject) const;
    void ForEachSubjectCall(bool begin, bool trace);
    void SubjectText(std::string& out, bool forList);
    std::string ClientText();

    StdQueueLink m_MonitorHashLinks;
    StdQueueLink m_SubjectLinks;
    StdQueueLink m_ClientLinks;
    StdQueueLink m_IndexLinks;  // exact-MonitorID index beside MonitorHashList
};
