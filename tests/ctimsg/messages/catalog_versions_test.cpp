// Fields that exist in a message only from some protocol version on, seen on the wire: a
// field set in the message is neither written for a session one version too old nor read back
// from it, and is written and read back from its first version on. The round trip of every
// class cannot see a wrong version in the rows (both sides read the same rows); this table
// holds the versions the protocol gives for the fields it singles out.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ctimsg/elementdict.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "tests/ctimsg/messages/catalog_samples.h"
#include "tests/ctimsg/messages/frame_builder.h"

namespace {

using msgtest::Bytes;
using msgtest::DecodeBytes;
using msgtest::EncodeBytes;

uint32_t Id(const char* cls) {
    const elementdict::Row* row = elementdict::FindRowByClass(cls);
    EXPECT_NE(row, nullptr) << cls;
    return row != nullptr ? row->id : 0;
}

// Whether the field, set in a filled message of the class, comes back from a session of the
// version; fails the test when the message does not make the trip at all.
bool Carried(const char* className, const char* field, uint32_t version) {
    SCOPED_TRACE(std::string(className) + " v" + std::to_string(version));
    const catalog::MessageRow* row = catalog::FindMessageRowByClass(className);
    EXPECT_NE(row, nullptr) << className;
    if (row == nullptr) return false;
    std::unique_ptr<BaseMSG> msg(catalog::CreateMessage(row->type));
    catalogtest::Fill(*msg, version);
    const uint32_t id = Id(field);
    EXPECT_TRUE(msg->Present(id, 0)) << field << " is not set";
    EXPECT_EQ(msg->ValidateToSend(version), 0) << ElementName(msg->GetFailingElement());
    Bytes frame = EncodeBytes(*msg, version);
    EXPECT_FALSE(frame.empty());
    auto got = DecodeBytes(frame, version);
    EXPECT_NE(got, nullptr);
    if (got == nullptr) return false;
    EXPECT_EQ(got->GetStatus(), 0u) << ElementName(got->GetFailingElement());
    return got->Present(id, 0) != 0;
}

TEST(CatalogVersions, FieldsTheirFirstVersionBrings) {
    struct Case {
        const char* cls;
        const char* field;
        uint32_t first;       // the first version that carries the field
        uint32_t lastWithout;  // a version of the message without it; 0: none
    };
    const Case cases[] = {
        // Call events: the delivered event's call data from 10, its trunk fields from 9, its
        // skill-group trio from 7 (from 2 in the established event); the reached-network
        // event's line fields from 7.
        {"CallDeliveredEventMSG", "TrunkNumber", 9, 8},
        {"CallDeliveredEventMSG", "TrunkGroupNumber", 9, 8},
        {"CallDeliveredEventMSG", "ANIField", 10, 9},
        {"CallDeliveredEventMSG", "UserToUserField", 10, 9},
        {"CallDeliveredEventMSG", "DNISField", 10, 9},
        {"CallDeliveredEventMSG", "CallVariable1", 10, 9},
        {"CallDeliveredEventMSG", "CallVariable10", 10, 9},
        {"CallDeliveredEventMSG", "CallWrapupData", 10, 9},
        {"CallDeliveredEventMSG", "ExpandedCallContxt", 10, 9},
        {"CallDeliveredEventMSG", "SecondaryConnectionCallID", 10, 9},
        {"CallDeliveredEventMSG", "NumNamedVariables", 10, 9},
        {"CallDeliveredEventMSG", "ANI_II_Field", 11, 10},
        {"CallDeliveredEventMSG", "SkillGroupNumber", 7, 6},
        {"CallDeliveredEventMSG", "REMaskArray", 16, 15},
        {"CallEstablishedEventMSG", "SkillGroupNumber", 2, 0},
        {"CallReachedNetworkEventMSG", "LineHandle", 7, 6},
        {"CallReachedNetworkEventMSG", "LineTypeField", 7, 6},
        // Single-connection call control.
        {"MakeCallReqMSG", "AlertRings", 5, 4},
        {"MakeCallReqMSG", "CallOption", 5, 4},
        {"MakeCallReqMSG", "NumNamedVariables", 6, 5},
        {"MakeCallReqMSG", "SkillGroupNumber", 14, 13},
        {"AnswerCallReqMSG", "AgentInstrument", 3, 0},
        {"ClearConnectionReqMSG", "AgentInstrument", 5, 4},
        {"AlternateCallReqMSG", "AgentInstrument", 8, 7},
        {"ClearCallReqMSG", "AgentInstrument", 8, 7},
        {"DeflectCallReqMSG", "AgentInstrument", 8, 7},
        {"HoldCallReqMSG", "AgentInstrument", 8, 7},
        {"ReconnectCallReqMSG", "AgentInstrument", 8, 7},
        {"RetrieveCallReqMSG", "AgentInstrument", 8, 7},
        {"SendDTMFSignalReqMSG", "AgentInstrument", 8, 7},
        {"HoldCallReqMSG", "WEXACILClientID", 11, 10},
        // Conferences, transfers, snapshots.
        {"ConferenceCallReqMSG", "CallPlacementType", 5, 4},
        {"ConsultationCallReqMSG", "CallPlacementType", 3, 0},
        {"TransferCallReqMSG", "CallMannerType", 3, 0},
        {"SnapshotCallConfMSG", "CallReferenceID", 14, 13},
        {"SnapshotCallConfMSG", "COCCallConnectionDeviceID", 14, 13},
        {"SnapshotCallConfMSG", "RecordingStatus", 23, 22},
        {"SnapshotCallConfMSG", "FltEnabledServices", 24, 23},
        // Agent messages.
        {"AgentStateEventMSG", "NextAgentState", 10, 9},
        {"AgentStateEventMSG", "Duration", 10, 9},
        {"AgentStateEventMSG", "FltSkillGroupNumber", 10, 9},
        {"AgentStateEventMSG", "Direction", 16, 15},
        {"AgentStateEventMSG", "DepartmentID", 19, 18},
        {"QueryAgentStateConfMSG", "InternalAgentState", 19, 18},
        {"SetAgentStateReqMSG", "ForcedFlag", 10, 9},
        {"SetAgentStateReqMSG", "AgentServiceReq", 12, 11},
        {"AgentTeamConfigEventMSG", "AtcAgentID_Long", 10, 9},
        {"AgentPreCallEventMSG", "AgentID", 20, 19},
        // Devices and monitors.
        {"QueryDeviceInfoConfMSG", "AgentStateMask", 6, 5},
        {"QueryDeviceInfoConfMSG", "CallMsgMask", 6, 5},
        {"SnapshotDeviceReqMSG", "SnapshotDeviceType", 10, 9},
        {"SnapshotDeviceConfMSG", "SilentMonitorStatus", 13, 12},
        {"SnapshotDeviceConfMSG", "REMaskArray", 16, 15},
        // Recording.
        {"StartRecordingReqMSG", "AgentID_Long", 10, 9},
        {"StopRecordingReqMSG", "AgentID_Long", 10, 9},
        // Task routing, task monitors.
        {"MediaLoginReqMSG", "AgentID_Long", 18, 17},
        {"MediaLoginReqMSG", "FltPeripheralID", 18, 17},
        {"MediaLoginReqMSG", "MaxBeyondTaskLimit", 22, 21},
        {"MediaLogoutIndMSG", "FltZURDisposition", 20, 19},
        {"MediaLogoutIndMSG", "FltApplicationDisposition", 20, 19},
        {"OfferApplicationTaskReqMSG", "XferInWhileLoggedOut", 22, 21},
        {"StartApplicationTaskReqMSG", "XferInWhileLoggedOut", 22, 21},
        {"TaskMonitorStartReqMSG", "AgentID_Long", 10, 9},
        {"TaskMonitorStartReqMSG", "AgentInstrument", 9, 0},
        // Routing.
        {"RouteRegisterEventMSG", "ClientShareKey", 14, 13},
        {"RouteRequestEventMSG", "COCConnectionCallID", 14, 13},
        {"RouteRequestEventMSG", "COCCallConnectionDeviceID", 14, 13},
        {"RouteRequestEventMSG", "Options", 17, 16},
        {"RouteSelectEventMSG", "RouterCallKeyDay", 13, 12},
        {"RouteSelectEventMSG", "RouterCallKeyCallID", 13, 12},
        {"RouteSelectEventMSG", "Timeout", 14, 13},
        // Configuration.
        {"ConfigRequestKeyEventMSG", "CTIPeripheralID", 11, 10},
        {"ConfigRequestEventMSG", "CTIPeripheralID", 11, 10},
        {"ConfigSkillGroupEventMSG", "FltPrecisionQueueID", 22, 21},
        {"ConfigSkillGroupEventMSG", "FltPrecisionQueueName", 22, 21},
        {"ConfigAgentDeskSettingsEventMSG", "FltACDSharedLineUsage", 24, 23},
        {"ConfigAgentDeskSettingsEventMSG", "FltPlayZipTone", 24, 23},
        {"ConfigAgentEventMSG", "FltPeripheralID", 11, 10},
        {"ConfigAgentEventMSG", "OldLoginID", 11, 10},
        {"ConfigAgentEventMSG", "LoginName", 11, 10},
        {"ConfigAgentEventMSG", "SSOEnabled", 20, 19},
        {"ConfigAgentEventMSG", "NumMRDs", 21, 20},
        {"ConfigAgentEventMSG", "FltAgentMRDID", 21, 20},
        {"ConfigAgentEventMSG", "AgentDeskSettingsID", 22, 21},
        {"ConfigAgentEventMSG", "TerminalDeviceName", 24, 23},
    };
    for (const Case& c : cases) {
        if (c.lastWithout != 0) {
            EXPECT_FALSE(Carried(c.cls, c.field, c.lastWithout))
                << c.cls << " carries " << c.field << " at version " << c.lastWithout;
        }
        EXPECT_TRUE(Carried(c.cls, c.field, c.first))
            << c.cls << " leaves " << c.field << " out at version " << c.first;
        EXPECT_TRUE(Carried(c.cls, c.field, 24)) << c.cls << " " << c.field;
    }
}

// Messages whose whole frame the protocol gives: the header alone, the header and InvokeID,
// a task list without tasks.
TEST(CatalogVersions, FramesOfFixedSize) {
    struct Case {
        const char* cls;
        uint32_t version;
        size_t bytes;
    };
    const Case cases[] = {
        {"BeginAgentInitIndMSG", 9, 8},
        {"EndAgentInitIndMSG", 9, 8},
        {"StandbyActiveEventMSG", 24, 8},
        {"StoppingRequestsToThisSideInd", 24, 8},
        {"MonitorStopConfMSG", 5, 12},
        {"ChangeMonitorMaskConfMSG", 5, 12},
        {"StartNetworkRecordingConfMSG", 24, 12},
        {"StopNetworkRecordingConfMSG", 24, 12},
        {"TaskMonitorStopConfMSG", 9, 12},
        {"ChangeTaskMonitorMaskConfMSG", 9, 12},
        {"AgentTasksBeginEventMSG", 23, 12},
        {"AgentTasksRespMSG", 20, 28},
    };
    for (const Case& c : cases) {
        const catalog::MessageRow* row = catalog::FindMessageRowByClass(c.cls);
        ASSERT_NE(row, nullptr) << c.cls;
        std::unique_ptr<BaseMSG> msg(catalog::CreateMessage(row->type));
        catalogtest::Fill(*msg, c.version);
        // A task list without tasks: NumTasks 0 and no FltTaskID.
        if (msg->FindElement(Id("FltTaskID"), 0, false) != nullptr) {
            for (uint32_t k = 0; k < 256; ++k) msg->Remove(Id("FltTaskID"), k);
            msg->SetUINT(Id("NumTasks"), 0);
        }
        ASSERT_EQ(msg->ValidateToSend(c.version), 0) << c.cls;
        Bytes frame = EncodeBytes(*msg, c.version);
        EXPECT_EQ(frame.size(), c.bytes) << c.cls;
        auto got = DecodeBytes(frame, c.version);
        ASSERT_NE(got, nullptr) << c.cls;
        EXPECT_EQ(got->GetStatus(), 0u) << c.cls;
    }
}

}  // namespace
