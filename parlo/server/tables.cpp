#include "parlo/server/tables.h"

// The order, which each table's work fills in here when it lands: CSTA device hash
// tables, connection free list, monitor hash table, agent team hash table, agent hash
// tables, the application's message, server-request and server locks, "SessionMsgLock",
// call list, routing, outstanding OPC requests, ClientCB hash, the application's static
// tables, MR domain hash table, then the configuration maps (agent, skill group, service),
// the configuration key, and the device and call type maps.
void InitServerTables() {}
