#include "parlo/server/tables.h"

#include "parlo/model/agent.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/agentdeskconfig.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/call.h"
#include "parlo/model/calltypeconfig.h"
#include "parlo/model/configkey.h"
#include "parlo/model/csta.h"
#include "parlo/model/deviceconfig.h"
#include "parlo/model/mrdconfig.h"
#include "parlo/model/mrdomain.h"
#include "parlo/model/peripheralconfig.h"
#include "parlo/model/serviceconfig.h"
#include "parlo/model/skillgroupconfig.h"

// The order, which each table's work fills in here when it lands: CSTA device hash
// tables, connection free list, monitor hash table, agent team hash table, agent hash
// tables, the application's message, server-request and server locks, "SessionMsgLock",
// call list, routing, outstanding OPC requests, ClientCB hash, the application's static
// tables, MR domain hash table, then the configuration maps (agent, skill group, service),
// the configuration key, and the device and call type maps. The object model's ports are
// installed before: the call list asks the server for its CallLock. The ClientCB hash builds
// itself on first use (its init takes the server lock, which does not exist yet here).
void InitServerTables() {
    CTICSTADevice::InitHashTables();
    CTICSTAConnection::InitFreeList();
    CTICSTAMonitor::InitHashTable();
    AgentTeam::InitHashTable();
    Agent::InitHashTables();
    Call::InitCallList();
    MRDomain::InitHashTable();
    AgentConfig::InitMap();
    SkillGroupConfig::InitMap();
    ServiceConfig::InitMap();
    model::ClearConfigKey();
    DeviceConfig::InitMap();
    CallTypeConfig::InitMap();
    // The tables the order above does not name, each sized by its own Part.
    MRDConfig::InitMap();
    PeripheralConfig::InitMap();
    AgentDeskSettingsConfig::InitMap();
}
