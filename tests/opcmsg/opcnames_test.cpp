// The names of the OPC vocabulary.
#include "opcmsg/opcnames.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

TEST(OPCNames, MessageTypesAndTheirFallback) {
    EXPECT_STREQ(OPCMessageTypeName(0), "CTI_SET_IDLE_REQ");
    EXPECT_STREQ(OPCMessageTypeName(28), "CTI_CSTA_MESSAGE");
    EXPECT_STREQ(OPCMessageTypeName(106), "ACMI_ROUTE_REGISTER_EVENT");
    EXPECT_STREQ(OPCMessageTypeName(109), "ACMI_ROUTE_SELECT_EVENT");
    EXPECT_STREQ(OPCMessageTypeName(123), "CTI_MAINTENANCE_MODE_IN_PROGRESS");
    EXPECT_STREQ(OPCMessageTypeName(107), "<UNRECOGNIZED Request Type(107)>");
    EXPECT_STREQ(OPCMessageTypeName(108), "<UNRECOGNIZED Request Type(108)>");
    EXPECT_STREQ(OPCMessageTypeName(124), "<UNRECOGNIZED Request Type(124)>");
    EXPECT_STREQ(OPCMessageTypeName(200), "<UNRECOGNIZED Request Type(200)>");
}

TEST(OPCNames, CSTAEventTypesAndTheGaps) {
    EXPECT_STREQ(CSTAEventTypeName(1), "CSTA_ALTERNATE_CALL");
    EXPECT_STREQ(CSTAEventTypeName(29), "CSTA_QUERY_DND");
    EXPECT_STREQ(CSTAEventTypeName(53), "CSTA_UNIVERSAL_FAILURE_CONF");
    EXPECT_STREQ(CSTAEventTypeName(160), "CSTA_AGENT_GREETING_CONTROL_REQ");
    EXPECT_STREQ(CSTAEventTypeName(212), "CSTA_RECORDING_STOP_REQ_CONF");
    for (int gap : {-1, 0, 155, 156, 157, 161, 200, 213})
        EXPECT_STREQ(CSTAEventTypeName(gap), "Unknown CSTA Event Type") << gap;
}

TEST(OPCNames, DeviceTypesModesAndStates) {
    EXPECT_STREQ(ConnectionIDDeviceTypeName(0), "Static");
    EXPECT_STREQ(ConnectionIDDeviceTypeName(1), "Dynamic");
    EXPECT_STREQ(ConnectionIDDeviceTypeName(-1), "Unknown");
    EXPECT_STREQ(AgentModeName(0), "LOG_IN");
    EXPECT_STREQ(AgentModeName(5), "WORK_READY");
    EXPECT_STREQ(AgentModeName(6), "Unknown");
    EXPECT_STREQ(AgentStateASName(3), "AS_AVAILABLE");
    EXPECT_STREQ(AgentStateASName(14), "AS_NOT_ACTIVE");
    EXPECT_STREQ(AgentStateASName(15), "UNRECOGNIZED-STATE");
    EXPECT_STREQ(AgentStateASName(-1), "UNRECOGNIZED-STATE");
}

// The fallback text lives in a buffer of the calling thread: another thread naming other
// types at the same time never changes it.
TEST(OPCNames, FallbackBufferBelongsToEachThread) {
    const char* mine = OPCMessageTypeName(300);
    std::thread other([] {
        for (int i = 0; i < 20000; ++i) {
            const std::string expected = "<UNRECOGNIZED Request Type(" + std::to_string(1000 + i % 7) + ")>";
            ASSERT_EQ(OPCMessageTypeName(1000 + i % 7), expected);
        }
    });
    for (int i = 0; i < 20000; ++i) ASSERT_STREQ(OPCMessageTypeName(400), "<UNRECOGNIZED Request Type(400)>");
    other.join();
    EXPECT_STREQ(mine, "<UNRECOGNIZED Request Type(400)>");  // same thread, asked again
}

}  // namespace
