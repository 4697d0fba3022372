#include "parlo/app/appperipherals.h"

#include <algorithm>

void AppPeripherals::Add(uint32_t peripheralID, uint16_t type) {
    if (std::find(m_PeripheralIDs.begin(), m_PeripheralIDs.end(), peripheralID) != m_PeripheralIDs.end()) return;
    m_PeripheralIDs.push_back(peripheralID);
    m_PeripheralTypes.push_back(type);
}

int16_t AppPeripherals::GetType(uint32_t peripheralID) const {
    if (m_PeripheralIDs.empty()) return -1;
    if (peripheralID == 0xFFFFFFFFu) return static_cast<int16_t>(m_PeripheralTypes.front());
    for (size_t i = 0; i < m_PeripheralIDs.size(); ++i)
        if (m_PeripheralIDs[i] == peripheralID) return static_cast<int16_t>(m_PeripheralTypes[i]);
    return -1;
}

uint32_t AppPeripherals::GetFirstType() const {
    return m_PeripheralTypes.empty() ? 0xFFFFFFFFu : m_PeripheralTypes.front();
}
