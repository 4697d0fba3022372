#include "parlo/opclink/requestcontext.h"

#include "nuvlib/lockguard.h"
#include "parlo/model/agent.h"
#include "parlo/model/modelutil.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/session/session.h"

namespace opclink {

namespace {
// The caller holds the server lock while it uses the agent (the look-up takes it for itself).
Agent* FindAgent(const std::string& agentID, uint32_t peripheralID) {
    return Agent::FindAgentByAgentID(static_cast<int32_t>(peripheralID), agentID.c_str(), false);
}
}  // namespace

std::string UniqueInstanceID(int session) {
    if (session == kNoSession) return {};
    SessionProtocol* master = SessionProtocol::Master();
    if (master == nullptr) return {};
    LockGuard<CTILockObject> hold(master->SessionLock(), "opclink::UniqueInstanceID");
    const SessionProtocol* s = SessionProtocol::FindSession(static_cast<uint32_t>(session));
    return s != nullptr ? s->GetUniqueInstanceID() : std::string();
}

bool AgentExists(const std::string& agentID, uint32_t peripheralID) {
    return FindAgent(agentID, peripheralID) != nullptr;
}

void MarkClientStatusRequested(const std::string& agentID, uint32_t peripheralID) {
    model::ServerLockGuard guard(model::ServerLock());
    if (Agent* agent = FindAgent(agentID, peripheralID)) agent->SetClientStatusRequested(true);
}

}  // namespace opclink
