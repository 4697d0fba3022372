// The size estimate of the two agent configuration events: it counts present fields only, is
// never below what the encoder writes, and never above the estimate over every member, far
// below it for a message of few records.
// Ten full agent records do not fit the largest frame, which is why a builder must page these
// records by this estimate and not by the record count alone.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>

#include "ctimsg/messages/messages.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::EncodeBytes;

constexpr uint32_t kNumRecords = 379;

// Fills a random number of records with random fields, texts of random length and list
// counts that agree with their entries.
void RandomFill(CatalogMSG& msg, uint32_t version, std::mt19937& rng, uint32_t records) {
    std::map<uint32_t, uint32_t> slotsOf, countOf;
    for (const catalog::RecordList& list : msg.RecordLists()) {
        for (uint32_t id : list.memberIds) slotsOf[id] = list.slots;
        countOf[list.countElementId] = list.slots;
    }
    std::map<uint32_t, uint32_t> used;  // (count id, record) packed as id * 16 + record
    for (BaseElement* e = msg.GetFirstElement(); e != nullptr; e = e->GetNext()) {
        const uint32_t id = e->GetElementID();
        const uint32_t occ = e->GetOccurrence();
        if (id == kNumRecords) {
            dynamic_cast<NumberElement<uint16_t, 2>*>(e)->Set(static_cast<uint16_t>(records));
            continue;
        }
        if (auto it = countOf.find(id); it != countOf.end()) {
            if (occ >= records || e->GetFromVersion() > version) continue;
            uint32_t n = std::uniform_int_distribution<uint32_t>(0, it->second)(rng);
            dynamic_cast<NumberElement<uint16_t, 2>*>(e)->Set(static_cast<uint16_t>(n));
            used[id * 16 + occ] = n;
            continue;
        }
        uint32_t record = occ;
        if (auto it = slotsOf.find(id); it != slotsOf.end()) {
            record = occ / it->second;
            // The list's count stands before its entries in the chain.
            bool inUse = false;
            for (const catalog::RecordList& list : msg.RecordLists()) {
                for (uint32_t member : list.memberIds) {
                    if (member == id) inUse = occ % list.slots < used[list.countElementId * 16 + record];
                }
            }
            if (!inUse) continue;
        } else if (record >= records || std::uniform_int_distribution<int>(0, 9)(rng) < 3) {
            continue;
        }
        if (auto* text = dynamic_cast<STRINGElement*>(e)) {
            uint32_t n = std::uniform_int_distribution<uint32_t>(0, e->GetMaxBytes() - 1)(rng);
            text->Set(std::string(n, static_cast<char>('0' + n % 10)));  // digits pass every text rule
        } else if (auto* u32 = dynamic_cast<NumberElement<uint32_t, 4>*>(e)) {
            u32->Set(rng());
        } else if (auto* i32 = dynamic_cast<NumberElement<int32_t, 4>*>(e)) {
            i32->Set(static_cast<int32_t>(rng()));
        } else if (auto* u16 = dynamic_cast<NumberElement<uint16_t, 2>*>(e)) {
            u16->Set(static_cast<uint16_t>(rng()));
            if (u16->Validate(version) != 0) u16->Set(1);  // inside the field's own rule
        }
    }
}

TEST(ConfigSize, PresentFieldsEstimateCoversTheFrame) {
    std::mt19937 rng(20240611);
    const struct {
        uint32_t type;
        uint32_t version;
    } cases[] = {{237, 10}, {237, 19}, {237, 20}, {237, 24}, {282, 24}};
    for (const auto& c : cases) {
        for (int round = 0; round < 40; ++round) {
            std::unique_ptr<BaseMSG> base(catalog::CreateMessage(c.type));
            auto& msg = static_cast<CatalogMSG&>(*base);
            const uint32_t records = std::uniform_int_distribution<uint32_t>(0, 10)(rng);
            RandomFill(msg, c.version, rng, records);
            const int estimate = msg.MaxEncodedSize(c.version);
            const int everyMember = msg.BaseMSG::MaxEncodedSize(c.version);
            ASSERT_EQ(msg.ValidateToSend(c.version), 0) << msg.GetFailingElement();
            // EncodeBytes sizes its buffer by the estimate: a short estimate fails the encode.
            msgtest::Bytes frame = EncodeBytes(msg, c.version);
            ASSERT_FALSE(frame.empty()) << c.type << " v" << c.version << " round " << round;
            EXPECT_GE(estimate, static_cast<int>(frame.size()) - 8);
            EXPECT_LE(estimate, everyMember);
            // A message of few records is sized by what it holds, not by its class.
            if (records <= 2) {
                EXPECT_LT(estimate * 4, everyMember) << c.type << " v" << c.version;
            }
        }
    }
}

TEST(ConfigSize, TenFullAgentRecordsExceedTheLargestFrame) {
    for (uint32_t version : {10u, 24u}) {
        ConfigAgentEventMSG agents;
        for (BaseElement* e = agents.GetFirstElement(); e != nullptr; e = e->GetNext()) {
            if (auto* text = dynamic_cast<STRINGElement*>(e)) {
                text->Set(std::string(e->GetMaxBytes() - 1, 'x'));
            } else if (auto* u32 = dynamic_cast<NumberElement<uint32_t, 4>*>(e)) {
                u32->Set(1);
            } else if (auto* i32 = dynamic_cast<NumberElement<int32_t, 4>*>(e)) {
                i32->Set(1);
            } else if (auto* u16 = dynamic_cast<NumberElement<uint16_t, 2>*>(e)) {
                u16->Set(1);
            }
        }
        agents.SetUSHORT(kNumRecords, 10);
        const uint32_t limit = GetVersionLimits(version).maxFrameBytes - 8;
        EXPECT_GT(static_cast<uint32_t>(agents.MaxEncodedSize(version)), limit) << version;
    }
}

}  // namespace
