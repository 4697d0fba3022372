#include "parlo/model/terminalconfig.h"

#include "ctimsg/msgtypes.h"

namespace {

std::map<std::string, std::unique_ptr<TerminalConfig>> g_Terminals;  // byte order of the name
model::ConfigList<TerminalConfig> g_Pending;
constexpr uint32_t kAddressesSent = 10;

}  // namespace

const uint8_t* TerminalConfig::ProcessTerminalRecord(uint32_t op, uint32_t update, const uint8_t* record,
                                                     const uint8_t* end) {
    model::OPCRecordReader in(record, end);
    const uint32_t value = in.U32At(0);
    const uint32_t type = in.U32At(8);
    const uint32_t count = in.U32At(12);
    in.Seek(16);
    std::string name = in.NextString();
    std::string typeName = in.NextString();
    // Every address string takes at least four bytes: a count the body cannot hold is refused
    // before it drives the loop.
    if (!in.Ok() || !in.Fits(count, 4)) {
        model::TraceRecordOverrun("TerminalConfig", record, end);
        return nullptr;
    }
    auto rec = std::make_unique<TerminalConfig>(value, count, type, std::move(name), std::move(typeName), op);
    rec->Addresses.reserve(count);
    for (uint32_t i = 0; i < count; ++i) rec->Addresses.push_back(in.NextString());
    if (!in.Ok()) {
        model::TraceRecordOverrun("TerminalConfig", record, end);
        return nullptr;
    }
    model::ServerLockGuard guard(model::ServerLock());
    if (update == 0) {
        ApplyTerminalConfig(*rec);
    } else {
        AddPending(std::move(rec));
        ApplyPending();
    }
    return in.Cursor();
}

void TerminalConfig::ApplyTerminalConfig(const TerminalConfig& record) {
    if (record.Operation == 2) {
        g_Terminals.erase(record.TerminalDeviceName);
        return;
    }
    g_Terminals[record.TerminalDeviceName] = std::make_unique<TerminalConfig>(record);
}

void TerminalConfig::AddPending(std::unique_ptr<TerminalConfig> record) { g_Pending.push_back(std::move(record)); }

void TerminalConfig::ApplyPending() {
    for (auto& rec : g_Pending) ApplyTerminalConfig(*rec);
    NotifyConfigClients();
    g_Pending.clear();
}

void TerminalConfig::NotifyConfigClients() {
    std::vector<model::ConfigClient> clients;
    model::Clients().GetConfigClients(clients);
    for (const model::ConfigClient& c : clients) {
        if (c.sessionID == 0 || !model::Sessions().FindSession(c.sessionID)) continue;
        if ((c.configMsgMask & kMsgMaskBit) == 0) continue;
        UpdateACMIClient(c.sessionID);
    }
}

void TerminalConfig::UpdateACMIClient(int32_t sessionID) {
    if (g_Pending.empty()) return;
    model::Clients().SendConfigBeginEvent(kInfoBit, model::GetConfigKey(), sessionID, 0);
    SendConfigTerminalEvents(-1, sessionID, g_Pending);
    model::Clients().SendConfigEndEvent(sessionID, 0);
}

void TerminalConfig::SendConfigTerminalEvents(int recordType, int32_t sessionID,
                                              const model::ConfigList<TerminalConfig>& list) {
    namespace E = model::E;
    size_t i = 0;
    while (i < list.size()) {
        BaseMSGPtr page = catalog::CreateMessage(CONFIG_TERMINAL_EVENT);
        if (page == nullptr) return;
        uint32_t k = 0;
        for (; i < list.size() && k < 10; ++i, ++k) {
            const TerminalConfig& t = *list[i];
            const int rt = recordType == -1 ? model::OPCConfigOpToRecordType(t.Operation) : recordType;
            page->SetUSHORT(E::RecordType, static_cast<uint16_t>(rt), k);
            page->SetUSHORT(E::TerminalType, static_cast<uint16_t>(t.TerminalType), k);
            page->SetSTRING(E::TerminalDeviceName, t.TerminalDeviceName, k);
            page->SetSTRING(E::TerminalTypeName, t.TerminalTypeName, k);
            page->SetUSHORT(E::NumInstruments, static_cast<uint16_t>(t.NumInstruments), k);
            for (uint32_t j = 0; j < t.Addresses.size() && j < kAddressesSent; ++j)
                page->SetSTRING(E::AgentInstrument, t.Addresses[j], k * 10 + j);
        }
        page->SetUSHORT(E::NumRecords, static_cast<uint16_t>(k));
        if (k == 0) continue;
        if (model::Clients().ValidateMessage("ProcessConfigRequestEventMSG", *page) != 1) continue;
        (void)model::Sessions().SendResponseMSG(sessionID, *page, model::Clients().FileTimeNow());
    }
}

void TerminalConfig::GetTerminalList(model::ConfigList<TerminalConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    for (const auto& [name, rec] : g_Terminals) list.push_back(std::make_unique<TerminalConfig>(*rec));
}

std::string TerminalConfig::GetDumpString(const TerminalConfig& r, bool withAddresses) {
    std::string out = model::Format("%s, %s, termtype:%d\n", r.TerminalDeviceName.c_str(),
                                    r.TerminalTypeName.c_str(), static_cast<int>(r.TerminalType));
    if (withAddresses) {
        out += "Addresses: ";
        for (const std::string& a : r.Addresses) out += a + ",";
        out += "\n";
    }
    return out;
}

TerminalConfig* TerminalConfig::Find(const std::string& name) {
    auto it = g_Terminals.find(name);
    return it == g_Terminals.end() ? nullptr : it->second.get();
}

void TerminalConfig::Clear() {
    g_Terminals.clear();
    g_Pending.clear();
}
