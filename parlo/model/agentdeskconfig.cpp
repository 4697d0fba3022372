#include "parlo/model/agentdeskconfig.h"

namespace {

model::ConfigTable<AgentDeskSettingsConfig> g_Table;
std::map<int32_t, uint32_t> g_Defaults;  // PeripheralID -> AgentDeskSettingsID

using Desk = AgentDeskSettingsConfig;
// The 32-bit fields in record order: offset, member, answer element.
struct Word {
    size_t offset;
    uint32_t Desk::*member;
    uint32_t element;
};
const Word kWords[] = {
    {0, &Desk::AgentDeskSettingsID, elementid::AgentDeskSettingsID},
    {4, &Desk::AgentDeskSettingsMask, elementid::FltDeskSettingsMask},
    {8, &Desk::WrapupDataIncomingMode, elementid::FltWrapUpDataIncomingMode},
    {12, &Desk::WrapupDataOutgoingMode, elementid::FltWrapUpDataOutgoingMode},
    {16, &Desk::LogoutNonActivityTime, elementid::FltLogoutNonActivityTime},
    {20, &Desk::QualityRecordingRate, elementid::FltQualityRecordingRate},
    {24, &Desk::RingNoAnswerTime, elementid::FltRingNoAnswerTime},
    {28, &Desk::SilentMonitorWarningMessage, elementid::FltSilentMonitorWarningMessage},
    {32, &Desk::SilentMonitorAudibleIndication, elementid::FltSilentMonitorAudibleIndication},
    {36, &Desk::SupervisorAssistCallMethod, elementid::FltSupervisorAssistCallMethod},
    {40, &Desk::EmergencyCallMethod, elementid::FltEmergencyCallMethod},
    {44, &Desk::AutoRecordOnEmergency, elementid::FltAutoRecordOnEmergency},
    {48, &Desk::RecordingMode, elementid::FltRecordingMode},
    {52, &Desk::WorkModeTimer, elementid::FltWorkModeTimer},
    {56, &Desk::RingNoAnswerDialedNumberID, elementid::FltRingNoAnswerDnId},
    {64, &Desk::ACDSharedLineUsage, elementid::FltACDSharedLineUsage},
    {68, &Desk::PlayZipTone, elementid::FltPlayZipTone},
};
constexpr size_t kStringOffset = 72;

}  // namespace

model::ConfigTable<AgentDeskSettingsConfig>& AgentDeskSettingsConfig::Table() { return g_Table; }

std::unique_ptr<AgentDeskSettingsConfig> AgentDeskSettingsConfig::Parse(model::OPCRecordReader& in, uint32_t) {
    auto r = std::make_unique<AgentDeskSettingsConfig>();
    for (const Word& w : kWords) (*r).*(w.member) = in.U32At(w.offset);
    r->RemoteAgentType = in.U16At(60);
    in.Seek(kStringOffset);
    r->DefaultDevicePortAddress = in.NextString();
    return r;
}

void AgentDeskSettingsConfig::WriteSlot(BaseMSG& m, uint32_t k, int rt) const {
    m.SetUSHORT(model::E::RecordType, static_cast<uint16_t>(rt), k);
    for (const Word& w : kWords) m.SetUINT(w.element, this->*(w.member), k);
    m.SetSTRINGMax(model::E::FltDefaultDevicePortAddress, DefaultDevicePortAddress, k);
}

void AgentDeskSettingsConfig::GetDumpString(std::string& out) const {
    out += "Agent Desk Settings Configuration\n";
    const std::pair<const char*, uint32_t> rows[] = {
        {"AgentDeskSettingsID", AgentDeskSettingsID},
        {"AgentDeskSettingsMask", AgentDeskSettingsMask},
        {"WrapupDataIncomingMode", WrapupDataIncomingMode},
        {"WrapupDataOutgoingMode", WrapupDataOutgoingMode},
        {"LogoutNonActivityTime", LogoutNonActivityTime},
        {"RingNoAnswerTime", RingNoAnswerTime},
        {"QualityRecordingRate", QualityRecordingRate},
        {"SilentMonitorWarningMessage", SilentMonitorWarningMessage},
        {"SilentMonitorAudibleIndication", SilentMonitorAudibleIndication},
        {"SupervisorAssistCallMethod", SupervisorAssistCallMethod},
        {"EmergencyCallMethod", EmergencyCallMethod},
        {"AutoRecordOnEmergency", AutoRecordOnEmergency},
        {"RecordingMode", RecordingMode},
        {"WorkModeTimer", WorkModeTimer},
        {"RingNoAnswerDialedNumberID", RingNoAnswerDialedNumberID},
        {"RemoteAgentType", RemoteAgentType},
        {"ACDSharedLineUsage", ACDSharedLineUsage},
        {"PlayZipTone", PlayZipTone},
    };
    for (const auto& [name, value] : rows)
        model::AppendF(out, "%-31s \t : %-8d\n", name, static_cast<int>(value));
    out += "DefaultDevicePortAddress\t\t:" + DefaultDevicePortAddress + "\n";
}

const uint8_t* AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord(uint32_t op, const uint8_t* record,
                                                                       const uint8_t* end, uint32_t update) {
    return g_Table.Process(op, record, end, update);
}
void AgentDeskSettingsConfig::InitMap() { g_Table.map.InitMap(kBuckets); }

AgentDeskSettingsConfig* AgentDeskSettingsConfig::FindAgentDeskSettings(uint32_t id) {
    model::ServerLockGuard guard(model::ServerLock());
    return g_Table.map.Find(id);
}

void AgentDeskSettingsConfig::SetPeripheralDefault(int32_t peripheralID, uint32_t deskSettingsID) {
    g_Defaults[peripheralID] = deskSettingsID;
}

void AgentDeskSettingsConfig::ClearPeripheralDefaults() { g_Defaults.clear(); }

bool AgentDeskSettingsConfig::GetPeripheralDefault(int32_t peripheralID, uint32_t* out) {
    model::ServerLockGuard guard(model::ServerLock());
    uint32_t found = 0;
    if (peripheralID != -1) {
        auto it = g_Defaults.find(peripheralID);
        if (it == g_Defaults.end()) return false;
        found = it->second;
    } else {
        if (g_Defaults.size() != 1) return false;
        found = g_Defaults.begin()->second;
    }
    if (out != nullptr) *out = found;
    return true;
}

void AgentDeskSettingsConfig::GetAgentDeskSettingsList(model::ConfigList<AgentDeskSettingsConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Table.CopyList(list, [](const AgentDeskSettingsConfig&) { return true; });
}

void AgentDeskSettingsConfig::SendConfigAgentDeskSettingsEvents(
    int recordType, int32_t sessionID, const model::ConfigList<AgentDeskSettingsConfig>& list) {
    model::ConfigTable<AgentDeskSettingsConfig>::SendPages(recordType, sessionID, {}, list);
}

void AgentDeskSettingsConfig::GetSummaryList(std::vector<AgentDeskSettingsSummary>& out) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Table.map.ForEach([&](const AgentDeskSettingsConfig& r) {
        out.push_back({r.AgentDeskSettingsID, r.AgentDeskSettingsMask, r.WrapupDataIncomingMode,
                       r.WrapupDataOutgoingMode});
    });
}

void AgentDeskSettingsConfig::ApplyDeferred() { g_Table.ApplyDeferred(); }
void AgentDeskSettingsConfig::NotifyConfigClients() { g_Table.NotifyConfigClients(); }
void AgentDeskSettingsConfig::UpdateACMIClient(int32_t sessionID) { g_Table.UpdateACMIClient(sessionID, {}); }
