#pragma once
// Helpers the call-control handlers share with the application's other handlers: the
// instrument a request acts from when the client named none, the tag of OPC request traces,
// and the control-failure answer by session ID.
#include <cstdint>
#include <string>

class Call;

// The instrument of `call` (may be null): the device ID of an active connection of the call
// at a device with an agent, empty when none. With EMS trace mask TR_PROC_6 it is traced
// under `label`. `out` is always set.
void DefaultCallInstrument(Call* call, std::string& out, const char* label);

// "text - SessionID n:" with the text cut to its first 99 characters and the whole cut to
// 99 characters.
std::string MakeSessionTraceTag(const char* text, int32_t sessionID);

// CONTROL_FAILURE_CONF {invokeID, failureCode, peripheralErrorCode, the WEXA CIL client ID
// when `wexaCILClientID` is neither null nor empty} to the session; failure code 297 goes
// as FAILURE_CONF 73 (the session layer's sender decides). Takes the session layer's master
// lock and the session's lock: the caller holds neither. Returns 1 when sent, 0 when the
// session is gone (traced) or the message does not validate.
int SendControlFailure(int32_t sessionID, uint32_t invokeID, uint32_t failureCode,
                       uint32_t peripheralErrorCode, const char* wexaCILClientID);
