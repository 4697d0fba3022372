#pragma once
// The server's states, as its state machine (Server, parlo/server/server.h) keeps them, for the
// layers below it that read the state through their ports.
namespace serverstate {
enum State : int { INVALID = 0, SHUTDOWN = 1, IDLE = 2, ACTIVATING = 3, ACTIVE = 4, STANDBY = 5 };
}  // namespace serverstate

// "INVALID", "SHUTDOWN", "IDLE", "ACTIVATING", "ACTIVE", "STANDBY", else "?State?".
const char* ServerStateName(int state);
