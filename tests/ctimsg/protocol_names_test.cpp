// The protocol's numbers as named constants: message types, failure codes, service bits and
// the event mask bits. Each sample is typed from the protocol's own lists, so a wrong row of
// the lists that the constants and the name tables are built from fails here twice: once in
// the constant and once in the name.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "ctimsg/basemsg.h"
#include "ctimsg/elements.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"
#include "ctimsg/statuscodes.h"
#include "ctimsg/valuenames.h"

namespace {

struct Numbered {
    int64_t constant;  // the generated constant
    const char* name;  // as the protocol spells it
    int64_t number;    // as the protocol numbers it
};

// Each constant against its typed number and, given a name table, the table's name of that
// number against the typed name.
template <size_t N>
void ExpectEach(const Numbered (&cases)[N], const char* (*nameOf)(int32_t) = nullptr) {
    for (const Numbered& c : cases) {
        EXPECT_EQ(c.constant, c.number) << c.name;
        if (nameOf != nullptr) {
            EXPECT_STREQ(nameOf(static_cast<int32_t>(c.number)), c.name) << c.number;
        }
    }
}

TEST(ProtocolNames, MessageTypesAgainstTheProtocolList) {
    const Numbered cases[] = {
        {FAILURE_CONF, "FAILURE_CONF", 1},
        {OPEN_REQ, "OPEN_REQ", 3},
        {OPEN_CONF, "OPEN_CONF", 4},
        {HEARTBEAT_REQ, "HEARTBEAT_REQ", 5},
        {CLOSE_CONF, "CLOSE_CONF", 8},
        {CALL_RETREIVED_EVENT, "CALL_RETREIVED_EVENT", 12},
        {AGENT_STATE_EVENT, "AGENT_STATE_EVENT", 30},
        {SYSTEM_EVENT, "SYSTEM_EVENT", 31},
        {QUERY_MSG_WAITING_IND_REQ, "QUERY_MSG_WAITING_IND_REQ", 66},
        {SEND_DTMF_SIGNAL_REQ, "SEND_DTMF_SIGNAL_REQ", 91},
        {REGISTER_VARIABLES_CONF, "REGISTER_VARIABLES_CONF", 111},
        {GET_PRECALL_MESSAGES_REG, "GET_PRECALL_MESSAGES_REG", 187},
        {CALL_PRIORITYQUEUE_CHANGED_EVENT, "CALL_PRIORITYQUEUE_CHANGED_EVENT", 216},
        {QUERY_QUEUE_STATISTICS_REQ, "QUERY_QUEUE_STATISTICS_REQ", 223},
        {ESCAPE_MESSAGE_EVENT, "ESCAPE_MESSAGE_EVENT", 229},
        {CONFIG_MEDIA_ROUTING_DOMAIN_EVENT_MSG, "CONFIG_MEDIA_ROUTING_DOMAIN_EVENT_MSG", 253},
        {SESSION_FAILED_MSG, "SESSION_FAILED_MSG", 259},
        {STANDBY_ACTIVE_EVENT, "STANDBY_ACTIVE_EVENT", 277},
        {CONFIG_AGENT_SERVICE_EVENT, "CONFIG_AGENT_SERVICE_EVENT", 282},
    };
    ExpectEach(cases, MsgTypeName);
    // By message class, the form the output side uses.
    EXPECT_EQ(ctitype::OpenConfMSG, 4u);
    EXPECT_EQ(ctitype::CallRetrievedEventMSG, 12u);
    EXPECT_EQ(ctitype::SendDTMFSignalReqMSG_46, 91u);
    EXPECT_EQ(ctitype::StoppingRequestsToThisSideInd, 281u);
    // The numbers without type keep the name of type 0.
    for (int32_t unnamed : {0, 219, 220, 221, 222, 227, 228}) {
        EXPECT_STREQ(MsgTypeName(unnamed), "*INVALID*") << unnamed;
    }
}

TEST(ProtocolNames, EveryMessageTypeConstantIsNamedAsItsIdentifier) {
    int rows = 0;
#define MSG_BEGIN(type, name, Cls, version, dir, ctor, check, size, layout) \
    EXPECT_STREQ(MsgTypeName(static_cast<int32_t>(name)), #name);          \
    EXPECT_EQ(ctitype::Cls, static_cast<uint32_t>(name)) << #Cls;         \
    ++rows;
#define NO_CLASS(type, name, kind)                                 \
    EXPECT_STREQ(MsgTypeName(static_cast<int32_t>(name)), #name); \
    ++rows;
#include "ctimsg/messages/catalog.def"
#undef MSG_BEGIN
#undef NO_CLASS
    EXPECT_EQ(rows, 255 + 22);  // the classes (type 91 twice) and the named types without one
}

TEST(ProtocolNames, FailureCodesAgainstTheProtocolList) {
    const Numbered cases[] = {
        {E_CTI_NO_ERROR, "E_CTI_NO_ERROR", 0},
        {E_CTI_INVALID_VERSION, "E_CTI_INVALID_VERSION", 1},
        {E_CTI_REQUIRED_DATA_MISSING, "E_CTI_REQUIRED_DATA_MISSING", 6},
        {E_CTI_UNSPECIFIED_FAILURE, "E_CTI_UNSPECIFIED_FAILURE", 17},
        {E_CTI_INVALID_SERVICE_MASK, "E_CTI_INVALID_SERVICE_MASK", 19},
        {E_CTI_INVALID_FIELD_LENGTH, "E_CTI_INVALID_FIELD_LENGTH", 23},
        {E_CTI_CLIENT_DISCONNECTED, "E_CTI_CLIENT_DISCONNECTED", 37},
        {E_CTI_MUTUALLY_EXCLUS_DEVICEID_TYPES, "E_CTI_MUTUALLY_EXCLUS_DEVICEID_TYPES", 54},
        {E_CTI_NAMED_ARRAY_NOT_CONFIGURED, "E_CTI_NAMED_ARRAY_NOT_CONFIGURED", 68},
        {E_CTI_INVALID_MR_DOMAIN, "E_CTI_INVALID_MR_DOMAIN", 88},
        {E_PARLO_NOT_MASTER, "E_PARLO_NOT_MASTER", 92},
        {E_CTI_INVALID_CLIENT_FOR_STANDBY, "E_CTI_INVALID_CLIENT_FOR_STANDBY", 107},
        {E_PARLO_IN_MAINTENANCE_MODE, "E_PARLO_IN_MAINTENANCE_MODE", 110},
    };
    ExpectEach(cases, StatusCodeName);
    int rows = 0;
#define STATUS_CODE(code, name)                 \
    EXPECT_STREQ(StatusCodeName(name), #name); \
    EXPECT_EQ(static_cast<int>(name), rows++);
#include "ctimsg/statuscodes.def"
#undef STATUS_CODE
    EXPECT_EQ(rows, kStatusCodeTableSize);
}

TEST(ProtocolNames, ServiceBitsAgainstTheProtocolList) {
    const Numbered named[] = {
        {servicemask::CLIENT_EVENTS, "CLIENT_EVENTS", 0x01},
        {servicemask::CALL_DATA_UPDATE, "CALL_DATA_UPDATE", 0x02},
        {servicemask::CLIENT_CONTROL, "CLIENT_CONTROL", 0x04},
        {servicemask::CONNECTION_MONITOR, "CONNECTION_MONITOR", 0x08},
        {servicemask::ALL_EVENTS, "ALL_EVENTS", 0x10},
        {servicemask::PERIPHERAL_MONITOR, "PERIPHERAL_MONITOR", 0x20},
        {servicemask::CLIENT_MONITOR, "CLIENT_MONITOR", 0x40},
        {servicemask::SUPERVISOR, "SUPERVISOR", 0x80},
        {servicemask::SERVER, "SERVER", 0x100},
        {servicemask::WEXA, "WEXA", 0x200},
        {servicemask::AGENT_REPORTING, "AGENT_REPORTING", 0x400},
        {servicemask::ALL_TASK_EVENTS, "ALL_TASK_EVENTS", 0x800},
        {servicemask::TASK_MONITOR, "TASK_MONITOR", 0x1000},
        {servicemask::AGENT_STATE_CONTROL_ONLY, "AGENT_STATE_CONTROL_ONLY", 0x2000},
        {servicemask::ROUTING, "ROUTING", 0x10000},
        {servicemask::MINIMIZE_EVENTS, "MINIMIZE_EVENTS", 0x20000},
        {servicemask::CONFIG_EVENTS, "CONFIG_EVENTS", 0x40000},
        {servicemask::UPDATE_EVENTS, "UPDATE_EVENTS", 0x80000},
        {servicemask::AGENT_EVENT_CHANGE_FILTER, "AGENT_EVENT_CHANGE_FILTER", 0x100000},
        {servicemask::WEXA_CIL, "WEXA_CIL", 0x200000},
        {servicemask::HIDE_DOTTED_DEVICES, "HIDE_DOTTED_DEVICES", 0x400000},
        {servicemask::REMASK_SUBSCRIPTION, "REMASK_SUBSCRIPTION", 0x1000000},
        {servicemask::STANDBY_CAPABLE, "STANDBY_CAPABLE", 0x2000000},
        {servicemask::DEBUG, "DEBUG", 0x80000000},
    };
    ExpectEach(named);
    // Every row is one of those, or the bit the protocol allows without a meaning.
    for (const servicemask::Row& row : servicemask::kRows) {
        bool typed = row.bit == 0x800000;
        for (const Numbered& c : named)
            typed = typed || (row.bit == c.number && std::string(row.name) == c.name);
        EXPECT_TRUE(typed) << row.name;
    }
    EXPECT_EQ(SERVICE_MASK_REMASK_BIT, 0x01000000u);
}

// What each protocol version allows, by the protocol's tables: the bits the ServiceMask field
// keeps, and the bits an OPEN_REQ naming the version must leave clear.
TEST(ProtocolNames, ServiceBitsAllowedByVersion) {
    struct Case {
        uint32_t first, last, fieldBits, openForbidden;
    } cases[] = {
        {0, 2, 0x80000013, 0x7FFFFFEC},   {3, 3, 0x8000001F, 0x7FFFFFE0},
        {4, 7, 0x8000007F, 0x7FFFFF80},   {8, 8, 0x800003FF, 0x7FFFFC00},
        {9, 9, 0x80001FFF, 0x7FFFE000},   {10, 10, 0x83FF3FFF, 0x7FF0E000},
        {11, 11, 0x83FF3FFF, 0x7FC0E000}, {12, 13, 0x83FF3FFF, 0x7FC0C000},
        {14, 14, 0x83FF3FFF, 0x7F80C000}, {15, 16, 0x83FF3FFF, 0x7E00C000},
        {17, 40, 0x83FF3FFF, 0x7C00C000},
    };
    for (const Case& c : cases)
        for (uint32_t version = c.first; version <= c.last; ++version) {
            EXPECT_EQ(ServiceMaskAllowedBits(version), c.fieldBits) << version;
            EXPECT_EQ(servicemask::OpenForbiddenBits(version), c.openForbidden) << version;
        }
    EXPECT_EQ(servicemask::kSendBits, 0x83FF3FFFu);
}

TEST(ProtocolNames, EventMaskBitsAgainstTheProtocolLists) {
    // Call and task event types with the bit the protocol gives them, and a type without.
    const Numbered events[] = {
        {GetCallEventMaskBit(CALL_DELIVERED_EVENT), "CALL_DELIVERED_EVENT", 0x1},
        {GetCallEventMaskBit(CALL_QUEUED_EVENT), "CALL_QUEUED_EVENT", 0x2},
        {GetCallEventMaskBit(CALL_FAILED_EVENT), "CALL_FAILED_EVENT", 0x10000},
        {GetCallEventMaskBit(AGENT_LEGACY_PRE_CALL_EVENT), "AGENT_LEGACY_PRE_CALL_EVENT",
         0x1000000},
        {GetCallEventMaskBit(CALL_AGENT_GREETING_EVENT), "CALL_AGENT_GREETING_EVENT", 0x8000000},
        {GetCallEventMaskBit(NETWORK_RECORDING_TARGET_INFO_EVENT),
         "NETWORK_RECORDING_TARGET_INFO_EVENT", 0x80000000},
        {GetCallEventMaskBit(CALL_ATTRIBUTE_CHANGE_EVENT), "CALL_ATTRIBUTE_CHANGE_EVENT", 0},
        {GetCallEventMaskBit(OFFER_TASK_EVENT), "OFFER_TASK_EVENT", 0x1},
        {GetCallEventMaskBit(BEGIN_TASK_EVENT), "BEGIN_TASK_EVENT", 0x20},
        {GetCallEventMaskBit(MAX_TASK_LIFETIME_EXCEEDED_EVENT), "MAX_TASK_LIFETIME_EXCEEDED_EVENT",
         0x400},
    };
    ExpectEach(events);
    EXPECT_EQ(callmsgmask::CALL_ATTRIBUTE_CHANGE, 0x2000000u);
    EXPECT_EQ(taskmsgmask::kAll, 0x7FFu);

    // Agent states: name and bit; UNKNOWN has none and the states after it move down one.
    const Numbered states[] = {
        {agentstatemask::LOGIN, "LOGIN", 0x1},
        {agentstatemask::AVAILABLE, "AVAILABLE", 0x8},
        {agentstatemask::RESERVED, "RESERVED", 0x100},
        {agentstatemask::UNKNOWN, "UNKNOWN", 0},
        {agentstatemask::HOLD, "HOLD", 0x200},
        {agentstatemask::NOT_ACTIVE, "NOT_ACTIVE", 0x2000},
    };
    ExpectEach(states);
    const int32_t stateOf[] = {0, 3, 8, 9, 10, 14};
    for (size_t i = 0; i < std::size(states); ++i) {
        EXPECT_EQ(GetAgentStateMaskBit(stateOf[i]), states[i].number) << states[i].name;
        EXPECT_STREQ(AgentStateName(stateOf[i]), states[i].name);
    }
    EXPECT_EQ(agentstatemask::kAll, 0x3FFFu);

    EXPECT_EQ(configmsgmask::CONFIG_MSG_AGENT, 0x001u);
    EXPECT_EQ(configmsgmask::CONFIG_MSG_SERVICE, 0x004u);
    EXPECT_EQ(configmsgmask::CONFIG_MSG_AGENT_SERVICE, 0x200u);
    EXPECT_EQ(configinfomask::CONFIG_SERVICE, 0x001u);
    EXPECT_EQ(configinfomask::CONFIG_AGENT, 0x004u);
    EXPECT_EQ(configinfomask::CONFIG_AGENT_SERVICE_MASK, 0x200u);
    EXPECT_EQ(ConfigInformationText(0x205),
              "ConfigurationInformation: CONFIG_SERVICE, CONFIG_AGENT, CONFIG_AGENT_SERVICE_MASK");
}

}  // namespace
