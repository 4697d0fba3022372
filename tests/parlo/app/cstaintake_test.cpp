// The CSTA intake: the sanitisers and their rate-limited warnings, the copies of identifiers
// into client messages, the dispatch of CTI_CSTA_MESSAGE by class and type (unknown ones
// traced and dropped), messages that lie dropped while the next one is served, and the frame
// of the call-event handlers over a real client session.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "nuvlib/emsinternal.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/cstaintake.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/call.h"
#include "parlo/model/ports.h"
#include "tests/ctimsg/trace_capture.h"
#include "tests/parlo/app/csta_app_fixture.h"

namespace {

using cstatest::AddDevice;
using cstatest::Bytes;
using cstatest::CSTAAppTest;
using cstatest::CSTAMessageBuilder;
using sesstest::Client;

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

ConnectionID Conn(int32_t callID, const char* deviceID, uint32_t type) {
    ConnectionID c;
    c.callID = callID;
    std::snprintf(c.deviceID, sizeof c.deviceID, "%s", deviceID);
    c.deviceIDType = type;
    return c;
}

// Bad values are replaced and warned about: causes and states on their first rejection (and
// every 1024th), line types every time.
TEST(CSTASanitizers, BadValuesAreReplacedAndGoodOnesPass) {
    SanitizerCounters() = {};
    ctimsgtest::TraceCapture capture;
    struct Case {
        const char* what;
        void (*check)(int32_t&);
        int32_t in, out;
    };
    const Case cases[] = {
        {"cause 0", SanitizeEventCause, 0, -1},         {"cause 62", SanitizeEventCause, 62, -1},
        {"cause 1000", SanitizeEventCause, 1000, -1},   {"cause 1067", SanitizeEventCause, 1067, -1},
        {"cause -2", SanitizeEventCause, -2, -1},       {"cause -1", SanitizeEventCause, -1, -1},
        {"cause 1", SanitizeEventCause, 1, 1},          {"cause 61", SanitizeEventCause, 61, 61},
        {"cause 1001", SanitizeEventCause, 1001, 1001}, {"cause 1066", SanitizeEventCause, 1066, 1066},
        {"state 7", SanitizeLocalConnectionState, 7, -1}, {"state -2", SanitizeLocalConnectionState, -2, -1},
        {"state -1", SanitizeLocalConnectionState, -1, -1}, {"state 0", SanitizeLocalConnectionState, 0, 0},
        {"state 6", SanitizeLocalConnectionState, 6, 6},  {"line type -1", SanitizeLineType, -1, 3},
        {"line type 12", SanitizeLineType, 12, 3},        {"line type 0", SanitizeLineType, 0, 0},
        {"line type 11", SanitizeLineType, 11, 11},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        int32_t v = k.in;
        k.check(v);
        EXPECT_EQ(k.out, v);
    }
    const std::string traced = capture.Take();
    EXPECT_EQ(1u, Count(traced, "*** Sanitize:Invalid EventCause 0, ignored ***"));
    EXPECT_EQ(1u, Count(traced, "Sanitize:Invalid EventCause"));
    EXPECT_EQ(1u, Count(traced, "*** Sanitize:Invalid LocalConnectionStateInfo 7, ignored ***"));
    EXPECT_EQ(1u, Count(traced, "Sanitize:Invalid LocalConnectionStateInfo"));
    EXPECT_EQ(1u, Count(traced, "*** SanitizeLineType:Invalid LineType -1 reported ***"));
    EXPECT_EQ(1u, Count(traced, "*** SanitizeLineType:Invalid LineType 12 reported ***"));
    EXPECT_EQ(2u, Count(traced, "SanitizeLineType"));
}

// Connection IDs and device IDs share one counter: of 2049 rejections, alternating between
// the two checks, the 1st, 1025th and 2049th are warned about.
TEST(CSTASanitizers, IdentifierRejectionsShareOneCounterWarnedEvery1024th) {
    SanitizerCounters() = {};
    std::vector<int> warned;
    for (int n = 1; n <= 2049; ++n) {
        ctimsgtest::TraceCapture capture;
        if (n % 2 == 1) {
            ConnectionID c = Conn(77, "5001", 2);
            SanitizeConnectionID(c);
            ASSERT_EQ(0u, c.deviceIDType);
            ASSERT_STREQ("", c.deviceID);
            ASSERT_EQ(77, c.callID);
        } else {
            int32_t type = 5;
            char device[65] = "6001";
            SanitizeDeviceID(type, device);
            ASSERT_EQ(0, type);
            ASSERT_STREQ("", device);
        }
        const std::string traced = capture.Take();
        if (!traced.empty()) {
            warned.push_back(n);
            EXPECT_EQ(n % 2 == 1 ? "*** Sanitize:Invalid connectionID devIDType 2, ignored <77.5001(?)> ***\n"
                                 : "*** Sanitize:Invalid connectionID devIDType 5, ignored <devID \"6001\"> ***\n",
                      traced);
        }
    }
    EXPECT_EQ((std::vector<int>{1, 1025, 2049}), warned);
    // Good identifiers pass untouched and are not counted.
    for (uint32_t type : {0u, 1u}) {
        ConnectionID c = Conn(5, "5001", type);
        SanitizeConnectionID(c);
        EXPECT_EQ(type, c.deviceIDType);
        EXPECT_STREQ("5001", c.deviceID);
    }
    for (int32_t type : {0, 1, -1}) {
        char device[65] = "6001";
        int32_t t = type;
        SanitizeDeviceID(t, device);
        EXPECT_EQ(type, t);
        EXPECT_STREQ("6001", device);
    }
    EXPECT_EQ(1u, SanitizerCounters().identifiers);
}

TEST(CSTACopies, DeviceIDsKeepOnlyTheTypesClientsKnow) {
    struct Case {
        int32_t type, status;
        uint16_t sentType;
        const char* sentID;  // null: no ID element
    };
    const Case cases[] = {{0, 0, 0, "6001"},  {70, 0, 70, "6001"}, {71, 0, 71, "6001"}, {75, 0, 75, "6001"},
                          {78, 0, 78, "6001"}, {77, 0, 0, "6001"},  {1, 0, 0, "6001"},   {76, 0, 0, "6001"},
                          {70, 1, 0xFFFF, nullptr}, {0, 2, 0xFFFF, nullptr}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.type) + "/" + std::to_string(k.status));
        CSTAExtendedDeviceID id;
        std::snprintf(id.deviceID, sizeof id.deviceID, "6001");
        id.deviceIDType = k.type;
        id.deviceIDStatus = k.status;
        CallDeliveredEventMSG msg(false, false);
        CopyDeviceIDToMSG(id, msg, elementid::AlertingDeviceType, elementid::AlertingDeviceID);
        EXPECT_EQ(k.sentType, msg.GetUSHORT(elementid::AlertingDeviceType));
        if (k.sentID != nullptr) {
            ASSERT_NE(nullptr, msg.GetSTRING(elementid::AlertingDeviceID));
            EXPECT_STREQ(k.sentID, msg.GetSTRING(elementid::AlertingDeviceID));
        } else {
            EXPECT_EQ(0, msg.Present(elementid::AlertingDeviceID));
        }
    }
    // A device ID of all 64 bytes (no NUL) is read no further, and cut to what the element
    // holds.
    CSTAExtendedDeviceID full;
    std::memset(full.deviceID, '9', sizeof full.deviceID);
    CallDeliveredEventMSG msg(false, false);
    CopyDeviceIDToMSG(full, msg, elementid::AlertingDeviceType, elementid::AlertingDeviceID);
    EXPECT_EQ(std::string(63, '9'), msg.GetSTRING(elementid::AlertingDeviceID));
}

TEST(CSTACopies, ABadConnectionTypeGoesAsTypeZeroWarnedOnTheFirstAndEvery512th) {
    SanitizerCounters() = {};
    for (uint32_t type : {0u, 1u}) {
        CallHeldEventMSG msg;
        CopyConnectionIDToMSG(Conn(7, "5001", type), msg, elementid::ConnectionDeviceIDType, elementid::ConnectionDeviceID);
        EXPECT_EQ(type, msg.GetUSHORT(elementid::ConnectionDeviceIDType));
        EXPECT_STREQ("5001", msg.GetSTRING(elementid::ConnectionDeviceID));
    }
    std::vector<int> warned;
    for (int n = 1; n <= 1025; ++n) {
        ctimsgtest::TraceCapture capture;
        CallHeldEventMSG msg;
        CopyConnectionIDToMSG(Conn(7, "5001", 2), msg, elementid::ConnectionDeviceIDType, elementid::ConnectionDeviceID);
        ASSERT_EQ(0u, msg.GetUSHORT(elementid::ConnectionDeviceIDType));
        ASSERT_STREQ("", msg.GetSTRING(elementid::ConnectionDeviceID));
        const std::string traced = capture.Take();
        if (!traced.empty()) {
            warned.push_back(n);
            EXPECT_EQ("*** Invalid ConnectionDeviceIDType provided for CALL_HELD_EVENT: CallID=7 IDtype=2 ID=5001 ***\n",
                      traced);
        }
    }
    EXPECT_EQ((std::vector<int>{1, 513, 1025}), warned);
}

// Transcribed from the design's tables, not from cstaeventtable.def.
TEST(CSTAEventTables, EveryEventTypeHasItsRowAndNoOtherTypeHasOne) {
    const std::vector<std::pair<int, const char*>> events = {
        {54, "ProcessCallClearedEvent"}, {55, "ProcessCallConferencedEvent"},
        {56, "ProcessConnectionClearedEvent"}, {57, "ProcessCallDeliveredEvent"},
        {58, "ProcessCallDivertedEvent"}, {59, "ProcessCallEstablishedEvent"},
        {60, "ProcessCallFailedEvent"}, {61, "ProcessCallHeldEvent"},
        {62, "ProcessCallReachedNetworkEvent"}, {63, "ProcessCallOriginatedEvent"},
        {64, "ProcessCallQueuedEvent"}, {65, "ProcessCallRetrievedEvent"},
        {66, "ProcessCallServiceInitiatedEvent"}, {67, "ProcessCallTransferredEvent"},
        {158, "ProcessCallAgentGreetingEvent"}, {205, "ProcessRecordingStartedEvent"},
        {206, "ProcessRecordingEndedEvent"}, {207, "ProcessRecordingFailedEvent"},
        {208, "ProcessRecordingTargetInfoEvent"}};
    std::set<int> listed;
    for (const auto& [type, handler] : events) {
        SCOPED_TRACE(type);
        listed.insert(type);
        const CSTAEventRoute* route = FindCSTAEventRoute(type);
        ASSERT_NE(nullptr, route);
        EXPECT_EQ(std::string("CTIApplication::") + handler, route->handler);
        EXPECT_STREQ(CSTAEventTypeName(type), route->name);
        EXPECT_NE(nullptr, route->function);
    }
    EXPECT_EQ(listed.size(), CSTAEventRoutes().size());
    for (int type = -1; type <= 300; ++type) {
        if (!listed.count(type)) {
            EXPECT_EQ(nullptr, FindCSTAEventRoute(type)) << type;
        }
    }

    const std::vector<std::pair<int, const char*>> privates = {{8, "ProcessCallDequeuedEvent"},
                                                               {13, "ProcessCallPartyUpdateInd"},
                                                               {14, nullptr},
                                                               {22, "ProcessRTPStartedInd"},
                                                               {23, "ProcessRTPStoppedInd"}};
    listed.clear();
    for (const auto& [type, handler] : privates) {
        SCOPED_TRACE(type);
        listed.insert(type);
        const CSTAPrivateRoute* route = FindCSTAPrivateRoute(type);
        ASSERT_NE(nullptr, route);
        if (handler != nullptr) {
            EXPECT_EQ(std::string("CTIApplication::") + handler, route->handler);
            EXPECT_NE(nullptr, route->function);
        } else {
            EXPECT_EQ(CSTAEventState::Unimplemented, route->state);
            EXPECT_EQ(nullptr, route->function);
        }
    }
    EXPECT_EQ(listed.size(), CSTAPrivateRoutes().size());
    for (int type = -1; type <= 300; ++type) {
        if (!listed.count(type)) {
            EXPECT_EQ(nullptr, FindCSTAPrivateRoute(type)) << type;
        }
    }
}

// The fixed part as the handlers read it, each field from its own offset.
TEST(CSTAMessageView, FixedPartFields) {
    CSTAMessageBuilder b = cstatest::Unsolicited(57);
    b.peripheralID = 5001;
    b.peripheralType = 0xFFFE;
    b.taskBegun = 1;
    b.callID = 0xFFFFFFF0;
    b.skillTargetID = 0xFFFFFFFF;
    b.taskID = {11, 12, 13};
    b.connectionDeviceIDType = 1;
    for (uint32_t i = 0; i < 44; ++i) b.area[i] = 100 + i;
    b.mrDomainID = 7;
    b.strings[1] = std::string("4001\0junk", 9);
    b.raw = Bytes(8, 1);
    b.opc = Bytes(4, 2);
    cstatest::Unpacked u(b);
    ASSERT_TRUE(u.ok);
    const CSTAMessage m(u.bytes.data(), *u.record);
    EXPECT_EQ(5001u, m.PeripheralID());
    EXPECT_EQ(-2, m.PeripheralType());
    EXPECT_EQ(1, m.TaskBegun());
    EXPECT_EQ(-16, m.CallID());
    EXPECT_EQ(-1, m.SkillTargetID());
    EXPECT_EQ(12u, m.TaskID(1));
    EXPECT_EQ(0u, m.TaskID(3));
    EXPECT_EQ(1, m.ConnectionDeviceIDType());
    EXPECT_EQ(100u, m.AreaWord(0));
    EXPECT_EQ(143u, m.AreaWord(43));
    EXPECT_EQ(0u, m.AreaWord(44));
    EXPECT_EQ(0u, m.AreaWord(-1));
    EXPECT_EQ(7u, m.MRDomainID());
    EXPECT_EQ("4001", m.MainDeviceID());
    EXPECT_EQ(8u, m.RawPrivateDataLength());
    EXPECT_EQ(4u, m.OPCPrivateDataLength());
    EXPECT_NE(nullptr, m.OPCBlockOrNull());
    b.opc.clear();
    cstatest::Unpacked none(b);
    EXPECT_EQ(nullptr, CSTAMessage(none.bytes.data(), *none.record).OPCBlockOrNull());
}

class CSTAIntakeTest : public CSTAAppTest {
protected:
    // The traces since the last call, in order.
    static std::string TakeTraces() {
        std::string all;
        for (const srvtest::Event& e : srvtest::Events::Take()) all += e.Text() + "\n";
        return all;
    }
};

// Classes, event types and private types without a handler are traced and dropped; the rows
// not served yet run the shared placeholder. No client hears of any of them.
TEST_F(CSTAIntakeTest, UnknownClassesTypesAndPrivateTypesAreTracedAndDropped) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    struct Case {
        const char* what;
        CSTAMessageBuilder message;
        const char* trace;
    };
    const auto withClass = [](uint16_t cls, uint16_t type) {
        CSTAMessageBuilder m = cstatest::Unsolicited(type);
        m.eventClass = cls;
        return m;
    };
    const auto noPrivateData = [] {
        CSTAMessageBuilder m = cstatest::PrivateEvent(8);
        m.opc.clear();
        return m;
    };
    const Case cases[] = {
        {"class 7", withClass(7, 57), "*** ProcessCSTAMessage: Unimplemented event class 7 ... ignored ***"},
        {"class 8", withClass(8, 22), "*** ProcessCSTAMessage: Unimplemented event class 8 ... ignored ***"},
        {"unsolicited 68", cstatest::Unsolicited(68), "*** ProcessCSTAUnsolicited: Unimplemented event type 68 ... ignored ***"},
        {"unsolicited 0", cstatest::Unsolicited(0), "*** ProcessCSTAUnsolicited: Unimplemented event type 0 ... ignored ***"},
        {"unsolicited 64", cstatest::Unsolicited(64), "CTIApplication::ProcessCSTAMessage - CSTA_QUEUED (64) is not served yet, dropped."},
        {"unsolicited 208", cstatest::Unsolicited(208), "CTIApplication::ProcessCSTAMessage - CSTA_RECORDING_TARGET_INFO_EVENT (208) is not served yet, dropped."},
        {"event report 94", withClass(6, 94), "*** ProcessCSTAEventReport: Unimplemented event type 94 ... ignored ***"},
        {"private 14", cstatest::PrivateEvent(14, Bytes(16, 0)), "*** ProcessCSTAPrivateEventMessages - CALL_PARTY_UPDATE_DONE_IND not yet implemented ... ignored ***"},
        {"private 99", cstatest::PrivateEvent(99), "*** ProcessCSTAPrivateEventMessages - Unimplemented message type 99 ... ignored ***"},
        {"private 8", cstatest::PrivateEvent(8, Bytes(10, 0)), "CTIApplication::ProcessCSTAMessage - private DEQUEUED_EVENT (10 bytes) is not served yet, dropped."},
        {"private 23", cstatest::PrivateEvent(23, Bytes(3, 0)), "CTIApplication::ProcessCSTAMessage - private RTP_STOPPED_IND (3 bytes) is not served yet, dropped."},
        {"private without type", noPrivateData(), "*** ProcessCSTAPrivateEventMessages - private data of 0 bytes without a message type ... ignored ***"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        (void)TakeTraces();
        Inject(k.message);
        ASSERT_TRUE(Drain());
        EXPECT_EQ(1u, Count(TakeTraces(), k.trace));
    }
    EXPECT_TRUE(Until(c, Fence()).empty());
}

// A record whose header does not carry the class and type of its dispatch path is dropped.
TEST_F(CSTAIntakeTest, AHeaderThatDoesNotMatchItsPathIsDropped) {
    (void)TakeTraces();
    {
        CSTAMessageBuilder m = cstatest::Unsolicited(57);
        m.eventClass = 5;
        cstatest::Unpacked u(m);
        ASSERT_TRUE(u.ok);
        app_->ProcessCSTAUnsolicited(CSTAMessage(u.bytes.data(), *u.record));
    }
    {
        CSTAMessageBuilder m = cstatest::PrivateEvent(8, Bytes(8, 0));
        m.eventType = 94;
        cstatest::Unpacked u(m);
        ASSERT_TRUE(u.ok);
        app_->ProcessCSTAPrivateEvent(CSTAMessage(u.bytes.data(), *u.record));
    }
    const std::string traced = TakeTraces();
    EXPECT_EQ(1u, Count(traced, "*** ProcessCSTAUnsolicited - Invalid ACSHeader received. Message ignored. ***"));
    EXPECT_EQ(1u, Count(traced, "*** ProcessCSTAPrivateEvent - Invalid ACSHeader received. Message ignored. ***"));
    EXPECT_EQ(0u, Count(traced, "not served yet"));
}

// The event report goes to the trace before the event is dispatched, while the call-state
// trace or TR_PROC_6 is on, and not otherwise.
TEST_F(CSTAIntakeTest, TheEventReportIsTracedWhileCallStateTraceOrTraceBitIsOn) {
    Bytes fields;
    opctest::AddConn(fields, 3001, "5001", 0);
    AddDevice(fields, "5001", 0);
    opctest::Add32(fields, 4);
    opctest::Add32(fields, 22);
    const std::string line = "CSTA_HELD - callID=3001.5001(s) holdingDev=5001  localConnectionInfo(4)=CS_HOLD cause=22";
    // The held handler runs after the report: the call is not known.
    const std::string served = "*** ProcessCallHeldEvent - Periph 5000 CallID ";
    struct Case {
        const char* what;
        uint32_t callState, traceMask;
        bool traced;
    };
    const uint32_t mask = EMSState().traceMask.load();
    for (const Case k : {Case{"off", 0, 0, false}, Case{"call-state trace", 1, 0, true},
                         Case{"TR_PROC_6", 0, tracebit::TR_PROC_6, true}}) {
        SCOPED_TRACE(k.what);
        app_->CallstateTrace = k.callState;
        EMSState().traceMask.store(k.traceMask);
        (void)TakeTraces();
        Inject(cstatest::Unsolicited(61, fields));
        ASSERT_TRUE(Drain());
        const std::string traced = TakeTraces();
        EXPECT_EQ(k.traced ? 1u : 0u, Count(traced, line));
        ASSERT_EQ(1u, Count(traced, served));
        if (k.traced) {
            EXPECT_LT(traced.find(line), traced.find(served));
        }
    }
    app_->CallstateTrace = 0;
    EMSState().traceMask.store(mask);
}

// Messages whose stated lengths do not fit, ECC blocks among them, are dropped before anything
// reads them (each is handed over in a buffer of its exact size, ASan watching); the record of
// the request a lying confirmation names stays, and the good message after each is answered.
TEST_F(CSTAIntakeTest, LyingMessagesAreDroppedWhileTheNextOneIsAnswered) {
    Client c(Port());
    const int32_t session = Open(c, "uii-a");
    ASSERT_GT(session, 0);
    const CSTAMessageBuilder good = cstatest::UniversalFailure(0x01000700, 0x70, "uii-a", 13, 99);
    struct Lie {
        const char* what;
        std::function<Bytes()> make;
    };
    const auto edit = [&](std::function<void(CSTAMessageBuilder&)> change) {
        return [&good, change] {
            CSTAMessageBuilder m = good;
            change(m);
            return m.Encode();
        };
    };
    const Lie lies[] = {
        {"shorter than the fixed part", [&] { Bytes m = good.Encode(); m.resize(243); return m; }},
        {"empty", [] { return Bytes{}; }},
        {"body above 1304", edit([](CSTAMessageBuilder& m) { m.body.resize(1305, 0); })},
        {"body beyond the message", edit([](CSTAMessageBuilder& m) { m.bodyLength = 1000; })},
        {"first private data above 990", edit([](CSTAMessageBuilder& m) { m.raw.resize(991, 0); })},
        {"first private data beyond the message", edit([](CSTAMessageBuilder& m) { m.rawLength = 64; })},
        {"second private data above 2872", edit([](CSTAMessageBuilder& m) { m.opc.resize(2873, 0); })},
        {"second private data beyond the message", edit([](CSTAMessageBuilder& m) { m.opcLength = 8; })},
        {"a string past the end", [&] {
             // String 6 (after "uii-a" and four empty strings) states 65535 characters.
             Bytes m = good.Encode();
             plat::StoreLE16(m.data() + 244 + 8 + 4 * 4, 0xFFFF);
             return m;
         }},
        {"ECC block above 2000", edit([](CSTAMessageBuilder& m) { m.ecc.resize(2001, 1); })},
        {"ECC length of 4 GB", edit([](CSTAMessageBuilder& m) { m.eccLength = 0xFFFFFFFF; })},
        {"ECC block past the end", edit([](CSTAMessageBuilder& m) { m.ecc.resize(12, 1); m.eccLength = 1999; })},
        {"cut in the ECC block", [&] {
             CSTAMessageBuilder m = good;
             m.ecc.resize(40, 1);
             Bytes b = m.Encode();
             b.resize(b.size() - m.body.size() - m.opc.size() - 6 - 4 - 20);
             return b;
         }},
        {"cut by one byte", [&] { Bytes m = good.Encode(); m.pop_back(); return m; }},
    };
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.what);
        (void)srvtest::Events::Take();
        OPCReq::ClearAll();
        Outstanding(session, 0x70, 0x01000700);
        InjectPayload(cstatest::kCSTAMessageType, [&] {
            Bytes p;
            opctest::Add32(p, 0);
            const Bytes m = lie.make();
            p.insert(p.end(), m.begin(), m.end());
            return p;
        }());
        ASSERT_TRUE(Drain());
        EXPECT_EQ(1u, Traced("CTI_CSTA_MESSAGE of"));
        EXPECT_EQ(1, OPCReq::CountLive());
        Inject(good);
        auto got = Until(c, Fence());
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(35u, got[0].type);
        EXPECT_EQ(0x70u, got[0].msg->GetUINT(elementid::InvokeID));
        EXPECT_EQ(0, OPCReq::CountLive());
    }
}

// The common frame over a call of the model and an ALL_EVENTS session: device and call
// look-ups (with the any-device fallback), the state check, the event's common fields, the
// distribution with the call reported first, and the last event.
TEST_F(CSTAIntakeTest, TheCallEventFrameRunsTheSharedSteps) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    Call* call = Call::Alloc(5000, 3001, 0, "5001", 30, 1, 0, 0, 0);
    (void)srvtest::Events::Take();

    const auto held = [](uint32_t callID, const std::string& mainDevice) {
        Bytes fields;
        opctest::AddConn(fields, callID, mainDevice, 0);
        AddDevice(fields, "5001", 0);
        opctest::Add32(fields, 3);
        opctest::Add32(fields, 22);
        CSTAMessageBuilder m = cstatest::Unsolicited(61, fields);
        m.callID = callID;
        m.strings[1] = mainDevice;
        return m;
    };
    {
        cstatest::Unpacked u(held(3001, "5001"));
        ASSERT_TRUE(u.ok);
        const CSTAMessage message(u.bytes.data(), *u.record);
        CallEventFrame frame(*app_, message, "ProcessCallHeldEvent");
        ConnectionID connection = ConnectionID::Read(u.record->EventBody() + cstabody::kMain);
        int32_t lcs = 3, cause = 22;
        CallEventFrame::Sanitize(&connection, &lcs, &cause);
        CTICSTADevice* device = frame.FindDevice(ReadExtendedDeviceID(u.record->EventBody() + cstabody::kSecond), "held");
        ASSERT_NE(nullptr, device);
        EXPECT_EQ("5001", device->m_DeviceID);
        ASSERT_EQ(call, frame.FindCall(false, "held: periph %d no call %s"));
        frame.CheckState(&lcs, 4, "held: periph %d call %s state %s");
        EXPECT_EQ(4, lcs);
        auto msg = frame.NewEvent<CallHeldEventMSG>(connection);
        ASSERT_NE(nullptr, msg);
        msg->SetUSHORT(elementid::HoldingDeviceType, 0);
        msg->SetUSHORT(elementid::LocalConnectionState, static_cast<uint16_t>(lcs));
        msg->SetUSHORT(elementid::EventCause, static_cast<uint16_t>(cause));
        EXPECT_EQ(1, frame.Distribute(*msg));
        frame.Finish("Held");
        EXPECT_EQ("Held", call->LastEvent());
    }
    const std::string traced = srvtest::Events::CountText(srvtest::Events::Take(), "held: periph 5000 call 3001.5001(s) state CS_CONNECT") == 1 ? "ok" : "missing";
    EXPECT_EQ("ok", traced);
    auto got = Until(c, Fence());
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(static_cast<uint32_t>(BEGIN_CALL_EVENT), got[0].type);
    EXPECT_EQ(static_cast<uint32_t>(CALL_HELD_EVENT), got[1].type);
    BaseMSG& event = *got[1].msg;
    EXPECT_EQ(0u, event.GetUINT(elementid::MonitorID));
    EXPECT_EQ(5000u, event.GetUINT(elementid::CTIPeripheralID));
    EXPECT_EQ(ConvertPeripheralType(30), event.GetUSHORT(elementid::PeripheralType));
    EXPECT_EQ(0u, event.GetUSHORT(elementid::ConnectionDeviceIDType));
    EXPECT_STREQ("5001", event.GetSTRING(elementid::ConnectionDeviceID));
    EXPECT_EQ(3001u, event.GetUINT(elementid::ConnectionCallID));
    EXPECT_EQ(4u, event.GetUSHORT(elementid::LocalConnectionState));

    // Where call IDs are not unique (internal peripheral type 18) the call is found by its
    // device: another main device is found only by the fallback; another CallID not at all.
    Call* shared = Call::Alloc(5000, 3002, 0, "5002", 18, 1, 0, 0, 0);
    for (const auto& [callID, fallback, found] :
         {std::tuple{3002u, false, false}, std::tuple{3002u, true, true}, std::tuple{4242u, true, false}}) {
        CSTAMessageBuilder m = held(callID, "9999");
        m.peripheralType = 18;
        cstatest::Unpacked u(m);
        const CSTAMessage message(u.bytes.data(), *u.record);
        CallEventFrame frame(*app_, message, "ProcessCallHeldEvent");
        EXPECT_EQ(found ? shared : nullptr, frame.FindCall(fallback, "held: periph %d no call %s"));
    }
    EXPECT_EQ(2u, srvtest::Events::CountText(srvtest::Events::Take(), "held: periph 5000 no call "));
    // Without the server-active flag no event is built; an invalid one is not sent.
    {
        cstatest::Unpacked u(held(3001, "5001"));
        const CSTAMessage message(u.bytes.data(), *u.record);
        CallEventFrame frame(*app_, message, "ProcessCallHeldEvent");
        ASSERT_EQ(call, frame.FindCall(false, "held: periph %d no call %s"));
        MDSIO::SetServerActive(0);
        EXPECT_EQ(nullptr, frame.NewEvent<CallHeldEventMSG>(Conn(3001, "5001", 0)));
        MDSIO::SetServerActive(1);
        auto msg = frame.NewEvent<CallHeldEventMSG>(Conn(3001, "5001", 0));
        EXPECT_EQ(0, frame.Distribute(*msg));
    }
    EXPECT_TRUE(Until(c, Fence()).empty());
}

// The model asks the server's port whether the call-state trace is on: the application's
// switch, off at start.
class CallStateSwitchTest : public srvtest::ServerTest {};
TEST_F(CallStateSwitchTest, TheModelReadsTheApplicationsSwitch) {
    EXPECT_FALSE(model::Server().CallStateTraceOn());  // no application
    apptest::SetSessionLimits(*registry_, 100);
    server_->CreateApplication();
    CTIApplication* app = server_->GetApplication();
    ASSERT_NE(nullptr, app);
    EXPECT_EQ(0u, app->CallstateTrace.load());
    EXPECT_FALSE(model::Server().CallStateTraceOn());
    app->CallstateTrace = 1;
    EXPECT_TRUE(model::Server().CallStateTraceOn());
    app->CallstateTrace = 0;
    EXPECT_FALSE(model::Server().CallStateTraceOn());
    server_->DestroyApplication();
}

}  // namespace
