// Every catalogue class at every protocol version from its minimum to 24, each field filled
// with a valid sample: encode, decode and encode again give the same bytes, and the decoded
// message traces exactly as the one that was sent. With PARLO_WRITE_CATALOG_SEEDS set to a
// directory, one frame of each class is also written there as a decode fuzz seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "tests/ctimsg/messages/catalog_samples.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::Bytes;
using msgtest::DecodeBytes;
using msgtest::EncodeBytes;

constexpr uint32_t kNewest = 24;
constexpr uint32_t kCallMannerType = 66;
constexpr uint32_t kPauseDuration = 82;
constexpr uint32_t kClientID = 632;  // WEXACILClientID
constexpr uint32_t kCallControlTable = 512;

std::string TraceOf(BaseMSG& msg, uint32_t version) {
    std::string text;
    msg.Trace(text, version);
    return text;
}

std::unique_ptr<BaseMSG> Make(const catalog::ClassInfo& info) {
    return std::unique_ptr<BaseMSG>(
        catalog::CreateMessage(info.type, info.layout == catalog::Layout::Older));
}

// A filled message of the class that validates for sending, and its frame, which must fit
// the version's limit; an empty frame when that cannot be had.
Bytes Build(const catalog::ClassInfo& info, uint32_t version, std::unique_ptr<BaseMSG>& msg) {
    msg = Make(info);
    catalogtest::FillResult filled = catalogtest::Fill(*msg, version);
    EXPECT_TRUE(filled.unknown.empty()) << info.className << " has a field of unknown kind "
                                        << filled.unknown.front();
    // CallControlTable exists from version 5, but tag 84 is above version 5's highest
    // tag (81): a version 5 client cannot send it. No other field is in that state.
    for (uint32_t id : filled.beyondTagLimit) {
        EXPECT_TRUE(id == kCallControlTable && version == 5)
            << info.className << " v" << version << ": " << ElementName(id);
    }
    int rc = msg->ValidateToSend(version);
    EXPECT_EQ(rc, 0) << info.className << " v" << version << " fails on "
                     << ElementName(msg->GetFailingElement()) << "["
                     << msg->GetFailingOccurrence() << "]";
    if (rc != 0) return {};
    Bytes frame = EncodeBytes(*msg, version);
    EXPECT_FALSE(frame.empty()) << info.className << " v" << version << " does not encode";
    EXPECT_LE(frame.size(), GetVersionLimits(version).maxFrameBytes)
        << info.className << " v" << version << " does not fit the version's frame";
    return frame;
}

// The fuzz target's first byte picks the version: 2, 9, 19 or 24 for 0 to 3.
void WriteSeed(const char* dir, const catalog::ClassInfo& info, uint32_t version, const Bytes& frame) {
    std::filesystem::create_directories(dir);
    std::string name = std::string(info.className) + "_v" + std::to_string(version);
    std::ofstream out(std::filesystem::path(dir) / name, std::ios::binary);
    const char pick = version == 24 ? 3 : version == 19 ? 2 : version == 9 ? 1 : 0;
    out.write(&pick, 1);
    out.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
}

// Versions where a class cannot make the trip, as the protocol has it: REGISTER_VARIABLES_CONF
// is a version 2 class but type 111 is above the highest type of versions 2, 3 and 5 (version 4
// has the newest limits); the older
// DTMF layout is told apart by its tag byte two places back, which from version 20 (2-byte
// tags) is the tag's high byte, so from there the frame reads as the current layout.
bool OutOfReach(const catalog::ClassInfo& info, uint32_t version) {
    if (info.type > GetVersionLimits(version).maxMsgType) return true;
    return info.layout == catalog::Layout::Older && version >= 20;
}

TEST(RoundTrip, EveryClassAtEveryVersion) {
    const char* seeds = std::getenv("PARLO_WRITE_CATALOG_SEEDS");
    int trips = 0;
    std::vector<std::string> outOfReach;
    for (const catalog::ClassInfo* info : catalog::AllClasses()) {
        const bool older = info->layout == catalog::Layout::Older;
        for (uint32_t v = info->version; v <= kNewest; ++v) {
            SCOPED_TRACE(std::string(info->className) + " v" + std::to_string(v));
            std::unique_ptr<BaseMSG> sent;
            Bytes frame = Build(*info, v, sent);
            if (frame.empty()) continue;
            // One seed per class: version 24, or 19 for the older DTMF layout, which is only
            // told apart below version 20.
            if (seeds != nullptr && v == (older ? 19u : kNewest)) WriteSeed(seeds, *info, v, frame);
            if (OutOfReach(*info, v)) {
                outOfReach.push_back(std::string(info->className) + " v" + std::to_string(v));
                continue;
            }

            auto got = DecodeBytes(frame, v);
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(got->GetStatus(), 0u) << ElementName(got->GetFailingElement()) << "["
                                            << got->GetFailingOccurrence() << "]";
            EXPECT_TRUE(got->IsValid());
            EXPECT_EQ(got->GetMsgType(), info->type);
            if (older) {
                // The older layout arrives as the current class: compare it with a current
                // message of the same values, the 2-byte field carried into PauseDuration.
                EXPECT_NE(dynamic_cast<SendDTMFSignalReqMSG*>(got.get()), nullptr);
                SendDTMFSignalReqMSG current;
                catalogtest::Fill(current, v);
                current.SetUINT(kPauseDuration, sent->GetUSHORT(kCallMannerType));
                current.Remove(kClientID);
                ASSERT_EQ(current.ValidateToSend(v), 0);
                EXPECT_EQ(EncodeBytes(*got, v), EncodeBytes(current, v));
                EXPECT_EQ(TraceOf(*got, v), TraceOf(current, v));
            } else {
                const BaseMSG& gotRef = *got;
                const BaseMSG& sentRef = *sent;
                EXPECT_EQ(typeid(gotRef), typeid(sentRef));
                EXPECT_EQ(EncodeBytes(*got, v), frame);
                EXPECT_EQ(TraceOf(*got, v), TraceOf(*sent, v));
            }
            ++trips;
        }
    }
    // 255 classes over their version ranges: every one of them made the trip, but for the
    // versions the protocol puts out of reach.
    int expected = 0;
    for (const catalog::ClassInfo* info : catalog::AllClasses()) {
        expected += static_cast<int>(kNewest - info->version + 1);
    }
    EXPECT_EQ(trips + static_cast<int>(outOfReach.size()), expected);
    const std::vector<std::string> known = {
        "SendDTMFSignalReqMSG_46 v20", "SendDTMFSignalReqMSG_46 v21",
        "SendDTMFSignalReqMSG_46 v22", "SendDTMFSignalReqMSG_46 v23",
        "SendDTMFSignalReqMSG_46 v24", "RegisterVariablesConfMSG v2",
        "RegisterVariablesConfMSG v3", "RegisterVariablesConfMSG v5"};
    EXPECT_EQ(outOfReach, known);
}

}  // namespace

namespace {

constexpr uint32_t kREMaskArray = 649;
constexpr uint32_t kREMaskInstrument = 650;
constexpr uint32_t kREMaskExtension = 651;
constexpr uint32_t E_CTI_REQUIRED_DATA_MISSING = 6;
constexpr uint32_t E_CTI_INVALID_TAG_FOR_MSG_TYPE = 26;

REMaskArray* Masks(BaseMSG& msg) {
    return dynamic_cast<REMaskArray*>(msg.FindElement(kREMaskArray, 0, false));
}

// A filled CALL_DELIVERED_EVENT whose request-enablement masks hold `entries` entries, each
// with all six members, as the server builds them.
std::unique_ptr<BaseMSG> CallWithMasks(uint32_t version, int entries) {
    auto msg = std::make_unique<CallDeliveredEventMSG>(false, false);
    catalogtest::Fill(*msg, version);
    REMaskArray* masks = Masks(*msg);
    for (int i = 0; i < MAX_REMASK_NUM_MASKS; ++i) {
        for (BaseElement* e = masks->Entry(i).First();; e = e->GetNext()) {
            e->Clear();
            if (e == masks->Entry(i).Last()) break;
        }
    }
    masks->Set(0);
    for (int k = 0; k < entries; ++k) {
        REMaskEntry* entry = masks->AddREMask();
        entry->Set("SEP" + std::to_string(k), std::to_string(1000 + k), 900u + static_cast<uint32_t>(k));
        entry->m_FunctionFlags.SetBits8(static_cast<uint8_t>(1 + k));
        entry->m_CallMask.SetBits32(0x00010003u << k);
        entry->m_AgentMask.SetBits8(static_cast<uint8_t>(k));
    }
    return msg;
}

// The server sends several mask entries (a call with connections at two agent devices); its
// own decoder reads entry n from the n-th occurrence of each member's tag.
TEST(RoundTrip, REMaskEntriesAtVersions16And24) {
    for (uint32_t v : {16u, 24u}) {
        for (int entries : {0, 1, 2, 10}) {
            SCOPED_TRACE("v" + std::to_string(v) + ", " + std::to_string(entries) + " entries");
            auto sent = CallWithMasks(v, entries);
            ASSERT_EQ(sent->ValidateToSend(v), 0) << ElementName(sent->GetFailingElement());
            const Bytes frame = EncodeBytes(*sent, v);
            ASSERT_FALSE(frame.empty());
            auto got = DecodeBytes(frame, v);
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(got->GetStatus(), 0u) << ElementName(got->GetFailingElement()) << "["
                                            << got->GetFailingOccurrence() << "]";
            EXPECT_EQ(EncodeBytes(*got, v), frame);
            EXPECT_EQ(TraceOf(*got, v), TraceOf(*sent, v));
            // Field access by id still reaches the first entry's members.
            if (entries > 0) {
                EXPECT_STREQ(got->GetSTRING(kREMaskInstrument), "SEP0");
            }
        }
    }
}

// Past the ten entries a member field finds no entry; an entry that misses a member shifts
// the later ones, and validation refuses the entry left without it.
TEST(Decode, REMaskEntriesThatDoNotFit) {
    constexpr uint32_t v = 24;
    auto ten = CallWithMasks(v, 10);
    ASSERT_EQ(ten->ValidateToSend(v), 0);
    const Bytes full = EncodeBytes(*ten, v);
    msgtest::Frame eleventh(9, v);
    eleventh.Raw(Bytes(full.begin() + 8, full.end())).Str(237, "SEP10");
    auto got = DecodeBytes(eleventh.Done(), v);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->GetStatus(), E_CTI_INVALID_TAG_FOR_MSG_TYPE);
    EXPECT_EQ(got->GetFailingElement(), kREMaskInstrument);
    EXPECT_EQ(got->GetFailingOccurrence(), 10u);

    // A frame of two entries whose first lacks its extension (tag 238, "1000").
    auto two = CallWithMasks(v, 2);
    ASSERT_EQ(two->ValidateToSend(v), 0);
    Bytes body = EncodeBytes(*two, v);
    const Bytes extension = {0, 238, 0, 5, '1', '0', '0', '0', 0};
    auto at = std::search(body.begin(), body.end(), extension.begin(), extension.end());
    ASSERT_NE(at, body.end());
    body.erase(at, at + static_cast<std::ptrdiff_t>(extension.size()));
    msgtest::Frame shifted(9, v);
    shifted.Raw(Bytes(body.begin() + 8, body.end()));
    got = DecodeBytes(shifted.Done(), v);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->GetStatus(), E_CTI_REQUIRED_DATA_MISSING);
    EXPECT_EQ(got->GetFailingElement(), kREMaskExtension);
    EXPECT_EQ(got->GetFailingOccurrence(), 1u);
}

}  // namespace

