// Agent: private calls (made for the agent's own instrument when OPC confirms a request on
// a call it does not know) and the calls on the instrument's lines.
#include "ctimsg/basemsg.h"
#include "ctimsg/messages/messages.h"
#include "nuvlib/ems.h"
#include "nuvlib/tracemeter.h"
#include "parlo/model/agent.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"

using model::Clients;
using model::PerfCounter;
using model::Server;
using model::ServerLock;
using model::ServerLockGuard;

Call* Agent::FirstPrivateCall() const {
    ServerLockGuard guard(ServerLock());
    return static_cast<Call*>(m_PrivateCallList.First());
}

Call* Agent::NextPrivateCall(Call* call) const {
    ServerLockGuard guard(ServerLock());
    return static_cast<Call*>(m_PrivateCallList.Next(call));
}

Call* Agent::AddPrivateCall(int limit, uint16_t callType, const model::ConnectionID& connection,
                            const char* dialedNumber, bool trace) {
    if (limit < 1) return nullptr;
    while (NumPrivateCalls() >= limit) RemovePrivateCall(FirstPrivateCall(), true);
    Call* call = Call::Alloc(static_cast<uint32_t>(m_PeripheralID), connection.callID,
                             connection.deviceIDType, connection.deviceID,
                             static_cast<int16_t>(m_PeripheralType), callType, 0, 0, 0);
    {
        ServerLockGuard guard(ServerLock());
        call->m_Private = true;
        call->m_PrivateCallAgent = this;
        m_PrivateCallList.Append(call);
    }
    Server().Increment(PerfCounter::PARLO_PRIVATE_CALLS);
    TraceMeterCount("Private Calls", "", __FILE__, __LINE__, 0);
    if (dialedNumber != nullptr && dialedNumber[0] != '\0') call->m_DialedNumber = dialedNumber;
    if (Server().IsServerActive()) {
        BeginCallEventMSG msg(Server().TraceECCVariables(), Server().TracePeriphVariables());
        call->GetCallContext(msg);
        if (Clients().ValidateMessage("AddPrivateCall", msg))
            (void)model::Sessions().WriteMSG(nullptr, -1, msg, model::DistributeAllEvents);
    }
    // Reported even when nothing was sent; counted as Call::ReportCall counts, since the
    // call's release lowers the count for every reported call.
    call->MarkReported();
    ServerLockGuard guard(ServerLock());
    if (m_Device != nullptr) {
        bool changed = false;
        SetConnection(m_Device, call, 3, 1, connection.deviceIDType, connection.deviceID,
                      "AddPrivateCall", changed);
    }
    if (trace) call->TraceCallState();
    return call;
}

void Agent::RemovePrivateCall(Call* call, bool sendEndCall) {
    if (call == nullptr) return;
    DetachPrivateCall(call);
    Call::Free(call, sendEndCall);
}

void Agent::DetachPrivateCall(Call* call) {
    if (call == nullptr) return;
    {
        ServerLockGuard guard(ServerLock());
        NUV_ASSERT(call->m_PrivateCallAgent == this);
        m_PrivateCallList.Remove(call);
        call->m_Private = false;
        call->m_PrivateCallAgent = nullptr;
    }
    Server().Decrement(PerfCounter::PARLO_PRIVATE_CALLS);
}

void Agent::DropPrivateCalls(int seconds) {
    const int64_t now = model::NowSeconds();
    // Only the application thread changes the list: a successor taken first stays valid.
    Call* call = FirstPrivateCall();
    while (call != nullptr) {
        Call* next = NextPrivateCall(call);
        if (seconds == -1 || static_cast<int32_t>(now - call->m_LastEventTime) > seconds)
            RemovePrivateCall(call, true);
        call = next;
    }
}

// ---- lines ----

void Agent::AddCallToLine(int32_t callID, int32_t deviceIDType, const char* deviceID,
                          int32_t lineIndex, int32_t lineType) {
    if (lineIndex < 0 || lineType == 3) return;
    ServerLockGuard guard(ServerLock());
    Line* line = m_Instrument->GetLine(lineIndex);
    if (line == nullptr || line->m_CallID == callID) return;
    line->m_LineType = lineType;
    line->SetState(callID == -1 ? 3 : 1, callID, deviceIDType, deviceID, -1);
}

void Agent::RemoveCallFromLine(int32_t callID) {
    ServerLockGuard guard(ServerLock());
    if (Line* line = m_Instrument->FindLineByCallID(callID)) line->Clear();
}

void Agent::RemoveCallFromLineAt(int32_t callID, int32_t lineNumber) {
    ServerLockGuard guard(ServerLock());
    if (Line* line = m_Instrument->FindLineByCallIDAndNumber(callID, lineNumber)) line->Clear();
}
