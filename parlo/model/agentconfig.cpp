#include "parlo/model/agentconfig.h"

#include "ctimsg/eventmasks.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/msgtypes.h"
#include "nuvlib/utf8utils.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentdesk.h"
#include "parlo/model/agentdeskconfig.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/mrdconfig.h"
#include "parlo/model/skillgroupconfig.h"

namespace {

model::ConfigMap<AgentConfig> g_Map(512);
model::ConfigList<AgentConfig> g_Deferred;

constexpr uint32_t kSkillsSent = 100;
constexpr uint32_t kMRDsSent = 40;
constexpr uint32_t kServicesSent = 32;
constexpr int kPeripheralTypeWithServices = 30;

uint64_t Key(int32_t skillTargetID) { return static_cast<uint32_t>(skillTargetID); }

}  // namespace

// Sets fields of one slot and sums the bytes each adds to the catalogue's present-fields
// estimate (the field's own MaxLength and, for a floating field, its header), so a record's
// size is known without walking the page; remembers what it set so that a record that does
// not fit can be taken out again.
struct AgentConfig::Writer {
    BaseMSG& msg;
    uint32_t k;
    int header;
    int bytes = 0;
    std::vector<std::pair<uint32_t, uint32_t>> written;

    void Count(uint32_t id, uint32_t occurrence) {
        const BaseElement* e = msg.FindElement(id, occurrence, false);
        if (e == nullptr) return;
        bytes += e->MaxLength() + (e->IsFloating() ? header : 0);
        written.push_back({id, occurrence});
    }
    void U16(uint32_t id, uint32_t v, uint32_t occ) {
        msg.SetUSHORT(id, static_cast<uint16_t>(v), occ);
        Count(id, occ);
    }
    void U32(uint32_t id, uint32_t v, uint32_t occ) {
        msg.SetUINT(id, v, occ);
        Count(id, occ);
    }
    void Str(uint32_t id, const std::string& v, uint32_t occ) {
        msg.SetSTRING(id, v, occ);
        Count(id, occ);
    }
    void Undo() {
        for (const auto& [id, occ] : written) msg.Remove(id, occ);
        written.clear();
        bytes = 0;
    }
};

namespace {
int g_MaxOverride = 0;
}

void AgentConfig::OverrideMaxMessageSize(int bytes) { g_MaxOverride = bytes; }

int AgentConfig::GetMaxMessageSize(uint32_t version) {
    if (g_MaxOverride > 0) return g_MaxOverride;
    if (version == 2) return 2061;
    if (version == 3 || version == 5) return 4329;
    if (version >= 6 && version <= 10) return 6843;
    if (version >= 11 && version <= 13) return 6860;
    if (version == 14 || version == 15) return 8620;
    if (version >= 16 && version <= 19) return 12000;
    return 12500;
}

void AgentConfig::InitMap() { g_Map.InitMap(512); }
AgentConfig* AgentConfig::FindAgentConfig(int32_t skillTargetID) { return g_Map.Find(Key(skillTargetID)); }
size_t AgentConfig::MapSize() { return g_Map.Size(); }
size_t AgentConfig::DeferredSize() { return g_Deferred.size(); }

AgentDeskSettingsConfig* AgentConfig::GetAgentDeskSettingsID(int32_t skillTargetID) {
    const AgentConfig* rec = FindAgentConfig(skillTargetID);
    return rec == nullptr ? nullptr : AgentDeskSettingsConfig::FindAgentDeskSettings(rec->AgentDeskSettingsID);
}

void AgentConfig::SetTerminalDeviceName(int32_t skillTargetID, const std::string& name) {
    model::ServerLockGuard guard(model::ServerLock());
    if (AgentConfig* rec = FindAgentConfig(skillTargetID)) rec->TerminalDeviceName = name;
}

void AgentConfig::ConvertNames() {
    FirstNameUTF8 = UTF8UtilsConvertToUTF8(FirstName, 32);
    LastNameUTF8 = UTF8UtilsConvertToUTF8(LastName, 32);
    LoginNameUTF8 = UTF8UtilsConvertToUTF8(LoginName, 256);
}

const uint8_t* AgentConfig::ProcessAgentRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                               uint32_t update) {
    model::OPCRecordReader in(record, end);
    auto r = std::make_unique<AgentConfig>();
    r->SkillTargetID = static_cast<int32_t>(in.U32At(0));
    r->AgentDeskSettingsID = in.U32At(4);
    const int32_t n1 = static_cast<int32_t>(in.U32At(8));
    const int32_t n2 = static_cast<int32_t>(in.U32At(12));
    r->ConfigWord1 = in.U32At(16);
    r->Supervisor = in.U32At(20);
    r->ConfigWord2 = in.U32At(24);
    r->ConfigWord3 = in.U32At(28);
    r->PeripheralID = static_cast<int32_t>(in.U32At(32));
    r->DepartmentID = static_cast<int32_t>(in.U32At(36));
    r->SSOEnabled = in.U16At(40);
    r->VerificationStatus = in.U16At(42);
    const int16_t n3 = static_cast<int16_t>(in.U16At(44));
    in.Seek(48);
    for (std::string* s : {&r->ConfigString1, &r->ConfigString2, &r->LoginID, &r->ConfigString3, &r->FirstName,
                           &r->LastName, &r->LoginName, &r->Description, &r->TerminalDeviceName})
        *s = in.NextString();
    // The three counts come from OPC: each must fit the rest of the body before it drives a
    // loop or sizes an array.
    if (n1 > 0 && in.Fits(static_cast<uint64_t>(n1), 4)) {
        r->SkillGroupIDs.reserve(static_cast<size_t>(n1));
        for (int32_t i = 0; i < n1; ++i) r->SkillGroupIDs.push_back(static_cast<int32_t>(in.NextU32()));
    } else if (n1 > 0) {
        in.Fail();
    }
    if (n2 > 0 && in.Fits(static_cast<uint64_t>(n2), 8)) {
        r->HasMRDList = true;
        r->MRDList.reserve(static_cast<size_t>(n2));
        for (int32_t i = 0; i < n2; ++i) {
            const int32_t id = static_cast<int32_t>(in.NextU32());
            const uint32_t word = in.NextU32();
            r->MRDList.push_back({id, static_cast<uint16_t>(word & 0xFFFF)});
        }
    } else if (n2 > 0) {
        in.Fail();
    }
    if (n3 > 0 && in.Fits(static_cast<uint64_t>(n3), 4)) {
        for (int16_t i = 0; i < n3; ++i)
            r->ServiceTypes.push_back(static_cast<int16_t>(in.NextU32() & 0xFFFF));
    } else if (n3 > 0) {
        in.Fail();
    }
    if (!in.Ok()) {
        model::TraceRecordOverrun("AgentConfig::ProcessAgentRecord", record, end);
        return nullptr;
    }
    r->Operation = op;
    r->ConvertNames();
    model::ServerLockGuard guard(model::ServerLock());
    if (update != 0 && model::Server().ServerState() == serverstate::ACTIVE) {
        g_Deferred.push_back(std::move(r));
        model::Server().ActivateAgentConfigureUpdateTimer();
    } else {
        std::string scratch;
        Apply(*r, scratch);
    }
    return in.Cursor();
}

void AgentConfig::Apply(const AgentConfig& r, std::string& oldLoginID) {
    oldLoginID.clear();
    AgentConfig* known = FindAgentConfig(r.SkillTargetID);
    uint32_t op = r.Operation;
    if (op == 1 && known != nullptr) op = 3;
    if (op == 3 && known == nullptr) op = 1;
    const auto* mrds = r.HasMRDList ? &r.MRDList : nullptr;
    if (op == 1) {
        auto copy = std::make_unique<AgentConfig>(r);
        copy->Operation = 1;
        copy->HasMRDList = false;
        copy->MRDList.clear();
        g_Map.Insert(Key(r.SkillTargetID), std::move(copy));
        Agent* agent = Agent::FindAgentBySkillTargetID(r.PeripheralID, r.SkillTargetID);
        // The agent table owns what it creates; RemoveAgent destroys it.
        if (agent == nullptr)
            agent = new Agent(r.PeripheralID, model::Server().GetPeripheralType(r.PeripheralID), r.SkillTargetID, 0,
                              r.LoginID.c_str(), nullptr, nullptr, r.Supervisor != 0);
        agent->SetAgentMRDs(mrds);
    } else if (op == 2) {
        (void)g_Map.Take(Key(r.SkillTargetID));
    } else if (op == 3) {
        oldLoginID = known->LoginID;
        const std::string terminal = known->TerminalDeviceName;
        *known = r;
        known->TerminalDeviceName = terminal;
        known->Operation = 1;
        known->HasMRDList = false;
        known->MRDList.clear();
        known->ConvertNames();
        Agent* agent = Agent::FindAgentBySkillTargetID(r.PeripheralID, r.SkillTargetID);
        if (AgentTeam* team = AgentTeam::FindAgentTeam(agent != nullptr ? agent->GetAgentTeamID() : 0))
            team->RenameMember(oldLoginID, r.LoginID);
        if (agent != nullptr) {
            agent->SetSupervisor(r.Supervisor != 0);
            agent->SetAgentMRDs(mrds);
        }
    }
}

bool AgentConfig::SkipAgentConfigMsg(const AgentConfig& r) {
    const AgentConfig* m = FindAgentConfig(r.SkillTargetID);
    if (m == nullptr) {
        EMSTraceMessage("AgentConfig::SkipAgentConfigMsg(): AgentConfig not found for agent:%d ", r.SkillTargetID);
        return false;
    }
    if (r.SkillGroupIDs.size() != m->SkillGroupIDs.size()) return false;
    for (int32_t id : r.SkillGroupIDs)
        if (std::find(m->SkillGroupIDs.begin(), m->SkillGroupIDs.end(), id) == m->SkillGroupIDs.end()) return false;
    return r.PeripheralID == m->PeripheralID && r.DepartmentID == m->DepartmentID &&
           r.AgentDeskSettingsID == m->AgentDeskSettingsID && r.ConfigWord1 == m->ConfigWord1 &&
           r.Supervisor == m->Supervisor && r.ConfigWord2 == m->ConfigWord2 && r.ConfigWord3 == m->ConfigWord3 &&
           r.ConfigString1 == m->ConfigString1 && r.ConfigString2 == m->ConfigString2 && r.LoginID == m->LoginID &&
           r.ConfigString3 == m->ConfigString3 && r.FirstName == m->FirstName && r.LastName == m->LastName &&
           r.LoginName == m->LoginName && r.SSOEnabled == m->SSOEnabled &&
           r.VerificationStatus == m->VerificationStatus && r.Description == m->Description &&
           r.TerminalDeviceName == m->TerminalDeviceName;
}

bool AgentConfig::SkipAgentServiceConfigMsg(const AgentConfig& r) {
    const AgentConfig* m = FindAgentConfig(r.SkillTargetID);
    if (m == nullptr) {
        EMSTraceMessage("AgentConfig::SkipAgentServiceConfigMsg(): AgentConfig not found for agent:%d ",
                        r.SkillTargetID);
        return false;
    }
    if (r.ServiceTypes.size() != m->ServiceTypes.size()) return false;
    for (int32_t t : r.ServiceTypes)
        if (std::find(m->ServiceTypes.begin(), m->ServiceTypes.end(), t) == m->ServiceTypes.end()) return false;
    return true;
}

void AgentConfig::ApplyDeferred() {
    model::ServerLockGuard guard(model::ServerLock());
    Set changed, changedServices;
    Renames renames;
    std::string oldLoginID;
    for (auto& rec : g_Deferred) {
        // A removal always tells clients something, even when it equals the map's record.
        const bool removal = rec->Operation == 2;
        if (removal || !SkipAgentConfigMsg(*rec)) changed.insert(rec->SkillTargetID);
        if (removal || !SkipAgentServiceConfigMsg(*rec)) changedServices.insert(rec->SkillTargetID);
        Apply(*rec, oldLoginID);
        renames.emplace(rec->LoginID, oldLoginID);
    }
    std::vector<model::ConfigClient> clients;
    model::Clients().GetConfigClients(clients);
    for (const model::ConfigClient& c : clients) {
        if (c.sessionID == 0 || !model::Sessions().FindSession(c.sessionID)) continue;
        if ((c.configMsgMask & configmsgmask::CONFIG_MSG_AGENT) == 0) continue;
        UpdateACMIClient(c.configPeripheralID, c.sessionID, renames, changed, changedServices);
    }
    g_Deferred.clear();
}

void AgentConfig::UpdateACMIClient(int32_t peripheralID, int32_t sessionID, const Renames& renames,
                                   const Set& changed, const Set& changedServices) {
    if (g_Deferred.empty()) return;
    int pages = 0;
    if (!changed.empty()) {
        model::Clients().SendConfigBeginEvent(configinfomask::CONFIG_AGENT, model::GetAgentConfigKey(), sessionID, model::E::AgentConfigKey);
        EMSTraceMessage("AgentConfig::UpdateACMIClient to session %d TotalAgents %d", sessionID,
                        static_cast<int>(g_Deferred.size()));
        const int status = SendConfigAgentEvents(-1, peripheralID, sessionID, g_Deferred, renames, &pages, changed);
        model::Clients().SendConfigEndEvent(sessionID, static_cast<uint32_t>(status));
    }
    if (changedServices.empty()) return;
    model::ConfigClient client;
    if (!model::Clients().FindConfigClient(sessionID, client)) {
        EMSTraceMessage("AgentConfig::UpdateACMIClient - sessionID %d not found", sessionID);
        return;
    }
    if ((client.configMsgMask & configmsgmask::CONFIG_MSG_AGENT_SERVICE) == 0 || client.version < 24 ||
        model::Server().GetPeripheralType(peripheralID) != kPeripheralTypeWithServices)
        return;
    EMSTraceMessage("AgentConfig::UpdateACMIClient for peripheral type %d", kPeripheralTypeWithServices);
    model::Clients().SendConfigBeginEvent(configinfomask::CONFIG_AGENT_SERVICE_MASK, model::GetAgentConfigKey(), sessionID, model::E::AgentConfigKey);
    const int status = SendConfigAgentServiceEvents(-1, peripheralID, sessionID, g_Deferred, &pages, changedServices);
    model::Clients().SendConfigEndEvent(sessionID, static_cast<uint32_t>(status));
}

void AgentConfig::WriteAgentSlot(Writer& w, int rt, const std::string& oldLoginID, bool details, bool utf8) const {
    namespace E = model::E;
    const uint32_t k = w.k;
    w.U16(E::RecordType, static_cast<uint32_t>(rt), k);
    w.U32(E::FltPeripheralID, static_cast<uint32_t>(PeripheralID), k);
    w.U16(E::AgentType, Supervisor != 0 ? 2 : 1, k);
    w.Str(E::LoginID, LoginID, k);
    w.Str(E::OldLoginID, oldLoginID, k);
    w.U32(E::FltAgentSkillTargetID, static_cast<uint32_t>(SkillTargetID), k);
    w.Str(E::LoginName, utf8 ? LoginNameUTF8 : LoginName, k);
    w.Str(E::LastName, utf8 ? LastNameUTF8 : LastName, k);
    w.Str(E::FirstName, utf8 ? FirstNameUTF8 : FirstName, k);
    const Agent* agent = Agent::FindAgentBySkillTargetID(PeripheralID, SkillTargetID);
    w.Str(E::Extension, details && agent != nullptr && agent->IsCountedLoggedIn() ? agent->m_Extension : std::string(), k);
    w.Str(E::Description, Description, k);
    w.Str(E::TerminalDeviceName, TerminalDeviceName, k);
    w.U16(E::SSOEnabled, SSOEnabled, k);
    uint32_t mrds = agent != nullptr ? static_cast<uint32_t>(agent->GetAgentMRDStates().size()) : 0;
    w.U32(E::AgentDeskSettingsID, AgentDeskSettingsID, k);
    uint32_t j = 0;
    for (size_t i = 0; i < SkillGroupIDs.size() && i < kSkillsSent; ++i) {
        const SkillGroupConfig* group = SkillGroupConfig::Find(SkillGroupIDs[i]);
        if (group == nullptr) {
            EMSTraceMessage("CTIConfig::ProcessConfigRequestMSG Skill Group not found for SkillTargetID = %d",
                            SkillGroupIDs[i]);
            continue;
        }
        w.U32(E::FltSkillGroupNumber, static_cast<uint32_t>(group->PeripheralNumber), k * kSkillsSent + j);
        w.U16(E::FltSkillGroupPriority, group->Priority, k * kSkillsSent + j);
        ++j;
    }
    w.U16(E::NumSkills, j, k);
    if (details) {
        mrds = 0;
        if (agent != nullptr) {
            const auto& states = agent->GetAgentMRDStates();
            for (size_t i = 0; i < states.size() && i < kMRDsSent; ++i) {
                const auto& [id, state] = states[i];
                if (MRDConfig::Find(id) == nullptr || state == agentstate::LOGOUT ||
                    state == agentstate::UNKNOWN)
                    continue;
                w.U32(E::FltAgentMRDID, static_cast<uint32_t>(id), k * kMRDsSent + mrds);
                w.U16(E::FltAgentMRDState, state, k * kMRDsSent + mrds);
                ++mrds;
            }
        }
    }
    w.U16(E::NumMRDs, mrds, k);
}

void AgentConfig::WriteServiceSlot(Writer& w, int rt) const {
    namespace E = model::E;
    const uint32_t k = w.k;
    w.U16(E::RecordType, static_cast<uint32_t>(rt), k);
    w.U32(E::FltAgentSkillTargetID, static_cast<uint32_t>(SkillTargetID), k);
    uint32_t j = 0;
    for (; j < ServiceTypes.size() && j < kServicesSent; ++j)
        w.U16(E::FltEnabledServices, static_cast<uint32_t>(ServiceTypes[j]), k * kServicesSent + j);
    w.U16(E::NumOfEnabledServices, j, k);
}

namespace {

// The shared pager of both agent answers: `write` fills slot k of the page through the
// writer; `skip` leaves a record out. Returns 0, or 5 when a record alone reaches the limit.
template <class Skip, class WriteFn>
int PageAgents(uint32_t type, int32_t sessionID, const model::ConfigList<AgentConfig>& list, int* pages,
               const char* tooLarge, Skip skip, WriteFn write) {
    *pages = 0;
    if (list.empty()) return 0;
    // The session's ClientCB, configuration client or not; version 0 without one.
    model::ClientInfo client;
    const uint32_t version = model::Clients().Find(sessionID, client) ? client.version : 0;
    const int max = AgentConfig::GetMaxMessageSize(version);
    const int header = version >= 20 || type == CONFIG_AGENT_SERVICE_EVENT ? 4 : 2;
    // The part of a one-record message that is not the record.
    int base = 0;
    {
        BaseMSGPtr empty = catalog::CreateMessage(type);
        if (empty == nullptr) return 0;
        empty->SetUSHORT(model::E::NumRecords, 0);
        base = empty->MaxEncodedSize(version);
    }
    // One message serves every page: the fields the last page set are taken out again,
    // which is cheaper than a new message or a walk of every member.
    BaseMSGPtr page = catalog::CreateMessage(type);
    if (page == nullptr) return 0;
    std::vector<std::pair<uint32_t, uint32_t>> onPage;
    size_t i = 0;
    while (i < list.size()) {
        for (const auto& [id, occurrence] : onPage) page->Remove(id, occurrence);
        onPage.clear();
        uint32_t count = 0;
        int total = 2;
        while (i < list.size() && count < 10) {
            const AgentConfig& rec = *list[i];
            int rt = 0;
            if (skip(rec, rt)) {
                ++i;
                continue;
            }
            AgentConfig::Writer w{*page, count, header, 0, {}};
            write(rec, rt, w);
            const int size = base + w.bytes;
            if (size >= max) {
                EMSTraceMessage(tooLarge, rec.SkillTargetID);
                return 5;
            }
            if (total + size >= max) {
                // Does not fit this page: it starts the next one. A record that does not
                // fit an empty page either ends the push, as one too large does.
                w.Undo();
                if (count == 0) {
                    EMSTraceMessage(tooLarge, rec.SkillTargetID);
                    return 5;
                }
                break;
            }
            total += size;
            onPage.insert(onPage.end(), w.written.begin(), w.written.end());
            ++count;
            ++i;
        }
        page->SetUSHORT(model::E::NumRecords, static_cast<uint16_t>(count));
        if (count > 0) {
            (void)model::Sessions().SendResponseMSG(sessionID, *page, model::Clients().FileTimeNow());
            ++*pages;
        }
    }
    return 0;
}

}  // namespace

int AgentConfig::SendConfigAgentEvents(int recordType, int32_t peripheralID, int32_t sessionID,
                                       const model::ConfigList<AgentConfig>& list, const Renames& renames,
                                       int* pages, const Set& changed) {
    model::ConfigClient client;
    const bool utf8 = model::Clients().FindConfigClient(sessionID, client) && client.tressik &&
                      !model::Clients().GetDisableUTF8Conversion();
    const bool details = recordType == 0;
    std::string oldLoginID;
    auto skip = [&](const AgentConfig& rec, int& rt) {
        if (peripheralID != -1 && peripheralID != rec.PeripheralID) return true;
        rt = recordType == -1 ? model::OPCConfigOpToRecordType(rec.Operation) : recordType;
        return rt == 1 && changed.count(rec.SkillTargetID) == 0;
    };
    auto write = [&](const AgentConfig& rec, int rt, Writer& w) {
        oldLoginID.clear();
        if (rt == 1) {
            auto it = renames.find(rec.LoginID);
            if (it != renames.end() && it->second != rec.LoginID) oldLoginID = it->second;
        }
        rec.WriteAgentSlot(w, rt, oldLoginID, details, utf8);
    };
    return PageAgents(CONFIG_AGENT_EVENT, sessionID, list, pages,
                      "ProcessConfigRequestEventMSG::Agent record with id = %d exceeds maximum CTILINK message size",
                      skip, write);
}

int AgentConfig::SendConfigAgentServiceEvents(int recordType, int32_t peripheralID, int32_t sessionID,
                                              const model::ConfigList<AgentConfig>& list, int* pages,
                                              const Set& changed) {
    auto skip = [&](const AgentConfig& rec, int& rt) {
        if (recordType == 2) return true;
        if (recordType == 0 && rec.ServiceTypes.empty()) return true;
        if (peripheralID != -1 && peripheralID != rec.PeripheralID) return true;
        rt = recordType == -1 ? model::OPCConfigOpToRecordType(rec.Operation) : recordType;
        return rt == 1 && changed.count(rec.SkillTargetID) == 0;
    };
    auto write = [&](const AgentConfig& rec, int rt, Writer& w) { rec.WriteServiceSlot(w, rt); };
    return PageAgents(CONFIG_AGENT_SERVICE_EVENT, sessionID, list, pages,
                      "ProcessConfigRequestEventMSG::Agent Service record with id = %d exceeds maximum CTILINK "
                      "message size",
                      skip, write);
}

void AgentConfig::GetAgentList(int32_t peripheralID, model::ConfigList<AgentConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Map.ForEach([&](const AgentConfig& r) {
        if (peripheralID == -1 || r.PeripheralID == peripheralID) list.push_back(std::make_unique<AgentConfig>(r));
    });
}

void AgentConfig::GetAgentServiceList(int32_t peripheralID, model::ConfigList<AgentConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Map.ForEach([&](const AgentConfig& r) {
        if ((peripheralID == -1 || r.PeripheralID == peripheralID) && !r.ServiceTypes.empty())
            list.push_back(std::make_unique<AgentConfig>(r));
    });
}

// What the agent object asks of its configuration record (parlo/model/agentdesk.h).
namespace agentconfig {

bool GetAgentDeskSettings(int32_t skillTargetID, AgentDeskSettings& out) {
    const AgentDeskSettingsConfig* desk = AgentConfig::GetAgentDeskSettingsID(skillTargetID);
    if (desk == nullptr) return false;
    out.mask = static_cast<int32_t>(desk->AgentDeskSettingsMask);
    out.wrapUpIncomingMode = static_cast<int32_t>(desk->WrapupDataIncomingMode);
    out.wrapUpOutgoingMode = static_cast<int32_t>(desk->WrapupDataOutgoingMode);
    return true;
}

bool GetAgentDumpInfo(int32_t skillTargetID, std::string& nameLine, std::vector<int32_t>& serviceTypes) {
    const AgentConfig* rec = AgentConfig::FindAgentConfig(skillTargetID);
    if (rec == nullptr) return false;
    nameLine = model::Format("    FirstName = %s, LastName = %s, SSOEnabled=%d, VerificationStatus=%d,NumOfServices=%d ",
                             rec->FirstName.c_str(), rec->LastName.c_str(), rec->SSOEnabled, rec->VerificationStatus,
                             static_cast<int>(rec->ServiceTypes.size()));
    nameLine += "LoginName = " + rec->LoginName + "\n";
    serviceTypes = rec->ServiceTypes;
    return true;
}

}  // namespace agentconfig
