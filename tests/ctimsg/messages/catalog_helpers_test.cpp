// The short trace forms of the two statistics confirmations, and the call-context counts that
// a message built here takes from its own context.
#include "ctimsg/messages/catalog_helpers.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "ctimsg/eccelement.h"
#include "tests/ctimsg/messages/catalog_samples.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::DecodeBytes;
using msgtest::EncodeBytes;

constexpr uint32_t kNumNamedVariables = 163;
constexpr uint32_t kNumNamedArrays = 164;
constexpr uint32_t kExpandedCallContext = 511;

TEST(StatisticsTrace, ShortFormsNameTheQueryOnly) {
    QueryAgentStatisticsConfMSG agent;
    catalogtest::Fill(agent, 24);
    agent.SetUINT(1, 0x2a);
    agent.SetUINT(4, 5000);
    agent.SetSTRING(436, "1234");
    std::string full;
    agent.Trace(full, 24);
    ASSERT_GT(full.size(), 1000u);  // every counter is in the full text
    std::string text = "prefix ";
    agent.TraceSummary(text, 24);
    EXPECT_EQ(text, "prefix MsgType:QUERY_AGENT_STATISTICS_CONF (InvokeID:0x2a PeripheralID:5000 "
                    "AgentID:\"1234\" )");

    QuerySkillGroupStatisticsConfMSG group;
    catalogtest::Fill(group, 24);
    group.SetUINT(1, 9);
    group.SetUINT(4, 5000);
    group.SetUINT(25, 77);
    group.SetUINT(26, 4100);
    text.clear();
    group.TraceSummary(text, 6);
    EXPECT_EQ(text, "MsgType:QUERY_SKILL_GROUP_STATISTICS_CONF (InvokeID:0x9 PeripheralID:5000 "
                    "SkillGroupNumber:77 SkillGroupID:4100 )");

    // Absent fields add nothing.
    QuerySkillGroupStatisticsConfMSG empty;
    text.clear();
    empty.TraceSummary(text, 24);
    EXPECT_EQ(text, "MsgType:QUERY_SKILL_GROUP_STATISTICS_CONF ()");
}

// Every class that carries a call context and both counts: a builder that adds a variable
// after filling the counts sends counts that disagree with the context (the classes with the
// count rule refuse to send it); SetECCCounts puts them back in step for every version.
TEST(ECCCounts, TakenFromTheCarriedContext) {
    std::set<std::string> carriers;
    for (const catalog::ClassInfo* info : catalog::AllClasses()) {
        std::unique_ptr<BaseMSG> probe(catalog::CreateMessage(info->type, info->layout == catalog::Layout::Older));
        const bool hasAll = probe->FindElement(kNumNamedVariables, 0, false) != nullptr &&
                            probe->FindElement(kNumNamedArrays, 0, false) != nullptr &&
                            probe->FindElement(kExpandedCallContext, 0, false) != nullptr;
        EXPECT_EQ(SetECCCounts(*probe), hasAll) << info->className;
        if (!hasAll) continue;
        carriers.insert(info->className);
        const bool rule = info->check == catalog::Check::EccCount;
        uint32_t from = info->version;
        for (uint32_t id : {kNumNamedVariables, kNumNamedArrays, kExpandedCallContext}) {
            from = std::max(from, probe->FindElement(id, 0, false)->GetFromVersion());
        }
        for (uint32_t v = from; v <= 24; ++v) {
            SCOPED_TRACE(std::string(info->className) + " v" + std::to_string(v));
            std::unique_ptr<BaseMSG> msg(catalog::CreateMessage(info->type));
            catalogtest::Fill(*msg, v);  // four entries: two scalars, two array elements
            ASSERT_EQ(msg->SetECC(kExpandedCallContext, "late.scalar", "x"), 0);
            ASSERT_EQ(msg->SetECC(kExpandedCallContext, "late.array", 1, "y"), 0);
            ASSERT_EQ(msg->GetUSHORT(kNumNamedVariables), 2u);
            EXPECT_EQ(msg->ValidateToSend(v), rule ? 77 : 0);

            ASSERT_TRUE(SetECCCounts(*msg));
            ASSERT_EQ(msg->ValidateToSend(v), 0);
            auto got = DecodeBytes(EncodeBytes(*msg, v), v);
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(got->GetStatus(), 0u);
            int scalars = 0, elements = 0, replacedScalars = 0, replacedElements = 0;
            auto* ecc = dynamic_cast<ECCElement*>(got->FindElement(kExpandedCallContext, 0, false));
            ASSERT_NE(ecc, nullptr);
            ecc->GetCounts(scalars, elements, replacedScalars, replacedElements, nullptr);
            EXPECT_EQ(scalars, 3);
            EXPECT_EQ(elements, 3);
            EXPECT_EQ(got->GetUSHORT(kNumNamedVariables), 3u);
            EXPECT_EQ(got->GetUSHORT(kNumNamedArrays), 3u);
        }
    }
    // The event and the six task classes that carry counts without the rule are among them.
    for (const char* name : {"CallDeliveredEventMSG", "OfferApplicationTaskReqMSG",
                             "StartApplicationTaskReqMSG", "UpdateTaskContextIndMSG",
                             "TaskInitIndMSG", "AgentLegacyPrecallEventMSG", "TaskInitReqMSG",
                             "BeginCallEventMSG", "SetCallDataReqMSG"}) {
        EXPECT_EQ(carriers.count(name), 1u) << name;
    }
}

}  // namespace
