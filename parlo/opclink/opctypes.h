#pragma once
// The OPC message types that the server core sends or handles itself (their names:
// OPCMessageTypeName).
#include <cstdint>

#include "opcmsg/opcnames.h"

// The OPC message types the server core sends or handles itself.
enum OPCType : uint8_t {
    CTI_SET_IDLE_REQ = 0,
    CTI_SET_ACTIVE_REQ = 1,
    CTI_OK_ACK = 2,
    CTI_ERROR_ACK = 3,
    CTI_ACTIVE_HEART_BEAT_EVENT = 4,
    CTI_CONFIGURE_REQ = 5,
    CTI_TIME_NOTIFICATION_EVENT = 6,
    CTI_HEART_BEAT_EVENT = 7,
    CTI_GET_AGENT_STATE_REQ = 12,
    CTI_SET_CLIENT_STATUS_REQ = 16,
    CTI_GET_AGENT_STATS_REQ = 18,
    CTI_GET_GROUP_STATS_REQ = 20,
    CTI_CSTA_MESSAGE = 28,
    CTI_SEND_CALL_DATA_IND = 29,
    CTI_SET_CALL_DATA_REQ = 30,
    CTI_RELEASE_CALL_REQ = 32,
    CTI_VALIDATE_CALL_REQ = 37,
    CTI_SET_APP_DATA_REQ = 41,
    CTI_SET_DEVICE_ATTRIBUTES_REQ = 45,
    CTI_BAD_CALL_REQ = 47,
    CTI_GET_PRE_CALL_REQ = 86,
    CTI_MAINTENANCE_MODE_REQUEST = 122,
    CTI_MAINTENANCE_MODE_IN_PROGRESS = 123,
};

// The class of every message to and from the OPC.
constexpr uint8_t kOPCMessageClass = 17;
