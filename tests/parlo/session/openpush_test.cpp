// What a new CLIENT_MONITOR or SUPERVISOR session is sent at open: the session-opened events
// (nothing carried over from the previous session) and the team pages with their flags and
// agent states, for the teams the supervisor may watch.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "parlo/session/openpush.h"

namespace {

// Agents by SkillTargetID (on one peripheral) and teams, as the application will keep them.
class FakeDomain : public TeamDirectory {
public:
    bool FindAgentBySkillTargetID(int32_t id, uint32_t peripheralID, AgentSnapshot& out) override {
        auto it = agents.find(id);
        if (it == agents.end() || (peripheralID != 0xFFFFFFFF && it->second.peripheralID != peripheralID))
            return false;
        out = it->second;
        return true;
    }
    bool FindAgentByAgentID(const std::string& agentID, uint32_t peripheralID, AgentSnapshot& out) override {
        auto it = agentIDs.find(agentID);
        return it != agentIDs.end() && FindAgentBySkillTargetID(it->second, peripheralID, out);
    }
    void ForEachTeam(const std::function<void(const TeamInfo&)>& visit) override {
        for (const TeamInfo& team : teams) visit(team);
    }
    bool FindTeamByPrimarySupervisor(int32_t id, TeamInfo& out) override {
        for (const TeamInfo& team : teams) {
            if (team.primarySupervisor != id) continue;
            out = team;
            return true;
        }
        return false;
    }
    void AddAgent(int32_t id, const std::string& agentID, int32_t state, uint32_t duration) {
        agents[id] = AgentSnapshot{id, 5000, state, duration};
        agentIDs[agentID] = id;
    }
    std::map<int32_t, AgentSnapshot> agents;
    std::map<std::string, int32_t> agentIDs;
    std::vector<TeamInfo> teams;
};

TeamInfo MakeTeam(uint32_t teamID, int agents, int32_t firstID, int32_t primary) {
    TeamInfo team;
    team.peripheralID = 5000;
    team.teamID = teamID;
    team.name = "team" + std::to_string(teamID);
    team.departmentID = 7;
    team.primarySupervisor = primary;
    for (int i = 0; i < agents; ++i)
        team.agents.push_back({std::to_string(firstID + i), firstID + i});
    return team;
}

struct Page {
    uint32_t teamID;
    std::vector<std::string> ids;
    std::vector<uint16_t> flags, states;
    std::vector<uint32_t> durations;
};

std::vector<Page> Collect(const TeamInfo& team, TeamDirectory& domain) {
    AgentTeamConfigEventMSG msg;
    std::vector<Page> pages;
    BuildTeamPages(team, 5000, domain, msg, [&](BaseMSG& m) {
        Page page;
        page.teamID = m.GetUINT(elementid::TeamID);
        const uint16_t n = m.GetUSHORT(elementid::NumberOfAgents);
        for (uint32_t i = 0; i < n; ++i) {
            page.ids.push_back(m.GetSTRING(elementid::AtcAgentID, i));
            page.flags.push_back(m.GetUSHORT(elementid::AgentFlags, i));
            page.states.push_back(m.GetUSHORT(elementid::AtcAgentState, i));
            page.durations.push_back(m.GetUINT(elementid::AtcStateDuration, i));
        }
        // Nothing of a longer page before stays behind the entries of this one.
        if (n < 64) {
            EXPECT_EQ(m.Present(elementid::AtcAgentID, n), 0);
        }
        EXPECT_EQ(m.GetUSHORT(elementid::ConfigOperation), 1);
        EXPECT_EQ(m.GetSTRING(elementid::AgentTeamName), team.name);
        pages.push_back(page);
    });
    return pages;
}

TEST(ClientSessionListTest, EachSessionIsReportedWithoutLeftoversOfThePreviousOne) {
    ClientSessionOpenedEventMSG msg;
    OpenedSessionInfo agent{7, 5000, 0x01, 0xFF, 0x3, 4000, "10.0.0.1", "desk1", "sig1", "1001", "42", "inst"};
    OpenedSessionInfo bare{8, 5000, 0x10, 0, 0, 4001, "10.0.0.2", "rec", "rec", "", "", ""};
    FillClientSessionOpenedEvent(msg, agent);
    EXPECT_STREQ(msg.GetSTRING(elementid::AgentExtension), "1001");
    EXPECT_EQ(msg.ValidateToSend(24), 0);
    FillClientSessionOpenedEvent(msg, bare);
    EXPECT_EQ(msg.GetUINT(elementid::SessionID), 8u);
    EXPECT_EQ(msg.GetUINT(elementid::ServiceMask), 0x10u);
    EXPECT_STREQ(msg.GetSTRING(elementid::ClientID), "rec");
    EXPECT_EQ(msg.Present(elementid::AgentExtension), 0);
    EXPECT_EQ(msg.Present(elementid::AgentID), 0);
    EXPECT_EQ(msg.Present(elementid::AgentInstrument), 0);
    EXPECT_EQ(msg.ValidateToSend(24), 0);
}

TEST(TeamPagesTest, LongListsArePagedBy64AndSupervisorsFollowAgents) {
    FakeDomain domain;
    TeamInfo team = MakeTeam(3, 150, 1000, 900);
    team.supervisors = {{"900", 900}, {"901", 901}};
    const auto pages = Collect(team, domain);
    ASSERT_EQ(pages.size(), 4u);
    EXPECT_EQ(pages[0].ids.size(), 64u);
    EXPECT_EQ(pages[1].ids.size(), 64u);
    EXPECT_EQ(pages[2].ids.size(), 22u);
    EXPECT_EQ(pages[0].ids.front(), "1000");
    EXPECT_EQ(pages[2].ids.back(), "1149");
    EXPECT_EQ(pages[0].flags.front(), 0);
    EXPECT_EQ(pages[3].ids, (std::vector<std::string>{"900", "901"}));
    EXPECT_EQ(pages[3].flags, (std::vector<uint16_t>{1, 4}));
}

TEST(TeamPagesTest, KnownAgentsShowTheirStateUnknownOnesNine) {
    FakeDomain domain;
    domain.AddAgent(1001, "1001", 3, 42);
    domain.agents[1002] = AgentSnapshot{1002, 6000, 4, 10};  // on another peripheral
    TeamInfo team = MakeTeam(3, 3, 1000, 900);
    const auto pages = Collect(team, domain);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].states, (std::vector<uint16_t>{9, 3, 9}));
    EXPECT_EQ(pages[0].durations, (std::vector<uint32_t>{0, 42, 0}));
}

TEST(TeamPagesTest, EmptyListsSendNothing) {
    FakeDomain domain;
    EXPECT_TRUE(Collect(MakeTeam(3, 0, 1000, 900), domain).empty());
    EXPECT_EQ(Collect(MakeTeam(3, 64, 1000, 900), domain).size(), 1u);
}

TEST(SupervisorTeamsTest, WhichTeamsASupervisorIsSent) {
    FakeDomain domain;
    domain.AddAgent(900, "sup1", 3, 0);
    domain.AddAgent(950, "sup2", 3, 0);  // primary supervisor of no team
    domain.teams = {MakeTeam(1, 2, 1000, 800), MakeTeam(2, 2, 2000, 900)};
    struct Case {
        const char* what;
        uint32_t services;
        std::string agentID;
        std::vector<uint32_t> teams;
    } cases[] = {
        {"ALL_EVENTS gets every team", 0x90, "", {1, 2}},
        {"PERIPHERAL_MONITOR gets every team", 0xA0, "", {1, 2}},
        {"own agent's team only", 0x81, "sup1", {2}},
        {"primary supervisor of no team", 0x81, "sup2", {}},
        {"unknown agent", 0x81, "nobody", {}},
    };
    for (const Case& c : cases) {
        SupervisorView view{11, c.services, 5000, c.agentID};
        std::vector<uint32_t> got;
        ChooseSupervisorTeams(view, domain, [&](const TeamInfo& team) { got.push_back(team.teamID); });
        EXPECT_EQ(got, c.teams) << c.what;
    }
}

}  // namespace
