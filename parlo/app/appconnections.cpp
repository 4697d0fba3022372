// The connection a client request is about, seen from the requesting session; the console's
// broadcast text; the throttled report of call context that did not fit a message.
#include <cstring>
#include <mutex>

#include "ctimsg/failurecodes.h"
#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/servicemask.h"
#include "nuvlib/ems.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appport.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/ports.h"
#include "parlo/opclink/mdsio.h"
#include "platform/clock.h"

namespace {
constexpr uint32_t kNoCall = 0xFFFFFFFF;
constexpr uint32_t kAgentNotPartyOnCall = failurecode::Of("CF_AGENT_NOT_PARTY_ON_CALL");
constexpr uint32_t kPrivilegeViolation = failurecode::Of("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE");
constexpr uint32_t kInvalidConnection = failurecode::Of("CF_INVALID_CSTA_CONNECTION_IDENTIFIER");
constexpr int16_t kGuessingPeripheralType = 5;     // its calls are taken as known at the agent
constexpr int kAlertingSelector = 4;
constexpr uint32_t kEmsStateTrace = 0x212E000F;
constexpr uint32_t kEmsECCTooMuchData = 0xA12EC00E;
constexpr int64_t kECCReportIntervalNs = 3600000LL * 1000000;
constexpr int32_t kTextMessage = 5;

bool IsAgentMode(const ClientCB* client) {
    return client != nullptr && (client->GetServiceMask() & servicemask::CLIENT_EVENTS) != 0;
}

bool HasText(const char* text) { return text != nullptr && text[0] != '\0'; }

bool IsDefinity(uint32_t peripheralID) {
    const int type = model::Server().GetPeripheralType(static_cast<int32_t>(peripheralID));
    return IsDefinityPeripheralType(static_cast<int16_t>(type));
}

CTICSTADevice* AgentDevice(const ClientCB* client) {
    return client->GetAgent() != nullptr ? client->GetAgent()->m_Device : nullptr;
}

// The device a request acts at: the agent's for an agent-mode session, else the named
// instrument's; null when there is none.
CTICSTADevice* DeviceContext(const ClientCB* client, uint32_t peripheralID,
                             const char* instrument) {
    if (IsAgentMode(client)) return AgentDevice(client);
    if (HasText(instrument))
        return FindCTICSTADevice(peripheralID, 0, instrument, IsDefinity(peripheralID));
    return nullptr;
}

// The first fitting connection among the calls of that identity; `callFound` tells whether
// any such call exists.
CTICSTAConnection* SearchCalls(uint32_t peripheralID, uint32_t callID, int16_t type,
                               const char* deviceID, int selector, bool* callFound,
                               Call** callOut = nullptr) {
    for (Call* call = Call::FindCall(peripheralID, callID, type, deviceID, 0); call != nullptr;
         call = call->FindNextCall(peripheralID, callID, type, deviceID, 0)) {
        *callFound = true;
        if (CTICSTAConnection* c = call->FindConnectionByDeviceID(type, deviceID, selector, true)) {
            if (callOut != nullptr) *callOut = call;
            return c;
        }
    }
    return nullptr;
}

// An agent on a peripheral of internal type 5 does not learn of every call at its device:
// a call that is not its own device's is taken as known there.
bool TakenAsKnownAtAgent(const ClientCB* client, int16_t type, const char* deviceID,
                         int selector) {
    if (!IsAgentMode(client) || client->GetAgent() == nullptr) return false;
    const CTICSTADevice* device = AgentDevice(client);
    if (device == nullptr || client->GetAgent()->GetPeripheralType() != kGuessingPeripheralType ||
        selector == kAlertingSelector)
        return false;
    const bool ownDevice =
        type == 0 && (!HasText(deviceID) ||
                      std::strncmp(deviceID, device->m_DeviceID.c_str(), device->m_DeviceID.size()) == 0);
    return !ownDevice;
}
}  // namespace

CTICSTAConnection* CTIApplication::FindConnection(ClientCB* client, uint32_t peripheralID,
                                                  uint32_t callID, int16_t deviceIDType,
                                                  const char* deviceID, const char* instrument,
                                                  int selector, int* callKnown) {
    if (deviceID == nullptr) deviceID = "";
    *callKnown = 0;
    if (!IsAgentMode(client) && !HasText(instrument)) {
        bool callFound = false;
        CTICSTAConnection* c =
            SearchCalls(peripheralID, callID, deviceIDType, deviceID, selector, &callFound);
        if (c != nullptr) *callKnown = 1;
        return c;
    }
    if (CTICSTADevice* device = DeviceContext(client, peripheralID, instrument)) {
        if (CTICSTAConnection* c = device->FindConnection(callID, deviceIDType, deviceID, selector)) {
            *callKnown = 1;
            return c;
        }
    }
    if (Call::FindCall(peripheralID, callID, deviceIDType, deviceID, 0) != nullptr) {
        *callKnown = 1;
        return nullptr;
    }
    *callKnown = TakenAsKnownAtAgent(client, deviceIDType, deviceID, selector) ? 1 : 0;
    return nullptr;
}

CTICSTAConnection* CTIApplication::FindRequestConnection(ClientCB* client, uint32_t peripheralID,
                                                         uint32_t callID, int16_t deviceIDType,
                                                         const char* deviceID,
                                                         const char* instrument, int selector,
                                                         int* callKnown, int allowOtherDevice,
                                                         uint32_t* cstaFailure) {
    if (deviceID == nullptr) deviceID = "";
    *callKnown = 0;
    *cstaFailure = 0;
    CTICSTADevice* device = DeviceContext(client, peripheralID, instrument);
    bool callFound = false;
    if (callID == kNoCall && selector > 0 && device != nullptr) {
        if (CTICSTAConnection* c = device->FindConnection(kNoCall, deviceIDType, deviceID, selector)) {
            *callKnown = 1;
            return c;
        }
    } else {
        Call* call = nullptr;
        CTICSTAConnection* c =
            SearchCalls(peripheralID, callID, deviceIDType, deviceID, selector, &callFound, &call);
        if (callFound) *callKnown = 1;
        if (c != nullptr) {
            if (device == nullptr) return c;
            if (device->FindCallConnection(call) == nullptr) {
                *cstaFailure = kAgentNotPartyOnCall;
                return nullptr;
            }
            if (allowOtherDevice == 0 && c->m_Device != device) {
                *cstaFailure = kPrivilegeViolation;
                return nullptr;
            }
            return c;
        }
        if (callFound) {
            *cstaFailure = kInvalidConnection;
            return nullptr;
        }
    }
    if (TakenAsKnownAtAgent(client, deviceIDType, deviceID, selector)) {
        *callKnown = 1;
        *cstaFailure = kAgentNotPartyOnCall;
    }
    return nullptr;
}

CTICSTAConnection* CTIApplication::FindSupervisedConnection(ClientCB* client, uint32_t peripheralID,
                                                            uint32_t callID, int16_t deviceIDType,
                                                            const char* deviceID,
                                                            const char* instrument, int selector,
                                                            int* found, uint32_t otherCallID,
                                                            const char*) {
    if (deviceID == nullptr) deviceID = "";
    if (IsAgentMode(client) || HasText(instrument)) {
        CTICSTADevice* device = nullptr;
        if (IsAgentMode(client)) {
            if (HasText(instrument))
                if (Agent* agent = Agent::FindAgentByInstrument(static_cast<int32_t>(peripheralID),
                                                                instrument))
                    device = agent->m_Device;
        } else {
            device = DeviceContext(client, peripheralID, instrument);
        }
        if (device != nullptr)
            if (CTICSTAConnection* c = device->FindOtherCallConnection(
                    callID, deviceIDType, deviceID, selector, otherCallID)) {
                *found = 1;
                return c;
            }
        return nullptr;
    }
    *found = 0;
    bool callFound = false;
    CTICSTAConnection* c = SearchCalls(peripheralID, callID, deviceIDType, deviceID, selector, &callFound);
    if (c != nullptr) *found = 1;
    return c;
}

// ---------------------------------------------------------------- broadcast and report

void CTIApplication::SendText(const char* text) {
    if (text == nullptr) text = "";
    char line[256];
    (void)BoundedSprintf(line, sizeof line, "BROADCAST MESSAGE: %s", text);  // cut to 255
    EMSEvent0I1S(kEmsStateTrace, 0, 0, line);
    if (!MDSIO::IsServerActive()) return;
    AppServerPort& port = GetAppServerPort();
    SystemEventMSG msg;
    msg.SetUINT(elementid::PGStatus, static_cast<uint32_t>(port.GetPGStatus()));
    msg.SetUINT(elementid::CCTimestamp, static_cast<uint32_t>(port.GetPGTime()));
    msg.SetUINT(elementid::SystemEventID, static_cast<uint32_t>(kTextMessage));
    msg.SetUINT(elementid::SystemEventArg1, 0);
    msg.SetUINT(elementid::SystemEventArg2, 0);
    msg.SetUINT(elementid::SystemEventArg3, 0);
    msg.SetUSHORT(elementid::EventDeviceType, 0xFFFF);
    msg.SetSTRINGMax(elementid::CTIText, text);
    if (ValidateMessage("SendText", msg)) (void)WriteMSG(nullptr, 0, msg, DistributeAllSessions);
}

void CTIApplication::ReportECCTooMuchData() {
    // One stamp for the process; callers are the application thread and the model's call
    // reporting, which may run elsewhere in tests, so it is guarded all the same.
    static std::mutex lock;
    static bool reported = false;
    static int64_t lastReportNs = 0;
    const int64_t now = plat::MonotonicNs();
    {
        std::lock_guard<std::mutex> hold(lock);
        if (reported && now - lastReportNs <= kECCReportIntervalNs) return;
        reported = true;
        lastReportNs = now;
    }
    EMSEvent0I0S(kEmsECCTooMuchData, 0, 0);
}
