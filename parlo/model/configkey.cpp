#include "parlo/model/configkey.h"

#include <cstring>

#include "parlo/model/agentconfig.h"
#include "parlo/model/agentdeskconfig.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/calltypeconfig.h"
#include "parlo/model/configtable.h"
#include "parlo/model/deviceconfig.h"
#include "parlo/model/mrdconfig.h"
#include "parlo/model/peripheralconfig.h"
#include "parlo/model/serviceconfig.h"
#include "parlo/model/skillgroupconfig.h"

namespace model {

namespace {
double g_Key = 0.0;
constexpr size_t kKeyOffset = 40;
}  // namespace

double GetConfigKey() { return g_Key; }
void ClearConfigKey() { g_Key = 0.0; }

const uint8_t* SetConfigKey(uint32_t, const uint8_t* record, const uint8_t* end, uint32_t update) {
    OPCRecordReader in(record, end);
    const uint64_t low = in.U32At(kKeyOffset);
    const uint64_t high = in.U32At(kKeyOffset + 4);
    if (!in.Ok()) {
        TraceRecordOverrun("SetConfigKey", record, end);
        return nullptr;
    }
    const uint64_t bits = high << 32 | low;
    ServerLockGuard guard(ServerLock());
    std::memcpy(&g_Key, &bits, sizeof g_Key);
    if (update != 0) {
        SkillGroupConfig::ApplyDeferred();
        AgentConfig::ApplyDeferred();
        ServiceConfig::ApplyDeferred();
        DeviceConfig::ApplyDeferred();
        CallTypeConfig::ApplyDeferred();
        AgentTeam::ApplyPending();
        MRDConfig::ApplyDeferred();
        PeripheralConfig::ApplyDeferred();
        AgentDeskSettingsConfig::ApplyDeferred();
    }
    return record + kKeyOffset + 8;
}

}  // namespace model
