#include "parlo/app/appseams.h"

#include "nuvlib/ems.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "nuvlib/lockguard.h"
#include "parlo/common/ctilock.h"
#include "opcmsg/armapppath.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/app/appport.h"
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

