// A call's life after creation: connection look-ups and updates, clearing with the wrap-up
// rule, redirects, duplicates, joins, merges and re-keys, and device snapshots.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ctimsg/messages/messages.h"
#include "nuvlib/ems.h"
#include "parlo/model/agent.h"
#include "platform/byteorder.h"
#include "tests/ctimsg/trace_capture.h"
#include "tests/parlo/model/model_fixture.h"
#include "tests/parlo/model/call_test_access.h"

namespace modeltest {
namespace {

class CallLife : public ModelTest {
protected:
    ~CallLife() override { Agent::RemoveAgent(-1, ""); }

    // An agent at the device; its instrument's lines 1, 2, ... carry the given CallIDs.
    Agent& AgentAt(CTICSTADevice* device, std::initializer_list<uint32_t> calls) {
        auto* a = new Agent(static_cast<int32_t>(device->m_PeripheralID), 48, ++skillTargetID, 0,
                            device->m_DeviceID.c_str(), device->m_DeviceID.c_str(), nullptr,
                            false);
        a->SetDevice(device);
        int line = 1;
        for (uint32_t id : calls)
            a->AddCallToLine(static_cast<int32_t>(id), 0, device->m_DeviceID.c_str(), line++, 1);
        return *a;
    }

    static CTICSTAConnection* Conn(Call* call, CTICSTADevice* device, int state, int type,
                                   const char* id, const char* hint = "") {
        return CTICSTAConnection::Alloc(device, call, state, type, 0, id, hint);
    }

    std::string DumpOf(CTICSTADevice* d) { return d->GetDumpString(); }

    int32_t skillTargetID = 0;
};

// Every selector against one party's connections in mixed states, with and without the
// alerting ones. Newest first: state 0, 2, 4, 1, 3.
TEST_F(CallLife, SelectorTable) {
    Call* c = NewCall(5000, 10);
    CTICSTAConnection* s3 = Conn(c, nullptr, 3, 2, "1001");
    CTICSTAConnection* s1 = Conn(c, nullptr, 1, 2, "1001");
    CTICSTAConnection* s4 = Conn(c, nullptr, 4, 2, "1001");
    CTICSTAConnection* s2 = Conn(c, nullptr, 2, 2, "1001");
    Conn(c, nullptr, 0, 2, "1001");
    CTICSTAConnection* b0 = Conn(c, nullptr, 0, 1, "2002");
    CTICSTAConnection* b6 = Conn(c, nullptr, 6, 1, "2002");
    Conn(c, nullptr, 3, 1, "1001")->SetOPCDevice(1, 1, "1001");  // same text, dynamic type
    struct Row {
        const char* id;
        int selector;
        CTICSTAConnection* withAlerting;
        CTICSTAConnection* withoutAlerting;
    } rows[] = {
        {"1001", 1, s2, s4},  {"1001", 2, s2, s4},           {"1001", 3, s4, s4},
        {"1001", 4, s2, nullptr}, {"1001", 5, s3, s3},       {"1001", 6, s4, s4},
        {"1001", 7, s2, s4},  {"1001", 0, nullptr, nullptr}, {"1001", 8, nullptr, nullptr},
        // Nothing active: selector 1 falls back to the newest of any state, 2 finds none.
        {"2002", 1, b6, b6},  {"2002", 2, nullptr, nullptr}, {"3003", 1, nullptr, nullptr},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(c->FindConnectionByDeviceID(0, r.id, r.selector, true), r.withAlerting)
            << r.id << " selector " << r.selector;
        EXPECT_EQ(c->FindConnectionByDeviceID(0, r.id, r.selector, false), r.withoutAlerting)
            << r.id << " selector " << r.selector << " without alerting";
    }
    (void)s1;
    (void)b0;
    // The ID type is compared as 16 bits: 65536 names static again.
    EXPECT_EQ(c->FindConnectionByDeviceID(0x10000, "1001", 5, true), s3);
}

TEST_F(CallLife, FindersByKind) {
    ports.removeDuplicates = true;
    CTICSTADevice* phone = NewDevice(5000, 0, "1001");
    Call* c = Call::Alloc(5000, 20, 0, "1001", 51, 1, 0, 0, 0);  // CTI peripheral type 23
    CTICSTAConnection* src = Conn(c, phone, 3, 1, "1001");
    CTICSTAConnection* twin = Conn(c, nullptr, 3, 2, "1001");
    CTICSTAConnection* gone = Conn(c, nullptr, 0, 2, "5550100");
    // Other: the newest active one but the given; without an active one, the newest other.
    EXPECT_EQ(c->FindOtherConnection(src), twin);
    EXPECT_EQ(c->FindOtherConnection(twin), src);
    twin->SetState(0, nullptr);
    EXPECT_EQ(c->FindOtherConnection(src), gone);
    twin->SetState(3, nullptr);
    EXPECT_EQ(c->FindDevicelessConnection(2), twin);
    EXPECT_EQ(c->FindDevicelessConnection(1), nullptr);
    // Duplicates: only once one of the two is marked, and only with the registry value on
    // a peripheral of CTI type 17, 20 or 23.
    EXPECT_EQ(c->FindDuplicateConnection(src), nullptr);
    twin->m_Flags |= 2;
    EXPECT_EQ(c->FindDuplicateConnection(src), twin);
    EXPECT_EQ(c->FindDuplicateConnection(twin), src);
    ports.removeDuplicates = false;
    EXPECT_EQ(c->FindDuplicateConnection(src), nullptr);
    ports.removeDuplicates = true;
    int16_t otherType = 0;
    while (ConvertPeripheralType(otherType) == 17 || ConvertPeripheralType(otherType) == 20 ||
           ConvertPeripheralType(otherType) == 23)
        ++otherType;
    Call* generic = Call::Alloc(5000, 21, 0, "1001", otherType, 1, 0, 0, 0);
    CTICSTAConnection* a = Conn(generic, nullptr, 3, 1, "1001");
    Conn(generic, nullptr, 3, 2, "1001")->m_Flags |= 2;
    EXPECT_EQ(generic->FindDuplicateConnection(a), nullptr);
    // Agent data follows the agent at the device.
    EXPECT_EQ(c->NumAgentConnections(), 0);
    EXPECT_FALSE(c->HasDeviceConnection("1001"));
    AgentAt(phone, {20});
    EXPECT_EQ(c->NumAgentConnections(), 1);
    EXPECT_TRUE(c->HasDeviceConnection("1001"));
    EXPECT_EQ(c->GetAgentDeviceID(), "1001");
    EXPECT_EQ(c->GetLineNumber(20), 1);
    EXPECT_EQ(c->GetLineType(20), 1);
    EXPECT_EQ(c->GetLineNumber(99), 0);
    EXPECT_EQ(c->GetLineType(99), 3);
}

TEST_F(CallLife, ConnectionToAnswer) {
    Call* c = NewCall(5000, 30, "9001");
    CTICSTAConnection* src = Conn(c, nullptr, 2, 1, "9001");
    Conn(c, nullptr, 3, 2, "1001");
    struct Row {
        uint16_t type;
        const char* id;
        const char* expect;
    } rows[] = {
        {0, "1001", "1001"},  // an active, non-alerting party keeps its ID
        {0, "9001", "1001"},  // the alerting source: the reference connection instead
        {0, "4444", "1001"},
    };
    for (const Row& r : rows) {
        uint16_t type = r.type;
        std::string id = r.id;
        c->GetConnectionIDtoAnswer(type, id);
        EXPECT_EQ(id, r.expect) << r.id;
    }
    src->SetState(3, nullptr);
    uint16_t type = 0;
    std::string id = "9001";
    c->GetConnectionIDtoAnswer(type, id);
    EXPECT_EQ(id, "9001");
    // No counted connection at all: kept as given, with a trace.
    Call* empty = NewCall(5000, 31);
    ctimsgtest::TraceCapture traces;
    id = "7777";
    empty->GetConnectionIDtoAnswer(type, id);
    EXPECT_EQ(id, "7777");
    EXPECT_NE(traces.Take().find("unable to determine ALERTING source connectionID for 31.7777(s)"),
              std::string::npos);
}

TEST_F(CallLife, UpdateConnectionFindsTakesOverOrCreates) {
    Call* c = NewCall(5000, 40);
    CTICSTAConnection* known = Conn(c, nullptr, 3, 1, "1001", "old");
    // Found by its ID: state and hint change.
    EXPECT_EQ(c->UpdateConnection(4, 1, 0, "1001", "held", false), known);
    EXPECT_EQ(known->m_LocalConnectionState, 4);
    EXPECT_EQ(known->m_Hint, "held");
    // Not found: the first alerting connection without a device is taken over...
    CTICSTAConnection* ringing = Conn(c, nullptr, 2, 2, "");
    CTICSTAConnection* got = c->UpdateConnection(3, 2, 1, "2002", "answered", false);
    EXPECT_EQ(got, ringing);
    EXPECT_EQ(std::string(got->m_OPCDeviceID), "2002");
    EXPECT_EQ(got->m_OPCDeviceIDType, 1);
    EXPECT_EQ(got->m_LocalConnectionState, 3);
    // ...unless the match must be exact: then a new deviceless connection.
    CTICSTAConnection* ringing2 = Conn(c, nullptr, 2, 2, "");
    CTICSTAConnection* exact = c->UpdateConnection(3, 2, 0, "3003", "exact", true);
    EXPECT_NE(exact, ringing2);
    EXPECT_EQ(exact->m_Device, nullptr);
    EXPECT_EQ(std::string(exact->m_OPCDeviceID), "3003");
    // Alerting always makes a new connection for a source or destination, even when one
    // with that ID exists; any other type makes nothing.
    const int before = c->ConnectionList().Count();
    CTICSTAConnection* again = c->UpdateConnection(2, 2, 0, "1001", "ring", false);
    EXPECT_NE(again, known);
    EXPECT_EQ(c->ConnectionList().Count(), before + 1);
    EXPECT_EQ(c->UpdateConnection(3, 3, 0, "8888", "soft", false), nullptr);
    EXPECT_EQ(c->UpdateConnection(2, 0, 0, "8888", "none", false), nullptr);
    EXPECT_EQ(c->ConnectionList().Count(), before + 1);
}

TEST_F(CallLife, ClearAndRemoveHelpers) {
    Call* c = NewCall(5000, 50);
    CTICSTAConnection* keep = Conn(c, nullptr, 2, 2, "1");
    CTICSTAConnection* other = Conn(c, nullptr, 2, 2, "2");
    CTICSTAConnection* queued = Conn(c, nullptr, 5, 2, "3");
    CTICSTAConnection* failedSource = Conn(c, nullptr, 6, 1, "4");
    Conn(c, nullptr, 6, 2, "5");
    c->ClearAlertingConnections(keep);
    EXPECT_EQ(keep->m_LocalConnectionState, 2);
    EXPECT_EQ(other->m_LocalConnectionState, 0);
    c->ClearQueuedConnections();
    EXPECT_EQ(queued->m_LocalConnectionState, 0);
    queued->SetState(5, nullptr);
    c->RemoveQueuedConnections();
    EXPECT_FALSE(c->HasConnection(queued));
    // Inactive ones go, except the failed source; the alerting one is active.
    c->RemoveInactiveConnections();
    EXPECT_EQ(c->ConnectionList().Count(), 2);
    EXPECT_TRUE(c->HasConnection(keep));
    EXPECT_TRUE(c->HasConnection(failedSource));
    c->RemoveAllConnections();
    EXPECT_EQ(c->ConnectionList().Count(), 0);
}

// The wrap-up rule: destination first, then source; each missing link is traced at verbose
// level 1 and the connection freed.
TEST_F(CallLife, WrapupKeepsOnlyAnAgentsConnectionWhoseLineCarriesTheCall) {
    ports.verbose = 1;
    struct Row {
        const char* what;
        bool destAgent, destLine, srcAgentLine;
        const char* kept;   // the OPC ID of the connection kept, or ""
        const char* trace;  // a text the clearing traces
    } rows[] = {
        {"dest kept", true, true, true, "1003", "Setting wrapup for the dest connection"},
        {"dest line gone: the source", true, false, true, "9001",
         "No valid line found for the dest OPC connection for CallID (60)"},
        {"neither", true, false, false, "",
         "No agent found for the source OPC connection for CallID (60)"},
        {"dest without agent", false, false, false, "",
         "No agent found for the dest OPC connection"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ctimsgtest::TraceCapture traces;
        CTICSTADevice* src = NewDevice(5000, 0, "9001");
        CTICSTADevice* dest = NewDevice(5000, 0, "1003");
        if (r.srcAgentLine) AgentAt(src, {60});
        if (r.destAgent) {
            Agent& a = AgentAt(dest, {});
            if (r.destLine) a.AddCallToLine(60, 0, "1003", 2, 1);
        }
        Call* c = NewCall(5000, 60, "9001");
        c->SetDestDeviceID(0, "1003");
        Conn(c, src, 3, 1, "9001");
        Conn(c, dest, 3, 2, "1003");
        c->ClearCall(16);
        const std::string text = traces.Take();
        EXPECT_NE(text.find(r.trace), std::string::npos) << text;
        if (*r.kept == '\0') {
            EXPECT_EQ(c->ConnectionList().Count(), 0);
        } else {
            ASSERT_EQ(c->ConnectionList().Count(), 1);
            EXPECT_STREQ(c->FirstConnection()->m_OPCDeviceID, r.kept);
            EXPECT_EQ(c->FirstConnection()->m_Flags, 1u);
            EXPECT_EQ(c->FirstConnection()->m_LocalConnectionState, 0);
        }
        // Every agent line that carried the call was cleared.
        for (const char* id : {"9001", "1003"}) {
            if (Agent* a = Agent::FindAgentByExtension(5000, id)) {
                EXPECT_EQ(a->m_Instrument->FindLineByCallID(60), nullptr) << id;
            }
        }
        Call::Free(c, false);
        Agent::RemoveAgent(-1, "");
    }
}

// On a peripheral of type 27 the line number is the second field of OPC's ID.
TEST_F(CallLife, TypeTwentySevenClearsTheNumberedLine) {
    CTICSTADevice* phone = NewDevice(5027, 0, "4000");
    ports.peripheralTypes[5027] = 27;
    Agent& a = AgentAt(phone, {});
    a.AddCallToLine(700, 0, "4000", 2, 1);
    a.AddCallToLine(700, 0, "4000", 3, 1);
    Call* c = Call::Alloc(5027, 700, 0, "4000.3", 27, 1, 0, 0, 0);
    Conn(c, phone, 3, 1, "4000.3");
    EXPECT_EQ(c->GetLineNumber(700), 2);
    c->ClearCall(16);
    EXPECT_EQ(a.m_Instrument->GetLine(3)->m_CallID, -1);
    EXPECT_EQ(a.m_Instrument->GetLine(2)->m_CallID, 700);
}

TEST_F(CallLife, ClearingWhileNotActiveSendsNothingButStillFrees) {
    ports.AddSession(7, "all", 24, 0x10);
    ports.serverActive = false;
    Call* c = NewCall(5000, 70, "9001");
    Conn(c, nullptr, 3, 1, "9001");
    Conn(c, nullptr, 2, 2, "1001");
    ports.lines.clear();
    c->ClearCall(16);
    EXPECT_TRUE(Lines({"CALL_CONNECTION_CLEARED_EVENT"}).empty()) << ports.Take();
    EXPECT_EQ(c->ConnectionList().Count(), 0);
    ports.serverActive = true;
    Call* d = NewCall(5000, 71, "9001");
    Conn(d, nullptr, 3, 1, "9001");
    Conn(d, nullptr, 0, 2, "1001");  // inactive: no event
    ports.lines.clear();
    d->ClearCall(28);
    const auto cleared = Lines({"CALL_CONNECTION_CLEARED_EVENT", "session 7"});
    ASSERT_EQ(cleared.size(), 1u);
    EXPECT_NE(cleared[0].find("ConnectionDeviceID:\"9001\""), std::string::npos);
}

TEST_F(CallLife, RedirectOfTheSourceMakesABlindConnection) {
    Call* c = NewCall(5000, 80, "9001");
    CTICSTAConnection* src = Conn(c, nullptr, 3, 1, "9001");
    CTICSTAConnection* dest = Conn(c, nullptr, 3, 2, "1001");
    c->UpdateCallOnRedirect(dest);  // not the source: nothing
    EXPECT_EQ(c->m_SrcDeviceID, "9001");
    ctimsgtest::TraceCapture traces;
    src->SetOPCDevice(1, 0, "9002");  // the source connection no longer matches
    c->UpdateCallOnRedirect(src);
    EXPECT_NE(traces.Take().find("Call 80 source connection redirected but srcdevice not matched"),
              std::string::npos);
    src->SetOPCDevice(1, 0, "9001");
    c->UpdateCallOnRedirect(src);
    EXPECT_EQ(c->m_SrcDeviceID, "BLIND_CONNECTION");
    EXPECT_EQ(c->m_SrcDeviceIDType, 0xFFFF);
}

// ---- joins and merges ----

TEST_F(CallLife, ReleasingAJoinedCallUnjoinsItsPartner) {
    ports.AddSession(7, "all", 24, 0x10);
    CTICSTADevice* phone = NewDevice(5000, 0, "1001");
    Call* a = NewCall(5000, 90, "1001");
    Call* b = NewCall(5000, 91, "1001");
    Conn(a, phone, 4, 1, "1001");
    Conn(b, phone, 3, 1, "1001");
    Conn(b, nullptr, 3, 2, "2002");
    a->ReportCall();
    a->Join(b);
    EXPECT_EQ(a->JoinedCall(), b);
    EXPECT_EQ(b->JoinedCall(), a);
    ports.lines.clear();
    Call::Free(b, true);
    EXPECT_EQ(a->JoinedCall(), nullptr);
    // a's watchers hear once that 2002 (b's only unshared party) is gone.
    const auto cleared = Lines({"CALL_CONNECTION_CLEARED_EVENT"});
    ASSERT_EQ(cleared.size(), 1u) << ports.Take();
    EXPECT_NE(cleared[0].find("ConnectionDeviceID:\"2002\""), std::string::npos);
    EXPECT_NE(cleared[0].find("ConnectionCallID:91"), std::string::npos);
}

TEST_F(CallLife, ABrokenJoinIsFatal) {
    Call* a = NewCall(5000, 92);
    Call* b = NewCall(5000, 93);
    Call* c = NewCall(5000, 94);
    a->Join(b);
    CallTestAccess::SetJoinedCall(b, c);  // the model never does this
    EXPECT_EXIT(a->Unjoin(), ::testing::ExitedWithCode(EMS_EXIT_FATAL & 0xFF), "");
    CallTestAccess::SetJoinedCall(b, a);
}

// A party on both calls: the active connection stays, the other is freed.
TEST_F(CallLife, MergeKeepsOneConnectionPerDevice) {
    CTICSTADevice* d1 = NewDevice(5000, 0, "1001");
    CTICSTADevice* d2 = NewDevice(5000, 0, "1002");
    CTICSTADevice* d3 = NewDevice(5000, 70, "9001");
    Call* target = NewCall(5000, 100, "9001");
    Call* source = NewCall(5000, 101, "1001");
    CTICSTAConnection* tTrunk = Conn(target, d3, 3, 1, "9001");
    CTICSTAConnection* tActive = Conn(target, d1, 4, 2, "1001");
    CTICSTAConnection* tInactive = Conn(target, d2, 0, 2, "1002");
    CTICSTAConnection* sTwin = Conn(source, d1, 3, 1, "1001");
    CTICSTAConnection* sMoves = Conn(source, d2, 3, 2, "1002");
    uint16_t refType = 0;
    std::string refID = "9001";
    Call* back = source->TransferConnections(target, 0xFFFFFFFF, refType, refID);
    EXPECT_EQ(back, source);
    EXPECT_TRUE(source->IsDeactivated());
    EXPECT_EQ(source->ConnectionList().Count(), 0);
    EXPECT_TRUE(target->HasConnection(tTrunk));
    EXPECT_TRUE(target->HasConnection(tActive));
    EXPECT_FALSE(target->HasConnection(tInactive));  // freed: the source's one moved in
    EXPECT_TRUE(target->HasConnection(sMoves));
    EXPECT_EQ(sMoves->m_Hint, "moved.");
    EXPECT_NE(sTwin->m_Call, target);
    EXPECT_EQ(target->m_CallID, 100u);  // -1 keeps the CallID
    Call::Release(back, true);
}

TEST_F(CallLife, TransferToTheSourcesCallIDEndsItOnce) {
    ports.AddSession(7, "all", 24, 0x10);
    Call* target = NewCall(5000, 110, "9001");
    Call* source = NewCall(5000, 111, "1001");
    Conn(target, nullptr, 3, 1, "9001");
    Conn(source, nullptr, 3, 1, "1001");
    Conn(source, nullptr, 3, 2, "1002");
    target->ReportCall();
    source->ReportCall();
    ports.lines.clear();
    uint16_t refType = 0;
    std::string refID = "9001";
    EXPECT_EQ(source->TransferConnections(target, 111, refType, refID), nullptr);
    EXPECT_EQ(Lines({"END_CALL_EVENT", "ConnectionCallID:111"}).size(), 1u) << ports.Take();
    const auto updates = Lines({"CALL_DATA_UPDATE_EVENT", "session 7"});
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_NE(updates[0].find("ConnectionCallID:110"), std::string::npos);
    EXPECT_NE(updates[0].find("NewConnectionCallID:111"), std::string::npos);
    EXPECT_EQ(Call::FindCall(5000, 111, -2, "", 1), target);
    EXPECT_EQ(Call::FindCall(5000, 110, -2, "", 0), nullptr);
    EXPECT_EQ(target->ConnectionList().Count(), 3);
}

// OPC's IDs fill the source's END_CALL_EVENT: when they make it invalid the event is traced
// and skipped, the merge goes on, and the release does not send it either.
TEST_F(CallLife, InvalidEndCallDuringTransferIsTracedAndTheMergeGoesOn) {
    ports.AddSession(7, "all", 24, 0x10);
    Call* target = NewCall(5000, 120, "9001");
    Call* source = Call::Alloc(5000, 121, 2, "1001", 48, 1, 0, 0, 0);  // ID type 2: invalid
    Conn(target, nullptr, 3, 1, "9001");
    Conn(source, nullptr, 3, 2, "1002");
    source->MarkReported();
    uint16_t refType = 0;
    std::string refID = "9001";
    ports.lines.clear();
    EXPECT_EQ(source->TransferConnections(target, 121, refType, refID), nullptr);
    EXPECT_EQ(Lines({"invalid Call::TransferConnections END_CALL_EVENT"}).size(), 1u)
        << ports.Take();
    EXPECT_TRUE(Lines({"END_CALL_EVENT", "session 7"}).empty());
    EXPECT_TRUE(Lines({"invalid Call::Free"}).empty());
    EXPECT_EQ(target->m_CallID, 121u);
    EXPECT_EQ(target->ConnectionList().Count(), 2);
}

// The new CallID is held by a third call: it merges in first, is released, and the target
// is re-keyed once, so no update with equal old and new IDs goes out.
TEST_F(CallLife, ConflictingCallMergesInAndTheOuterReKeySaysNothingMore) {
    ports.AddSession(7, "all", 24, 0x10);
    Call* target = NewCall(5000, 130, "9001");
    Call* source = NewCall(5000, 131, "1001");
    Call* third = NewCall(5000, 132, "5550100");
    Conn(target, nullptr, 3, 1, "9001");
    Conn(source, nullptr, 3, 1, "1001");
    Conn(third, nullptr, 3, 1, "5550100");
    target->ReportCall();
    third->ReportCall();
    ports.lines.clear();
    uint16_t refType = 0;
    std::string refID = "9001";
    Call* back = source->TransferConnections(target, 132, refType, refID);
    EXPECT_EQ(back, source);
    EXPECT_EQ(Lines({"END_CALL_EVENT", "ConnectionCallID:132"}).size(), 1u) << ports.Take();
    const auto updates = Lines({"CALL_DATA_UPDATE_EVENT", "session 7"});
    ASSERT_EQ(updates.size(), 1u) << ports.Take();
    EXPECT_NE(updates[0].find(" ConnectionCallID:130 "), std::string::npos) << updates[0];
    EXPECT_EQ(Call::FindCall(5000, 132, -2, "", 1), target);
    EXPECT_EQ(target->ConnectionList().Count(), 3);
    Call::Release(back, true);
    EXPECT_EQ(Call::FindCall(5000, 132, -2, "", 0), target);
}

TEST_F(CallLife, PrivateSourceIsReleasedThroughItsAgent) {
    Call* target = NewCall(5000, 140, "9001");
    CTICSTADevice* phone = NewDevice(5000, 0, "1001");
    Agent& owner = AgentAt(phone, {});
    Call* source = owner.AddPrivateCall(3, 1, model::ConnectionID(141, 0, "1001"), "", false);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(owner.NumPrivateCalls(), 1);
    uint16_t refType = 0;
    std::string refID = "9001";
    // Released through the agent, which unlinks it first (Free would find it still listed).
    EXPECT_EQ(source->TransferConnections(target, 141, refType, refID), nullptr);
    EXPECT_EQ(owner.NumPrivateCalls(), 0);
}

TEST_F(CallLife, UpdateCallDataAndReference) {
    ports.AddSession(7, "all", 24, 0x10);
    Call* c = NewCall(5000, 150, "9001");
    Conn(c, nullptr, 3, 1, "9001");
    c->ReportCall();
    uint16_t refType = 0;
    std::string refID = "9001";
    ports.lines.clear();
    c->UpdateCallData(0xFFFFFFFF, -1, refType, refID);
    c->UpdateCallData(150, 1, refType, refID);  // the same values
    EXPECT_TRUE(ports.lines.empty()) << ports.Take();
    c->UpdateCallData(151, -1, refType, refID);
    EXPECT_EQ(Lines({"CALL_DATA_UPDATE_EVENT", "ConnectionCallID:150", "NewConnectionCallID:151"})
                  .size(),
              1u)
        << ports.Take();
    EXPECT_EQ(Call::FindCall(5000, 151, -2, "", 1), c);
    // A new reference connection: the source moves to it and watchers hear of it once.
    ports.lines.clear();
    c->FirstConnection()->SetState(0, nullptr);
    Conn(c, nullptr, 3, 2, "1001");
    c->NotifyReferenceConnectionUpdate(refType, refID);
    EXPECT_EQ(refID, "1001");
    EXPECT_EQ(c->m_SrcDeviceID, "1001");
    EXPECT_EQ(Lines({"CALL_DATA_UPDATE_EVENT"}).size(), 1u);
    ports.lines.clear();
    c->NotifyReferenceConnectionUpdate(refType, refID);
    EXPECT_TRUE(ports.lines.empty());
}

// ---- device snapshots ----

class Snapshot : public CallLife {
protected:
    // The confirmation's raw data, exactly as long as built: the sanitizer sees any read
    // beyond it.
    struct Data {
        std::vector<uint8_t> bytes;
        void Word(size_t at, uint32_t v) {
            if (bytes.size() < at + 4) bytes.resize(at + 4);
            plat::StoreLE32(bytes.data() + at, v);
        }
        // An entry at `at` whose one-state list is at `statesAt`.
        void Entry(size_t at, uint32_t callID, const char* id, uint32_t state, size_t statesAt,
                   uint32_t states = 1) {
            Word(at, callID);
            if (bytes.size() < at + 84) bytes.resize(at + 84);
            memcpy(&bytes[at + 4], id, strlen(id));
            Word(at + 68, 0);
            Word(at + 72, states);
            Word(at + 76, static_cast<uint32_t>(statesAt));
            Word(at + 80, 0);
            if (states > 0 && statesAt + 4 <= 4096) Word(statesAt, state);
        }
        std::unique_ptr<uint8_t[]> Exact(size_t length) const {
            auto p = std::make_unique<uint8_t[]>(length);
            memcpy(p.get(), bytes.data(), std::min(length, bytes.size()));
            return p;
        }
    };
};

TEST_F(Snapshot, HostileConfirmationChangesNothingAndIsTraced) {
    CTICSTADevice* d = NewDevice(5000, 0, "1002");
    AgentAt(d, {});
    Call* c = NewCall(5000, 200, "1002");
    Conn(c, d, 3, 1, "1002", "tracked");
    Call* other = NewCall(5000, 201, "1002");
    Conn(other, d, 3, 2, "1002", "unreported");
    const std::string before = DumpOf(d);
    Data good;
    good.Entry(0, 200, "1002", 3, 84);  // one entry, its state after it: 88 bytes
    struct Row {
        const char* what;
        int32_t count;
        uint32_t offset;
        uint32_t length;
        uint32_t stateCount;
        uint32_t stateOffset;
        const char* trace;
    } rows[] = {
        {"count beyond the data", 2, 0, 88, 1, 84, "entry 1 of 2 at offset 84 lies outside"},
        {"huge count", 0x7FFFFFFF, 0, 88, 1, 84, "lies outside"},
        {"negative count", -5, 0, 88, 1, 84, "entry count -5 not valid"},
        {"entries past the end", 1, 40, 88, 1, 84, "entry 0 of 1 at offset 40 lies outside"},
        {"offset wraps", 1, 0xFFFFFFF0, 88, 1, 84, "lies outside"},
        {"state list outside", 1, 0, 88, 1, 85, "1 states at offset 85 lie outside"},
        {"state list far away", 1, 0, 88, 1, 0xFFFFFFFC, "lie outside"},
        {"state count wraps", 1, 0, 88, 0x40000001, 84, "lie outside"},
        {"negative state count", 1, 0, 88, 0x80000000, 84, "lie outside"},
        {"data shorter than an entry", 1, 0, 50, 1, 84, "lies outside"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Data data = good;
        data.Word(72, r.stateCount);
        data.Word(76, r.stateOffset);
        auto exact = data.Exact(r.length);
        ctimsgtest::TraceCapture traces;
        ports.lines.clear();
        EXPECT_FALSE(d->VerifySnapshot(5000, r.count, r.offset, exact.get(), r.length, true, true));
        EXPECT_NE(traces.Take().find(r.trace), std::string::npos);
        EXPECT_TRUE(ports.lines.empty()) << ports.Take();
        EXPECT_EQ(DumpOf(d), before);
    }
    // No data at all, with a count: traced, nothing read.
    EXPECT_FALSE(d->VerifySnapshot(5000, 1, 0, nullptr, 500, true, true));
    EXPECT_EQ(DumpOf(d), before);
    // The same entry within bounds: the unreported connection goes.
    auto exact = good.Exact(88);
    EXPECT_FALSE(d->VerifySnapshot(5000, 1, 0, exact.get(), 88, true, false));
    EXPECT_EQ(d->GetNumConnections(), 1);
}

TEST_F(Snapshot, RepairsAndTheirLimits) {
    ports.AddSession(7, "all", 24, 0x10);
    CTICSTADevice* d = NewDevice(5000, 0, "1002");
    AgentAt(d, {});
    Call* differs = NewCall(5000, 300, "1002");
    CTICSTAConnection* held = Conn(differs, d, 4, 1, "1002");
    Call* privateCall = NewCall(5000, 301, "1002");
    CallTestAccess::SetPrivate(privateCall, true);
    Conn(privateCall, d, 3, 1, "1002");
    Call* dotted = NewCall(5000, 302, "1002");
    Conn(dotted, d, 3, 2, "1002.4");
    Data data;
    data.Entry(0, 300, "1002", 3, 3 * 84);
    data.Entry(84, 303, "1002", 2, 3 * 84 + 4);
    data.Entry(168, 304, "1002", 0, 0, 0);  // an empty state list
    data.Word(3 * 84 + 8, 0);
    const uint32_t length = static_cast<uint32_t>(data.bytes.size());
    auto exact = data.Exact(length);
    ports.lines.clear();
    ctimsgtest::TraceCapture traces;
    // Without fix or create-calls: traces only (the dotted party is not reported: failed).
    EXPECT_FALSE(d->VerifySnapshot(5000, 3, 0, exact.get(), length, false, false));
    EXPECT_EQ(d->GetNumConnections(), 3);
    EXPECT_TRUE(ports.lines.empty()) << ports.Take();
    std::string text = traces.Take();
    EXPECT_NE(text.find("CS_HOLD -> 300.1002(s) SM_NONE vs. PIM/OPC STATE CS_CONNECT SM_NONE"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("303.1002(s) SM_NONE CALL NOT TRACKED BY PARLO"), std::string::npos);
    // With both: the calls OPC reports are created, the state difference stays a trace, the
    // private call and the dotted party are left alone.
    EXPECT_FALSE(d->VerifySnapshot(5000, 3, 0, exact.get(), length, true, true));
    EXPECT_EQ(held->m_LocalConnectionState, 4);
    Call* created = Call::FindCall(5000, 303, -2, "", 1);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->m_CallType, 38);
    EXPECT_TRUE(created->IsReported());
    EXPECT_EQ(created->m_DestDeviceID, "1002");
    ASSERT_NE(created->FirstConnection(), nullptr);
    EXPECT_EQ(created->FirstConnection()->m_ConnectionType, 3);
    EXPECT_EQ(created->FirstConnection()->m_LocalConnectionState, 2);
    EXPECT_EQ(created->FirstConnection()->m_Hint, "VerifySnapshot");
    Call* noState = Call::FindCall(5000, 304, -2, "", 1);
    ASSERT_NE(noState, nullptr);
    EXPECT_EQ(noState->FirstConnection()->m_LocalConnectionState, -1);
    EXPECT_EQ(Lines({"opc get call data periph 5000 call 303"}).size(), 1u);
    EXPECT_EQ(Lines({"BEGIN_CALL_EVENT", "session 7", "ConnectionCallID:304"}).size(), 1u);
    EXPECT_EQ(d->GetNumConnections(), 5);
    // Fix alone frees the dotted party once create-calls is off.
    (void)traces.Take();
    EXPECT_FALSE(d->VerifySnapshot(5000, 3, 0, exact.get(), length, true, false));
    EXPECT_NE(traces.Take().find("302.1002.4(s) SM_NONE NOT REPORTED BY PIM/OPC"),
              std::string::npos);
    EXPECT_EQ(dotted->ConnectionList().Count(), 0);
}

TEST_F(Snapshot, SupervisorMonitorCallTakesTheReportedStatus) {
    CTICSTADevice* d = NewDevice(5000, 0, "1002");
    AgentAt(d, {});
    Call* c = Call::Alloc(5000, 400, 0, "1002", 48, 21, 0, 0, 0);
    CTICSTAConnection* conn = Conn(c, d, 3, 1, "1002");
    Data data;
    data.Entry(0, 400, "1002", 3, 84);
    data.Word(80, 2);
    auto exact = data.Exact(88);
    EXPECT_TRUE(d->VerifySnapshot(5000, 1, 0, exact.get(), 88, false, false));
    EXPECT_EQ(conn->m_SilentMonitorStatus, 2);
}

}  // namespace
}  // namespace modeltest
