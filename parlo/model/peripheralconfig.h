#pragma once
// OPC table 11 ("PeripheralConfigs"), the table's own part: each peripheral's default desk
// settings, so that clients can be told them. The intake sets the server's client type and
// multiline flag itself; the parser sets the desk-settings default before the table rules.
// Locks and ownership (configtable.h): the Process and Get*List calls take the server lock;
// Find expects it held and returns the map's record; lists are the caller's.
#include <cstdint>
#include <memory>

#include "parlo/model/configtable.h"

class PeripheralConfig : public model::ConfigRecordDefaults<PeripheralConfig> {
public:
    int32_t PeripheralID = 0;
    uint32_t DefaultAgentDeskSettingsID = 0;

    static constexpr size_t kRecordSize = 16;
    // Sets the peripheral's desk-settings default at once, then parses, applies or defers
    // the 16-byte record. Returns the record's own address (the intake steps 16 bytes), or
    // null (traced) when fewer than 16 bytes remain.
    [[nodiscard]] static const uint8_t* ProcessPeripheralRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                                uint32_t update);
    static void InitMap();
    static PeripheralConfig* Find(int32_t peripheralID);
    static void GetPeripheralList(model::ConfigList<PeripheralConfig>& list);
    static void SendConfigPeripheralEvents(int recordType, int32_t sessionID,
                                           const model::ConfigList<PeripheralConfig>& list);
    static void ClearList(model::ConfigList<PeripheralConfig>& list) { list.clear(); }
    static void ApplyDeferred();
    static void NotifyConfigClients();
    static void UpdateACMIClient(int32_t sessionID);
    static model::ConfigTable<PeripheralConfig>& Table();

    // ---- engine hooks ----
    static constexpr const char* kTableName = "PeripheralConfig";
    static constexpr uint32_t kMsgMaskBit = configmsgmask::CONFIG_MSG_PERIPHERAL;
    static constexpr uint32_t kInfoBit = configinfomask::CONFIG_PERIPHERAL, kBuckets = 17;
    static constexpr uint32_t kKeyElement = elementid::PeripheralConfigKey;
    static constexpr uint32_t kAnswerType = CONFIG_PERIPHERAL_EVENT;
    static std::unique_ptr<PeripheralConfig> Parse(model::OPCRecordReader& in, uint32_t op);
    uint64_t Key() const { return static_cast<uint32_t>(PeripheralID); }
    std::unique_ptr<PeripheralConfig> Copy() const { return std::make_unique<PeripheralConfig>(*this); }
    void UpdateMapRecord(PeripheralConfig& m) const { m.DefaultAgentDeskSettingsID = DefaultAgentDeskSettingsID; }
    void WriteSlot(BaseMSG& msg, uint32_t k, int recordType) const;
    static void TraceApply(int op, const PeripheralConfig& r, bool known);
    static void BeforeSend();
};
