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
    if (!client.m_ARMClientInfo) return;
    ARMAppPathDownIndMsg down;
    down.SetApplicationPathID(static_cast<int32_t>(client.m_ApplicationPathID));
    down.SetSessionID(client.m_SessionID);
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

void AppClientSeams::ReportECCTooMuchData(const char*, uint32_t, uint32_t) {
    CTIApplication::ReportECCTooMuchData();
}

bool AppClientSeams::FindSession(int32_t sessionID, bool& secure) {
    SessionProtocol* master = SessionProtocol::Master();
    if (master == nullptr) return false;
    LockGuard<CTILockObject> hold(master->SessionLock(), "AppClientSeams::FindSession");
    SessionProtocol* s = SessionProtocol::FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) return false;
    secure = s->IsSecure();
    return true;
}

bool AppClientSeams::GetUniqueInstanceID(int32_t sessionID, std::string& out) {
    SessionProtocol* master = SessionProtocol::Master();
    if (master == nullptr) return false;
    LockGuard<CTILockObject> hold(master->SessionLock(), "AppClientSeams::GetUniqueInstanceID");
    SessionProtocol* s = SessionProtocol::FindSession(static_cast<uint32_t>(sessionID));
    if (s == nullptr) return false;
    out = s->GetUniqueInstanceID();
    return true;
}

int AppClientSeams::SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail) {
    return SessionProtocol::SendFailureEventMSG(sessionID, status, fail);
}

// ---------------------------------------------------------------- the application's side

void CTIApplication::InstallClientPorts() {
    if (m_PortsInstalled) return;
    // The model's client directory over the same records is installed with the server's ports.
    SetClientSeams(m_Seams.get());
    m_PortsInstalled = true;
}

void CTIApplication::RemoveClientPorts() {
    if (!m_PortsInstalled) return;
    if (&GetClientSeams() == m_Seams.get()) SetClientSeams(nullptr);
    m_PortsInstalled = false;
}

