// The OPC message types as named constants. The sample is typed from the protocol's list of
// OPC types, so a wrong row of opctypes.def fails twice: in the constant and in the name.
#include "opcmsg/opctypes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(OPCTypes, ConstantsAgainstTheProtocolList) {
    struct Case {
        uint32_t constant;
        const char* name;
        uint32_t number;
    } cases[] = {
        {CTI_SET_IDLE_REQ, "CTI_SET_IDLE_REQ", 0},
        {CTI_OK_ACK, "CTI_OK_ACK", 2},
        {CTI_ACTIVE_HEART_BEAT_EVENT, "CTI_ACTIVE_HEART_BEAT_EVENT", 4},
        {CTI_HEART_BEAT_EVENT, "CTI_HEART_BEAT_EVENT", 7},
        {CTI_GET_AGENT_STATE_REQ, "CTI_GET_AGENT_STATE_REQ", 12},
        {CTI_SET_CLIENT_STATUS_REQ, "CTI_SET_CLIENT_STATUS_REQ", 16},
        {CTI_CSTA_MESSAGE, "CTI_CSTA_MESSAGE", 28},
        {CTI_PG_STATUS_EVENT, "CTI_PG_STATUS_EVENT", 39},
        {CTI_BAD_CALL_RESP, "CTI_BAD_CALL_RESP", 48},
        {ARM_MEDIA_LOGIN_REQ, "ARM_MEDIA_LOGIN_REQ", 49},
        {ARM_FAILURE_RESP, "ARM_FAILURE_RESP", 85},
        {CTI_GET_PRE_CALL_REQ, "CTI_GET_PRE_CALL_REQ", 86},
        {CTI_END_TASK_EVENT, "CTI_END_TASK_EVENT", 97},
        {ARM_APP_PATH_UP_REQ, "ARM_APP_PATH_UP_REQ", 98},
        {ARM_APP_PATH_REMOVED_EVENT, "ARM_APP_PATH_REMOVED_EVENT", 105},
        {ACMI_ROUTE_REGISTER_EVENT, "ACMI_ROUTE_REGISTER_EVENT", 106},
        {ACMI_ROUTE_SELECT_EVENT, "ACMI_ROUTE_SELECT_EVENT", 109},
        {ACMI_ROUTE_END_EVENT, "ACMI_ROUTE_END_EVENT", 110},
        {CTI_CALL_TYPE_CHANGED_EVENT, "CTI_CALL_TYPE_CHANGED_EVENT", 111},
        {ARM_GET_AGENT_TASKS_REQ, "ARM_GET_AGENT_TASKS_REQ", 112},
        {ARM_DESKTOP_CONNECTED_IND, "ARM_DESKTOP_CONNECTED_IND", 121},
        {CTI_MAINTENANCE_MODE_REQUEST, "CTI_MAINTENANCE_MODE_REQUEST", 122},
        {CTI_MAINTENANCE_MODE_IN_PROGRESS, "CTI_MAINTENANCE_MODE_IN_PROGRESS", 123},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.constant, c.number) << c.name;
        EXPECT_STREQ(OPCMessageTypeName(c.number), c.name) << c.number;
    }
    // The two ACMI types without a name, and the register request's name in code.
    EXPECT_EQ(ACMI_ROUTE_REGISTER_RESP, 107u);
    EXPECT_EQ(ACMI_ROUTE_REQUEST_EVENT, 108u);
    EXPECT_EQ(ACMI_ROUTE_REGISTER_REQ, 106u);
    EXPECT_STREQ(OPCMessageTypeName(ACMI_ROUTE_REGISTER_RESP), "<UNRECOGNIZED Request Type(107)>");
    EXPECT_STREQ(OPCMessageTypeName(ACMI_ROUTE_REQUEST_EVENT), "<UNRECOGNIZED Request Type(108)>");
    static_assert(sizeof(OPCType) == 1);
    EXPECT_EQ(kOPCMessageClass, 17);
}

// Every row's constant is named as its identifier, by the OPC type names and, for the ARM
// types, by the ARM layouts as well; the numbers rise and none is used twice.
TEST(OPCTypes, EveryConstantIsNamedAsItsIdentifier) {
    int rows = 0;
    int64_t previous = -1;
#define OPC_TYPE(number, name, family)                                \
    EXPECT_STREQ(OPCMessageTypeName(name), #name);                     \
    if (std::string(#family) == "Arm") {                               \
        EXPECT_EQ(ARMMsgTypeName(name), #name);                        \
    }                                                                  \
    EXPECT_GT(static_cast<int64_t>(name), previous) << #name;          \
    previous = name;                                                   \
    ++rows;
#define OPC_UNNAMED_TYPE(number, name, family)                  \
    EXPECT_GT(static_cast<int64_t>(name), previous) << #name;   \
    EXPECT_NE(ACMILayout(name), nullptr) << #name;              \
    previous = name;
#include "opcmsg/opctypes.def"
#undef OPC_TYPE
#undef OPC_UNNAMED_TYPE
    EXPECT_EQ(rows, 122);
}

}  // namespace
