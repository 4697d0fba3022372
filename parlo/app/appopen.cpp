// The open road: version and services, the application path, the agent look-up and the
// confirmation.
#include "ctimsg/elementids.h"
#include "nuvlib/ems.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"

// Until the road is built: nothing waits, nothing binds.
void CTIApplication::OpenValidAgent(ClientCB*, Agent*, uint16_t, int) {}
int CTIApplication::LoginWait(ClientCB*) { return 0; }
void CTIApplication::FailClientOpen(ClientCB*, uint32_t) {}

void CTIApplication::ProcessOpenRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {
    // The least valid open until the open road comes: the requested services granted.
    BaseMSGPtr conf = MakeOpenConf(*msg);
    const char* extension = msg->GetSTRING(elementid::AgentExtension);
    const bool agentDevice =
        (msg->GetUINT(elementid::ServiceMask) & 0x01) && extension != nullptr && *extension != '\0';
    if (!ConfirmOpen(sessionID, *conf, received, agentDevice))
        EMSTraceMessage("CTIApplication::ProcessSessionMessage - SessionID %d: open not confirmed.",
                        static_cast<int>(sessionID));
}

