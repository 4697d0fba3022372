#include "parlo/model/calltypeconfig.h"

namespace {
model::ConfigTable<CallTypeConfig> g_Table;
}

model::ConfigTable<CallTypeConfig>& CallTypeConfig::Table() { return g_Table; }

std::unique_ptr<CallTypeConfig> CallTypeConfig::Parse(model::OPCRecordReader& in, uint32_t) {
    auto r = std::make_unique<CallTypeConfig>();
    r->CallTypeID = static_cast<int32_t>(in.U32At(0));
    r->ServiceLevelThreshold = in.U32At(4);
    r->ServiceLevelType = in.U32At(8);
    in.Seek(12);
    r->EnterpriseName = in.NextString();
    r->Description = in.NextString();
    return r;
}

void CallTypeConfig::WriteSlot(BaseMSG& m, uint32_t k, int rt) const {
    namespace E = model::E;
    m.SetUSHORT(E::RecordType, static_cast<uint16_t>(rt), k);
    m.SetUINT(E::FltCallTypeID, static_cast<uint32_t>(CallTypeID), k);
    m.SetUINT(E::CustomerDefinitionID, 0, k);
    m.SetSTRINGMax(E::EnterpriseName, EnterpriseName, k);
    m.SetSTRINGMax(E::Description, Description, k);
    m.SetUINT(E::ServiceLevelThreshold, ServiceLevelThreshold, k);
    m.SetUINT(E::ServiceLevelType, ServiceLevelType, k);
}

const uint8_t* CallTypeConfig::ProcessCallTypeRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                     uint32_t update) {
    return g_Table.Process(op, record, end, update);
}
void CallTypeConfig::InitMap() { g_Table.map.InitMap(kBuckets); }
CallTypeConfig* CallTypeConfig::Find(int32_t id) { return g_Table.map.Find(static_cast<uint32_t>(id)); }
void CallTypeConfig::GetCallTypeList(model::ConfigList<CallTypeConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Table.CopyList(list, [](const CallTypeConfig&) { return true; });
}
void CallTypeConfig::SendConfigCallTypeEvents(int recordType, int32_t sessionID,
                                              const model::ConfigList<CallTypeConfig>& list) {
    model::ConfigTable<CallTypeConfig>::SendPages(recordType, sessionID, {}, list);
}
void CallTypeConfig::ApplyDeferred() { g_Table.ApplyDeferred(); }
void CallTypeConfig::NotifyConfigClients() { g_Table.NotifyConfigClients(); }
void CallTypeConfig::UpdateACMIClient(int32_t sessionID) { g_Table.UpdateACMIClient(sessionID, {}); }
