#include <gtest/gtest.h>

#include "ctimsg/messages/messages.h"
#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "tests/parlo/model/model_fixture.h"

namespace modeltest {
namespace {

using ModelCall = ModelTest;


// The call table runs under the lock the server offers (its own kind, with the long-lock
// warnings); without one it makes a plain lock of the same name.
TEST(ModelCallLock, TheServerMayProvideTheCallLock) {
    struct OfferingPorts : RecordingPorts {
        LockObject* offered = new LockObject(LockObject::USAGE_CRITICAL_SECTION, nullptr,
                                             "CallLock", 0xFFFFFFFF, 0, 0);
        LockObject* NewCallLock() override { return offered; }
    } ports;
    ports.Install();
    Call::InitCallList();
    EXPECT_EQ(&Call::GetCallLock(), ports.offered);
    Call::InitCallList();  // once only
    EXPECT_EQ(&Call::GetCallLock(), ports.offered);
}

TEST_F(ModelCall, IdentityAndModes) {
    // Same CallID on two peripherals: one bucket, told apart by PeripheralID; -1 takes the first.
    Call* a = NewCall(5000, 257);
    Call* b = NewCall(5001, 257, "2001", 18);
    EXPECT_EQ(Call::FindCall(0xFFFFFFFF, 257, -2, "", 1), a);
    EXPECT_EQ(Call::FindCall(5001, 257, -2, "", 1), b);
    EXPECT_EQ(Call::FindLastCall(0xFFFFFFFF, 257, -2, "", 1), b);
    EXPECT_EQ(a->FindNextCall(0xFFFFFFFF, 257, -2, "", 1), b);
    EXPECT_EQ(b->FindNextCall(0xFFFFFFFF, 257, -2, "", 1), nullptr);
    // Type 18: -1 never matches; the source device matches in mode 0 but not in mode 1,
    // until a connection carries that device ID.
    EXPECT_EQ(Call::FindCall(5001, 257, -1, "", 1), nullptr);
    EXPECT_EQ(Call::FindCall(5001, 257, 0, "2001", 1), nullptr);
    EXPECT_EQ(Call::FindCall(5001, 257, 0, "2001", 0), b);
    CTICSTAConnection* c = CTICSTAConnection::Alloc(nullptr, b, 3, 1, 0, "2001", "x");
    EXPECT_EQ(Call::FindCall(5001, 257, 0, "2001", 1), b);
    EXPECT_EQ(Call::FindCall(5001, 257, 0, "2001", 2), nullptr);
    // Unique peripheral types match on CallID whatever device is given.
    EXPECT_EQ(Call::FindCall(5000, 257, 0, "nothing", 1), a);
    (void)c;
}

TEST_F(ModelCall, ModeThreePrefersExactDeviceElseLastInactive) {
    Call* x = NewCall(5001, 9, "100", 18);
    Call* y = NewCall(5001, 9, "200", 18);
    Call* z = NewCall(5001, 9, "300", 18);
    x->SetDestDeviceID(0, "555");
    y->SetDestDeviceID(0, "555");
    z->SetDestDeviceID(0, "555");
    for (Call* c : {x, y, z}) c->Deactivate();
    EXPECT_EQ(Call::FindCall(5001, 9, 0, "200", 3), y);  // its own source
    EXPECT_EQ(Call::FindCall(5001, 9, 0, "555", 3), x);  // destination of the first
    y->Reactivate();
    EXPECT_EQ(Call::FindCall(5001, 9, 0, "200", 3), nullptr);  // active calls are passed over
    EXPECT_EQ(Call::FindCall(5001, 9, 7, "200", 3), nullptr);  // type 7: not that identity
    EXPECT_EQ(Call::FindCall(5001, 9, -2, "", 2), x);  // deactivated, by CallID alone
}

TEST_F(ModelCall, DuplicateAllocReleasesReportedCallAndPoolIsFifoWithReset) {
    ports.AddSession(7, "all", 24, 0x10);
    Call* first = NewCall(5000, 42);
    first->m_ANI = "5551234";
    first->m_CallVariable[2] = "v3";
    first->SetCTIClientSignature(0, "sig");
    first->ReportCall();
    ports.lines.clear();
    // The old call is released first (and, alone in the pool, taken straight back).
    Call* second = NewCall(5000, 42);
    ASSERT_EQ(Lines({"dist 1 -> session 7 <- MsgType:END_CALL_EVENT", "ConnectionCallID:42"}).size(), 1u);
    EXPECT_EQ(Call::FindCall(5000, 42, -2, "", 0), second);
    EXPECT_EQ(Call::FindCall(5000, 42, -2, "", 0)->NextInBucket(), nullptr);
    second->m_ANI = "5551234";
    second->m_CallVariable[2] = "v3";
    second->SetCTIClientSignature(0, "sig");
    second->ReportCall();
    // The pool is first in, first out, and a reused call comes back reset.
    Call* other = NewCall(5000, 44);
    Call::Free(second, true);
    Call::Free(other, true);
    EXPECT_EQ(Call::FreeCount(), 2);
    clock_.AdvanceMs(3000);
    Call* again = NewCall(5000, 43);
    EXPECT_EQ(again, second);
    EXPECT_EQ(NewCall(5000, 45), other);
    EXPECT_TRUE(again->m_ANI.empty());
    EXPECT_TRUE(again->m_CallVariable[2].empty());
    EXPECT_TRUE(again->m_CTIClientSignatures.empty());
    EXPECT_TRUE(again->IsActive());
    EXPECT_FALSE(again->IsReported());
    EXPECT_EQ(again->LastEvent(), "constructed");
    EXPECT_EQ(again->m_TrunkGroup, -1);
    EXPECT_EQ(again->HashIndex(), 43);
}

TEST_F(ModelCall, FlagsMetersAndCounters) {
    Call* c = NewCall(5000, 1);
    EXPECT_EQ(ports.meters[9], 1);
    EXPECT_EQ(ports.meters[13], 1);
    c->Deactivate();
    c->Deactivate();  // only once
    EXPECT_EQ(ports.meters[13], 0);
    EXPECT_EQ(ports.counters["PARLO_DEACTIVATED_CALLS"], 1);
    // Reactivate is refused while another active call has the identity.
    Call* other = NewCall(5000, 1);
    EXPECT_EQ(ports.meters[13], 1);
    c->Reactivate();
    EXPECT_FALSE(c->IsActive());
    Call::Free(other, true);
    c->Reactivate();
    EXPECT_TRUE(c->IsActive());
    EXPECT_EQ(ports.counters["PARLO_DEACTIVATED_CALLS"], 0);
    c->Deactivate();
    c->ClearCall(0);
    c->ClearCall(0);  // a cleared call stays as it is
    EXPECT_TRUE(c->IsCleared());
    EXPECT_FALSE(c->IsDeactivated());
    EXPECT_EQ(ports.counters["PARLO_DEACTIVATED_CALLS"], 0);
    EXPECT_EQ(ports.counters["PARLO_CLEARED_CALLS"], 1);
    Call::Free(c, true);
    EXPECT_EQ(ports.meters[9], 0);
    EXPECT_EQ(ports.meters[13], 0);
    EXPECT_EQ(ports.counters["PARLO_ACTIVE_CALLS"], 0);
}

// Mended: the reported-calls counter went down only when END_CALL_EVENT was sent.
TEST_F(ModelCall, ReportedCounterFallsWhenReportedCallIsFreedWhileInactive) {
    Call* c = NewCall(5000, 5);
    c->ReportCall();
    EXPECT_EQ(ports.counters["PARLO_REPORTED_CALLS"], 1);
    ports.serverActive = false;
    Call::Free(c, true);
    EXPECT_EQ(ports.counters["PARLO_REPORTED_CALLS"], 0);
    Call* d = NewCall(5000, 6);
    d->ReportCall();
    ports.serverActive = true;
    Call::Free(d, false);
    EXPECT_EQ(ports.counters["PARLO_REPORTED_CALLS"], 0);
}

// A handler that sent its own BEGIN_CALL_EVENT marks the call: counted once, nothing sent,
// and the release takes the count back.
TEST_F(ModelCall, MarkReportedCountsOnceAndSendsNothing) {
    ports.AddSession(7, "all", 24, 0x10);
    Call* c = NewCall(5000, 8);
    ports.lines.clear();
    c->MarkReported();
    c->MarkReported();
    c->ReportCall();
    EXPECT_TRUE(c->IsReported());
    EXPECT_EQ(ports.counters["PARLO_REPORTED_CALLS"], 1);
    EXPECT_TRUE(Lines({"BEGIN_CALL_EVENT"}).empty());
    Call::Free(c, false);
    EXPECT_EQ(ports.counters["PARLO_REPORTED_CALLS"], 0);
}

// Mended: an END_CALL_EVENT that fails validation ended the process; OPC's data fills it.
TEST_F(ModelCall, InvalidEndCallIsTracedAndTheCallStillReleased) {
    ports.AddSession(7, "all", 24, 0x10);
    Call* c = Call::Alloc(5000, 77, 2, "1001", 48, 1, 0, 0, 0);  // ID type 2 is no valid type
    c->MarkReported();
    ports.lines.clear();
    Call::Free(c, true);
    EXPECT_EQ(Lines({"invalid Call::Free END_CALL_EVENT"}).size(), 1u);
    EXPECT_TRUE(Lines({"END_CALL_EVENT", "session 7"}).empty());
    EXPECT_EQ(Call::FindCall(5000, 77, -2, "", 0), nullptr);
    EXPECT_EQ(Call::FreeCount(), 1);
}

TEST_F(ModelCall, CallConnectionIDFollowsTheCountedConnections) {
    Call* c = NewCall(5000, 88, "1001");
    c->SetDestDeviceID(0, "2002");
    CTICSTAConnection::Alloc(nullptr, c, 3, 1, 0, "1001", "a");
    CTICSTAConnection::Alloc(nullptr, c, 2, 2, 0, "2002", "b");
    EXPECT_EQ(c->GetCallConnectionDeviceID(), "1001");
    CTICSTAConnection::Alloc(nullptr, c, 3, 2, 1, "3003", "c");
    EXPECT_EQ(c->ActiveConnections(), 3);
    EXPECT_EQ(c->GetCallConnectionDeviceID(), "1001");  // the reference: the source
    c->FirstConnection()->SetState(2, nullptr);         // the source alerting: next counted
    EXPECT_EQ(c->GetCallConnectionDeviceID(), "3003");
    EXPECT_EQ(c->GetCallConnectionDeviceIDType(), 1);
    EXPECT_EQ(c->GetDestConnectionState(), 2);
    Call* d = NewCall(5000, 89, "1001");
    d->SetSrcDeviceID(0xFFFF, "");
    d->SetDestDeviceID(0, "4004");
    EXPECT_EQ(d->GetCallConnectionDeviceID(), "4004");
    EXPECT_EQ(d->GetDestConnectionState(), 1);
}

TEST_F(ModelCall, ContextCapsClientsAtSixteen) {
    Call* c = NewCall(5000, 90);
    for (size_t i = 0; i < 20; ++i) {
        c->SetCTIClientSignature(i, "client" + std::to_string(i));
        c->SetCTIClientTimestamp(i, static_cast<uint32_t>(1000 + i));
    }
    c->m_RouterCallKeyDay = 0;
    BeginCallEventMSG msg(false, false);
    c->GetCallContext(msg);
    EXPECT_EQ(msg.GetUSHORT(13), 16);  // NumCTIClients
    std::string text;
    msg.Trace(text, 24);
    EXPECT_NE(text.find("client15"), std::string::npos);
    EXPECT_EQ(text.find("client16"), std::string::npos);
    EXPECT_EQ(text.find("RouterCallKey"), std::string::npos);
    c->m_RouterCallKeyCallID = 5;
    BeginCallEventMSG keyed(false, false);
    c->GetCallContext(keyed);
    text.clear();
    keyed.Trace(text, 24);
    EXPECT_NE(text.find("RouterCallKeyCallID"), std::string::npos) << text;
}

TEST_F(ModelCall, StaleCallsAndTexts) {
    Call* c = NewCall(5000, 0x0102);
    c->m_DNIS = "8000";
    c->m_ANI = "5551234";
    EXPECT_EQ(Call::FindStaleCall(2, 0), c);
    EXPECT_EQ(Call::FindStaleCall(2, 60), nullptr);
    clock_.AdvanceMs(60000);
    EXPECT_EQ(Call::FindStaleCall(2, 60), c);
    EXPECT_EQ(c->GetListEntry(),
              "  258.1001(s)              5000 ACD_IN          -1  8000               0  5551234\n");
    const std::string dump = c->GetDumpString();
    EXPECT_NE(dump.find("LastEvent=Thu Mar  4 05:06:07 2021 : constructed (60 seconds ago)"),
              std::string::npos) << dump;
    EXPECT_EQ(dump.substr(dump.size() - 3), "\n\n\n");
}

TEST_F(ModelCall, RemovePeripheralCallsReleasesOnlyThatPeripheral) {
    NewCall(5000, 1);
    Call* keep = NewCall(5001, 1, "x", 48);
    NewCall(5000, 300);
    Call::RemovePeripheralCalls(5000);
    EXPECT_EQ(Call::FindCall(0xFFFFFFFF, 1, -2, "", 0), keep);
    EXPECT_EQ(Call::FindCall(0xFFFFFFFF, 300, -2, "", 0), nullptr);
    Call::RemovePeripheralCalls(0xFFFFFFFF);
    EXPECT_EQ(Call::FreeCount(), 3);
}

TEST_F(ModelCall, FreeingACallStillOnAPrivateListIsFatal) {
    Call* c = NewCall(5000, 3);
    StdQueue privateList;
    privateList.SetLinkOffset(Call::PrivateCallLinkOffset());
    privateList.Append(c);
    // The assertion text "!call->m_PrivateCallLinks.IsQueued()" goes to the EMS log.
    EXPECT_EXIT(Call::Free(c, true), ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF), "");
    privateList.Remove(c);
}

}  // namespace
}  // namespace modeltest

namespace modeltest {
namespace {

TEST_F(ModelTest, ConferenceMarksTheDevicelessTwinAsDuplicate) {
    ports.AddSession(7, "all", 24, 0x10);
    ports.removeDuplicates = true;
    CTICSTADevice* phone = NewDevice(5000, 0, "1001");
    CTICSTADevice* trunk = NewDevice(5000, 70, "9001");
    CTICSTADevice* other = NewDevice(5000, 0, "2002");
    Call* p = Call::Alloc(5000, 10, 0, "1001", 51, 1, 0, 0, 0);  // CTI peripheral type 23
    Call* s = Call::Alloc(5000, 11, 0, "2002", 51, 1, 0, 0, 0);
    CTICSTAConnection* onPhone = CTICSTAConnection::Alloc(phone, p, 3, 1, 0, "1001", "a");
    CTICSTAConnection* twin = CTICSTAConnection::Alloc(nullptr, p, 3, 2, 0, "1001", "b");
    CTICSTAConnection::Alloc(trunk, p, 3, 2, 0, "9001", "c");
    CTICSTAConnection::Alloc(other, s, 3, 1, 0, "2002", "d");
    ports.lines.clear();
    CallConferencedEventMSG msg;
    FillRequired(msg);
    p->WritePriSecMSG(s, msg, 0xFFFFFFFF, 3);  // OPC counts three parties, four are tracked
    EXPECT_EQ(twin->m_Flags, 2u);
    EXPECT_EQ(onPhone->m_Flags, 0u);
    const auto sent = Lines({"dist 1 -> session 7 <- MsgType:CALL_CONFERENCED_EVENT"});
    ASSERT_EQ(sent.size(), 1u) << ports.Take();
    EXPECT_NE(sent[0].find("NumParties:3"), std::string::npos) << sent[0];
    EXPECT_NE(sent[0].find("PrimaryCallID:10"), std::string::npos) << sent[0];
    EXPECT_NE(sent[0].find("SecondaryCallID:11"), std::string::npos) << sent[0];
    // Both calls were reported first.
    EXPECT_EQ(Lines({"BEGIN_CALL_EVENT"}).size(), 2u);
    // Without the registry value nothing is marked and all four parties are listed.
    ports.removeDuplicates = false;
    twin->m_Flags = 0;
    ports.lines.clear();
    CallConferencedEventMSG again;
    FillRequired(again);
    p->WritePriSecMSG(s, again, 0xFFFFFFFF, 3);
    EXPECT_EQ(twin->m_Flags, 0u);
    EXPECT_NE(Lines({"CALL_CONFERENCED_EVENT"})[0].find("NumParties:4"), std::string::npos);
}

}  // namespace
}  // namespace modeltest

namespace modeltest {
namespace {

TEST_F(ModelTest, CallDataUpdateTakesTheVariablesOfTheNewIDsActiveCall) {
    ports.AddSession(7, "all", 24, 0x10);
    Call* oldCall = NewCall(5000, 20);
    Call* newCall = NewCall(5000, 21);
    oldCall->m_CallVariable[0] = "old";
    newCall->m_CallVariable[0] = "fresh";
    oldCall->ReportCall();
    ports.tracePeriphVariables = true;
    ports.lines.clear();
    oldCall->SendCallDataUpdateEvent(model::ConnectionID(20, 0, "1001"), model::ConnectionID(21, 0, "1001"),
                                     "test", false);
    const auto sent = Lines({"dist 1 -> session 7 <- MsgType:CALL_DATA_UPDATE_EVENT"});
    ASSERT_EQ(sent.size(), 1u) << ports.Take();
    EXPECT_NE(sent[0].find("fresh"), std::string::npos) << sent[0];
    EXPECT_EQ(sent[0].find("\"old\""), std::string::npos) << sent[0];
    EXPECT_NE(sent[0].find("NewConnectionCallID:21"), std::string::npos) << sent[0];
}

TEST_F(ModelTest, ClearingACallClearsEveryActiveConnectionWithItsCause) {
    ports.AddSession(7, "all", 24, 0x10);
    ports.AddSession(10, "dev", 24, 0);
    CTICSTADevice* phone = NewDevice(5000, 76, "1001");
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 10, phone);
    Call* c = NewCall(5000, 30);
    CTICSTAConnection::Alloc(phone, c, 3, 1, 0, "1001", "a");
    CTICSTAConnection::Alloc(nullptr, c, 2, 2, 0, "2002", "b");
    CTICSTAConnection::Alloc(nullptr, c, 0, 2, 0, "3003", "inactive");
    c->ReportCall();
    ports.lines.clear();
    c->ClearCall(13);
    EXPECT_EQ(Lines({"dist 1 -> session 7 <- MsgType:CALL_CONNECTION_CLEARED_EVENT"}).size(), 2u);
    const auto atDevice = Lines({"session 10 <- MsgType:CALL_CONNECTION_CLEARED_EVENT"});
    ASSERT_EQ(atDevice.size(), 1u);
    EXPECT_NE(atDevice[0].find("LocalConnectionState:LCS_NULL"), std::string::npos) << atDevice[0];
    EXPECT_EQ(c->ConnectionList().Count(), 0);
    EXPECT_EQ(phone->GetNumConnections(), 0);
    // While the server is not active the connections go without a word.
    Call* quiet = NewCall(5000, 31);
    CTICSTAConnection::Alloc(nullptr, quiet, 3, 1, 0, "1001", "a");
    ports.serverActive = false;
    ports.lines.clear();
    quiet->ClearCall(13);
    EXPECT_TRUE(Lines({"CALL_CONNECTION_CLEARED_EVENT"}).empty());
    EXPECT_EQ(quiet->ConnectionList().Count(), 0);
}

}  // namespace
}  // namespace modeltest
