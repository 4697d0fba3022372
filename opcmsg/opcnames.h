#pragma once
// Names of the OPC vocabulary for traces, dumps and listings.
#include <cstdint>

// The OPC message type's name; unknown types (107, 108, above 123) give
// "<UNRECOGNIZED Request Type(%d)>" in a buffer of the calling thread, valid until that
// thread's next call.
const char* OPCMessageTypeName(uint32_t type);
// The CSTA_* name of an event type 1 to 212, else "Unknown CSTA Event Type".
const char* CSTAEventTypeName(int32_t type);
// "Static", "Dynamic", else "Unknown".
const char* ConnectionIDDeviceTypeName(int32_t type);
// LOG_IN .. WORK_READY, else "Unknown".
const char* AgentModeName(int32_t mode);
// AS_LOG_IN .. AS_NOT_ACTIVE, else "UNRECOGNIZED-STATE".
const char* AgentStateASName(int32_t state);
