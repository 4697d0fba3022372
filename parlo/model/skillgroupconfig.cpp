#include "parlo/model/skillgroupconfig.h"


namespace {
model::ConfigTable<SkillGroupConfig> g_Table;
}

model::ConfigTable<SkillGroupConfig>& SkillGroupConfig::Table() { return g_Table; }

std::unique_ptr<SkillGroupConfig> SkillGroupConfig::Parse(model::OPCRecordReader& in, uint32_t) {
    auto r = std::make_unique<SkillGroupConfig>();
    r->SkillTargetID = static_cast<int32_t>(in.U32At(0));
    r->PeripheralNumber = static_cast<int32_t>(in.U32At(4));
    r->Word8 = in.U32At(8);
    r->Priority = in.U16At(12);
    r->MRDomainID = static_cast<int32_t>(in.U32At(16));
    r->Word20 = in.U32At(20);
    r->TressikExcluded = in.U32At(24);
    r->Word28 = in.U32At(28);
    r->PeripheralID = static_cast<int32_t>(in.U32At(32));
    r->Word36 = in.U32At(36);
    r->PrecisionQueueID = in.U32At(40);
    in.Seek(44);
    r->Extension = in.NextString();
    r->ConfigParam = in.NextString();
    r->String3 = in.NextString();
    r->Description = in.NextString();
    r->PeripheralName = in.NextString();
    r->PrecisionQueueName = in.NextString();
    return r;
}

void SkillGroupConfig::UpdateMapRecord(SkillGroupConfig& mapRecord) {
    // The held-back record learns the number it replaces, so that its push carries
    // OldPeripheralNumber only when the number changed.
    OldPeripheralNumber = mapRecord.PeripheralNumber;
    SkillGroupConfig copy = *this;
    copy.SkillTargetID = mapRecord.SkillTargetID;
    copy.Operation = mapRecord.Operation;
    mapRecord = copy;
}

bool SkillGroupConfig::Accept(const model::PageFilter& f) const {
    if (f.peripheralID != -1 && f.peripheralID != PeripheralID) return false;
    return !(f.tressik && TressikExcluded != 0);
}

void SkillGroupConfig::WriteSlot(BaseMSG& m, uint32_t k, int rt) const {
    namespace E = model::E;
    m.SetUSHORT(E::RecordType, static_cast<uint16_t>(rt), k);
    if (rt == 1 && OldPeripheralNumber != PeripheralNumber)
        m.SetUINT(E::OldPeripheralNumber, static_cast<uint32_t>(OldPeripheralNumber), k);
    m.SetUINT(E::FltPeripheralID, static_cast<uint32_t>(PeripheralID), k);
    m.SetUINT(E::PeripheralNumber, static_cast<uint32_t>(PeripheralNumber), k);
    m.SetUSHORT(E::FltSkillGroupPriority, Priority, k);
    m.SetUINT(E::SkillGroupSkillTargetID, static_cast<uint32_t>(SkillTargetID), k);
    m.SetBOOL(E::AutoWork, 0, k);
    m.SetSTRINGMax(E::Extension, Extension, k);
    m.SetSTRINGMax(E::PeripheralName, PeripheralName, k);
    m.SetSTRINGMax(E::Description, Description, k);
    m.SetSTRINGMax(E::ConfigParam, ConfigParam, k);
    m.SetUINT(E::FltMRDomainID, static_cast<uint32_t>(MRDomainID), k);
    m.SetUINT(E::FltPrecisionQueueID, PrecisionQueueID, k);
    m.SetSTRINGMax(E::FltPrecisionQueueName, PrecisionQueueName, k);
}

const uint8_t* SkillGroupConfig::ProcessSkillGroupRecord(uint32_t op, const uint8_t* record,
                                                         const uint8_t* end, uint32_t update) {
    return g_Table.Process(op, record, end, update);
}

void SkillGroupConfig::InitMap() { g_Table.map.InitMap(kBuckets); }

SkillGroupConfig* SkillGroupConfig::Find(int32_t skillTargetID) {
    return g_Table.map.Find(static_cast<uint32_t>(skillTargetID));
}

int32_t SkillGroupConfig::FindSkillTargetID(int32_t peripheralNumber, int32_t peripheralID) {
    int32_t found = -1;
    g_Table.map.ForEach([&](const SkillGroupConfig& r) {
        if (found == -1 && r.PeripheralNumber == peripheralNumber &&
            (peripheralID == -1 || r.PeripheralID == peripheralID))
            found = r.SkillTargetID;
    });
    return found;
}

void SkillGroupConfig::GetSkillGroupList(int32_t peripheralID, model::ConfigList<SkillGroupConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Table.CopyList(list, [&](const SkillGroupConfig& r) {
        return peripheralID == -1 || r.PeripheralID == peripheralID;
    });
}

void SkillGroupConfig::SendConfigSkillGroupEvents(int recordType, int32_t sessionID, int32_t peripheralID,
                                                  const model::ConfigList<SkillGroupConfig>& list,
                                                  bool tressik) {
    model::ConfigTable<SkillGroupConfig>::SendPages(recordType, sessionID, {peripheralID, tressik}, list);
}

void SkillGroupConfig::ApplyDeferred() { g_Table.ApplyDeferred(); }
void SkillGroupConfig::NotifyConfigClients() { g_Table.NotifyConfigClients(); }
void SkillGroupConfig::UpdateACMIClient(int32_t sessionID, int32_t peripheralID, bool tressik) {
    g_Table.UpdateACMIClient(sessionID, {peripheralID, tressik});
}
