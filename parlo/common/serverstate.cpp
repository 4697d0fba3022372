#include "parlo/common/serverstate.h"

const char* ServerStateName(int state) {
    switch (state) {
        case serverstate::INVALID: return "INVALID";
        case serverstate::SHUTDOWN: return "SHUTDOWN";
        case serverstate::IDLE: return "IDLE";
        case serverstate::ACTIVATING: return "ACTIVATING";
        case serverstate::ACTIVE: return "ACTIVE";
        case serverstate::STANDBY: return "STANDBY";
        default: return "?State?";
    }
}
