// The rules the catalogue's messages carry beyond their layout, seen through the codec: which
// fields a message cannot go without, which value ranges its fields keep, and which tags a
// received message has no room for.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "ctimsg/elementdict.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "platform/byteorder.h"
#include "tests/ctimsg/messages/catalog_samples.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::DecodeBytes;

constexpr uint32_t E_CTI_REQUIRED_DATA_MISSING = 6;
constexpr uint32_t E_CTI_INVALID_TAG_FOR_MSG_TYPE = 26;

uint32_t Id(const char* cls) {
    const elementdict::Row* row = elementdict::FindRowByClass(cls);
    EXPECT_NE(row, nullptr) << cls;
    return row != nullptr ? row->id : 0;
}

// A message of the class with every field filled for the version.
std::unique_ptr<BaseMSG> Filled(const char* className, uint32_t version) {
    const catalog::MessageRow* row = catalog::FindMessageRowByClass(className);
    EXPECT_NE(row, nullptr) << className;
    if (row == nullptr) return nullptr;
    std::unique_ptr<BaseMSG> msg(catalog::CreateMessage(row->type));
    catalogtest::Fill(*msg, version);
    EXPECT_EQ(msg->ValidateToSend(version), 0) << className << " v" << version;
    return msg;
}

TEST(CatalogRules, FieldsAMessageCannotGoWithout) {
    struct Case {
        const char* cls;
        uint32_t version;
        const char* field;
        bool required;
    };
    const Case cases[] = {
        {"CallDequeuedEventMSG", 5, "QueueDeviceID", true},
        {"CallQueuedEventMSG", 5, "QueueDeviceID", false},
        {"CallAttributeChangeEventMSG", 16, "ConnectionDeviceID", false},
        {"CallHeldEventMSG", 16, "ConnectionDeviceID", true},
        {"CallAgentGreetingEventMSG", 15, "GreetingType", true},
        {"MakeCallReqMSG", 14, "AgentInstrument", true},
        {"ConferenceCallReqMSG", 6, "ActiveConnDeviceID", true},
        {"ConferenceCallReqMSG", 6, "HeldConnDeviceID", false},
        {"EmergencyCallEventMSG", 9, "AgentExtension", true},
        {"EmergencyCallEventMSG", 9, "AgentID", true},
        {"EmergencyCallEventMSG", 9, "AgentInstrument", true},
        {"EmergencyCallReqMSG", 9, "AgentInstrument", false},
        {"AgentStateEventMSG", 15, "Direction", false},
        {"AgentStateEventMSG", 16, "Direction", true},
        {"QueryAgentStatisticsConfMSG", 9, "AgentExtension", true},
        {"QueryAgentStatisticsConfMSG", 10, "AgentID_Long", false},
        {"QueryAgentStatisticsReqMSG", 9, "AgentInstrument", false},
        // One counter left unset fails the whole confirmation, naming it.
        {"QueryAgentStatisticsConfMSG", 9, "EmergencyCallsSession", true},
        {"QueryAgentStatisticsConfMSG", 7, "AvailTimeToday", true},
        {"StartRecordingReqMSG", 10, "AgentInstrument", true},
        {"StartRecordingReqMSG", 10, "ConnectionDeviceID", true},
        {"StartRecordingReqMSG", 10, "AgentID_Long", false},
        {"NetworkRecordingTargetInfoEventMSG", 23, "ConnectionDeviceID", true},
        {"NetworkRecordingTargetInfoEventMSG", 23, "RecorderAddress", true},
        {"NetworkRecordingTargetInfoEventMSG", 23, "TerminalName", true},
        {"NetworkRecordingTargetInfoEventMSG", 23, "MediaForkingDeviceName", true},
        {"NetworkRecordingTargetInfoEventMSG", 23, "ProtocolReferenceGUID", true},
        {"NetworkRecordingTargetInfoEventMSG", 23, "MediaForkingClusterID", true},
        {"AgentLegacyPrecallEventMSG", 14, "RouteSelected", true},
        {"AgentLegacyPrecallEventMSG", 14, "RouterCallKeyDay", true},
        {"AgentLegacyPrecallEventMSG", 14, "RouterCallKeyCallID", true},
        {"TaskDataUpdateEventMSG", 9, "ScriptSelector", true},
        {"BeginTaskEventMSG", 9, "ScriptSelector", false},
        {"RouteRegisterEventMSG", 10, "DeviceID", true},
        {"RouteRegisterEventMSG", 10, "EnableFlag", false},
        {"RouteRequestEventMSG", 10, "Timeout", true},
        {"RouteSelectEventMSG", 14, "Timeout", false},
        {"TeamConfigEventMSG", 10, "TeamConfigKey", true},
        {"TeamConfigReqMSG", 10, "TeamConfigKey", false},
    };
    for (const Case& c : cases) {
        auto msg = Filled(c.cls, c.version);
        if (msg == nullptr) continue;
        msg->Remove(Id(c.field));
        const int rc = msg->ValidateToSend(c.version);
        if (c.required) {
            EXPECT_EQ(rc, static_cast<int>(E_CTI_REQUIRED_DATA_MISSING)) << c.cls << " without " << c.field;
            EXPECT_EQ(msg->GetFailingElement(), Id(c.field)) << c.cls;
        } else {
            EXPECT_EQ(rc, 0) << c.cls << " without " << c.field << ": "
                             << ElementName(msg->GetFailingElement());
        }
    }
    // Every one of the eleven application path fields is required.
    const char* pathFields[] = {"ApplicationPathID", "ApplicationText1", "ApplicationText2",
                                "ApplicationText3", "ApplicationText4", "ApplicationText5",
                                "ApplicationText6", "ApplicationText7", "ApplicationText8",
                                "ApplicationText9", "ApplicationText10"};
    for (const char* field : pathFields) {
        auto msg = Filled("SetAppPathDataIndMSG", 14);
        ASSERT_NE(msg, nullptr);
        BaseElement* e = msg->FindElement(Id(field), 0, false);
        ASSERT_NE(e, nullptr) << field;
        ASSERT_TRUE(e->IsFloating() && e->IsRequired()) << field;
    }
}

TEST(CatalogRules, RecordingValueRanges) {
    // The highest value each field keeps, and the failure one more gives.
    struct Case {
        const char* cls;
        const char* field;
        uint32_t lowest;
        uint32_t highest;
        int code;
    };
    const Case cases[] = {
        {"StartNetworkRecordingReqMSG", "PlayToneDirection", 0, 3, 101},
        {"StartNetworkRecordingReqMSG", "InvocationType", 1, 2, 102},
        {"NetworkRecordingTargetInfoEventMSG", "MediaForkingDeviceType", 0, 2, 103},
        {"NetworkRecordingTargetInfoEventMSG", "RecorderType", 0, 2, 104},
        {"NetworkRecordingTargetInfoEventMSG", "RecorderStatus", 0, 2, 105},
        {"NetworkRecordingTargetInfoEventMSG", "RecordingType", 0, 4, 106},
    };
    for (const Case& c : cases) {
        auto msg = Filled(c.cls, 24);
        ASSERT_NE(msg, nullptr);
        for (uint32_t value : {c.lowest, c.highest}) {
            msg->SetUSHORT(Id(c.field), static_cast<uint16_t>(value));
            EXPECT_EQ(msg->ValidateToSend(24), 0) << c.field << " " << value;
        }
        msg->SetUSHORT(Id(c.field), static_cast<uint16_t>(c.highest + 1));
        EXPECT_EQ(msg->ValidateToSend(24), c.code) << c.field;
        EXPECT_EQ(msg->GetFailingElement(), Id(c.field));
        if (c.lowest > 0) {
            msg->SetUSHORT(Id(c.field), static_cast<uint16_t>(c.lowest - 1));
            EXPECT_EQ(msg->ValidateToSend(24), c.code) << c.field;
        }
    }
    // PlayToneDirection belongs to the start request only.
    auto stop = Filled("StopNetworkRecordingReqMSG", 24);
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(stop->FindElement(Id("PlayToneDirection"), 0, false), nullptr);
}

// A frame of the filled class with one more floating field at its end.
msgtest::Bytes WithExtraField(const char* className, uint32_t version, uint32_t tag,
                              const std::vector<uint8_t>& value) {
    auto msg = Filled(className, version);
    if (msg == nullptr) return {};
    msgtest::Bytes frame = msgtest::EncodeBytes(*msg, version);
    if (version >= 20) {
        uint8_t header[4];
        plat::StoreBE16(header, static_cast<uint16_t>(tag));
        plat::StoreBE16(header + 2, static_cast<uint16_t>(value.size()));
        frame.insert(frame.end(), header, header + 4);
    } else {
        frame.insert(frame.end(), {static_cast<uint8_t>(tag), static_cast<uint8_t>(value.size())});
    }
    frame.insert(frame.end(), value.begin(), value.end());
    plat::StoreBE32(frame.data(), static_cast<uint32_t>(frame.size() - 8));
    return frame;
}

// A received message has a fixed number of entries for each repeated field; one more finds
// no entry, and so does a tag the message does not carry at all. The rest still decodes.
TEST(CatalogRules, TagsWithoutRoomAreRefused) {
    struct Case {
        const char* cls;
        uint32_t version;
        const char* element;  // the field sent once more, under its own tag
        std::vector<uint8_t> value;
        uint32_t occurrence;
    };
    const Case cases[] = {
        {"AgentTasksEventMSG", 23, "FltTaskID", std::vector<uint8_t>(12, 1), 256},
        {"AgentTasksRespMSG", 20, "FltTaskID", std::vector<uint8_t>(12, 1), 256},
        {"QueryDeviceInfoConfMSG", 6, "FltLineHandle", {0, 1}, 10},
        {"SnapshotDeviceConfMSG", 13, "CallConnectionCallID", {0, 0, 0, 1}, 16},
        {"SnapshotCallConfMSG", 14, "CallConnectionCallID", {0, 0, 0, 1}, 16},
        {"CallTransferredEventMSG", 10, "ConnectedPartyCallID", {0, 0, 0, 1}, 16},
        {"ConfigDeviceEventMSG", 10, "RecordType", {0, 2}, 10},
        {"ConfigSkillGroupEventMSG", 24, "RecordType", {0, 2}, 10},
        {"AgentTeamConfigEventMSG", 10, "AtcAgentID", {'a', 0}, 64},
        {"ListAgentTeamConfMSG", 10, "ListTeamID", {0, 0, 0, 1}, 64},
        {"DesktopConnectedIndMSG", 24, "FltAgentMRDID", {0, 0, 0, 1}, 40},
        {"SetDeviceAttributesReqMSG", 11, "WEXACILClientID", {'c', 0}, 0},
    };
    for (const Case& c : cases) {
        const uint32_t tag = elementdict::FindRowByClass(c.element)->tag;
        auto msg = DecodeBytes(WithExtraField(c.cls, c.version, tag, c.value), c.version);
        ASSERT_NE(msg, nullptr) << c.cls;
        EXPECT_EQ(msg->GetStatus(), E_CTI_INVALID_TAG_FOR_MSG_TYPE) << c.cls;
        EXPECT_EQ(msg->GetFailingElement(), Id(c.element)) << c.cls;
        EXPECT_EQ(msg->GetFailingOccurrence(), c.occurrence) << c.cls;
    }
}

}  // namespace

namespace {

// Which validation slot runs a class's own rule: each case breaks the rule in a message that
// is otherwise valid, and gives the answer of Validate, ValidateReceived and ValidateToSend.
TEST(CatalogRules, EachRuleRunsInItsSlots) {
    constexpr uint32_t kVersionNumber = 2, kServiceMask = 5, kNumNamedVariables = 163;
    struct Case {
        const char* cls;
        uint32_t version;
        std::function<void(BaseMSG&)> breakRule;
        int validate, received, toSend;
        uint32_t element;
    };
    auto countOneMore = [](BaseMSG& m) {
        m.SetUSHORT(kNumNamedVariables, static_cast<uint16_t>(m.GetUSHORT(kNumNamedVariables) + 1));
    };
    std::vector<Case> cases = {
        // The termination fields are required fields as well, so every slot misses them.
        {"CallTerminationEventMSG", 13,
         [](BaseMSG& m) { m.Remove(Id("TimeZone")); }, 6, 6, 6, Id("TimeZone")},
        {"QueryAgentStateReqMSG", 10,
         [](BaseMSG& m) {
             m.Remove(Id("AgentInstrument"));
             m.Remove(Id("AgentExtension"));
             m.Remove(Id("AgentID"));
         },
         6, 6, 6, Id("AgentInstrument")},
        {"OpenReqMSG", 24,
         [](BaseMSG& m) {
             m.SetUINT(kVersionNumber, 9);
             m.SetUINT(kServiceMask, 0x00010000);
         },
         19, 19, 19, kServiceMask},
        {"MonitorStartReqMSG", 24,
         [](BaseMSG& m) { m.SetUSHORT(Id("MonitoredDeviceType"), 0); }, 54, 54, 54,
         Id("ConnectionDeviceIDType")},
        // A class that carries the counts without the rule.
        {"CallDeliveredEventMSG", 24, countOneMore, 0, 0, 0, 0},
        {"TaskInitReqMSG", 24, countOneMore, 0, 0, 0, 0},
    };
    for (const catalog::ClassInfo* info : catalog::AllClasses()) {
        if (info->check == catalog::Check::EccCount) {
            cases.push_back({info->className, 6, countOneMore, 77, 77, 77, kNumNamedVariables});
            cases.push_back({info->className, 24, countOneMore, 77, 77, 77, kNumNamedVariables});
        }
    }
    EXPECT_EQ(cases.size(), 6u + 2 * 12);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cls) + " v" + std::to_string(c.version));
        auto msg = Filled(c.cls, c.version);
        ASSERT_NE(msg, nullptr);
        c.breakRule(*msg);
        const int got[3] = {msg->Validate(c.version), msg->ValidateReceived(c.version),
                            msg->ValidateToSend(c.version)};
        const int want[3] = {c.validate, c.received, c.toSend};
        for (int slot = 0; slot < 3; ++slot) {
            EXPECT_EQ(got[slot], want[slot]) << "slot " << slot + 3;
        }
        // The last run (ValidateToSend) names the field and sets the valid flag.
        EXPECT_EQ(msg->IsValid() != 0, c.toSend == 0);
        if (c.toSend != 0) {
            EXPECT_EQ(msg->GetFailingElement(), c.element);
        }
    }
}

}  // namespace

namespace {

// TeamConfigKey is the one optional fixed field: a TEAM_CONFIG_REQ without it validates and
// encodes without its 8 bytes, but the decoder reads every fixed field of the class, so a
// frame that ends where the key would start fails with status 2 naming the key.
TEST(CatalogRules, TeamConfigRequestWithoutItsKeyFailsToDecode) {
    constexpr uint32_t kTeamConfigKey = 416;
    auto msg = Filled("TeamConfigReqMSG", 10);
    ASSERT_NE(msg, nullptr);
    msg->Remove(kTeamConfigKey);
    ASSERT_EQ(msg->ValidateToSend(10), 0);
    const msgtest::Bytes frame = msgtest::EncodeBytes(*msg, 10);
    ASSERT_EQ(frame.size(), 8u + 4u + 2u);  // InvokeID and TeamConfigParam only
    auto got = DecodeBytes(frame, 10);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->GetStatus(), 2u);
    EXPECT_EQ(got->GetFailingElement(), kTeamConfigKey);
}

}  // namespace
