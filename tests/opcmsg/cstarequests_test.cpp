// The CSTA request classes: fresh bytes of every class, setters by text kind, and traces.
#include "opcmsg/cstarequests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ctimsg/expandedcallcontext.h"
#include "opcmsg/cstawire.h"
#include "platform/byteorder.h"
#include "tests/opcmsg/opc_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Patch {
    uint16_t offset;
    Bytes bytes;
};

const Bytes kNone = {0xFF, 0xFF, 0xFF, 0xFF};   // a reset connection's callID, a -1 word
const Bytes kMinus1x16 = {0xFF, 0xFF};
const Bytes kMax31 = {0xFF, 0xFF, 0xFF, 0x7F};  // 0x7FFFFFFF

// What a fresh request must hold, written down apart from the class tables: every byte of the
// 356-byte body and of the typed private data is zero except the patches.
struct FreshCase {
    const char* name;
    std::function<std::unique_ptr<TPCSTARequestMsg>()> make;
    uint16_t type;
    uint16_t pdSize;
    std::vector<Patch> body;
    std::vector<Patch> pd;
    bool hasConnection;
};

template <class T>
std::function<std::unique_ptr<TPCSTARequestMsg>()> Make() {
    return [] { return std::make_unique<T>(5, 0x01000025, 77); };
}

std::vector<FreshCase> FreshCases() {
    return {
        {"Alternate", Make<TPCSTAAlternateCallMsg>(), 1, 64, {{0, kNone}, {72, kNone}}, {}, true},
        {"Answer", Make<TPCSTAAnswerCallMsg>(), 3, 64, {{0, kNone}}, {}, true},
        {"ClearCall", Make<TPCSTAClearCallMsg>(), 7, 64, {{0, kNone}}, {}, true},
        {"ClearConnection", Make<TPCSTAClearConnectionMsg>(), 9, 68, {{0, kNone}}, {{0, kNone}}, true},
        {"Deflect", Make<TPCSTADeflectCallMsg>(), 15, 64, {{0, kNone}}, {}, true},
        {"Hold", Make<TPCSTAHoldCallMsg>(), 21, 4, {{0, kNone}, {72, {0}}}, {{0, kNone}}, true},
        {"Reconnect", Make<TPCSTAReconnectCallMsg>(), 39, 0, {{0, kNone}, {72, kNone}}, {}, true},
        {"Retrieve", Make<TPCSTARetrieveCallMsg>(), 41, 0, {{0, kNone}}, {}, true},
        {"SnapshotCall", Make<TPCSTASnapshotCallMsg>(), 120, 0, {{0, kNone}}, {}, false},
        {"SnapshotDevice", Make<TPCSTASnapshotDeviceMsg>(), 122, 0, {}, {}, false},
        {"QueryDeviceInfo", Make<TPCSTAQueryDeviceInfoMsg>(), 37, 4, {}, {}, false},
        {"SendDTMF", Make<TPCSTASendDTMFMsg>(), 130, 0,
         {{0, kNone}, {72, kNone}, {208, kNone}, {212, kNone}}, {}, true},
        {"SupervisorAssist", Make<TPCSTASupervisorAssistMsg>(), 134, 176, {{0, kNone}}, {}, false},
        {"Emergency", Make<TPCSTAEmergencyCallMsg>(), 137, 176, {{0, kNone}}, {}, false},
        // Action (144) travels as zero.
        {"Supervise", Make<TPCSTASuperviseCallMsg>(), 140, 176, {{0, kNone}, {72, kNone}}, {}, true},
        {"GreetingControl", Make<TPCSTAAgentGreetingControlReqMsg>(), 160, 0, {{0, {2, 0, 0, 0}}},
         {}, false},
        {"RecordCall", Make<TPCSTARecordCallReqMsg>(), 209, 72, {{0, kNone}},
         {{0, kMax31}, {4, kMax31}}, true},
        {"StopRecordCall", Make<TPCSTAStopRecordCallReqMsg>(), 211, 68, {{0, kNone}},
         {{0, kMax31}}, true},
        // Call placing: AlertRings -1, the user-to-user mark 0xFFFF, gaps zero.
        {"Conference", Make<TPCSTAConferenceCallMsg>(), 11, 2824, {{0, kNone}, {72, kNone}},
         {{8, kMinus1x16}, {440, kMinus1x16}}, true},
        // The consultation's mark is 0xFFFF like its siblings'.
        {"Consultation", Make<TPCSTAConsultationCallMsg>(), 13, 2808, {{0, kNone}},
         {{12, kMinus1x16}, {444, kMinus1x16}}, true},
        {"MakeCall", Make<TPCSTAMakeCallMsg>(), 23, 2764, {}, {{12, kMinus1x16}, {444, kMinus1x16}},
         false},
        {"MakePredictive", Make<TPCSTAMakePredictiveCallMsg>(), 25, 2816, {},
         {{8, kMinus1x16}, {36, kMinus1x16}, {40, kNone}, {44, kNone}, {460, kMinus1x16}}, false},
        {"Transfer", Make<TPCSTATransferCallMsg>(), 51, 2812, {{0, kNone}, {72, kNone}},
         {{8, {1, 0, 0, 0}}, {12, kMinus1x16}, {444, kMinus1x16}}, true},
        {"SetAgentState", Make<TPCSTASetAgentStateMsg>(), 49, 1168, {{64, {1, 0, 0, 0}}},
         {{1152, {1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0}}}, false},
    };
}

Bytes Expected(size_t size, const std::vector<Patch>& patches) {
    Bytes out(size, 0);
    for (const Patch& p : patches) std::copy(p.bytes.begin(), p.bytes.end(), out.begin() + p.offset);
    return out;
}

// Every request class, fresh, written as its message: the header, the event part and the
// typed private data carry exactly the defaults and zero elsewhere.
TEST(CSTARequests, FreshBytesOfEveryClassOnTheWire) {
    const std::vector<FreshCase> cases = FreshCases();
    ASSERT_EQ(cases.size(), 24u);
    for (const FreshCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::unique_ptr<TPCSTARequestMsg> request = c.make();
        EXPECT_EQ(request->eventClass(), 8);
        EXPECT_EQ(request->eventType(), c.type);
        EXPECT_EQ(request->InvokeIDHashIndex(), 5u);  // 0x01000025 & 31
        ConnectionID connection;
        const bool has = request->GetMainConnection(&connection);
        EXPECT_EQ(has, c.hasConnection);
        uint8_t out[kCSTAMessageRoom];
        std::memset(out, 0xEE, sizeof out);
        const int n = WriteCSTAMessage(out, sizeof out, has ? &connection : nullptr, 0, nullptr,
                                       *request, request->OPCBlock(), "");
        // 244 fixed, two strings (the device string empty: reset connections name none),
        // 6 header, 364 event part, then the typed private data.
        ASSERT_EQ(n, 244 + 4 + 4 + 6 + 364 + c.pdSize);
        EXPECT_EQ(plat::LoadLE32(out + 8), 0xFFFFFFFFu);
        EXPECT_EQ(plat::LoadLE32(out + 216), c.pdSize);
        const uint8_t* header = out + 252;
        EXPECT_EQ(plat::LoadLE16(header), 5);
        EXPECT_EQ(plat::LoadLE16(header + 2), 8);
        EXPECT_EQ(plat::LoadLE16(header + 4), c.type);
        EXPECT_EQ(plat::LoadLE32(header + 6), 0x01000025u);
        EXPECT_EQ(plat::LoadLE32(header + 10), 77u);
        EXPECT_EQ(Bytes(header + 14, header + 14 + 356), Expected(356, c.body));
        EXPECT_EQ(Bytes(header + 370, header + 370 + c.pdSize), Expected(c.pdSize, c.pd));
    }
}

// Text kinds: a device text keeps 64 characters with no NUL, a bounded text n-1 and a NUL,
// a plain text n with no NUL.
TEST(CSTARequests, TextKindsCutAsTheirKindSays) {
    const std::string seventy(70, 'd');
    TPCSTADeflectCallMsg deflect(1, 2, 3);
    deflect.SetCalledDevice(seventy.c_str());
    EXPECT_EQ(deflect.GetCalledDevice(), std::string(64, 'd'));
    EXPECT_EQ(deflect.Body()[72 + 63], 'd');
    EXPECT_EQ(deflect.Body()[72 + 64], 0);  // the next byte is not part of the field

    TPCSTAAnswerCallMsg answer(1, 2, 3);
    answer.SetPDAnsweringDevice(seventy.c_str());
    EXPECT_EQ(answer.GetPDAnsweringDevice(), std::string(63, 'd'));
    EXPECT_EQ(answer.PrivateData()[63], 0);

    TPCSTASuperviseCallMsg supervise(1, 2, 3);
    supervise.SetPDAgentExtension(std::string(20, 'x').c_str());
    EXPECT_EQ(supervise.GetPDAgentExtension(), std::string(16, 'x'));
    EXPECT_EQ(supervise.PrivateData()[16], 0);  // AgentID's first byte, untouched
    supervise.SetPDAgentExtension(nullptr);
    EXPECT_EQ(supervise.GetPDAgentExtension(), "");

    TPCSTASetAgentStateMsg agent(1, 2, 3);
    agent.SetAgentID(std::string(40, 'a').c_str());
    EXPECT_EQ(agent.GetAgentID(), std::string(31, 'a'));
    agent.SetAgentGroup(std::string(64, '7').c_str());
    EXPECT_EQ(agent.GetAgentGroup(), std::string(63, '7'));
}

TEST(CSTARequests, CallPlacingSettersCutUserDataECCAndGroups) {
    TPCSTAMakeCallMsg make(1, 2, 3);
    Bytes uu(200);
    for (size_t i = 0; i < uu.size(); ++i) uu[i] = static_cast<uint8_t>('A' + i % 26);
    make.SetPDUserToUser(uu.data(), 200);
    const uint8_t* pd = make.PrivateData();
    EXPECT_EQ(plat::LoadLE16(pd + 442), 130);
    EXPECT_EQ(plat::LoadLE16(pd + 444), 0xFFFF);
    EXPECT_EQ(std::memcmp(pd + 446, uu.data(), 130), 0);
    EXPECT_EQ(pd[446 + 130], 0);
    make.SetPDUserToUser(uu.data(), 0);
    EXPECT_EQ(plat::LoadLE16(pd + 442), 0);
    EXPECT_EQ(pd[446], 0);

    Bytes ecc(2500, 0x42);
    make.SetPDECC(2500, ecc.data());
    EXPECT_EQ(plat::LoadLE32(pd + 760), 2000u);
    EXPECT_EQ(pd[764 + 1999], 0x42);
    EXPECT_EQ(PrivateDataLength(make.OPCBlock()), 2764);  // still ends at the ECC area

    TPCSTASetAgentStateMsg agent(1, 2, 3);
    const Bytes before(agent.PrivateData(), agent.PrivateData() + 1168);
    agent.SetPDAdditionalGroup(19, "12");
    agent.SetPDAdditionalGroup(-1, "12");
    EXPECT_EQ(before, Bytes(agent.PrivateData(), agent.PrivateData() + 1168));
    agent.SetPDAdditionalGroup(18, "12");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(agent.PrivateData() + 144 + 18 * 32)), "12");
    for (int i = 0; i < 1168; ++i) {
        if (i < 144 + 18 * 32 || i >= 144 + 18 * 32 + 32) {
            ASSERT_EQ(agent.PrivateData()[i], before[i]) << i;
        }
    }
}

TEST(CSTARequests, SetConnectionIDCutsLongIdsAndKeepsTheTypeOnABadOne) {
    opctest::TraceCapture capture;
    TPCSTAHoldCallMsg hold(1, 2, 3);
    const std::string longId(65, '1');
    hold.SetActiveCall(44, longId.c_str(), 1);
    ConnectionID c = hold.GetActiveCall();
    EXPECT_EQ(c.callID, 44);
    EXPECT_EQ(std::string(c.deviceID), std::string(64, '1'));
    EXPECT_EQ(c.deviceIDType, 1u);
    hold.SetActiveCall(45, "1001", 2);
    c = hold.GetActiveCall();
    EXPECT_STREQ(c.deviceID, "1001");
    EXPECT_EQ(c.deviceIDType, 1u);  // the previous type stays
    EXPECT_EQ(capture.Take(),
              "TCPCSTAMSG::SetConnectionID - DeviceID length to long for device " + longId + "\n" +
                  "TCPCSTAMSG::SetConnectionID - Invalid DeviceType 2 specified.\n");
    EXPECT_EQ(TPCSTAMsg(64, 0).InvokeIDHashIndex(), 0u);
}

std::string ConnText(int cid, const char* dev, const char* type) {
    return opctest::Format("(CID=%d,Dev=%s,Type=%s)", cid, dev, type);
}

// The trace texts of the simpler requests, each against its own format.
TEST(CSTARequests, TraceTextsOfTheCallAndDeviceRequests) {
    opctest::TraceCapture capture;
    TPCSTAClearConnectionMsg clear(5, 0x1A, 2);
    clear.SetCall(7, "1001", 1);
    clear.SetPDSubjectDevice("1002");
    clear.Trace("pre", 0);
    EXPECT_EQ(capture.Take(),
              "CSTAClearConnection: pre InvokeID=0x1a Call" + ConnText(7, "1001", "Dynamic") +
                  "\nPRIVATE_DATA: CompoundRequestType=Unknown CSTA Event Type "
                  "SubjectDevice=1002\n");

    TPCSTASuperviseCallMsg supervise(5, 0x1B, 2);
    supervise.SetAgentCall(8, "2001", 0);
    supervise.SetAction(3);
    supervise.SetPDAgentID("agent7");
    supervise.Trace("", 0);
    EXPECT_EQ(capture.Take(),
              opctest::Format("CSTASuperviseCall:  InvokeID=0x1b AgentCall(CID=8,Dev=2001,"
                              "Type=Static) SupervisorCall(CID=-1,Dev=,Type=Static,Action=3)\n"
                              "PRIVATE_DATA: AGExt= AGID=agent7 AGInst= SupervisorInstrument=\n"));

    TPCSTASendDTMFMsg dtmf(5, 0x1C, 2);
    dtmf.SetDTMFSequence("123#");
    dtmf.Trace("p", 1);  // no private data: no dump
    EXPECT_EQ(capture.Take(),
              "CSTASendDTMFMsg: p InvokeID=0x1c TransferParty" + ConnText(-1, "", "Static") +
                  " ReceiveParty" + ConnText(-1, "", "Static") +
                  " DTMFSeq=123# ToneDuration=-1 PauseDuration=-1\n");

    TPCSTAAgentGreetingControlReqMsg greeting(9, 0x1D, 2);
    greeting.SetAgentID("4711");
    greeting.Trace("g", 1);
    EXPECT_EQ(capture.Take(),
              "CSTAAgentGreetingControlReq: g InvokeID=0x1d PeripheralID=9 AGID=4711 Action=2\n");

    TPCSTAQueryDeviceInfoMsg info(5, 0x1E, 2);
    info.SetDevice("3003");
    info.Trace("q", 0);
    EXPECT_EQ(capture.Take(), "CSTAQueryDeviceInfo: q InvokeID=0x1e Dev=3003. PRIVATE_DATA: DataRequest=0\n");

    TPCSTARecordCallReqMsg record(5, 0x1F, 2);
    record.Trace("r", 0);
    EXPECT_EQ(capture.Take(), "TPCSTARecordCallReqMsg: r InvokeID=0x1f ActiveCall" +
                                  ConnText(-1, "", "Static") +
                                  "\nPRIVATE_DATA: Initiating Dev: PlayToneDirection=2147483647 "
                                  "InvocationType=2147483647\n");
}

TEST(CSTARequests, PrivateDataDumpOfTwentyBytes) {
    opctest::TraceCapture capture;
    TPCSTAClearConnectionMsg clear(5, 1, 2);
    ResetPrivateData(clear.OPCBlock());
    (void)AppendPrivateData(clear.OPCBlock(), "ABCDEFGHIJKLMNOPQRS\x01", 20, kOPCPrivateDataBlockSize);
    clear.PrivateDataDump();
    const std::string expected =
        std::string("     PrivateDataDump Length=20 (0, 31)\n"
        "     00000  41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50   |ABCDEFGHIJKLMNOP|\n") +
        "     00010  51 52 53 01 " + std::string(12, ' ') + "  |QRS." + std::string(12, ' ') +
        "|\n\n";  // one blank per missing byte in each part
    EXPECT_EQ(capture.Take(), expected);
}

TEST(CSTARequests, DumpGoesOutInGroupsOf192Bytes) {
    opctest::TraceCapture capture;
    TPCSTAMakeCallMsg make(1, 2, 3);
    ResetPrivateData(make.OPCBlock());
    (void)AppendPrivateData(make.OPCBlock(), make.PrivateData(), 200, kOPCPrivateDataBlockSize);
    make.PrivateDataDump();
    const std::string traces = capture.Take();
    EXPECT_NE(traces.find("PrivateDataDump Length=200 (0, 191)\n"), std::string::npos);
    EXPECT_NE(traces.find("PrivateDataDump Length=200 (192, 207)\n"), std::string::npos);
}

const char* kMakeCallLine2 =
    "PRIVATE_DATA: CallPlacement=%d CallManner=%d ConsultType=%d AlertRings=%d CallOption=%d "
    "FacilityType=%d FacilityCode=%s AuthorizationCode=%s AccountCode=%s AnsMachTreat=%d CCT=%s "
    "%s\n";

TEST(CSTARequests, MakeCallTraceWithAndWithoutCallVariables) {
    opctest::TraceCapture capture;
    TPCSTAMakeCallMsg make(5, 0x2A, 2);
    make.SetCallingDevice("1001");
    make.SetCalledDevice("5551234");
    char slots[410] = {};
    std::strcpy(slots, "one");
    slots[41] = '\xFF';  // the "not sent" text prints empty
    std::strcpy(slots + 9 * 41, "ten");
    make.SetPDCallVariables(slots);
    make.SetPDUserToUser("hello", 5);
    make.SetPDWrapupData("wrap");
    make.SetPDCCT("cct1");
    make.SetPDCallManner(2);
    make.Trace("mc", 0, 0, 1);
    EXPECT_EQ(capture.Take(),
              "CSTAMakeCall: mc InvokeID=0x2a CallingDevice=1001 CalledDevice=5551234\n" +
                  opctest::Format(kMakeCallLine2, 0, 2, 0, -1, 0, 0, "", "", "", 0, "cct1", ""));
    make.Trace("mc", 0, 1, 0);
    EXPECT_EQ(capture.Take(),
              "CSTAMakeCall: mc InvokeID=0x2a CallingDevice=1001 CalledDevice=5551234\n" +
                  opctest::Format(kMakeCallLine2, 0, 2, 0, -1, 0, 0, "", "", "", 0, "cct1",
                                  "PV1=one PV2= PV3= PV4= PV5= PV6= PV7= PV8= PV9= PV10=ten "
                                  "UserToUser=hello Wrapup=wrap"));
}

TEST(CSTARequests, CallPlacingTraceAddsTheECCTableOnlyWhenThereIsOne) {
    AddECCVariableDefinition(1, "user.account", 40, 0, 0);
    opctest::TraceCapture capture;
    TPCSTATransferCallMsg transfer(5, 0x2B, 2);
    transfer.Trace("t", 0, 0, 1);
    const std::string plain = capture.Take();
    EXPECT_EQ(plain.find("user.account"), std::string::npos);
    ExpandedCallContext context;
    ASSERT_EQ(context.SetScalarValue("user.account", "4711"), 0);
    int32_t size = 0;
    const uint8_t* data = nullptr;
    ASSERT_EQ(context.GetECCBindata(size, data), 0);
    transfer.SetPDECC(size, data);
    transfer.Trace("t", 0, 0, 1);
    const std::string withECC = capture.Take();
    EXPECT_NE(withECC.find("PRIVATE_DATA: CallPlacement=0 CallManner=0 ConsultType=1 AlertRings=-1"),
              std::string::npos);
    EXPECT_NE(withECC.find("user.account"), std::string::npos);
    transfer.Trace("t", 0, 0, 0);
    EXPECT_EQ(capture.Take(), plain);
}

const char* kAgentLineWithId =
    "CSTASetAgentState: %s InvokeID=0x%x Dev=%s AgentMode=%s AGID=%s SG=%s(0x%x)) SSOEnabled = %d "
    "PrivateData: EventReasonCode=%d WorkMode=%d NumAdditionalGroups=%d PositionID=%s "
    "SupervisorID=%s ClientAddress=%s TerminalName=%s\n";
const char* kAgentLineWithoutId =
    "CSTASetAgentState: %s InvokeID=0x%x Dev=%s AgentMode=%s SG=%s(0x%x)) SSOEnabled = %d "
    "PrivateData: EventReasonCode=%d WorkMode=%d NumAdditionalGroups=%d PositionID=%s "
    "SupervisorID=%s ClientAddress=%s TerminalName=%s\n";

TEST(CSTARequests, SetAgentStateTraceWithOptionOneAndZero) {
    opctest::TraceCapture capture;
    TPCSTASetAgentStateMsg agent(5, 0x30, 2);
    agent.SetDevice("1001");
    agent.SetAgentMode(3);
    agent.SetAgentID("agent9");
    agent.SetAgentGroup("5000");
    agent.SetSSOEnabled(1);
    agent.SetTerminalName("term");
    agent.SetPDEventReasonCode(12);
    agent.SetPDNumAdditionalGroups(2);
    agent.SetPDAdditionalGroup(0, "12");
    agent.SetPDAdditionalGroup(1, "7");
    agent.SetPDPositionID("pos");
    TPCSTAMsg& base = agent;
    base.Trace("a", 0, 1);
    EXPECT_EQ(capture.Take(),
              opctest::Format(kAgentLineWithId, "a", 0x30, "1001", "READY", "agent9", "5000", 5000,
                              1, 12, 0, 2, "pos", "", "", "term") +
                  "AdditionalGroups=12(0xc), 7(0x7)\n");
    base.Trace("a", 0, 0, 0, 0);  // the first slot passes on to this one
    EXPECT_EQ(capture.Take(),
              opctest::Format(kAgentLineWithoutId, "a", 0x30, "1001", "READY", "5000", 5000, 1, 12,
                              0, 2, "pos", "", "", "term") +
                  "AdditionalGroups=12(0xc), 7(0x7)\n");
}

TEST(CSTARequests, BaseTraceOfARecord) {
    opctest::TraceCapture capture;
    TPCSTAMsg record(37, 0x99);
    record.Trace("x", 0, 0);
    EXPECT_EQ(capture.Take(),
              "TPCSTAMsg: x InvokeID=0x25 InvokeIDHashIndex=5, ClientInvokeID=0x99\n");
}

}  // namespace
