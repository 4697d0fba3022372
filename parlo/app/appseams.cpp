#include "parlo/app/appseams.h"

#include "nuvlib/ems.h"
#include "opcmsg/agentmsgs.h"
#include "opcmsg/armapppath.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appport.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/session/session.h"

void AppClientSeams::SendAppPathDownInd(ClientCB& client) {
    if (!client.HasARMClientInfo()) return;
    ARMAppPathDownIndMsg down;
    down.SetApplicationPathID(static_cast<int32_t>(client.GetApplicationPathID()));
    down.SetSessionID(client.GetSessionID());
    down.SetSide(GetAppServerPort().GetSide() != 0 ? 1 : 0);  // set on side A
    (void)SendARMMsg(down);  // no request record: OPC does not answer it
}

void AppClientSeams::UnregisterECCVariables(int32_t sessionID) {
    auto* application = dynamic_cast<CTIApplication*>(SessionProtocol::Master());
    if (application == nullptr) return;
    // Called by a record's destruction, which holds the server lock.
    model::ServerLockGuard guard(model::ServerLock());
    if (ClientCB* record = ClientCB::Find(sessionID)) application->UnregisterECCVariables(record);
}

void AppClientSeams::CountedClientGone() {
    if (auto* application = dynamic_cast<CTIApplication*>(SessionProtocol::Master()))
        application->AddNumClients(-1);
}

// The set-client-status request of one agent: its own invoke ID and outstanding record
// (the agent's PeripheralID and AgentID in it), then the writer, which drops the request and
// releases the record while the server is not ACTIVE.
void AppClientSeams::SendSetClientStatusRequest(int32_t recordSessionID, uint32_t status,
                                                const std::shared_ptr<ClientAssociatedAgent>& agent,
                                                const char* signature) {
    if (agent == nullptr) return;
    const uint32_t invokeID = GetAppServerPort().GetUniqueID();
    OPCReq* record = OPCReq::Allocate(recordSessionID, 0, invokeID);
    record->PeripheralID = static_cast<uint32_t>(agent->PeripheralID);
    record->DeviceID = agent->AgentID;
    record->SendTime = FileTimeNow();
    OPCAgentInfo info;
    info.AgentID = agent->AgentID;
    info.PeripheralID = static_cast<uint32_t>(agent->PeripheralID);
    for (int32_t mrd : agent->MRDIDs) info.MRDomainIDs.push_back(static_cast<uint32_t>(mrd));
    (void)::SendSetClientStatusRequest(invokeID, status, info, signature != nullptr ? signature : "");
}

// ---------------------------------------------------------------- the application's side

void CTIApplication::InstallClientPorts() {
    if (m_PortsInstalled) return;
    // The model's client directory over the same records is installed with the server's ports.
    (void)SetClientSeams(m_Seams.get());
    m_PortsInstalled = true;
}

void CTIApplication::RemoveClientPorts() {
    if (!m_PortsInstalled) return;
    // Someone else's seams (a test's) stay where they are.
    ClientSeams* installed = SetClientSeams(nullptr);
    if (installed != m_Seams.get()) (void)SetClientSeams(installed);
    m_PortsInstalled = false;
}

