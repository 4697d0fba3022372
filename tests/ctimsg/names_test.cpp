#include <gtest/gtest.h>

#include <cstdio>

#include <string>
#include <thread>
#include <vector>

#include "ctimsg/elementdict.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"

namespace {

TEST(NameTables, NameLookupsAnswerEveryIndex) {
    struct Case {
        const char* what;
        std::string got;
        const char* want;
    };
    const Case cases[] = {
        {"MsgTypeName(0)", MsgTypeName(0), "*INVALID*"},
        {"MsgTypeName(5)", MsgTypeName(5), "HEARTBEAT_REQ"},
        {"MsgTypeName(12)", MsgTypeName(12), "CALL_RETREIVED_EVENT"},
        {"MsgTypeName(220)", MsgTypeName(220), "*INVALID*"},
        {"MsgTypeName(282)", MsgTypeName(282), "CONFIG_AGENT_SERVICE_EVENT"},
        {"MsgTypeName(283)", MsgTypeName(283), "*INVALID*"},
        {"MsgTypeName(-1)", MsgTypeName(-1), "*INVALID*"},
        {"TagName(0)", TagName(0), "*INVALID TAG*"},
        {"TagName(1)", TagName(1), "CLIENT_ID_TAG"},
        {"TagName(82)", TagName(82), "NAMED_VARIABLE_TAG"},
        {"TagName(83)", TagName(83), "NAMED_ARRAY_TAG"},
        {"TagName(127)", TagName(127), "*INVALID TAG*"},
        {"TagName(129)", TagName(129), "*INVALID TAG*"},
        {"TagName(170)", TagName(170), "PRIORITY_TAG"},
        {"TagName(256)", TagName(256), "INVALID TAG"},
        {"TagName(312)", TagName(312), "*INVALID TAG*"},
        {"TagName(-1)", TagName(-1), "*INVALID TAG*"},
        {"ElementName(0)", ElementName(0), "*INVALID ELEMENT*"},
        {"ElementName(4)", ElementName(4), "PeripheralID"},
        {"ElementName(73)", ElementName(73), "AlertCallerFirst"},
        {"ElementName(499)", ElementName(499), "CallDeviceConnState"},
        {"ElementName(504)", ElementName(504), "CallState"},
        {"ElementName(589)", ElementName(589), "Priority"},
        {"ElementName(591)", ElementName(591), "SuorceAgentSkillTargetID"},
        {"ElementName(611)", ElementName(611), "AgentIDLong"},
        {"ElementName(724)", ElementName(724), "*INVALID ELEMENT*"},
        {"ElementName(-1)", ElementName(-1), "*INVALID ELEMENT*"},
        {"StatusCodeName(0)", StatusCodeName(0), "E_CTI_NO_ERROR"},
        {"StatusCodeName(92)", StatusCodeName(92), "E_PARLO_NOT_MASTER"},
        {"StatusCodeName(110)", StatusCodeName(110), "E_PARLO_IN_MAINTENANCE_MODE"},
        {"StatusCodeName(111)", StatusCodeName(111), "UNKNOWN ERROR CODE 111"},
        {"StatusCodeName(-5)", StatusCodeName(-5), "UNKNOWN ERROR CODE -5"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(NameTables, NumberLookupsAnswerEveryIndex) {
    struct Case {
        const char* what;
        uint32_t got, want;
    };
    const Case cases[] = {
        {"ElementTag(431)", ElementTag(431), 0},
        {"ElementTag(432)", ElementTag(432), 1},
        {"ElementTag(511)", ElementTag(511), 83},
        {"ElementTag(549)", ElementTag(549), 129},
        {"ElementTag(589)", ElementTag(589), 170},
        {"ElementTag(723)", ElementTag(723), 311},
        {"ElementTag(724)", ElementTag(724), 0},
        {"ElementTag(-1)", ElementTag(-1), 0},
        {"TagElement(82)", TagElement(82), 511},
        {"TagElement(83)", TagElement(83), 511},
        {"TagElement(170)", TagElement(170), 69},
        {"TagElement(129)", TagElement(129), 549},
        {"TagElement(61)", TagElement(61), 499},
        {"TagElement(75)", TagElement(75), 504},
        {"TagElement(54)", TagElement(54), 0},
        {"TagElement(256)", TagElement(256), 0},
        {"TagElement(312)", TagElement(312), 0},
        {"TagElement(-1)", TagElement(-1), 0},
        {"GetCategory(0)", GetCategory(0), 0},
        {"GetCategory(3)", GetCategory(3), 2},
        {"GetCategory(30)", GetCategory(30), 4},
        {"GetCategory(31)", GetCategory(31), 1},
        {"GetCategory(216)", GetCategory(216), 3},
        {"GetCategory(207)", GetCategory(207), 11},
        {"GetCategory(282)", GetCategory(282), 5},
        {"GetCategory(283)", GetCategory(283), 0},
        {"GetCategory(-1)", GetCategory(-1), 0},
        {"GetCallEventMaskBit(9)", GetCallEventMaskBit(9), 0x1},
        {"GetCallEventMaskBit(194)", GetCallEventMaskBit(194), 0x1},
        {"GetCallEventMaskBit(16)", GetCallEventMaskBit(16), 0x10000},
        {"GetCallEventMaskBit(207)", GetCallEventMaskBit(207), 0x400},
        {"GetCallEventMaskBit(275)", GetCallEventMaskBit(275), 0x80000000},
        {"GetCallEventMaskBit(30)", GetCallEventMaskBit(30), 0},
        {"GetCallEventMaskBit(283)", GetCallEventMaskBit(283), 0},
        {"GetAgentStateMaskBit(0)", GetAgentStateMaskBit(0), 0x1},
        {"GetAgentStateMaskBit(8)", GetAgentStateMaskBit(8), 0x100},
        {"GetAgentStateMaskBit(9)", GetAgentStateMaskBit(9), 0},
        {"GetAgentStateMaskBit(10)", GetAgentStateMaskBit(10), 0x200},
        {"GetAgentStateMaskBit(14)", GetAgentStateMaskBit(14), 0x2000},
        {"GetAgentStateMaskBit(15)", GetAgentStateMaskBit(15), 0},
        {"GetAgentStateMaskBit(-1)", GetAgentStateMaskBit(-1), 0},
        {"GetTaskMsgMaskBit(0)", GetTaskMsgMaskBit(0), 0x1},
        {"GetTaskMsgMaskBit(10)", GetTaskMsgMaskBit(10), 0x400},
        {"GetTaskMsgMaskBit(11)", GetTaskMsgMaskBit(11), 0},
        {"GetTaskMsgMaskBit(194)", GetTaskMsgMaskBit(194), 0},
        {"GetTaskMsgMaskBit(-1)", GetTaskMsgMaskBit(-1), 0},
        {"ConvertPeripheralType(0)", ConvertPeripheralType(0), 65535},
        {"ConvertPeripheralType(1)", ConvertPeripheralType(1), 4},
        {"ConvertPeripheralType(10)", ConvertPeripheralType(10), 6},
        {"ConvertPeripheralType(54)", ConvertPeripheralType(54), 27},
        {"ConvertPeripheralType(55)", ConvertPeripheralType(55), 26},
        {"ConvertPeripheralType(56)", ConvertPeripheralType(56), 65535},
        {"ConvertPeripheralType(-1)", ConvertPeripheralType(-1), 65535},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(NameTables, CallContextResultsBecomeFailureCodes) {
    struct Case {
        int32_t code;
        uint32_t scalar, array;
    };
    const Case cases[] = {
        {0, 0, 0},     {-1, 17, 17},  {-2, 17, 17},  {-3, 67, 68},  {-4, 73, 73},
        {-5, 17, 17},  {-6, 74, 74},  {-7, 62, 62},  {-8, 75, 75},  {-9, 76, 76},
        {-10, 61, 61}, {-11, 61, 61}, {-12, 67, 68}, {1, 68, 68},   {2, 67, 67},
        {3, 67, 68},   {-99, 67, 68},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ECCErrorToCTIError(c.code, 0), c.scalar) << c.code;
        EXPECT_EQ(ECCErrorToCTIError(c.code, 1), c.array) << c.code;
    }
}

TEST(NameTables, TagElementIsTheInverseOfElementTagWithItsExceptions) {
    for (int32_t id = elementdict::kFirstFloatingId; id <= elementdict::kMaxElementId; ++id) {
        uint32_t tag = ElementTag(id);
        ASSERT_GE(tag, 1u) << id;
        ASSERT_LE(tag, elementdict::kMaxTag) << id;
        EXPECT_EQ(TagElement(static_cast<int32_t>(tag)), id == 589 ? 69u : uint32_t(id)) << id;
    }
    // Tags no element carries fill nothing and still have a name.
    for (int32_t tag : {54, 55, 102, 103, 104, 105, 106, 124, 127, 128, 140, 181, 182, 196, 197,
                        226, 227, 256}) {
        EXPECT_EQ(TagElement(tag), 0u) << tag;
        EXPECT_NE(std::string(TagName(tag)), "") << tag;
    }
}

TEST(NameTables, EventMaskBitsBelongToCallAndTaskEvents) {
    // The event filter tests the bit only for call events (category 3) and task events (11).
    for (int32_t type = 0; type < kMsgTypeTableSize; ++type) {
        EXPECT_LE(GetCategory(type), 11u) << type;
        if (GetCallEventMaskBit(type) != 0) {
            EXPECT_TRUE(GetCategory(type) == 3 || GetCategory(type) == 11) << type;
        }
    }
    // The types without a name fall in category 0 with the invalid entry.
    for (int32_t type : {219, 220, 221, 222, 227, 228}) EXPECT_EQ(GetCategory(type), 0u) << type;
}

TEST(NameTables, UnknownCodeTextBelongsToTheCallingThread) {
    const char* mine = StatusCodeName(111);
    std::string other;
    std::thread([&] { other = StatusCodeName(222); }).join();
    EXPECT_STREQ(mine, "UNKNOWN ERROR CODE 111");
    EXPECT_EQ(other, "UNKNOWN ERROR CODE 222");
}

TEST(NameTables, CheckTablesPassesOnTheBuiltTables) {
    CheckTables();  // returns: the process goes on
    SUCCEED();
}

// Shows console records on stderr, where a death test reads them.
void StderrConsole(const uint8_t* block, uint32_t length) {
    EMSParsedRecord parsed;
    if (!EMSParseRecord(block, length, &parsed)) return;
    for (uint32_t i = 0; i < parsed.argCount; ++i) std::fputs(parsed.args[i].c_str(), stderr);
    std::fputc('\n', stderr);
}
constexpr EMSSeams kStderrConsole = {StderrConsole, nullptr, nullptr, nullptr,
                                     nullptr,       nullptr, nullptr, nullptr};

TEST(NameTablesDeathTest, CheckTablesEndsTheProcessOnAMismatch) {
    struct Case {
        uint32_t element, newTag;  // change this element's tag
        uint32_t tag, newElement;  // or this tag's element
        const char* report;
    };
    const Case cases[] = {
        {443, 14, 0, 0,
         "element 443 \\(CallVariable1\\) -> tag 14 \\(CALL_VARIABLE_2_TAG\\) -> element 444 "
         "\\(CallVariable2\\)"},
        {0, 0, 132, 0, "element 552 \\(.*\\) -> tag 132 \\(.*\\) -> element 0 \\(\\*INVALID ELEMENT\\*\\)"},
        {723, 999, 0, 0, "element 723 \\(.*\\) -> tag 999 \\(\\*INVALID TAG\\*\\) -> element 0 "},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> tags(names_detail::ElementTagTable(),
                                   names_detail::ElementTagTable() + kElementTableSize);
        std::vector<uint32_t> elements(names_detail::TagElementTable(),
                                       names_detail::TagElementTable() + kTagTableSize);
        if (c.element) tags[c.element] = c.newTag;
        if (c.tag) elements[c.tag] = c.newElement;
        EXPECT_EXIT(
            {
                EMSInstallSeams(&kStderrConsole);  // the console report, where the check sees it
                names_detail::CheckTables(tags.data(), elements.data());
            },
            ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF),
            std::string("BaseMSG::CheckTables - BUSTED \\.\\.\\. ") + c.report);
    }
}

}  // namespace
