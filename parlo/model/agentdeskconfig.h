#pragma once
// OPC table 12 ("AgentDeskSettings"): named sets of desktop behaviour keyed by
// AgentDeskSettingsID, and each peripheral's default set (from table 11). Updates wait for
// the key only while the server is ACTIVE; otherwise they apply at once and go to nobody.
// Locks and ownership (configtable.h): the Process, Get* and FindAgentDeskSettings calls take
// the server lock; records found are the map's, lists are the caller's.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "parlo/model/configtable.h"

struct AgentDeskSettingsSummary {
    uint32_t AgentDeskSettingsID = 0;
    uint32_t AgentDeskSettingsMask = 0;
    uint32_t WrapupDataIncomingMode = 0;
    uint32_t WrapupDataOutgoingMode = 0;
};

class AgentDeskSettingsConfig : public model::ConfigRecordDefaults<AgentDeskSettingsConfig> {
public:
    uint32_t AgentDeskSettingsID = 0;
    uint32_t AgentDeskSettingsMask = 0;
    uint32_t WrapupDataIncomingMode = 0;
    uint32_t WrapupDataOutgoingMode = 0;
    uint32_t LogoutNonActivityTime = 0;
    uint32_t QualityRecordingRate = 0;
    uint32_t RingNoAnswerTime = 0;
    uint32_t SilentMonitorWarningMessage = 0;
    uint32_t SilentMonitorAudibleIndication = 0;
    uint32_t SupervisorAssistCallMethod = 0;
    uint32_t EmergencyCallMethod = 0;
    uint32_t AutoRecordOnEmergency = 0;
    uint32_t RecordingMode = 0;
    uint32_t WorkModeTimer = 0;
    uint32_t RingNoAnswerDialedNumberID = 0;
    uint16_t RemoteAgentType = 0;  // stored and dumped, never sent
    uint32_t ACDSharedLineUsage = 0;
    uint32_t PlayZipTone = 0;
    std::string DefaultDevicePortAddress;

    // Parse, then defer (Update nonzero and the server ACTIVE) or apply at once. The next
    // record, or null (traced) when it runs past end.
    [[nodiscard]] static const uint8_t* ProcessAgentDeskSettingsRecord(uint32_t op, const uint8_t* record,
                                                                       const uint8_t* end, uint32_t update);
    static void InitMap();
    // The map's record or null; takes the server lock when the caller does not hold it.
    static AgentDeskSettingsConfig* FindAgentDeskSettings(uint32_t id);
    // Sets a peripheral's default (never removed); takes no lock.
    static void SetPeripheralDefault(int32_t peripheralID, uint32_t deskSettingsID);
    // Whether a default is known: for a PeripheralID, its own; for -1, the one default when
    // exactly one peripheral has one. Writes it to `out` when found and out is given.
    [[nodiscard]] static bool GetPeripheralDefault(int32_t peripheralID, uint32_t* out);
    static void GetAgentDeskSettingsList(model::ConfigList<AgentDeskSettingsConfig>& list);
    static void SendConfigAgentDeskSettingsEvents(int recordType, int32_t sessionID,
                                                  const model::ConfigList<AgentDeskSettingsConfig>& list);
    static void GetSummaryList(std::vector<AgentDeskSettingsSummary>& out);
    // The console dump of this record.
    void GetDumpString(std::string& out) const;
    static void ClearList(model::ConfigList<AgentDeskSettingsConfig>& list) { list.clear(); }
    static void ApplyDeferred();
    static void NotifyConfigClients();
    static void UpdateACMIClient(int32_t sessionID);
    static model::ConfigTable<AgentDeskSettingsConfig>& Table();
    // Forgets every default (tests).
    static void ClearPeripheralDefaults();

    // ---- engine hooks ----
    static constexpr const char* kTableName = "AgentDeskSettingsConfig";
    static constexpr uint32_t kMsgMaskBit = configmsgmask::CONFIG_MSG_AGENT_DESK_SETTINGS;
    static constexpr uint32_t kInfoBit = configinfomask::CONFIG_AGENT_DESK_SETTINGS, kBuckets = 17;
    static constexpr uint32_t kKeyElement = elementid::AgentDeskSettingsConfigKey;
    static constexpr uint32_t kAnswerType = CONFIG_AGENT_DESK_SETTINGS_EVENT;
    static constexpr bool kDeferOnlyWhileActive = true;
    static const char* ValidateCaller() { return "ProcessConfigAgentDeskEventMSG"; }
    static std::unique_ptr<AgentDeskSettingsConfig> Parse(model::OPCRecordReader& in, uint32_t op);
    uint64_t Key() const { return AgentDeskSettingsID; }
    std::unique_ptr<AgentDeskSettingsConfig> Copy() const {
        return std::make_unique<AgentDeskSettingsConfig>(*this);
    }
    void UpdateMapRecord(AgentDeskSettingsConfig& m) const {
        const uint32_t op = m.Operation;
        m = *this;
        m.Operation = op;
    }
    void WriteSlot(BaseMSG& msg, uint32_t k, int recordType) const;
};
