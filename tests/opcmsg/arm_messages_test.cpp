// The ARM message classes: golden bytes of what the server sends, what it reads of OPC's
// messages, and the trace texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "opcmsg/armagent.h"
#include "opcmsg/armagentinit.h"
#include "opcmsg/armapppath.h"
#include "opcmsg/armtask.h"
#include "opcmsg/armtasklist.h"
#include "platform/byteorder.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Wire(const ARMMsgBase& m) {
    Bytes b(m.GetLength() + 8, 0xEE);
    uint8_t* end = m.Serialize(b.data(), b.size());
    EXPECT_EQ(end, b.data() + m.GetLength()) << ARMMsgTypeName(m.GetMsgType());
    for (size_t i = m.GetLength(); i < b.size(); ++i) EXPECT_EQ(b[i], 0xEE) << "wrote past GetLength()";
    b.resize(m.GetLength());
    return b;
}

Bytes Hex(const std::string& text) {
    Bytes b;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ' || text[i] == ',') {
            ++i;
            continue;
        }
        b.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return b;
}

int32_t At32(const Bytes& b, size_t off) { return static_cast<int32_t>(plat::LoadLE32(&b[off])); }

// A received body: the words 1, 2, 3... over the fixed part, then the given tail.
Bytes Numbered(size_t fixed, const Bytes& tail = {}) {
    Bytes b;
    for (size_t i = 0; i < fixed / 4; ++i) {
        const auto v = static_cast<int32_t>(i + 1);
        const auto* p = reinterpret_cast<const uint8_t*>(&v);
        b.insert(b.end(), p, p + 4);
    }
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}
const Bytes kEmptyText = {0, 0, 0, 0};
const Bytes kUII = {2, 0, 'U', '1', 0, 0, 0, 0};

// ---- agent state, login and interrupts ----

TEST(ARMAgentMessages, MediaLoginWithEmptyTextsIs56BytesWithUnsetWordsZero) {
    ARMMediaLoginReqMsg m;
    m.SetInvokeID(1);
    m.SetMRDID(2);
    m.SetZURAgentID(3);
    m.SetAgentMode(4);
    m.SetIsAvailable(-1);
    m.SetMaxTaskLimit(6);
    m.SetMaxBeyondTaskLimit(7);
    m.SetApplicationPathID(8);
    m.SetClientInvokeID(11);
    Bytes b = Wire(m);
    ASSERT_EQ(b.size(), 56u);
    EXPECT_EQ(At32(b, 28), 8);
    EXPECT_EQ(At32(b, 32), 0) << "reserved";
    EXPECT_EQ(At32(b, 36), 0) << "PeripheralID";
    EXPECT_EQ(At32(b, 40), 11);
    EXPECT_EQ(Bytes(b.begin() + 44, b.end()), Bytes(12, 0));
    m.SetAgentInfo("info");
    m.SetUniqueInstanceID("U1");
    EXPECT_EQ(m.ToString(),
              "InvokeID = 1, ClientInvokeID = 11, MRDID = 2, ZURAgentID = 3, AgentMode = 4\nIsAvailable = -1, "
              "MaxTaskLimit = 6, MaxBeyondTaskLimit = 7, AgentInfo = info, ApplicationPathID = 8, "
              "PeripheralID = 0, AgentID = , UniqueInstanceID = U1\n");
}

TEST(ARMAgentMessages, LogoutPaddingIsZeroAndCodesPrintUnsigned) {
    ARMMediaLogoutIndMsg m;
    m.SetInvokeID(5);
    m.SetEventReasonCode(65535);
    m.SetSessionID(9);
    m.SetZURDisposition(40);
    m.SetApplicationDisposition(65535);
    m.SetClientInvokeID(5);
    Bytes b = Wire(m);
    ASSERT_EQ(b.size(), 32u);
    EXPECT_EQ(Bytes(b.begin() + 12, b.begin() + 16), Hex("FF FF 00 00"));
    EXPECT_EQ(Bytes(b.begin() + 20, b.begin() + 24), Hex("28 00 FF FF"));
    EXPECT_EQ(m.ToString(),
              "InvokeID = 5, ClientInvokeID = 5, MRDID = 0, ZURAgentID = 0, EventReasonCode = 65535, SessionID = 9\n");
}

TEST(ARMAgentMessages, DesktopConnectedListAndDefaults) {
    ARMDesktopConnectedIndMSG m;
    EXPECT_EQ(m.GetZURAgentID(), -1);
    EXPECT_EQ(m.GetApplicationPathID(), -1);
    EXPECT_EQ(m.GetLength(), 28u);
    EXPECT_EQ(Wire(m).size(), 28u);
    EXPECT_EQ(m.ToString().substr(m.ToString().size() - 11), ", MRDIDs = ");

    m.SetNumMRDs(2);
    m.SetMRDIDs({5001, 5002});
    Bytes b = Wire(m);
    ASSERT_EQ(b.size(), 36u);
    EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 32), Hex("89 13 00 00 8A 13 00 00"));
    EXPECT_EQ(m.ToString(), "InvokeID = 0, ClientInvokeID = 0, ZURAgentID = -1, NumMRDs = 2, EventReasonCode = 0, "
                            "SessionID = 0, MRDIDs = 5001, 5002, ");

    // A count that disagrees with the list still writes exactly GetLength() bytes.
    m.SetNumMRDs(3);
    b = Wire(m);
    ASSERT_EQ(b.size(), 40u);
    EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 36), Bytes(12, 0));
}

TEST(ARMAgentMessages, ReadingOPCsAnswersAndEvents) {
    ARMChangeMaxTaskLimitRespMsg limit(Numbered(24, kUII).data(), 32);
    ASSERT_TRUE(limit.IsValid());
    EXPECT_EQ(limit.GetStatus(), 4);
    EXPECT_EQ(limit.GetDoThisWithTaskOnTheWay(), 6);
    EXPECT_EQ(limit.ToString(), "InvokeID = 1, ClientInvokeID = 5, MRDID = 2, ZURAgentID = 3, "
                                "DoThisWithTaskOnTheWay = 6, Status = 4, UniqueInstanceID = U1\n");

    const Bytes event = Numbered(8);
    ARMAgentMadeNotRoutableEventMsg made(event.data(), event.size());
    EXPECT_EQ(made.GetLength(), 8u);
    EXPECT_EQ(made.ToString(), "MRDID = 1, ZURAgentID = 2\n");

    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {ARMMediaLoginRespMsg(Numbered(16, kEmptyText).data(), 20).ToString(),
         "InvokeID = 1, ClientInvokeID = 4, Status = 2, AgentSkillTargetID = 3\n"},
        {ARMMakeAgentNotRoutableRespMsg(Numbered(12, kUII).data(), 20).ToString(),
         "InvokeID = 1, ClientInvokeID = 3, Status = 2, UniqueInstanceID = U1\n"},
        {ARMMakeAgentNotReadyRespMsg(Numbered(12, kEmptyText).data(), 16).ToString(),
         "InvokeID = 1, ClientInvokeID = 3, Status = 2\n"},
        {ARMAgentInterruptAdvisoryEventMsg(Numbered(16).data(), 16).ToString(),
         "InvokeID = 1, MRDID = 2, InterruptingMRDID = 3, ZURAgentID = 4\n"},
        {ARMAgentInterruptDoneAdvisoryEventMsg(Numbered(12).data(), 12).ToString(),
         "InvokeID = 1, MRDID = 2, ZURAgentID = 3\n"},
        {ARMOverrideLimitRespMsg(Numbered(20, kEmptyText).data(), 24).ToString(),
         "InvokeID = 1, ClientInvokeID = 5, MRDID = 2, ZURAgentID = 3, Status = 4\n"},
        {ARMFailureRespMsg(Numbered(20, kUII).data(), 28).ToString(),
         "InvokeID = 1, ClientInvokeID = 5, Status = 2, Type = 3, SessionID = 4, UniqueInstanceID = U1\n"},
        {ARMAgentInitRespMsg(Numbered(12, kEmptyText).data(), 16).ToString(),
         "InvokeID = 1, ClientInvokeID = 3, Status = 2\n"},
        {ARMAgentInitReadyEventMsg(Hex("03 00 00 00 0C 00 00 00").data(), 8).ToString(),
         "ReadyCount = 3 SessionID = 12\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, c.expected);
}

TEST(ARMAgentMessages, TextsOfTheIndicationsAndRequests) {
    ARMMakeAgentRoutableIndMsg routable;
    routable.SetInvokeID(1);
    routable.SetMaxTasks(3);
    routable.SetSessionID(4);
    routable.SetClientInvokeID(1);
    ARMMakeAgentReadyIndMsg ready;
    ready.SetMakeRoutable(1);
    ARMMakeAgentNotReadyReqMsg notReady;
    notReady.SetReason(50045);
    ARMAgentInterruptUnacceptedIndMsg unaccepted;
    unaccepted.SetSessionID(8);
    unaccepted.SetUniqueInstanceID("u");
    ARMChangeMaxTaskLimitReqMsg limit;
    limit.SetMaxTasks(2);
    ARMOverrideLimitReqMsg override_;
    override_.SetMRDID(6);
    EXPECT_EQ(routable.ToString(),
              "InvokeID = 1, ClientInvokeID = 1, MRDID = 0, ZURAgentID = 0, MaxTasks = 3, SessionID = 4\n");
    EXPECT_EQ(ready.ToString(),
              "InvokeID = 0, ClientInvokeID = 0, MRDID = 0, ZURAgentID = 0, MakeRoutable = 1, SessionID = 0\n");
    EXPECT_EQ(notReady.ToString(), "InvokeID = 0, ClientInvokeID = 0, MRDID = 0, ZURAgentID = 0, Reason = 50045\n");
    EXPECT_EQ(unaccepted.ToString(),
              "InvokeID = 0, ClientInvokeID = 0, MRDID = 0, ZURAgentID = 0, SessionID = 8, UniqueInstanceID = u\n");
    EXPECT_EQ(limit.ToString(), "InvokeID = 0, ClientInvokeID = 0, MRDID = 0, ZURAgentID = 0, MaxTasks = 2\n");
    EXPECT_EQ(override_.ToString(), "InvokeID = 0, ClientInvokeID = 0, MRDID = 6, ZURAgentID = 0\n");
    EXPECT_EQ(override_.GetMsgType(), 76u);
    EXPECT_EQ(ARMMakeAgentNotRoutableReqMsg().GetMsgType(), 53u);
    EXPECT_EQ(ARMAgentInterruptAcceptedIndMsg().GetMsgType(), 70u);
    EXPECT_EQ(ARMAgentInterruptDoneAcceptedIndMsg().GetMsgType(), 73u);
}

// ---- tasks ----

TEST(ARMTaskMessages, OfferTaskIndicationGoldenBytes) {
    const Bytes golden = Hex("07 00 00 00 88 13 00 00 89 13 00 00 01 00 00 00 02 00 00 00 03 00 00 00 "
                             "0A 00 00 00 14 00 00 00 04 00 00 00 07 00 00 00 01 00 41 00");
    auto fill = [](ARMTaskIndLayoutMsg& m) {
        m.SetInvokeID(7);
        m.SetMRDID(5000);
        m.SetZURAgentID(5001);
        m.SetTaskID(1, 2, 3);
        m.SetSkillGroupID(10);
        m.SetServiceID(20);
        m.SetSessionID(4);
        m.SetClientInvokeID(7);
        m.SetUniqueInstanceID("A");
    };
    ARMOfferTaskIndMsg offer;
    ARMStartTaskIndMsg start;
    fill(offer);
    fill(start);
    EXPECT_EQ(Wire(offer), golden);
    EXPECT_EQ(Wire(start), golden);
    EXPECT_EQ(offer.GetMsgType(), 58u);
    EXPECT_EQ(start.GetMsgType(), 61u);
    EXPECT_EQ(offer.ToString(), "InvokeID = 7, ClientInvokeID = 7, MRDID = 5000, ZURAgentID = 5001, TaskID = 1/2/3"
                                "\nSkillGroupID = 10, ServiceID = 20, SessionID = 4, UniqueInstanceID = A\n");
}

TEST(ARMTaskMessages, ApplicationTaskRequestLayoutAndLeftOutTexts) {
    ARMOfferApplicationTaskReqMsg offer;
    ARMStartApplicationTaskReqMsg start;
    EXPECT_EQ(offer.GetLength(), 100u);
    Bytes empty = Wire(offer);
    EXPECT_EQ(Bytes(empty.begin() + 40, empty.end()), Bytes(60, 0));
    EXPECT_EQ(offer.ToString(), "") << "the plain text is the base's";

    for (ARMApplicationTaskReqLayoutMsg* m : {static_cast<ARMApplicationTaskReqLayoutMsg*>(&offer),
                                              static_cast<ARMApplicationTaskReqLayoutMsg*>(&start)}) {
        m->SetInvokeID(9);
        m->SetPreviousZURTaskID(4, 5, 6);
        m->SetClientInvokeID(3);
        m->SetXferInWhileLoggedOut(1);
        m->SetScriptSelector(kARMTextLeftOut);
        std::array<CString, 10> vars;
        vars[0] = std::string(45, 'v');
        vars[9] = "ten";
        m->SetCallVariables(vars);
    }
    Bytes b = Wire(offer);
    EXPECT_EQ(Wire(start), b);
    EXPECT_EQ(start.GetMsgType(), 62u);
    EXPECT_EQ(At32(b, 32), 3);
    EXPECT_EQ(At32(b, 36), 1);
    EXPECT_EQ(Bytes(b.begin() + 40, b.begin() + 44), Hex("01 00 FF 00"));
    EXPECT_EQ(b[52], 45) << "the 45-character call variable is sent whole";
    EXPECT_EQ(b.size(), 100u + 44u + 4u);
    char vars[10][41];
    offer.GetCallVariables(vars);
    EXPECT_EQ(std::string(vars[0]), std::string(40, 'v'));
    EXPECT_EQ(std::string(vars[9]), "ten");
    EXPECT_EQ(std::string(vars[1]), "");

    EXPECT_EQ(offer.ToString(false, true),
              "InvokeID = 9, MRDID = 0, ZURAgentID = 0, PreviousZURTaskID = 4/5/6\nSkillGroupID = 0, ServiceID = 0, "
              "XferInWhileLoggedOut = 1, ScriptSelector = \xFF\nApplicationString1 = , ApplicationString2 = "
              "\nNo ExpandedCallContext\n\n");
    const std::string withVars = offer.ToString(true, false);
    EXPECT_NE(withVars.find(", CallVariable1 = " + std::string(45, 'v') + "\nCallVariable2 = , CallVariable3 = "),
              std::string::npos);
    EXPECT_NE(withVars.find("\nCallVariable10 = ten\nNo ExpandedCallContext\n\n"), std::string::npos);
}

class ARMECCText : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        AddECCVariableDefinition(31, "user.account", 40, 0, 0);
    }
    // A scalar record: id, value, NUL.
    static Bytes Scalar(int32_t id, const std::string& value) {
        Bytes b(4);
        plat::StoreLE32(b.data(), static_cast<uint32_t>(id));
        b.insert(b.end(), value.begin(), value.end());
        b.push_back(0);
        return b;
    }
};

TEST_F(ARMECCText, TheServersECCIsShownAsATableOnlyWhenAsked) {
    ARMTaskInitReqMsg m;
    const Bytes ecc = Scalar(31, "12345");
    m.SetExpandedCallContext(static_cast<int32_t>(ecc.size()), ecc.data());
    const std::string with = m.ToString(false, true);
    EXPECT_NE(with.find("\n\nName                           Type        Index    Value\nuser.account"),
              std::string::npos)
        << with;
    EXPECT_NE(with.find("Scalar               12345\n"), std::string::npos) << with;
    EXPECT_NE(m.ToString(false, false).find("\nNo ExpandedCallContext\n"), std::string::npos);
}

TEST_F(ARMECCText, TheServersOwnECCThatDoesNotLoadIsABrokenInvariant) {
    ARMUpdateTaskContextIndMsg m;
    const Bytes junk = {0, 0, 0, 0, 'x'};  // id 0 is no scalar id
    m.SetExpandedCallContext(static_cast<int32_t>(junk.size()), junk.data());
    EXPECT_EXIT((void)m.ToString(false, true), ::testing::ExitedWithCode(162), "");
    EXPECT_NE(m.ToString(true, false).find("No ExpandedCallContext"), std::string::npos);
}

TEST_F(ARMECCText, AnECCFromOPCThatDoesNotLoadIsReportedInTheText) {
    Bytes body(68, 0);
    for (int i = 0; i < 13; ++i) body.insert(body.end(), kEmptyText.begin(), kEmptyText.end());
    const Bytes ecc = {5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};  // value without its NUL
    const int32_t size = 5;
    body.insert(body.end(), reinterpret_cast<const uint8_t*>(&size), reinterpret_cast<const uint8_t*>(&size) + 4);
    body.insert(body.end(), ecc.begin(), ecc.end());
    body.insert(body.end(), kEmptyText.begin(), kEmptyText.end());
    ARMSnapshotTaskRespMsg m(body.data(), body.size());
    ASSERT_TRUE(m.IsValid());
    const std::string text = m.ToString(false, true);
    EXPECT_NE(text.find("\nExpandedCallContext of 5 bytes did not load (error "), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');

    Bytes eventBody(60, 0);
    eventBody.insert(eventBody.end(), body.begin() + 68, body.end() - 4);
    ARMSnapshotTaskEventMSG event(eventBody.data(), eventBody.size());
    ASSERT_TRUE(event.IsValid());
    const std::string eventText = event.ToString(true, true);
    EXPECT_NE(eventText.find(", CallVariable10 = , ExpandedCallContext of 5 bytes did not load (error "),
              std::string::npos)
        << eventText;
}

TEST(ARMTaskMessages, TaskResponsesAreReadWithAnOptionalUII) {
    Bytes b = Numbered(24, kEmptyText);
    ARMOfferApplicationTaskRespMsg offer(b.data(), 28);
    ASSERT_TRUE(offer.IsValid());
    EXPECT_EQ(offer.GetUniqueInstanceID(), "");
    int32_t w1, w2, w3;
    offer.GetTaskID(w1, w2, w3);
    EXPECT_EQ(w1 * 100 + w2 * 10 + w3, 456);
    EXPECT_EQ(offer.ToString(), "InvokeID = 1, ClientInvokeID = 3, Status = 2, TaskID = 4/5/6\n");
    b = Numbered(24, kUII);
    EXPECT_EQ(ARMStartApplicationTaskRespMsg(b.data(), b.size()).ToString(),
              "InvokeID = 1, ClientInvokeID = 3, Status = 2, TaskID = 4/5/6, UniqueInstanceID = U1\n");
    ARMTaskInitRespMsg init(b.data(), b.size());
    EXPECT_EQ(init.GetMsgType(), 104u);
    EXPECT_EQ(init.GetUniqueInstanceID(), "U1");
}

TEST(ARMTaskMessages, PauseResumeAndWrapupShareTheirBytes) {
    ARMPauseTaskIndMsg pause;
    ARMResumeTaskIndMsg resume;
    ARMWrapupTaskIndMsg wrapup;
    for (ARMTaskStepIndLayoutMsg* m : {static_cast<ARMTaskStepIndLayoutMsg*>(&pause),
                                       static_cast<ARMTaskStepIndLayoutMsg*>(&resume),
                                       static_cast<ARMTaskStepIndLayoutMsg*>(&wrapup)}) {
        m->SetInvokeID(2);
        m->SetMRDID(3);
        m->SetZURAgentID(4);
        m->SetTaskID(5, 6, 7);
        m->SetSessionID(8);
        m->SetClientInvokeID(2);
    }
    EXPECT_EQ(Wire(pause).size(), 36u);
    EXPECT_EQ(Wire(pause), Wire(resume));
    EXPECT_EQ(Wire(pause), Wire(wrapup));
    EXPECT_EQ(pause.GetMsgType() * 10000 + resume.GetMsgType() * 100 + wrapup.GetMsgType(), 646566u);
    EXPECT_EQ(wrapup.ToString(), "InvokeID = 2, ClientInvokeID = 2, TaskID = 5/6/7, SessionID = 8\n");
}

TEST(ARMTaskMessages, EndTaskDispositionsAndFlag) {
    ARMEndTaskIndMsg m;
    m.SetInvokeID(1);
    m.SetTaskID(1, 2, 3);
    m.SetZURDisposition(63);
    m.SetApplicationDisposition(2);
    m.SetSessionID(4);
    m.SetClientInvokeID(1);
    m.SetEndTaskFlag(1);
    Bytes b = Wire(m);
    ASSERT_EQ(b.size(), 52u);
    EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 28), Hex("3F 00 02 00"));
    EXPECT_EQ(Bytes(b.begin() + 36, b.begin() + 40), Hex("01 00 00 00"));
    m.SetWrapupData("AB");
    m.SetApplicationDisposition(65535);
    EXPECT_EQ(m.GetLength(), 56u);
    EXPECT_EQ(m.ToString(), "InvokeID = 1, ClientInvokeID = 1, TaskID = 1/2/3, ZURDisposition = 63, "
                            "ApplicationDisposition = 65535, SessionID = 4\nWrapupData = AB, ApplicationData = \n");
}

TEST(ARMTaskMessages, TaskInitIndicationAndRequestShareTheirBytes) {
    ARMTaskInitIndMsg ind;
    ARMTaskInitReqMsg req;
    ind.SetTaskID(1, 2, 3);
    req.SetPreviousZURTaskID(1, 2, 3);
    for (ARMTaskInitLayoutMsg* m : {static_cast<ARMTaskInitLayoutMsg*>(&ind), static_cast<ARMTaskInitLayoutMsg*>(&req)}) {
        m->SetMRDID(5000);
        m->SetInvokeID(77);
        m->SetAgentID(5001);
        m->SetPaused(1);
        m->SetWrapupDuration(9);
        m->SetApplicationRouted(1);
        m->SetSessionID(12);
        m->SetClientInvokeID(6);
    }
    Bytes b = Wire(req);
    EXPECT_EQ(Wire(ind), b);
    ASSERT_EQ(b.size(), 132u);
    EXPECT_EQ(At32(b, 0), 1);
    EXPECT_EQ(At32(b, 16), 77);
    EXPECT_EQ(Bytes(b.begin() + 32, b.begin() + 36), Hex("01 00 00 00"));
    EXPECT_EQ(ind.GetMsgType() * 1000 + req.GetMsgType(), 83103u);
    EXPECT_EQ(ind.ToString(false, false),
              "TaskID = 1/2/3MRDID = 5000, AgentID = 5001, SkillGroupID = 0, ServiceID = 0, Paused = 1"
              "\nTaskState = 0, OfferDuration = 0, BeginDuration = 0, InterruptDuration = 0, PauseDuration = 0"
              "\nWrapupDuration = 9\nApplicationRouted = 1SessionID = 12\nScriptSelector = , ApplicationString1 = , "
              "ApplicationString2 = \nNo ExpandedCallContext\n\n");
    EXPECT_EQ(req.ToString(false, false).substr(0, 50), "InvokeID = 77PreviousZURTaskID = 1/2/3MRDID = 5000");

    ARMUpdateTaskContextIndMsg context;
    EXPECT_EQ(context.GetLength(), 92u);
    const Bytes contextBytes = Wire(context);
    EXPECT_EQ(Bytes(contextBytes.begin() + 32, contextBytes.end()), Bytes(60, 0));
    context.SetInvokeID(3);
    context.SetTaskID(7, 8, 9);
    context.SetUniqueInstanceID("u");
    EXPECT_EQ(context.ToString(false, false), "InvokeID = 3, TaskID = 7/8/9, SessionID = 0\nScriptSelector = , "
                                              "ApplicationString1 = , ApplicationString2 = \nNo ExpandedCallContext\n"
                                              ", UniqueInstanceID = u\n");
}

// ---- snapshots and task lists ----

TEST(ARMTaskListMessages, AgentTaskListsOfNoneAndSeveral) {
    Bytes none = Numbered(12, Bytes(4, 0));
    ARMAgentTasksEventMSG empty(none.data(), none.size());
    ASSERT_TRUE(empty.IsValid());
    EXPECT_EQ(empty.GetLength(), 16u);
    EXPECT_TRUE(empty.GetTaskIDs().empty());
    EXPECT_EQ(empty.ToString(), "SessionID = 1, MRDID = 2, ZURAgentID = 3, NumTasks = 0, TaskIDs = ");

    Bytes two = Numbered(12, Hex("02 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00"));
    ARMAgentTasksEventMSG event(two.data(), two.size());
    ASSERT_TRUE(event.IsValid());
    EXPECT_EQ(event.GetTaskIDs(), (std::vector<ARMTaskID>{{1, 2, 3}, {4, 5, 6}}));
    EXPECT_EQ(event.ToString(), "SessionID = 1, MRDID = 2, ZURAgentID = 3, NumTasks = 2, TaskIDs = 1/2/3, 4/5/6, ");
    EXPECT_EQ(Wire(event), two);
}

TEST(ARMTaskListMessages, GetAgentTasksResponseLayout) {
    ARMGetAgentTasksRespMsg m;
    m.SetInvokeID(1);
    m.SetStatus(0);
    m.SetNumTasks(2);
    m.SetTaskIDs({{1, 2, 3}, {4, 5, 6}});
    m.SetClientInvokeID(8);
    m.SetUniqueInstanceID("abc");
    Bytes b = Wire(m);
    ASSERT_EQ(b.size(), 56u);
    EXPECT_EQ(Bytes(b.begin() + 48, b.end()), Hex("03 00 61 62 63 00 00 00"));
    ARMGetAgentTasksRespMsg read(b.data(), b.size());
    ASSERT_TRUE(read.IsValid());
    EXPECT_EQ(read.GetTaskIDs(), m.GetTaskIDs());
    EXPECT_EQ(read.GetUniqueInstanceID(), "abc");
    ARMGetAgentTasksRespMsg copy = read;
    EXPECT_EQ(copy.ToString(), "InvokeID = 1, ClientInvokeID = 8, MRDID = 0, ZURAgentID = 0, Status = 0, "
                               "NumTasks = 2, TaskIDs = 1/2/3, 4/5/6, , UniqueInstanceID = abc\n");

    // NumTasks and the list disagree: still exactly GetLength() bytes, and the UII after them.
    m.SetNumTasks(3);
    b = Wire(m);
    ASSERT_EQ(b.size(), 68u);
    EXPECT_EQ(Bytes(b.begin() + 24, b.begin() + 60), Bytes(36, 0));
    EXPECT_EQ(b[60], 3);
}

TEST(ARMTaskListMessages, SnapshotsAndTheOtherTaskEvents) {
    ARMSnapshotTaskReqMsg req;
    EXPECT_EQ(Wire(req), Hex("00000000 FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF 00000000 00000000 00000000"));
    req.SetClientInvokeID(2);
    EXPECT_EQ(req.ToString(), "InvokeID = 0, ClientInvokeID = 2, MRDID = -1, ZURAgentID = -1, TaskID = -1/-1/-1, "
                              "SessionID = 0\n");
    ARMGetAgentTasksReqMsg tasks;
    EXPECT_EQ(tasks.GetLength(), 24u);
    EXPECT_EQ(tasks.ToString(), "InvokeID = 0, ClientInvokeID = 0, MRDID = -1, ZURAgentID = -1, SessionID = 0\n");
    ARMAgentTasksReqEventMSG reqEvent;
    reqEvent.SetSendTasksInAllMRDs(1);
    EXPECT_EQ(Wire(reqEvent), Hex("FFFFFFFF 00000000 FFFFFFFF 01000000 00000000"));
    EXPECT_EQ(reqEvent.ToString(), "ZURAgentID = -1, SessionID = 0, ApplicationPathID = -1, SendTasksInAllMRDs = 1, "
                                   "DesktopConnectedFlag = 0");

    Bytes resp(68, 0);
    for (int i = 0; i < 15; ++i) resp.insert(resp.end(), kEmptyText.begin(), kEmptyText.end());
    ARMSnapshotTaskRespMsg snap(resp.data(), resp.size());
    ASSERT_TRUE(snap.IsValid());
    EXPECT_EQ(snap.GetLength(), 128u);
    EXPECT_EQ(snap.ToString(), snap.ToString(false, false));
    EXPECT_EQ(snap.ToString(), "InvokeID = 0, ClientInvokeID = 0, MRDID = 0, ZURAgentID = 0, TaskID = 0/0/0, "
                               "SkillGroupID = 0, ServiceID = 0\nTaskState = 0, OfferDuration = 0, BeginDuration = 0, "
                               "InterruptDuration = 0, PauseDuration = 0\nWrapupDuration = 0, ApplicationRouted = 0, "
                               "ScriptSelector = , ApplicationString1 = , ApplicationString2 = \n"
                               "No ExpandedCallContext\n\n");
    Bytes ev(60, 0);
    for (int i = 0; i < 14; ++i) ev.insert(ev.end(), kEmptyText.begin(), kEmptyText.end());
    ARMSnapshotTaskEventMSG event(ev.data(), ev.size());
    ASSERT_TRUE(event.IsValid());
    EXPECT_EQ(event.ToString(true, false),
              "SessionID = 0, MRDID = 0, ZURAgentID = 0, TaskID = 0/0/0, SkillGroupID = 0, ServiceID = 0TaskState = 0, "
              "OfferDuration = 0, BeginDuration = 0, InterruptDuration = 0, PauseDuration = 0WrapupDuration = 0, "
              "ApplicationRouted = 0, ScriptSelector = , ApplicationString1 = , ApplicationString2 = ,\n CallVariable1 = "
              "CallVariable2 = , CallVariable3 = , CallVariable4 = , CallVariable5 = \nCallVariable6 = , "
              "CallVariable7 = , CallVariable8 = , CallVariable9 = , CallVariable10 = , No ExpandedCallContext");

    const Bytes eight = Numbered(8);
    EXPECT_EQ(ARMAgentTasksBeginEventMSG(eight.data(), 8).ToString(), "ZURAgentID = 1, SessionID = 2");
    const Bytes twelve = Numbered(12);
    ARMAgentTasksEndEventMSG end(twelve.data(), 12);
    EXPECT_EQ(end.ToString(), "ZURAgentID = 1, SessionID = 2");
    EXPECT_EQ(end.GetStatus(), 3);
    const Bytes twenty = Numbered(20);
    EXPECT_EQ(ARMMaxTaskLifetimeExceededEventMsg(twenty.data(), 20).ToString(),
              "TaskID = 1/2/3, AgentID = 4, MRDID = 5\n");
}

// ---- application paths and agent initialisation ----

TEST(ARMAppPathMessages, SideAndPaddingAndTexts) {
    ARMAppPathUpReqMsg up;
    up.SetInvokeID(1);
    up.SetApplicationPathID(2);
    up.SetSessionID(3);
    up.SetSide(1);
    EXPECT_EQ(Wire(up), Hex("01000000 02000000 03000000 01000000"));
    EXPECT_EQ(up.ToString(), "InvokeID = 1, ApplicationPathID = 2");
    ARMAppPathDownIndMsg down;
    down.SetApplicationPathID(2);
    down.SetSessionID(3);
    down.SetSide(1);
    EXPECT_EQ(Wire(down), Hex("02000000 03000000 01000000"));
    EXPECT_EQ(down.ToString(), "SessionID = 3, ApplicationPathID = 2\n");

    ARMSetAppPathDataIndMsg data;
    EXPECT_EQ(data.GetLength(), 60u);
    data.SetInvokeID(4);
    data.SetClientInvokeID(4);
    data.SetApplicationText10("ten");
    data.SetUniqueInstanceID("not shown");
    EXPECT_EQ(data.ToString(), "InvokeID = 4, ClientInvokeID = 4, SessionID = 0, ApplicationPathID = 0, "
                               "ApplicationText1 = \nApplicationText2 = , ApplicationText3 = , ApplicationText4 = , "
                               "ApplicationText5 = , ApplicationText6 = \nApplicationText7 = , ApplicationText8 = , "
                               "ApplicationText9 = \nApplicationText10 = ten\n");
    const Bytes removed = Hex("4D 00 00 00");
    EXPECT_EQ(ARMAppPathRemovedEventMsg(removed.data(), 4).ToString(), ", ApplicationPathID = 77\n");
}

TEST(ARMAgentInitMessages, LayoutsAndTexts) {
    ARMAgentInitReqMsg m;
    EXPECT_EQ(m.GetLength(), 76u);
    m.SetAgentInfo("0123456789");
    m.SetUniqueInstanceID("U");
    Bytes b = Wire(m);
    EXPECT_EQ(b[68], 10);
    EXPECT_EQ(Bytes(b.begin() + 84, b.end()), Hex("01 00 55 00"));
    m.SetMRDID(1);
    m.SetInvokeID(2);
    m.SetNumTasks(3);
    m.SetSessionID(12);
    EXPECT_EQ(m.ToString(), "MRDID = 1, InvokeID = 2, ClientInvokeID = 0, AgentID = 0, AgentMode = 0\nIsInterrupted = 0, "
                            "InterruptingMRDID = 0, InterruptingInvokeID = 0, IsNotReady = 0, MaxTaskLimit = 0, "
                            "MaxBeyondTaskLimit = 0\nAgentInfo = 0123456789, AvailableDuration = 0\nLogonDuration = 0"
                            "\nNotReadyDuration = 0\nRoutableDuration = 0, NumTasks = 3SessionID = 12, "
                            "UniqueInstanceID = U\n");
    ARMBeginAgentInitIndMsg begin;
    begin.SetSessionID(12);
    begin.SetApplicationPathID(5);
    EXPECT_EQ(Wire(begin), Hex("0C000000 05000000"));
    EXPECT_EQ(begin.ToString(), "SessionID = 12, ApplicationPathID = 5\n");
    ARMEndAgentInitIndMsg end;
    end.SetSessionID(12);
    EXPECT_EQ(Wire(end), Hex("0C000000"));
    EXPECT_EQ(end.ToString(), "SessionID = 12\n");
    const Bytes resp = Numbered(12, kEmptyText);
    EXPECT_EQ(ARMAgentInitRespMsg(resp.data(), resp.size()).GetLength(), 16u);
}

}  // namespace
