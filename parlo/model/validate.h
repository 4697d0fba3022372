#pragma once
// The one check of a message before it is sent to clients, used by the model, the session
// layer and the application.
#include <cstdint>

class BaseMSG;

// Checks msg for sending at protocol version 24. 1 valid; 0 invalid, after the three-line
// "INVALID MESSAGE" warning naming `name`, the status and the failing element. The message
// stays the caller's.
[[nodiscard]] int ValidateMessage(const char* name, BaseMSG& msg);
