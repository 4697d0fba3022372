#include "parlo/model/mrdconfig.h"

namespace {
model::ConfigTable<MRDConfig> g_Table;
}

model::ConfigTable<MRDConfig>& MRDConfig::Table() { return g_Table; }

std::unique_ptr<MRDConfig> MRDConfig::Parse(model::OPCRecordReader& in, uint32_t) {
    auto r = std::make_unique<MRDConfig>();
    r->MRDomainID = static_cast<int32_t>(in.U32At(0));
    r->MaxTaskDuration = in.U32At(4);
    r->Interruptible = in.U32At(8);
    in.Seek(12);
    r->PeripheralName = in.NextString();
    r->Description = in.NextString();
    return r;
}

void MRDConfig::WriteSlot(BaseMSG& m, uint32_t k, int rt) const {
    namespace E = model::E;
    m.SetUSHORT(E::RecordType, static_cast<uint16_t>(rt), k);
    m.SetUINT(E::FltMRDomainID, static_cast<uint32_t>(MRDomainID), k);
    m.SetSTRINGMax(E::PeripheralName, PeripheralName, k);
    m.SetSTRINGMax(E::Description, Description, k);
    model::SetConfigNumber(m, E::FltMaxTaskDuration, MaxTaskDuration, k);
    model::SetConfigNumber(m, E::FltInterruptible, Interruptible, k);
}

const uint8_t* MRDConfig::ProcessMRDRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                           uint32_t update) {
    return g_Table.Process(op, record, end, update);
}
void MRDConfig::InitMap() { g_Table.map.InitMap(kBuckets); }
MRDConfig* MRDConfig::Find(int32_t id) { return g_Table.map.Find(static_cast<uint32_t>(id)); }
void MRDConfig::GetMRDList(model::ConfigList<MRDConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Table.CopyList(list, [](const MRDConfig&) { return true; });
}
void MRDConfig::SendConfigMRDEvents(int recordType, int32_t sessionID, const model::ConfigList<MRDConfig>& list) {
    model::ConfigTable<MRDConfig>::SendPages(recordType, sessionID, {}, list);
}
void MRDConfig::ApplyDeferred() { g_Table.ApplyDeferred(); }
void MRDConfig::NotifyConfigClients() { g_Table.NotifyConfigClients(); }
void MRDConfig::UpdateACMIClient(int32_t sessionID) { g_Table.UpdateACMIClient(sessionID, {}); }
