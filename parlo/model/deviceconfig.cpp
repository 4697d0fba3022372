#include "parlo/model/deviceconfig.h"

namespace {
model::ConfigTable<DeviceConfig> g_Table;
}

model::ConfigTable<DeviceConfig>& DeviceConfig::Table() { return g_Table; }

std::unique_ptr<DeviceConfig> DeviceConfig::Parse(model::OPCRecordReader& in, uint32_t) {
    auto r = std::make_unique<DeviceConfig>();
    r->ID = in.U32At(0);
    r->DeviceType = in.U16At(4);
    r->PeripheralID = static_cast<int32_t>(in.U32At(8));
    r->PeripheralNumber = static_cast<int32_t>(in.U32At(12));
    in.Seek(16);
    r->DialedNumber = in.NextString();
    r->DNIS = in.NextString();
    r->Extension = in.NextString();
    r->Description = in.NextString();
    return r;
}

void DeviceConfig::WriteSlot(BaseMSG& m, uint32_t k, int rt) const {
    namespace E = model::E;
    m.SetUSHORT(E::RecordType, static_cast<uint16_t>(rt), k);
    m.SetUINT(E::FltPeripheralID, static_cast<uint32_t>(PeripheralID), k);
    m.SetUINT(E::PeripheralNumber, static_cast<uint32_t>(PeripheralNumber), k);
    m.SetUSHORT(E::DeviceType, DeviceType, k);
    m.SetUINT(E::MaxQueued, 0, k);
    m.SetUINT(E::FltServiceID, 0, k);
    m.SetSTRINGMax(E::DialedNumberField, DialedNumber, k);
    m.SetSTRINGMax(E::DNISField, DNIS, k);
    m.SetSTRINGMax(E::Extension, Extension, k);
    m.SetSTRINGMax(E::Description, Description, k);
}

const uint8_t* DeviceConfig::ProcessDeviceRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                 uint32_t update) {
    return g_Table.Process(op, record, end, update);
}
void DeviceConfig::InitMap() { g_Table.map.InitMap(kBuckets); }
DeviceConfig* DeviceConfig::Find(uint16_t deviceType, uint32_t id) {
    return g_Table.map.Find(MakeKey(deviceType, id));
}
void DeviceConfig::GetDeviceList(int32_t peripheralID, model::ConfigList<DeviceConfig>& list) {
    model::ServerLockGuard guard(model::ServerLock());
    g_Table.CopyList(list, [&](const DeviceConfig& r) {
        if (r.DeviceType == AgentExtension) return true;
        return r.DeviceType == RoutePoint && (peripheralID == -1 || r.PeripheralID == peripheralID);
    });
}
void DeviceConfig::SendConfigDeviceEvents(int recordType, int32_t sessionID, int32_t peripheralID,
                                          const model::ConfigList<DeviceConfig>& list) {
    model::ConfigTable<DeviceConfig>::SendPages(recordType, sessionID, {peripheralID, false}, list);
}
void DeviceConfig::ApplyDeferred() { g_Table.ApplyDeferred(); }
void DeviceConfig::NotifyConfigClients() { g_Table.NotifyConfigClients(); }
void DeviceConfig::UpdateACMIClient(int32_t sessionID, int32_t peripheralID) {
    g_Table.UpdateACMIClient(sessionID, {peripheralID, false});
}
