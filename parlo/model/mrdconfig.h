#pragma once
// OPC table 13 ("MRDs"): one record per media routing domain, keyed by MRDomainID.
// Locks and ownership (configtable.h): the Process and Get*List calls take the server lock;
// Find expects it held and returns the map's record; lists are the caller's.
#include <cstdint>
#include <memory>
#include <string>

#include "parlo/model/configtable.h"

class MRDConfig : public model::ConfigRecordDefaults<MRDConfig> {
public:
    int32_t MRDomainID = 0;
    uint32_t MaxTaskDuration = 0;
    uint32_t Interruptible = 0;
    std::string PeripheralName;  // the domain's name
    std::string Description;

    // Parse, apply or defer; the next record, or null (traced) when it runs past end.
    [[nodiscard]] static const uint8_t* ProcessMRDRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                         uint32_t update);
    static void InitMap();
    static MRDConfig* Find(int32_t mrDomainID);
    static void GetMRDList(model::ConfigList<MRDConfig>& list);
    static void SendConfigMRDEvents(int recordType, int32_t sessionID, const model::ConfigList<MRDConfig>& list);
    static void ClearList(model::ConfigList<MRDConfig>& list) { list.clear(); }
    static void ApplyDeferred();
    static void NotifyConfigClients();
    static void UpdateACMIClient(int32_t sessionID);
    static model::ConfigTable<MRDConfig>& Table();

    // ---- engine hooks ----
    static constexpr const char* kTableName = "MRDConfig";
    // No key element of its own: CONFIG_MRD makes the begin event carry the five table keys.
    static constexpr uint32_t kMsgMaskBit = configmsgmask::CONFIG_MSG_MRD;
    static constexpr uint32_t kInfoBit = configinfomask::CONFIG_MRD, kBuckets = 17, kKeyElement = 0;
    static constexpr uint32_t kAnswerType = CONFIG_MRD_EVENT;
    static std::unique_ptr<MRDConfig> Parse(model::OPCRecordReader& in, uint32_t op);
    uint64_t Key() const { return static_cast<uint32_t>(MRDomainID); }
    std::unique_ptr<MRDConfig> Copy() const { return std::make_unique<MRDConfig>(*this); }
    void UpdateMapRecord(MRDConfig& m) const {
        m.MaxTaskDuration = MaxTaskDuration;
        m.Interruptible = Interruptible;
        m.PeripheralName = PeripheralName;
        m.Description = Description;
    }
    void WriteSlot(BaseMSG& msg, uint32_t k, int recordType) const;
};
