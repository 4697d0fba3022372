#include "parlo/opclink/mdsio.h"

#include <cstdlib>
#include <cstring>

#include "nuvlib/ems.h"
#include "nuvlib/mds/mds.h"
#include "parlo/common/importmetrics.h"
#include "parlo/common/meterids.h"
#include "parlo/common/svrtrace.h"
#include "opcmsg/opctypes.h"
#include "parlo/opclink/opclinkport.h"
#include "platform/byteorder.h"

namespace {

// Body bytes (behind the ServerNumber word) that each handled type reads at least.
size_t MinimumBody(uint8_t type) {
    switch (type) {
        case CTI_SET_IDLE_REQ:
        case CTI_SET_ACTIVE_REQ: return 20;  // five words; the text is read within the payload
        case CTI_TIME_NOTIFICATION_EVENT: return 4;
        case CTI_MAINTENANCE_MODE_REQUEST: return 8;
        case CTI_MAINTENANCE_MODE_IN_PROGRESS: return 12;
        default: return 0;
    }
}

}  // namespace

// ---- Input ------------------------------------------------------------------------------

void MDSIO::CTIInputManager(const char* processName, const char* registryBase, int side,
                            int mdsConnections) {
    SetSide(side);
    SetMDSConnections(mdsConnections);
    if (EMSGetTraceMask() & tracebit::TR_PROC_1) {
        EMSTraceMessage("OPCManager about to call MDSRegisterClient");
        EMSTraceMessage("RegisterMDSThread: Calling MDSRegisterClient ...");
    }
    MDSClientParams params{1, processName, static_cast<uint32_t>(side), registryBase,
                           MDSStatusHandler, MDSStatusHandler};
    uint8_t handle = 0xFF;
    if (MDSRegisterClient(&params, &handle) != 0)
        EMSFailMessageLastError("OPCManager: MDSRegisterClient failed.");
    s_ClientHandle.store(handle);
    if (EMSGetTraceMask() & tracebit::TR_PROC_1)
        EMSTraceMessage("OPCManager: %s is registered with MDS; handle = %d", processName,
                        static_cast<int>(handle));
    const uint8_t opc = MDSGetHandle("opc");
    s_OPCHandle.store(opc);
    if (EMSGetTraceMask() & tracebit::TR_PROC_1)
        EMSTraceMessage("OPCManager: %s MDS Handle = 0x%x", "opc", static_cast<unsigned>(opc));
    if (MDSSetMessageHandler(kOPCMessageClass, MDSMessageHandler) == 0)
        EMSFailMessageLastError("Error from MDSSetMessageHandler.");
    MDSStartClient();
    EMSFailMessage("OPCManger: MDSStartClient returned unexpectedly");
}

int MDSIO::MDSMessageHandler(const uint8_t* header, uint8_t* payload) {
    const MDSHeader h = MDSDecodeHeader(header);
    ProcessOPCMessage(h.messageType, payload, payload ? h.length : 0);
    return 1;
}

void MDSIO::ProcessOPCMessage(uint8_t type, const uint8_t* payload, size_t length) {
    OPCLinkServer& server = GetOPCLinkServer();
    server.UpdateMeter(meter::OPCMessages, type);
    server.UpdateMeter(meter::OPCBytesReceived, static_cast<int32_t>(length + 16));
    if (EMSGetTraceMask() & tracebit::TR_PROC_1)
        EMSTraceMessage("MDSIO::ProcessOPCMessage: received msgtype %d (%s) ...", type,
                        OPCMessageTypeName(type));
    // Every payload starts with the ServerNumber word; the handled types read a body behind.
    const size_t need = 4 + MinimumBody(type);
    if (payload == nullptr || length < need) {
        EMSTraceMessage("MDSIO::ProcessOPCMessage: msgtype %d (%s) dropped: payload of %d bytes, "
                        "%d needed.",
                        type, OPCMessageTypeName(type), static_cast<int>(length),
                        static_cast<int>(need));
        return;
    }
    const uint32_t word = plat::LoadLE32(payload);
    const uint8_t* body = payload + 4;
    const size_t bodyLength = length - 4;
    switch (type) {
        case CTI_SET_IDLE_REQ: server.ProcessCTISetIdleReq(body, bodyLength, word); break;
        case CTI_SET_ACTIVE_REQ: server.ProcessCTISetActiveReq(body, bodyLength); break;
        case CTI_TIME_NOTIFICATION_EVENT:
            server.SetPGTime(plat::LoadLE32(body));
            if (IsServerActive())
                server.QueueOPCMessage(type, static_cast<int>(length), payload);
            break;
        case CTI_HEART_BEAT_EVENT:
            if (IsServerActive()) CountOPCHeartBeat();
            break;
        case CTI_MAINTENANCE_MODE_REQUEST:
            server.ProcessMaintenanceModeRequest(body, bodyLength, word);
            break;
        case CTI_MAINTENANCE_MODE_IN_PROGRESS:
            server.ProcessMaintenanceModeInProgress(body, bodyLength);
            break;
        default: server.QueueOPCMessage(type, static_cast<int>(length), payload); break;
    }
}

int MDSIO::MDSStatusHandler(const uint8_t* header, uint8_t*) {
    const MDSHeader h = MDSDecodeHeader(header);
    switch (h.messageType) {
        case MDS_STATUS_IN_SERVICE: EMSEvent0I0S(0x612E0005, 0, 0); break;
        case MDS_STATUS_OUT_OF_SERVICE:
            EMSEvent0I0S(0x612E0006, 0, 0);
            GetOPCLinkServer().ReportPGStatusText("MDS out of service");
            ImportMetrics::Instance().reset();
            EMSExitProcess(EMS_EXIT_FORCED);
        default:
            EMSEvent2I0S(0xA12E8003, 0, 0, h.messageClass, h.messageType);
            break;
    }
    return 1;
}

void MDSIO::CheckOPCHeartBeat() {
    const uint32_t count = s_HeartBeatCount.load();
    if (count != s_LastHeartBeatCount.load()) {
        s_LastHeartBeatCount.store(count);
        s_MissedChecks.store(0);
        return;
    }
    if (s_MissedChecks.fetch_add(1) + 1 > 3) EMSFailMessage("An OPC HeartBeat Timeout has occurred.");
}

void MDSIO::ResetForTest() {
    s_HeartBeatCount.store(0);
    s_LastHeartBeatCount.store(0);
    s_MissedChecks.store(0);
    s_ServerNumber.store(kNoServerNumber);
    s_ServerActive.store(0);
}

// ---- Output -----------------------------------------------------------------------------

void MDSIO::SendInput(uint8_t, uint8_t cls, uint8_t type, OPCStorage storage, uint16_t length,
                      uint32_t flag) {
    GetOPCLinkServer().UpdateMeter(meter::OPCMessages, type);
    GetOPCLinkServer().UpdateMeter(meter::OPCBytesSent, static_cast<int32_t>(length) + 16);
    SendToOPCLinkOutput(cls, type, std::move(storage), length, flag);
}

MDSMsgBuffer::MDSMsgBuffer() {
    if (MDSIO::GetMDSConnections())
        m_Buffer = OPCStorage(static_cast<uint8_t*>(MDSAllocBuffer(MDSIO::kMaxPayload)),
                              OPCStorageFree{true});
    if (m_Buffer == nullptr) {
        m_Buffer = OPCStorage(static_cast<uint8_t*>(std::malloc(MDSIO::kMaxPayload)),
                              OPCStorageFree{false});
        if (m_Buffer == nullptr) NUV_ALLOC_FAILED(static_cast<int>(MDSIO::kMaxPayload));
    }
}

uint8_t* MDSMsgBuffer::Reserve(int64_t n) {
    if (n < 0 || n > m_Room || m_Buffer == nullptr) {
        m_Failed = true;
        return nullptr;
    }
    uint8_t* at = m_Buffer.get() + Length();
    std::memset(at, 0, static_cast<size_t>(n));
    m_Room -= static_cast<int>(n);
    return at;
}

bool MDSMsgBuffer::SendInput(uint8_t destination, uint8_t cls, uint8_t type, uint32_t flag) {
    if (m_Failed || m_Buffer == nullptr) return false;
    const auto length = static_cast<uint16_t>(Length());
    MDSIO::SendInput(destination, cls, type, std::move(m_Buffer), length, flag);
    return true;
}

// ---- Acknowledgements -------------------------------------------------------------------

bool MDSIO::SendAck(uint8_t requestType, uint8_t ackType, uint32_t serverNumber, uint32_t value) {
    EMSEvent1I2S(0x612E0009, 0, 0, static_cast<int32_t>(value), OPCMessageTypeName(ackType),
                 OPCMessageTypeName(requestType));
    MDSMsgBuffer buffer;
    uint8_t* p = buffer.Reserve(16);
    if (p == nullptr) return false;
    plat::StoreLE32(p, serverNumber);
    plat::StoreLE32(p + 4, static_cast<uint32_t>(GetSide()));
    plat::StoreLE32(p + 8, requestType);
    plat::StoreLE32(p + 12, value);
    return buffer.SendInput(GetOPCHandle(), kOPCMessageClass, ackType, 0);
}

bool MDSIO::SendActivationFailure(const char* reason) {
    const uint32_t value =
        reason != nullptr && std::strcmp(reason, "NO_CLIENT_CONNECTED") == 0 ? 0x7FFFFFFF : 0;
    return SendAck(CTI_SET_ACTIVE_REQ, CTI_ERROR_ACK, GetServerNumber(), value);
}
