#include "parlo/model/serviceconfig.h"

#include "parlo/model/skillgroupconfig.h"

namespace {
model::ConfigTable<ServiceConfig> g_Table;
constexpr uint32_t kMaxMembersSent = 10;
}  // namespace

model::ConfigTable<ServiceConfig>& ServiceConfig::Table() { return g_Table; }

std::unique_ptr<ServiceConfig> ServiceConfig::Parse(model::OPCRecordReader& in, uint32_t) {
    auto r = std::make_unique<ServiceConfig>();
    r->SkillTargetID = static_cast<int32_t>(in.U32At(0));
    r->PeripheralNumber = static_cast<int32_t>(in.U32At(4));
    r->ServiceLevelThreshold = in.U32At(8);
    r->ServiceLevelType = in.U32At(12);
    r->Word16 = in.U32At(16);
    const uint32_t members = in.U32At(20);
    r->MRDomainID = static_cast<int32_t>(in.U32At(24));
    r->Word28 = in.U32At(28);
    r->PeripheralID = static_cast<int32_t>(in.U32At(32));
    in.Seek(36);
    r->Extension = in.NextString();
    r->ConfigParam = in.NextString();
    r->String3 = in.NextString();
    r->Description = in.NextString();
    r->PeripheralName = in.NextString();
    // The count comes from OPC: it must fit the body before it sizes anything.
    if (!in.Fits(members, 8)) {
        in.Fail();
        return nullptr;
    }
    r->Members.reserve(members);
    for (uint32_t i = 0; i < members; ++i) {
        ServiceMemberEntry m;
        m.SkillTargetID = static_cast<int32_t>(in.NextU32());
        m.Priority = in.NextU32();
        r->Members.push_back(m);
    }
    return r;
}

void ServiceConfig::UpdateMapRecord(ServiceConfig& mapRecord) {
    OldPeripheralNumber = mapRecord.PeripheralNumber;
    ServiceConfig copy = *this;
    copy.SkillTargetID = mapRecord.SkillTargetID;
    copy.Operation = mapRecord.Operation;
    mapRecord = std::move(copy);
}

void ServiceConfig::WriteSlot(BaseMSG& m, uint32_t k, int rt) const {
    namespace E = model::E;
    m.SetUSHORT(E::RecordType, static_cast<uint16_t>(rt), k);
    if (rt == 1 && OldPeripheralNumber != PeripheralNumber)
        m.SetUINT(E::OldPeripheralNumber, static_cast<uint32_t>(OldPeripheralNumber), k);
    m.SetUINT(E::FltPeripheralID, static_cast<uint32_t>(PeripheralID), k);
    m.SetUINT(E::PeripheralNumber, static_cast<uint32_t>(PeripheralNumber), k);
    m.SetUINT(E::MaxQueued, 0, k);
    m.SetSTRINGMax(E::Extension, Extension, k);
    m.SetUINT(E::ServiceSkillTargetID, static_cast<uint32_t>(SkillTargetID), k);
    m.SetSTRING(E::PeripheralName, PeripheralName, k);
    m.SetSTRING(E::Description, Description, k);
    m.SetUINT(E::ServiceLevelThreshold, ServiceLevelThreshold, k);
    m.SetUINT(E::ServiceLevelType, ServiceLevelType, k);
    m.SetUINT(E::FltMRDomainID, static_cast<uint32_t>(MRDomainID), k);
    m.SetSTRINGMax(E::ConfigParam, ConfigParam, k);
    uint32_t written = 0;
    for (uint32_t j = 0; j < Members.size() && j < kMaxMembersSent; ++j) {
        const SkillGroupConfig* group = SkillGroupConfig::Find(Members[j].SkillTargetID);
        if (group == nullptr) {
            EMSTraceMessage("ServiceConfig::UpdateACMIClient SkillGroup not found for ServiceMember = %d",
                            Members[j].SkillTargetID);
            continue;
        }
        // A missing group leaves its occurrence empty: members keep their positions.
        m.SetUINT(E::ServiceMember, static_cast<uint32_t>(group->PeripheralNumber), k * 10 + j);
        m.SetUSHORT(E::ServicePriority, static_cast<uint16_t>(Members[j].Priority), k * 10 + j);
        ++written;
    }
    m.SetUSHORT(E::NumServiceMembers, static_cast<uint16_t>(written), k);
}

const uint8_t* ServiceConfig::ProcessServiceRecord(uint32_t op, const uint8_t* record,
                                                   const uint8_t* end, uint32_t update) {
    return g_Table.Process(op, record, end, update);
}
void ServiceConfig::InitMap() { g_Table.map.InitMap(kBuckets); }
ServiceConfig* ServiceConfig::Find(int32_t skillTargetID) {
    return g_Table.map.Find(static_cast<uint32_t>(skillTargetID));
}
void ServiceConfig::GetServiceList(int32_t peripheralID, model::ConfigList<ServiceConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Table.CopyList(list, [&](const ServiceConfig& r) {
        return peripheralID == -1 || r.PeripheralID == peripheralID;
    });
}
void ServiceConfig::SendConfigServiceEvents(int recordType, int32_t sessionID, int32_t peripheralID,
                                            const model::ConfigList<ServiceConfig>& list) {
    model::ConfigTable<ServiceConfig>::SendPages(recordType, sessionID, {peripheralID, false}, list);
}
void ServiceConfig::ApplyDeferred() { g_Table.ApplyDeferred(); }
void ServiceConfig::NotifyConfigClients() { g_Table.NotifyConfigClients(); }
void ServiceConfig::UpdateACMIClient(int32_t sessionID, int32_t peripheralID) {
    g_Table.UpdateACMIClient(sessionID, {peripheralID, false});
}
