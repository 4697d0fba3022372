#pragma once
// OPC table 6 ("SkillGroups"): one record per skill group, keyed by SkillTargetID.
// Locks and ownership (configtable.h): the Process and Get*List calls take the server lock;
// Find expects it held and returns the map's record; lists are the caller's.
#include <cstdint>
#include <memory>
#include <string>

#include "parlo/model/configtable.h"

class SkillGroupConfig : public model::ConfigRecordDefaults<SkillGroupConfig> {
public:
    int32_t SkillTargetID = 0;
    int32_t PeripheralNumber = 0;
    int32_t OldPeripheralNumber = -1;  // the number before the last update
    uint32_t Word8 = 0;                // kept and copied, not interpreted
    uint16_t Priority = 0;
    int32_t MRDomainID = 0;
    uint32_t Word20 = 0;
    uint32_t TressikExcluded = 0;  // nonzero: left out of answers to Tressik clients
    uint32_t Word28 = 0;
    int32_t PeripheralID = 0;
    uint32_t Word36 = 0;
    uint32_t PrecisionQueueID = 0;
    std::string Extension, ConfigParam, String3, Description, PeripheralName, PrecisionQueueName;

    // Parse one record within [record, end), apply it or defer it (Update nonzero). Returns
    // the next record, or null (traced) when the record runs past end.
    [[nodiscard]] static const uint8_t* ProcessSkillGroupRecord(uint32_t op, const uint8_t* record,
                                                                const uint8_t* end, uint32_t update);
    static void InitMap();
    // The map's record, or null; the caller holds the server lock. The map owns it.
    static SkillGroupConfig* Find(int32_t skillTargetID);
    // SkillTargetID of the first group in map order with that number (and PeripheralID,
    // unless -1); -1 when none.
    static int32_t FindSkillTargetID(int32_t peripheralNumber, int32_t peripheralID);
    // Appends copies (the caller's) of the records of that PeripheralID (all when -1).
    static void GetSkillGroupList(int32_t peripheralID, model::ConfigList<SkillGroupConfig>& list);
    static void SendConfigSkillGroupEvents(int recordType, int32_t sessionID, int32_t peripheralID,
                                           const model::ConfigList<SkillGroupConfig>& list,
                                           bool tressik);
    static void ClearList(model::ConfigList<SkillGroupConfig>& list) { list.clear(); }
    static void ApplyDeferred();
    static void NotifyConfigClients();
    static void UpdateACMIClient(int32_t sessionID, int32_t peripheralID, bool tressik);
    // The table itself (the tests and the benchmarks look inside).
    static model::ConfigTable<SkillGroupConfig>& Table();

    // ---- engine hooks (parlo/model/configtable.h) ----
    static constexpr const char* kTableName = "SkillGroupConfig";
    static constexpr uint32_t kMsgMaskBit = configmsgmask::CONFIG_MSG_SKILL_GROUP;
    static constexpr uint32_t kInfoBit = configinfomask::CONFIG_SKILL_GROUP, kBuckets = 32;
    static constexpr uint32_t kKeyElement = elementid::SkillGroupConfigKey;
    static constexpr uint32_t kAnswerType = CONFIG_SKILL_GROUP_EVENT;
    static constexpr bool kSendEmptyPage = true;
    static std::unique_ptr<SkillGroupConfig> Parse(model::OPCRecordReader& in, uint32_t op);
    uint64_t Key() const { return static_cast<uint32_t>(SkillTargetID); }
    std::unique_ptr<SkillGroupConfig> Copy() const { return std::make_unique<SkillGroupConfig>(*this); }
    void UpdateMapRecord(SkillGroupConfig& mapRecord);
    void NoteNoPrevious() { OldPeripheralNumber = PeripheralNumber; }
    bool Accept(const model::PageFilter& f) const;
    void WriteSlot(BaseMSG& msg, uint32_t k, int recordType) const;
    static model::PageFilter FilterFor(const model::ConfigClient& c) {
        return {c.configPeripheralID, c.tressik};
    }
};
