#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ctimsg/valuenames.h"

namespace {

TEST(ValueNames, KnownAndUnknownValues) {
    struct Case {
        const char* what;
        std::string got;
        const char* want;
    };
    const Case cases[] = {
        {"AgentStateName(0)", AgentStateName(0), "LOGIN"},
        {"AgentStateName(9)", AgentStateName(9), "UNKNOWN"},
        {"AgentStateName(14)", AgentStateName(14), "NOT_ACTIVE"},
        {"AgentStateName(15)", AgentStateName(15), "UNKNOWN AGENT STATE 15"},
        {"AgentStateName(-1)", AgentStateName(-1), "UNKNOWN AGENT STATE -1"},
        {"CallTypeName(65535)", CallTypeName(65535), "NULL_CALLTYPE"},
        {"CallTypeName(45)", CallTypeName(45), "DBCD_PULL"},
        {"CallTypeName(46)", CallTypeName(46), "UNKNOWN CALL TYPE 46"},
        {"EventCauseName(65535)", EventCauseName(65535), "CEC_NONE"},
        {"EventCauseName(61)", EventCauseName(61), "CEC_SNAPSHOT"},
        {"EventCauseName(62)", EventCauseName(62), "UNKNOWN EVENT CAUSE 62"},
        {"EventCauseName(999)", EventCauseName(999), "UNKNOWN EVENT CAUSE 999"},
        {"EventCauseName(1000)", EventCauseName(1000), "CECX_BASE_VALUE"},
        {"EventCauseName(1066)", EventCauseName(1066), "CECX_DBCD_PICK_PULL_ERROR"},
        {"EventCauseName(1067)", EventCauseName(1067), "UNKNOWN EVENT CAUSE 1067"},
        {"FailureCodeName(80)", FailureCodeName(80), "CF_ROUTING_ERROR"},
        {"FailureCodeName(81)", FailureCodeName(81), "UNKNOWN FAILURE CODE 81"},
        {"FailureCodeName(255)", FailureCodeName(255), "UNKNOWN FAILURE CODE 255"},
        {"FailureCodeName(256)", FailureCodeName(256), "CF_INVALID_AGENT_ID_SPECIFIED"},
        {"FailureCodeName(297)", FailureCodeName(297), "CF_ECC_TOO_MUCH_DATA"},
        {"FailureCodeName(298)", FailureCodeName(298), "UNKNOWN FAILURE CODE 298"},
        {"FailureCodeName(1000)", FailureCodeName(1000), "UNKNOWN FAILURE CODE 1000"},
        {"FailureCodeName(1001)", FailureCodeName(1001), "CF_UNKNOWN_INTERFACE_CTRLR_ID"},
        {"FailureCodeName(1015)", FailureCodeName(1015), "CF_RC_SERVICE_INACTIVATE_PIM"},
        {"FailureCodeName(1016)", FailureCodeName(1016), "UNKNOWN FAILURE CODE 1016"},
        {"PeripheralTypeName(0)", PeripheralTypeName(0), "N/A"},
        {"PeripheralTypeName(65535)", PeripheralTypeName(65535), "N/A"},
        {"PeripheralTypeName(27)", PeripheralTypeName(27), "SYSTEM PG/Sorvik"},
        {"PeripheralTypeName(28)", PeripheralTypeName(28), "UNKNOWN PERIPHERAL TYPE 28"},
        {"LocalConnectionStateName(65535)", LocalConnectionStateName(65535), "LCS_NONE"},
        {"LocalConnectionStateName(6)", LocalConnectionStateName(6), "LCS_FAIL"},
        {"LocalConnectionStateName(7)", LocalConnectionStateName(7),
         "UNKNOWN LOCAL CONNECTION STATE 7"},
        {"PGStatusEventName(0)", PGStatusEventName(0), "UNKNOWN PGSTATUS EVENT CODE 0"},
        {"PGStatusEventName(1)", PGStatusEventName(1), "Central Controller Online"},
        {"PGStatusEventName(11)", PGStatusEventName(11), "Agent Instrument Back-in-Service"},
        {"PGStatusEventName(12)", PGStatusEventName(12), "UNKNOWN PGSTATUS EVENT CODE 12"},
        {"ARMStatusName(42)", ARMStatusName(42), "E_ARM_STAT_CTI_TOO_MUCH_DATA"},
        {"ARMStatusName(43)", ARMStatusName(43), "UNKNOWN ERROR CODE 43"},
        {"CalledPartyDispositionName(66)", CalledPartyDispositionName(66), "CD_PICK_PULL_ERROR"},
        {"CalledPartyDispositionName(67)", CalledPartyDispositionName(67),
         "UNKNOWN CALLED PARTY DISPOSITION TYPE 67"},
        {"QueryDeviceDataTypeName(3)", QueryDeviceDataTypeName(3), "LineAgentCaps"},
        {"QueryDeviceDataTypeName(65535)", QueryDeviceDataTypeName(65535),
         "UNKNOWN QUERY DEVICE DATA TYPE 65535"},
        {"RouteRegistrationCauseName(1)", RouteRegistrationCauseName(1),
         "ROUTE_REGISTER_DEDICATED_TO_OTHER"},
        {"RouteRegistrationCauseName(2)", RouteRegistrationCauseName(2), "UNKNOWN CAUSE 2"},
        {"RouteRegistrationCauseName(7)", RouteRegistrationCauseName(7),
         "ROUTE_REGISTER_CLIENT_SHARE_KEY_MISMATCH"},
        {"ObjectStateName(2)", ObjectStateName(2), "Error"},
        {"ObjectStateName(3)", ObjectStateName(3), "INVALID OBJECT STATE 3"},
        {"ConfigTypeName(3)", ConfigTypeName(3), "UNKNOWN ERROR CODE 3"},
        {"AnsweringMachineName(6)", AnsweringMachineName(6), "UNKNOWN ANSWERING MACHINE TYPE 6"},
        {"AgentActionName(2)", AgentActionName(2), "AGENT_ACTION_ENABLE_GREETING"},
        {"AgentActionName(3)", AgentActionName(3), "UNKNOWN AGENT ACTION 3"},
        {"AgentGreetingEventName(1)", AgentGreetingEventName(1), "AGENT_GREETING_ENDED"},
        {"AgentGreetingEventName(3)", AgentGreetingEventName(3), "UNKNOWN EVENT CODE 3"},
        {"ClassOfDeviceName(128)", ClassOfDeviceName(128), "DEVC_VOICE"},
        {"ClassOfDeviceName(1)", ClassOfDeviceName(1), "UNKNOWN CLASS OF DEVICE 1"},
        {"ConnectionDeviceIDTypeName(65535)", ConnectionDeviceIDTypeName(65535),
         "CONNECTION_ID_NONE"},
        {"ConnectionDeviceIDTypeName(2)", ConnectionDeviceIDTypeName(2),
         "UNKNOWN CONNECTION DEVICE ID TYPE 2"},
        {"DeviceIDTypeName(79)", DeviceIDTypeName(79), "DEVID_SHARED_DEVICE_IDENTIFIER"},
        {"DeviceIDTypeName(80)", DeviceIDTypeName(80), "UNKNOWN DEVICE ID TYPE 80"},
        {"TypeOfDeviceName(255)", TypeOfDeviceName(255), "DEVT_OTHER"},
        {"TypeOfDeviceName(6)", TypeOfDeviceName(6), "UNKNOWN TYPE OF DEVICE 6"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(ValueNames, PeripheralGatewayStatusText) {
    struct Case {
        int32_t status;
        const char* want;
    };
    const Case cases[] = {
        {0, "NORMAL"},
        {0x0106, "CENTRAL CONTROLLER OFFLINE, ACD_INITIALIZING"},
        {0x0300, "ACD_SHUTDOWN"},
        {0x0020, "UNKNOWN 0x20"},
        {-1, "UNKNOWN 0xffffffff"},
        {0x2000, ""},
        {0x6800, ""},
        {0x0700, ""},
        {0x001F, "PERIPHERAL CONTROLLER DOWN, CENTRAL CONTROLLER OFFLINE"},
        {0x0018, "PARLO OFFLINE"},
        {0x0411, "PERIPHERAL CONTROLLER DOWN, LIMITED FUNCTION, ACD_IN_SERVICE_"},
        {0x0604, "PERIPHERAL(S) OFFLINE, ACD_OUT_OF_SERVICE"},
    };
    for (const Case& c : cases) EXPECT_STREQ(PGStatusText(c.status), c.want) << c.status;
}

TEST(ValueNames, ConfigInformationText) {
    struct Case {
        int32_t mask;
        const char* want;
    };
    const Case cases[] = {
        {0x100, "ConfigurationInformation: * none *"},
        {0x10000, "ConfigurationInformation: * none *"},
        {0x1, "ConfigurationInformation: CONFIG_SERVICE"},
        {0x285, "ConfigurationInformation: CONFIG_SERVICE, CONFIG_AGENT, "
                "CONFIG_AGENT_DESK_SETTINGS, CONFIG_AGENT_SERVICE_MASK"},
    };
    for (const Case& c : cases) EXPECT_EQ(ConfigInformationText(c.mask), c.want) << c.mask;
}

TEST(ValueNames, UnknownTextsBelongToTheCallingThread) {
    // Another thread's unknown value leaves this thread's text as it was.
    const char* state = AgentStateName(15);
    const char* cause = EventCauseName(999);
    const char* pg = PGStatusText(0x20);
    const char* action = AgentActionName(1);
    std::thread([] {
        AgentStateName(77);
        EventCauseName(5000);
        PGStatusText(0x40);
        AgentActionName(9);
    }).join();
    EXPECT_STREQ(state, "UNKNOWN AGENT STATE 15");
    EXPECT_STREQ(cause, "UNKNOWN EVENT CAUSE 999");
    EXPECT_STREQ(pg, "UNKNOWN 0x20");
    EXPECT_STREQ(action, "AGENT_ACTION_DISABLE_GREETING");
}

}  // namespace
