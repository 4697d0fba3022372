// CTI_SET_CLIENT_STATUS_RESP: OPC's answer to a set-client-status request. The client had its
// confirmation when the request went out; the answer only ends the agent's pending request.
#include "parlo/app/agentevents.h"

#include <string>

#include "nuvlib/ems.h"
#include "opcmsg/agentmsgs.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appperipherals.h"
#include "parlo/app/appqueue.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/openroad.h"
#include "parlo/common/meterids.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/agent.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/session/session.h"

namespace {

constexpr uint32_t kClientStatusFailedEMS = 0xA12EC008;

// The names of OPC's result codes 0 to -13, for the trace.
const char* ResultCodeText(int32_t code) {
    static constexpr const char* kNames[] = {
        "OK", "FAIL", "INVALID_PERIPHERAL", "INVALID_AGENT", "INVALID_CALL", "INVALID_GROUP",
        "UNCONFIGURED_SKILL_GROUP", "UNCONFIGURED_SERVICE", "MISMATCH_SKILL_GROUP",
        "MISMATCH_SERVICE", "UNCONFIGURED_AGENT_DESK_SETTINGS", "INVALID_DEVICE",
        "INVALID_MR_DOMAIN", "ECC_CTI_TOO_MUCH_DATA"};
    if (code > 0 || code < -13) return "(?\?UNKNOWN_RESULT_CODE?\?)";
    return kNames[-code];
}

Agent* FindRequestAgent(const std::string& agentID, int32_t peripheralID) {
    const int type = model::Server().GetPeripheralType(peripheralID);
    return Agent::FindAgentByAgentID(peripheralID, agentID.c_str(),
                                     IsDefinityPeripheralType(static_cast<int16_t>(type)));
}

}  // namespace

// The writer's side (parlo/opclink/opcwriters.cpp): a request went out for the agent.
void MarkClientStatusRequested(const std::string& agentID, uint32_t peripheralID) {
    model::ServerLockGuard guard(model::ServerLock());
    if (Agent* agent = FindRequestAgent(agentID, static_cast<int32_t>(peripheralID)))
        agent->SetClientStatusRequested(true);
}

void AgentEvents::ProcessClientStatusResponse(const uint8_t* body, size_t length) {
    OPCSetClientStatusResp response;
    const OPCBodyResult parsed = ParseSetClientStatusResp(body, length, &response);
    if (!parsed.ok) {
        EMSTraceMessage("CTIApplication::ProcessClientStatusResponse - malformed body dropped: %s",
                        parsed.Text().c_str());
        return;
    }
    const auto result = static_cast<int32_t>(response.ResultCode);
    if (EMSGetTraceMask() & tracebit::TR_PROC_6)
        EMSTraceMessage("SET_CLIENT_STATUS_RESP: InvokeID=0x%x ResultCode=%d(%s)", response.InvokeID,
                        static_cast<int>(result), ResultCodeText(result));
    if (!MDSIO::IsServerActive()) return;
    OPCReq* request = OPCReq::Find(response.InvokeID);
    if (request == nullptr) {
        if (queue_.IsActive())
            EMSTraceMessage("*** ProcessClientStatusResponse: No pending request with uniqueID 0x%x ***",
                            response.InvokeID);
        return;
    }
    const auto peripheralID = static_cast<int32_t>(request->PeripheralID);
    {
        model::ServerLockGuard guard(model::ServerLock());
        if (Agent* agent = FindRequestAgent(request->DeviceID, peripheralID))
            agent->SetClientStatusRequested(false);
    }
    if (request->SessionID != 0) {
        const uint64_t elapsed = (FileTimeNow() - request->SendTime) / 10000;
        model::Server().UpdateMeter(meter::OPCResponse, static_cast<int>(static_cast<uint32_t>(elapsed)));
        model::ServerLockGuard guard(model::ServerLock());
        if (const ClientCB* client = ClientCB::Find(request->SessionID); client != nullptr && result != 0)
            EMSEvent2I2S(kClientStatusFailedEMS, 0, 0, client->GetSessionID(), result,
                         client->GetAgentID().c_str(), client->GetClientID().c_str());
    }
    OPCReq::Release(request);
}
