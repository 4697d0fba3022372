#include "parlo/app/apphelpers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ctimsg/basemsg.h"
#include "ctimsg/elementids.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "nuvlib/utf8utils.h"
#include "parlo/app/appport.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/ports.h"
#include "parlo/session/session.h"
#include "platform/clock.h"

namespace {
constexpr int kCallVariables = 10;

uint32_t CallVariableID(int index) { return elementid::CallVariable1 + static_cast<uint32_t>(index); }

// The present text of call variable `index`, or null (absent, or no such field).
const char* CallVariableText(BaseMSG& msg, int index) {
    const uint32_t id = CallVariableID(index);
    if (msg.FindElement(id, 0, false) == nullptr) return nullptr;
    return msg.GetSTRING(id);
}

// The converted text, or the client's own when the conversion gives nothing.
std::string ConvertedOrReceived(const char* text) {
    std::string converted = UTF8UtilsConvertUTF82String(text);
    return converted.empty() ? std::string(text) : converted;
}

bool IsMakeCallRequest(BaseMSG& msg) { return msg.GetMsgType() == MAKE_CALL_REQ; }

void FillBuffers(BaseMSG& msg, char (&out)[10][41], bool utf8) {
    const bool makeCall = IsMakeCallRequest(msg);
    for (int i = 0; i < kCallVariables; ++i) {
        const char* text = CallVariableText(msg, i);
        std::string value;
        if (text == nullptr)
            value = makeCall ? "" : kAbsentCallVariable;
        else
            value = utf8 ? ConvertedOrReceived(text) : std::string(text);
        const size_t n = std::min<size_t>(value.size(), 40);
        std::memcpy(out[i], value.data(), n);
        out[i][n] = '\0';
        out[i][40] = '\0';
    }
}

bool IsPlainDevice(const CSTAExtendedDeviceID& device) {
    return device.deviceIDStatus == 0 && (device.deviceIDType == 0 || device.deviceIDType == 78);
}
}  // namespace

void AppendConnectionIDText(std::string& text, int32_t callID, int32_t type,
                            const char* deviceID) {
    char buffer[128];
    (void)BoundedSprintf(buffer, sizeof buffer, "%d.", callID);
    text += buffer;
    if (type == -1) return;
    text += deviceID != nullptr ? deviceID : "";
    if (type == 0) {
        text += "(s)";
    } else if (type == 1) {
        text += "(d)";
    } else {
        (void)BoundedSprintf(buffer, sizeof buffer, "(*** INVALID IDTYPE %d ***)", type);
        text += buffer;
    }
}

uint64_t FileTimeNow() { return plat::FileTimeNow(); }

uint64_t GetFileTimeNow(uint64_t& out) {
    out = FileTimeNow();
    return out;
}

int BoundedVsprintf(char* buffer, size_t size, size_t count, const char* format, va_list args) {
    if (buffer == nullptr || size == 0) return -1;
    buffer[0] = '\0';
    if (count == 0) return 0;
    const size_t m = std::min(count, size - 1);
    const int produced = std::vsnprintf(buffer, m + 1, format, args);
    buffer[m] = '\0';
    if (produced < 0 || static_cast<size_t>(produced) > m) return -1;
    return produced;
}

char* BoundedStrcat(char (&buffer)[65], const char* text) {
    const size_t length = strnlen(buffer, 64);
    buffer[length] = '\0';  // a buffer without terminator is cut to its 64 characters
    if (text == nullptr || length >= 64) return buffer;
    const size_t add = strnlen(text, 64 - length);
    std::memcpy(buffer + length, text, add);
    buffer[length + add] = '\0';
    return buffer;
}

void BoundedCopy(char (&buffer)[132], const char* text, size_t count) {
    buffer[0] = '\0';
    const size_t m = std::min<size_t>(count, 131);
    if (text == nullptr || m < 2) return;
    const size_t n = strnlen(text, m);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

std::string ElementText(BaseMSG& msg, uint32_t element) {
    const char* text = msg.GetSTRING(element);
    return text != nullptr ? text : "";
}

void UpdateMeterSince(int meter, int64_t sinceNs) {
    GetAppServerPort().UpdateMeter(meter, static_cast<int32_t>((plat::MonotonicNs() - sinceNs) / 1000000));
}

bool FindSessionFacts(int32_t sessionID, SessionFacts& out) {
    SessionProtocol* master = SessionProtocol::Master();
    if (master == nullptr) return false;
    LockGuard<CTILockObject> hold(master->SessionLock(), "FindSessionFacts");
    const SessionProtocol* session = SessionProtocol::FindSession(static_cast<uint32_t>(sessionID));
    if (session == nullptr) return false;
    out.secure = session->IsSecure();
    out.uniqueInstanceID = session->GetUniqueInstanceID();
    return true;
}

bool IsDefinityPeripheralType(int16_t type) { return type == 12 || type == 1; }

void GetCallVariables(BaseMSG& msg, std::string (&out)[10]) {
    for (int i = 0; i < kCallVariables; ++i) {
        const char* text = CallVariableText(msg, i);
        out[i] = text != nullptr ? text : kAbsentCallVariable;
    }
}

void GetCallVariablesUTF8(BaseMSG& msg, std::string (&out)[10]) {
    for (int i = 0; i < kCallVariables; ++i) {
        const char* text = CallVariableText(msg, i);
        out[i] = text != nullptr ? ConvertedOrReceived(text) : kAbsentCallVariable;
    }
}

void GetRequestCallVariables(BaseMSG& msg, char (&out)[10][41]) { FillBuffers(msg, out, false); }

void GetRequestCallVariablesUTF8(BaseMSG& msg, char (&out)[10][41]) {
    FillBuffers(msg, out, true);
}

void UpdateAgentLineForDevice(int32_t peripheralID, const CSTAExtendedDeviceID& device,
                              int32_t callID, int32_t deviceIDType, const char* deviceID,
                              int32_t lineIndex, int32_t lineType) {
    if (!IsPlainDevice(device)) return;
    char id[64];
    std::memcpy(id, device.deviceID, 63);
    id[63] = '\0';
    if (Agent* agent = Agent::FindAgentByExtension(peripheralID, id))
        agent->AddCallToLine(callID, deviceIDType, deviceID, lineIndex, lineType);
}

namespace {
// The party's extension (the instrument part on the types whose IDs are composite) and, for a
// plain device with an ID, the agent there: the call's source or destination side.
void SetCallPartyAgent(int32_t peripheralID, const CSTAExtendedDeviceID& device, std::string& agentID,
                       std::string& partyExtension) {
    const int type = model::Server().GetPeripheralType(peripheralID);
    char id[64];
    std::memcpy(id, device.deviceID, 63);
    id[63] = '\0';
    char extension[64] = {};
    if (type == 30 || type == 51 || type == 54) {
        // The instrument part, before the first dot.
        (void)BaseMSG::DisassembleDeviceID(id, extension, nullptr, nullptr);
        if (extension[0] == '\0') {
            const char* dot = std::strchr(id, '.');
            const size_t n = dot != nullptr ? static_cast<size_t>(dot - id) : std::strlen(id);
            std::memcpy(extension, id, n);
            extension[n] = '\0';
        }
    } else {
        std::memcpy(extension, id, sizeof extension);
    }
    if (!IsPlainDevice(device) || id[0] == '\0') return;
    if (Agent* agent = Agent::FindAgentByExtension(peripheralID, extension)) agentID = agent->GetAgentID();
    partyExtension = extension;
}
}  // namespace

void SetCallSourceAgent(int32_t peripheralID, const CSTAExtendedDeviceID& device, Call* call) {
    if (call == nullptr) return;
    SetCallPartyAgent(peripheralID, device, call->m_SrcAgentID, call->m_SrcExtension);
}

void SetCallDestAgent(int32_t peripheralID, const CSTAExtendedDeviceID& device, Call* call) {
    if (call == nullptr) return;
    SetCallPartyAgent(peripheralID, device, call->m_DestAgentID, call->m_DestExtension);
}

int HandleCallPartyUpdateIndForNonAcdDevices(int32_t callID, const char* deviceID,
                                             int32_t deviceIDType, int32_t localConnectionState,
                                             int32_t deviceType, Call* call, int& changed) {
    if (deviceType != 10 && deviceType != 11) return 0;
    if (call == nullptr || deviceID == nullptr) return 0;
    char id[64];
    const size_t n = strnlen(deviceID, 63);
    std::memcpy(id, deviceID, n);
    id[n] = '\0';
    char extension[16] = {};
    (void)BaseMSG::DisassembleDeviceID(id, nullptr, extension, nullptr);
    CTICSTAConnection* connection = call->FindConnectionByDeviceID(deviceIDType, extension, 1, true);
    if (connection == nullptr) {
        EMSTraceMessage("CTIApplication::HandleCallPartyUpdateIndForNonAcdDevices - no connections "
                        "found for call %ld with extension %s",
                        static_cast<long>(callID), extension);
        changed = 1;
        return 0;
    }
    connection->SetOPCDevice(connection->m_ConnectionType, deviceIDType, id);
    if (connection->m_LocalConnectionState != localConnectionState && changed == 0) changed = 1;
    connection->SetState(localConnectionState, "CallPtyUpdt:state");
    return 1;
}
