#include <gtest/gtest.h>

#include <cstring>

#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "nuvlib/lockguard.h"
#include "nuvlib/tracemeter.h"
#include "parlo/model/modelutil.h"
#include "tests/parlo/model/model_fixture.h"

namespace modeltest {
namespace {

using ModelDevice = ModelTest;
using ModelConnection = ModelTest;
using ModelMonitor = ModelTest;

TEST_F(ModelDevice, KeySkipsZerosButIDsStayApart) {
    EXPECT_EQ(CTICSTADevice::HashKey("100"), CTICSTADevice::HashKey("1"));
    CTICSTADevice* a = NewDevice(5000, 0, "123");
    CTICSTADevice* b = NewDevice(5000, 0, "0123");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->DeviceIDHashIndex(), b->DeviceIDHashIndex());
    EXPECT_EQ(FindCTICSTADevice(5000, 0, "0123", false), b);
    EXPECT_EQ(FindCTICSTADevice(5000, 78, "123", false), a);  // 0 and 78 alike
    CTICSTADevice* n = NewDevice(5000, 78, "4000");
    EXPECT_EQ(FindCTICSTADevice(5000, 0, "4000", false), n);
    EXPECT_EQ(FindCTICSTADevice(5000, 70, "4000", false), nullptr);
    EXPECT_EQ(FindCTICSTADevice(0xFFFFFFFF, -1, "4000", false), n);
    EXPECT_EQ(FindCTICSTADevice(5001, -1, "4000", false), nullptr);
}

TEST_F(ModelDevice, FindOrCreateRefusesWhatItDoesNotTrack) {
    struct Case {
        uint32_t periph;
        int type;
        const char* id;
        int status;
        bool tracked;
    } cases[] = {
        {5000, 0, "123", 0, true},    {5000, 0, "", 0, false},     {5000, 0, "-1", 0, false},
        {5000, 0, "124", 1, false},   {5000, 75, "125", 0, false}, {5000, 79, "126", 0, false},
        {5000, 80, "127", 0, false},  {5000, 76, "128", 0, true},  {5000, 0, "AB1", 0, true},
        {5002, 0, "AB2", 0, false},   {5002, 0, "9AB", 0, true},   {5000, 77, "129", 0, true},
    };
    for (const Case& c : cases) {
        CSTAExtendedDeviceID rec;
        snprintf(rec.deviceID, sizeof rec.deviceID, "%s", c.id);
        rec.deviceIDType = c.type;
        rec.deviceIDStatus = c.status;
        EXPECT_EQ(FindOrCreateCTICSTADevice(c.periph, &rec, "", "t", false, true) != nullptr,
                  c.tracked)
            << c.id << " type " << c.type;
    }
    EXPECT_EQ(FindOrCreateCTICSTADevice(5000, nullptr, "", "t", false, true), nullptr);
    // Without the create flag nothing new appears.
    CSTAExtendedDeviceID rec;
    snprintf(rec.deviceID, sizeof rec.deviceID, "%s", "555");
    EXPECT_EQ(FindOrCreateCTICSTADevice(5000, &rec, "", "t", false, false), nullptr);
}

TEST_F(ModelDevice, CreationAndReconfigurationAreMetered) {
    InitTraceMeters(1);
    auto count = [](const char* description) {
        uint32_t total = 0;
        TraceMeterPosition at = FindFirstTraceMeterHeader(description);
        while (TraceMeterHeader* h = FindNextTraceMeterHeader(&at, description))
            if (h->m_Description == description) total += h->m_Counts.grandTotal;
        return total;
    };
    NewDevice(5000, 0, "100");
    NewDevice(5000, 0, "200", "200");
    NewDevice(5000, 0, "201", "201");
    NewDevice(5000, 0, "300", "200");  // moves the device known by extension 200
    NewDevice(5000, 0, "100");         // found: no count
    EXPECT_EQ(count("CTICSTADevice: defined deviceID"), 1u);
    EXPECT_EQ(count("CTICSTADevice: defined deviceID/extension"), 2u);
    EXPECT_EQ(count("CTICSTADevice: reconfigured deviceID/extension"), 1u);
}

TEST_F(ModelDevice, UnterminatedIDFromOPCIsCutNotOverRead) {
    CSTAExtendedDeviceID rec;
    memset(rec.deviceID, '7', sizeof rec.deviceID);
    CTICSTADevice* d = FindOrCreateCTICSTADevice(5000, &rec, "", "t", false, true);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->m_DeviceID.size(), 63u);
}

TEST_F(ModelDevice, ExtensionNamedWithNewIDMovesTheSameDevice) {
    CTICSTADevice* d = NewDevice(5000, 0, "1500", "1500");
    Call* call = NewCall(5000, 1);
    CTICSTAConnection::Alloc(d, call, 3, 2, 0, "1500", "x");
    CTICSTADevice* moved = NewDevice(5000, 78, "7777", "1500");
    EXPECT_EQ(moved, d);
    EXPECT_EQ(d->m_DeviceID, "7777");
    EXPECT_EQ(d->m_DeviceType, 0);
    EXPECT_EQ(d->GetNumConnections(), 1);
    EXPECT_EQ(FindCTICSTADevice(5000, 0, "1500", false), nullptr);
    EXPECT_EQ(FindCTICSTADevice(5000, 0, "7777", false), d);
    EXPECT_EQ(FindCTICSTADeviceByExtension(5000, "1500", false), d);
    // An ID that equals a known extension finds the device by its extension.
    EXPECT_EQ(NewDevice(5000, 0, "1500"), d);
}

TEST_F(ModelDevice, OnlyUntypedDevicesWithoutMonitorsAreReaped) {
    ports.AddSession(10, "watch", 24, 0);
    CTICSTADevice* plain = NewDevice(5000, 0, "100");
    CTICSTADevice* agentDevice = NewDevice(5000, 76, "200");
    CTICSTADevice* watched = NewDevice(5000, 0, "300");
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 10, watched);
    Call* call = NewCall(5000, 1);
    for (CTICSTADevice* d : {plain, agentDevice, watched})
        CTICSTAConnection::Alloc(d, call, 3, 2, 0, d->m_DeviceID.c_str(), "x");
    Call::Free(call, true);
    EXPECT_EQ(FindCTICSTADevice(5000, 0, "100", false), nullptr);
    EXPECT_EQ(FindCTICSTADevice(5000, 76, "200", false), agentDevice);
    EXPECT_EQ(FindCTICSTADevice(5000, 0, "300", false), watched);
}

TEST_F(ModelDevice, FindConnectionBySelector) {
    CTICSTADevice* d = NewDevice(5000, 76, "100");
    Call* c1 = NewCall(5000, 1);
    Call* c2 = NewCall(5000, 2);
    CTICSTAConnection* nullConn = CTICSTAConnection::Alloc(d, c1, 0, 2, 0, "100", "x");
    EXPECT_EQ(d->FindConnection(0xFFFFFFFF, 0, "", 1), nullConn);  // newest of any state
    EXPECT_EQ(d->FindConnection(0xFFFFFFFF, 0, "", 2), nullptr);
    CTICSTAConnection* held1 = CTICSTAConnection::Alloc(d, c1, 4, 2, 0, "101", "x");
    CTICSTAConnection* held2 = CTICSTAConnection::Alloc(d, c2, 4, 2, 0, "102", "x");
    EXPECT_EQ(d->FindConnection(0xFFFFFFFF, 0, "", 1), held2);
    EXPECT_EQ(d->FindConnection(0xFFFFFFFF, 0, "", 6), held2);
    EXPECT_EQ(d->FindConnection(0xFFFFFFFF, 0, "", 5), nullptr);
    EXPECT_EQ(d->FindOtherCallConnection(0xFFFFFFFF, 0, "", 2, 2), held1);
    EXPECT_EQ(d->FindConnection(1, 0, "101", 0), held1);
    EXPECT_EQ(d->FindCallConnection(c2), held2);
}

TEST_F(ModelConnection, AllocTellsEachMonitorOfTheDevice) {
    ports.AddSession(10, "a", 24, 0);
    ports.AddSession(11, "b", 24, 0);
    CTICSTADevice* d = NewDevice(5000, 0, "100");
    CTICSTAMonitor* m1 = CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 10, d);
    CTICSTAMonitor* m2 = CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 11, d);
    Call* call = NewCall(5000, 7);
    ports.lines.clear();
    CTICSTAConnection::Alloc(d, call, 2, 2, 1, "100-dyn", "delivered");
    ASSERT_EQ(ports.lines.size(), 2u);
    EXPECT_NE(ports.lines[0].find("session 10 <- MsgType:BEGIN_CALL_EVENT (MonitorID:" +
                                  std::to_string(m1->m_MonitorID)),
              std::string::npos);
    EXPECT_NE(ports.lines[1].find("session 11 <- MsgType:BEGIN_CALL_EVENT (MonitorID:" +
                                  std::to_string(m2->m_MonitorID)),
              std::string::npos);
    for (const std::string& l : ports.lines) {
        EXPECT_NE(l.find("ConnectionDeviceIDType:CONNECTION_ID_DYNAMIC"), std::string::npos) << l;
        EXPECT_NE(l.find("ConnectionDeviceID:\"100-dyn\""), std::string::npos) << l;
    }
}

TEST_F(ModelConnection, SetConnectionReclassifiesAChangedID) {
    ports.AddSession(10, "a", 24, 0);
    CTICSTADevice* d = NewDevice(5000, 0, "100");
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 10, d);
    Call* call = NewCall(5000, 7);
    bool changed = false;
    CTICSTAConnection* c = SetConnection(d, call, 1, 1, 0, "100", "originated", changed);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(changed);
    ports.lines.clear();
    changed = false;
    EXPECT_EQ(SetConnection(d, call, 1, 1, 0, "100", "again", changed), c);
    EXPECT_FALSE(changed);
    EXPECT_TRUE(ports.lines.empty());
    EXPECT_EQ(SetConnection(d, call, 3, 1, 1, "100b", "established", changed), c);
    EXPECT_TRUE(changed);
    const auto update = Lines({"CALL_DATA_UPDATE_EVENT"});
    ASSERT_EQ(update.size(), 1u);
    EXPECT_NE(update[0].find("ConnectionDeviceID:\"100\""), std::string::npos) << update[0];
    EXPECT_NE(update[0].find("NewConnectionDeviceID:\"100b\""), std::string::npos) << update[0];
    EXPECT_STREQ(c->m_OPCDeviceID, "100b");
    EXPECT_EQ(c->m_LocalConnectionState, 3);
    // Other types create nothing; a soft connection only for snapshot verification.
    Call* other = NewCall(5000, 8);
    changed = false;
    EXPECT_EQ(SetConnection(d, other, 3, 0, 0, "x", "h", changed), nullptr);
    EXPECT_EQ(SetConnection(d, other, 3, 3, 0, "x", "h", changed), nullptr);
    EXPECT_NE(SetConnection(d, other, 3, 3, 0, "x", "VerifySnapshot", changed), nullptr);
}

// Mended: an invalid CALL_DATA_UPDATE_EVENT (OPC's IDs) ended the process.
TEST_F(ModelConnection, InvalidUpdateIsTracedAndTheIDStillChanges) {
    ports.AddSession(10, "a", 24, 0);
    CTICSTADevice* d = NewDevice(5000, 0, "100");
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 10, d);
    Call* call = NewCall(5000, 7);
    CTICSTAConnection* c = CTICSTAConnection::Alloc(d, call, 3, 1, 0, "100", "x");
    ports.lines.clear();
    c->Reclassify(1, 7, 2, "bad-type");
    EXPECT_EQ(Lines({"invalid CTICSTAConnection::Reclassify CALL_DATA_UPDATE_EVENT"}).size(), 1u);
    EXPECT_TRUE(Lines({"session 10"}).empty());
    EXPECT_EQ(c->m_OPCDeviceIDType, 2);
    EXPECT_STREQ(c->m_OPCDeviceID, "bad-type");
}

TEST_F(ModelConnection, StatesAndPoolReuse) {
    Call* call = NewCall(5000, 7);
    CTICSTAConnection* c = CTICSTAConnection::Alloc(nullptr, call, 2, 2, 0, "1", "h");
    c->SetState(-1, "ignored");
    EXPECT_EQ(c->m_LocalConnectionState, 2);
    EXPECT_EQ(c->m_Hint, "h");
    c->SetState(1, "initiated");
    c->SetState(3, nullptr);
    EXPECT_EQ(c->m_Initiated, 1);
    EXPECT_EQ(c->m_Hint, "initiated");
    CTICSTAConnection* d = CTICSTAConnection::Alloc(nullptr, call, 3, 1, 0, "2", "h");
    CTICSTAConnection::Free(c);
    CTICSTAConnection::Free(d);
    CTICSTAConnection* again = CTICSTAConnection::Alloc(nullptr, call, -1, 1, 0, "3", "");
    EXPECT_EQ(again, c);  // first in, first out
    EXPECT_EQ(again->m_LocalConnectionState, -1);
    EXPECT_EQ(again->m_Initiated, 0);
    EXPECT_EQ(CTICSTAConnection::Alloc(nullptr, call, 3, 1, 0, "4", ""), d);
}

TEST_F(ModelConnection, NacdDeviceGetsNoCallEvents) {
    ports.AddSession(10, "a", 24, 0);
    CTICSTADevice* nacd = NewDevice(5000, 78, "4000");
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 10, nacd);
    Call* call = NewCall(5000, 7);
    CTICSTAConnection* c = CTICSTAConnection::Alloc(nacd, call, 3, 2, 0, "4000", "x");
    ports.lines.clear();
    CallHeldEventMSG held;
    c->WriteMSG(held, true, true);
    EXPECT_TRUE(ports.lines.empty());
}

TEST_F(ModelMonitor, IDsStartAtOneAndWrapSkippingLiveOnes) {
    ports.AddSession(10, "a", 24, 0);
    CTICSTAMonitor* first = CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, 10, nullptr);
    EXPECT_EQ(first->m_MonitorID, 1u);
    CTICSTAMonitor* second = CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, 10, nullptr);
    EXPECT_EQ(second->m_MonitorID, 2u);
    CTICSTAMonitor::SetNextMonitorID(0x7FFFFFFF);
    EXPECT_EQ(CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, 10, nullptr)->m_MonitorID, 0x7FFFFFFFu);
    EXPECT_EQ(CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, 10, nullptr)->m_MonitorID, 3u);
    EXPECT_EQ(CTICSTAMonitor::FindMonitor(2), second);
    CTICSTAMonitor::Free(second);
    EXPECT_EQ(CTICSTAMonitor::FindMonitor(2), nullptr);
    EXPECT_EQ(second->m_MonitorID, 0u);
    EXPECT_EQ(CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, -1, nullptr), second);  // reused
    EXPECT_EQ(second->m_SessionID, -1);
    EXPECT_EQ(second->m_CallMsgMask, 0xFFFFFFFFu);
}

TEST_F(ModelMonitor, FiltersByVersionAndMasks) {
    ports.AddSession(10, "v24", 24, 0);
    ports.AddSession(11, "v5", 5, 0);
    CTICSTAMonitor* m = CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, 10, nullptr);
    CTICSTAMonitor* old = CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, 11, nullptr);
    m->m_CallMsgMask = ~GetCallEventMaskBit(11);  // no CALL_HELD_EVENT
    m->m_AgentStateMask = 0;
    CallHeldEventMSG held;
    EndCallEventMSG end;
    AgentStateEventMSG agentState;
    agentState.SetUSHORT(83, 9);  // SkillGroupState: no state passes any mask
    SystemEventMSG system;  // carries no MonitorID of its own: written unstamped
    RTPStartedEventMSG rtp;
    ports.lines.clear();
    m->WriteMSG(&held);
    m->WriteMSG(&end);
    m->WriteMSG(&agentState);
    m->WriteMSG(&rtp);
    m->WriteMSG(&system);
    old->WriteMSG(&rtp);  // above version 5
    old->WriteMSG(nullptr);
    ASSERT_EQ(ports.lines.size(), 4u);
    EXPECT_NE(ports.lines[0].find("END_CALL_EVENT (MonitorID:" + std::to_string(m->m_MonitorID)),
              std::string::npos);
    EXPECT_NE(ports.lines[1].find("AGENT_STATE_EVENT"), std::string::npos);
    EXPECT_NE(ports.lines[2].find("session 10 <- MsgType:RTP_STARTED_EVENT"), std::string::npos);
    EXPECT_NE(ports.lines[3].find("session 10 <- MsgType:SYSTEM_EVENT"), std::string::npos);
    agentState.SetUSHORT(83, 3);
    ports.lines.clear();
    m->WriteMSG(&agentState);
    EXPECT_TRUE(ports.lines.empty());
}

TEST_F(ModelMonitor, LostOwnerForgetsItsSessionAndStays) {
    ports.AddSession(10, "a", 24, 0);
    CTICSTAMonitor* m = CTICSTAMonitor::Alloc(CTICSTAMonitor::Void, 10, nullptr);
    ports.RemoveSession(10);
    EXPECT_EQ(m->GetListEntry(), model::Format("%9u    %-9.9s\t%-11.11s  %-12.12s\n", m->m_MonitorID,
                                        "Void", "(null)", "(null)"));
    EXPECT_EQ(m->m_SessionID, -1);
    EndCallEventMSG end;
    ports.lines.clear();
    m->WriteMSG(&end);
    EXPECT_TRUE(ports.lines.empty());
    EXPECT_EQ(CTICSTAMonitor::FindMonitor(m->m_MonitorID), m);
}

TEST_F(ModelMonitor, BeginCallsPerConnectionAndSubjectMoves) {
    ports.AddSession(10, "a", 24, 0);
    CTICSTADevice* d = NewDevice(5000, 76, "100");
    CTICSTADevice* e = NewDevice(5000, 76, "200");
    Call* c1 = NewCall(5000, 1);
    Call* c2 = NewCall(5000, 2);
    CTICSTAConnection::Alloc(d, c1, 3, 2, 0, "100", "x");
    CTICSTAConnection::Alloc(d, c2, 2, 2, 0, "100", "x");
    CTICSTAMonitor* m = CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 10, d);
    EXPECT_TRUE(ports.lines.empty() || Lines({"BEGIN_CALL_EVENT"}).empty());
    ports.lines.clear();
    m->SendBeginCalls(false);
    EXPECT_EQ(Lines({"BEGIN_CALL_EVENT", "ConnectionCallID:1"}).size(), 1u);
    EXPECT_EQ(Lines({"BEGIN_CALL_EVENT", "ConnectionCallID:2"}).size(), 1u);
    ports.lines.clear();
    m->SetSubject(e);  // END for each call of the old subject, nothing for the new one yet
    EXPECT_EQ(Lines({"END_CALL_EVENT"}).size(), 2u);
    EXPECT_EQ(ports.lines.size(), 2u);
    EXPECT_EQ(d->GetNumMonitors(), 0);
    EXPECT_EQ(e->GetNumMonitors(), 1);
}

TEST_F(ModelMonitor, SessionMonitorReplaysTheWatchedClientsMonitors) {
    FakeSession& watched = ports.AddSession(20, "agent", 24, 0);
    ports.AddSession(30, "super", 24, 0);
    CTICSTADevice* d = NewDevice(5000, 76, "100");
    Call* c1 = NewCall(5000, 1);
    Call* c2 = NewCall(5000, 2);
    CTICSTAConnection::Alloc(d, c1, 3, 2, 0, "100", "x");
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 20, d);
    CTICSTAMonitor::Alloc(CTICSTAMonitor::CallSubject, 20, c2);
    CTICSTAMonitor* s = CTICSTAMonitor::Alloc(CTICSTAMonitor::Session, 30, nullptr);
    s->m_SubjectSessionID = 20;
    s->SetSubject(&watched);
    EXPECT_EQ(watched.sessionMonitors.Count(), 1);
    ports.lines.clear();
    s->SendBeginCalls(false);
    EXPECT_EQ(Lines({"session 30 <- MsgType:BEGIN_CALL_EVENT"}).size(), 2u);
    ports.lines.clear();
    CTICSTAMonitor::Free(s);
    EXPECT_EQ(Lines({"session 30 <- MsgType:END_CALL_EVENT"}).size(), 2u);
    EXPECT_EQ(watched.sessionMonitors.Count(), 0);
}

TEST_F(ModelMonitor, CallReleaseFailsEachOwnerBeforeItsEnd) {
    ports.AddSession(10, "a", 24, 0);
    ports.AddSession(11, "gone", 24, 0);
    Call* c = NewCall(5000, 1);
    CTICSTAMonitor::Alloc(CTICSTAMonitor::CallSubject, 10, c);
    CTICSTAMonitor::Alloc(CTICSTAMonitor::CallSubject, 11, c);
    ports.RemoveSession(11);
    ports.lines.clear();
    Call::Free(c, true);
    const std::vector<std::string> sent = Lines({"session"});
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], "failure session 10 status 90");
    EXPECT_NE(sent[1].find("session 10 <- MsgType:END_CALL_EVENT"), std::string::npos);
    EXPECT_EQ(Lines({"failure session 11"}).size(), 0u);
    EXPECT_EQ(CTICSTAMonitor::FreeCount(), 2);
}

}  // namespace
}  // namespace modeltest
