#pragma once
// OPC table 7 ("Services"): one record per service with the skill groups that serve it,
// keyed by SkillTargetID. Members go to clients by the skill group's number.
// Locks and ownership (configtable.h): the Process and Get*List calls take the server lock;
// Find expects it held and returns the map's record; lists are the caller's.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "parlo/model/configtable.h"

struct ServiceMemberEntry {
    int32_t SkillTargetID = 0;  // of the member skill group
    uint32_t Priority = 0;
};

class ServiceConfig : public model::ConfigRecordDefaults<ServiceConfig> {
public:
    int32_t SkillTargetID = 0;
    int32_t PeripheralNumber = 0;
    int32_t OldPeripheralNumber = 0;  // the number before the last update
    uint32_t ServiceLevelThreshold = 0;
    uint32_t ServiceLevelType = 0;
    uint32_t Word16 = 0;  // kept and copied, not interpreted
    int32_t MRDomainID = 0;
    uint32_t Word28 = 0;
    int32_t PeripheralID = 0;
    std::string Extension, ConfigParam, String3, Description, PeripheralName;
    std::vector<ServiceMemberEntry> Members;  // in OPC order

    // Parse, apply or defer (Update nonzero); the address after the members, or null
    // (traced) when the record, its member count included, runs past end.
    [[nodiscard]] static const uint8_t* ProcessServiceRecord(uint32_t op, const uint8_t* record,
                                                             const uint8_t* end, uint32_t update);
    static void InitMap();
    // The map's record, or null (the map owns it; the caller holds the server lock).
    static ServiceConfig* Find(int32_t skillTargetID);
    // Appends copies (the caller's) of the records of that PeripheralID (all when -1).
    static void GetServiceList(int32_t peripheralID, model::ConfigList<ServiceConfig>& list);
    static void SendConfigServiceEvents(int recordType, int32_t sessionID, int32_t peripheralID,
                                        const model::ConfigList<ServiceConfig>& list);
    static void ClearList(model::ConfigList<ServiceConfig>& list) { list.clear(); }
    static void ApplyDeferred();
    static void NotifyConfigClients();
    static void UpdateACMIClient(int32_t sessionID, int32_t peripheralID);
    static model::ConfigTable<ServiceConfig>& Table();

    // ---- engine hooks ----
    static constexpr const char* kTableName = "ServiceConfig";
    static constexpr uint32_t kMsgMaskBit = configmsgmask::CONFIG_MSG_SERVICE;
    static constexpr uint32_t kInfoBit = configinfomask::CONFIG_SERVICE, kBuckets = 32;
    static constexpr uint32_t kKeyElement = elementid::ServiceConfigKey;
    static constexpr uint32_t kAnswerType = CONFIG_SERVICE_EVENT;
    static std::unique_ptr<ServiceConfig> Parse(model::OPCRecordReader& in, uint32_t op);
    uint64_t Key() const { return static_cast<uint32_t>(SkillTargetID); }
    std::unique_ptr<ServiceConfig> Copy() const { return std::make_unique<ServiceConfig>(*this); }
    void UpdateMapRecord(ServiceConfig& mapRecord);
    void NoteNoPrevious() { OldPeripheralNumber = PeripheralNumber; }
    bool Accept(const model::PageFilter& f) const {
        return f.peripheralID == -1 || f.peripheralID == PeripheralID;
    }
    void WriteSlot(BaseMSG& msg, uint32_t k, int recordType) const;
    static model::PageFilter FilterFor(const model::ConfigClient& c) { return {c.configPeripheralID, false}; }
};
