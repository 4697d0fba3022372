#pragma once
// OPC table 8 ("Devices"): configured devices keyed by (DeviceType, ID) as one 64-bit key,
// DeviceType in the high half; the map buckets by the ID.
// Locks and ownership (configtable.h): the Process and Get*List calls take the server lock;
// Find expects it held and returns the map's record; lists are the caller's.
#include <cstdint>
#include <memory>
#include <string>

#include "parlo/model/configtable.h"

class DeviceConfig : public model::ConfigRecordDefaults<DeviceConfig> {
public:
    enum : uint16_t { AgentExtension = 4, RoutePoint = 5 };
    uint32_t ID = 0;
    uint16_t DeviceType = 0;
    int32_t PeripheralID = 0;
    int32_t PeripheralNumber = 0;
    std::string DialedNumber, DNIS, Extension, Description;

    static uint64_t MakeKey(uint16_t deviceType, uint32_t id) {
        return static_cast<uint64_t>(deviceType) << 32 | id;
    }
    // Parse, apply or defer; the next record, or null (traced) when it runs past end.
    [[nodiscard]] static const uint8_t* ProcessDeviceRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                            uint32_t update);
    static void InitMap();
    static DeviceConfig* Find(uint16_t deviceType, uint32_t id);
    // Copies (the caller's) of what a query answers: every agent extension, and the route
    // points of that PeripheralID (all when -1); never other types.
    static void GetDeviceList(int32_t peripheralID, model::ConfigList<DeviceConfig>& list);
    static void SendConfigDeviceEvents(int recordType, int32_t sessionID, int32_t peripheralID,
                                       const model::ConfigList<DeviceConfig>& list);
    static void ClearList(model::ConfigList<DeviceConfig>& list) { list.clear(); }
    static void ApplyDeferred();
    static void NotifyConfigClients();
    static void UpdateACMIClient(int32_t sessionID, int32_t peripheralID);
    static model::ConfigTable<DeviceConfig>& Table();

    // ---- engine hooks ----
    static constexpr const char* kTableName = "DeviceConfig";
    static constexpr uint32_t kMsgMaskBit = configmsgmask::CONFIG_MSG_DEVICE;
    static constexpr uint32_t kInfoBit = configinfomask::CONFIG_DEVICE, kBuckets = 1031;
    static constexpr uint32_t kKeyElement = elementid::DeviceConfigKey;
    static constexpr uint32_t kAnswerType = CONFIG_DEVICE_EVENT;
    static constexpr bool kSendEmptyPage = true;
    static std::unique_ptr<DeviceConfig> Parse(model::OPCRecordReader& in, uint32_t op);
    uint64_t Key() const { return MakeKey(DeviceType, ID); }
    std::unique_ptr<DeviceConfig> Copy() const { return std::make_unique<DeviceConfig>(*this); }
    void UpdateMapRecord(DeviceConfig& m) const {
        m.PeripheralID = PeripheralID;
        m.PeripheralNumber = PeripheralNumber;
        m.DialedNumber = DialedNumber;
        m.DNIS = DNIS;
        m.Extension = Extension;
        m.Description = Description;
    }
    // Only route points are filtered.
    bool Accept(const model::PageFilter& f) const {
        return DeviceType != RoutePoint || f.peripheralID == -1 || f.peripheralID == PeripheralID;
    }
    void WriteSlot(BaseMSG& msg, uint32_t k, int recordType) const;
    static model::PageFilter FilterFor(const model::ConfigClient& c) { return {c.configPeripheralID, false}; }
};
