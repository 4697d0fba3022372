// The agent configuration table: the Agent it creates and updates, deferral and its timer,
// the change judgement, OldLoginID and team renames, and the two pagers by count and size.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "parlo/model/agentdesk.h"
#include "platform/byteorder.h"
#include "tests/ctimsg/trace_capture.h"
#include "tests/parlo/model/config_fixture.h"
#include "tests/support/pattern.h"

namespace modeltest {
namespace {

class AgentConfigTest : public ConfigTableTest {
protected:
    AgentConfigTest() {
        ports.peripheralTypes[5000] = 30;
        for (int32_t g = 1; g <= 5; ++g) {
            OPCRecord r = SkillGroupRecord(g, 100 + g, 5000, static_cast<uint16_t>(g));
            EXPECT_NE(SkillGroupConfig::ProcessSkillGroupRecord(1, r.begin(), r.end(), 0), nullptr);
        }
    }
    static AgentRecordSpec Fields(int32_t stid, const std::string& login) {
        AgentRecordSpec s;
        s.stid = stid;
        s.login = login;
        s.groups = {1, 2};
        return s;
    }
    static std::vector<std::string> Counts(const std::string& text) {
        return testsupport::MatchAll(text, "NumRecords:([0-9]+)");
    }
};

TEST_F(AgentConfigTest, InitialLoadCreatesAgentsAndHeldBackBatchesPushOnlyRealChanges) {
    AddConfigClient(7, 0x01);
    for (int32_t stid : {10, 11, 12}) AgentRec(1, Fields(stid, std::to_string(stid + 1000)), 0);
    Agent* a = Agent::FindAgentBySkillTargetID(5000, 10);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetAgentID(), "1010");
    EXPECT_EQ(a->GetOverallState(), 1) << "logged out";
    EXPECT_EQ(a->GetAgentTeamID(), 0);
    EXPECT_TRUE(ports.lines.empty());

    ports.serverState = 4;  // ACTIVE: held back, the timer started once
    AgentRec(3, Fields(10, "1010"), 1);          // identical
    AgentRec(3, Fields(11, "2011"), 1);          // LoginID only
    AgentRec(1, Fields(20, "1020"), 1);          // new
    EXPECT_EQ(ports.agentTimerStarts, 1);
    EXPECT_EQ(AgentConfig::DeferredSize(), 3u);
    EXPECT_EQ(Agent::FindAgentBySkillTargetID(5000, 20), nullptr);
    ports.lines.clear();
    AgentConfig::ApplyDeferred();  // what marker -2 runs
    const std::string s = SessionStream(7);
    EXPECT_NE(s.find("CONFIG_BEGIN_EVENT ConfigType 2 info 0x4"), std::string::npos) << s;
    EXPECT_EQ(Counts(s), (std::vector<std::string>{"2"})) << s;
    EXPECT_EQ(s.find("\"1010\""), std::string::npos) << "the identical record is not pushed\n" << s;
    EXPECT_NE(s.find("CONFIG_RECORD_CHANGE FltPeripheralID:5000 AgentType:CONFIG_AGENT LoginID:\"2011\" "
                     "OldLoginID:\"1011\""), std::string::npos) << s;
    EXPECT_NE(s.find("CONFIG_RECORD_ADD"), std::string::npos) << s;
    EXPECT_EQ(Agent::FindAgentBySkillTargetID(5000, 11)->GetAgentID(), "1011") << "the agent keeps its ID";
    ASSERT_NE(Agent::FindAgentBySkillTargetID(5000, 20), nullptr);
    EXPECT_EQ(AgentConfig::FindAgentConfig(11)->LoginID, "2011");

    // A batch of nothing but identical records pushes nothing.
    ports.lines.clear();
    AgentRec(3, Fields(12, "1012"), 1);
    AgentConfig::ApplyDeferred();
    EXPECT_EQ(SessionStream(7), "");
}

TEST_F(AgentConfigTest, UpdatesWhileNotActiveApplyAtOnceAndPushNothing) {
    AddConfigClient(7, 0x01);
    ports.serverState = 5;
    AgentRec(1, Fields(10, "1010"), 1);
    AgentRec(3, Fields(10, "1011"), 1);
    EXPECT_EQ(AgentConfig::FindAgentConfig(10)->LoginID, "1011");
    EXPECT_EQ(ports.agentTimerStarts, 0);
    Key(3, 1);
    EXPECT_TRUE(ports.lines.empty());
}

TEST_F(AgentConfigTest, RemovalsAlwaysReachClients) {
    AddConfigClient(7, 0x01);
    AgentRec(1, Fields(10, "1010"), 0);
    ports.serverState = 4;
    AgentRec(2, Fields(10, "1010"), 1);  // equal to the map's record
    Key(1, 1);
    const std::string s = SessionStream(7);
    EXPECT_NE(s.find("CONFIG_RECORD_DELETE"), std::string::npos) << s;
    EXPECT_EQ(AgentConfig::FindAgentConfig(10), nullptr);
    EXPECT_NE(Agent::FindAgentBySkillTargetID(5000, 10), nullptr) << "the agent stays";
}

TEST_F(AgentConfigTest, LoginChangeRenamesTheTeamMember) {
    AgentRec(1, Fields(10, "1010"), 0);
    TeamRec(1, 5000, 7, "blue", 0);
    MemberRec(1, 7, 10, "1010", 0);
    ports.serverState = 4;
    AgentRec(3, Fields(10, "2010"), 1);
    AgentConfig::ApplyDeferred();
    EXPECT_EQ(AgentTeam::FindAgentTeam(7)->m_MemberNames, (std::vector<std::string>{"2010"}));
}

TEST_F(AgentConfigTest, PagesByCountAndBySizePerVersion) {
    ports.AddSession(2, "v2", 2, 0);
    ports.configClients.push_back({2, 1, -1, 2, false});
    ports.AddSession(24, "v24", 24, 0);
    ports.configClients.push_back({24, 1, -1, 24, false});
    model::ConfigList<AgentConfig> small, large;
    for (int32_t i = 0; i < 23; ++i) {
        auto r = std::make_unique<AgentConfig>();
        r->SkillTargetID = i;
        r->LoginID = std::to_string(i);
        small.push_back(std::move(r));
        auto big = std::make_unique<AgentConfig>();
        big->SkillTargetID = 100 + i;
        big->LoginID = std::string(60, 'L');
        big->Description = std::string(127, 'D');
        big->LoginName = std::string(255, 'N');
        big->FirstName = big->LastName = std::string(31, 'F');
        big->TerminalDeviceName = std::string(63, 'T');
        big->SkillGroupIDs.assign(15, 1);
        large.push_back(std::move(big));
    }
    const AgentConfig::Set none;
    int pages = 0;
    EXPECT_EQ(AgentConfig::SendConfigAgentEvents(0, -1, 24, small, {}, &pages, none), 0);
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(Counts(ports.Take()), (std::vector<std::string>{"10", "10", "3"}));
    // About 700 bytes each: at most two to a version-2 page.
    EXPECT_EQ(AgentConfig::SendConfigAgentEvents(0, -1, 2, large, {}, &pages, none), 0);
    for (const std::string& n : Counts(ports.Take())) EXPECT_LE(std::stoi(n), 2);
    EXPECT_GE(pages, 12);
}

TEST_F(AgentConfigTest, RecordsThatFitNoPageEndThePushWithStatusFive) {
    ports.AddSession(24, "v24", 24, 0);
    ports.configClients.push_back({24, 1, -1, 24, false});
    model::ConfigList<AgentConfig> list;
    for (int32_t i = 0; i < 10; ++i) {
        auto r = std::make_unique<AgentConfig>();
        r->SkillTargetID = i;
        r->LoginID = std::to_string(i);
        list.push_back(std::move(r));
    }
    auto big = std::make_unique<AgentConfig>();
    big->SkillTargetID = 77;
    big->LoginName = std::string(255, 'N');
    big->SkillGroupIDs.assign(100, 1);
    list.push_back(std::move(big));
    // The big record's own size: a page holding only it, by the catalogue's estimate.
    int size = 0;
    ports.onResponse = [&](int32_t, BaseMSG& msg) {
        if (msg.GetUINT(model::E::FltAgentSkillTargetID, 0) == 77) size = msg.MaxEncodedSize(24);
    };
    model::ConfigList<AgentConfig> alone;
    alone.push_back(std::make_unique<AgentConfig>(*list.back()));
    int pages = 0;
    ASSERT_EQ(AgentConfig::SendConfigAgentEvents(0, -1, 24, alone, {}, &pages, {}), 0);
    ports.onResponse = nullptr;
    ASSERT_GT(size, 1000);
    // Below the limit but not on an empty page (this one used to loop for ever), and at it.
    for (int limit : {size + 1, size + 2, size}) {
        AgentConfig::OverrideMaxMessageSize(limit);
        ports.lines.clear();
        ctimsgtest::TraceCapture traces;
        pages = -1;
        EXPECT_EQ(AgentConfig::SendConfigAgentEvents(0, -1, 24, list, {}, &pages, {}), 5) << limit;
        EXPECT_EQ(pages, 1) << "the page of small records before it stays sent";
        EXPECT_EQ(Counts(ports.Take()), (std::vector<std::string>{"10"}));
        EXPECT_NE(traces.Take().find("Agent record with id = 77 exceeds maximum CTILINK message size"),
                  std::string::npos);
    }
    // With room for it the push completes.
    AgentConfig::OverrideMaxMessageSize(size + 3);
    EXPECT_EQ(AgentConfig::SendConfigAgentEvents(0, -1, 24, list, {}, &pages, {}), 0);
    EXPECT_EQ(pages, 2);
    AgentConfig::OverrideMaxMessageSize(0);
}

TEST_F(AgentConfigTest, QueryAnswersCarryExtensionAndMRDsPushesDoNot) {
    OPCRecord m = MRDRecord(2, "chat");
    ASSERT_NE(MRDConfig::ProcessMRDRecord(1, m.begin(), m.end(), 0), nullptr);
    AgentRecordSpec fields = Fields(10, "1010");
    fields.mrds = {{2, 3}, {5, 3}, {1, 9}};
    AgentRec(1, fields, 0);
    Agent* a = Agent::FindAgentBySkillTargetID(5000, 10);
    ASSERT_NE(a, nullptr);
    a->SetExtension("4711");
    a->CountLogin();
    ports.AddSession(7, "q", 24, 0);
    model::ConfigList<AgentConfig> list;
    AgentConfig::GetAgentList(-1, list);
    int pages = 0;
    EXPECT_EQ(AgentConfig::SendConfigAgentEvents(0, -1, 7, list, {}, &pages, {}), 0);
    const std::string query = ports.Take();
    EXPECT_NE(query.find("Extension:\"4711\""), std::string::npos) << query;
    EXPECT_NE(query.find("NumMRDs:1 "), std::string::npos) << "only configured domains in a live state\n" << query;
    EXPECT_NE(query.find("FltAgentMRDID:2"), std::string::npos) << query;
    EXPECT_NE(query.find("NumSkills:2"), std::string::npos) << query;
    list[0]->Operation = 1;
    EXPECT_EQ(AgentConfig::SendConfigAgentEvents(-1, -1, 7, list, {}, &pages, {}), 0);
    const std::string push = ports.Take();
    EXPECT_NE(push.find("Extension:\"\""), std::string::npos) << push;
    EXPECT_NE(push.find("NumMRDs:3"), std::string::npos) << push;
    EXPECT_EQ(push.find("FltAgentMRDID"), std::string::npos) << push;
}

TEST_F(AgentConfigTest, NamesGoAsUTF8ToTressikClientsUnlessDisabled) {
    AgentRecordSpec fields = Fields(10, "1010");
    fields.first = std::string(30, 'a') + "\xE9";  // é in CP1252: two bytes in UTF-8, cut
    AgentRec(1, fields, 0);
    EXPECT_EQ(AgentConfig::FindAgentConfig(10)->FirstNameUTF8, std::string(30, 'a'));
    ports.AddSession(7, "t", 24, 0);
    ports.configClients.push_back({7, 1, -1, 24, true});
    model::ConfigList<AgentConfig> list;
    AgentConfig::GetAgentList(-1, list);
    int pages = 0;
    for (bool disable : {false, true}) {
        ports.disableUTF8 = disable;
        EXPECT_EQ(AgentConfig::SendConfigAgentEvents(0, -1, 7, list, {}, &pages, {}), 0);
        const std::string s = ports.Take();
        EXPECT_EQ(s.find("FirstName:\"" + std::string(30, 'a') + "\""), disable ? std::string::npos : s.find("FirstName"))
            << s;
    }
}

TEST_F(AgentConfigTest, ServicePushNeedsTheBitVersionAndPeripheralType) {
    for (auto [id, version] : {std::pair{23, 23u}, {24, 24u}}) {
        ports.AddSession(id, "s", version, 0);
        ports.configClients.push_back({id, 0x201, 5000, version, false});
    }
    AgentRecordSpec fields = Fields(10, "1010");
    AgentRec(1, fields, 0);
    ports.serverState = 4;
    fields.services = {3, -2};
    AgentRec(3, fields, 1);
    AgentConfig::ApplyDeferred();
    EXPECT_EQ(SessionStream(23).find("CONFIG_AGENT_SERVICE_EVENT"), std::string::npos);
    const std::string s = SessionStream(24);
    EXPECT_NE(s.find("info 0x200"), std::string::npos) << s;
    EXPECT_NE(s.find("NumOfEnabledServicesElement:2"), std::string::npos) << s;
}

TEST_F(AgentConfigTest, HostileCountsAreRefused) {
    AgentRecordSpec fields = Fields(10, "1010");
    const struct {
        const char* name;
        size_t countOffset;
        uint32_t value;
        size_t width;
    } cases[] = {{"skill groups", 8, 0x40000000, 4}, {"domains", 12, 0x7FFFFFFF, 4}, {"services", 44, 0x7FFF, 2}};
    for (const auto& c : cases) {
        OPCRecord r = AgentRecord(fields);
        if (c.width == 4)
            plat::StoreLE32(r.bytes.data() + c.countOffset, c.value);
        else
            plat::StoreLE16(r.bytes.data() + c.countOffset, static_cast<uint16_t>(c.value));
        std::unique_ptr<uint8_t[]> body(new uint8_t[r.bytes.size()]);
        std::copy(r.bytes.begin(), r.bytes.end(), body.get());
        ctimsgtest::TraceCapture traces;
        EXPECT_EQ(AgentConfig::ProcessAgentRecord(1, body.get(), body.get() + r.bytes.size(), 0), nullptr) << c.name;
        EXPECT_NE(traces.Take().find("runs past the end"), std::string::npos) << c.name;
    }
    OPCRecord cut = AgentRecord(fields);
    cut.bytes.resize(60);
    EXPECT_EQ(AgentConfig::ProcessAgentRecord(1, cut.begin(), cut.end(), 0), nullptr);
    EXPECT_EQ(AgentConfig::MapSize(), 0u);
}

// Random agent records, every protocol version: every page encodes within the version's
// frame, every record arrives exactly once unless the push ends with 5, and records small
// enough go ten to a page.
TEST_F(AgentConfigTest, RandomRecordsPageWithinEveryVersionsFrame) {
    std::mt19937 rng(4711);
    auto text = [&](int max) {
        return std::string(std::uniform_int_distribution<int>(0, max)(rng), static_cast<char>('a' + rng() % 26));
    };
    std::vector<uint32_t> versions = {2, 3};
    for (uint32_t v = 5; v <= 24; ++v) versions.push_back(v);
    for (uint32_t version : versions) {
        ports.configClients.clear();
        ports.AddSession(static_cast<int32_t>(version), "v", version, 0);
        ports.configClients.push_back({static_cast<int32_t>(version), 1, -1, version, false});
        for (int round = 0; round < 6; ++round) {
            model::ConfigList<AgentConfig> list;
            const int n = std::uniform_int_distribution<int>(1, 35)(rng);
            const bool small = round == 0;
            for (int i = 0; i < n; ++i) {
                auto r = std::make_unique<AgentConfig>();
                r->SkillTargetID = i;
                r->LoginID = small ? std::to_string(i) : text(63);
                if (!small) {
                    r->FirstName = text(31);
                    r->LastName = text(31);
                    r->LoginName = text(255);
                    r->Description = text(127);
                    r->TerminalDeviceName = text(63);
                    r->SkillGroupIDs.assign(static_cast<size_t>(rng() % 6), 1 + static_cast<int32_t>(rng() % 5));
                }
                r->Operation = 1 + static_cast<uint32_t>(rng() % 3);
                list.push_back(std::move(r));
            }
            AgentConfig::Set changed;
            for (int i = 0; i < n; ++i) changed.insert(i);
            std::map<std::string, int> seen;
            std::vector<int> perPage;
            bool framesFit = true;
            ports.onResponse = [&](int32_t, BaseMSG& msg) {
                perPage.push_back(msg.GetUSHORT(model::E::NumRecords));
                for (uint32_t k = 0; k < 10; ++k)
                    if (msg.Present(model::E::FltAgentSkillTargetID, k))
                        ++seen[std::to_string(msg.GetUINT(model::E::FltAgentSkillTargetID, k))];
                if (msg.ValidateToSend(version) != 0) return;  // too new for the version: never sent
                const int room = static_cast<int>(GetVersionLimits(version).maxFrameBytes);
                std::vector<uint8_t> frame(static_cast<size_t>(room) + 64);
                const int bytes = msg.Encode(frame.data(), static_cast<int>(frame.size()), version, 1023, nullptr, 0);
                framesFit = framesFit && bytes > 0 && bytes <= room;
            };
            int pages = 0;
            const int status =
                AgentConfig::SendConfigAgentEvents(-1, -1, static_cast<int32_t>(version), list, {}, &pages, changed);
            ports.onResponse = nullptr;
            ports.lines.clear();
            EXPECT_TRUE(framesFit) << "v" << version << " round " << round;
            if (status == 0) {
                EXPECT_EQ(static_cast<int>(seen.size()), n) << "v" << version;
                for (const auto& [id, times] : seen) EXPECT_EQ(times, 1) << id;
            } else {
                EXPECT_EQ(status, 5);
                for (const auto& [id, times] : seen) EXPECT_EQ(times, 1) << id;
            }
            if (small) {
                for (size_t p = 0; p + 1 < perPage.size(); ++p) EXPECT_EQ(perPage[p], 10) << "v" << version;
            }
        }
    }
}

TEST_F(AgentConfigTest, DeskSettingsOfAnAgentComeThroughItsRecord) {
    AgentRec(1, Fields(10, "1010"), 0);
    EXPECT_EQ(AgentConfig::GetAgentDeskSettingsID(10), nullptr);
    OPCRecord d = DeskRecord(11, 0x55);
    ASSERT_NE(AgentDeskSettingsConfig::ProcessAgentDeskSettingsRecord(1, d.begin(), d.end(), 0), nullptr);
    ASSERT_NE(AgentConfig::GetAgentDeskSettingsID(10), nullptr);
    EXPECT_EQ(AgentConfig::GetAgentDeskSettingsID(10)->AgentDeskSettingsMask, 0x55u);
    EXPECT_EQ(AgentConfig::GetAgentDeskSettingsID(99), nullptr);
    // What the agent object reads through its own header.
    AgentDeskSettings desk;
    ASSERT_TRUE(agentconfig::GetAgentDeskSettings(10, desk));
    EXPECT_EQ(desk.mask, 0x55);
    std::string nameLine;
    std::vector<int32_t> services;
    ASSERT_TRUE(agentconfig::GetAgentDumpInfo(10, nameLine, services));
    EXPECT_EQ(nameLine, "    FirstName = Ann, LastName = Lee, SSOEnabled=1, VerificationStatus=0,NumOfServices=0 "
                        "LoginName = ann\n");
    EXPECT_FALSE(agentconfig::GetAgentDumpInfo(99, nameLine, services));
}

}  // namespace
}  // namespace modeltest
