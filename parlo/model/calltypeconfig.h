#pragma once
// OPC table 9 ("CallTypes"): one record per call type, keyed by CallTypeID; no filter.
// Locks and ownership (configtable.h): the Process and Get*List calls take the server lock;
// Find expects it held and returns the map's record; lists are the caller's.
#include <cstdint>
#include <memory>
#include <string>

#include "parlo/model/configtable.h"

class CallTypeConfig : public model::ConfigRecordDefaults<CallTypeConfig> {
public:
    int32_t CallTypeID = 0;
    uint32_t ServiceLevelThreshold = 0;
    uint32_t ServiceLevelType = 0;
    std::string EnterpriseName, Description;

    // Parse, apply or defer; the next record, or null (traced) when it runs past end.
    [[nodiscard]] static const uint8_t* ProcessCallTypeRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                              uint32_t update);
    static void InitMap();
    static CallTypeConfig* Find(int32_t callTypeID);
    static void GetCallTypeList(model::ConfigList<CallTypeConfig>& list);
    static void SendConfigCallTypeEvents(int recordType, int32_t sessionID,
                                         const model::ConfigList<CallTypeConfig>& list);
    static void ClearList(model::ConfigList<CallTypeConfig>& list) { list.clear(); }
    static void ApplyDeferred();
    static void NotifyConfigClients();
    static void UpdateACMIClient(int32_t sessionID);
    static model::ConfigTable<CallTypeConfig>& Table();

    // ---- engine hooks ----
    static constexpr const char* kTableName = "CallTypeConfig";
    static constexpr uint32_t kMsgMaskBit = configmsgmask::CONFIG_MSG_CALL_TYPE;
    static constexpr uint32_t kInfoBit = configinfomask::CONFIG_CALL_TYPE, kBuckets = 37;
    static constexpr uint32_t kKeyElement = elementid::CallTypeConfigKey;
    static constexpr uint32_t kAnswerType = CONFIG_CALL_TYPE_EVENT;
    static std::unique_ptr<CallTypeConfig> Parse(model::OPCRecordReader& in, uint32_t op);
    uint64_t Key() const { return static_cast<uint32_t>(CallTypeID); }
    std::unique_ptr<CallTypeConfig> Copy() const { return std::make_unique<CallTypeConfig>(*this); }
    void UpdateMapRecord(CallTypeConfig& m) const {
        m.EnterpriseName = EnterpriseName;
        m.Description = Description;
        m.ServiceLevelThreshold = ServiceLevelThreshold;
        m.ServiceLevelType = ServiceLevelType;
    }
    void WriteSlot(BaseMSG& msg, uint32_t k, int recordType) const;
};
