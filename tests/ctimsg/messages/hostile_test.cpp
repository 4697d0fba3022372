// Configuration frames whose record and member counts lie: every one fails with a failure
// status, names the field that lied, and never reaches a slot the class does not have.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ctimsg/messages/messages.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::DecodeBytes;
using msgtest::Frame;

constexpr uint32_t kVersion = 24;
constexpr uint32_t E_CTI_BAD_MESSAGE_FORMAT = 25;
constexpr uint32_t E_CTI_INVALID_TAG_FOR_MSG_TYPE = 26;
constexpr uint32_t kNumRecords = 379;

// Element ids of the record fields used here.
constexpr uint32_t kNumSkills = 608;
constexpr uint32_t kFltSkillGroupNumber = 481;
constexpr uint32_t kFltSkillGroupPriority = 483;
constexpr uint32_t kNumMRDs = 673;
constexpr uint32_t kFltAgentMRDID = 674;
constexpr uint32_t kNumInstruments = 717;
constexpr uint32_t kAgentInstrument = 437;
constexpr uint32_t kNumOfEnabledServices = 722;
constexpr uint32_t kFltEnabledServices = 721;

// One agent record on the wire: its type, its counts, then its list entries.
void Agent(Frame& f, uint32_t skills, uint32_t skillEntries, uint32_t mrds, uint32_t mrdEntries) {
    f.Num16(183, 1).Num16(191, skills).Num16(261, mrds);
    for (uint32_t j = 0; j < skillEntries; ++j) f.Num32(62, j).Num16(64, 1);
    for (uint32_t j = 0; j < mrdEntries; ++j) f.Num32(262, j).Num16(263, 3);
}

void Terminal(Frame& f, uint32_t count, uint32_t entries) {
    f.Num16(183, 2).Num16(305, count);
    for (uint32_t j = 0; j < entries; ++j) f.Str(6, "i" + std::to_string(j));
}

void Services(Frame& f, uint32_t count, uint32_t entries) {
    f.Num16(183, 3).Num16(310, count);
    for (uint32_t j = 0; j < entries; ++j) f.Num16(309, j);
}

struct Case {
    const char* what;
    uint32_t type;
    std::function<void(Frame&)> body;
    uint32_t status;
    uint32_t element;
    uint32_t occurrence;
};

TEST(HostileConfig, LyingCountsFailCleanly) {
    const Case cases[] = {
        {"agents: more records than the class has", 237,
         [](Frame& f) { f.U16(11); Agent(f, 1, 1, 0, 0); }, E_CTI_BAD_MESSAGE_FORMAT, kNumRecords, 0},
        {"agents: a skill count above its 100 slots", 237,
         [](Frame& f) { f.U16(2); Agent(f, 1, 1, 0, 0); Agent(f, 101, 2, 0, 0); },
         E_CTI_BAD_MESSAGE_FORMAT, kNumSkills, 1},
        {"agents: a domain count above its 40 slots", 237,
         [](Frame& f) { f.U16(1); Agent(f, 1, 1, 41, 1); }, E_CTI_BAD_MESSAGE_FORMAT, kNumMRDs, 0},
        // Each field of the eleventh record finds no slot; the last such failure stands.
        {"agents: an eleventh record", 237,
         [](Frame& f) { f.U16(10); for (int r = 0; r < 11; ++r) Agent(f, 0, 0, 0, 0); },
         E_CTI_INVALID_TAG_FOR_MSG_TYPE, kNumMRDs, 10},
        {"agents: more skill entries than all records hold", 237,
         [](Frame& f) {
             f.U16(10);
             for (int r = 0; r < 10; ++r) f.Num16(183, 1).Num16(191, 100);
             for (int j = 0; j < 1001; ++j) f.Num32(62, 1);
         },
         E_CTI_INVALID_TAG_FOR_MSG_TYPE, kFltSkillGroupNumber, 1000},
        {"terminals: an instrument count above its 10 slots", 276,
         [](Frame& f) { f.U16(1); Terminal(f, 11, 11); }, E_CTI_BAD_MESSAGE_FORMAT, kNumInstruments, 0},
        {"terminals: more records than the class has", 276,
         [](Frame& f) { f.U16(0xFFFF); Terminal(f, 1, 1); }, E_CTI_BAD_MESSAGE_FORMAT, kNumRecords, 0},
        {"services: a service count above its 32 slots", 282,
         [](Frame& f) { f.U16(1); Services(f, 33, 33); }, E_CTI_BAD_MESSAGE_FORMAT,
         kNumOfEnabledServices, 0},
    };
    for (const Case& c : cases) {
        Frame f(c.type, kVersion);
        c.body(f);
        auto msg = DecodeBytes(f.Done(), kVersion);
        ASSERT_NE(msg, nullptr) << c.what;
        EXPECT_EQ(msg->GetStatus(), c.status) << c.what;
        EXPECT_EQ(msg->GetFailingElement(), c.element) << c.what;
        EXPECT_EQ(msg->GetFailingOccurrence(), c.occurrence) << c.what;
        EXPECT_FALSE(msg->IsValid()) << c.what;
    }
}

// Counts that name entries which never came, and entries that no count names, are not refused:
// each record takes its counted entries in arrival order, 0 (or the empty text) where the
// entries ran out, and its slots beyond its count are cleared.
TEST(HostileConfig, CountsAndArrivedEntriesThatDisagreeAreAligned) {
    struct Slot {
        uint32_t element;
        uint32_t occurrence;
        bool present;
        uint32_t value;  // for AgentInstrument: the text "i<value>", or "" for 99
    };
    struct AlignCase {
        const char* what;
        uint32_t type;
        std::function<void(Frame&)> body;
        std::vector<Slot> slots;
    };
    const AlignCase cases[] = {
        {"services: two counted, one came", 282,
         [](Frame& f) { f.U16(1).Num16(183, 3).Num16(310, 2).Num16(309, 7); },
         {{kFltEnabledServices, 0, true, 7}, {kFltEnabledServices, 1, true, 0},
          {kFltEnabledServices, 2, false, 0}}},
        {"services: entries beyond the counts", 282,
         [](Frame& f) {
             f.U16(2).Num16(183, 3).Num16(310, 0).Num16(183, 3).Num16(310, 1);
             for (uint32_t j = 0; j < 4; ++j) f.Num16(309, 5 + j);
         },
         {{kFltEnabledServices, 0, false, 0}, {kFltEnabledServices, 3, false, 0},
          {kFltEnabledServices, 32, true, 5}, {kFltEnabledServices, 33, false, 0}}},
        {"services: counts beyond the entries", 282,
         [](Frame& f) { f.U16(1); Services(f, 32, 31); },
         {{kFltEnabledServices, 30, true, 30}, {kFltEnabledServices, 31, true, 0}}},
        {"terminals: instrument counts beyond the entries", 276,
         [](Frame& f) { f.U16(2); Terminal(f, 2, 2); Terminal(f, 5, 3); },
         {{kAgentInstrument, 1, true, 1}, {kAgentInstrument, 2, false, 0},
          {kAgentInstrument, 10, true, 0}, {kAgentInstrument, 12, true, 2},
          {kAgentInstrument, 13, true, 99}, {kAgentInstrument, 14, true, 99},
          {kAgentInstrument, 15, false, 0}}},
        {"agents: skill counts beyond the entries", 237,
         [](Frame& f) { f.U16(2); Agent(f, 3, 3, 0, 0); Agent(f, 4, 1, 0, 0); },
         {{kFltSkillGroupNumber, 2, true, 2}, {kFltSkillGroupNumber, 100, true, 0},
          {kFltSkillGroupNumber, 103, true, 0}, {kFltSkillGroupPriority, 100, true, 1},
          {kFltSkillGroupPriority, 101, true, 0}, {kFltSkillGroupNumber, 104, false, 0}}},
        {"agents: skill entries beyond the counts", 237,
         [](Frame& f) { f.U16(1); Agent(f, 1, 3, 0, 0); },
         {{kFltSkillGroupNumber, 0, true, 0}, {kFltSkillGroupNumber, 1, false, 0},
          {kFltSkillGroupNumber, 2, false, 0}}},
        {"agents: domain entries beyond the counts", 237,
         [](Frame& f) { f.U16(2); Agent(f, 1, 1, 1, 1); Agent(f, 1, 1, 0, 2); },
         {{kFltAgentMRDID, 0, true, 0}, {kFltAgentMRDID, 1, false, 0},
          {kFltAgentMRDID, 2, false, 0}, {kFltAgentMRDID, 40, false, 0}}},
        {"agents: entries of a record past NumRecords", 237,
         [](Frame& f) { f.U16(1); Agent(f, 2, 2, 0, 0); Agent(f, 2, 2, 0, 0); },
         {{kFltSkillGroupNumber, 1, true, 1}, {kFltSkillGroupNumber, 2, false, 0},
          {kFltSkillGroupNumber, 3, false, 0}}},
    };
    for (const AlignCase& c : cases) {
        Frame f(c.type, kVersion);
        c.body(f);
        auto msg = DecodeBytes(f.Done(), kVersion);
        ASSERT_NE(msg, nullptr) << c.what;
        EXPECT_EQ(msg->GetStatus(), 0u) << c.what << ": " << msg->GetFailingElement() << "["
                                        << msg->GetFailingOccurrence() << "]";
        EXPECT_TRUE(msg->IsValid()) << c.what;
        for (const Slot& s : c.slots) {
            const std::string where = std::string(c.what) + " at " + std::to_string(s.element) +
                                      "[" + std::to_string(s.occurrence) + "]";
            ASSERT_EQ(msg->Present(s.element, s.occurrence), s.present ? 1 : 0) << where;
            if (!s.present) continue;
            if (s.element == kAgentInstrument) {
                EXPECT_STREQ(msg->GetSTRING(s.element, s.occurrence),
                             s.value == 99 ? "" : ("i" + std::to_string(s.value)).c_str())
                    << where;
            } else if (s.element == kFltSkillGroupNumber || s.element == kFltAgentMRDID) {
                EXPECT_EQ(msg->GetINT(s.element, s.occurrence), static_cast<int32_t>(s.value)) << where;
            } else {
                EXPECT_EQ(msg->GetUSHORT(s.element, s.occurrence), s.value) << where;
            }
        }
    }
}

// Counts that agree with the entries, up to every slot of every record, pass: the bounds
// above cut nothing a sender may put in a frame.
TEST(HostileConfig, FullListsStillRealign) {
    Frame f(282, kVersion);
    f.U16(10);
    for (uint32_t r = 0; r < 10; ++r) {
        f.Num16(183, 3).Num16(310, 32);
        for (uint32_t j = 0; j < 32; ++j) f.Num16(309, 100 * r + j);
    }
    auto msg = DecodeBytes(f.Done(), kVersion);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetStatus(), 0u);
    EXPECT_EQ(msg->GetUSHORT(kFltEnabledServices, 9 * 32 + 31), 931u);

    Frame skills(237, kVersion);
    skills.U16(10);
    for (uint32_t r = 0; r < 10; ++r) {
        skills.Num16(183, 1).Num16(191, r == 9 ? 100 : 0);
    }
    for (uint32_t j = 0; j < 100; ++j) skills.Num32(62, j).Num16(64, 1);
    msg = DecodeBytes(skills.Done(), kVersion);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->GetStatus(), 0u);
    EXPECT_EQ(msg->GetINT(kFltSkillGroupNumber, 999), 99);
    EXPECT_EQ(msg->Present(kFltSkillGroupPriority, 0), 0);
}

}  // namespace

namespace {

// A list field that a sender leaves out (ServicePriority here) is carried into every record's
// slots the same way: each moved entry is copied and marked present, 0 when it never came,
// also where an entry already stands in its own slot (record 0), so both records re-encode
// alike.
TEST(HostileConfig, MissingListFieldIsMovedAlikeForEveryRecord) {
    Frame f(235, 10);
    f.U16(2);
    for (uint32_t r = 0; r < 2; ++r) {
        f.Num16(186, 2);  // NumServiceMembers, no ServicePriority at all
        for (uint32_t j = 0; j < 2; ++j) f.Num32(187, 10 * r + j);
    }
    auto msg = DecodeBytes(f.Done(), 10);
    ASSERT_NE(msg, nullptr);
    ASSERT_EQ(msg->GetStatus(), 0u);
    constexpr uint32_t kServicePriority = 605;
    for (uint32_t occ : {0u, 1u, 10u, 11u}) {
        EXPECT_EQ(msg->Present(kServicePriority, occ), msg->Present(kServicePriority, 10)) << occ;
    }
    EXPECT_EQ(msg->Present(kServicePriority, 0), 1);
    EXPECT_EQ(msg->Present(kServicePriority, 2), 0);
}

}  // namespace
