#pragma once
// The configuration key: one 64-bit float for every table, 0.0 until the first table-10
// record. A table-10 record with Update ends a batch: the deferred tables are applied and
// pushed in a fixed order (skill groups, agents, services, devices, call types, agent teams,
// MRDs, peripherals, desk settings), each CONFIG_BEGIN_EVENT carrying the new key.
#include <cstdint>

namespace model {

// Table 10's record parser: stores the little-endian f64 at offset 40 and, when update is
// nonzero, flushes (server lock inside). The record is read within [record, end); returns
// record + 48, or null (traced) when the key lies past end. The Operation is not used.
[[nodiscard]] const uint8_t* SetConfigKey(uint32_t op, const uint8_t* record, const uint8_t* end, uint32_t update);
// The key as 0.0 (server construction; no lock).
void ClearConfigKey();

// The key; read under the server lock by the flushes and the query answers.
double GetConfigKey();
inline double GetServiceConfigKey() { return GetConfigKey(); }
inline double GetSkillGroupConfigKey() { return GetConfigKey(); }
inline double GetAgentConfigKey() { return GetConfigKey(); }
inline double GetDeviceConfigKey() { return GetConfigKey(); }
inline double GetCallTypeConfigKey() { return GetConfigKey(); }
inline double GetPeripheralConfigKey() { return GetConfigKey(); }
inline double GetAgentDeskSettingsConfigKey() { return GetConfigKey(); }
inline double GetMRDConfigKey() { return GetConfigKey(); }

}  // namespace model
