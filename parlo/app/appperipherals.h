#pragma once
// The peripherals the application has seen in OPC's agent and call messages, with their
// internal types, in the order first seen. Application thread only.
#include <cstdint>
#include <vector>

class AppPeripherals {
public:
    // Keeps the first type of an id.
    void Add(uint32_t peripheralID, uint16_t type);
    // -1 on an empty list, the first entry's type for 0xFFFFFFFF, else the id's type or -1.
    int16_t GetType(uint32_t peripheralID) const;
    // The first entry's type; 0xFFFFFFFF when empty.
    uint32_t GetFirstType() const;

private:
    std::vector<uint32_t> m_PeripheralIDs;
    std::vector<uint16_t> m_PeripheralTypes;
};
