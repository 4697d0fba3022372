#pragma once
// OPC table 14: terminals with their type and addresses, kept in order of the name's bytes.
// Not held until the key: an update is applied and pushed at once, one record per bracket.
// Locks and ownership: the map and the pending list belong to the server lock; the Process
// and Get*List calls take it, the others expect it held. Find returns the map's record;
// lists are the caller's.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "parlo/model/configtable.h"

class TerminalConfig {
public:
    uint32_t TerminalValue = 0;  // kept and copied, not sent or shown
    std::vector<std::string> Addresses;
    std::string TerminalDeviceName;  // the map key
    std::string TerminalTypeName;
    uint32_t TerminalType = 0;
    uint32_t NumInstruments = 0;  // the number of addresses as OPC gave it
    uint32_t Operation = 1;

    static constexpr uint32_t kMsgMaskBit = configmsgmask::CONFIG_MSG_TERMINAL;
    // The protocol names no configuration information bit for terminals: this one starts
    // their CONFIG_BEGIN_EVENT without a key.
    static constexpr uint32_t kInfoBit = 0x100;

    TerminalConfig(uint32_t terminalValue, uint32_t numInstruments, uint32_t terminalType,
                   std::string terminalDeviceName, std::string terminalTypeName, uint32_t operation)
        : TerminalValue(terminalValue),
          TerminalDeviceName(std::move(terminalDeviceName)),
          TerminalTypeName(std::move(terminalTypeName)),
          TerminalType(terminalType),
          NumInstruments(numInstruments),
          Operation(operation) {}

    // The application's terminal handler: reads one OPC record within [record, end) (u32
    // TerminalValue, TerminalType at 8, the address count N at 12, TerminalDeviceName from
    // 16, TerminalTypeName, N address strings); with Update 0 applies it, else pends and
    // pushes it at once. Returns the address after the last address string, or null
    // (traced) when the record, its count included, runs past end.
    [[nodiscard]] static const uint8_t* ProcessTerminalRecord(uint32_t op, uint32_t update,
                                                              const uint8_t* record,
                                                              const uint8_t* end);
    // Applies one record to the map; the caller keeps the record.
    static void ApplyTerminalConfig(const TerminalConfig& record);
    // Appends a record to the pending list, which takes it over.
    static void AddPending(std::unique_ptr<TerminalConfig> record);
    // Applies every pending record, pushes them to the configuration clients, empties the list.
    static void ApplyPending();
    // Appends copies (the caller's) of every record, in name order.
    static void GetTerminalList(model::ConfigList<TerminalConfig>& list);
    static void SendConfigTerminalEvents(int recordType, int32_t sessionID,
                                         const model::ConfigList<TerminalConfig>& list);
    static void ClearList(model::ConfigList<TerminalConfig>& list) { list.clear(); }
    // "%s, %s, termtype:%d\n", then with addresses "Addresses: " each followed by ",", "\n".
    static std::string GetDumpString(const TerminalConfig& record, bool withAddresses);
    static void NotifyConfigClients();
    static void UpdateACMIClient(int32_t sessionID);
    // The stored record of a name, or null (the map owns it).
    static TerminalConfig* Find(const std::string& name);
    // Forgets every terminal (tests).
    static void Clear();
};
