#pragma once
// OPC table 5 ("Agents"): one configuration record per agent, keyed by SkillTargetID, in a
// map of 512 buckets. Applying a record creates or updates the Agent. Updates wait for the
// key only while the server is ACTIVE (and then start the 3-second AgentConfigureUpdate
// timer); a held-back batch is judged for real change, applied, and pushed only where it
// changed something, paged by ten records and by the client version's frame size.
// Locks and ownership (configtable.h): the Process, Get*List and ApplyDeferred calls take
// the server lock; FindAgentConfig expects it held and returns the map's record; lists are
// the caller's.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "parlo/model/configtable.h"

class AgentDeskSettingsConfig;

class AgentConfig {
public:
    int32_t SkillTargetID = 0;
    uint32_t AgentDeskSettingsID = 0;
    uint32_t ConfigWord1 = 0, ConfigWord2 = 0, ConfigWord3 = 0;  // kept, copied, compared
    uint32_t Supervisor = 0;
    int32_t PeripheralID = 0;
    int32_t DepartmentID = 0;
    uint16_t SSOEnabled = 0;
    uint16_t VerificationStatus = 0;
    std::string ConfigString1, ConfigString2, LoginID, ConfigString3, FirstName, LastName, LoginName,
        Description, TerminalDeviceName;
    std::string FirstNameUTF8, LastNameUTF8, LoginNameUTF8;
    std::vector<int32_t> SkillGroupIDs;
    // (MRDomainID, state): held only by a record parsed with N2 above 0.
    bool HasMRDList = false;
    std::vector<std::pair<int32_t, uint16_t>> MRDList;
    std::vector<int32_t> ServiceTypes;
    uint32_t Operation = 1;

    using Set = std::unordered_set<int32_t>;
    using Renames = std::map<std::string, std::string>;  // LoginID -> old LoginID

    // Parse, then defer (Update nonzero and the server ACTIVE; starts the timer) or apply
    // at once. The next record, or null (traced) when the record or one of its counts runs
    // past end.
    [[nodiscard]] static const uint8_t* ProcessAgentRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                           uint32_t update);
    // Tables 1, 2 and 4: apply at once (Update 0) or pend until the key. The next record,
    // or null (traced) when the record runs past end.
    [[nodiscard]] static const uint8_t* ProcessAgentTeamRecord(uint32_t op, const uint8_t* record, const uint8_t* end,
                                                               uint32_t update);
    [[nodiscard]] static const uint8_t* ProcessAgentTeamMemberRecord(uint32_t op, const uint8_t* record,
                                                                     const uint8_t* end, uint32_t update);
    [[nodiscard]] static const uint8_t* ProcessAgentTeamSupervisorRecord(uint32_t op, const uint8_t* record,
                                                                         const uint8_t* end, uint32_t update);

    static void InitMap();
    // The map's record or null; no lock taken (the map owns it).
    static AgentConfig* FindAgentConfig(int32_t skillTargetID);
    // The desk settings of the agent's record, or null (no record, or no such settings).
    static AgentDeskSettingsConfig* GetAgentDeskSettingsID(int32_t skillTargetID);
    // Stores the terminal name in the map's record (the agent event handler).
    static void SetTerminalDeviceName(int32_t skillTargetID, const std::string& name);
    // Copies (the caller's) of the map records of that PeripheralID (all when -1), in map
    // order; the service list only those with an enabled service type.
    static void GetAgentList(int32_t peripheralID, model::ConfigList<AgentConfig>& list);
    static void GetAgentServiceList(int32_t peripheralID, model::ConfigList<AgentConfig>& list);
    // Pages the list into CONFIG_AGENT_EVENT (CONFIG_AGENT_SERVICE_EVENT) messages to one
    // session; *pages counts the pages sent. RecordType -1 takes each record's from its
    // Operation; CHANGE records go only when their SkillTargetID is in `changed`. Returns 0,
    // or 5 when a record cannot fit any page of the session's version (the status its
    // CONFIG_END_EVENT carries).
    [[nodiscard]] static int SendConfigAgentEvents(int recordType, int32_t peripheralID,
                                                   int32_t sessionID,
                                                   const model::ConfigList<AgentConfig>& list,
                                                   const Renames& renames, int* pages,
                                                   const Set& changed);
    [[nodiscard]] static int SendConfigAgentServiceEvents(int recordType, int32_t peripheralID,
                                                          int32_t sessionID,
                                                          const model::ConfigList<AgentConfig>& list,
                                                          int* pages, const Set& changed);
    static void ClearList(model::ConfigList<AgentConfig>& list) { list.clear(); }
    // Applies the deferred list and pushes it (the key, marker -2, server clean-up).
    static void ApplyDeferred();
    // Whether a held-back record tells clients nothing new (false when it is not in the map).
    static bool SkipAgentConfigMsg(const AgentConfig& record);
    static bool SkipAgentServiceConfigMsg(const AgentConfig& record);
    static void UpdateACMIClient(int32_t peripheralID, int32_t sessionID, const Renames& renames,
                                 const Set& changed, const Set& changedServices);
    // The largest page in bytes for a protocol version.
    static int GetMaxMessageSize(uint32_t version);
    // Test tooling: every version's limit becomes `bytes` (0 restores the table), so tests
    // can reach records too large for a page, which the catalogue's fields cannot.
    static void OverrideMaxMessageSize(int bytes);
    static size_t MapSize();
    static size_t DeferredSize();

    // Sets the fields of one page slot (see agentconfig.cpp).
    struct Writer;

private:
    static void Apply(const AgentConfig& record, std::string& oldLoginID);
    void ConvertNames();
    // Write the record into the writer's slot.
    void WriteAgentSlot(Writer& w, int recordType, const std::string& oldLoginID, bool details,
                        bool utf8) const;
    void WriteServiceSlot(Writer& w, int recordType) const;
};
