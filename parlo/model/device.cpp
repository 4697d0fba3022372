// CSTA devices: the two 512-bucket tables, find-or-create, deletion, the per-device
// connection look-ups, the fan-out of events to the device's monitors and the texts.
#include <cstring>

#include "ctimsg/basemsg.h"
#include "ctimsg/structured.h"
#include "nuvlib/ems.h"
#include "nuvlib/tracemeter.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/agent.h"
#include "parlo/model/remask.h"
#include "parlo/model/exactindex.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

namespace model {

// The two tables of devices, by DeviceID and by extension, with their exact indexes.
struct DeviceTables {
    StdQueue byID[CTICSTADevice::kHashBuckets];
    StdQueue byExtension[CTICSTADevice::kHashBuckets];
    // The same devices by exact DeviceID and by exact extension, in bucket order.
    ExactIndex exactID{MemberOffset(&CTICSTADevice::m_IDIndexLinks)};
    ExactIndex exactExtension{MemberOffset(&CTICSTADevice::m_ExtensionIndexLinks)};

    DeviceTables() {
        for (StdQueue& q : byID) q.SetLinkOffset(MemberOffset(&CTICSTADevice::m_DeviceIDLinks));
        for (StdQueue& q : byExtension)
            q.SetLinkOffset(MemberOffset(&CTICSTADevice::m_ExtensionLinks));
    }
};

}  // namespace model

using namespace model;

namespace {

DeviceTables& Tables() {
    static DeviceTables tables;
    return tables;
}

CTICSTADevice* AsDevice(void* p) { return static_cast<CTICSTADevice*>(p); }
CTICSTAConnection* AsConnection(void* p) { return static_cast<CTICSTAConnection*>(p); }

bool UsesInstrumentPart(uint32_t peripheralID) {
    const int type = Server().GetPeripheralType(static_cast<int32_t>(peripheralID));
    return type == 30 || type == 51 || type == 54;
}

// The ID the tables hold for what an event names: the instrument part of a dotted ID on
// the peripherals whose devices are instruments, else the ID cut to 63 characters.
void SearchID(uint32_t peripheralID, const char* id, char (&out)[64]) {
    if (id == nullptr) id = "";
    if (UsesInstrumentPart(peripheralID) &&
        BaseMSG::DisassembleDeviceID(id, out, nullptr, nullptr) == 0)
        return;
    CopyDeviceID(out, id);
}

const char* const kTracePathIDExt = "CTICSTADevice: defined deviceID/extension";
const char* const kTracePathID = "CTICSTADevice: defined deviceID";
const char* const kTraceReconfigured = "CTICSTADevice: reconfigured deviceID/extension";

}  // namespace

void CTICSTADevice::InitHashTables() { (void)Tables(); }

uint32_t CTICSTADevice::HashKey(const char* text) {
    uint32_t sum = 0;
    for (const char* p = text; p != nullptr && *p != '\0'; ++p)
        if (*p != '0') sum += static_cast<unsigned char>(*p) & 31u;
    return sum & 511u;
}

const char* CTICSTADevice::DeviceTypeName(int32_t type) {
    switch (type) {
        case 0: return "Device";
        case 70: return "Trunk";
        case 71: return "TrunkGroup";
        case 72: return "IPPhoneMAC";
        case 73: return "CTIPort";
        case 74: return "RoutePoint";
        case 75: return "External";
        case 76: return "AgentDevice";
        case 77: return "Queue";
        case 78: return "NACD-Device";
        case 79: return "SharedDevice";
        default: return "UNKNOWN";
    }
}

CTICSTADevice::CTICSTADevice(uint32_t peripheralID, int32_t deviceType, const char* deviceID,
                             const char* extension, const char* origin)
    : m_PeripheralID(peripheralID),
      m_DeviceType(deviceType),
      m_DeviceID(deviceID != nullptr ? deviceID : ""),
      m_Extension(extension != nullptr ? extension : ""),
      m_Origin(origin != nullptr ? origin : "") {
    m_ConnectionList.SetLinkOffset(CTICSTAConnection::DeviceLinkOffset());
    m_MonitorList.SetLinkOffset(CTICSTAMonitor::SubjectLinkOffset());
    if (Server().VerboseLevel() == 2)
        EMSTraceMessage("CTICSTADevice::CTICSTADevice - Creating Device (DeviceID = %s, "
                        "DeviceIDType = %s, DeviceObj = 0x%x)",
                        m_DeviceID.c_str(), DeviceTypeName(m_DeviceType),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    AddToHash();
}

CTICSTADevice::~CTICSTADevice() {
    if (Server().VerboseLevel() == 2)
        EMSTraceMessage("CTICSTADevice::~CTICSTADevice - Deleting Device (DeviceID = %s, "
                        "DeviceIDType = %s, DeviceObj = 0x%x)",
                        m_DeviceID.c_str(), DeviceTypeName(m_DeviceType),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    RemoveFromHash();
    NUV_ASSERT(m_ConnectionList.Count() == 0);
    NUV_ASSERT(m_MonitorList.Count() == 0);
    if (auto* agent = static_cast<Agent*>(m_Agent); agent != nullptr && agent->m_Device == this)
        (void)agent->SetDevice(nullptr);
}

void CTICSTADevice::Delete(CTICSTADevice* device) {
    ServerLockGuard guard(ServerLock());
    delete device;
}

void CTICSTADevice::AddToHash() {
    DeviceTables& t = Tables();
    m_DeviceIDHashIndex = static_cast<int32_t>(HashKey(m_DeviceID.c_str()));
    m_ExtensionHashIndex =
        m_Extension.empty() ? -1 : static_cast<int32_t>(HashKey(m_Extension.c_str()));
    int32_t idCount = 0, extCount = 0;
    {
        ServerLockGuard guard(ServerLock());
        StdQueue& b = t.byID[m_DeviceIDHashIndex];
        if (m_DeviceIDLinks.IsQueued()) b.Remove(this);
        // The index keys come from the texts, which change only while the device is out
        // of both tables (Reconfigure).
        b.Append(this);
        t.exactID.Append(ExactIndex::TextKey(m_DeviceID), this);
        idCount = b.Count();
        if (m_ExtensionHashIndex >= 0) {
            StdQueue& e = t.byExtension[m_ExtensionHashIndex];
            if (m_ExtensionLinks.IsQueued()) e.Remove(this);
            e.Append(this);
            t.exactExtension.Append(ExactIndex::TextKey(m_Extension), this);
            extCount = e.Count();
        }
    }
    if (idCount % 64 == 0)
        EMSTraceMessage("CTICSTADevice : DeviceID hash list[%d] has grown to %d elements.",
                        m_DeviceIDHashIndex, idCount);
    if (extCount > 0 && extCount % 64 == 0)
        EMSTraceMessage("CTICSTADevice : Extension hash list[%d] has grown to %d elements.",
                        m_ExtensionHashIndex, extCount);
}

void CTICSTADevice::RemoveFromHash() {
    DeviceTables& t = Tables();
    ServerLockGuard guard(ServerLock());
    if (m_DeviceIDLinks.IsQueued() && m_DeviceIDHashIndex >= 0) {
        t.byID[m_DeviceIDHashIndex].Remove(this);
        m_DeviceIDLinks.Reset();
    }
    if (t.exactID.Contains(this)) t.exactID.Remove(ExactIndex::TextKey(m_DeviceID), this);
    if (t.exactExtension.Contains(this))
        t.exactExtension.Remove(ExactIndex::TextKey(m_Extension), this);
    if (m_ExtensionHashIndex != -1) {
        if (m_ExtensionLinks.IsQueued()) {
            t.byExtension[m_ExtensionHashIndex].Remove(this);
            m_ExtensionLinks.Reset();
        }
        m_ExtensionHashIndex = -1;
    }
}

void CTICSTADevice::Reconfigure(int32_t deviceType, const char* deviceID, const char* extension) {
    ServerLockGuard guard(ServerLock());
    RemoveFromHash();
    m_DeviceType = deviceType;
    m_DeviceID = deviceID != nullptr ? deviceID : "";
    m_Extension = extension != nullptr ? extension : "";
    AddToHash();
}

bool CTICSTADevice::Matches(int32_t type, const char* deviceID) const {
    const bool typeMatches = type == m_DeviceType || type == -1 ||
                             (type == 0 && m_DeviceType == 78) ||
                             (type == 78 && m_DeviceType == 0);
    return typeMatches && m_DeviceID == deviceID;
}

namespace {

// Walks the bucket, or (byIndex) only the devices of that exact ID, which the bucket holds
// in the same order; the count guard is the list's own.
CTICSTADevice* WalkIDBucket(CTICSTADevice* from, int bucket, uint32_t peripheralID, int32_t type,
                            const char* search, bool byIndex) {
    StdQueue& b = Tables().byID[bucket];
    const ExactIndex& index = Tables().exactID;
    const uint64_t key = ExactIndex::TextKey(search);
    const int32_t limit = byIndex ? index.Count(key) : b.Count();
    int32_t walked = 0;
    for (CTICSTADevice* d = from; d != nullptr;
         d = AsDevice(byIndex ? index.Next(d) : b.Next(d))) {
        if (++walked > limit) {
            EMSTraceMessage("*** FindCTICSTADevice: DeviceIDHashList[%d] corrupted (prev=0x%x "
                            "this=0x%x count=%d) ***",
                            bucket, static_cast<unsigned>(reinterpret_cast<uintptr_t>(
                                        b.LinkOf(d)->previous)),
                            static_cast<unsigned>(reinterpret_cast<uintptr_t>(d)), b.Count());
            for (CTICSTADevice* e = AsDevice(b.First()); e != nullptr && e != d;
                 e = AsDevice(b.Next(e)))
                EMSTraceMessage("    0x%x: Periph=%d Type=%d ID=%s next=0x%x",
                                static_cast<unsigned>(reinterpret_cast<uintptr_t>(e)),
                                static_cast<int32_t>(e->m_PeripheralID), e->m_DeviceType,
                                e->m_DeviceID.c_str(),
                                static_cast<unsigned>(
                                    reinterpret_cast<uintptr_t>(b.LinkOf(e)->next)));
            EMSFailMessage("*** FindCTICSTADevice(pid=%d, type=%d, id=%s): HashList Corrupted ***",
                           static_cast<int32_t>(peripheralID), type, search);
        }
        if ((peripheralID == kNoPeripheral || d->m_PeripheralID == peripheralID) &&
            d->Matches(type, search))
            return d;
    }
    return nullptr;
}

}  // namespace

CTICSTADevice* FindCTICSTADevice(uint32_t peripheralID, int32_t type, const char* deviceID,
                                 bool /*lenient*/) {
    char search[64];
    SearchID(peripheralID, deviceID, search);
    const int bucket = static_cast<int>(CTICSTADevice::HashKey(search));
    ServerLockGuard guard(ServerLock());
    return WalkIDBucket(AsDevice(Tables().exactID.First(ExactIndex::TextKey(search))), bucket,
                        peripheralID, type, search, true);
}

CTICSTADevice* CTICSTADevice::FindNextDevice(uint32_t peripheralID, int32_t type,
                                             const char* deviceID, bool /*lenient*/) {
    char search[64];
    SearchID(peripheralID, deviceID, search);
    const int bucket = static_cast<int>(HashKey(search));
    ServerLockGuard guard(ServerLock());
    if (bucket != m_DeviceIDHashIndex || !m_DeviceIDLinks.IsQueued()) return nullptr;
    if (m_DeviceID == search)
        return WalkIDBucket(AsDevice(Tables().exactID.Next(this)), bucket, peripheralID, type,
                            search, true);
    return WalkIDBucket(AsDevice(Tables().byID[bucket].Next(this)), bucket, peripheralID, type,
                        search, false);
}

CTICSTADevice* FindCTICSTADeviceByExtension(uint32_t peripheralID, const char* extension,
                                            bool /*lenient*/) {
    if (extension == nullptr) return nullptr;
    ServerLockGuard guard(ServerLock());
    const ExactIndex& index = Tables().exactExtension;
    for (CTICSTADevice* d = AsDevice(index.First(ExactIndex::TextKey(extension))); d != nullptr;
         d = AsDevice(index.Next(d)))
        if ((peripheralID == kNoPeripheral || d->m_PeripheralID == peripheralID) &&
            d->m_Extension == extension)
            return d;
    return nullptr;
}

CTICSTADevice* FindOrCreateCTICSTADevice(uint32_t peripheralID, const CSTAExtendedDeviceID* id,
                                         const char* extension, const char* origin, bool lenient,
                                         bool create) {
    if (id == nullptr || id->deviceIDStatus != 0) return nullptr;
    // The record comes from OPC: never read past its 64 bytes.
    char raw[64];
    const size_t n = strnlen(id->deviceID, sizeof id->deviceID);
    memcpy(raw, id->deviceID, n < 63 ? n : 63);
    raw[n < 63 ? n : 63] = '\0';
    char search[64];
    SearchID(peripheralID, raw, search);
    if (search[0] == '\0' || strcmp(search, "-1") == 0) return nullptr;
    switch (id->deviceIDType) {
        case 0: case 70: case 71: case 72: case 73: case 74: case 76: case 77: case 78:
            break;
        default:
            return nullptr;
    }
    const int periphType = Server().GetPeripheralType(static_cast<int32_t>(peripheralID));
    if (!(search[0] >= '0' && search[0] <= '9') && (periphType == 1 || periphType == 12))
        return nullptr;
    const char* ext = extension != nullptr ? extension : "";

    ServerLockGuard guard(ServerLock());
    CTICSTADevice* device = FindCTICSTADevice(peripheralID, id->deviceIDType, search, lenient);
    if (device == nullptr && (id->deviceIDType == 0 || id->deviceIDType == 78)) {
        device = FindCTICSTADeviceByExtension(peripheralID, search, lenient);
        if (device == nullptr && ext[0] != '\0') {
            device = FindCTICSTADevice(peripheralID, 0, ext, lenient);
            if (device != nullptr) {
                device->Reconfigure(0, search, ext);
                TraceMeterCount(kTraceReconfigured, "", __FILE__, __LINE__, 0);
            }
        }
    }
    if (device == nullptr && create) {
        device = new (std::nothrow) CTICSTADevice(peripheralID, id->deviceIDType, search, ext,
                                                  origin);
        if (device == nullptr) NUV_ALLOC_FAILED(sizeof(CTICSTADevice));
        TraceMeterCount(ext[0] != '\0' ? kTracePathIDExt : kTracePathID, "", __FILE__, __LINE__,
                        0);
    }
    return device;
}

CTICSTADevice* FirstDeviceInBucket(int bucket) {
    if (bucket < 0 || bucket >= CTICSTADevice::kHashBuckets) return nullptr;
    return AsDevice(Tables().byID[bucket].First());
}

CTICSTADevice* NextDeviceInBucket(CTICSTADevice* device) {
    if (device == nullptr || !device->InIDBucket()) return nullptr;
    return AsDevice(Tables().byID[device->DeviceIDHashIndex()].Next(device));
}

CTICSTADevice* FirstDeviceInExtensionBucket(int bucket) {
    if (bucket < 0 || bucket >= CTICSTADevice::kHashBuckets) return nullptr;
    return AsDevice(Tables().byExtension[bucket].First());
}

CTICSTADevice* NextDeviceInExtensionBucket(CTICSTADevice* device) {
    if (device == nullptr || !device->InExtensionBucket()) return nullptr;
    return AsDevice(Tables().byExtension[device->ExtensionHashIndex()].Next(device));
}

// ---- connections at the device ----

void CTICSTADevice::AddConnection(CTICSTAConnection* c) { m_ConnectionList.Append(c); }

void CTICSTADevice::RemoveConnection(CTICSTAConnection* c) {
    StdQueueLink* link = m_ConnectionList.LinkOf(c);
    if (link->IsQueued()) m_ConnectionList.Remove(c);
    link->Reset();
}

CTICSTAConnection* CTICSTADevice::FindConnection(uint32_t callID, int type, const char* deviceID,
                                                 int selector) {
    return FindOtherCallConnection(callID, type, deviceID, selector, 0xFFFFFFFF);
}

CTICSTAConnection* CTICSTADevice::FindOtherCallConnection(uint32_t callID, int type,
                                                          const char* deviceID, int selector,
                                                          uint32_t otherCallID) {
    ServerLockGuard guard(ServerLock());
    if (callID == 0xFFFFFFFF && selector != 0) {
        CTICSTAConnection* newest = nullptr;
        for (CTICSTAConnection* c = AsConnection(m_ConnectionList.Last()); c != nullptr;
             c = AsConnection(m_ConnectionList.Previous(c))) {
            if (newest == nullptr) newest = c;
            if (!c->FitsSelector(selector)) continue;
            if ((selector == 1 || selector == 2) && otherCallID != 0xFFFFFFFF &&
                (c->m_Call == nullptr || c->m_Call->m_CallID == otherCallID))
                continue;
            return c;
        }
        return selector == 1 ? newest : nullptr;
    }
    if (deviceID == nullptr) deviceID = "";
    for (CTICSTAConnection* c = AsConnection(m_ConnectionList.First()); c != nullptr;
         c = AsConnection(m_ConnectionList.Next(c)))
        if (c->m_Call != nullptr && c->m_Call->m_CallID == callID &&
            static_cast<uint16_t>(c->m_OPCDeviceIDType) == static_cast<uint16_t>(type) &&
            strcmp(c->m_OPCDeviceID, deviceID) == 0)
            return c;
    return nullptr;
}

CTICSTAConnection* CTICSTADevice::FindCallConnection(Call* call) {
    ServerLockGuard guard(ServerLock());
    for (CTICSTAConnection* c = AsConnection(m_ConnectionList.First()); c != nullptr;
         c = AsConnection(m_ConnectionList.Next(c)))
        if (c->m_Call == call) return c;
    return nullptr;
}

void CTICSTADevice::RemoveAllConnections() {
    ServerLockGuard guard(ServerLock());
    // Freeing the last connection may delete an untyped device: keep this alive by
    // stopping before the last one frees it under us.
    while (CTICSTAConnection* c = AsConnection(m_ConnectionList.First())) {
        const bool last = m_ConnectionList.Count() == 1;
        CTICSTAConnection::Free(c);
        if (last) break;
    }
}

void CTICSTADevice::RemoveInactiveConnections() {
    ServerLockGuard guard(ServerLock());
    CTICSTAConnection* c = AsConnection(m_ConnectionList.First());
    while (c != nullptr) {
        CTICSTAConnection* next = AsConnection(m_ConnectionList.Next(c));
        if (!c->IsActive()) {
            const bool last = m_ConnectionList.Count() == 1;
            if (Server().VerboseLevel() == 1)
                EMSTraceMessage("CTICSTADevice::RemoveInactiveConnections - Removing an "
                                "inactive connection for the device");
            CTICSTAConnection::Free(c);
            if (last) return;
        }
        c = next;
    }
}

// ---- events ----

void CTICSTADevice::WriteMSG(BaseMSG& msg, CTICSTAConnection* connection) {
    if (Server().VerboseLevel() == 2)
        EMSTraceMessage("CTICSTADevice::WriteMSG - (DeviceID = %s, DeviceIDType = %s, "
                        "DeviceObj = 0x%x)",
                        m_DeviceID.c_str(), DeviceTypeName(m_DeviceType),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    if (connection != nullptr) {
        msg.SetUSHORT(Id(E::ConnectionDeviceIDType),
                      static_cast<uint16_t>(connection->m_OPCDeviceIDType));
        msg.SetSTRINGMax(Id(E::ConnectionDeviceID), connection->m_OPCDeviceID);
        if (HasElement(msg, E::NewConnectionDeviceIDType)) {
            msg.SetUSHORT(Id(E::NewConnectionDeviceIDType),
                          static_cast<uint16_t>(connection->m_OPCDeviceIDType));
            msg.SetSTRINGMax(Id(E::NewConnectionDeviceID), connection->m_OPCDeviceID);
        }
    }
    ServerLockGuard guard(ServerLock());
    for (auto* m = static_cast<CTICSTAMonitor*>(m_MonitorList.First()); m != nullptr;
         m = static_cast<CTICSTAMonitor*>(m_MonitorList.Next(m)))
        m->WriteMSG(&msg);
}

void CTICSTADevice::SendBeginCallToMonitors(Call* call, CTICSTAConnection* connection) {
    ServerLockGuard guard(ServerLock());
    for (auto* m = static_cast<CTICSTAMonitor*>(m_MonitorList.First()); m != nullptr;
         m = static_cast<CTICSTAMonitor*>(m_MonitorList.Next(m)))
        m->SendBeginCall(call, connection);
}

void CTICSTADevice::SendEndCallToMonitors(Call* call, CTICSTAConnection* connection) {
    ServerLockGuard guard(ServerLock());
    for (auto* m = static_cast<CTICSTAMonitor*>(m_MonitorList.First()); m != nullptr;
         m = static_cast<CTICSTAMonitor*>(m_MonitorList.Next(m)))
        m->SendEndCall(call, connection);
}

void CTICSTADevice::SetSnapshotDeviceCalls(BaseMSG& msg, bool skipDotted) {
    ServerLockGuard guard(ServerLock());
    const int limit = m_ConnectionList.Count() < 16 ? m_ConnectionList.Count() : 16;
    uint32_t n = 0;
    for (CTICSTAConnection* c = AsConnection(m_ConnectionList.First());
         c != nullptr && static_cast<int>(n) < limit; c = AsConnection(m_ConnectionList.Next(c))) {
        if (skipDotted && ((c->m_LocalConnectionState == 2 && strchr(c->m_SubjectDeviceID, '.')) ||
                           strchr(c->m_OPCDeviceID, '.')))
            continue;
        if (msg.FindElement(Id(E::CallConnectionCallID), n, false) == nullptr) break;
        msg.SetUINT(Id(E::CallConnectionCallID), c->m_Call != nullptr ? c->m_Call->m_CallID : 0xFFFFFFFF, n);
        msg.SetUSHORT(Id(E::CallConnectionDeviceIDType), static_cast<uint16_t>(c->m_OPCDeviceIDType), n);
        msg.SetSTRINGMax(Id(E::CallConnectionDeviceID), c->m_OPCDeviceID, n);
        msg.SetUSHORT(Id(E::CallState), static_cast<uint16_t>(c->m_LocalConnectionState), n);
        if (msg.FindElement(Id(E::SilentMonitorStatus), n, false) != nullptr)
            msg.SetUSHORT(Id(E::SilentMonitorStatus), static_cast<uint16_t>(c->m_SilentMonitorStatus), n);
        ++n;
    }
    msg.SetUSHORT(Id(E::NumCalls), static_cast<uint16_t>(n));
    if (auto* element = static_cast<REMaskArray*>(msg.FindElement(Id(E::REMaskArray), 0, false)))
        AddREMaskEntries(element, 0xFFFFFFFF, 0xFFFFFFFF);
}

void CTICSTADevice::AddREMaskEntries(REMaskArray* element, uint32_t callIDOverride,
                                     uint32_t callIDFilter) {
    if (m_Agent == nullptr || element == nullptr) return;
    const Agent& agent = *static_cast<Agent*>(m_Agent);
    const std::string instrument = agent.GetInstrumentNumber();
    if (m_ConnectionList.Count() == 0) {
        if (REMaskEntry* entry = element->AddREMask())
            CTIUpdateREMask::ComputeEntry(instrument, agent.m_Extension, -1, 0, -1,
                                          agent.GetOverallState(), agent.m_DeskSettingsMask,
                                          agent.m_WrapUpIncomingMode, 0, 0, -1, entry);
        return;
    }
    int32_t talking = 0, total = 0;
    for (CTICSTAConnection* c = AsConnection(m_ConnectionList.First()); c != nullptr;
         c = AsConnection(m_ConnectionList.Next(c))) {
        const int32_t s = c->m_LocalConnectionState;
        if (s == 3 && c->m_SilentMonitorStatus != 2) ++talking;
        if ((s == 3 && c->m_SilentMonitorStatus != 2) || s == 4 || s == -1 || s == 1 || s == 6)
            ++total;
    }
    for (CTICSTAConnection* c = AsConnection(m_ConnectionList.First()); c != nullptr;
         c = AsConnection(m_ConnectionList.Next(c))) {
        uint32_t callID = c->m_Call != nullptr ? c->m_Call->m_CallID : 0xFFFFFFFF;
        if (callIDFilter != 0xFFFFFFFF && callIDFilter != callID) continue;
        if (callIDOverride != 0xFFFFFFFF && callID != 0xFFFFFFFF) callID = callIDOverride;
        // A full element (10 entries) takes no more.
        REMaskEntry* entry = element->AddREMask();
        if (entry == nullptr) break;
        const bool initiated = c->m_Initiated != 0;
        CTIUpdateREMask::ComputeEntry(
            instrument, agent.m_Extension, static_cast<int32_t>(callID),
            c->m_Call != nullptr ? c->m_Call->m_CallType : 0, c->m_LocalConnectionState,
            agent.GetOverallState(), agent.m_DeskSettingsMask,
            initiated ? agent.m_WrapUpOutgoingMode : agent.m_WrapUpIncomingMode, talking, total,
            initiated && c->m_Call != nullptr ? c->m_Call->GetDestConnectionState() : -1, entry);
    }
}

// ---- texts ----

std::string CTICSTADevice::GetListHeader() {
    return " Periph DeviceID DeviceType   Extension AgentID Connections Monitors     Origin\n";
}

std::string CTICSTADevice::GetListEntry() {
    return Format("%7d %8.8s %-12.12s %9.9s %7.7s    %5d      %4d   %s\n",
                  static_cast<int32_t>(m_PeripheralID), m_DeviceID.c_str(),
                  DeviceTypeName(m_DeviceType), m_Extension.c_str(),
                  m_Agent != nullptr ? static_cast<Agent*>(m_Agent)->GetAgentID().c_str() : "",
                  GetNumConnections(),
                  GetNumMonitors(), m_Origin.c_str());
}

std::string CTICSTADevice::GetDumpString() {
    std::string out;
    out.reserve(1024);
    AppendF(out, "PeripheralID=%d DeviceType=%d(%s) DeviceID=%s Extension=%s AgentID=%s "
                      "Origin=%s\n",
                 static_cast<int32_t>(m_PeripheralID), m_DeviceType, DeviceTypeName(m_DeviceType),
                 m_DeviceID.c_str(), m_Extension.c_str(),
                 m_Agent != nullptr ? static_cast<Agent*>(m_Agent)->GetAgentID().c_str() : "NONE",
                 m_Origin.c_str());
    for (CTICSTAConnection* c = AsConnection(m_ConnectionList.First()); c != nullptr;
         c = AsConnection(m_ConnectionList.Next(c)))
        c->GetDeviceDumpString(out);
    CTICSTAMonitor::AppendDumpLines(m_MonitorList, out);
    out += "\n";
    return out;
}

void CTICSTADevice::TraceDeviceState() {
    StateTrace("  CSTA DeviceState: PeripheralID=%d DeviceID=%s DeviceType=%s Extension=%s",
               static_cast<int32_t>(m_PeripheralID), m_DeviceID.c_str(),
               DeviceTypeName(m_DeviceType), m_Extension.c_str());
    for (CTICSTAConnection* c = AsConnection(m_ConnectionList.First()); c != nullptr;
         c = AsConnection(m_ConnectionList.Next(c)))
        c->TraceDeviceConnection();
}
