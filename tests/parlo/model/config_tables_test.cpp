// The configuration tables: apply or defer, the flush and its brackets, the pagers and their
// filters, the map order, and every table's own rules.
#include <gtest/gtest.h>


#include "tests/ctimsg/trace_capture.h"
#include "tests/parlo/model/config_fixture.h"
#include "tests/support/pattern.h"

namespace modeltest {
namespace {

using Begin = std::initializer_list<const char*>;

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(ConfigTableTest, BatchIsPushedOnlyAfterTheKeyAndOnlyToClientsWithTheTableBit) {
    AddConfigClient(7, 0x02);
    AddConfigClient(8, 0x04);
    OPCRecord sg = SkillGroupRecord(100, 12, 5000);
    ASSERT_NE(SkillGroupConfig::ProcessSkillGroupRecord(1, sg.begin(), sg.end(), 0), nullptr);
    OPCRecord change = SkillGroupRecord(100, 12, 5000, 3);
    EXPECT_EQ(SkillGroupConfig::ProcessSkillGroupRecord(3, change.begin(), change.end(), 1), change.end());
    EXPECT_TRUE(ports.lines.empty());
    EXPECT_EQ(SkillGroupConfig::Find(100)->Priority, 1) << "held back until the key";
    Key(12.5, 1);
    EXPECT_EQ(SkillGroupConfig::Find(100)->Priority, 3);
    const std::string s7 = SessionStream(7);
    EXPECT_NE(s7.find("session 7 <- CONFIG_BEGIN_EVENT ConfigType 2 info 0x2 key 12.5 SkillGroupConfigKey"),
              std::string::npos) << s7;
    EXPECT_EQ(Count(s7, "CONFIG_SKILL_GROUP_EVENT"), 1) << s7;
    EXPECT_NE(s7.find("NumRecords:1"), std::string::npos) << s7;
    EXPECT_NE(s7.find("CONFIG_RECORD_CHANGE"), std::string::npos) << s7;
    EXPECT_NE(s7.find("session 7 <- CONFIG_END_EVENT status 0"), std::string::npos) << s7;
    EXPECT_EQ(SessionStream(8), "");
    // The list is empty after the flush: a second key pushes nothing.
    ports.lines.clear();
    Key(13, 1);
    EXPECT_TRUE(ports.lines.empty());
}

TEST_F(ConfigTableTest, OperationsAreAdjustedForTheMapButPushedAsReceived) {
    AddConfigClient(7, 0x10);
    AddConfigClient(0, 0x10);  // SessionID 0 is never pushed to
    OPCRecord a = CallTypeRecord(7, "first");
    ASSERT_NE(CallTypeConfig::ProcessCallTypeRecord(1, a.begin(), a.end(), 0), nullptr);
    const struct {
        uint32_t op;
        int32_t id;
        const char* name;
        const char* pushedAs;
    } cases[] = {
        {1, 7, "again", "CONFIG_RECORD_ADD"},      // add of a known key: stored as a change
        {3, 8, "fresh", "CONFIG_RECORD_CHANGE"},   // update of an unknown key: added
        {2, 9, "ghost", "CONFIG_RECORD_DELETE"},   // removal of an unknown key: nothing
    };
    for (const auto& c : cases) {
        OPCRecord r = CallTypeRecord(c.id, c.name);
        ASSERT_NE(CallTypeConfig::ProcessCallTypeRecord(c.op, r.begin(), r.end(), 1), nullptr);
    }
    Key(1, 1);
    EXPECT_EQ(CallTypeConfig::Find(7)->EnterpriseName, "again");
    EXPECT_EQ(CallTypeConfig::Find(7)->Operation, 1u);
    EXPECT_NE(CallTypeConfig::Find(8), nullptr);
    EXPECT_EQ(CallTypeConfig::Find(9), nullptr);
    const std::string s7 = SessionStream(7);
    size_t at = 0;
    for (const auto& c : cases) {
        at = s7.find(c.pushedAs, at);
        EXPECT_NE(at, std::string::npos) << c.name << "\n" << s7;
    }
    EXPECT_EQ(SessionStream(0), "");
}

TEST_F(ConfigTableTest, PagesHoldTenRecordsAndAnEmptyFlushSendsNothing) {
    AddConfigClient(7, 0x10);
    Key(1, 1);
    EXPECT_TRUE(ports.lines.empty()) << "no deferred records, no CONFIG_BEGIN_EVENT";
    for (int32_t id = 1; id <= 23; ++id) {
        OPCRecord r = CallTypeRecord(id, "ct" + std::to_string(id));
        ASSERT_NE(CallTypeConfig::ProcessCallTypeRecord(1, r.begin(), r.end(), 1), nullptr);
    }
    Key(2, 1);
    const std::string s = SessionStream(7);
    EXPECT_EQ(Count(s, "CONFIG_CALL_TYPE_EVENT"), 3);
    const std::vector<std::string> counts = testsupport::MatchAll(s, "NumRecords:([0-9]+)");
    EXPECT_EQ(counts, (std::vector<std::string>{"10", "10", "3"})) << s;
}

TEST_F(ConfigTableTest, MapOrderIsBucketThenInsertion) {
    model::ConfigMap<int> map(17);
    for (uint64_t key : {35u, 1u, 18u, 52u, 0u}) map.Insert(key, std::make_unique<int>(static_cast<int>(key)));
    std::vector<int> order;
    map.ForEach([&](const int& v) { order.push_back(v); });
    // Buckets: 0 -> 0; 1 -> 35 % 17 = 1, 1, 18 % 17 = 1, 52 % 17 = 1 in insertion order.
    EXPECT_EQ(order, (std::vector<int>{0, 35, 1, 18, 52}));
    EXPECT_EQ(map.Take(1).operator*(), 1);
    EXPECT_EQ(map.Find(1), nullptr);
    EXPECT_EQ(*map.Find(52), 52);

    // FindSkillTargetID answers in that order: 33 and 1 share bucket 1 of 32.
    for (int32_t stid : {33, 1}) {
        OPCRecord r = SkillGroupRecord(stid, 12, stid == 33 ? 5001 : 5000);
        ASSERT_NE(SkillGroupConfig::ProcessSkillGroupRecord(1, r.begin(), r.end(), 0), nullptr);
    }
    EXPECT_EQ(SkillGroupConfig::FindSkillTargetID(12, -1), 33);
    EXPECT_EQ(SkillGroupConfig::FindSkillTargetID(12, 5000), 1);
    EXPECT_EQ(SkillGroupConfig::FindSkillTargetID(13, -1), -1);
}

TEST_F(ConfigTableTest, SkillGroupPagerFiltersByPeripheralAndTressikAndStillSendsAnEmptyPage) {
    ports.AddSession(7, "c", 24, 0);
    model::ConfigList<SkillGroupConfig> list;
    for (auto [stid, periph, excluded] : {std::tuple{1, 5000, 0u}, {2, 5000, 1u}, {3, 5001, 0u}}) {
        OPCRecord r = SkillGroupRecord(stid, stid + 10, periph, 1, excluded);
        ASSERT_NE(SkillGroupConfig::ProcessSkillGroupRecord(1, r.begin(), r.end(), 0), nullptr);
    }
    SkillGroupConfig::GetSkillGroupList(-1, list);
    ASSERT_EQ(list.size(), 3u);
    const struct {
        int32_t periph;
        bool tressik;
        const char* numRecords;
    } cases[] = {{-1, false, "NumRecords:3"}, {-1, true, "NumRecords:2"}, {5000, true, "NumRecords:1"},
                 {6, false, "NumRecords:0"}};
    for (const auto& c : cases) {
        ports.lines.clear();
        SkillGroupConfig::SendConfigSkillGroupEvents(0, 7, c.periph, list, c.tressik);
        ASSERT_EQ(ports.lines.size(), 1u) << c.periph;
        EXPECT_NE(ports.lines[0].find(c.numRecords), std::string::npos) << ports.lines[0];
        EXPECT_EQ(ports.lines[0].find("OldPeripheralNumber"), std::string::npos) << "answers are adds";
    }
}

TEST_F(ConfigTableTest, PushedChangeCarriesOldPeripheralNumberOnlyWhenTheNumberChanged) {
    AddConfigClient(7, 0x06);
    ServiceConfig::InitMap();
    for (int32_t stid : {1, 2}) {
        OPCRecord g = SkillGroupRecord(stid, 10 + stid, 5000);
        ASSERT_NE(SkillGroupConfig::ProcessSkillGroupRecord(1, g.begin(), g.end(), 0), nullptr);
        OPCRecord s = ServiceRecord(100 + stid, 20 + stid, 5000, {});
        ASSERT_NE(ServiceConfig::ProcessServiceRecord(1, s.begin(), s.end(), 0), nullptr);
    }
    // Group 1 and service 101 change their numbers, group 2 and service 102 keep them.
    for (auto [stid, number] : {std::pair{1, 40}, {2, 12}}) {
        OPCRecord g = SkillGroupRecord(stid, number, 5000);
        ASSERT_NE(SkillGroupConfig::ProcessSkillGroupRecord(3, g.begin(), g.end(), 1), nullptr);
        OPCRecord s = ServiceRecord(100 + stid, number + 10, 5000, {});
        ASSERT_NE(ServiceConfig::ProcessServiceRecord(3, s.begin(), s.end(), 1), nullptr);
    }
    Key(1, 1);
    const std::string s = SessionStream(7);
    EXPECT_EQ(Count(s, "OldPeripheralNumber"), 2) << s;
    EXPECT_NE(s.find("OldPeripheralNumber:11"), std::string::npos) << s;
    EXPECT_NE(s.find("OldPeripheralNumber:21"), std::string::npos) << s;
    EXPECT_EQ(SkillGroupConfig::Find(1)->OldPeripheralNumber, 11);
}

TEST_F(ConfigTableTest, ServiceMembersKeepTheirSlotsAndAtMostTenAreSent) {
    ports.AddSession(7, "c", 24, 0);
    for (int32_t stid = 1; stid <= 12; ++stid) {
        if (stid == 3) continue;  // member 2 of the first service names no group
        OPCRecord g = SkillGroupRecord(stid, 100 + stid, 5000);
        ASSERT_NE(SkillGroupConfig::ProcessSkillGroupRecord(1, g.begin(), g.end(), 0), nullptr);
    }
    std::vector<std::pair<int32_t, uint32_t>> twelve;
    for (int32_t stid = 1; stid <= 12; ++stid) twelve.push_back({stid, static_cast<uint32_t>(stid)});
    OPCRecord a = ServiceRecord(200, 1, 5000, twelve);
    OPCRecord b = ServiceRecord(201, 2, 5000, {{1, 9}});
    ASSERT_EQ(ServiceConfig::ProcessServiceRecord(1, a.begin(), a.end(), 0), a.end());
    ASSERT_NE(ServiceConfig::ProcessServiceRecord(1, b.begin(), b.end(), 0), nullptr);
    model::ConfigList<ServiceConfig> list;
    list.push_back(ServiceConfig::Find(200)->Copy());
    list.push_back(ServiceConfig::Find(201)->Copy());
    ctimsgtest::TraceCapture traces;
    ServiceConfig::SendConfigServiceEvents(0, 7, -1, list);
    ASSERT_EQ(ports.lines.size(), 1u);
    EXPECT_NE(traces.Take().find("SkillGroup not found for ServiceMember = 3"), std::string::npos);
    EXPECT_NE(ports.lines[0].find("NumServiceMembers:9"), std::string::npos) << ports.lines[0];
    // The occurrences themselves: member 2 of slot 0 stays empty, member 3 stays at 3, the
    // eleventh is not written, slot 1's first member is occurrence 10.
    BaseMSGPtr page = catalog::CreateMessage(235);
    list[0]->WriteSlot(*page, 0, 0);
    list[1]->WriteSlot(*page, 1, 0);
    namespace E = model::E;
    EXPECT_EQ(page->Present(E::ServiceMember, 2), 0);
    EXPECT_EQ(page->GetUINT(E::ServiceMember, 3), 104u);
    EXPECT_EQ(page->GetUINT(E::ServiceMember, 9), 110u);
    EXPECT_EQ(page->GetUINT(E::ServiceMember, 10), 101u);
    EXPECT_EQ(page->GetUSHORT(E::ServicePriority, 10), 9u);
    EXPECT_EQ(page->Present(E::ServiceMember, 11), 0);
    // Filtered out entirely: no page at all.
    ports.lines.clear();
    ServiceConfig::SendConfigServiceEvents(0, 7, 5001, list);
    EXPECT_TRUE(ports.lines.empty());
}

TEST_F(ConfigTableTest, DeviceKeyIsTypeAndIDAndQueriesHoldExtensionsAndOwnRoutePoints) {
    for (auto [id, type, periph] : {std::tuple{7u, uint16_t{4}, 5000}, {7u, uint16_t{5}, 5000},
                                    {8u, uint16_t{5}, 5001}, {9u, uint16_t{4}, 5001}, {10u, uint16_t{1}, 5000}}) {
        OPCRecord r = DeviceRecord(id, type, periph);
        ASSERT_NE(DeviceConfig::ProcessDeviceRecord(1, r.begin(), r.end(), 0), nullptr);
    }
    OPCRecord rm = DeviceRecord(7, 4, 5000);
    ASSERT_NE(DeviceConfig::ProcessDeviceRecord(2, rm.begin(), rm.end(), 0), nullptr);
    EXPECT_EQ(DeviceConfig::Find(4, 7), nullptr);
    EXPECT_NE(DeviceConfig::Find(5, 7), nullptr);
    model::ConfigList<DeviceConfig> list;
    DeviceConfig::GetDeviceList(5000, list);
    std::vector<std::pair<int, uint32_t>> got;
    for (auto& d : list) got.push_back({d->DeviceType, d->ID});
    EXPECT_EQ(got, (std::vector<std::pair<int, uint32_t>>{{5, 7}, {4, 9}}));  // map order: bucket 7, 9
}

TEST_F(ConfigTableTest, UpdatesCopyTheirTablesFields) {
    OPCRecord a = CallTypeRecord(7, "name", "old", 20);
    ASSERT_NE(CallTypeConfig::ProcessCallTypeRecord(1, a.begin(), a.end(), 0), nullptr);
    OPCRecord b = CallTypeRecord(7, "other", "new", 30);
    ASSERT_NE(CallTypeConfig::ProcessCallTypeRecord(3, b.begin(), b.end(), 0), nullptr);
    EXPECT_EQ(CallTypeConfig::Find(7)->EnterpriseName, "other");
    EXPECT_EQ(CallTypeConfig::Find(7)->Description, "new");
    EXPECT_EQ(CallTypeConfig::Find(7)->ServiceLevelThreshold, 30u);

    OPCRecord d1 = DeviceRecord(5, 4, 5000, "100");
    OPCRecord d2 = DeviceRecord(5, 4, 5001, "200");
    ASSERT_NE(DeviceConfig::ProcessDeviceRecord(1, d1.begin(), d1.end(), 0), nullptr);
    ASSERT_NE(DeviceConfig::ProcessDeviceRecord(3, d2.begin(), d2.end(), 0), nullptr);
    EXPECT_EQ(DeviceConfig::Find(4, 5)->Extension, "200");
    EXPECT_EQ(DeviceConfig::Find(4, 5)->PeripheralID, 5001);
}

TEST_F(ConfigTableTest, MRDRemoveAndAddGoOutInOneBracketWithFiveKeys) {
    AddConfigClient(7, 0x20);
    OPCRecord m = MRDRecord(3, "chat");
    ASSERT_NE(MRDConfig::ProcessMRDRecord(1, m.begin(), m.end(), 0), nullptr);
    ASSERT_NE(MRDConfig::ProcessMRDRecord(2, m.begin(), m.end(), 1), nullptr);
    OPCRecord m2 = MRDRecord(3, "chat2");
    ASSERT_NE(MRDConfig::ProcessMRDRecord(1, m2.begin(), m2.end(), 1), nullptr);
    Key(4.25, 1);
    const std::string s = SessionStream(7);
    EXPECT_EQ(Count(s, "CONFIG_BEGIN_EVENT"), 1);
    EXPECT_NE(s.find("info 0x20 key 4.25 ServiceConfigKey SkillGroupConfigKey AgentConfigKey DeviceConfigKey "
                     "CallTypeConfigKey"), std::string::npos) << s;
    const size_t del = s.find("CONFIG_RECORD_DELETE"), add = s.find("CONFIG_RECORD_ADD");
    EXPECT_NE(del, std::string::npos);
    EXPECT_LT(del, add) << s;
    EXPECT_EQ(MRDConfig::Find(3)->PeripheralName, "chat2");
}

TEST_F(ConfigTableTest, PeripheralDefaultChangesAtOnceWhileTheTablesPushWaitsForTheKey) {
    AddConfigClient(7, 0x40);
    ctimsgtest::TraceCapture traces;
    OPCRecord p = PeripheralRecord(5000, 30, 11);
    ASSERT_EQ(PeripheralConfig::ProcessPeripheralRecord(1, p.begin(), p.end(), 0), p.begin());
    OPCRecord q = PeripheralRecord(5000, 30, 12);
    ASSERT_EQ(PeripheralConfig::ProcessPeripheralRecord(3, q.begin(), q.end(), 1), q.begin());
    uint32_t desk = 0;
    EXPECT_TRUE(AgentDeskSettingsConfig::GetPeripheralDefault(5000, &desk));
    EXPECT_EQ(desk, 12u);
    EXPECT_EQ(PeripheralConfig::Find(5000)->DefaultAgentDeskSettingsID, 11u);
    EXPECT_TRUE(ports.lines.empty());
    Key(1, 1);
    EXPECT_NE(SessionStream(7).find("DefaultAgentDeskSettingsID:12"), std::string::npos) << SessionStream(7);
    OPCRecord ghost = PeripheralRecord(77, 1, 1);
    ASSERT_NE(PeripheralConfig::ProcessPeripheralRecord(2, ghost.begin(), ghost.end(), 0), nullptr);
    ASSERT_NE(PeripheralConfig::ProcessPeripheralRecord(1, p.begin(), p.end(), 0), nullptr);
    const std::string t = traces.Take();
    EXPECT_NE(t.find("Adding peripheral with peripheral id 5000"), std::string::npos) << t;
    EXPECT_NE(t.find("Updating peripheral with peripheral id 5000"), std::string::npos) << t;
    EXPECT_NE(t.find("Unable to delete peripheral object , No peripheral object found for peripheral id 77"),
              std::string::npos) << t;
}

TEST_F(ConfigTableTest, DeskSettingsDefaultForAnyPeripheralNeedsExactlyOne) {
    uint32_t desk = 0;
    EXPECT_FALSE(AgentDeskSettingsConfig::GetPeripheralDefault(-1, &desk));
    AgentDeskSettingsConfig::SetPeripheralDefault(5000, 11);
    EXPECT_TRUE(AgentDeskSettingsConfig::GetPeripheralDefault(-1, &desk));
    EXPECT_EQ(desk, 11u);
    AgentDeskSettingsConfig::SetPeripheralDefault(5001, 12);
    EXPECT_FALSE(AgentDeskSettingsConfig::GetPeripheralDefault(-1, &desk));
    EXPECT_TRUE(AgentDeskSettingsConfig::GetPeripheralDefault(5001, nullptr));
    EXPECT_FALSE(AgentDeskSettingsConfig::GetPeripheralDefault(5002, &desk));
}

TEST_F(ConfigTableTest, DeskSettingsWaitForTheKeyOnlyWhileActive) {
    AddConfigClient(7, 0x80);
    OPCRecord d = DeskRecord(11, 1);
    ASSERT_NE(AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord(1, d.begin(), d.end(), 0), nullptr);
    ports.serverState = 5;  // STANDBY: applied at once, pushed to nobody
    OPCRecord e = DeskRecord(11, 2);
    ASSERT_NE(AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord(3, e.begin(), e.end(), 1), nullptr);
    EXPECT_EQ(AgentDeskSettingsConfig::FindAgentDeskSettings(11)->AgentDeskSettingsMask, 2u);
    Key(1, 1);
    EXPECT_TRUE(ports.lines.empty());
    ports.serverState = 4;  // ACTIVE: held back
    OPCRecord f = DeskRecord(11, 3, 9);
    ASSERT_NE(AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord(3, f.begin(), f.end(), 1), nullptr);
    EXPECT_EQ(AgentDeskSettingsConfig::FindAgentDeskSettings(11)->AgentDeskSettingsMask, 2u);
    Key(2, 1);
    const std::string s = SessionStream(7);
    EXPECT_NE(s.find("FltDeskSettingsMask:3"), std::string::npos) << s;
    EXPECT_NE(s.find("FltDefaultDevicePortAddress:\"port1\""), std::string::npos) << s;
    EXPECT_EQ(s.find("RemoteAgentType"), std::string::npos) << s;
    std::string dump;
    AgentDeskSettingsConfig::FindAgentDeskSettings(11)->GetDumpString(dump);
    EXPECT_NE(dump.find("RemoteAgentType                 \t : 9       \n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("DefaultDevicePortAddress\t\t:port1\n"), std::string::npos) << dump;
}

TEST_F(ConfigTableTest, TerminalUpdatesArePushedAtOnceWithTenAddressesAtMost) {
    AddConfigClient(7, 0x100);
    std::vector<std::string> twelve;
    for (int i = 1; i <= 12; ++i) twelve.push_back("10" + std::to_string(i));
    OPCRecord t = TerminalRecord("Phone1", 3, twelve);
    ASSERT_EQ(TerminalConfig::ProcessTerminalRecord(1, 1, t.begin(), t.end()), t.end());
    const std::string s = SessionStream(7);
    EXPECT_NE(s.find("CONFIG_BEGIN_EVENT ConfigType 2 info 0x100 key 0 no key"), std::string::npos) << s;
    EXPECT_NE(s.find("NumInstruments:12"), std::string::npos) << s;
    EXPECT_NE(s.find("AgentInstrument:\"1010\" )"), std::string::npos) << s;
    EXPECT_EQ(s.find("1011"), std::string::npos) << s;
    EXPECT_NE(s.find("CONFIG_END_EVENT status 0"), std::string::npos) << s;
    ports.lines.clear();
    // Removing an unknown name is still pushed; names differ by case and sort by bytes.
    OPCRecord ghost = TerminalRecord("nobody", 1, {});
    ASSERT_NE(TerminalConfig::ProcessTerminalRecord(2, 1, ghost.begin(), ghost.end()), nullptr);
    EXPECT_NE(SessionStream(7).find("CONFIG_RECORD_DELETE"), std::string::npos);
    for (const char* name : {"phone1", "Alpha"}) {
        OPCRecord r = TerminalRecord(name, 1, {"1"});
        ASSERT_NE(TerminalConfig::ProcessTerminalRecord(1, 0, r.begin(), r.end()), nullptr);
    }
    model::ConfigList<TerminalConfig> list;
    TerminalConfig::GetTerminalList(list);
    std::vector<std::string> names;
    for (auto& r : list) names.push_back(r->TerminalDeviceName);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Phone1", "phone1"}));
    EXPECT_EQ(TerminalConfig::GetDumpString(*list[0], true), "Alpha, phone, termtype:1\nAddresses: 1,\n");
}

TEST_F(ConfigTableTest, KeyWithoutUpdateStoresItAndPushesNothing) {
    AddConfigClient(7, 0x3FF);
    EXPECT_EQ(model::GetConfigKey(), 0.0);
    OPCRecord g = SkillGroupRecord(1, 11, 5000);
    ASSERT_NE(SkillGroupConfig::ProcessSkillGroupRecord(1, g.begin(), g.end(), 1), nullptr);
    Key(42, 0);
    EXPECT_EQ(model::GetConfigKey(), 42.0);
    EXPECT_TRUE(ports.lines.empty());
    EXPECT_EQ(SkillGroupConfig::Find(1), nullptr);
}

TEST_F(ConfigTableTest, KeyFlushesInTheFixedOrderAndServicesSeeTheNewGroups) {
    AddConfigClient(7, 0x3FF);
    // Fed in reverse of the flush order.
    OPCRecord desk = DeskRecord(11, 1);
    ports.serverState = 4;
    ASSERT_NE(AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord(1, desk.begin(), desk.end(), 1), nullptr);
    OPCRecord per = PeripheralRecord(5000, 30, 11);
    ASSERT_NE(PeripheralConfig::ProcessPeripheralRecord(1, per.begin(), per.end(), 1), nullptr);
    OPCRecord mrd = MRDRecord(2, "mail");
    ASSERT_NE(MRDConfig::ProcessMRDRecord(1, mrd.begin(), mrd.end(), 1), nullptr);
    OPCRecord ct = CallTypeRecord(3, "ct");
    ASSERT_NE(CallTypeConfig::ProcessCallTypeRecord(1, ct.begin(), ct.end(), 1), nullptr);
    OPCRecord dev = DeviceRecord(4, 4, 5000);
    ASSERT_NE(DeviceConfig::ProcessDeviceRecord(1, dev.begin(), dev.end(), 1), nullptr);
    OPCRecord svc = ServiceRecord(5, 50, 5000, {{6, 2}});
    ASSERT_NE(ServiceConfig::ProcessServiceRecord(1, svc.begin(), svc.end(), 1), nullptr);
    AgentRecordSpec agent;
    agent.stid = 8;
    AgentRec(1, agent, 1);
    OPCRecord sg = SkillGroupRecord(6, 60, 5000);
    ASSERT_NE(SkillGroupConfig::ProcessSkillGroupRecord(1, sg.begin(), sg.end(), 1), nullptr);
    Key(77, 1);
    std::vector<std::string> begins;
    for (const std::string& l : ports.lines) {
        if (l.find("CONFIG_BEGIN_EVENT") == std::string::npos) continue;
        EXPECT_NE(l.find("key 77"), std::string::npos) << l;
        begins.push_back(l.substr(l.find("info "), 10));
    }
    EXPECT_EQ(begins, (std::vector<std::string>{"info 0x2 k", "info 0x4 k", "info 0x1 k", "info 0x8 k", "info 0x10 ",
                                                "info 0x20 ", "info 0x40 ", "info 0x80 "}));
    EXPECT_NE(Sent({"CONFIG_SERVICE_EVENT", "ServiceMember:60"}).size(), 0u) << ports.Take();
}

// Every parser refuses a record that runs past its body, with a trace, and reads nothing
// outside it (ASan watches the exact-size copies).
TEST_F(ConfigTableTest, HostileRecordsAreRefusedWithATrace) {
    using Parser = const uint8_t* (*)(uint32_t, const uint8_t*, const uint8_t*, uint32_t);
    auto terminal = [](uint32_t op, const uint8_t* r, const uint8_t* e, uint32_t u) {
        return TerminalConfig::ProcessTerminalRecord(op, u, r, e);
    };
    OPCRecord lyingSG = SkillGroupRecord(1, 1, 1);
    lyingSG.bytes.resize(44);
    lyingSG.LyingStr("abc", 4000);
    OPCRecord manyMembers;
    manyMembers.U32(1).U32(1).U32(1).U32(1).U32(0).U32(0x10000000).U32(1).U32(0).U32(1);
    manyMembers.Str("").Str("").Str("").Str("").Str("").U32(1).U32(1);
    OPCRecord manyAddresses;
    manyAddresses.U32(1).U32(0).U32(1).U32(0xFFFFFFFF).Str("t").Str("x");
    OPCRecord cutDevice = DeviceRecord(1, 4, 1);
    cutDevice.bytes.resize(cutDevice.bytes.size() - 5);
    OPCRecord cutDesk = DeskRecord(1, 1);
    cutDesk.bytes.resize(73);
    OPCRecord shortKey = KeyRecord(1);
    shortKey.bytes.resize(44);
    const struct {
        const char* name;
        Parser parser;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"skill group string length", SkillGroupConfig::ProcessSkillGroupRecord, lyingSG.bytes},
        {"skill group fixed part", SkillGroupConfig::ProcessSkillGroupRecord, std::vector<uint8_t>(20, 1)},
        {"service member count", ServiceConfig::ProcessServiceRecord, manyMembers.bytes},
        {"device fixed part", DeviceConfig::ProcessDeviceRecord, std::vector<uint8_t>(10, 0)},
        {"device strings", DeviceConfig::ProcessDeviceRecord, cutDevice.bytes},
        {"call type name", CallTypeConfig::ProcessCallTypeRecord, OPCRecord().U32(1).U32(1).U32(1).LyingStr("a", 9).bytes},
        {"mrd description", MRDConfig::ProcessMRDRecord, OPCRecord().U32(1).U32(1).U32(1).Str("a").bytes},
        {"peripheral short", PeripheralConfig::ProcessPeripheralRecord, std::vector<uint8_t>(15, 0)},
        {"desk settings string", AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord, cutDesk.bytes},
        {"terminal address count", terminal, manyAddresses.bytes},
        {"configuration key", model::SetConfigKey, shortKey.bytes},
        {"empty", SkillGroupConfig::ProcessSkillGroupRecord, {}},
    };
    for (const auto& c : cases) {
        ctimsgtest::TraceCapture traces;
        // An exact-size heap copy: one byte past it is an ASan report.
        std::unique_ptr<uint8_t[]> body(new uint8_t[c.bytes.size() + 1]);
        std::copy(c.bytes.begin(), c.bytes.end(), body.get());
        for (uint32_t update : {0u, 1u})
            EXPECT_EQ(c.parser(1, body.get(), body.get() + c.bytes.size(), update), nullptr) << c.name;
        EXPECT_NE(traces.Take().find("runs past the end of the message"), std::string::npos) << c.name;
    }
    EXPECT_EQ(SkillGroupConfig::Table().map.Size() + ServiceConfig::Table().map.Size() +
                  DeviceConfig::Table().map.Size() + CallTypeConfig::Table().map.Size(),
              0u);
}

// Ten records with every text at its longest fit each table's answer at every version that
// carries it; the ten-record pagers rely on it.
TEST_F(ConfigTableTest, TenFullRecordsOfEveryTenRecordTableFitTheFrame) {
    const std::string longText(300, '7');
    const std::vector<std::string> addresses(10, longText);
    struct Case {
        const char* name;
        uint32_t type;
        std::function<void(BaseMSG&, uint32_t)> fill;
    };
    SkillGroupConfig sg;
    sg.Extension = sg.ConfigParam = sg.Description = sg.PeripheralName = sg.PrecisionQueueName = longText;
    sg.OldPeripheralNumber = 5;
    ServiceConfig svc;
    svc.Extension = svc.ConfigParam = longText;
    svc.Description = std::string(127, '7');
    svc.PeripheralName = std::string(63, '7');
    svc.OldPeripheralNumber = 5;
    for (int32_t i = 0; i < 12; ++i) {
        svc.Members.push_back({900 + i, 1});
        OPCRecord g = SkillGroupRecord(900 + i, i, 1);
        ASSERT_NE(SkillGroupConfig::ProcessSkillGroupRecord(1, g.begin(), g.end(), 0), nullptr);
    }
    DeviceConfig dev;
    dev.DialedNumber = dev.DNIS = dev.Extension = dev.Description = longText;
    CallTypeConfig ct;
    ct.EnterpriseName = ct.Description = longText;
    MRDConfig mrd;
    mrd.PeripheralName = mrd.Description = longText;
    PeripheralConfig per;
    AgentDeskSettingsConfig desk;
    desk.DefaultDevicePortAddress = longText;
    TerminalConfig term(1, 10, 1, std::string(63, 'n'), std::string(99, 't'), 1);
    term.Addresses.assign(10, std::string(63, 'a'));
    const Case cases[] = {
        {"skill groups", 236, [&](BaseMSG& m, uint32_t k) { sg.WriteSlot(m, k, 1); }},
        {"services", 235, [&](BaseMSG& m, uint32_t k) { svc.WriteSlot(m, k, 1); }},
        {"devices", 238, [&](BaseMSG& m, uint32_t k) { dev.WriteSlot(m, k, 1); }},
        {"call types", 245, [&](BaseMSG& m, uint32_t k) { ct.WriteSlot(m, k, 1); }},
        {"mrds", 254, [&](BaseMSG& m, uint32_t k) { mrd.WriteSlot(m, k, 1); }},
        {"peripherals", 260, [&](BaseMSG& m, uint32_t k) { per.WriteSlot(m, k, 1); }},
        {"desk settings", 261, [&](BaseMSG& m, uint32_t k) { desk.WriteSlot(m, k, 1); }},
        {"terminals", 276, [&](BaseMSG& m, uint32_t k) {
             m.SetUSHORT(model::E::RecordType, 1, k);
             m.SetUSHORT(model::E::TerminalType, 1, k);
             m.SetSTRING(model::E::TerminalDeviceName, term.TerminalDeviceName, k);
             m.SetSTRING(model::E::TerminalTypeName, term.TerminalTypeName, k);
             m.SetUSHORT(model::E::NumInstruments, 10, k);
             for (uint32_t j = 0; j < 10; ++j) m.SetSTRING(model::E::AgentInstrument, term.Addresses[j], k * 10 + j);
         }},
    };
    for (const Case& c : cases) {
        BaseMSGPtr page = catalog::CreateMessage(c.type);
        for (uint32_t k = 0; k < 10; ++k) c.fill(*page, k);
        page->SetUSHORT(model::E::NumRecords, 10);
        for (uint32_t version = page->GetMinVersion(); version <= 24; ++version) {
            if (version == 4) continue;
            const int limit = static_cast<int>(GetVersionLimits(version).maxFrameBytes) - 8;
            EXPECT_LE(page->MaxEncodedSize(version), limit) << c.name << " v" << version;
        }
    }
}

}  // namespace
}  // namespace modeltest
