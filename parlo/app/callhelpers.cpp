// The call-control helpers: default instrument, private calls, trace tags, the session of a
// team member, the trace switches and the control-failure answer.
#include "parlo/app/callhelpers.h"

#include <string>

#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctilock.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/call.h"
#include "parlo/model/modelutil.h"
#include "parlo/session/session.h"

namespace {
constexpr size_t kTraceTagRoom = 99;  // a 100-byte buffer, terminator included
}  // namespace

void DefaultCallInstrument(Call* call, std::string& out, const char* label) {
    out.clear();
    const bool traced = (EMSGetTraceMask() & tracebit::TR_PROC_6) != 0;
    if (call == nullptr) {
        if (traced) EMSTraceMessage("*** %s DefaultCallInstrument - call: NULL", label);
        return;
    }
    out = call->GetAgentDeviceID();
    if (traced)
        EMSTraceMessage("*** %s DefaultCallInstrument - callID:%d.%s(%c) ... inst:\"%s\"", label,
                        static_cast<int>(call->m_CallID), call->m_SrcDeviceID.c_str(),
                        call->m_SrcDeviceIDType == 0 ? 's' : 'd', out.c_str());
}

std::string MakeSessionTraceTag(const char* text, int32_t sessionID) {
    std::string tag(text != nullptr ? text : "");
    if (tag.size() > kTraceTagRoom) tag.resize(kTraceTagRoom);
    tag += " - SessionID " + std::to_string(sessionID) + ":";
    if (tag.size() > kTraceTagRoom) tag.resize(kTraceTagRoom);
    return tag;
}

int SendControlFailure(int32_t sessionID, uint32_t invokeID, uint32_t failureCode,
                       uint32_t peripheralErrorCode, const char* wexaCILClientID) {
    SessionProtocol* master = SessionProtocol::Master();
    if (master == nullptr) return 0;
    LockGuard<CTILockObject> hold(master->SessionLock(), "SessionProtocol::SendControlFailureConfMSG");
    SessionProtocol* session = SessionProtocol::FindSession(static_cast<uint32_t>(sessionID));
    if (session == nullptr) {
        EMSTraceMessage("SessionProtocol::SendControlFailureConfMSG: Session %d not found",
                        static_cast<int>(sessionID));
        return 0;
    }
    LockGuard<CTILockObject> own(session->SessionLock(), "SessionProtocol::SendControlFailureConfMSG");
    return session->SendControlFailureConfMSGEx(invokeID, failureCode, peripheralErrorCode,
                                                wexaCILClientID);
}

// ---------------------------------------------------------------- private calls

Call* CTIApplication::AddPrivateCallAtInstrument(ClientCB*, uint32_t peripheralID, uint16_t callType,
                                                 uint32_t callID, const char* deviceID,
                                                 uint16_t deviceIDType, const char* dialedNumber,
                                                 const char* instrument, const char*) {
    const int limit = m_Registry != nullptr
                          ? static_cast<int>(m_Registry->Dynamic(CTIRegistry::MaxPrivateCallsPerAgent))
                          : 0;
    if (limit < 1 || instrument == nullptr || instrument[0] == '\0') return nullptr;
    Agent* agent = Agent::FindAgentByInstrument(static_cast<int32_t>(peripheralID), instrument);
    if (agent == nullptr) return nullptr;
    const model::ConnectionID connection(callID, deviceIDType, deviceID != nullptr ? deviceID : "");
    return agent->AddPrivateCall(limit, callType, connection, dialedNumber, GetCallstateTrace());
}

void CTIApplication::FreeCall(Call* call, const char*) {
    // A private call goes through its agent, which unlinks it first.
    Call::Release(call, true);
}

void CTIApplication::DetachPrivateCall(Call* call) {
    if (call == nullptr) return;
    if (Agent* agent = call->PrivateCallAgent()) agent->DetachPrivateCall(call);
}

// ---------------------------------------------------------------- sessions and traces

int32_t CTIApplication::GetAgentSessionID(const AgentTeam* team, int32_t skillTargetID) {
    if (skillTargetID == -1 || team == nullptr) return -1;
    std::string clientID;
    {
        model::ServerLockGuard guard(model::ServerLock());
        Agent* agent = Agent::FindAgentBySkillTargetID(team->m_PeripheralID, skillTargetID);
        model::ClientInfo client;
        if (agent == nullptr || !agent->GetClientCB(client)) return -1;
        clientID = client.clientID;
    }
    uint32_t state = 0;
    const int32_t sessionID = SessionProtocol::GetClientSessionID(clientID.c_str(), &state);
    if (sessionID == -1) return -1;
    return SessionProtocol::IsOpenState(state) ? sessionID : -1;
}

bool CTIApplication::IsPeriphVariablesTraceOn() { return SVRTraceON(PeriphVariables); }
bool CTIApplication::IsECCVariablesTraceOn() { return SVRTraceON(ECCVariables); }
