// Call snapshots for clients, and the check of OPC's device snapshot against the tracked
// connections, with its repairs.
#include <cstring>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/statuscodes.h"
#include "ctimsg/valuenames.h"
#include "nuvlib/ems.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "platform/byteorder.h"

using namespace model;

namespace {

constexpr uint16_t kCallTypeSupervisorMonitor = 21;
constexpr uint16_t kCallTypeNonACD = 38;

// One 84-byte entry of the snapshot-device confirmation.
constexpr uint32_t kEntrySize = 84;
constexpr uint32_t kEntryDeviceID = 4, kEntryDeviceIDType = 68, kEntryStateCount = 72,
                   kEntryStateOffset = 76, kEntryStatus = 80;

struct SnapshotEntry {
    uint32_t callID;
    char deviceID[64];
    int32_t deviceIDType;
    int32_t state;
    int32_t status;
};

const char* SilentMonitorText(int32_t status) {
    switch (status) {
        case 0: return "SM_NONE";
        case 1: return "SM_INITIATOR";
        case 2: return "SM_TARGET";
        default: return "UnkownStatus";
    }
}

char TypeLetter(int32_t type) { return type == 1 ? 'd' : 's'; }

bool IsLive(const CTICSTAConnection* c) {
    return c->m_LocalConnectionState != 0 && c->m_LocalConnectionState != 2;
}

bool SameOPCID(const CTICSTAConnection* c, int32_t type, const char* id) {
    return static_cast<uint16_t>(c->m_OPCDeviceIDType) == static_cast<uint16_t>(type) &&
           strcmp(c->m_OPCDeviceID, id) == 0;
}

// Reads the entries, each inside the `length` bytes of data with its state list; false (with
// a trace) at the first that is not: OPC's offsets and counts are not trusted.
bool ReadEntries(const char* deviceID, int32_t count, uint32_t offset, const uint8_t* data,
                 uint32_t length, std::vector<SnapshotEntry>& out) {
    if (data == nullptr) length = 0;
    if (count < 0) {
        EMSTraceMessage("VerifySnapshot(Device %s): entry count %d not valid, not verified",
                        deviceID, count);
        return false;
    }
    for (uint32_t i = 0; i < static_cast<uint32_t>(count); ++i) {
        const uint64_t at = static_cast<uint64_t>(offset) + static_cast<uint64_t>(i) * kEntrySize;
        if (at + kEntrySize > length) {
            EMSTraceMessage("VerifySnapshot(Device %s): entry %u of %d at offset %llu lies "
                            "outside the %u bytes of snapshot data, not verified",
                            deviceID, i, count, static_cast<unsigned long long>(at), length);
            return false;
        }
        const uint8_t* e = data + at;
        SnapshotEntry entry{};
        entry.callID = plat::LoadLE32(e);
        memcpy(entry.deviceID, e + kEntryDeviceID, 63);  // at most 63 characters kept
        entry.deviceID[63] = '\0';
        entry.deviceIDType = static_cast<int32_t>(plat::LoadLE32(e + kEntryDeviceIDType));
        const int32_t states = static_cast<int32_t>(plat::LoadLE32(e + kEntryStateCount));
        const uint32_t statesAt = plat::LoadLE32(e + kEntryStateOffset);
        entry.status = static_cast<int32_t>(plat::LoadLE32(e + kEntryStatus));
        entry.state = -1;
        if (states < 0 ||
            (states > 0 && static_cast<uint64_t>(statesAt) + 4ull * static_cast<uint64_t>(states) >
                               length)) {
            EMSTraceMessage("VerifySnapshot(Device %s): entry %u: %d states at offset %u lie "
                            "outside the %u bytes of snapshot data, not verified",
                            deviceID, i, states, statesAt, length);
            return false;
        }
        if (states > 0) entry.state = static_cast<int32_t>(plat::LoadLE32(data + statesAt));
        out.push_back(entry);
    }
    return true;
}

}  // namespace

// ---- call snapshot ----

void Call::SnapshotCallConfMsg(BaseMSG& msg) {
    msg.SetUSHORT(Id(E::CtiCallType), m_CallType);
    const size_t clients = std::min<size_t>(m_CTIClientSignatures.size(), kMaxCTIClients);
    msg.SetUSHORT(Id(E::NumCTIClients), static_cast<uint16_t>(clients));
    const int parties = std::min(m_ConnectionList.Count(), kMaxParties);
    msg.SetUSHORT(Id(E::NumCallDevices), static_cast<uint16_t>(parties));
    std::vector<NameValueStruct> ecc;
    int scalars = 0, arrays = 0;
    (void)GetECCData(ecc, scalars, arrays);
    msg.SetUSHORT(Id(E::NumNamedVariables), static_cast<uint16_t>(scalars));
    msg.SetUSHORT(Id(E::NumNamedArrays), static_cast<uint16_t>(arrays));
    msg.SetUSHORT(Id(E::CalledPartyDisposition), m_CalledPartyDisposition);
    msg.SetUINT(Id(E::CallTypeID), static_cast<uint32_t>(m_CallTypeID));
    if (!m_ANI.empty()) msg.SetSTRINGMax(Id(E::ANIField), m_ANI);
    const size_t uui = strnlen(m_UserToUser.data(), m_UserToUser.size());
    if (uui > 0)
        msg.SetUNSPEC(Id(E::UserToUserField), reinterpret_cast<const uint8_t*>(m_UserToUser.data()),
                      static_cast<int>(uui));
    if (!m_DNIS.empty()) msg.SetSTRINGMax(Id(E::DNISField), m_DNIS);
    if (!m_DialedNumber.empty()) msg.SetSTRINGMax(Id(E::DialedNumberField), m_DialedNumber);
    if (!m_CED.empty()) msg.SetSTRINGMax(Id(E::CEDField), m_CED);
    if (m_RouterCallKeyDay != 0 || m_RouterCallKeyCallID != 0) {
        msg.SetUINT(Id(E::RouterCallKeyDay), m_RouterCallKeyDay);
        msg.SetUINT(Id(E::RouterCallKeyCallID), m_RouterCallKeyCallID);
    }
    for (int i = 0; i < 10; ++i)
        if (!m_CallVariable[i].empty())
            msg.SetSTRINGMax(Id(E::CallVariable1) + static_cast<uint32_t>(i), m_CallVariable[i]);
    if (!m_CallWrapupData.empty()) msg.SetSTRINGMax(Id(E::CallWrapupData), m_CallWrapupData);
    if (!ecc.empty()) {
        const int status = msg.SetECCList(ecc);
        if (status != 0) {
            EMSTraceMessage(
                "SnapshotCallConfMsg: Error setting ECC variables with error %s.  ECC variables "
                "removed from message.",
                StatusCodeName(status));
            msg.ClearECC();
            if (status == E_CTI_TOO_MUCH_DATA)
                Clients().ReportECCTooMuchData("SnapshotCallConfMsg", m_PeripheralID, m_CallID);
        }
    }
    for (size_t i = 0; i < clients; ++i) {
        msg.SetSTRINGMax(Id(E::CTIClientSignature), m_CTIClientSignatures[i],
                         static_cast<uint32_t>(i));
        msg.SetUINT(Id(E::CTIClientTimestamp), GetCTIClientTimestamp(i), static_cast<uint32_t>(i));
    }
    ServerLockGuard guard(ServerLock());
    uint32_t i = 0;
    for (CTICSTAConnection* c = FirstConnection(); c != nullptr && static_cast<int>(i) < parties;
         c = NextConnection(c), ++i) {
        msg.SetUINT(Id(E::CallConnectionCallID), m_CallID, i);
        msg.SetUSHORT(Id(E::CallConnectionDeviceIDType), static_cast<uint16_t>(c->m_OPCDeviceIDType), i);
        msg.SetSTRINGMax(Id(E::CallConnectionDeviceID), c->m_OPCDeviceID, i);
        msg.SetUSHORT(Id(E::CallDeviceType),
                      c->m_Device != nullptr ? static_cast<uint16_t>(c->m_Device->m_DeviceType)
                                             : 0xFFFF,
                      i);
        msg.SetSTRINGMax(Id(E::CallDeviceID), c->m_Device != nullptr ? c->m_Device->m_DeviceID : "",
                         i);
        msg.SetUSHORT(Id(E::CallDeviceConnState), static_cast<uint16_t>(c->m_LocalConnectionState),
                      i);
    }
}

// ---- device snapshot ----

bool CTICSTADevice::VerifySnapshot(uint32_t peripheralID, int32_t count, uint32_t entriesOffset,
                                   const uint8_t* data, uint32_t length, bool fix,
                                   bool createCalls) {
    // Freeing the last connection of an untyped device deletes it: keep what the traces need.
    const std::string self = m_DeviceID;
    const char* device = self.c_str();
    const uint32_t selfPeripheralID = m_PeripheralID;
    const int32_t selfType = m_DeviceType;
    bool gone = false;
    std::vector<SnapshotEntry> entries;
    if (!ReadEntries(device, count, entriesOffset, data, length, entries)) return false;
    const bool verbose = (EMSGetTraceMask() & tracebit::TR_PROC_6) != 0;
    int peripheralType;
    {
        ServerLockGuard guard(ServerLock());
        peripheralType = Server().GetPeripheralType(static_cast<int32_t>(peripheralID));
    }
    int verified = 0;
    for (const SnapshotEntry& e : entries) {
        const int32_t callID = static_cast<int32_t>(e.callID);
        const char letter = TypeLetter(e.deviceIDType);
        CTICSTAConnection* tracked = nullptr;
        {
            ServerLockGuard guard(ServerLock());
            for (auto* c = static_cast<CTICSTAConnection*>(m_ConnectionList.First()); c != nullptr;
                 c = static_cast<CTICSTAConnection*>(m_ConnectionList.Next(c)))
                if (c->m_Call != nullptr && c->m_Call->m_CallID == e.callID && IsLive(c) &&
                    SameOPCID(c, e.deviceIDType, e.deviceID)) {
                    tracked = c;
                    break;
                }
            if (tracked != nullptr) {
                if (tracked->m_Call->m_CallType == kCallTypeSupervisorMonitor &&
                    tracked->m_SilentMonitorStatus != e.status)
                    tracked->m_SilentMonitorStatus = e.status;
                if (tracked->m_LocalConnectionState == e.state) {
                    ++verified;
                    if (verbose)
                        EMSTraceMessage("VerifySnapshot(Device %s): %s -> %d.%s(%c) %s OK", device,
                                        CSTALocalConnectionStateText(e.state), callID, e.deviceID,
                                        letter, SilentMonitorText(tracked->m_SilentMonitorStatus));
                } else {
                    EMSTraceMessage(
                        "VerifySnapshot(Device %s): %s -> %d.%s(%c) %s vs. PIM/OPC STATE %s %s",
                        device, CSTALocalConnectionStateText(tracked->m_LocalConnectionState),
                        callID, e.deviceID, letter,
                        SilentMonitorText(tracked->m_SilentMonitorStatus),
                        CSTALocalConnectionStateText(e.state), SilentMonitorText(e.status));
                }
                continue;
            }
        }
        // Call look-ups take CallLock, which comes before the server lock.
        const std::string lead =
            Format("VerifySnapshot(Device %s): %s -> %d.%s(%c) %s", device,
                   CSTALocalConnectionStateText(e.state), callID, e.deviceID, letter,
                   SilentMonitorText(e.status));
        Call* call = Call::FindCall(peripheralID, e.callID, e.deviceIDType, e.deviceID, 1);
        if (call == nullptr && !createCalls) {
            EMSTraceMessage("%s CALL NOT TRACKED BY PARLO", lead.c_str());
        } else if (call == nullptr) {
            call = Call::Alloc(peripheralID, e.callID, static_cast<uint16_t>(e.deviceIDType),
                               e.deviceID, static_cast<int16_t>(peripheralType), kCallTypeNonACD,
                               0, 0, 0);
            if (e.status != 2) call->SetDestDeviceID(static_cast<uint16_t>(e.deviceIDType), e.deviceID);
            if (Server().IsServerActive()) {
                if (OPCWriter* opc = GetPorts().opc)
                    (void)opc->SendGetCallDataReq(static_cast<int32_t>(peripheralID), e.callID,
                                                  e.deviceIDType, e.deviceID);
                BeginCallEventMSG msg(Server().TraceECCVariables(), Server().TracePeriphVariables());
                call->GetCallContext(msg);
                if (Clients().ValidateMessage("VerifySnapshot", msg))
                    (void)Sessions().WriteMSG(nullptr, static_cast<int32_t>(peripheralID), msg,
                                              DistributeAllEvents);
            }
            // Counted as any reported call is, since its release lowers the count.
            call->MarkReported();
            bool changed = false;
            if (CTICSTAConnection* c = SetConnection(this, call, e.state, 3, e.deviceIDType,
                                                     e.deviceID, "VerifySnapshot", changed))
                c->m_SilentMonitorStatus = e.status;
        } else {
            ServerLockGuard guard(ServerLock());
            CTICSTAConnection* c = call->FindConnectionByDeviceID(e.deviceIDType, e.deviceID, 1, true);
            if (c == nullptr) {
                EMSTraceMessage("%s NO SUCH CONNECTION", lead.c_str());
                bool changed = false;
                if (fix)
                    (void)SetConnection(this, call, e.state, 3, e.deviceIDType, e.deviceID,
                                        "VerifySnapshot", changed);
            } else {
                EMSTraceMessage("%s WAS CONNECTED TO %s", lead.c_str(),
                                c->m_Device != nullptr ? c->m_Device->m_DeviceID.c_str()
                                                       : "<unknown>");
                if (fix) c->SetDevice(this);
            }
        }
    }
    // 3. Tracked connections OPC did not report.
    bool failed = false;
    {
        ServerLockGuard guard(ServerLock());
        auto* c = static_cast<CTICSTAConnection*>(m_ConnectionList.First());
        while (c != nullptr) {
            auto* next = static_cast<CTICSTAConnection*>(m_ConnectionList.Next(c));
            Call* call = c->m_Call;
            if (call == nullptr || call->IsPrivate() || !IsLive(c)) {
                c = next;
                continue;
            }
            const SnapshotEntry* reported = nullptr;
            for (const SnapshotEntry& e : entries)
                if (e.callID == call->m_CallID && SameOPCID(c, e.deviceIDType, e.deviceID)) {
                    reported = &e;
                    break;
                }
            if (reported != nullptr) {
                if (call->m_CallType == kCallTypeSupervisorMonitor)
                    c->m_SilentMonitorStatus = reported->status;
            } else {
                failed = true;
                EMSTraceMessage("VerifySnapshot(Device %s): %s -> %d.%s(%c) %s NOT REPORTED BY "
                                "PIM/OPC",
                                device, CSTALocalConnectionStateText(c->m_LocalConnectionState),
                                static_cast<int32_t>(call->m_CallID), c->m_OPCDeviceID,
                                TypeLetter(c->m_OPCDeviceIDType),
                                SilentMonitorText(c->m_SilentMonitorStatus));
                // With createCalls the dotted IDs are OPC's own line parties: kept.
                const bool dotted =
                    (c->m_LocalConnectionState == 2 && strchr(c->m_SubjectDeviceID, '.') != nullptr) ||
                    strchr(c->m_OPCDeviceID, '.') != nullptr;
                if (fix && !(createCalls && dotted)) {
                    // The device may go with its last connection; nothing of it is read after.
                    const bool last = next == nullptr;
                    CTICSTAConnection::Free(c);
                    if (last) {
                        gone = FindCTICSTADevice(selfPeripheralID, selfType, device, false) != this;
                        break;
                    }
                }
            }
            c = next;
        }
    }
    if (verbose)
        EMSTraceMessage("VerifySnapshot(Device %s): %d of %d connections verified.", device,
                        verified, static_cast<int>(entries.size()));
    if ((failed || verbose) && !gone) TraceDeviceState();
    return !failed;
}
