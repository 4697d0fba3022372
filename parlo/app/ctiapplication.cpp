#include "parlo/app/ctiapplication.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <optional>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "parlo/app/appport.h"
#include "parlo/app/appseams.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/apphelpers.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "parlo/model/terminalconfig.h"
#include "parlo/common/ctilock.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/opclink/opcwriters.h"
#include "platform/clock.h"

namespace {

// Opens the client ports once per application: active, or standby until the switch.
void OpenClientPorts(SessionProtocol& master, bool active) {
    if (master.GetSessionState() != SessionProtocol::sessionUnknown) return;
    const int opened = active ? SessionProtocol::Open() : SessionProtocol::OpenStandby();
    if (!opened)
        EMSTraceMessage("CTIApplication: the client ports (ListenPort %d, SecuredListenPort %d, SecurityMode %u) could not be opened.",
                        static_cast<int>(TransportProtocol::sm_ListenPort),
                        static_cast<int>(TransportProtocol::sm_ListenSecurePort), TransportProtocol::sm_SecurityMode);
}
}  // namespace

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

int64_t CalendarSeconds() { return plat::RealtimeNs() / kNsPerSecond; }

// A port number as the registry text's leading decimal digits (none: 0), never past INT_MAX.
int32_t LeadingDigits(const std::string& text) {
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min<int64_t>(value * 10 + (c - '0'), INT32_MAX);
    }
    return static_cast<int32_t>(value);
}

}  // namespace

CTIApplication::CTIApplication()
    : SessionProtocol(static_cast<SessionHost&>(*this)),
      m_AppServerReqQueueLock(std::make_unique<CTILockObject>(1, nullptr, "Application Server Request Queue Lock ",
                                                              UINT32_MAX, 0, 0)),
      m_AppServerQueueLock(
          std::make_unique<CTILockObject>(1, nullptr, "Application Server Queue Lock ", UINT32_MAX, 0, 0)),
      m_Seams(std::make_unique<AppClientSeams>(m_AgentLoginWaitQueue)) {
    m_AgentLoginWaitQueue.SetLinkOffset(ClientCB::LoginWaitLinkOffset());
    m_AppServerQueueServiceTime = m_AppServerReqQueueServiceTime = FileTimeNow();
}

CTIApplication::~CTIApplication() {
    Idle(0);
    RemoveClientPorts();
}

void CTIApplication::Configure(CTIRegistry* registry) {
    m_Registry = registry;
    m_Queue.SetRegistry(registry);
    if (registry != nullptr) {
        const CTIRegistry::ConfigBlock& c = registry->Config();
        m_OpenRoad.SetAgentLoginRequired(c.AgentLoginRequired);
        m_DisableUTF8Conversion = c.DisableUTF8Conversion;
    }
    // The session layer takes the CG public interface as the listen address.
    const int configured = SessionProtocol::Configure(registry);
    if (registry != nullptr) {
        const CTIRegistry::ConfigBlock& c = registry->Config();
        TransportProtocol::sm_ListenPort = LeadingDigits(c.ListenPort);
        TransportProtocol::sm_ListenSecurePort = LeadingDigits(c.SecuredListenPort);
        TransportProtocol::sm_SecurityMode = c.SecurityMode;
        if (c.ListenBacklog > 0) TransportProtocol::sm_ListenBacklog = static_cast<int32_t>(c.ListenBacklog);
    }
    InstallClientPorts();
    if (configured == 0) return;  // stays New
    if (GetState() == New) SetState(Configured);
}

std::string CTIApplication::TimeInStateText(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const int64_t days = seconds / 86400, hours = seconds % 86400 / 3600, minutes = seconds % 3600 / 60,
                  rest = seconds % 60;
    char line[64];
    std::string text;
    if (days > 0) {
        (void)BoundedSprintf(line, sizeof line, "%d day(s) ", static_cast<int>(days));
        text += line;
    }
    if (days > 0 || hours > 0) {
        (void)BoundedSprintf(line, sizeof line, "%d hr ", static_cast<int>(hours));
        text += line;
    }
    if (days > 0 || hours > 0 || minutes > 0) {
        (void)BoundedSprintf(line, sizeof line, "%d min ", static_cast<int>(minutes));
        text += line;
    }
    (void)BoundedSprintf(line, sizeof line, "%d sec\n", static_cast<int>(rest));
    return text + line;
}

std::string CTIApplication::GetTimeInStateText() { return TimeInStateText(CalendarSeconds() - GetStateTime()); }

void CTIApplication::GetCTILinkStatus(std::string& text) {
    const int state = GetState();
    text += "\nCTILink:\n";
    if (state == Active)
        text += "    Active for ";
    else if (state == Standby)
        text += "    Standby for ";
    else
        text += "    NOT active for at least ";
    text += GetTimeInStateText();
}

void CTIApplication::Dump(std::string& text) {
    char line[256];
    const int state = GetState();
    const char* name = state == Active ? "Active" : state == Shutdown ? "Shutdown" : state == Standby ? "Standby" : "Unknown";
    text += "\nCTIApplication:\n";
    (void)BoundedSprintf(line, sizeof line, "    m_State=%s", name);
    text += line;
    text += "  time_in_state=" + GetTimeInStateText();
    (void)BoundedSprintf(line, sizeof line, "    m_NumClients=%d\n", static_cast<int>(GetNumClients()));
    text += line;
    (void)BoundedSprintf(line, sizeof line, "    m_AgentLoginRequired=%s\n", IsAgentLoginRequired() ? "TRUE" : "FALSE");
    text += line;
    (void)BoundedSprintf(line, sizeof line, "    m_DisableUTF8Conversion=%s\n",
                         m_DisableUTF8Conversion ? "TRUE" : "FALSE");
    text += line;
    // One input event; its "handle" is the event's own address, as a 32-bit number.
    (void)BoundedSprintf(line, sizeof line, "    m_ApplicationEvents[%d]=0x%x\n", 0,
                         static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_Queue.EventHandle())));
    text += line;
    (void)BoundedSprintf(line, sizeof line, "    m_AgentLoginWaitQueue=%d\n",
                         static_cast<int>(m_AgentLoginWaitQueue.Count()));
    text += line;
    (void)BoundedSprintf(line, sizeof line, "    ApplicationMSG FreeList=%d\n",
                         static_cast<int>(FreeApplicationMSGCount()));
    text += line;
    (void)BoundedSprintf(line, sizeof line, "    Call FreeList=%d\n",
                         model::GetPorts().server != nullptr ? Call::FreeCount() : 0);
    text += line;
    TransportProtocol::Dump(text);
}

int CTIApplication::SessionCreated(int32_t) { return 1; }

void CTIApplication::ResetIDCounters() {
    SessionProtocol::ResetIDCounters();
    m_NextSessionID = 1;
    m_NextMonitorID = 1;
    if (model::GetPorts().server != nullptr) CTICSTAMonitor::SetNextMonitorID(1);
    EMSTraceMessage("CTIApplication::ResetIDCounters: session and monitor ids start again at 1.");
}

// ---------------------------------------------------------------- ECC variables

void CTIApplication::RegisterECCVariable(int32_t id, const char* name, ClientCB* client) {
    if (client == nullptr) return;
    ECCVariableRegistration* record = nullptr;
    for (auto& r : m_ECCVariableRegistrations)
        if (r->id == id) record = r.get();
    if (record == nullptr) {
        auto made = std::make_unique<ECCVariableRegistration>();
        made->id = id;
        made->name = name ? name : "";
        record = made.get();
        m_ECCVariableRegistrations.push_back(std::move(made));
    }
    const bool already = std::find(record->clients.begin(), record->clients.end(), client) != record->clients.end();
    if (!already) {
        record->clients.push_back(client);
        (void)SessionProtocol::AddVariable(client->GetSessionID(), static_cast<uint32_t>(id), record->name.c_str());
    }
    if ((EMSGetTraceMask() & tracebit::TR_PROC_5) || ClientCB::IsTraceOn(client, ClientCB::kTraceSession))
        EMSTraceMessage("ECC Variable %s (ID:%d) %sregistered for client %s (ref=%d)", record->name.c_str(),
                        static_cast<int>(id), already ? "already " : "", client->GetClientID().c_str(),
                        static_cast<int>(record->clients.size()));
}

void CTIApplication::UnregisterECCVariables(ClientCB* client) {
    for (size_t i = m_ECCVariableRegistrations.size(); i-- > 0;) {
        ECCVariableRegistration& record = *m_ECCVariableRegistrations[i];
        auto found = std::find(record.clients.begin(), record.clients.end(), client);
        if (found != record.clients.end()) {
            record.clients.erase(found);
            if (client != nullptr && ClientCB::IsTraceOn(client, ClientCB::kTraceSession))
                EMSTraceMessage("ECC Variable %s (ID:%d) unregistered for client %s (ref=%d)", record.name.c_str(),
                                static_cast<int>(record.id), client->GetClientID().c_str(),
                                static_cast<int>(record.clients.size()));
        }
        // A registration nobody holds any more goes, whether or not this client held it.
        if (record.clients.empty())
            m_ECCVariableRegistrations.erase(m_ECCVariableRegistrations.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void CTIApplication::GetECCVariableClients(int32_t id, std::vector<std::string>& out) {
    for (const auto& record : m_ECCVariableRegistrations) {
        if (record->id != id) continue;
        for (const ClientCB* client : record->clients) out.push_back(client->GetClientID());
        return;
    }
}

void CTIApplication::GetECCVariableClients(std::string& text) {
    for (const auto& record : m_ECCVariableRegistrations) {
        text += record->name + " (ID:" + std::to_string(record->id) + "):";
        for (const ClientCB* client : record->clients) text += " " + client->GetClientID();
        text += "\n";
    }
}

void CTIApplication::DeleteECCVariable(int32_t id, const std::string& name, int32_t isArray) {
    // The registrations name records, which the server lock keeps alive.
    model::ServerLockGuard guard(model::ServerLock());
    auto it = m_ECCVariableRegistrations.begin();
    while (it != m_ECCVariableRegistrations.end() && (*it)->id != id) ++it;
    if (it == m_ECCVariableRegistrations.end()) return;
    std::unique_ptr<ECCVariableRegistration> record = std::move(*it);
    m_ECCVariableRegistrations.erase(it);
    while (!record->clients.empty()) {
        ClientCB* client = record->clients.front();
        record->clients.erase(record->clients.begin());
        (void)SendFailureEventMSG(client->GetSessionID(),
                                  isArray != 0 ? E_CTI_NAMED_ARRAY_NOT_CONFIGURED : E_CTI_NAMED_VARIABLE_NOT_CONFIGURED, false);
        if (ClientCB::IsTraceOn(client, ClientCB::kTraceSession))
            EMSTraceMessage("ECC Variable %s (ID:%d) registered for client %s DELETED.", name.c_str(),
                            static_cast<int>(id), client->GetClientID().c_str());
        (void)RemoveVariable(client->GetSessionID(), static_cast<uint32_t>(id), name.c_str());
    }
}

void CTIApplication::GetTraceKeywords(std::vector<std::string>& names, std::vector<int>& bits) {
    for (const TraceKeywordRow& row : TraceKeywordRows()) {
        names.emplace_back(row.name);
        bits.push_back(static_cast<int>(row.bit));
    }
}

void CTIApplication::GetTraceKeywords(std::string& text) {
    std::vector<std::string> names;
    std::vector<int> bits;
    GetTraceKeywords(names, bits);
    for (size_t i = 0; i < names.size(); ++i) text += names[i] + " " + std::to_string(bits[i]) + "\n";
}

int CTIApplication::Activate() {
    switch (m_Queue.SwitchToActive()) {
        case ApplicationQueue::ActiveSwitch::Switched:
            (void)StandbyToOpen();
            GetAppServerPort().MakeActive();
            return 1;
        case ApplicationQueue::ActiveSwitch::AlreadyActive:
            return 1;
        case ApplicationQueue::ActiveSwitch::StartNeeded:
            break;
    }
    OpenClientPorts(*this, true);
    return m_Queue.StartThread(1);
}

int CTIApplication::StartStandby() {
    const std::optional<int> running = m_Queue.RunningState();
    if (running == Standby) return 1;
    if (running == Active) return 0;
    OpenClientPorts(*this, false);
    return m_Queue.StartThread(0);
}

void CTIApplication::Idle(int reason) {
    // The clients go first, while the thread still takes their closes.
    (void)SessionProtocol::Close(static_cast<uint32_t>(reason));
    m_Queue.Stop(reason);
}

const uint8_t* CTIApplication::ProcessTerminalConfig(int32_t op, int32_t update, const uint8_t* record,
                                                     const uint8_t* end) {
    return TerminalConfig::ProcessTerminalRecord(static_cast<uint32_t>(op), static_cast<uint32_t>(update), record, end);
}

// ---------------------------------------------------------------- client input

BaseMSGPtr CTIApplication::MakeOpenConf(BaseMSG& request) {
    auto conf = std::make_unique<OpenConfMSG>();
    conf->SetUINT(elementid::InvokeID, request.GetUINT(elementid::InvokeID));
    conf->SetUINT(elementid::ServiceMask, request.GetUINT(elementid::ServiceMask));
    conf->SetUINT(elementid::MonitorID, 0);
    conf->SetUINT(elementid::PGStatus, 0);
    conf->SetUINT(elementid::CCTimestamp, 0);
    conf->SetBOOL(elementid::PeripheralOnline, 0);
    conf->SetUSHORT(elementid::PeripheralType, 0xFFFF);
    conf->SetUSHORT(elementid::CTIAgentState, 0);
    conf->SetINT(elementid::DepartmentID, 0);
    conf->SetUSHORT(elementid::SessionType, 0);
    if (const char* extension = request.GetSTRING(elementid::AgentExtension); extension && *extension)
        conf->SetSTRING(elementid::AgentExtension, extension);
    return conf;
}

// ---------------------------------------------------------------- the session layer's look-ups

bool CTIApplication::HasClient(uint32_t sessionID) { return ClientCB::HasRecord(static_cast<int32_t>(sessionID)); }

bool CTIApplication::IsTressikClient(uint32_t sessionID) {
    return ClientCB::IsTressikSession(static_cast<int32_t>(sessionID));
}

bool CTIApplication::AppPathContains(uint32_t sessionID, uint32_t applicationPathID, uint32_t peripheralID) {
    return ClientCB::AppPathContains(static_cast<int32_t>(sessionID), static_cast<int32_t>(applicationPathID),
                                     static_cast<int32_t>(peripheralID));
}
