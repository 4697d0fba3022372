// Snapshots of a call and of a device, and the device query: the requests (answered here
// when the model can, else sent to OPC) and OPC's confirmations, merged with the model.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/failurecodes.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"
#include "nuvlib/ems.h"
#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/cstarequests.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/callhelpers.h"
#include "parlo/app/appport.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/opcwriters.h"
#include "platform/byteorder.h"

namespace {

using plat::LoadLE16;
using plat::LoadLE32;

// One 84-byte entry of OPC's device snapshot: the connection (72 bytes), the count and
// offset of its local-connection-state list, the silent-monitor status.
constexpr uint32_t kDeviceEntrySize = 84;
constexpr uint32_t kEntryDeviceID = 4, kEntryDeviceIDType = 68, kEntryStateCount = 72,
                   kEntryStateOffset = 76, kEntryStatus = 80;
constexpr uint32_t kMaxSnapshotDeviceCalls = 16;
constexpr uint32_t kMaxEnabledServices = 32;
constexpr uint32_t kMaxQueryLines = 10;  // the private data holds ten handles and ten types
constexpr uint32_t kFirstBadLineHandle = 11;
constexpr uint32_t kFirstBadLineType = 12;
constexpr uint16_t kLineTypeUnknown = 3;
constexpr int16_t kPeripheralTypeBrantle = 30, kPeripheralTypeBrantleMulti = 51;

// A text field of at most `width` bytes (no NUL when full).
std::string FieldText(const uint8_t* field, size_t width) {
    const char* text = reinterpret_cast<const char*>(field);
    return std::string(text, strnlen(text, width));
}

// The MultilineAgent flag of the server's entry of the peripheral; 0 when it has none.
bool PeripheralFlag(uint32_t peripheralID) {
    for (const AppServerPort::Peripheral& p : GetAppServerPort().GetPeripherals())
        if (static_cast<uint32_t>(p.peripheralID) == peripheralID) return p.multiline != 0;
    return false;
}

// The snapshot-device confirmation's entries as they may be used: a copy of its raw data
// (the length the unpacker checked), at most 16 entries that lie wholly inside it.
struct DeviceEntries {
    uint8_t data[kRawPrivateDataRoom] = {};
    uint32_t length = 0;
    uint32_t offset = 0;
    uint32_t count = 0;

    explicit DeviceEntries(const TPCSTAConfMsg& conf) {
        length = std::min<uint32_t>(PrivateDataLength(conf.RawBlock()), kRawPrivateDataRoom);
        std::memcpy(data, PrivateDataPointer(conf.RawBlock(), 0), length);
        const int32_t stated = static_cast<int32_t>(LoadLE32(conf.GetSnapshotData()));
        offset = LoadLE32(conf.GetSnapshotData() + 4);
        const uint32_t fits = offset <= length ? (length - offset) / kDeviceEntrySize : 0;
        count = stated > 0 ? std::min({static_cast<uint32_t>(stated), fits, kMaxSnapshotDeviceCalls}) : 0;
    }
    uint8_t* Entry(uint32_t i) { return data + offset + i * kDeviceEntrySize; }
    // The entry's first local connection state, -1 when its list is empty or not inside.
    int32_t State(uint32_t i) {
        const int32_t states = static_cast<int32_t>(LoadLE32(Entry(i) + kEntryStateCount));
        const uint32_t at = LoadLE32(Entry(i) + kEntryStateOffset);
        if (states <= 0 || at > length || length - at < 4) return -1;
        return static_cast<int32_t>(LoadLE32(data + at));
    }
};

// The session's record; none: traced "<name> - sessionID %d not found". The request's line
// "<name> - sessionID %d" goes to the trace under the EMS trace mask's `maskBit` or the
// session's own trace flags `sessionBits`.
ClientCB* FindRequestClient(int32_t sessionID, const char* name, uint32_t maskBit, uint32_t sessionBits) {
    ClientCB* client = ClientCB::Find(sessionID);
    if (client == nullptr)
        EMSTraceMessage("%s - sessionID %d not found", name, static_cast<int>(sessionID));
    else if ((EMSGetTraceMask() & maskBit) != 0 || (client->GetTraceFlags() & sessionBits) != 0)
        EMSTraceMessage("%s - sessionID %d", name, static_cast<int>(sessionID));
    return client;
}

// Stamps the outstanding record and sends the request with its private data (the writer
// releases the record when it cannot); traced under TR_PROC_6 with `prefix`.
template <class Request>
void SendRequest(Request& request, OPCReq* record, int32_t sessionID, uint64_t received,
                 const std::string& prefix) {
    record->ReceiveTime = received;
    record->SendTime = FileTimeNow();
    if (!SendCSTAMessage(nullptr, -1, nullptr, request, request.OPCBlock(), sessionID)) return;
    if (EMSGetTraceMask() & tracebit::TR_PROC_6) request.Trace(prefix.c_str(), 1);
}

}  // namespace

// ---- SNAPSHOT_CALL_REQ ----

void CTIApplication::ProcessSnapshotCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {
    ClientCB* client =
        FindRequestClient(sessionID, "ProcessSnapshotCallRequest", tracebit::TR_PROC_5, ClientCB::kTraceSession);
    if (client == nullptr) return;
    const uint32_t invokeID = msg->GetUINT(elementid::InvokeID);
    const uint32_t peripheralID = msg->GetUINT(elementid::CTIPeripheralID);
    uint32_t callID = msg->GetUINT(elementid::ConnectionCallID);
    uint16_t deviceIDType = msg->GetUSHORT(elementid::ConnectionDeviceIDType);
    const char* named = msg->GetSTRING(elementid::ConnectionDeviceID);
    std::string deviceID = named != nullptr ? named : "";

    int callKnown = 0;
    CTICSTAConnection* connection =
        FindConnection(client, peripheralID, callID, static_cast<int16_t>(deviceIDType),
                       deviceID.c_str(), nullptr, 1, &callKnown);
    if (connection != nullptr && connection->m_Call != nullptr) {
        Call* call = connection->m_Call;
        callID = call->m_CallID;
        deviceIDType = static_cast<uint16_t>(connection->m_OPCDeviceIDType);
        deviceID = connection->m_OPCDeviceID;
        if (IsCallstateTraceOn()) call->TraceCallState();
        if (!call->IsActive()) {
            // The switch no longer reports it: the model's view is the answer.
            SnapshotCallConfMSG conf(SVRTraceON(ECCVariables), SVRTraceON(PeriphVariables));
            conf.SetUINT(elementid::InvokeID, invokeID);
            call->SnapshotCallConfMsg(conf);
            if (ValidateMessage("SnapshotCallConf", conf))
                (void)SessionProtocol::SendResponseMSG(sessionID, conf, received);
            return;
        }
    } else if (callKnown) {
        (void)SendControlFailure(sessionID, invokeID,
                                 failurecode::Of("CF_INVALID_CSTA_CALL_IDENTIFIER"), 0, nullptr);
        TraceRefusal("ProcessSnapshotCallRequest", sessionID, "CF_INVALID_CSTA_CALL_IDENTIFIER");
        return;
    }

    const uint32_t opcInvokeID = GetAppServerPort().GetUniqueID();
    OPCReq* request = OPCReq::Allocate(sessionID, invokeID, opcInvokeID);
    request->PeripheralID = peripheralID;
    request->CallID = callID;
    request->DeviceIDType = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(deviceIDType)));
    request->DeviceID = deviceID;
    TPCSTASnapshotCallMsg snapshot(static_cast<uint16_t>(peripheralID), opcInvokeID, invokeID);
    snapshot.SetSnapshotObject(static_cast<int32_t>(callID), deviceID.c_str(),
                               static_cast<uint32_t>(deviceIDType));
    SendRequest(snapshot, request, sessionID, received, "");
}

// ---- CSTA snapshot-call confirmation ----

void CTIApplication::ProcessSnapshotCallConf(ClientCB* client, TPCSTASnapshotCallConfEventMsg* conf,
                                             OPCReq* request) {
    Call* call = Call::FindCall(request->PeripheralID, request->CallID,
                                static_cast<int32_t>(request->DeviceIDType), request->DeviceID.c_str(), 1);
    if (call == nullptr)
        call = Call::FindCall(request->PeripheralID, request->CallID,
                              static_cast<int32_t>(request->DeviceIDType), request->DeviceID.c_str(), 3);
    if (call == nullptr) {
        (void)SendControlFailure(client->GetSessionID(), request->ClientInvokeID,
                                 failurecode::Of("CF_INVALID_CSTA_CALL_IDENTIFIER"), 1, nullptr);
        return;
    }
    SnapshotCallConfMSG out(SVRTraceON(ECCVariables), SVRTraceON(PeriphVariables));
    const uint8_t* pd = conf->PrivateData();
    const ConnectionID coc = ConnectionID::Read(pd + cstaconfpd::kCOC);
    if (coc.callID >= 0) {
        out.SetUINT(elementid::COCConnectionCallID, static_cast<uint32_t>(coc.callID));
        out.SetUSHORT(elementid::COCCallConnectionDeviceIDType, static_cast<uint16_t>(coc.deviceIDType));
        out.SetSTRINGMax(elementid::COCCallConnectionDeviceID, coc.deviceID);
    }
    out.SetUINT(elementid::InvokeID, request->ClientInvokeID);
    const uint32_t callType = conf->PrivateDataWord(cstaconfpd::kCallType);
    if (callType != 0 && callType != call->m_CallType) call->m_CallType = static_cast<uint16_t>(callType);
    call->m_CallTypeID = static_cast<int32_t>(conf->PrivateDataWord(cstaconfpd::kCallTypeID));
    out.SetUSHORT(elementid::RecordingStatus, LoadLE16(pd + cstaconfpd::kRecordingStatus));
    const std::string guid = FieldText(pd + cstaconfpd::kProtocolReferenceGUID,
                                       cstaconfpd::kTessalyConfigId - cstaconfpd::kProtocolReferenceGUID);
    if (!guid.empty()) out.SetSTRINGMax(elementid::ProtocolReferenceGUID, guid);
    if (MDSIO::IsServerActive()) call->MarkReported();
    const std::string configID = FieldText(pd + cstaconfpd::kTessalyConfigId,
                                           cstaconfpd::kNumOfEnabledServices - cstaconfpd::kTessalyConfigId);
    if (!configID.empty()) out.SetSTRINGMax(elementid::TessalyConfigId, configID);
    const uint32_t services = conf->PrivateDataWord(cstaconfpd::kNumOfEnabledServices);
    out.SetUSHORT(elementid::NumOfEnabledServices, static_cast<uint16_t>(services));
    // The private data holds 32 service codes; the message has room for as many.
    for (uint32_t i = 0; i < services && i < kMaxEnabledServices; ++i)
        out.SetUSHORT(elementid::FltEnabledServices, LoadLE16(pd + cstaconfpd::kEnabledServices + 2 * i), i);
    call->SnapshotCallConfMsg(out);
    if (ValidateMessage("ProcessSnapshotCallConf", out))
        (void)SessionProtocol::SendResponseMSG(client->GetSessionID(), out, request->ReceiveTime);
}

// ---- SNAPSHOT_DEVICE_REQ ----

void CTIApplication::ProcessSnapshotDeviceRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {
    ClientCB* client = FindRequestClient(sessionID, "ProcessSnapshotDeviceRequest", tracebit::TR_PROC_4, 0);
    if (client == nullptr) return;
    const uint32_t invokeID = msg->GetUINT(elementid::InvokeID);
    const uint32_t peripheralID = msg->GetUINT(elementid::CTIPeripheralID);
    const std::string instrument = ElementText(*msg, elementid::AgentInstrument);
    // A session that does not see the whole peripheral asks only about its own instrument.
    if ((client->GetServiceMask() & (servicemask::ALL_EVENTS | servicemask::PERIPHERAL_MONITOR)) == 0 &&
        instrument != client->GetAgentInstrument()) {
        (void)SendControlFailure(sessionID, invokeID,
                                 failurecode::Of("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"), 0, nullptr);
        TraceRefusal("ProcessSnapshotDeviceRequest", sessionID, "CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE");
        return;
    }
    const uint32_t opcInvokeID = GetAppServerPort().GetUniqueID();
    OPCReq* request = OPCReq::Allocate(sessionID, invokeID, opcInvokeID);
    request->PeripheralID = peripheralID;
    request->Instrument = instrument;
    TPCSTASnapshotDeviceMsg snapshot(static_cast<uint16_t>(peripheralID), opcInvokeID, invokeID);
    snapshot.SetSnapshotObject(instrument.c_str());
    SendRequest(snapshot, request, sessionID, received, MakeSessionTraceTag("ProcessSnapshotDeviceRequest", sessionID));
}

// ---- CSTA snapshot-device confirmation ----

void CTIApplication::ProcessSnapshotDeviceConf(ClientCB* client, TPCSTASnapshotDeviceConfEventMsg* conf,
                                               OPCReq* request) {
    SnapshotDeviceConfMSG out;
    out.SetUINT(elementid::InvokeID, request->ClientInvokeID);
    const int16_t peripheralType = GetPeripheralType(request->PeripheralID);
    const bool brantle = peripheralType == kPeripheralTypeBrantle || peripheralType == kPeripheralTypeBrantleMulti;
    const bool flagged = PeripheralFlag(request->PeripheralID);
    const bool hideDotted = ((client->GetServiceMask() & servicemask::HIDE_DOTTED_DEVICES) != 0 ||
                             client->GetVersion() < 14) &&
                            flagged && brantle;
    DeviceEntries entries(*conf);
    if (!brantle)
        for (uint32_t i = 0; i < entries.count; ++i) plat::StoreLE32(entries.Entry(i) + kEntryStatus, 0);

    CTICSTADevice* device = FindCTICSTADevice(request->PeripheralID, 0, request->Instrument.c_str(), false);
    if (device != nullptr) {
        const bool fix = m_Registry != nullptr && m_Registry->Dynamic(CTIRegistry::VerifySnapshot) != 0;
        (void)device->VerifySnapshot(request->PeripheralID, static_cast<int32_t>(entries.count),
                                     entries.offset, entries.data, entries.length, fix, flagged);
        // The check may have freed the device with its last connection.
        device = FindCTICSTADevice(request->PeripheralID, 0, request->Instrument.c_str(), false);
        if (device != nullptr)
            device->SetSnapshotDeviceCalls(out, hideDotted);
        else
            out.SetUSHORT(elementid::NumCalls, 0);
    } else {
        uint32_t sent = 0;
        for (uint32_t i = 0; i < entries.count; ++i) {
            const uint8_t* e = entries.Entry(i);
            const std::string deviceID = FieldText(e + kEntryDeviceID, 64);
            if (hideDotted && deviceID.find('.') != std::string::npos) continue;
            out.SetUINT(elementid::CallConnectionCallID, LoadLE32(e), sent);
            out.SetUSHORT(elementid::CallConnectionDeviceIDType,
                          static_cast<uint16_t>(LoadLE32(e + kEntryDeviceIDType)), sent);
            out.SetSTRINGMax(elementid::CallConnectionDeviceID, deviceID, sent);
            out.SetUSHORT(elementid::CallState, static_cast<uint16_t>(entries.State(i)), sent);
            out.SetUSHORT(elementid::SilentMonitorStatus, static_cast<uint16_t>(LoadLE32(e + kEntryStatus)), sent);
            ++sent;
        }
        out.SetUSHORT(elementid::NumCalls, static_cast<uint16_t>(sent));
    }
    if (ValidateMessage("ProcessSnapshotDeviceConf", out))
        (void)SessionProtocol::SendResponseMSG(client->GetSessionID(), out, request->ReceiveTime);
}

// ---- QUERY_DEVICE_INFO_REQ ----

void CTIApplication::ProcessQueryDeviceInfoRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {
    if (FindRequestClient(sessionID, "ProcessQueryDeviceInfoRequest", tracebit::TR_PROC_4, 0) == nullptr) return;
    const uint32_t invokeID = msg->GetUINT(elementid::InvokeID);
    const uint32_t peripheralID = msg->GetUINT(elementid::CTIPeripheralID);
    const uint16_t dataType = msg->GetUSHORT(elementid::QueryDeviceDataType);
    const std::string instrument = ElementText(*msg, elementid::AgentInstrument);
    const uint32_t opcInvokeID = GetAppServerPort().GetUniqueID();
    OPCReq* request = OPCReq::Allocate(sessionID, invokeID, opcInvokeID);
    TPCSTAQueryDeviceInfoMsg query(static_cast<uint16_t>(peripheralID), opcInvokeID, invokeID);
    query.SetDevice(instrument.c_str());
    query.SetPDDataRequest(dataType);
    SendRequest(query, request, sessionID, received, MakeSessionTraceTag("ProcessQueryDeviceInfoRequest", sessionID));
}

// ---- CSTA query-device-info confirmation ----

void CTIApplication::ProcessQueryDeviceInfoConf(ClientCB* client, TPCSTAQueryDeviceInfoConfEventMsg* conf,
                                                OPCReq* request) {
    QueryDeviceInfoConfMSG out;
    out.SetUINT(elementid::InvokeID, request->ClientInvokeID);
    out.SetUSHORT(elementid::PeripheralType, static_cast<uint16_t>(ConvertPeripheralType(
                      static_cast<int32_t>(conf->PrivateDataWord(cstaconfpd::kPeripheralType)))));
    out.SetUSHORT(elementid::TypeOfDevice, static_cast<uint16_t>(conf->GetDeviceType()));
    out.SetUSHORT(elementid::ClassOfDevice, conf->GetDeviceClass());
    const uint32_t lines = std::min(conf->PrivateDataWord(cstaconfpd::kNumLines), kMaxQueryLines);
    out.SetUSHORT(elementid::NumLines, static_cast<uint16_t>(lines));
    out.SetUSHORT(elementid::QueryDeviceDataType, LoadLE16(conf->PrivateData() + cstaconfpd::kDataType));
    const auto word16 = [&](uint32_t offset) { return static_cast<uint16_t>(conf->PrivateDataWord(offset)); };
    out.SetUSHORT(elementid::MaxActiveCalls, word16(cstaconfpd::kMaxActiveCalls));
    out.SetUSHORT(elementid::MaxHeldCalls, word16(cstaconfpd::kMaxHeldCalls));
    out.SetUSHORT(elementid::MaxDevicesInConference, word16(cstaconfpd::kMaxDevicesInConference));
    out.SetUINT(elementid::AgentStateMask, conf->PrivateDataWord(cstaconfpd::kMakeCallSetup));
    out.SetUINT(elementid::TransferConferenceSetup, conf->PrivateDataWord(cstaconfpd::kTransferConferenceSetup));
    out.SetUINT(elementid::CallMsgMask, conf->PrivateDataWord(cstaconfpd::kCallEventsSupported));
    out.SetUINT(elementid::CallControlSupported, conf->PrivateDataWord(cstaconfpd::kCallControlSupported));
    out.SetUINT(elementid::OtherFeaturesSupported, conf->PrivateDataWord(cstaconfpd::kOtherFeaturesSupported));
    for (uint32_t i = 0; i < lines; ++i) {
        uint16_t handle = static_cast<uint16_t>(conf->PrivateDataWord(cstaconfpd::kLineHandles + 4 * i));
        if (handle >= kFirstBadLineHandle) {
            EMSTraceMessage("*** ProcessQueryDeviceInfoConf: Invalid LineHandle %d for line[%d] ***",
                            static_cast<int>(handle), static_cast<int>(i));
            handle = 0xFFFF;
        }
        uint16_t type = static_cast<uint16_t>(conf->PrivateDataWord(cstaconfpd::kLineTypes + 4 * i));
        if (type >= kFirstBadLineType) {
            EMSTraceMessage("*** ProcessQueryDeviceInfoConf: Invalid LineType %d for line[%d] ***",
                            static_cast<int>(type), static_cast<int>(i));
            type = kLineTypeUnknown;
        }
        out.SetUSHORT(elementid::FltLineHandle, handle, i);
        out.SetUSHORT(elementid::FltLineType, type, i);
    }
    // The data structure ends where OPC's private data ends, and within the typed block.
    const uint32_t received = PrivateDataLength(conf->OPCBlock());
    const uint32_t room = received > cstaconfpd::kData
                              ? std::min(received, cstaconfpd::kDeviceInfoSize) - cstaconfpd::kData
                              : 0;
    const uint32_t dataLength = std::min(conf->PrivateDataWord(cstaconfpd::kDataLength), room);
    if (dataLength > 0)
        out.SetDataStructure(elementid::QueryDeviceData, conf->PrivateData() + cstaconfpd::kData,
                             static_cast<int>(dataLength));
    if (ValidateMessage("ProcessQueryDeviceInfoConf", out))
        (void)SessionProtocol::SendResponseMSG(client->GetSessionID(), out, request->ReceiveTime);
}
