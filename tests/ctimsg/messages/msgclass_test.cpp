// The construction rule over every class of the catalogue, the type table and the factory.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::Bytes;
using msgtest::EncodeBytes;

std::set<uint32_t> Range(uint32_t from, uint32_t to) {
    std::set<uint32_t> s;
    for (uint32_t t = from; t <= to; ++t) s.insert(t);
    return s;
}

TEST(TypeTable, KindsNamesAndClasses) {
    std::set<uint32_t> notImplemented = Range(66, 77);
    for (uint32_t t : {80u, 81u, 87u, 88u, 89u, 90u}) notImplemented.insert(t);
    std::set<uint32_t> invalid = {216, 219, 220, 221, 222, 227, 228, 229, 241, 251};
    int implemented = 0;
    for (uint32_t type = 1; type <= 282; ++type) {
        const catalog::TypeRow& row = catalog::GetTypeRow(type);
        EXPECT_EQ(row.type, type);
        EXPECT_STREQ(row.name, MsgTypeName(static_cast<int32_t>(type))) << type;
        if (notImplemented.count(type)) {
            EXPECT_EQ(row.kind, catalog::TypeKind::NotImplemented) << type;
        } else if (invalid.count(type)) {
            EXPECT_EQ(row.kind, catalog::TypeKind::Invalid) << type;
        } else {
            ASSERT_EQ(row.kind, catalog::TypeKind::Implemented) << type;
            ASSERT_NE(row.info, nullptr);
            std::unique_ptr<BaseMSG> msg(catalog::CreateMessage(type));
            ASSERT_NE(msg, nullptr) << type;
            EXPECT_EQ(msg->GetMsgType(), type);
            EXPECT_EQ(msg->GetMinVersion(), row.info->version) << type;
            ++implemented;
        }
    }
    EXPECT_EQ(implemented, 254);
    EXPECT_EQ(catalog::AllClasses().size(), 255u);
    EXPECT_EQ(catalog::GetTypeRow(0).kind, catalog::TypeKind::Unknown);
    EXPECT_EQ(catalog::GetTypeRow(283).kind, catalog::TypeKind::Unknown);
    EXPECT_EQ(catalog::CreateMessage(66), nullptr);
    EXPECT_EQ(catalog::CreateMessage(283), nullptr);
    EXPECT_STREQ(catalog::GetTypeRow(12).name, "CALL_RETREIVED_EVENT");
    EXPECT_STREQ(catalog::GetTypeRow(187).name, "GET_PRECALL_MESSAGES_REG");

    struct Named {
        uint32_t type;
        const char* className;
        uint32_t version;
    };
    const Named named[] = {{1, "FailureConfMSG", 2},     {32, "ClientEventReportReqMSG", 3},
                           {58, "MakePredictiveCallReqMSG", 5}, {111, "RegisterVariablesConfMSG", 2},
                           {253, "ConfigMediaRoutingDomainEventMsg", 18},
                           {259, "SessionFailedMSG", 24}, {281, "StoppingRequestsToThisSideInd", 24}};
    for (const auto& n : named) {
        EXPECT_STREQ(catalog::GetTypeRow(n.type).info->className, n.className);
        EXPECT_EQ(catalog::GetTypeRow(n.type).info->version, n.version) << n.type;
    }
    std::unique_ptr<BaseMSG> dtmf(catalog::CreateMessage(91));
    std::unique_ptr<BaseMSG> older(catalog::CreateMessage(91, true));
    EXPECT_NE(dynamic_cast<SendDTMFSignalReqMSG*>(dtmf.get()), nullptr);
    EXPECT_NE(dynamic_cast<SendDTMFSignalReqMSG_46*>(older.get()), nullptr);
    EXPECT_EQ(older->GetMsgType(), 91u);
}

// Walks every class's chain: fixed part first, repeated fields numbered 0, 1, 2 ... in chain
// order, fixed fields required (but TeamConfigKey in TEAM_CONFIG_REQ), array entries not.
TEST(Construction, EveryClassChainKeepsTheRules) {
    for (const catalog::ClassInfo* info : catalog::AllClasses()) {
        std::unique_ptr<BaseMSG> msg(
            catalog::CreateMessage(info->type, info->layout == catalog::Layout::Older));
        ASSERT_NE(msg, nullptr) << info->className;
        bool floating = false;
        std::map<uint32_t, uint32_t> next;
        int steps = 0;
        for (BaseElement* e = msg->GetFirstElement(); e != nullptr; e = e->GetNext()) {
            ASSERT_LT(++steps, 100000) << info->className << ": chain does not end";
            const uint32_t id = e->GetElementID();
            if (e->IsFloating()) {
                floating = true;
            } else {
                EXPECT_FALSE(floating) << info->className << ": fixed " << ElementName(id)
                                       << " after a floating field";
                bool optional = info->type == 242 && id == 416;
                EXPECT_EQ(e->IsRequired(), !optional) << info->className << " " << ElementName(id);
            }
            EXPECT_FALSE(e->IsPresent() && id != 8) << info->className << " " << ElementName(id);
            // Repeated singles (Reserved) and the request-enablement entries stay at 0.
            if (id == 8 || (id >= 650 && id <= 655)) {
                EXPECT_EQ(e->GetOccurrence(), 0u);
                continue;
            }
            EXPECT_EQ(e->GetOccurrence(), next[id]) << info->className << " " << ElementName(id);
            next[id] = e->GetOccurrence() + 1;
        }
    }
}

TEST(Construction, EntryVersionsAndRecordSlots) {
    CallQueuedEventMSG queued;
    // Skill-group records: entries 0-9 from version 3, 10-98 from 5.
    constexpr uint32_t kFltSkillGroupNumber = 481;
    EXPECT_EQ(queued.FindElement(kFltSkillGroupNumber, 9, false)->GetFromVersion(), 3u);
    EXPECT_EQ(queued.FindElement(kFltSkillGroupNumber, 10, false)->GetFromVersion(), 5u);
    EXPECT_EQ(queued.FindElement(kFltSkillGroupNumber, 98, false)->GetFromVersion(), 5u);
    EXPECT_EQ(queued.FindElement(kFltSkillGroupNumber, 99, false), nullptr);

    // A member-list record owns its slots: record r's entry j is occurrence r*100+j.
    ConfigAgentEventMSG agent;
    EXPECT_NE(agent.FindElement(kFltSkillGroupNumber, 999, false), nullptr);
    EXPECT_EQ(agent.FindElement(kFltSkillGroupNumber, 1000, false), nullptr);
    int inChain = 0;
    for (BaseElement* e = agent.GetFirstElement(); e != nullptr; e = e->GetNext()) ++inChain;
    EXPECT_EQ(inChain, 1 + 10 * (16 + 2 * 100 + 2 * 40));
}

TEST(Construction, FieldlessClassesEncodeAsTheHeader) {
    for (uint32_t type : {181u, 184u, 277u, 281u}) {
        std::unique_ptr<BaseMSG> msg(catalog::CreateMessage(type));
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->GetFirstElement(), nullptr) << type;
        ASSERT_EQ(msg->ValidateToSend(24), 0);
        Bytes expected = {0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(type)};
        if (type > 255) expected[6] = 1;
        EXPECT_EQ(EncodeBytes(*msg, 24), expected) << type;
    }
}

TEST(Construction, ClearKeepsTheChainAndItsAttributes) {
    OpenConfMSG conf;
    using Shape = std::tuple<uint32_t, uint32_t, uint32_t, bool, bool>;
    auto shape = [&] {
        std::vector<Shape> s;
        for (BaseElement* e = conf.GetFirstElement(); e != nullptr; e = e->GetNext()) {
            s.emplace_back(e->GetElementID(), e->GetOccurrence(), e->GetFromVersion(),
                           e->IsRequired(), e->IsTraced());
        }
        return s;
    };
    const auto before = shape();
    conf.SetUINT(1, 5);
    conf.SetSTRING(436, "agent");
    conf.SetUINT(623, 7, 31);
    conf.Clear();
    EXPECT_EQ(shape(), before);
    for (BaseElement* e = conf.GetFirstElement(); e != nullptr; e = e->GetNext()) {
        EXPECT_FALSE(e->IsPresent()) << ElementName(e->GetElementID());
    }
}

TEST(Construction, TraceFlagsOfTheTwoFlagClasses) {
    BaseElement::EnableCallVariableTrace();
    BaseElement::EnableECCTrace();
    auto traced = [](BaseMSG& msg) {
        msg.SetSTRING(443, "cv-one");
        EXPECT_EQ(msg.SetECC(511, "var", "ecc-value"), 0);
        std::string text;
        msg.Trace(text, 24);
        return std::make_pair(text.find("cv-one") != std::string::npos,
                              text.find("ecc-value") != std::string::npos);
    };
    BeginCallEventMSG both(true, true), cvOnly(false, true), eccOnly(true, false), none(false, false);
    EXPECT_EQ(traced(both), std::make_pair(true, true));
    EXPECT_EQ(traced(cvOnly), std::make_pair(true, false));
    EXPECT_EQ(traced(eccOnly), std::make_pair(false, true));
    EXPECT_EQ(traced(none), std::make_pair(false, false));
    // The legacy pre-call event shows its context whatever the first flag says.
    AgentLegacyPrecallEventMSG legacy(false, false);
    EXPECT_EQ(legacy.SetECC(511, "var", "ecc-value"), 0);
    std::string text;
    legacy.Trace(text, 24);
    EXPECT_NE(text.find("ecc-value"), std::string::npos);
}

}  // namespace
