// The message frame: golden byte vectors across protocol versions, the encoder's refusals
// and masks, the size estimate, the trace text and line wrapping.
#include <gtest/gtest.h>

#include "tests/ctimsg/trace_capture.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/elements.h"
#include "platform/byteorder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Test-local messages, built from elements the way the catalogue builds its classes.
class TestMSG : public BaseMSG {
public:
    TestMSG(uint32_t type, uint32_t minVersion) : BaseMSG(minVersion) { m_MsgType = type; }
    void Link(std::initializer_list<BaseElement*> elements) {
        BaseElement* prev = nullptr;
        for (BaseElement* e : elements) {
            if (prev) {
                prev->SetNext(e);
            } else {
                m_Chain = e;
            }
            prev = e;
        }
        m_Hints[0] = m_Chain;
    }
    void MarkValid(bool valid = true) { m_Valid = valid; }
    using BaseMSG::PresentEncodedSize;

    Bytes Wire(uint32_t version, uint32_t callVariableMask = ALL_CALL_VARIABLES,
               const ECCSelection* selection = nullptr, uint32_t serviceMask = 0,
               int room = -1) const {
        if (room < 0) room = MaxEncodedSize(version) + CTI_HEADER_SIZE;
        Bytes buf(static_cast<size_t>(room) + 16, 0xEE);
        int n = Encode(buf.data(), room, version, callVariableMask, selection, serviceMask);
        if (n < 0) return {0xDE, 0xAD};
        buf.resize(static_cast<size_t>(n));
        return buf;
    }
};

struct HeartbeatReq : TestMSG {
    InvokeID invokeId{true, true};
    HeartbeatReq() : TestMSG(5, 2) { Link({&invokeId}); }
};

struct FailureConf : TestMSG {
    InvokeID invokeId{true, true};
    Status status{true, true};
    CTIText text{false, true};
    WEXACILClientID clientId{false, true};
    FailureConf() : TestMSG(1, 2) {
        text.SetFromVersion(10);
        clientId.SetFromVersion(11);
        Link({&invokeId, &status, &text, &clientId});
    }
};

struct CallDataMsg : TestMSG {
    CTIPeripheralID peripheral{true, true};
    NumNamedVariables numVariables{false, true};
    NumNamedArrays numArrays{false, true};
    CallVariable1 cv1{false, true};
    ExpandedCallContxt ecc{false, true};
    CallDataMsg() : TestMSG(25, 2) { Link({&peripheral, &numVariables, &numArrays, &cv1, &ecc}); }
};

struct DataStructureMsg : TestMSG {
    InvokeID invokeId{true, true};
    QueryDeviceData data{false, true};
    DataStructureMsg() : TestMSG(79, 2) { Link({&invokeId, &data}); }
};

struct MasksMsg : TestMSG {
    InvokeID invokeId{true, true};
    ServiceMask service{true, true};
    CallMsgMask calls{true, true};
    NumSkillGroups skillGroups{true, true};
    TaskMsgMask tasks{true, true};
    MasksMsg() : TestMSG(4, 2) { Link({&invokeId, &service, &calls, &skillGroups, &tasks}); }
};

struct REMaskMsg : TestMSG {
    InvokeID invokeId{true, true};
    REMaskArray masks{false, true};
    REMaskMsg() : TestMSG(20, 2) {
        Link({&invokeId, &masks});
        masks.SetNext(nullptr);
    }
};

Bytes Frame(uint32_t type, Bytes body) {
    Bytes out(8 + body.size());
    plat::StoreBE32(out.data(), static_cast<uint32_t>(body.size()));
    plat::StoreBE32(out.data() + 4, type);
    std::copy(body.begin(), body.end(), out.begin() + 8);
    return out;
}

ECCSelection Select(std::initializer_list<const char*> names) {
    ECCSelection s;
    for (const char* n : names) s.push_back(ECCExpandedCallVariable{1, n, 40, 0, 0});
    return s;
}

TEST(GoldenFrames, HeartbeatAndFailureConfirmation) {
    HeartbeatReq hb;
    hb.invokeId.Set(0x2A);
    hb.MarkValid();
    for (uint32_t v : {2u, 24u}) EXPECT_EQ(hb.Wire(v), Frame(5, {0, 0, 0, 0x2A})) << v;

    FailureConf fc;
    fc.invokeId.Set(7);
    fc.status.Set(12);
    fc.text.Set("no");
    fc.MarkValid();
    EXPECT_EQ(fc.Wire(9), Frame(1, {0, 0, 0, 7, 0, 0, 0, 12}));
    EXPECT_EQ(fc.Wire(10), Frame(1, {0, 0, 0, 7, 0, 0, 0, 12, 0x07, 0x03, 'n', 'o', 0}));
    EXPECT_EQ(fc.Wire(20), Frame(1, {0, 0, 0, 7, 0, 0, 0, 12, 0, 0x07, 0, 0x03, 'n', 'o', 0}));
}

TEST(GoldenFrames, CallContextWithAndWithoutSelection) {
    CallDataMsg m;
    m.peripheral.Set(5000);
    m.numVariables.Set(2);
    m.numArrays.Set(1);
    m.cv1.Set("c1");
    ASSERT_EQ(m.ecc.Set("a", "x"), 0);
    ASSERT_EQ(m.ecc.Set("b", "yz"), 0);
    ASSERT_EQ(m.ecc.Set("c", 1, "q"), 0);
    m.MarkValid();

    // Below version 6 neither the context nor its counts exist.
    EXPECT_EQ(m.Wire(5), Frame(25, {0, 0, 0x13, 0x88, 0x0D, 0x03, 'c', '1', 0}));
    EXPECT_EQ(m.Wire(9), Frame(25, {0, 0, 0x13, 0x88, 0, 2, 0, 1,                    //
                                    0x0D, 0x03, 'c', '1', 0,                         //
                                    0x52, 0x04, 'a', 0, 'x', 0,                      //
                                    0x52, 0x05, 'b', 0, 'y', 'z', 0,                 //
                                    0x53, 0x05, 0x01, 'c', 0, 'q', 0}));
    ECCSelection bc = Select({"b", "c"});
    EXPECT_EQ(m.Wire(9, 0, &bc), Frame(25, {0, 0, 0x13, 0x88, 0, 1, 0, 1,            //
                                            0x52, 0x05, 'b', 0, 'y', 'z', 0,         //
                                            0x53, 0x05, 0x01, 'c', 0, 'q', 0}));
    EXPECT_EQ(m.Wire(20), Frame(25, {0, 0, 0x13, 0x88, 0, 2, 0, 1,                   //
                                     0, 0x0D, 0, 0x03, 'c', '1', 0,                  //
                                     0, 0x52, 0, 0x04, 'a', 0, 'x', 0,               //
                                     0, 0x52, 0, 0x05, 'b', 0, 'y', 'z', 0,          //
                                     0, 0x53, 0, 0x05, 0x01, 'c', 0, 'q', 0}));
    ECCSelection none;
    EXPECT_EQ(m.Wire(24, ALL_CALL_VARIABLES, &none),
              Frame(25, {0, 0, 0x13, 0x88, 0, 0, 0, 0, 0, 0x0D, 0, 0x03, 'c', '1', 0}));
    // The counts were sent recounted, never changed in the message.
    EXPECT_EQ(m.numVariables.Get(), 2);
    EXPECT_EQ(m.numArrays.Get(), 1);
}

TEST(GoldenFrames, DataStructureLengthIsTwoBytesBelowVersion20) {
    DataStructureMsg m;
    m.invokeId.Set(1);
    const uint8_t bytes[] = {0xAA, 0xBB, 0xCC};
    m.data.Set(bytes, 3);
    m.MarkValid();
    EXPECT_EQ(m.Wire(19), Frame(79, {0, 0, 0, 1, 0x4A, 0x00, 0x03, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(m.Wire(20), Frame(79, {0, 0, 0, 1, 0x00, 0x4A, 0x00, 0x03, 0xAA, 0xBB, 0xCC}));
}

TEST(GoldenFrames, MasksCutAndClampedByVersion) {
    MasksMsg m;
    m.invokeId.Set(9);
    m.service.Set(0xFF);
    m.calls.Set(0xFFFFFFFF);
    m.skillGroups.Set(30);
    m.tasks.Set(0xFFF);
    m.MarkValid();
    EXPECT_EQ(m.Wire(2), Frame(4, {0, 0, 0, 9, 0, 0, 0, 0x13, 0, 0x01, 0xFF, 0xFF}));
    EXPECT_EQ(m.Wire(5), Frame(4, {0, 0, 0, 9, 0, 0, 0, 0x7F, 0, 0x07, 0xFF, 0xFF, 0, 20}));
    EXPECT_EQ(m.Wire(9), Frame(4, {0, 0, 0, 9, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 20,
                                   0, 0, 0x07, 0xFF}));
    // The session served next, of a newer version, gets the value the event holds.
    EXPECT_EQ(m.Wire(24), Frame(4, {0, 0, 0, 9, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 30,
                                    0, 0, 0x07, 0xFF}));
}

TEST(GoldenFrames, RequestEnablementMasksOnlyWithTheServiceBit) {
    REMaskMsg m;
    m.invokeId.Set(1);
    m.masks.AddREMask()->Set("12", "34", 5);
    m.MarkValid();
    EXPECT_EQ(m.Wire(20), Frame(20, {0, 0, 0, 1}));
    EXPECT_EQ(m.Wire(20, 0, nullptr, SERVICE_MASK_REMASK_BIT),
              Frame(20, {0, 0, 0, 1,                         //
                         0, 0xEC, 0, 2, 0, 1,                //
                         0, 0xED, 0, 3, '1', '2', 0,         //
                         0, 0xEE, 0, 3, '3', '4', 0,         //
                         0, 0xEF, 0, 4, 0, 0, 0, 5,          //
                         0, 0xF0, 0, 1, 0,                   //
                         0, 0xF1, 0, 4, 0, 0, 0, 0,          //
                         0, 0xF2, 0, 1, 0}));
    EXPECT_EQ(m.Wire(19, 0, nullptr, SERVICE_MASK_REMASK_BIT),
              Frame(20, {0, 0, 0, 1, 0xEC, 2, 0, 1, 0xED, 3, '1', '2', 0, 0xEE, 3, '3', '4', 0,
                         0xEF, 4, 0, 0, 0, 5, 0xF0, 1, 0, 0xF1, 4, 0, 0, 0, 0, 0xF2, 1, 0}));
    EXPECT_EQ(m.Wire(15, 0, nullptr, SERVICE_MASK_REMASK_BIT), Frame(20, {0, 0, 0, 1}));
}

// Encode and validation pass over entries that hold nothing; an entry set past the count
// (entries 1 and 2 left empty) is still written and still checked.
TEST(GoldenFrames, RequestEnablementEntriesPastTheCount) {
    REMaskMsg m;
    m.invokeId.Set(1);
    m.masks.AddREMask()->Set("12", "34", 5);
    m.masks.Entry(3).m_CallId.Set(7);
    m.MarkValid();
    EXPECT_EQ(m.Wire(20, 0, nullptr, SERVICE_MASK_REMASK_BIT),
              Frame(20, {0, 0, 0, 1,                         //
                         0, 0xEC, 0, 2, 0, 1,                //
                         0, 0xED, 0, 3, '1', '2', 0,         //
                         0, 0xEE, 0, 3, '3', '4', 0,         //
                         0, 0xEF, 0, 4, 0, 0, 0, 5,          //
                         0, 0xF0, 0, 1, 0,                   //
                         0, 0xF1, 0, 4, 0, 0, 0, 0,          //
                         0, 0xF2, 0, 1, 0,                   //
                         0, 0xEF, 0, 4, 0, 0, 0, 7}));
    EXPECT_EQ(m.Validate(20), 0);

    m.masks.Entry(5).m_Instrument.Set(std::string(70, 'x'));
    EXPECT_EQ(m.Validate(20), 23);
    EXPECT_EQ(m.GetFailingElement(), 650u);
    EXPECT_EQ(m.GetFailingOccurrence(), 5u);

    // A count of three makes the empty entries 1 and 2 required: the first of them fails.
    m.masks.Set(3);
    EXPECT_EQ(m.Validate(20), 6);
    EXPECT_EQ(m.GetFailingElement(), 650u);
    EXPECT_EQ(m.GetFailingOccurrence(), 1u);
}

TEST(Encode, RefusalsAndTheBareHeader) {
    TestMSG empty(5, 6);
    Bytes buf(16, 0xEE);
    ctimsgtest::TraceCapture cap;
    EXPECT_EQ(empty.Encode(buf.data(), 8, 24, 0, nullptr, 0), -1);
    empty.MarkValid();
    EXPECT_EQ(empty.Encode(buf.data(), 8, 5, 0, nullptr, 0), -1);
    EXPECT_EQ(empty.Encode(buf.data(), 7, 24, 0, nullptr, 0), -1);
    std::string trace = cap.Take();
    EXPECT_NE(trace.find("HEARTBEAT_REQ Message not valid\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("HEARTBEAT_REQ Message not valid in version 5"), std::string::npos);
    EXPECT_NE(trace.find("No room for 8 byte message header, 7 bytes left."), std::string::npos);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(empty.Encode(buf.data(), 8, 24, 0, nullptr, 0), 8);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 8), Frame(5, {}));
    EXPECT_TRUE(empty.IsValid());

    FailureConf fc;
    fc.invokeId.Set(1);
    fc.status.Set(2);
    fc.text.Set("abc");
    fc.MarkValid();
    EXPECT_EQ(fc.Wire(10, 0, nullptr, 0, 8 + 8 + 5), (Bytes{0xDE, 0xAD}));
    EXPECT_EQ(fc.Wire(10, 0, nullptr, 0, 8 + 8 + 6).size(), 22u);
}

TEST(Encode, CallVariableMaskAndMissingContext) {
    struct CallVars : TestMSG {
        CallVariable1 cv1{false, true};
        CallVariable2 cv2{false, true};
        CallVariable10 cv10{false, true};
        NumNamedVariables count{false, true};
        CallVars() : TestMSG(25, 2) { Link({&count, &cv1, &cv2, &cv10}); }
    } m;
    m.cv1.Set("1");
    m.cv2.Set("2");
    m.cv10.Set("X");
    m.count.Set(3);
    m.MarkValid();
    EXPECT_EQ(m.Wire(9, 0), Frame(25, {0, 3}));
    EXPECT_EQ(m.Wire(9, 0x202), Frame(25, {0, 3, 14, 2, '2', 0, 22, 2, 'X', 0}));
    EXPECT_EQ(m.Wire(9, 1023).size(), 8u + 2u + 12u);
    ECCSelection sel = Select({"a"});
    ctimsgtest::TraceCapture cap;
    EXPECT_EQ(m.Wire(9, 0, &sel), Frame(25, {0, 3}));
    EXPECT_NE(cap.Take().find(
                  "Cannot adjust NumNamedVariables for ECCVariableRegistration,ECCElement not "
                  "found in CALL_DATA_UPDATE_EVENT"),
              std::string::npos);
}

TEST(EncodedSize, SumOfMaximaAndHeaders) {
    struct Five : TestMSG {
        UINTElement f1{4, true, true};
        UINTElement f2{3, true, true};
        UINTElement l1{482, false, true};
        UINTElement l2{610, false, true};
        UINTElement l3{517, false, true};
        Five() : TestMSG(25, 2) { Link({&f1, &f2, &l1, &l2, &l3}); }
    } m;
    EXPECT_EQ(m.MaxEncodedSize(19), 26);
    EXPECT_EQ(m.MaxEncodedSize(20), 32);
    EXPECT_EQ(m.PresentEncodedSize(19, false), 0);
    m.f1.Set(1);
    m.l1.Set(1);
    EXPECT_EQ(m.PresentEncodedSize(19, false), 4 + 4 + 2);
    EXPECT_EQ(m.PresentEncodedSize(19, true), 4 + 4 + 4);
    EXPECT_EQ(m.PresentEncodedSize(20, false), 4 + 4 + 4);
}

// From version 20 every variable carries a 4-byte header: a full context must still fit the
// buffer its message asks for, or the event is lost.
TEST(EncodedSize, FullContextFitsFromVersion20) {
    CallDataMsg m;
    m.peripheral.Set(1);
    int added = 0;
    for (int i = 0; i < 1000 && m.ecc.Set("v" + std::to_string(i), "") == 0; ++i) ++added;
    ASSERT_GT(added, 300);
    EXPECT_GE(m.ecc.GetTotalBytes(), 2490);
    m.MarkValid();
    for (uint32_t v : {19u, 20u, 24u}) {
        Bytes wire = m.Wire(v);
        ASSERT_NE(wire, (Bytes{0xDE, 0xAD})) << v;
        EXPECT_LE(static_cast<int>(wire.size()), m.MaxEncodedSize(v) + CTI_HEADER_SIZE);
    }
}

// Below version 20 the data structure's length is still 2 bytes: a full field must fit the
// buffer the estimate sizes.
TEST(EncodedSize, FullDataStructureFitsInEveryVersion) {
    DataStructureMsg m;
    m.invokeId.Set(1);
    std::vector<uint8_t> bytes(892, 0x5A);
    m.data.Set(bytes.data(), static_cast<int>(bytes.size()));
    m.MarkValid();
    EXPECT_EQ(m.MaxEncodedSize(19), 4 + 892 + 3);
    EXPECT_EQ(m.MaxEncodedSize(20), 4 + 892 + 4);
    for (uint32_t v : {2u, 19u, 20u, 24u}) {
        Bytes wire = m.Wire(v);
        ASSERT_NE(wire, (Bytes{0xDE, 0xAD})) << v;
        EXPECT_EQ(static_cast<int>(wire.size()), m.MaxEncodedSize(v) + CTI_HEADER_SIZE) << v;
    }
}

TEST(VersionLimits, Table) {
    struct Case {
        uint32_t version, frame, type, tag;
    };
    for (auto c : {Case{2, 2061, 31, 47}, Case{3, 4329, 92, 75}, Case{4, 12500, 282, 311},
                   Case{9, 6843, 210, 122}, Case{14, 8620, 247, 234}, Case{19, 12000, 282, 255},
                   Case{20, 12500, 282, 311}, Case{24, 12500, 282, 311},
                   Case{25, 12500, 282, 311}, Case{0, 12500, 282, 311}}) {
        const CTIVersionLimits& l = GetVersionLimits(c.version);
        EXPECT_EQ(l.maxFrameBytes, c.frame) << c.version;
        EXPECT_EQ(l.maxMsgType, c.type) << c.version;
        EXPECT_EQ(l.maxTag, c.tag) << c.version;
    }
}

TEST(MessageTrace, TypeNameAndTheFieldsOfTheVersion) {
    HeartbeatReq hb;
    hb.invokeId.Set(0x2A);
    std::string t;
    hb.Trace(t, 24);
    EXPECT_EQ(t, "MsgType:HEARTBEAT_REQ (InvokeID:0x2a )");

    FailureConf fc;
    fc.invokeId.Set(1);
    fc.status.Set(0);
    fc.text.Set("hi");
    t = "prefix ";
    fc.Trace(t, 9);
    EXPECT_EQ(t, "prefix MsgType:FAILURE_CONF (InvokeID:0x1 Status:E_CTI_NO_ERROR )");
    t.clear();
    fc.Trace(t, 10);
    EXPECT_EQ(t, "MsgType:FAILURE_CONF (InvokeID:0x1 Status:E_CTI_NO_ERROR Text:\"hi\" )");

    TestMSG empty(300, 2);
    t.clear();
    empty.Trace(t, 24);
    EXPECT_EQ(t, "MsgType:*INVALID* ()");
}

TEST(MessageTrace, ShortFormNamesOnlyItsFields) {
    struct Stats : TestMSG {
        InvokeID invokeId{true, true};
        CTIPeripheralID peripheral{true, true};
        IdleTimeout other{true, true};
        AgentID agent{false, true};
        Stats() : TestMSG(113, 2) { Link({&invokeId, &peripheral, &other, &agent}); }
        void Summary(std::string& text, uint32_t version) {
            static const uint32_t ids[] = {1, 4, 436};
            agent.SetFromVersion(version == 5 ? 6 : 2);
            TraceFields(text, version, ids, 3);
        }
    } m;
    m.invokeId.Set(3);
    m.peripheral.Set(0xFFFFFFFF);
    m.other.Set(99);
    m.agent.Set("7");
    std::string t;
    m.Summary(t, 24);
    EXPECT_EQ(t, std::string("MsgType:") + MsgTypeName(113) +
                     " (InvokeID:0x3 PeripheralID:N/A AgentID:\"7\" )");
    t.clear();
    m.Summary(t, 5);
    EXPECT_EQ(t, std::string("MsgType:") + MsgTypeName(113) + " (InvokeID:0x3 PeripheralID:N/A )");
}

// The session layer asks the statistics confirmations for their short form by name.
TEST(MessageTrace, StatisticsConfirmationsHaveShortForms) {
    struct Stats : TestMSG {
        InvokeID invokeId{true, true};
        CTIPeripheralID peripheral{true, true};
        IdleTimeout other{true, true};
        SkillGroupNumber number{false, true};
        SkillGroupID id{false, true};
        AgentID agent{false, true};
        explicit Stats(uint32_t type) : TestMSG(type, 2) {
            Link({&invokeId, &peripheral, &other, &number, &id, &agent});
            agent.SetFromVersion(6);
            invokeId.Set(3);
            peripheral.Set(5000);
            other.Set(99);
            number.Set(12);
            id.Set(0xFFFFFFFF);
            agent.Set("7");
        }
    };
    struct Case {
        uint32_t type, version;
        const char* text;
    };
    for (const Case& c : {
             Case{113, 24, "MsgType:QUERY_AGENT_STATISTICS_CONF (InvokeID:0x3 PeripheralID:5000 "
                           "AgentID:\"7\" )"},
             Case{113, 5, "MsgType:QUERY_AGENT_STATISTICS_CONF (InvokeID:0x3 PeripheralID:5000 )"},
             Case{115, 24, "MsgType:QUERY_SKILL_GROUP_STATISTICS_CONF (InvokeID:0x3 "
                           "PeripheralID:5000 SkillGroupNumber:12 SkillGroupID:N/A )"},
             // Without a short form of its own a type traces in full.
             Case{25, 24, "MsgType:CALL_DATA_UPDATE_EVENT (InvokeID:0x3 PeripheralID:5000 "
                          "IdleTimeout:99 SkillGroupNumber:12 SkillGroupID:N/A AgentID:\"7\" )"},
         }) {
        Stats m(c.type);
        std::string t;
        m.TraceSummary(t, c.version);
        EXPECT_EQ(t, c.text) << c.type << " v" << c.version;
    }
}

TEST(WrapTextTest, LinesWordsAndIndent) {
    std::string rest(50, 'a');
    EXPECT_EQ(WrapText(rest, 98, 8), std::string(50, 'a'));
    EXPECT_EQ(rest, "");

    std::string words;
    while (words.size() < 200) words += "abcdefgh ";
    words.resize(200);
    rest = words;
    std::vector<std::string> lines;
    while (!rest.empty()) lines.push_back(WrapText(rest, 98, 8));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), 90u);  // ten 9-character words; an eleventh would pass 98
    EXPECT_EQ(lines[0].back(), ' ');
    EXPECT_EQ(lines[1].rfind("        abcdefgh ", 0), 0u);
    for (const auto& l : lines) EXPECT_LE(l.size(), 98u);

    // A word longer than the line is cut at the width when more words follow it.
    rest = std::string(150, 'x') + " tail";
    EXPECT_EQ(WrapText(rest, 98, 8), std::string(98, 'x'));
    EXPECT_EQ(rest, std::string(8, ' ') + std::string(52, 'x') + " tail");
    EXPECT_EQ(WrapText(rest, 98, 8), std::string(8, ' ') + std::string(52, 'x') + " tail");
    EXPECT_EQ(rest, "");
    // The last word goes whole onto a line that holds nothing else.
    rest = std::string(150, 'y');
    EXPECT_EQ(WrapText(rest, 98, 8), std::string(150, 'y'));
    EXPECT_EQ(rest, "");
}

}  // namespace
