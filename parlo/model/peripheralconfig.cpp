#include "parlo/model/peripheralconfig.h"

#include "parlo/common/svrtrace.h"
#include "parlo/model/agentdeskconfig.h"

namespace {
model::ConfigTable<PeripheralConfig> g_Table;
}

model::ConfigTable<PeripheralConfig>& PeripheralConfig::Table() { return g_Table; }

std::unique_ptr<PeripheralConfig> PeripheralConfig::Parse(model::OPCRecordReader& in, uint32_t) {
    auto r = std::make_unique<PeripheralConfig>();
    r->PeripheralID = static_cast<int32_t>(in.U32At(0));
    r->DefaultAgentDeskSettingsID = in.U32At(8);
    (void)in.U32At(12);  // the whole record must be there
    in.Seek(0);
    return r;
}

void PeripheralConfig::TraceApply(int op, const PeripheralConfig& r, bool known) {
    if (op == 1) EMSTraceMessage("Adding peripheral with peripheral id %d", r.PeripheralID);
    if (op == 3) EMSTraceMessage("Updating peripheral with peripheral id %d", r.PeripheralID);
    if (op == 2 && !known)
        EMSTraceMessage("Unable to delete peripheral object , No peripheral object found for peripheral id %d",
                        r.PeripheralID);
}

void PeripheralConfig::BeforeSend() {
    if (EMSGetTraceMask() & tracebit::TR_PROC_1)
        EMSTraceMessage("Sending reply for ProcessConfigRequestEventMSG peripheral configs");
}

void PeripheralConfig::WriteSlot(BaseMSG& m, uint32_t k, int rt) const {
    namespace E = model::E;
    m.SetUSHORT(E::RecordType, static_cast<uint16_t>(rt), k);
    m.SetUINT(E::ConfigPeripheralID, static_cast<uint32_t>(PeripheralID), k);
    m.SetUINT(E::DefaultAgentDeskSettingsID, DefaultAgentDeskSettingsID, k);
}

const uint8_t* PeripheralConfig::ProcessPeripheralRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                         uint32_t update) {
    if (record == nullptr || end == nullptr || end < record || static_cast<size_t>(end - record) < kRecordSize) {
        model::TraceRecordOverrun(kTableName, record, end);
        return nullptr;
    }
    model::OPCRecordReader in(record, end);
    AgentDeskSettingsConfig::SetPeripheralDefault(static_cast<int32_t>(in.U32At(0)), in.U32At(8));
    return g_Table.Process(op, record, end, update);
}
void PeripheralConfig::InitMap() { g_Table.map.InitMap(kBuckets); }
PeripheralConfig* PeripheralConfig::Find(int32_t id) { return g_Table.map.Find(static_cast<uint32_t>(id)); }
void PeripheralConfig::GetPeripheralList(model::ConfigList<PeripheralConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Table.CopyList(list, [](const PeripheralConfig&) { return true; });
}
void PeripheralConfig::SendConfigPeripheralEvents(int recordType, int32_t sessionID,
                                                  const model::ConfigList<PeripheralConfig>& list) {
    model::ConfigTable<PeripheralConfig>::SendPages(recordType, sessionID, {}, list);
}
void PeripheralConfig::ApplyDeferred() { g_Table.ApplyDeferred(); }
void PeripheralConfig::NotifyConfigClients() { g_Table.NotifyConfigClients(); }
void PeripheralConfig::UpdateACMIClient(int32_t sessionID) { g_Table.UpdateACMIClient(sessionID, {}); }
