// The message catalogue rows checked three ways: the type table against the name table and
// the counts the protocol gives; every class's chain against the construction rules
// (fixed before floating, occurrences, versions, flags); and 52 classes against a second,
// independent transcription of their layouts in another notation (element ids and marks),
// read here by a parser of its own.
#include "ctimsg/messages/catalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ctimsg/elementdict.h"
#include "ctimsg/names.h"

namespace {

using namespace catalog;

const elementdict::Row& Dict(const char* cls) {
    const elementdict::Row* row = elementdict::FindRowByClass(cls);
    if (row == nullptr) ADD_FAILURE() << cls << " is not in the element dictionary";
    static const elementdict::Row kNone{};
    return row ? *row : kNone;
}

// One member of a class's chain, arrays expanded entry by entry.
struct Member {
    uint16_t id;
    std::string cls;
    uint32_t occurrence;
    uint32_t version;
    bool required;
    Trace trace;
    bool entry;  // an array entry
};

// The chain a class builds from its rows, in wire order.
std::vector<Member> Chain(const MessageRow& m) {
    std::vector<Member> chain;
    std::span<const MemberRow> rows = MemberRows(m);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const MemberRow& r = rows[i];
        if (r.kind == MemberKind::Field) {
            chain.push_back(
                {r.element, r.elementClass, 0, r.version, r.need == Need::Req, r.trace, false});
            continue;
        }
        if (r.kind != MemberKind::GroupBegin) {
            ADD_FAILURE() << m.className << ": row " << i << " outside a group";
            continue;
        }
        // A group: its own entries, then its lists, up to GROUP_END.
        const MemberRow& group = r;
        std::vector<const MemberRow*> own;
        std::vector<std::pair<const MemberRow*, std::vector<const MemberRow*>>> lists;
        for (++i; i < rows.size() && rows[i].kind != MemberKind::GroupEnd; ++i) {
            if (rows[i].kind == MemberKind::Entry) {
                if (lists.empty())
                    own.push_back(&rows[i]);
                else
                    lists.back().second.push_back(&rows[i]);
            } else if (rows[i].kind == MemberKind::ListBegin) {
                lists.push_back({&rows[i], {}});
            } else if (rows[i].kind == MemberKind::ListEnd) {
                continue;
            } else {
                ADD_FAILURE() << m.className << ": bad row in a group";
            }
        }
        for (uint32_t e = 0; e < group.count; ++e) {
            uint32_t v = group.version;
            if (group.splitAt != 0 && e >= group.splitAt)
                v = std::max<uint32_t>(v, group.splitVersion);
            for (const MemberRow* x : own)
                chain.push_back({x->element, x->elementClass, e, std::max<uint32_t>(v, x->version),
                                 false, Trace::Always, true});
            for (auto& [list, entries] : lists)
                for (uint32_t j = 0; j < list->count; ++j)
                    for (const MemberRow* x : entries)
                        chain.push_back({x->element, x->elementClass, e * list->count + j,
                                         std::max<uint32_t>(v, x->version), false, Trace::Always,
                                         true});
        }
    }
    return chain;
}

// Bytes of the fixed part for a session of that version.
int FixedBytes(const MessageRow& m, uint32_t version) {
    int bytes = 0;
    for (const Member& x : Chain(m))
        if (x.id < elementdict::kFirstFloatingId && x.version <= version)
            bytes += Dict(x.cls.c_str()).bytes;
    return bytes;
}

const MessageRow& Class(const char* name) {
    const MessageRow* m = FindMessageRowByClass(name);
    if (m == nullptr) {
        ADD_FAILURE() << "no class " << name;
        return MessageRows()[0];
    }
    return *m;
}

// ---------------------------------------------------------------------------------------
// The type table.

TEST(CatalogTypes, EveryTypeHasOneRowWithTheNameTableName) {
    std::map<int, std::string> names;
    for (const MessageRow& m : MessageRows())
        if (m.layout == Layout::Main) {
            EXPECT_TRUE(names.emplace(m.type, m.name).second) << m.type;
        }
    for (const MissingTypeRow& t : TypesWithoutClass())
        EXPECT_TRUE(names.emplace(t.type, t.name).second) << t.type;
    ASSERT_EQ(names.size(), 282u);
    for (const auto& [type, name] : names) {
        EXPECT_GE(type, 1);
        EXPECT_LE(type, kMaxType);
        EXPECT_EQ(name, MsgTypeName(type)) << type;
    }
}

TEST(CatalogTypes, CountsOfClassesAndOfTypesWithoutClass) {
    std::set<int> notImplemented, invalid, typesWithClass;
    for (const MissingTypeRow& t : TypesWithoutClass())
        (t.kind == NoClass::Invalid ? invalid : notImplemented).insert(t.type);
    std::set<std::string> classNames;
    int twoFlag = 0;
    for (const MessageRow& m : MessageRows()) {
        typesWithClass.insert(m.type);
        EXPECT_TRUE(classNames.insert(m.className).second) << m.className;
        twoFlag += m.ctor == Ctor::TraceFlags;
    }
    EXPECT_EQ(MessageRows().size(), 255u);
    EXPECT_EQ(typesWithClass.size(), 254u);
    EXPECT_EQ(twoFlag, 27);
    std::set<int> expectNotImplemented{80, 81, 87, 88, 89, 90};
    for (int t = 66; t <= 77; ++t) expectNotImplemented.insert(t);
    EXPECT_EQ(notImplemented, expectNotImplemented);
    EXPECT_EQ(invalid, (std::set<int>{216, 219, 220, 221, 222, 227, 228, 229, 241, 251}));
    // Only type 91 has a second class.
    ASSERT_NE(FindMessageRow(91, Layout::Older), nullptr);
    EXPECT_STREQ(FindMessageRow(91, Layout::Older)->className, "SendDTMFSignalReqMSG_46");
    for (const MessageRow& m : MessageRows())
        if (m.layout == Layout::Older) {
            EXPECT_EQ(m.type, 91);
        }
}

// The minimum version of every class, by runs of type numbers (types without class skipped).
TEST(CatalogTypes, ClassVersionsByTypeRange) {
    struct Run {
        int first, last, version;
    } runs[] = {
        {1, 31, 2},     {32, 57, 3},    {58, 59, 5},    {60, 92, 3},    {93, 104, 5},
        {105, 110, 6},  {111, 111, 2},  {112, 115, 6},  {116, 117, 7},  {118, 150, 8},
        {151, 210, 9},  {211, 244, 10}, {245, 246, 11}, {247, 247, 13}, {248, 250, 15},
        {252, 253, 18}, {254, 258, 20}, {259, 259, 24}, {260, 261, 22}, {262, 275, 23},
        {276, 282, 24},
    };
    int checked = 0;
    for (const MessageRow& m : MessageRows()) {
        const Run* run = nullptr;
        for (const Run& r : runs) {
            if (m.type >= r.first && m.type <= r.last) run = &r;
        }
        ASSERT_NE(run, nullptr) << m.type;
        EXPECT_EQ(m.version, run->version) << m.className;
        ++checked;
    }
    EXPECT_EQ(checked, 255);
}

TEST(CatalogTypes, RowsOfNote) {
    struct Case {
        int type;
        const char* name;
        const char* cls;
        int version;
        Dir dir;
    } cases[] = {
        {3, "OPEN_REQ", "OpenReqMSG", 2, Dir::ToServer},
        {12, "CALL_RETREIVED_EVENT", "CallRetrievedEventMSG", 2, Dir::ToClient},
        {58, "MAKE_PREDICTIVE_CALL_REQ", "MakePredictiveCallReqMSG", 5, Dir::ToServer},
        {91, "SEND_DTMF_SIGNAL_REQ", "SendDTMFSignalReqMSG", 3, Dir::ToServer},
        {111, "REGISTER_VARIABLES_CONF", "RegisterVariablesConfMSG", 2, Dir::ToClient},
        {147, "START_RECORDING_REQ", "StartRecordingReqMSG", 8, Dir::Both},
        {187, "GET_PRECALL_MESSAGES_REG", "GetPrecallMessagesReqMSG", 9, Dir::ToServer},
        {215, "ROUTE_END_EVENT", "RouteEndEventMSG", 10, Dir::Both},
        {247, "CALL_TERMINATION_EVENT", "CallTerminationEventMSG", 13, Dir::Neither},
        {253, "CONFIG_MEDIA_ROUTING_DOMAIN_EVENT_MSG", "ConfigMediaRoutingDomainEventMsg", 18,
         Dir::Neither},
        {259, "SESSION_FAILED_MSG", "SessionFailedMSG", 24, Dir::Internal},
        {262, "AGENT_TASKS_REQUEST_EVENT", "AgentTasksReqEventMSG", 23, Dir::ToServer},
        {278, "ACTIVE_MAINTENANCE_REQ", "ActiveMaintenanceReqMSG", 24, Dir::ToClient},
        {281, "STOPPING_REQUESTS_TO_THIS_SIDE_IND", "StoppingRequestsToThisSideInd", 24,
         Dir::ToServer},
    };
    for (const Case& c : cases) {
        const MessageRow* m = FindMessageRow(c.type);
        ASSERT_NE(m, nullptr) << c.type;
        EXPECT_STREQ(m->name, c.name);
        EXPECT_STREQ(m->className, c.cls);
        EXPECT_EQ(m->version, c.version) << c.cls;
        EXPECT_EQ(m->dir, c.dir) << c.cls;
    }
    for (const MissingTypeRow& t : TypesWithoutClass())
        if (std::set<int>{219, 220, 221, 222, 227, 228}.count(t.type)) {
            EXPECT_STREQ(t.name, "*INVALID*") << t.type;
        }
    EXPECT_EQ(FindMessageRow(66), nullptr);
    EXPECT_EQ(FindMessageRow(0), nullptr);
    EXPECT_EQ(FindMessageRow(283), nullptr);
}

TEST(CatalogTypes, ConstructorsAndOverrides) {
    std::map<std::string, Check> checks;
    std::set<std::string> presentSize, twoFlag;
    for (const MessageRow& m : MessageRows()) {
        if (m.check != Check::None) checks[m.className] = m.check;
        if (m.size == Size::PresentFields) presentSize.insert(m.className);
        if (m.ctor == Ctor::TraceFlags) twoFlag.insert(m.className);
    }
    std::map<std::string, Check> expect{
        {"OpenReqMSG", Check::OpenService},
        {"QueryAgentStateReqMSG", Check::AgentIdentity},
        {"MonitorStartReqMSG", Check::MonitorTarget},
        {"CallTerminationEventMSG", Check::Termination},
    };
    for (const char* c :
         {"SetCallDataReqMSG", "ConferenceCallReqMSG", "ConsultationCallReqMSG", "MakeCallReqMSG",
          "MakePredictiveCallReqMSG", "TransferCallReqMSG", "RegisterVariablesReqMSG",
          "CallTranslationRouteEventMSG", "BeginCallEventMSG", "CallDataUpdateEventMSG",
          "AgentPreCallEventMSG", "SnapshotCallConfMSG"})
        expect[c] = Check::EccCount;
    EXPECT_EQ(checks, expect);
    EXPECT_EQ(presentSize,
              (std::set<std::string>{"ConfigAgentEventMSG", "ConfigAgentServiceEventMSG"}));
    EXPECT_EQ(twoFlag, (std::set<std::string>{"AgentLegacyPrecallEventMSG",
                                              "AgentPreCallEventMSG",
                                              "BeginCallEventMSG",
                                              "BeginTaskEventMSG",
                                              "CallDataUpdateEventMSG",
                                              "CallDeliveredEventMSG",
                                              "CallTerminationEventMSG",
                                              "CallTranslationRouteEventMSG",
                                              "ConferenceCallReqMSG",
                                              "ConsultationCallReqMSG",
                                              "MakeCallReqMSG",
                                              "MakePredictiveCallReqMSG",
                                              "OfferApplicationTaskReqMSG",
                                              "RegisterVariablesReqMSG",
                                              "RouteRequestEventMSG",
                                              "RouteSelectEventMSG",
                                              "SetAppDataReqMSG",
                                              "SetCallDataReqMSG",
                                              "SnapshotCallConfMSG",
                                              "SnapshotTaskEventMSG",
                                              "SnapshotTaskRespMSG",
                                              "StartApplicationTaskReqMSG",
                                              "TaskDataUpdateEventMSG",
                                              "TaskInitIndMSG",
                                              "TaskInitReqMSG",
                                              "TransferCallReqMSG",
                                              "UpdateTaskContextIndMSG"}));
}

// ---------------------------------------------------------------------------------------
// Every class against the construction rules.

TEST(CatalogChains, EveryClassFollowsTheConstructionRules) {
    for (const MessageRow& m : MessageRows()) {
        SCOPED_TRACE(m.className);
        std::vector<Member> chain = Chain(m);
        bool floatingSeen = false;
        std::map<std::pair<uint16_t, uint32_t>, int> seen;  // (id, occurrence) -> count
        bool flagged = false;
        for (const Member& x : chain) {
            const elementdict::Row& d = Dict(x.cls.c_str());
            EXPECT_EQ(d.id, x.id) << x.cls;
            EXPECT_GE(x.version, d.from) << x.cls << " lowers its element's version";
            EXPECT_LE(x.version, 24u) << x.cls;
            bool fixed = x.id < elementdict::kFirstFloatingId;
            if (fixed) {
                EXPECT_FALSE(floatingSeen) << x.cls << " (fixed) after a floating field";
                EXPECT_FALSE(x.entry) << x.cls << ": arrays are floating";
                bool optional = m.type == 242 && x.cls == "TeamConfigKey";
                EXPECT_EQ(x.required, !optional) << x.cls;
            } else {
                floatingSeen = true;
            }
            if (x.entry) {
                EXPECT_FALSE(x.required);
                EXPECT_EQ(x.trace, Trace::Always);
            }
            flagged |= x.trace == Trace::CvFlag || x.trace == Trace::EccFlag ||
                       x.trace == Trace::EccAlways;
            if (x.trace == Trace::EccAlways) {
                EXPECT_EQ(m.type, 189);
            }
            if (x.trace == Trace::Never) {
                EXPECT_TRUE(x.cls == "AgentPassword" || x.cls == "ClientPassword") << x.cls;
            }
            if (x.cls == "ExpandedCallContxt") {
                EXPECT_NE(x.trace, Trace::Always) << "the call context follows a flag";
            }
            if (x.cls.rfind("CallVariable", 0) == 0 &&
                std::isdigit(static_cast<unsigned char>(x.cls.back()))) {
                EXPECT_EQ(x.trace, Trace::CvFlag) << x.cls;
            }
            ++seen[{x.id, x.occurrence}];
        }
        EXPECT_EQ(flagged, m.ctor == Ctor::TraceFlags);
        // Each (id, occurrence) once, but OPEN_REQ's three Reserved; a repeated id's
        // occurrences run 0..K-1 (record lists: r*N+j, every slot built).
        std::map<uint16_t, std::set<uint32_t>> occurrences;
        for (const auto& [key, count] : seen) {
            occurrences[key.first].insert(key.second);
            if (m.type == 3 && key.first == 8)
                EXPECT_EQ(count, 3);
            else
                EXPECT_EQ(count, 1) << "element " << key.first << " occurrence " << key.second;
        }
        for (const auto& [id, occ] : occurrences)
            EXPECT_EQ(*occ.rbegin(), occ.size() - 1) << "element " << id << " has gaps";
    }
}

TEST(CatalogChains, FieldlessClassesHaveNoMembers) {
    for (const MessageRow& m : MessageRows()) {
        bool fieldless = m.type == 181 || m.type == 184 || m.type == 277 || m.type == 281;
        EXPECT_EQ(MemberRows(m).empty(), fieldless) << m.className;
    }
}

// Fixed-part sizes per session version, as the protocol gives them.
TEST(CatalogChains, FixedPartSizesByVersion) {
    struct Case {
        const char* cls;
        uint32_t version;
        int bytes;
    } cases[] = {
        {"CallDeliveredEventMSG", 2, 32},
        {"CallDeliveredEventMSG", 3, 36},
        {"CallDeliveredEventMSG", 5, 40},
        {"CallDeliveredEventMSG", 6, 40},
        {"CallDeliveredEventMSG", 7, 50},
        {"CallDeliveredEventMSG", 9, 50},
        {"CallDeliveredEventMSG", 10, 54},
        {"CallReachedNetworkEventMSG", 3, 20},
        {"CallReachedNetworkEventMSG", 6, 24},
        {"CallReachedNetworkEventMSG", 7, 28},
        {"AgentStateEventMSG", 9, 56},
        {"AgentStateEventMSG", 10, 58},
        {"AgentStateEventMSG", 19, 62},
        {"OpenConfMSG", 2, 16},
        {"OpenConfMSG", 4, 16},
        {"OpenReqMSG", 9, 40},
        {"OpenReqMSG", 10, 44},
        {"MakeCallReqMSG", 3, 20},
        {"MakeCallReqMSG", 4, 20},
        {"MakeCallReqMSG", 5, 24},
        {"MakeCallReqMSG", 6, 28},
        {"MakeCallReqMSG", 13, 28},
        {"MakeCallReqMSG", 14, 32},
        {"ConferenceCallReqMSG", 4, 20},
        {"ConferenceCallReqMSG", 5, 36},
        {"ConferenceCallReqMSG", 6, 40},
        {"QueryDeviceInfoConfMSG", 5, 14},
        {"QueryDeviceInfoConfMSG", 6, 40},
        {"QueryAgentStatisticsConfMSG", 6, 168},
        {"QueryAgentStatisticsConfMSG", 7, 168},
        {"QueryAgentStatisticsConfMSG", 8, 328},
        {"QueryAgentStatisticsConfMSG", 9, 344},
        {"QuerySkillGroupStatisticsConfMSG", 7, 196},
        {"QuerySkillGroupStatisticsConfMSG", 8, 588},
        {"QuerySkillGroupStatisticsConfMSG", 9, 596},
        {"QueryQueueStatisticsConfMSG", 10, 100},
        {"QuerySummaryStatisticsConfMSG", 10, 98},
        {"AgentTasksRespMSG", 20, 20},
        {"AgentTasksBeginEventMSG", 23, 4},
        {"RouteRequestEventMSG", 10, 18},
        {"ConfigRequestKeyEventMSG", 10, 0},
        {"MonitorStopConfMSG", 5, 4},
        {"ChangeMonitorMaskConfMSG", 5, 4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FixedBytes(Class(c.cls), c.version), c.bytes) << c.cls << " v" << c.version;

    // Field counts of the two statistics confirmations.
    auto fixedFields = [](const char* cls, uint32_t v) {
        int n = 0;
        for (const Member& x : Chain(Class(cls)))
            n += x.id < elementdict::kFirstFloatingId && x.version <= v;
        return n;
    };
    EXPECT_EQ(fixedFields("QueryAgentStatisticsConfMSG", 7), 42);
    EXPECT_EQ(fixedFields("QueryAgentStatisticsConfMSG", 8), 82);
    EXPECT_EQ(fixedFields("QueryAgentStatisticsConfMSG", 9), 86);
    EXPECT_EQ(fixedFields("QuerySkillGroupStatisticsConfMSG", 7), 49);
    EXPECT_EQ(fixedFields("QuerySkillGroupStatisticsConfMSG", 8), 147);
    EXPECT_EQ(fixedFields("QuerySkillGroupStatisticsConfMSG", 9), 149);
}

// Arrays whose entries exist from different versions, and the record lists.
TEST(CatalogChains, EntryVersionsAndRecordLists) {
    auto entriesAt = [](const char* cls, const char* field, uint32_t v) {
        int n = 0;
        for (const Member& x : Chain(Class(cls))) n += x.cls == field && x.version <= v;
        return n;
    };
    struct Case {
        const char* cls;
        const char* field;
        uint32_t version;
        int entries;
    } cases[] = {
        {"CallQueuedEventMSG", "FltSkillGroupNumber", 2, 0},
        {"CallQueuedEventMSG", "FltSkillGroupNumber", 4, 10},
        {"CallQueuedEventMSG", "FltSkillGroupNumber", 5, 99},
        {"CallDequeuedEventMSG", "FltSkillGroupPriority", 3, 10},
        {"QueryAgentStateConfMSG", "FltSkillGroupState", 4, 10},
        {"QueryAgentStateConfMSG", "FltSkillGroupState", 5, 99},
        {"SetAgentStateReqMSG", "FltSkillGroupPriority", 3, 10},
        {"SetAgentStateReqMSG", "FltSkillGroupPriority", 5, 99},
        {"AgentStateEventMSG", "FltSkillGroupNumber", 9, 0},
        {"AgentStateEventMSG", "FltSkillGroupNumber", 10, 99},
        {"CallConferencedEventMSG", "ConnectedPartyDeviceID", 2, 16},
        {"SnapshotCallConfMSG", "COCCallConnectionDeviceID", 13, 0},
        {"SnapshotCallConfMSG", "CallDeviceID", 13, 16},
        {"SnapshotCallConfMSG", "FltEnabledServices", 24, 32},
        {"AgentTasksRespMSG", "FltTaskID", 20, 256},
        {"AgentTeamConfigEventMSG", "AtcAgentID_Long", 9, 0},
        {"AgentTeamConfigEventMSG", "AtcAgentID_Long", 10, 64},
        {"DesktopConnectedIndMSG", "FltAgentMRDID", 23, 40},
        {"ConfigServiceEventMSG", "ServiceMember", 10, 100},
        {"ConfigAgentEventMSG", "FltSkillGroupNumber", 10, 1000},
        {"ConfigAgentEventMSG", "FltAgentMRDState", 20, 0},
        {"ConfigAgentEventMSG", "FltAgentMRDState", 21, 400},
        {"ConfigTerminalEventMSG", "AgentInstrument", 24, 100},
        {"ConfigAgentServiceEventMSG", "FltEnabledServices", 24, 320},
    };
    for (const Case& c : cases)
        EXPECT_EQ(entriesAt(c.cls, c.field, c.version), c.entries)
            << c.cls << " " << c.field << " v" << c.version;

    // CONFIG_AGENT_EVENT: 2,961 members; a record's own fields per version.
    const MessageRow& agent = Class("ConfigAgentEventMSG");
    EXPECT_EQ(Chain(agent).size(), 2961u);
    auto ownFields = [&](uint32_t v) {
        int n = 0;
        for (const Member& x : Chain(agent))
            n += x.entry && x.occurrence == 0 && x.version <= v && x.cls != "FltSkillGroupNumber" &&
                 x.cls != "FltSkillGroupPriority" && x.cls != "FltAgentMRDID" &&
                 x.cls != "FltAgentMRDState";
        return n;
    };
    EXPECT_EQ(ownFields(10), 9);
    EXPECT_EQ(ownFields(11), 12);
    EXPECT_EQ(ownFields(24), 16);

    // Record r's list entry j is occurrence r*N+j, chained after the record's own fields.
    std::vector<Member> chain = Chain(Class("ConfigServiceEventMSG"));
    std::vector<std::string> record1;
    bool inRecord1 = false;
    for (const Member& x : chain) {
        if (x.cls == "RecordType") inRecord1 = x.occurrence == 1;
        if (inRecord1) record1.push_back(x.cls + "#" + std::to_string(x.occurrence));
    }
    ASSERT_EQ(record1.size(), 14u + 20u);
    EXPECT_EQ(record1[13], "NumServiceMembers#1");
    EXPECT_EQ(record1[14], "ServiceMember#10");
    EXPECT_EQ(record1[15], "ServicePriority#10");
    EXPECT_EQ(record1[33], "ServicePriority#19");

    // The count field of each list.
    std::map<std::string, std::string> counts;
    for (const MessageRow& m : MessageRows())
        for (const MemberRow& r : MemberRows(m))
            if (r.kind == MemberKind::ListBegin)
                counts[std::string(m.className) + "/" + std::to_string(r.count)] = r.elementClass;
    EXPECT_EQ(counts, (std::map<std::string, std::string>{
                          {"ConfigServiceEventMSG/10", "NumServiceMembers"},
                          {"ConfigAgentEventMSG/100", "NumSkills"},
                          {"ConfigAgentEventMSG/40", "NumMRDs"},
                          {"ConfigTerminalEventMSG/10", "NumInstruments"},
                          {"ConfigAgentServiceEventMSG/32", "NumOfEnabledServices"}}));
}

// Orders the protocol singles out.
TEST(CatalogChains, WireOrdersOfNote) {
    auto names = [](const char* cls, std::size_t n) {
        std::vector<std::string> out;
        for (const Member& x : Chain(Class(cls))) {
            if (out.size() == n) break;
            out.push_back(x.cls);
        }
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(names("AgentInitReqMSG", 2), (V{"MRDID", "InvokeID"}));
    EXPECT_EQ(names("TaskInitIndMSG", 3), (V{"TaskID", "MRDID", "InvokeID"}));
    EXPECT_EQ(names("TaskInitReqMSG", 1), (V{"PreviousZURTaskID"}));
    EXPECT_EQ(names("ChangeMaxTaskLimitRespMSG", 4),
              (V{"InvokeID", "MRDID", "DoThisWithTaskOnTheWay", "ARMStatus"}));
    EXPECT_EQ(names("RouteRequestEventMSG", 6),
              (V{"RoutingCrossRefID", "ConnectionCallID", "ConnectionDeviceIDType",
                 "NumNamedVariables", "NumNamedArrays", "CTIPeripheralID"}));
    EXPECT_EQ(names("MaxTaskLifetimeExceededEventMSG", 3), (V{"MRDID", "ZURAgentID", "TaskID"}));
    EXPECT_EQ(names("SetCallDataReqMSG", 4),
              (V{"InvokeID", "CTIPeripheralID", "ConnectionDeviceIDType", "ConnectionCallID"}));
    EXPECT_EQ(names("AnswerCallReqMSG", 4),
              (V{"InvokeID", "CTIPeripheralID", "ConnectionCallID", "ConnectionDeviceIDType"}));

    // AGENT_STATE_EVENT: DepartmentID ends the fixed part, Direction opens the floating one.
    std::vector<Member> ase = Chain(Class("AgentStateEventMSG"));
    auto firstFloating = std::find_if(ase.begin(), ase.end(), [](const Member& x) {
        return x.id >= elementdict::kFirstFloatingId;
    });
    ASSERT_NE(firstFloating, ase.begin());
    EXPECT_EQ(std::prev(firstFloating)->cls, "DepartmentID");
    EXPECT_EQ(firstFloating->cls, "Direction");
    EXPECT_TRUE(firstFloating->required);
    EXPECT_EQ(firstFloating->version, 16u);

    // QUERY_AGENT_STATE_CONF: InternalAgentState right after AgentID_Long.
    std::vector<Member> qas = Chain(Class("QueryAgentStateConfMSG"));
    for (std::size_t i = 0; i + 1 < qas.size(); ++i)
        if (qas[i].cls == "AgentID_Long") {
            EXPECT_EQ(qas[i + 1].cls, "InternalAgentState");
        }

    // Type 91: the older layout has a 2-byte CallMannerType where the current one has the
    // 4-byte PauseDuration, and no WEXACILClientID.
    std::vector<Member> dtmf = Chain(*FindMessageRow(91));
    std::vector<Member> old = Chain(*FindMessageRow(91, Layout::Older));
    ASSERT_EQ(dtmf.size(), old.size() + 1);
    for (std::size_t i = 0; i < old.size(); ++i)
        if (i == 5) {
            EXPECT_EQ(dtmf[i].cls, "PauseDuration");
            EXPECT_EQ(old[i].cls, "CallMannerType");
            EXPECT_EQ(Dict("PauseDuration").bytes, 4);
            EXPECT_EQ(Dict("CallMannerType").bytes, 2);
        } else {
            EXPECT_EQ(dtmf[i].cls, old[i].cls);
        }
    EXPECT_EQ(dtmf.back().cls, "WEXACILClientID");
}

// The hand-written rules read fields by element id, and a class that lacks an element it is
// asked for ends the process: every class that runs a rule must hold all that rule reads.
TEST(CatalogChains, ClassesHoldWhatTheirRulesRead) {
    namespace E = elementid;
    std::map<Check, std::vector<uint32_t>> reads{
        {Check::OpenService,
         {E::VersionNumber, E::ServiceMask, E::AgentExtension, E::AgentID, E::AgentID_Long,
          E::AgentInstrument}},
        {Check::EccCount, {E::NumNamedVariables, E::NumNamedArrays, E::ExpandedCallContxt}},
        {Check::AgentIdentity, {E::AgentExtension, E::AgentID, E::AgentInstrument}},
        {Check::MonitorTarget,
         {E::ConnectionCallID, E::ConnectionDeviceIDType, E::ConnectionDeviceID,
          E::MonitoredDeviceType, E::MonitoredDeviceID}},
        {Check::Termination, {E::TimeZone, E::CallDisposition, E::Duration}},
    };
    for (const MessageRow& m : MessageRows()) {
        if (m.check == Check::None) continue;
        std::set<uint16_t> ids;
        for (const Member& x : Chain(m)) ids.insert(x.id);
        for (uint32_t id : reads.at(m.check))
            EXPECT_TRUE(ids.count(static_cast<uint16_t>(id)))
                << m.className << " lacks element " << static_cast<int>(id);
    }
}

// Record messages: NumRecords alone in the fixed part, then ten records that open with
// RecordType; a record list's count field is one of the record's own fields.
TEST(CatalogChains, RecordMessagesShareOneFrame) {
    int recordMessages = 0;
    for (const MessageRow& m : MessageRows()) {
        std::span<const MemberRow> rows = MemberRows(m);
        if (rows.empty() || std::strcmp(rows[0].elementClass, "NumRecords") != 0) continue;
        if (m.type == 243) continue;  // the team event has a frame of its own
        SCOPED_TRACE(m.className);
        ++recordMessages;
        ASSERT_GE(rows.size(), 3u);
        EXPECT_EQ(rows[1].kind, MemberKind::GroupBegin);
        EXPECT_EQ(rows[1].count, 10);
        EXPECT_STREQ(rows[2].elementClass, "RecordType");
        EXPECT_EQ(rows.back().kind, MemberKind::GroupEnd);
        std::set<std::string> own;
        bool inList = false;
        for (const MemberRow& r : rows.subspan(2)) {
            if (r.kind == MemberKind::ListBegin) {
                EXPECT_TRUE(own.count(r.elementClass)) << r.elementClass;
                inList = true;
            } else if (r.kind == MemberKind::ListEnd) {
                inList = false;
            } else if (r.kind == MemberKind::Entry && !inList) {
                own.insert(r.elementClass);
            }
        }
    }
    // 236, 238, 245, 252-254, 260, 261 and the four with member lists.
    EXPECT_EQ(recordMessages, 12);
}

// ---------------------------------------------------------------------------------------
// The layouts of 52 classes as listed a second time, in another notation: each field as
// element class and element id, unmarked = required, traced, from version 2; marks opt,
// tc (call-variable flag), te (call-context flag), untraced, from N; "K entries of (...)"
// is a group of interleaved arrays, optionally with ", entries 0 to 9 from 3 and entries 10
// to 98 from 5".

const char* const kLayouts[] = {
    R"(`OpenReqMSG`, 3 `OPEN_REQ`, client to server, message from version 2: `InvokeID` 1; `VersionNumber` 2; `IdleTimeout` 3; `CTIPeripheralID` 4; `ServiceMask` 5; `CallMsgMask` 6; `AgentStateMask` 7; `ConfigMsgMask` 375 from 10; `Reserved` 8; `Reserved` 8; `Reserved` 8; `ClientID` 432; `ClientPassword` 433 untraced; `ClientSignature` 434 opt; `AgentExtension` 435 opt; `AgentID` 436 opt; `AgentID_Long` 611 opt from 10; `AgentInstrument` 437 opt; `ApplicationPathID` 525 opt from 9; `UniqueInstanceID` 720 opt from 24)",
    R"(`OpenConfMSG`, 4 `OPEN_CONF`, server to client, message from version 2: `InvokeID` 1; `ServiceMask` 5; `MonitorID` 87 from 5; `PGStatus` 9; `CCTimestamp` 174 from 6; `PeripheralOnline` 97 from 5; `PeripheralType` 10; `CTIAgentState` 11; `DepartmentID` 423 from 19; `SessionType` 429 from 24; `AgentExtension` 435 opt; `AgentID` 436 opt; `AgentID_Long` 611 opt from 10; `AgentInstrument` 437 opt; `NumPeripherals` 641 opt from 14; 32 entries of (`FltPeripheralID` 623 opt from 14, `MultiLineAgentControl` 639 opt from 14))",
    R"(`HeartbeatReqMSG`, 5 `HEARTBEAT_REQ`, client to server, message from version 2: `InvokeID` 1)",
    R"(`HeartbeatConfMSG`, 6 `HEARTBEAT_CONF`, server to client, message from version 2: `InvokeID` 1)",
    R"(`ClientEventReportReqMSG`, 32 `CLIENT_EVENT_REPORT_REQ`, client to server, message from version 3: `InvokeID` 1; `ObjectState` 54 from 3; `ObjectName` 479 opt from 3; `CTIText` 477)",
    R"(`ClientEventReportConfMSG`, 33 `CLIENT_EVENT_REPORT_CONF`, server to client, message from version 3: `InvokeID` 1)",
    R"(`ClientSessionOpenedEventMSG`, 99 `CLIENT_SESSION_OPENED_EVENT`, server to client, message from version 5: `SessionID` 96 from 5; `CTIPeripheralID` 4; `ServiceMask` 5; `CallMsgMask` 6; `AgentStateMask` 7; `ClientPort` 95 from 5; `ClientAddress` 510 opt from 5; `ClientID` 432; `ClientSignature` 434; `AgentExtension` 435 opt; `AgentID` 436 opt; `AgentID_Long` 611 opt from 10; `AgentInstrument` 437 opt)",
    R"(`SetCallDataReqMSG`, 26 `SET_CALL_DATA_REQ`, client to server, message from version 2: `InvokeID` 1; `CTIPeripheralID` 4; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `NumNamedVariables` 163 from 6; `NumNamedArrays` 164 from 6; `CtiCallType` 15 from 8; `CalledPartyDisposition` 176 from 8; `CampaignID` 330 from 8; `QueryRuleID` 331 from 8; `ConnectionDeviceID` 455; `ANIField` 438 opt; `ANI_II_Field` 630 opt from 11; `UserToUserField` 439 opt; `CEDField` 442 opt; `CallVariable1` 443 to `CallVariable10` 452 opt tc; `CallWrapupData` 476 opt; `ExpandedCallContxt` 511 opt te from 6; `CustomerPhoneNumber` 523 opt from 8; `CustomerAccountNumber` 524 opt from 8; `WEXACILClientID` 632 opt from 11; `CallOriginatedFrom` 645 opt from 14)",
    R"(`SetCallDataConfMSG`, 27 `SET_CALL_DATA_CONF`, server to client, message from version 2: `InvokeID` 1)",
    R"(`ReleaseCallReqMSG`, 28 `RELEASE_CALL_REQ`, client to server, message from version 2: `InvokeID` 1; `CTIPeripheralID` 4; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `ConnectionDeviceID` 455; `WEXACILClientID` 632 opt from 11)",
    R"(`ReleaseCallConfMSG`, 29 `RELEASE_CALL_CONF`, server to client, message from version 2: `InvokeID` 1)",
    R"(`AlternateCallReqMSG`, 40 `ALTERNATE_CALL_REQ`, client to server, message from version 3: `InvokeID` 1; `CTIPeripheralID` 4; `ActiveConnCallID` 59 from 3; `OtherConnCallID` 61 from 3; `ActiveConnDeviceIDType` 60 from 3; `OtherConnDeviceIDType` 62 from 3; `ActiveConnDeviceID` 488 from 3; `OtherConnDeviceID` 489 from 3; `AgentInstrument` 437 opt from 8; `WEXACILClientID` 632 opt from 11)",
    R"(`AlternateCallConfMSG`, 41 `ALTERNATE_CALL_CONF`, server to client, message from version 3: `InvokeID` 1)",
    R"(`AnswerCallReqMSG`, 42 `ANSWER_CALL_REQ`, client to server, message from version 3: `InvokeID` 1; `CTIPeripheralID` 4; `ConnectionCallID` 14; `ConnectionDeviceIDType` 16; `ConnectionDeviceID` 455; `AgentInstrument` 437 opt; `WEXACILClientID` 632 opt from 11)",
    R"(`AnswerCallConfMSG`, 43 `ANSWER_CALL_CONF`, server to client, message from version 3: `InvokeID` 1)",
    R"(`ClearCallReqMSG`, 44 `CLEAR_CALL_REQ`, client to server, message from version 3: `InvokeID` 1; `CTIPeripheralID` 4; `ConnectionCallID` 14; `ConnectionDeviceIDType` 16; `ConnectionDeviceID` 455; `AgentInstrument` 437 opt from 8; `WEXACILClientID` 632 opt from 11)",
    R"(`ClearCallConfMSG`, 45 `CLEAR_CALL_CONF`, server to client, message from version 3: `InvokeID` 1)",
    R"(`ClearConnectionReqMSG`, 46 `CLEAR_CONNECTION_REQ`, client to server, message from version 3: `InvokeID` 1; `CTIPeripheralID` 4; `ConnectionCallID` 14; `ConnectionDeviceIDType` 16; `ConnectionDeviceID` 455; `AgentInstrument` 437 opt from 5; `WEXACILClientID` 632 opt from 11; `RequestingDeviceID` 634 opt from 14; `RequestingDeviceIDType` 635 opt from 14)",
    R"(`ClearConnectionConfMSG`, 47 `CLEAR_CONNECTION_CONF`, server to client, message from version 3: `InvokeID` 1)",
    R"(`HoldCallReqMSG`, 54 `HOLD_CALL_REQ`, client to server, message from version 3: `InvokeID` 1; `CTIPeripheralID` 4; `ConnectionCallID` 14; `ConnectionDeviceIDType` 16; `Reservation` 71 from 3; `ConnectionDeviceID` 455; `AgentInstrument` 437 opt from 8; `WEXACILClientID` 632 opt from 11)",
    R"(`HoldCallConfMSG`, 55 `HOLD_CALL_CONF`, server to client, message from version 3: `InvokeID` 1)",
    R"(`MakeCallReqMSG`, 56 `MAKE_CALL_REQ`, client to server, message from version 3: `InvokeID` 1; `CTIPeripheralID` 4; `CallPlacementType` 65 from 3; `CallMannerType` 66 from 3; `AlertRings` 72 from 5; `CallOption` 89 from 5; `FacilityType` 68 from 3; `AnsweringMachine` 74 from 3; `Priority` 69 from 3; `PostRoute` 70 from 3; `NumNamedVariables` 163 from 6; `NumNamedArrays` 164 from 6; `SkillGroupNumber` 25 from 14; `AgentInstrument` 437; `DialedNumberField` 441; `UserToUserField` 439 opt; `CallVariable1` 443 to `CallVariable10` 452 opt tc; `CallWrapupData` 476 opt; `ExpandedCallContxt` 511 opt te from 6; `FacilityCode` 491 opt from 3; `AuthorizationCode` 506 opt from 5; `AccountCode` 507 opt from 5; `CallControlTable` 512 opt from 5)",
    R"(`MakeCallConfMSG`, 57 `MAKE_CALL_CONF`, server to client, message from version 3: `InvokeID` 1; `NewConnectionCallID` 51; `NewConnectionDeviceIDType` 52; `LineHandle` 49; `LineTypeField` 50; `NewConnectionDeviceID` 478)",
    R"(`RetrieveCallReqMSG`, 62 `RETRIEVE_CALL_REQ`, client to server, message from version 3: `InvokeID` 1; `CTIPeripheralID` 4; `HeldConnCallID` 63 from 3; `HeldConnDeviceIDType` 64 from 3; `HeldConnDeviceID` 490 from 3; `AgentInstrument` 437 opt from 8; `WEXACILClientID` 632 opt from 11)",
    R"(`RetrieveCallConfMSG`, 63 `RETRIEVE_CALL_CONF`, server to client, message from version 3: `InvokeID` 1)",
    R"(`SetDeviceAttributesReqMSG`, 141 `SET_DEVICE_ATTRIBUTES_REQ`, client to server, message from version 8: `InvokeID` 1; `CTIPeripheralID` 4; `ServiceNumber` 17; `ServiceID` 18; `SkillGroupNumber` 25; `SkillGroupID` 26; `SkillGroupPriority` 53; `CtiCallType` 15; `CallingDeviceType` 20; `CallingDeviceID` 457)",
    R"(`SetDeviceAttributesConfMSG`, 142 `SET_DEVICE_ATTRIBUTES_CONF`, server to client, message from version 8: `InvokeID` 1)",
    R"(`CallDeliveredEventMSG`, 9 `CALL_DELIVERED_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `LineHandle` 49 from 3; `LineTypeField` 50 from 3; `ServiceNumber` 17; `ServiceID` 18; `SkillGroupNumber` 25 from 7; `SkillGroupID` 26 from 7; `SkillGroupPriority` 53 from 7; `AlertingDeviceType` 19; `CallingDeviceType` 20; `CalledDeviceType` 21; `LastRedirectDeviceType` 22; `LocalConnectionState` 23; `EventCause` 24; `NumNamedVariables` 163 from 10; `NumNamedArrays` 164 from 10; `ConnectionDeviceID` 455; `AlertingDeviceID` 456 opt; `CallingDeviceID` 457 opt; `CalledDeviceID` 458 opt; `LastRedirectDeviceID` 459 opt; `TrunkNumber` 544 opt from 9; `TrunkGroupNumber` 545 opt from 9; `SecondaryConnectionCallID` 617 opt from 10; `ANIField` 438 opt from 10; `ANI_II_Field` 630 opt from 11; `UserToUserField` 439 opt from 10; `DNISField` 440 opt from 10; `DialedNumberField` 441 opt from 10; `CEDField` 442 opt from 10; `CallVariable1` 443 to `CallVariable10` 452 opt tc from 10; `CallWrapupData` 476 opt from 10; `ExpandedCallContxt` 511 opt te from 10; `REMaskArray` 649 opt from 16)",
    R"(`CallEstablishedEventMSG`, 10 `CALL_ESTABLISHED_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `LineHandle` 49; `LineTypeField` 50; `ServiceNumber` 17; `ServiceID` 18; `SkillGroupNumber` 25; `SkillGroupID` 26; `SkillGroupPriority` 53; `AnsweringDeviceType` 27; `CallingDeviceType` 20; `CalledDeviceType` 21; `LastRedirectDeviceType` 22; `LocalConnectionState` 23; `EventCause` 24; `ConnectionDeviceID` 455; `AnsweringDeviceID` 460 opt; `CallingDeviceID` 457 opt; `CalledDeviceID` 458 opt; `LastRedirectDeviceID` 459 opt; `TrunkNumber` 544 opt from 9; `TrunkGroupNumber` 545 opt from 9; `REMaskArray` 649 opt from 16)",
    R"(`CallHeldEventMSG`, 11 `CALL_HELD_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `HoldingDeviceType` 28; `LocalConnectionState` 23; `EventCause` 24; `ConnectionDeviceID` 455; `HoldingDeviceID` 461 opt; `REMaskArray` 649 opt from 16)",
    R"(`CallRetrievedEventMSG`, 12 `CALL_RETREIVED_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `RetrievingDeviceType` 29; `LocalConnectionState` 23; `EventCause` 24; `ConnectionDeviceID` 455; `RetrievingDeviceID` 462 opt; `REMaskArray` 649 opt from 16)",
    R"(`CallClearedEventMSG`, 13 `CALL_CLEARED_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `LocalConnectionState` 23; `EventCause` 24; `ConnectionDeviceID` 455; `REMaskArray` 649 opt from 16)",
    R"(`CallConnectionClearedEventMSG`, 14 `CALL_CONNECTION_CLEARED_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `ReleasingDeviceType` 30; `LocalConnectionState` 23; `EventCause` 24; `ConnectionDeviceID` 455; `ReleasingDeviceID` 463 opt; `REMaskArray` 649 opt from 16)",
    R"(`CallOriginatedEventMSG`, 15 `CALL_ORIGINATED_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `LineHandle` 49; `LineTypeField` 50; `ServiceNumber` 17; `ServiceID` 18; `SkillGroupNumber` 25; `SkillGroupID` 26; `SkillGroupPriority` 53; `CallingDeviceType` 20; `CalledDeviceType` 21; `LocalConnectionState` 23; `EventCause` 24; `ConnectionDeviceID` 455; `CallingDeviceID` 457 opt; `CalledDeviceID` 458 opt; `REMaskArray` 649 opt from 16)",
    R"(`CallConferencedEventMSG`, 17 `CALL_CONFERENCED_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `PrimaryDeviceIDType` 32; `PrimaryCallID` 33; `LineHandle` 49; `LineTypeField` 50; `SkillGroupNumber` 25; `SkillGroupID` 26; `SkillGroupPriority` 53; `NumParties` 34; `SecondaryDeviceIDType` 35; `SecondaryCallID` 36; `ControllerDeviceType` 37; `AddedPartyDeviceType` 38; `LocalConnectionState` 23; `EventCause` 24; `PrimaryDeviceID` 465; `SecondaryDeviceID` 466; `ControllerDeviceID` 467 opt; `AddedPartyDeviceID` 468 opt; 16 entries of (`ConnectedPartyCallID` 469 opt, `ConnectedPartyDeviceIDType` 470 opt, `ConnectedPartyDeviceID` 471 opt); `REMaskArray` 649 opt from 16)",
    R"(`CallTransferredEventMSG`, 18 `CALL_TRANSFERRED_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `PrimaryDeviceIDType` 32; `PrimaryCallID` 33; `LineHandle` 49; `LineTypeField` 50; `SkillGroupNumber` 25; `SkillGroupID` 26; `SkillGroupPriority` 53; `NumParties` 34; `SecondaryDeviceIDType` 35; `SecondaryCallID` 36; `TransferringDeviceType` 39; `TransferredDeviceType` 40; `LocalConnectionState` 23; `EventCause` 24; `PrimaryDeviceID` 465; `SecondaryDeviceID` 466; `TransferringDeviceID` 472 opt; `TransferredDeviceID` 473 opt; 16 entries of (`ConnectedPartyCallID` 469 opt, `ConnectedPartyDeviceIDType` 470 opt, `ConnectedPartyDeviceID` 471 opt); `REMaskArray` 649 opt from 16)",
    R"(`CallServiceInitiatedEventMSG`, 20 `CALL_SERVICE_INITIATED_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `LineHandle` 49; `LineTypeField` 50; `ServiceNumber` 17; `ServiceID` 18; `SkillGroupNumber` 25; `SkillGroupID` 26; `SkillGroupPriority` 53; `CallingDeviceType` 20 from 5; `LocalConnectionState` 23; `EventCause` 24; `ConnectionDeviceID` 455; `CallingDeviceID` 457 opt from 5; `COCConnectionCallID` 642 opt from 14; `COCCallConnectionDeviceIDType` 643 opt from 14; `COCCallConnectionDeviceID` 644 opt from 14; `REMaskArray` 649 opt from 16)",
    R"(`BeginCallEventMSG`, 23 `BEGIN_CALL_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `NumCTIClients` 13; `NumNamedVariables` 163 from 6; `NumNamedArrays` 164 from 6; `CtiCallType` 15; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `CalledPartyDisposition` 176 from 8; `ConnectionDeviceID` 455; `ANIField` 438 opt; `ANI_II_Field` 630 opt from 11; `UserToUserField` 439 opt; `DNISField` 440 opt; `DialedNumberField` 441 opt; `CEDField` 442 opt; `RouterCallKeyDay` 501 opt from 3; `RouterCallKeyCallID` 502 opt from 3; `RouterCallKeySequenceNum` 533 opt from 9; `CallVariable1` 443 to `CallVariable10` 452 opt tc; `CallWrapupData` 476 opt; `ExpandedCallContxt` 511 opt te from 6; 16 entries of (`CTIClientSignature` 453 opt, `CTIClientTimestamp` 454 opt); `CallReferenceID` 638 opt from 14)",
    R"(`EndCallEventMSG`, 24 `END_CALL_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `ConnectionDeviceID` 455)",
    R"(`CallDataUpdateEventMSG`, 25 `CALL_DATA_UPDATE_EVENT`, server to client, message from version 2: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `NumCTIClients` 13; `NumNamedVariables` 163 from 6; `NumNamedArrays` 164 from 6; `CtiCallType` 15; `ConnectionDeviceIDType` 16; `ConnectionCallID` 14; `NewConnectionDeviceIDType` 52; `NewConnectionCallID` 51; `CalledPartyDisposition` 176 from 8; `CampaignID` 330 from 8; `QueryRuleID` 331 from 8; `ConnectionDeviceID` 455; `NewConnectionDeviceID` 478; `ANIField` 438 opt; `ANI_II_Field` 630 opt from 11; `UserToUserField` 439 opt; `DNISField` 440 opt; `DialedNumberField` 441 opt; `CEDField` 442 opt; `RouterCallKeyDay` 501 opt from 3; `RouterCallKeyCallID` 502 opt from 3; `RouterCallKeySequenceNum` 533 opt from 9; `CallVariable1` 443 to `CallVariable10` 452 opt tc; `CallWrapupData` 476 opt; `ExpandedCallContxt` 511 opt te from 6; `CustomerPhoneNumber` 523 opt from 8; `CustomerAccountNumber` 524 opt from 8; 16 entries of (`CTIClientSignature` 453 opt, `CTIClientTimestamp` 454 opt); `CallReferenceID` 638 opt from 14)",
    R"(`AgentPreCallEventMSG`, 105 `AGENT_PRE_CALL_EVENT`, server to client, message from version 6: `MonitorID` 87 from 5; `NumNamedVariables` 163 from 6; `NumNamedArrays` 164 from 6; `ServiceNumber` 17; `ServiceID` 18; `SkillGroupNumber` 25; `SkillGroupID` 26; `SkillGroupPriority` 53; `MRDID` 334 from 9; `AgentSkillTargetID` 424 from 20; `AgentInstrument` 437; `RouterCallKeyDay` 501 from 3; `RouterCallKeyCallID` 502 from 3; `RouterCallKeySequenceNum` 533 opt from 9; `ANIField` 438 opt; `ANI_II_Field` 630 opt from 11; `UserToUserField` 439 opt; `DialedNumberField` 441 opt; `CEDField` 442 opt; `CallVariable1` 443 to `CallVariable10` 452 opt tc; `ExpandedCallContxt` 511 opt te from 6; `FltCallTypeID` 625 opt from 14; `PreCallInvokeID` 636 opt from 14; `AgentID` 436 opt from 20; `ProtocolReferenceGUID` 706 opt from 24; `TessalyConfigId` 723 opt from 24; `NumOfEnabledServices` 722 opt from 24; 32 entries of (`FltEnabledServices` 721 opt from 24))",
    R"(`CallTerminationEventMSG`, 247 `CALL_TERMINATION_EVENT`, decoded only; the server neither handles nor builds it, message from version 13: `MonitorID` 87 from 5; `CTIPeripheralID` 4; `PeripheralType` 10; `ConnectionCallID` 14; `CtiCallType` 15; `NumNamedVariables` 163 from 6; `NumNamedArrays` 164 from 6; `TimeZone` 582 from 13; `CallDisposition` 567 from 13; `Duration` 569 from 10; `NetworkTime` 568 opt from 13; `RingTime` 570 opt from 13; `DelayTime` 571 opt from 13; `TimeToAband` 572 opt from 13; `HoldTime` 573 opt from 13; `TalkTime` 574 opt from 13; `WorkTime` 575 opt from 13; `LocalQTime` 576 opt from 13; `ConferenceTime` 579 opt from 13; `TrunkGroupNumber` 545 opt from 9; `TrunkNumber` 544 opt from 9; `SourceAgentPeripheralNumber` 590 opt from 13; `FltSkillGroupNumber` 481 opt from 3; `FltServiceID` 610 opt; `InstrumentPortNumber` 584 opt from 13; `AgentPeripheralNumber` 585 opt from 10; `DialedNumberField` 441 opt; `CallVariable1` 443 to `CallVariable10` 452 opt tc; `ExpandedCallContxt` 511 opt te from 6; `UserToUserField` 439 opt; `DNISField` 440 opt; `ANIField` 438 opt; `CEDField` 442 opt; `CallWrapupData` 476 opt; `CallReferenceID` 638 opt from 14)",
    R"(`QueryAgentStateReqMSG`, 36 `QUERY_AGENT_STATE_REQ`, client to server, message from version 3: `InvokeID` 1; `CTIPeripheralID` 4; `MRDID` 334 from 9; `ZURAgentID` 335 from 9; `AgentExtension` 435 opt from 6; `AgentID` 436 opt from 6; `AgentID_Long` 611 opt from 10; `AgentInstrument` 437 opt)",
    R"(`QueryAgentStateConfMSG`, 37 `QUERY_AGENT_STATE_CONF`, server to client, message from version 3: `InvokeID` 1; `CTIAgentState` 11; `NumSkillGroups` 57 from 3; `MRDID` 334 from 9; `NumTasks` 351 from 9; `AgentMode` 336 from 9; `MaxTaskLimit` 338 from 9; `ZURAgentID` 335 from 9; `AgentAvailabilityStatus` 368 from 9; `DepartmentID` 423 from 19; `AgentID` 436 opt; `AgentID_Long` 611 opt from 10; `InternalAgentState` 668 opt from 19; `AgentExtension` 435 opt; `AgentInstrument` 437 opt from 6; 99 entries of (`FltSkillGroupNumber` 481 opt, `FltSkillGroupID` 482 opt, `FltSkillGroupPriority` 483 opt, `FltSkillGroupState` 484 opt), entries 0 to 9 from 3 and entries 10 to 98 from 5; `MaxBeyondTaskLimit` 678 opt from 22)",
    R"(`QueryDeviceInfoReqMSG`, 78 `QUERY_DEVICE_INFO_REQ`, client to server, message from version 3: `InvokeID` 1; `CTIPeripheralID` 4; `QueryDeviceDataType` 84; `AgentInstrument` 437)",
    R"(`QueryDeviceInfoConfMSG`, 79 `QUERY_DEVICE_INFO_CONF`, server to client, message from version 3: `InvokeID` 1; `PeripheralType` 10; `TypeOfDevice` 76 from 3; `ClassOfDevice` 77 from 3; `NumLines` 78 from 3; `QueryDeviceDataType` 84; `MaxActiveCalls` 168 from 6; `MaxHeldCalls` 169 from 6; `MaxDevicesInConference` 170 from 6; `AgentStateMask` 7 from 6; `TransferConferenceSetup` 171 from 6; `CallMsgMask` 6 from 6; `CallControlSupported` 172 from 6; `OtherFeaturesSupported` 173 from 6; 10 entries of (`FltLineHandle` 492 opt from 3, `FltLineType` 493 opt from 3); `QueryDeviceData` 503 opt)",
    R"(`QueryAgentStatisticsReqMSG`, 112 `QUERY_AGENT_STATISTICS_REQ`, client to server, message from version 6: `InvokeID` 1; `CTIPeripheralID` 4; `AgentExtension` 435 opt; `AgentID` 436 opt; `AgentID_Long` 611 opt from 10; `AgentInstrument` 437 opt)",
    R"(`QueryAgentStatisticsConfMSG`, 113 `QUERY_AGENT_STATISTICS_CONF`, server to client, message from version 6: `InvokeID` 1; `CTIPeripheralID` 4; `AvailTimeSession` 142 from 6; `LoggedOnTimeSession` 143 from 6; `NotReadyTimeSession` 144 from 6; `ZURAvailableTimeSession` 369 from 9; `RoutableTimeSession` 370 from 9; `AgentOutCallsSession` 145 from 6; `AgentOutCallsTalkTimeSession` 146 from 6; `AgentOutCallsTimeSession` 147 from 6; `AgentOutCallsHeldSession` 148 from 6; `AgentOutCallsHeldTimeSession` 149 from 6; `HandledCallsSession` 150 from 6; `HandledCallsTalkTimeSession` 151 from 6; `HandledCallsAfterCallTimeSession` 165 from 6; `HandledCallsTimeSession` 152 from 6; `IncomingCallsHeldSession` 153 from 6; `IncomingCallsHeldTimeSession` 154 from 6; `InternalCallsSession` 155 from 6; `InternalCallsTimeSession` 156 from 6; `InternalCallsRecvdSession` 157 from 6; `InternalCallsRcvdTimeSession` 158 from 6; `InternalCallsHeldSession` 159 from 6; `InternalCallsHeldTimeSession` 160 from 6; `AutoOutCallsSession` 242 from 8; `AutoOutCallsTalkTimeSession` 243 from 8; `AutoOutCallsTimeSession` 244 from 8; `AutoOutCallsHeldSession` 245 from 8; `AutoOutCallsHeldTimeSession` 246 from 8; `PreviewCallsSession` 262 from 8; `PreviewCallsTalkTimeSession` 263 from 8; `PreviewCallsTimeSession` 264 from 8; `PreviewCallsHeldSession` 265 from 8; `PreviewCallsHeldTimeSession` 266 from 8; `ReserveCallsSession` 282 from 8; `ReserveCallsTalkTimeSession` 283 from 8; `ReserveCallsTimeSession` 284 from 8; `ReserveCallsHeldSession` 285 from 8; `ReserveCallsHeldTimeSession` 286 from 8; `BargeInCallsSession` 302 from 8; `InterceptCallsSession` 306 from 8; `MonitorCallsSession` 310 from 8; `WhisperCallsSession` 314 from 8; `EmergencyCallsSession` 318 from 8; `AvailTimeToday` 122 from 6; `LoggedOnTimeToday` 123 from 6; `NotReadyTimeToday` 124 from 6; `ZURAvailableTimeToday` 371 from 9; `RoutableTimeToday` 372 from 9; `AgentOutCallsToday` 125 from 6; `AgentOutCallsTalkTimeToday` 126 from 6; `AgentOutCallsTimeToday` 127 from 6; `AgentOutCallsHeldToday` 128 from 6; `AgentOutCallsHeldTimeToday` 129 from 6; `HandledCallsToday` 130 from 6; `HandledCallsTalkTimeToday` 131 from 6; `HandledCallsAfterCallTimeToday` 167 from 6; `HandledCallsTimeToday` 132 from 6; `IncomingCallsHeldToday` 133 from 6; `IncomingCallsHeldTimeToday` 134 from 6; `InternalCallsToday` 161 from 6; `InternalCallsTimeToday` 162 from 6; `InternalCallsRecvdToday` 135 from 6; `InternalCallsRecvdTimeToday` 136 from 6; `InternalCallsHeldToday` 137 from 6; `InternalCallsHeldTimeToday` 138 from 6; `AutoOutCallsToday` 247 from 8; `AutoOutCallsTalkTimeToday` 248 from 8; `AutoOutCallsTimeToday` 249 from 8; `AutoOutCallsHeldToday` 250 from 8; `AutoOutCallsHeldTimeToday` 251 from 8; `PreviewCallsToday` 267 from 8; `PreviewCallsTalkTimeToday` 268 from 8; `PreviewCallsTimeToday` 269 from 8; `PreviewCallsHeldToday` 270 from 8; `PreviewCallsHeldTimeToday` 271 from 8; `ReserveCallsToday` 287 from 8; `ReserveCallsTalkTimeToday` 288 from 8; `ReserveCallsTimeToday` 289 from 8; `ReserveCallsHeldToday` 290 from 8; `ReserveCallsHeldTimeToday` 291 from 8; `BargeInCallsToday` 303 from 8; `InterceptCallsToday` 307 from 8; `MonitorCallsToday` 311 from 8; `WhisperCallsToday` 315 from 8; `EmergencyCallsToday` 319 from 8; `AgentExtension` 435; `AgentID` 436; `AgentID_Long` 611 opt from 10; `AgentInstrument` 437)",
    R"(`QuerySkillGroupStatisticsReqMSG`, 114 `QUERY_SKILL_GROUP_STATISTICS_REQ`, client to server, message from version 6: `InvokeID` 1; `CTIPeripheralID` 4; `SkillGroupNumber` 25; `SkillGroupID` 26)",
    R"(`QuerySkillGroupStatisticsConfMSG`, 115 `QUERY_SKILL_GROUP_STATISTICS_CONF`, server to client, message from version 6: `InvokeID` 1; `CTIPeripheralID` 4; `SkillGroupNumber` 25; `SkillGroupID` 26; `AgentsLoggedOn` 177 from 8; `AgentsAvail` 178 from 8; `AgentsNotReady` 179 from 8; `AgentsReady` 180 from 8; `AgentsTalkingIn` 181 from 8; `AgentsTalkingOut` 182 from 8; `AgentsTalkingOther` 183 from 8; `AgentsWorkNotReady` 184 from 8; `AgentsWorkReady` 185 from 8; `AgentsBusyOther` 186 from 8; `AgentsReserved` 187 from 8; `AgentsHold` 188 from 8; `AgentsZURAvailable` 373 from 9; `AgentsApplicationAvailable` 367 from 9; `AgentsTalkingAutoOut` 322 from 8; `AgentsTalkingPreview` 323 from 8; `AgentsTalkingReservation` 324 from 8; `RouterCallsQNow` 325 from 8; `LongestRouterCallQNow` 329 from 8; `CallsQNow` 99 from 6; `CallsQTimeNow` 100 from 6; `LongestCallQNow` 101 from 6; `AvailTimeTo5` 189 from 8; `LoggedOnTimeTo5` 190 from 8; `NotReadyTimeTo5` 191 from 8; `AgentOutCallsTo5` 192 from 8; `AgentOutCallsTalkTimeTo5` 193 from 8; `AgentOutCallsTimeTo5` 194 from 8; `AgentOutCallsHeldTo5` 195 from 8; `AgentOutCallsHeldTimeTo5` 196 from 8; `HandledCallsTo5` 197 from 8; `HandledCallsTalkTimeTo5` 198 from 8; `HandledCallsAfterCallTimeTo5` 199 from 8; `HandledCallsTimeTo5` 200 from 8; `IncomingCallsHeldTo5` 201 from 8; `IncomingCallsHeldTimeTo5` 202 from 8; `InternalCallsRcvdTo5` 203 from 8; `InternalCallsRcvdTimeTo5` 204 from 8; `InternalCallsHeldTo5` 205 from 8; `InternalCallsHeldTimeTo5` 206 from 8; `AutoOutCallsTo5` 257 from 8; `AutoOutCallsTalkTimeTo5` 258 from 8; `AutoOutCallsTimeTo5` 259 from 8; `AutoOutCallsHeldTo5` 260 from 8; `AutoOutCallsHeldTimeTo5` 261 from 8; `PreviewCallsTo5` 277 from 8; `PreviewCallsTalkTimeTo5` 278 from 8; `PreviewCallsTimeTo5` 279 from 8; `PreviewCallsHeldTo5` 280 from 8; `PreviewCallsHeldTimeTo5` 281 from 8; `ReserveCallsTo5` 297 from 8; `ReserveCallsTalkTimeTo5` 298 from 8; `ReserveCallsTimeTo5` 299 from 8; `ReserveCallsHeldTo5` 300 from 8; `ReserveCallsHeldTimeTo5` 301 from 8; `BargeInCallsTo5` 305 from 8; `InterceptCallsTo5` 309 from 8; `MonitorCallsTo5` 313 from 8; `WhisperCallsTo5` 317 from 8; `EmergencyCallsTo5` 321 from 8; `CallsQ5` 207 from 8; `CallsQTime5` 208 from 8; `LongestCallQ5` 209 from 8; `AvailTimeToHalf` 102 from 6; `LoggedOnTimeToHalf` 103 from 6; `NotReadyTimetoHalf` 104 from 6; `AgentOutCallsToHalf` 105 from 6; `AgentOutCallsTalkTimeToHalf` 106 from 6; `AgentOutCallsTimeToHalf` 107 from 6; `AgentOutCallsHeldToHalf` 108 from 6; `AgentOutCallsHeldTimeToHalf` 109 from 6; `HandledCallsToHalf` 110 from 6; `HandledCallsTalkTimeToHalf` 111 from 6; `HandledCallsAfterCallTimeToHalf` 166 from 6; `HandledCallsTimeToHalf` 112 from 6; `IncomingCallsHeldToHalf` 113 from 6; `IncomingCallsHeldTimeToHalf` 114 from 6; `InternalCallsRcvdToHalf` 115 from 6; `InternalCallsRcvdTimeToHalf` 116 from 6; `InternalCallsHeldToHalf` 117 from 6; `InternalcallsHeldTimeToHalf` 118 from 6; `AutoOutCallsToHalf` 252 from 8; `AutoOutCallsTalkTimeToHalf` 253 from 8; `AutoOutCallsTimeToHalf` 254 from 8; `AutoOutCallsHeldToHalf` 255 from 8; `AutoOutCallsHeldTimeToHalf` 256 from 8; `PreviewCallsToHalf` 272 from 8; `PreviewCallsTalkTimeToHalf` 273 from 8; `PreviewCallsTimeToHalf` 274 from 8; `PreviewCallsHeldToHalf` 275 from 8; `PreviewCallsHeldTimeToHalf` 276 from 8; `ReserveCallsToHalf` 292 from 8; `ReserveCallsTalkTimeToHalf` 293 from 8; `ReserveCallsTimeToHalf` 294 from 8; `ReserveCallsHeldToHalf` 295 from 8; `ReserveCallsHeldTimeToHalf` 296 from 8; `BargeInCallsToHalf` 304 from 8; `InterceptCallsToHalf` 308 from 8; `MonitorCallsToHalf` 312 from 8; `WhisperCallsToHalf` 316 from 8; `EmergencyCallsToHalf` 320 from 8; `CallsQHalf` 119 from 6; `CallsQTimeHalf` 120 from 6; `LongestCallQHalf` 121 from 6; `AvailTimeToday` 122 from 6; `LoggedOnTimeToday` 123 from 6; `NotReadyTimeToday` 124 from 6; `AgentOutCallsToday` 125 from 6; `AgentOutCallsTalkTimeToday` 126 from 6; `AgentOutCallsTimeToday` 127 from 6; `AgentOutCallsHeldToday` 128 from 6; `AgentOutCallsHeldTimeToday` 129 from 6; `HandledCallsToday` 130 from 6; `HandledCallsTalkTimeToday` 131 from 6; `HandledCallsAfterCallTimeToday` 167 from 6; `HandledCallsTimeToday` 132 from 6; `IncomingCallsHeldToday` 133 from 6; `IncomingCallsHeldTimeToday` 134 from 6; `InternalCallsRecvdToday` 135 from 6; `InternalCallsRecvdTimeToday` 136 from 6; `InternalCallsHeldToday` 137 from 6; `InternalCallsHeldTimeToday` 138 from 6; `AutoOutCallsToday` 247 from 8; `AutoOutCallsTalkTimeToday` 248 from 8; `AutoOutCallsTimeToday` 249 from 8; `AutoOutCallsHeldToday` 250 from 8; `AutoOutCallsHeldTimeToday` 251 from 8; `PreviewCallsToday` 267 from 8; `PreviewCallsTalkTimeToday` 268 from 8; `PreviewCallsTimeToday` 269 from 8; `PreviewCallsHeldToday` 270 from 8; `PreviewCallsHeldTimeToday` 271 from 8; `ReserveCallsToday` 287 from 8; `ReserveCallsTalkTimeToday` 288 from 8; `ReserveCallsTimeToday` 289 from 8; `ReserveCallsHeldToday` 290 from 8; `ReserveCallsHeldTimeToday` 291 from 8; `BargeInCallsToday` 303 from 8; `InterceptCallsToday` 307 from 8; `MonitorCallsToday` 311 from 8; `WhisperCallsToday` 315 from 8; `EmergencyCallsToday` 319 from 8; `CallsQToday` 139 from 6; `CallsQTimeToday` 140 from 6; `LongestCallQToday` 141 from 6)",
    R"(`AgentDeskSettingsReqMSG`, 131 `AGENT_DESK_SETTINGS_REQ`, client to server, message from version 8: `InvokeID` 1; `CTIPeripheralID` 4; `AgentID` 436; `AgentID_Long` 611 opt from 10)",
    R"(`AgentDeskSettingsConfMSG`, 132 `AGENT_DESK_SETTINGS_CONF`, server to client, message from version 8: `InvokeID` 1; `CTIPeripheralID` 4; `DeckSettingsMask` 224 from 8; `WarpupDataIncomingMode` 225 from 8; `WarpupDataOutgoingMode` 226 from 8; `LogoutNonActivityTime` 227 from 8; `QualityRecordingRate` 228 from 8; `RingNoAnswerTime` 229 from 8; `SilentMonitorWarningMessage` 235 from 8; `SilentMonitorAudibleIndication` 236 from 8; `SupervisorAssistCallMethod` 237 from 8; `EmergencyCallMethod` 238 from 8; `AutoRecordOnEmergency` 239 from 8; `RecordingMode` 240 from 8; `WorkModeTimer` 230 from 8; `RingNoAnswerDNId` 231 from 8; `DefaultDevicePortAddress` 521 from 8; `FltACDSharedLineUsage` 718 opt from 24; `FltPlayZipTone` 719 opt from 24)",
};

struct Listed {
    std::string cls;
    uint16_t id = 0;
    uint32_t version = 2;
    bool required = true;
    Trace trace = Trace::Always;
};

std::vector<std::string> SplitTop(std::string_view text, char sep) {
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    for (char c : text) {
        depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        if (c == sep && depth == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    for (std::string& s : out) {
        std::size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
        s = a == std::string::npos ? "" : s.substr(a, b - a + 1);
    }
    return out;
}

std::vector<std::string> Words(const std::string& s) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t j = s.find(' ', i);
        if (j == std::string::npos) j = s.size();
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

// "`Name` 123 opt tc from 10"
Listed ParseField(const std::string& item) {
    Listed f;
    std::size_t close = item.find('`', 1);
    if (item.empty() || item[0] != '`' || close == std::string::npos) {
        ADD_FAILURE() << "bad item " << item;
        return f;
    }
    f.cls = item.substr(1, close - 1);
    std::vector<std::string> w = Words(item.substr(close + 1));
    if (w.empty()) {
        ADD_FAILURE() << "no id in " << item;
        return f;
    }
    f.id = static_cast<uint16_t>(std::stoi(w[0]));
    for (std::size_t i = 1; i < w.size(); ++i) {
        if (w[i] == "opt") {
            f.required = false;
        } else if (w[i] == "tc") {
            f.trace = Trace::CvFlag;
        } else if (w[i] == "te") {
            f.trace = Trace::EccFlag;
        } else if (w[i] == "untraced") {
            f.trace = Trace::Never;
        } else if (w[i] == "from" && i + 1 < w.size()) {
            f.version = static_cast<uint32_t>(std::stoi(w[++i]));
        } else {
            ADD_FAILURE() << "unknown mark " << w[i] << " in " << item;
        }
    }
    return f;
}

struct Layout2 {
    std::string cls;
    int type = 0;
    uint32_t version = 0;
    std::vector<Member> chain;
};

// The member's version in the message: never below the element's own.
uint32_t Raised(const std::string& cls, uint32_t listed) {
    return std::max<uint32_t>(Dict(cls.c_str()).from, listed);
}

Layout2 ParseLayout(std::string_view line) {
    Layout2 l;
    std::size_t close = line.find('`', 1);
    l.cls = std::string(line.substr(1, close - 1));
    l.type = std::stoi(std::string(line.substr(close + 3)));
    const std::string_view head = ", message from version ";
    std::size_t at = line.find(head);
    l.version = static_cast<uint32_t>(std::stoi(std::string(line.substr(at + head.size()))));
    std::string_view fields = line.substr(line.find(": ", at) + 2);
    for (const std::string& item : SplitTop(fields, ';')) {
        std::size_t group = item.find(" entries of (");
        if (group != std::string::npos) {
            int entries = std::stoi(item.substr(0, group));
            std::size_t open = group + 13, end = item.find(')', open);
            std::vector<Listed> members;
            for (const std::string& m : SplitTop(item.substr(open, end - open), ','))
                members.push_back(ParseField(m));
            // ", entries 0 to 9 from 3 and entries 10 to 98 from 5"
            int splitAt = 0;
            uint32_t low = 2, high = 2;
            std::string rest = item.substr(end + 1);
            if (!rest.empty()) {
                // the numbers are: 0, last low entry, low version, split, last, high version
                std::vector<std::string> nums;
                for (const std::string& x : Words(rest))
                    if (!x.empty() && std::isdigit(static_cast<unsigned char>(x[0])))
                        nums.push_back(x);
                if (nums.size() != 6) {
                    ADD_FAILURE() << "bad entry split: " << rest;
                } else {
                    low = std::stoul(nums[2]);
                    splitAt = std::stoi(nums[3]);
                    high = std::stoul(nums[5]);
                }
            }
            for (int e = 0; e < entries; ++e) {
                uint32_t v = splitAt != 0 && e >= splitAt ? high : low;
                for (const Listed& f : members) {
                    if (f.required) ADD_FAILURE() << l.cls << ": array entries are optional";
                    l.chain.push_back({f.id, f.cls, static_cast<uint32_t>(e),
                                       std::max(Raised(f.cls, f.version), v), false, f.trace,
                                       true});
                }
            }
            continue;
        }
        std::size_t to = item.find(" to `");
        if (to != std::string::npos) {
            // "`CallVariable1` 443 to `CallVariable10` 452 opt tc": ten fields, ids in a row
            Listed first = ParseField(item.substr(0, to));
            Listed last = ParseField(item.substr(to + 4));  // carries the marks
            for (uint16_t id = first.id; id <= last.id; ++id) {
                std::string cls = "CallVariable" + std::to_string(id - first.id + 1);
                l.chain.push_back(
                    {id, cls, 0, Raised(cls, last.version), last.required, last.trace, false});
            }
            continue;
        }
        Listed f = ParseField(item);
        l.chain.push_back({f.id, f.cls, 0, Raised(f.cls, f.version), f.required, f.trace, false});
    }
    return l;
}

TEST(CatalogCrossCheck, SecondTranscriptionAgreesWithTheRows) {
    int classes = 0;
    for (const char* line : kLayouts) {
        Layout2 listed = ParseLayout(line);
        SCOPED_TRACE(listed.cls);
        const MessageRow* m = FindMessageRowByClass(listed.cls);
        ASSERT_NE(m, nullptr);
        ++classes;
        EXPECT_EQ(m->type, listed.type);
        EXPECT_EQ(m->version, listed.version);
        std::vector<Member> rows = Chain(*m);
        ASSERT_EQ(rows.size(), listed.chain.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Member& a = rows[i];
            const Member& b = listed.chain[i];
            SCOPED_TRACE(a.cls + " at " + std::to_string(i));
            EXPECT_EQ(a.cls, b.cls);
            EXPECT_EQ(a.id, b.id);
            EXPECT_EQ(a.occurrence, b.occurrence);
            EXPECT_EQ(a.required, b.required);
            EXPECT_EQ(a.trace, b.trace);
            // Versions at or below the message's own make no difference; above it, the rows
            // carry the higher of the two lists.
            uint32_t va = std::max(a.version, listed.version);
            uint32_t vb = std::max(b.version, listed.version);
            EXPECT_GE(va, vb) << "the rows must carry the higher version";
        }
    }
    EXPECT_EQ(classes, 52);
}

}  // namespace
