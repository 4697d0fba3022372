#include "parlo/app/ctiapplication.h"

#include "nuvlib/ems.h"

void CTIApplication::Configure(CTIRegistry* registry) { m_Registry = registry; }

void CTIApplication::GetCTILinkStatus(std::string& text) {
    text += "CTI Link: no OPC link\n";
}

void CTIApplication::ResetIDCounters() {
    m_NextSessionID = 1;
    m_NextMonitorID = 1;
    EMSTraceMessage("CTIApplication::ResetIDCounters: session and monitor ids start again at 1.");
}

void CTIApplication::ProcessOPCInput(int, int, const uint8_t*) {}
void CTIApplication::ProcessPGFailure(const char*) {}
void CTIApplication::KillClient(int) {}
void CTIApplication::GetECCVariableClients(std::string&) {}
void CTIApplication::GetTraceKeywords(std::string&) {}
void CTIApplication::SendText(const char*) {}
void CTIApplication::QueueApplicationMSG(int) {}
