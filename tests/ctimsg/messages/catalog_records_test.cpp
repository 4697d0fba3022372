// Flat configuration records on the wire, the layouts that several messages share, and the
// trace of a task event built with the call variables switched off.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/elementdict.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "tests/ctimsg/messages/catalog_samples.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::Bytes;
using msgtest::DecodeBytes;
using msgtest::EncodeBytes;
using msgtest::Frame;

constexpr uint32_t kNumRecords = 379;
constexpr uint32_t kRecordType = 600, kRecordTypeTag = 183;
constexpr uint32_t kPeripheralNumber = 601, kPeripheralNumberTag = 184;
constexpr uint32_t kDescription = 554, kDescriptionTag = 134;

// A record message sends record 0's present fields, then record 1's, and so on, after
// NumRecords; fields a version lacks are left out of every record.
TEST(FlatRecords, RecordsGoOneAfterAnother) {
    ConfigDeviceEventMSG msg;
    msg.SetUSHORT(kNumRecords, 3);
    for (uint32_t r = 0; r < 3; ++r) {
        msg.SetUSHORT(kRecordType, static_cast<uint16_t>(r + 1), r);
        msg.SetUINT(kPeripheralNumber, 100 + r, r);
        msg.SetSTRING(kDescription, "d" + std::to_string(r), r);
        msg.SetUINT(623, 7, r);  // FltPeripheralID, from version 11
    }
    ASSERT_EQ(msg.ValidateToSend(10), 0);
    Frame expected(238, 10);
    expected.U16(3);
    for (uint32_t r = 0; r < 3; ++r) {
        expected.Num16(kRecordTypeTag, r + 1)
            .Num32(kPeripheralNumberTag, 100 + r)
            .Str(kDescriptionTag, "d" + std::to_string(r));
    }
    EXPECT_EQ(EncodeBytes(msg, 10), expected.Done());

    auto got = DecodeBytes(expected.Done(), 10);
    ASSERT_NE(got, nullptr);
    ASSERT_EQ(got->GetStatus(), 0u);
    EXPECT_EQ(got->GetUSHORT(kNumRecords), 3u);
    for (uint32_t r = 0; r < 3; ++r) {
        EXPECT_EQ(got->GetUSHORT(kRecordType, r), r + 1);
        EXPECT_EQ(got->GetUINT(kPeripheralNumber, r), 100 + r);
        EXPECT_EQ(std::string(got->GetSTRING(kDescription, r)), "d" + std::to_string(r));
    }
    EXPECT_FALSE(got->Present(kRecordType, 3));
}

// Flat records are not realigned: each repeated tag takes its field's next free occurrence,
// so a record without Description moves every later Description one record up. The server
// only sends these messages, and senders set the same fields in every record.
TEST(FlatRecords, ReceivedFieldsFillTheNextFreeOccurrence) {
    Frame f(238, 10);
    f.U16(3);
    f.Num16(kRecordTypeTag, 1).Str(kDescriptionTag, "d0");
    f.Num16(kRecordTypeTag, 2);
    f.Num16(kRecordTypeTag, 3).Str(kDescriptionTag, "d2");
    auto got = DecodeBytes(f.Done(), 10);
    ASSERT_NE(got, nullptr);
    ASSERT_EQ(got->GetStatus(), 0u);
    EXPECT_EQ(got->GetUSHORT(kRecordType, 2), 3u);
    EXPECT_STREQ(got->GetSTRING(kDescription, 0), "d0");
    EXPECT_STREQ(got->GetSTRING(kDescription, 1), "d2");
    EXPECT_FALSE(got->Present(kDescription, 2));
}

std::vector<std::string> ChainNames(const char* className) {
    std::vector<std::string> names;
    const catalog::MessageRow* row = catalog::FindMessageRowByClass(className);
    EXPECT_NE(row, nullptr) << className;
    if (row == nullptr) return names;
    std::unique_ptr<BaseMSG> msg(catalog::CreateMessage(row->type));
    for (BaseElement* e = msg->GetFirstElement(); e != nullptr; e = e->GetNext()) {
        const char* cls = elementdict::FindRow(e->GetElementID())->className;
        names.push_back(cls != nullptr ? cls : "");
    }
    return names;
}

std::vector<std::string> Prefix(const std::vector<std::string>& names, size_t n) {
    return {names.begin(), names.begin() + static_cast<std::ptrdiff_t>(std::min(n, names.size()))};
}

std::vector<std::string> From(const std::vector<std::string>& names, const std::string& first) {
    auto at = std::find(names.begin(), names.end(), first);
    return {at, names.end()};
}

TEST(SharedLayouts, MessagesThatShareTheirFields) {
    using V = std::vector<std::string>;
    // The key and begin events carry the same seven 8-byte keys in one order.
    auto keys = [](const V& names) {
        V out;
        for (const std::string& n : names) {
            if (n.size() > 9 && n.compare(n.size() - 9, 9, "ConfigKey") == 0) out.push_back(n);
        }
        return out;
    };
    const V configKeys = keys(ChainNames("ConfigKeyEventMSG"));
    EXPECT_EQ(configKeys.size(), 7u);
    EXPECT_EQ(configKeys, keys(ChainNames("ConfigBeginEventMSG")));
    for (const std::string& k : configKeys) {
        EXPECT_EQ(elementdict::FindRowByClass(k.c_str())->bytes, 8) << k;
    }

    // The task snapshot: the same fields from TaskID on; the answer opens with InvokeID,
    // MRDID, ZURAgentID and ARMStatus, the stream event with MRDID and ZURAgentID only.
    const V resp = ChainNames("SnapshotTaskRespMSG");
    const V event = ChainNames("SnapshotTaskEventMSG");
    EXPECT_EQ(From(resp, "TaskID"), From(event, "TaskID"));
    EXPECT_EQ(Prefix(resp, 5), (V{"InvokeID", "MRDID", "ZURAgentID", "ARMStatus", "TaskID"}));
    EXPECT_EQ(Prefix(event, 3), (V{"MRDID", "ZURAgentID", "TaskID"}));

    // Task events 191 to 200 open alike.
    for (uint32_t type = 191; type <= 200; ++type) {
        const catalog::MessageRow* row = catalog::FindMessageRow(static_cast<int>(type));
        ASSERT_NE(row, nullptr) << type;
        EXPECT_EQ(Prefix(ChainNames(row->className), 4),
                  (V{"MonitorID", "CTIPeripheralID", "PeripheralType", "MRDID"}))
            << row->className;
    }

    // The network recording events share their first fields.
    for (const char* cls : {"NetworkRecordingStartedEventMSG", "NetworkRecordingEndedEventMSG",
                            "NetworkRecordingFailedEventMSG", "NetworkRecordingTargetInfoEventMSG"}) {
        const V names = ChainNames(cls);
        EXPECT_EQ(Prefix(names, 5), (V{"MonitorID", "CTIPeripheralID", "ConnectionCallID",
                                       "ConnectionDeviceIDType", "RecordingDeviceType"}))
            << cls;
        EXPECT_NE(std::find(names.begin(), names.end(), "ConnectionDeviceID"), names.end()) << cls;
        EXPECT_NE(std::find(names.begin(), names.end(), "RecordingDeviceID"), names.end()) << cls;
    }
}

// A task event built with the call variables' trace switch off shows none of them, and every
// other field it holds.
TEST(CatalogTrace, CallVariablesOffLeavesEveryOtherField) {
    BaseElement::EnableCallVariableTrace();
    BaseElement::EnableECCTrace();
    for (bool cvTraced : {false, true}) {
        BeginTaskEventMSG msg(true, cvTraced);
        catalogtest::Fill(msg, 24);
        for (uint32_t k = 0; k < 10; ++k) {
            msg.SetSTRING(443 + k, "callvar-" + std::to_string(k));  // CallVariable1..10
        }
        ASSERT_EQ(msg.ValidateToSend(24), 0);
        std::string text;
        msg.Trace(text, 24);
        for (BaseElement* e = msg.GetFirstElement(); e != nullptr; e = e->GetNext()) {
            const elementdict::Row* row = elementdict::FindRow(e->GetElementID());
            ASSERT_NE(row, nullptr);
            const std::string cls = row->className != nullptr ? row->className : "";
            if (cls.rfind("CallVariable", 0) == 0) {
                const std::string value = "callvar-" + std::to_string(e->GetElementID() - 443);
                EXPECT_EQ(text.find(value) != std::string::npos, cvTraced) << cls << "\n" << text;
            } else if (cls != "ExpandedCallContxt") {
                EXPECT_NE(text.find(row->traceName), std::string::npos) << cls << "\n" << text;
            }
        }
        EXPECT_NE(text.find("user.scalar"), std::string::npos) << text;
    }
}

// The agent's password never shows in a trace, neither in the message a client sent nor in
// one built here; the fields around it do.
TEST(CatalogTrace, AgentPasswordIsNeverShown) {
    const uint32_t password = elementdict::FindRowByClass("AgentPassword")->id;
    SetAgentStateReqMSG msg;
    catalogtest::Fill(msg, 24);
    msg.SetSTRING(password, "pw-9876");
    ASSERT_EQ(msg.ValidateToSend(24), 0);
    auto got = DecodeBytes(EncodeBytes(msg, 24), 24);
    ASSERT_NE(got, nullptr);
    ASSERT_STREQ(got->GetSTRING(password), "pw-9876");
    for (BaseMSG* m : {static_cast<BaseMSG*>(&msg), got.get()}) {
        std::string text;
        m->Trace(text, 24);
        EXPECT_EQ(text.find("pw-9876"), std::string::npos) << text;
        EXPECT_NE(text.find("AgentInstrument"), std::string::npos) << text;
    }
}

}  // namespace
