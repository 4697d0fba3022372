// Call control end to end: every request on the road to the stand-in OPC and back, private
// calls, refusals that send nothing, the confirmations OPC can give, the WEXA CIL session's
// share, the call data of the call-placing requests, snapshots and queries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/parlo/process/call_control_fixture.h"

namespace {

using parlotest::CallControl;
using parlotest::CtiSession;
using parlotest::HexOf;
using parlotest::kNoEcc;
using parlotest::kPlacing;

const std::string kP = " PeripheralID=5000";

// Each request from an ALL_EVENTS + CLIENT_CONTROL + SUPERVISOR session on a call parlo has
// never seen reaches OPC with the client's values, the session's unique instance ID and an
// OPC invoke ID of its own, and its confirmation comes back with the client's InvokeID.
TEST_F(CallControl, EveryRequestTakesTheRoadToOpcAndBack) {
    auto agent = OpenAgent("1002");  // the supervised agent is known once its desk is open
    auto s = Open("road", 0x94);
    ASSERT_TRUE(agent && s);
    struct Row {
        const char* request;
        std::string fields;
        const char* csta;
        std::vector<std::string> expected;
        const char* answer;
    };
    const Row rows[] = {
        {"ALTERNATE_CALL_REQ",
         kP + " ActiveConnCallID=7001 ActiveConnDeviceIDType=0 ActiveConnDeviceID=6001 OtherConnCallID=7002 "
              "OtherConnDeviceIDType=1 OtherConnDeviceID=6002",
         "CSTA_ALTERNATE_CALL", {"ActiveCall=(7001,\"6001\",0) OtherCall=(7002,\"6002\",1)"}, "ALTERNATE_CALL_CONF"},
        {"ANSWER_CALL_REQ", kP + " ConnectionCallID=7003 ConnectionDeviceIDType=0 ConnectionDeviceID=6003",
         "CSTA_ANSWER_CALL", {"AlertingCall=(7003,\"6003\",0)"}, "ANSWER_CALL_CONF"},
        {"CLEAR_CALL_REQ", kP + " ConnectionCallID=7004 ConnectionDeviceIDType=0 ConnectionDeviceID=6004",
         "CSTA_CLEAR_CALL", {"Call=(7004,\"6004\",0)"}, "CLEAR_CALL_CONF"},
        {"CLEAR_CONNECTION_REQ", kP + " ConnectionCallID=7005 ConnectionDeviceIDType=0 ConnectionDeviceID=6005",
         "CSTA_CLEAR_CONNECTION", {"Call=(7005,\"6005\",0)"}, "CLEAR_CONNECTION_CONF"},
        {"CONFERENCE_CALL_REQ",
         kP + kPlacing + kNoEcc +
             " ActiveConnCallID=7006 ActiveConnDeviceIDType=0 ActiveConnDeviceID=6006 HeldConnCallID=7007 "
             "HeldConnDeviceIDType=0 HeldConnDeviceID=6007",
         "CSTA_CONFERENCE_CALL", {"HeldCall=(7007,\"6007\",0) ActiveCall=(7006,\"6006\",0)"}, "CONFERENCE_CALL_CONF"},
        {"CONSULTATION_CALL_REQ",
         kP + kPlacing + kNoEcc +
             " ConsultType=2 ActiveConnCallID=7008 ActiveConnDeviceIDType=0 ActiveConnDeviceID=6008 DialedNumber=5559",
         "CSTA_CONSULTATION_CALL", {"ActiveCall=(7008,\"6008\",0) CalledDevice=\"5559\"", "ConsultType=2 "},
         "CONSULTATION_CALL_CONF"},
        {"DEFLECT_CALL_REQ",
         kP + " ConnectionCallID=7009 ConnectionDeviceIDType=0 ConnectionDeviceID=6009 CalledDeviceType=0 "
              "CalledDeviceID=5560",
         "CSTA_DEFLECT_CALL", {"DeflectCall=(7009,\"6009\",0) CalledDevice=\"5560\""}, "DEFLECT_CALL_CONF"},
        {"HOLD_CALL_REQ",
         kP + " ConnectionCallID=7010 ConnectionDeviceIDType=0 ConnectionDeviceID=6010 Reservation=1",
         "CSTA_HOLD_CALL", {"ActiveCall=(7010,\"6010\",0) Reservation=1"}, "HOLD_CALL_CONF"},
        {"MAKE_CALL_REQ", kP + kPlacing + kNoEcc + " SkillGroupNumber=0xFFFFFFFF AgentInstrument=6011 DialedNumber=5561",
         "CSTA_MAKE_CALL", {"CallingDevice=\"6011\" CalledDevice=\"5561\""}, "MAKE_CALL_CONF"},
        {"MAKE_PREDICTIVE_CALL_REQ",
         kP + " CallPlacementType=0 CallMannerType=0 AlertRings=0 CallOption=0 FacilityType=0 AnsweringMachine=0 "
              "Priority=0 AllocationState=1 DestinationCountry=0 AnswerDetectMode=0 AnswerDetectTime=0 "
              "AnswerDetectControl1=0 AnswerDetectControl2=0" +
             kNoEcc + " OriginatingDeviceID=6012 DialedNumber=5562",
         "CSTA_MAKE_PREDICTIVE_CALL", {"CallingDevice=\"6012\" CalledDevice=\"5562\" AllocationState=1"},
         "MAKE_PREDICTIVE_CALL_CONF"},
        {"RECONNECT_CALL_REQ",
         kP + " ActiveConnCallID=7013 ActiveConnDeviceIDType=0 ActiveConnDeviceID=6013 HeldConnCallID=7014 "
              "HeldConnDeviceIDType=0 HeldConnDeviceID=6014",
         "CSTA_RECONNECT_CALL", {"ActiveCall=(7013,\"6013\",0) HeldCall=(7014,\"6014\",0)"}, "RECONNECT_CALL_CONF"},
        {"RETRIEVE_CALL_REQ", kP + " HeldConnCallID=7015 HeldConnDeviceIDType=0 HeldConnDeviceID=6015",
         "CSTA_RETRIEVE_CALL", {"HeldCall=(7015,\"6015\",0)"}, "RETRIEVE_CALL_CONF"},
        {"TRANSFER_CALL_REQ",
         kP + kPlacing + kNoEcc +
             " ActiveConnCallID=7016 ActiveConnDeviceIDType=0 ActiveConnDeviceID=6016 HeldConnCallID=7017 "
             "HeldConnDeviceIDType=0 HeldConnDeviceID=6017",
         "CSTA_TRANSFER_CALL", {"HeldCall=(7017,\"6017\",0) ActiveCall=(7016,\"6016\",0)", "ConsultType=1 "},
         "TRANSFER_CALL_CONF"},
        {"SEND_DTMF_SIGNAL_REQ",
         kP + " ConnectionCallID=7018 ConnectionDeviceIDType=0 ConnectionDeviceID=6018 ToneDuration=100 "
              "PauseDuration=65537 DTMFString=12#",
         "CSTA_SEND_DTMF",
         {"TransferParty=(7018,\"6018\",0) ReceiveParty=(7018,\"6018\",0) DTMFSequence=\"12#\" ToneDuration=100 "
          "PauseDuration=1"},
         "SEND_DTMF_SIGNAL_CONF"},
        {"SUPERVISOR_ASSIST_REQ",
         kP + " ConnectionCallID=7019 ConnectionDeviceIDType=0 ConnectionDeviceID=6019 AgentExtension=4002 "
              "AgentID=1002 AgentInstrument=4002",
         "CSTA_SUPERVISOR_ASSIST", {"Call=(7019,\"6019\",0) AGExt=\"4002\" AGID=\"1002\" AGInst=\"4002\""},
         "SUPERVISOR_ASSIST_CONF"},
        {"EMERGENCY_CALL_REQ",
         kP + " ConnectionCallID=7020 ConnectionDeviceIDType=0 ConnectionDeviceID=6020 AgentExtension=4002 "
              "AgentID=1002 AgentInstrument=4002",
         "CSTA_EMERGENCY_CALL", {"Call=(7020,\"6020\",0) AGExt=\"4002\" AGID=\"1002\" AGInst=\"4002\""},
         "EMERGENCY_CALL_CONF"},
        // The agent's connection is looked for at the agent's instrument: on an unknown call
        // it goes as (-1, the instrument); monitor (1) keeps the supervisor's call ID.
        {"SUPERVISE_CALL_REQ",
         kP + " AgentConnectionCallID=7021 AgentConnectionDeviceIDType=0 AgentConnectionDeviceID=6021 "
              "SupervisorConnectionCallID=7022 SupervisorConnectionDeviceIDType=0 SupervisorConnectionDeviceID=6022 "
              "SupervisoryAction=1 AgentInstrument=4002 SupervisorInstrument=4003",
         "CSTA_SUPERVISE_CALL",
         {"AgentCall=(-1,\"4002\",0) SupervisorCall=(7022,\"4003\",0) Action=1",
          "AGInst=\"4002\" SupervisorInstrument=\"4003\""},
         "SUPERVISE_CALL_CONF"},
        // A snapshot of a call parlo does not know goes to OPC; the answer finds no call.
        {"SNAPSHOT_CALL_REQ", kP + " ConnectionCallID=7023 ConnectionDeviceIDType=0 ConnectionDeviceID=6023",
         "CSTA_SNAPSHOT_CALL", {"SnapshotObject=(7023,\"6023\",0)"}, "CONTROL_FAILURE_CONF"},
        {"SNAPSHOT_DEVICE_REQ", kP + " SnapshotDeviceType=0 AgentInstrument=6024", "CSTA_SNAPSHOT_DEVICE",
         {"SnapshotObject=\"6024\""}, "SNAPSHOT_DEVICE_CONF"},
        {"QUERY_DEVICE_INFO_REQ", kP + " QueryDeviceDataType=0 AgentInstrument=6025", "CSTA_QUERY_DEVICE_INFO",
         {"Device=\"6025\" DataRequest=0"}, "QUERY_DEVICE_INFO_CONF"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        const uint32_t invoke = s->Send(row.request + row.fields);
        ASSERT_NE(invoke, 0u) << s->Error();
        const std::string answer = s->Wait(row.answer, invoke);
        EXPECT_NE(answer, "") << s->All() << parlo_->Output();
        const auto c = CstaOf(invoke);
        ASSERT_TRUE(c.found()) << opc_->Output();
        EXPECT_NE(c.fields.find(std::string("parlo-opc: csta ") + row.csta + " invoke "), std::string::npos) << c.fields;
        for (const std::string& piece : row.expected)
            EXPECT_NE(c.fields.find(piece), std::string::npos) << piece << "\n" << c.fields;
        // The session's unique instance ID rides on every request of the session.
        EXPECT_EQ("road-uii", UiiOf(c)) << c.header;
        EXPECT_EQ(1u, s->Answers(invoke).size()) << s->All();
        if (std::string(row.answer) == "CONTROL_FAILURE_CONF") {
            EXPECT_NE(answer.find("FailureCode:CF_INVALID_CSTA_CALL_IDENTIFIER "), std::string::npos) << answer;
            EXPECT_NE(answer.find("PeripheralErrorCode:1 "), std::string::npos) << answer;
        }
    }
}


// The make-call line of an agent's own instrument (the ECC counts follow ECC. words in `more`).
std::string MakeCall(const std::string& instrument, const std::string& dialed, const std::string& more = "") {
    const std::string counts = more.find(" ECC.") == std::string::npos ? kNoEcc : "";
    return "MAKE_CALL_REQ" + kP + kPlacing + counts + " SkillGroupNumber=0xFFFFFFFF AgentInstrument=" + instrument +
           " DialedNumber=" + dialed + more;
}

// The value of `field` in a client line ("NewConnectionCallID:1000 " gives "1000").
std::string FieldOf(const std::string& line, const std::string& field) {
    const size_t at = line.find(" " + field + ":");
    if (at == std::string::npos) return "(absent)";
    const size_t from = at + field.size() + 2;
    return line.substr(from, line.find(' ', from) - from);
}

// A make call from the logged-in agent's instrument gives it a private call: the stand-in's
// new call, seen by the ALL_EVENTS sessions, found again by call ID -1 at the agent's device
// and released by its clear confirmation.
TEST_F(CallControl, MakeCallGivesTheAgentAPrivateCallUntilItIsCleared) {
    auto watcher = Open("watcher", 0x10);
    auto agent = OpenAgent("1002");
    ASSERT_TRUE(watcher && agent);
    const uint32_t make = agent->Send(MakeCall("4002", "5551000"));
    const std::string conf = agent->Wait("MAKE_CALL_CONF", make);
    ASSERT_NE(conf, "") << agent->All() << parlo_->Output();
    const auto c = CstaOf(make);
    ASSERT_TRUE(c.found());
    EXPECT_NE(c.fields.find("CallingDevice=\"4002\" CalledDevice=\"5551000\""), std::string::npos) << c.fields;
    for (int i = 1; i <= 10; ++i)
        EXPECT_NE(c.fields.find(" CallVariable" + std::to_string(i) + "=\"\" "), std::string::npos) << c.fields;
    // The stand-in's new call, its line handle 0 and line type 2.
    const std::string call = FieldOf(conf, "NewConnectionCallID");
    EXPECT_NE(call, "(absent)") << conf;
    EXPECT_EQ("0", FieldOf(conf, "LineHandle")) << conf;
    EXPECT_EQ("LINETYPE_INSIDE", FieldOf(conf, "LineType")) << conf;  // 2
    EXPECT_EQ("4002", FieldOf(conf, "NewConnectionDeviceID").substr(1, 4)) << conf;
    const std::string begin = watcher->WaitFor([&](const std::string& l) {
        return CtiSession::Is(l, "BEGIN_CALL_EVENT") && FieldOf(l, "ConnectionCallID") == call;
    });
    EXPECT_NE(begin, "") << watcher->All();
    EXPECT_EQ("CALLTYPE_UNMONITORED", FieldOf(begin, "CallType")) << begin;  // 16

    // Call ID -1 at the agent's device names the private call.
    const uint32_t hold = agent->Send("HOLD_CALL_REQ" + kP + " ConnectionCallID=-1 ConnectionDeviceIDType=0 "
                                      "ConnectionDeviceID=4002 Reservation=0");
    EXPECT_NE(agent->Wait("HOLD_CALL_CONF", hold), "") << agent->All();
    const auto h = CstaOf(hold);
    EXPECT_NE(h.fields.find("ActiveCall=(" + call + ",\"4002\",0)"), std::string::npos) << h.fields;

    const uint32_t clear = agent->Send("CLEAR_CALL_REQ" + kP + " ConnectionCallID=" + call +
                                       " ConnectionDeviceIDType=0 ConnectionDeviceID=4002");
    EXPECT_NE(agent->Wait("CLEAR_CALL_CONF", clear), "") << agent->All();
    const std::string end = watcher->WaitFor([&](const std::string& l) {
        return CtiSession::Is(l, "END_CALL_EVENT") && FieldOf(l, "ConnectionCallID") == call;
    });
    EXPECT_NE(end, "") << watcher->All();
    // Released: the same call ID -1 now names no call at the device and goes out as given.
    const uint32_t again = agent->Send("HOLD_CALL_REQ" + kP + " ConnectionCallID=-1 ConnectionDeviceIDType=0 "
                                       "ConnectionDeviceID=4002 Reservation=0");
    EXPECT_NE(agent->Wait("HOLD_CALL_CONF", again), "") << agent->All();
    EXPECT_EQ(std::string::npos, CstaOf(again).fields.find("ActiveCall=(" + call + ","));
}

class PrivateCallLimit : public CallControl {
protected:
    // The calls an agent makes; the BEGIN and END_CALL_EVENTs the watcher saw of each.
    std::vector<std::string> MakeCalls(CtiSession& agent, int n) {
        std::vector<std::string> calls;
        for (int i = 0; i < n; ++i) {
            const uint32_t make = agent.Send(MakeCall("4002", "555200" + std::to_string(i)));
            const std::string conf = agent.Wait("MAKE_CALL_CONF", make);
            EXPECT_NE(conf, "") << agent.All();
            calls.push_back(FieldOf(conf, "NewConnectionCallID"));
        }
        return calls;
    }
    static bool Saw(CtiSession& s, const std::string& type, const std::string& call, int ms) {
        return !s.WaitFor([&](const std::string& l) {
                      return CtiSession::Is(l, type) && FieldOf(l, "ConnectionCallID") == call;
                  },
                  ms)
                    .empty();
    }
};

// MaxPrivateCallsPerAgent is 2 in the shipped configuration.
TEST_F(PrivateCallLimit, TheThirdOfTwoDropsTheOldestAndNoneMakesNone) {
    auto watcher = Open("watcher", 0x10);
    auto agent = OpenAgent("1002");
    ASSERT_TRUE(watcher && agent);
    const std::vector<std::string> calls = MakeCalls(*agent, 3);
    for (const std::string& call : calls) EXPECT_TRUE(Saw(*watcher, "BEGIN_CALL_EVENT", call, 20000)) << call;
    EXPECT_TRUE(Saw(*watcher, "END_CALL_EVENT", calls[0], 20000)) << watcher->All();
    // The two newer ones stay: their ends would have come before the oldest's.
    EXPECT_FALSE(Saw(*watcher, "END_CALL_EVENT", calls[1], 0)) << watcher->All();
    EXPECT_FALSE(Saw(*watcher, "END_CALL_EVENT", calls[2], 0)) << watcher->All();

    // With the limit at 0 the confirmation still comes, and no call begins.
    parlotest::SetDword(parlotest::kDynamicKey, "MaxPrivateCallsPerAgent", 0);
    ASSERT_TRUE(parlo_->WaitText("The setting MaxPrivateCallsPerAgent changed from 2 to 0.")) << parlo_->Output();
    const size_t begun = watcher->Count("BEGIN_CALL_EVENT");
    const std::vector<std::string> none = MakeCalls(*agent, 1);
    // A HOLD on the agent's device after it: its confirmation comes after any begin event.
    const uint32_t hold = agent->Send("HOLD_CALL_REQ" + kP + " ConnectionCallID=-1 ConnectionDeviceIDType=0 "
                                      "ConnectionDeviceID=4002 Reservation=0");
    EXPECT_NE(agent->Wait("HOLD_CALL_CONF", hold), "");
    EXPECT_FALSE(Saw(*watcher, "BEGIN_CALL_EVENT", none[0], 0)) << watcher->All();
    EXPECT_EQ(begun, watcher->Count("BEGIN_CALL_EVENT"));
}


// The newest "refused with" line of the server: its code and the OPC requests left
// outstanding, read from OPCReq::CountLive; ("", -1) when none.
std::pair<std::string, int> LastRefusal(const std::string& out) {
    const size_t at = out.rfind(" refused with ");
    if (at == std::string::npos) return {"", -1};
    const std::string line = out.substr(at, out.find('\n', at) - at);
    const size_t code = line.find("with ") + 5;
    const size_t requests = line.find("OPC requests ");
    return {line.substr(code, line.find_first_of(";, ", code) - code),
            requests == std::string::npos ? -1 : std::atoi(line.c_str() + requests + 13)};
}

// Every failure code the handlers raise, over real sockets: one answer with the request's
// InvokeID and the code, nothing sent to OPC, no outstanding request left. Calls the server
// knows are those of the agents' lines in the stand-in's table (1002 talks on 3001 at 4002).
TEST_F(CallControl, EveryRefusalIsOneAnswerAndNothingReachesOpc) {
    // 1004: a supervisor who is logged out, so a session of his waits for the login.
    Opc("agent 5000 1004 stid=9004 ext=4004 inst=4004 state=1 supervisor=1 team=7", "agent set");
    auto ctl = Open("ctl", 0x94);
    auto noControl = Open("watch", 0x10);
    auto noSupervisor = Open("plain", 0x14);
    auto a1002 = OpenAgent("1002");
    auto a1003 = OpenAgent("1003");
    auto waiting = OpenAgent("1004", 0x80);
    ASSERT_TRUE(ctl && noControl && noSupervisor && a1002 && a1003 && waiting);
    // A session that is not agent-mode finds a known call through the instrument it names.
    const std::string known = kP + " ConnectionCallID=3001 ConnectionDeviceIDType=0 ConnectionDeviceID=9999";
    const std::string atAgent = " AgentInstrument=4002";
    // 1002's private call at 4002, one that 1003 is no party of.
    const uint32_t make = a1002->Send(MakeCall("4002", "5553000"));
    const std::string made = FieldOf(a1002->Wait("MAKE_CALL_CONF", make), "NewConnectionCallID");
    ASSERT_NE("(absent)", made) << a1002->All();
    ASSERT_TRUE(CstaOf(make).found());
    const std::string unknown = kP + " ConnectionCallID=7100 ConnectionDeviceIDType=0 ConnectionDeviceID=6100";
    const std::string supervise = "SUPERVISE_CALL_REQ" + kP +
                                  " AgentConnectionCallID=7101 AgentConnectionDeviceIDType=0 AgentConnectionDeviceID=6101 "
                                  "SupervisorConnectionCallID=7102 SupervisorConnectionDeviceIDType=0 "
                                  "SupervisorConnectionDeviceID=6102 SupervisoryAction=1 SupervisorInstrument=4003";
    struct Row {
        const char* what;
        CtiSession* session;
        std::string line;
        const char* code;  // CONTROL_FAILURE_CONF's FailureCode
    };
    const Row rows[] = {
        {"no CLIENT_CONTROL", noControl.get(), "HOLD_CALL_REQ" + unknown + " Reservation=0",
         "CF_PRIVILEGE_VIOLATION_ON_CALLING_DEVICE"},
        {"no CLIENT_CONTROL, supervise", noControl.get(), supervise + " AgentInstrument=4002",
         "CF_PRIVILEGE_VIOLATION_ON_CALLING_DEVICE"},
        {"no SUPERVISOR", noSupervisor.get(), supervise + " AgentInstrument=4002",
         "CF_PRIVILEGE_VIOLATION_ON_CALLING_DEVICE"},
        {"another agent's instrument", a1002.get(), "HOLD_CALL_REQ" + unknown + " Reservation=0 AgentInstrument=4001",
         "CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"},
        {"make call from another device", a1002.get(), MakeCall("4001", "5551"),
         "CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"},
        {"emergency call for another extension", a1002.get(),
         "EMERGENCY_CALL_REQ" + unknown + " AgentExtension=4001", "CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"},
        {"supervisor assist on another peripheral", a1002.get(),
         "SUPERVISOR_ASSIST_REQ PeripheralID=5001 ConnectionCallID=7100 ConnectionDeviceIDType=0 "
         "ConnectionDeviceID=6100 AgentExtension=4002",
         "CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"},
        {"known call, other connection: alternate", ctl.get(),
         "ALTERNATE_CALL_REQ" + kP + " ActiveConnCallID=3001 ActiveConnDeviceIDType=0 ActiveConnDeviceID=9999 "
                                     "OtherConnCallID=7103 OtherConnDeviceIDType=0 OtherConnDeviceID=6103" + atAgent,
         "CF_INVALID_CSTA_CALL_IDENTIFIER"},
        {"known call, other connection: clear call", ctl.get(), "CLEAR_CALL_REQ" + known + atAgent,
         "CF_INVALID_CSTA_CALL_IDENTIFIER"},
        {"known call, other connection: deflect", ctl.get(), "DEFLECT_CALL_REQ" + known + " CalledDeviceType=0 CalledDeviceID=5" + atAgent,
         "CF_INVALID_CSTA_CALL_IDENTIFIER"},
        {"known call, other connection: reconnect", ctl.get(),
         "RECONNECT_CALL_REQ" + kP + " ActiveConnCallID=3001 ActiveConnDeviceIDType=0 ActiveConnDeviceID=9999 "
                                     "HeldConnCallID=7104 HeldConnDeviceIDType=0 HeldConnDeviceID=6104" + atAgent,
         "CF_INVALID_CSTA_CALL_IDENTIFIER"},
        {"known call, other connection: dtmf", ctl.get(),
         "SEND_DTMF_SIGNAL_REQ" + known + " ToneDuration=1 PauseDuration=1 DTMFString=1" + atAgent, "CF_INVALID_CSTA_CALL_IDENTIFIER"},
        {"known call, other connection: consultation", a1002.get(),
         "CONSULTATION_CALL_REQ" + kP + kPlacing + kNoEcc +
             " ConsultType=0 ActiveConnCallID=3001 ActiveConnDeviceIDType=0 ActiveConnDeviceID=9999 DialedNumber=5",
         "CF_INVALID_CSTA_CALL_IDENTIFIER"},
        {"known call, other connection: conference", a1002.get(),
         "CONFERENCE_CALL_REQ" + kP + kPlacing + kNoEcc +
             " ActiveConnCallID=3001 ActiveConnDeviceIDType=0 ActiveConnDeviceID=9999 HeldConnCallID=7105 "
             "HeldConnDeviceIDType=0 HeldConnDeviceID=6105",
         "CF_INVALID_CSTA_CALL_IDENTIFIER"},
        {"known call, other connection: transfer", a1002.get(),
         "TRANSFER_CALL_REQ" + kP + kPlacing + kNoEcc +
             " ActiveConnCallID=3001 ActiveConnDeviceIDType=0 ActiveConnDeviceID=9999 HeldConnCallID=7106 "
             "HeldConnDeviceIDType=0 HeldConnDeviceID=6106",
         "CF_INVALID_CSTA_CALL_IDENTIFIER"},
        {"known call, other connection: snapshot", a1003.get(), "SNAPSHOT_CALL_REQ" + known,
         "CF_INVALID_CSTA_CALL_IDENTIFIER"},
        {"known call, other connection: hold", ctl.get(), "HOLD_CALL_REQ" + known + " Reservation=0",
         "CF_INVALID_CSTA_CONNECTION_IDENTIFIER"},
        {"the agent is no party: clear connection", a1003.get(),
         "CLEAR_CONNECTION_REQ" + kP + " ConnectionCallID=" + made + " ConnectionDeviceIDType=0 ConnectionDeviceID=4002",
         "CF_AGENT_NOT_PARTY_ON_CALL"},
        {"the agent is no party: hold", a1003.get(),
         "HOLD_CALL_REQ" + kP + " ConnectionCallID=" + made + " ConnectionDeviceIDType=0 ConnectionDeviceID=4002 Reservation=0",
         "CF_AGENT_NOT_PARTY_ON_CALL"},
        {"a dynamic device without DropAnyPartyEnabled", ctl.get(),
         "CLEAR_CONNECTION_REQ" + kP + " ConnectionCallID=7107 ConnectionDeviceIDType=1 ConnectionDeviceID=6107",
         "CF_DROP_ANY_PARTY_NOT_ENABLED_CTI"},
        {"supervise naming no agent", ctl.get(), supervise, "CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"},
        {"supervise naming an unknown agent", ctl.get(), supervise + " AgentID=7777",
         "CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"},
        {"supervise from a session still without its agent", waiting.get(), supervise + " AgentInstrument=4002",
         "CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"},
        {"supervise: the agent's connection is not on its known call", ctl.get(),
         "SUPERVISE_CALL_REQ" + kP +
             " AgentConnectionCallID=3001 AgentConnectionDeviceIDType=0 AgentConnectionDeviceID=9999 "
             "SupervisorConnectionCallID=7108 SupervisorConnectionDeviceIDType=0 SupervisorConnectionDeviceID=6108 "
             "SupervisoryAction=1 AgentExtension=4002 AgentInstrument=4002 SupervisorInstrument=4008",
         "CF_GENERIC_UNSPECIFIED"},
        {"device snapshot of another instrument", a1002.get(), "SNAPSHOT_DEVICE_REQ" + kP + " SnapshotDeviceType=0 AgentInstrument=4001",
         "CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const size_t sent = CstaCount();
        const size_t refusals = parlo_->Count(" refused with ");
        const uint32_t invoke = row.session->Send(row.line);
        ASSERT_NE(invoke, 0u) << row.session->Error();
        // Whatever answers it: a confirmation instead of the refusal shows at once.
        const std::string answer = row.session->WaitFor([&](const std::string& l) { return CtiSession::HasInvoke(l, invoke); });
        EXPECT_NE(answer.find(std::string("FailureCode:") + row.code + " "), std::string::npos)
            << answer << "\n" << row.session->All();
        EXPECT_NE(answer.find("PeripheralErrorCode:0 "), std::string::npos) << answer;
        // A request on an unknown call from the same session reaches OPC after it: had the
        // refused one been sent, it would stand before.
        CtiSession* markerSession =
            row.session == waiting.get() || row.session == noControl.get() ? ctl.get() : row.session;
        const uint32_t marker = markerSession->Send("HOLD_CALL_REQ" + unknown + " Reservation=0");
        EXPECT_TRUE(CstaOf(marker).found()) << opc_->Output();
        // Its record ends with its confirmation: the next row's count starts from none.
        EXPECT_NE("", markerSession->Wait("HOLD_CALL_CONF", marker)) << markerSession->All();
        EXPECT_EQ(sent + 1, CstaCount()) << opc_->Output();
        EXPECT_EQ(1u, row.session->Answers(invoke).size()) << row.session->All();
        // The server's own account: no outstanding request stayed behind the refusal. Its line
        // was written before the marker went out; it only has to be read.
        EXPECT_TRUE(parlo_->WaitCount(" refused with ", refusals + 1, 300)) << "no refusal line with its OPC requests";
        const auto refusal = LastRefusal(parlo_->Output());
        EXPECT_EQ(row.code, refusal.first);
        EXPECT_EQ(0, refusal.second);
    }
}


const std::string kHoldUnknown =
    "HOLD_CALL_REQ" + kP + " ConnectionCallID=7200 ConnectionDeviceIDType=0 ConnectionDeviceID=6200 Reservation=0";

// What OPC may answer, and what the client gets: a universal failure as a control failure
// with OPC's codes (297 as FAILURE_CONF 73), a confirmation of another type as control
// failure 0, an answer under an InvokeID the server never issued through the session's
// unique instance ID; a session waiting for its agent's login is answered like an open one.
TEST_F(CallControl, OpcsAnswersReachTheClientAsTheirConfirmations) {
    auto s = Open("conf", 0x94);
    auto waiting = OpenAgent("1001");  // logged out: the session waits for the login
    ASSERT_TRUE(s && waiting);
    struct Row {
        const char* rule;
        const char* answer;
        std::vector<std::string> pieces;
    };
    const Row rows[] = {
        {"answer 21 failure error=13 pec=99", "CONTROL_FAILURE_CONF",
         {"FailureCode:CF_INVALID_CSTA_CONNECTION_IDENTIFIER ", "PeripheralErrorCode:99 "}},
        {"answer 21 failure error=297 pec=5", "FAILURE_CONF", {"Status:E_CTI_TOO_MUCH_DATA "}},
        {"answer 21 as=28", "CONTROL_FAILURE_CONF", {"FailureCode:CF_GENERIC_UNSPECIFIED ", "PeripheralErrorCode:0 "}},
        {"answer 21 invoke=0x7fff0001", "HOLD_CALL_CONF", {}},
        {"answer 21 default", "HOLD_CALL_CONF", {}},
    };
    std::vector<uint32_t> invokes;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rule);
        OpcAgain(row.rule, "parlo-opc: rule for type 21 set");
        const uint32_t invoke = s->Send(kHoldUnknown);
        invokes.push_back(invoke);
        const std::string answer = s->WaitFor([&](const std::string& l) { return CtiSession::HasInvoke(l, invoke); });
        EXPECT_TRUE(CtiSession::Is(answer, row.answer)) << answer << "\n" << s->All() << parlo_->Output();
        for (const std::string& piece : row.pieces) EXPECT_NE(answer.find(piece), std::string::npos) << answer;
        EXPECT_TRUE(CstaOf(invoke).found());
    }
    // The last answer came after every other: one each.
    for (uint32_t invoke : invokes) EXPECT_EQ(1u, s->Answers(invoke).size()) << s->All();

    const uint32_t invoke = waiting->Send(kHoldUnknown);
    EXPECT_NE(waiting->Wait("HOLD_CALL_CONF", invoke), "") << waiting->All() << parlo_->Output();
}

// A WEXA CIL session gets no confirmation that carries only the InvokeID, every other one,
// and its failures with its WEXACILClientID.
TEST_F(CallControl, AWexaCilSessionGetsItsShareOfTheConfirmations) {
    auto cil = Open("cil", 0x200094);
    auto cilWithoutControl = Open("cilwatch", 0x200010);
    ASSERT_TRUE(cil && cilWithoutControl);
    const std::string conn = kP + " ConnectionCallID=7300 ConnectionDeviceIDType=0 ConnectionDeviceID=6300";
    const std::string active = kP + " ActiveConnCallID=7301 ActiveConnDeviceIDType=0 ActiveConnDeviceID=6301";
    const std::string held = " HeldConnCallID=7302 HeldConnDeviceIDType=0 HeldConnDeviceID=6302";
    const std::string other = " OtherConnCallID=7303 OtherConnDeviceIDType=0 OtherConnDeviceID=6303";
    const std::string cilID = " WEXACILClientID=cil1";
    // Group A: the InvokeID alone. Each reaches OPC and is answered there.
    const std::vector<std::string> groupA = {
        "ALTERNATE_CALL_REQ" + active + other + cilID,
        "ANSWER_CALL_REQ" + conn + cilID,
        "CLEAR_CALL_REQ" + conn + cilID,
        "CLEAR_CONNECTION_REQ" + conn + cilID,
        "DEFLECT_CALL_REQ" + conn + " CalledDeviceType=0 CalledDeviceID=5" + cilID,
        "HOLD_CALL_REQ" + conn + " Reservation=0" + cilID,
        "RECONNECT_CALL_REQ" + active + held + cilID,
        "RETRIEVE_CALL_REQ" + kP + held + cilID,
        "SEND_DTMF_SIGNAL_REQ" + conn + " ToneDuration=1 PauseDuration=1 DTMFString=1" + cilID,
    };
    for (const std::string& line : groupA) {
        const uint32_t invoke = cil->Send(line);
        ASSERT_NE(invoke, 0u) << cil->Error();
        EXPECT_TRUE(CstaOf(invoke).found()) << line;
    }
    // The others come, after which any of group A would have come too.
    const std::vector<std::pair<std::string, const char*>> others = {
        {MakeCall("6304", "5554"), "MAKE_CALL_CONF"},
        {"CONSULTATION_CALL_REQ" + active + kPlacing + kNoEcc + " ConsultType=0 DialedNumber=5", "CONSULTATION_CALL_CONF"},
        {"CONFERENCE_CALL_REQ" + active + held + kPlacing + kNoEcc, "CONFERENCE_CALL_CONF"},
        {"TRANSFER_CALL_REQ" + active + held + kPlacing + kNoEcc, "TRANSFER_CALL_CONF"},
        {"EMERGENCY_CALL_REQ" + conn + " AgentExtension=4002", "EMERGENCY_CALL_CONF"},
        {"SUPERVISOR_ASSIST_REQ" + conn + " AgentExtension=4002", "SUPERVISOR_ASSIST_CONF"},
    };
    for (const auto& [line, answer] : others) {
        const uint32_t invoke = cil->Send(line);
        EXPECT_NE(cil->Wait(answer, invoke), "") << line << "\n" << cil->All() << parlo_->Output();
    }
    for (const char* type : {"ALTERNATE_CALL_CONF", "ANSWER_CALL_CONF", "CLEAR_CALL_CONF", "CLEAR_CONNECTION_CONF",
                             "DEFLECT_CALL_CONF", "HOLD_CALL_CONF", "RECONNECT_CALL_CONF", "RETRIEVE_CALL_CONF",
                             "SEND_DTMF_SIGNAL_CONF"})
        EXPECT_EQ(0u, cil->Count(type)) << type << "\n" << cil->All();

    // Failures carry the session's WEXACILClientID: OPC's, and the road's own.
    OpcAgain("answer 21 failure error=13 pec=99", "parlo-opc: rule for type 21 set");
    uint32_t invoke = cil->Send("HOLD_CALL_REQ" + conn + " Reservation=0 WEXACILClientID=cil9");
    std::string failure = cil->Wait("CONTROL_FAILURE_CONF", invoke);
    EXPECT_NE(failure.find("PeripheralErrorCode:99 "), std::string::npos) << failure << cil->All();
    EXPECT_NE(failure.find("\"cil9\""), std::string::npos) << failure;
    invoke = cilWithoutControl->Send("HOLD_CALL_REQ" + conn + " Reservation=0 WEXACILClientID=cil7");
    failure = cilWithoutControl->Wait("CONTROL_FAILURE_CONF", invoke);
    EXPECT_NE(failure.find("FailureCode:CF_PRIVILEGE_VIOLATION_ON_CALLING_DEVICE "), std::string::npos)
        << failure << cilWithoutControl->All();
    EXPECT_NE(failure.find("\"cil7\""), std::string::npos) << failure;
}

// The call data of the call-placing requests as OPC receives it.
TEST_F(CallControl, CallDataReachesOpcAsTheRequestsTablesSay) {
    // user.short: a scalar of at most 5 characters; user.list: an array of 3.
    EccVariables({"1/5/0/0/1/0/user.short", "2/40/3/1/1/0/user.list"});
    auto s = Open("data", 0x94);
    auto tressik = Open("tressik", 0x94, {"ClientSignature=Tressik"});
    ASSERT_TRUE(s && tressik);
    const std::string active = kP + " ActiveConnCallID=7400 ActiveConnDeviceIDType=0 ActiveConnDeviceID=6400";
    const std::string held = " HeldConnCallID=7401 HeldConnDeviceIDType=0 HeldConnDeviceID=6401";
    const std::string predictive =
        "MAKE_PREDICTIVE_CALL_REQ" + kP +
        " CallPlacementType=0 CallMannerType=0 AlertRings=0 CallOption=0 FacilityType=0 AnsweringMachine=0 "
        "Priority=0 AllocationState=0 DestinationCountry=0 AnswerDetectMode=0 AnswerDetectTime=0 "
        "AnswerDetectControl1=0 AnswerDetectControl2=0 OriginatingDeviceID=6402 DialedNumber=5555";
    // The element holds at most 131 bytes: the most a client can send.
    std::string u2u131 = "hex:";
    for (int i = 0; i < 131; ++i) u2u131 += "ab";
    std::string u2u130;
    for (int i = 0; i < 130; ++i) u2u130 += "ab";
    // A call variable holds at most 40 characters on the client's side of the wire too.
    const std::string long40(40, 'q');
    struct Row {
        const char* what;
        CtiSession* session;
        std::string line;
        std::vector<std::string> pieces;
        std::vector<std::string> absent = {};
    };
    std::string emptyVariables, markedVariables;
    for (int i = 1; i <= 10; ++i) {
        emptyVariables += " CallVariable" + std::to_string(i) + "=\"\"";
        markedVariables += " CallVariable" + std::to_string(i) + "=\"\\xff\"";
    }
    const Row rows[] = {
        {"make call, nothing given", s.get(), MakeCall("6403", "5556"),
         {emptyVariables + " UserToUserLength=0 ", " WrapupData=\"\" FacilityCode=\"\" AuthorizationCode=\"\" "
                                                   "AccountCode=\"\" CCT=\"\" ECCSize=0"}},
        {"predictive, nothing given", s.get(), predictive + kNoEcc,
         {emptyVariables + " UserToUserLength=0 ", " WrapupData=\"\" ", " OriginatingLineID=\"\" CCT=\"\" ECCSize=0"}},
        {"consultation, nothing given", s.get(),
         "CONSULTATION_CALL_REQ" + active + kPlacing + kNoEcc + " ConsultType=0 DialedNumber=5557",
         {markedVariables + " UserToUserLength=2 ", " UserToUser=ff00 WrapupData=\"\\xff\" FacilityCode=\"\" "}},
        {"conference, nothing given", s.get(), "CONFERENCE_CALL_REQ" + active + held + kPlacing + kNoEcc,
         {markedVariables + " UserToUserLength=2 ", " UserToUser=ff00 WrapupData=\"\\xff\" ", " DialedNumber=\"\" "}},
        {"transfer, nothing given", s.get(), "TRANSFER_CALL_REQ" + active + held + kPlacing + kNoEcc,
         {markedVariables + " UserToUserLength=2 ", " UserToUser=ff00 WrapupData=\"\\xff\" ", " DialedNumber=\"\" "}},
        {"user-to-user data of 131 bytes", s.get(), MakeCall("6403", "5556", " UserToUser=" + u2u131),
         {" UserToUserLength=130 UserToUserMark=0xffff UserToUser=" + u2u130 + " "}},
        {"a call variable of 40 characters", s.get(),
         MakeCall("6403", "5556", " CallVariable1=" + long40 + " CallVariable10=ten CallWrapupData=wrap"),
         {" CallVariable1=\"" + long40 + "\" CallVariable2=\"\" ", " CallVariable10=\"ten\" ", " WrapupData=\"wrap\" "}},
        {"transfer to a dialed number", s.get(),
         "TRANSFER_CALL_REQ" + active + " HeldConnCallID=-1 HeldConnDeviceIDType=1 HeldConnDeviceID=6405" + kPlacing +
             kNoEcc + " DialedNumber=777",
         {"HeldCall=(-1,\"6405\",0) ActiveCall=(7400,\"6400\",0)", " DialedNumber=\"777\" "}},
        {"ECC merged and cut, an unknown name left out", s.get(),
         MakeCall("6403", "5556", " ECC.user.short=abcdefgh ECC.user.list[1]=second ECC.user.nobody=x"),
         {" ECC.user.short=\"abcde\" ECC.user.list[0]=\"\" ECC.user.list[1]=\"second\""}, {"nobody"}},
        {"Tressik texts in the local code page", tressik.get(),
         MakeCall("6403", "5556", " CallVariable1=\xc3\xa9t\xc3\xa9 CallWrapupData=\xc3\xa0"),
         {" CallVariable1=\"\\xe9t\\xe9\" ", " WrapupData=\"\\xe0\" "}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const uint32_t invoke = row.session->Send(row.line);
        ASSERT_NE(invoke, 0u) << row.session->Error();
        const auto c = CstaOf(invoke);
        ASSERT_TRUE(c.found()) << row.session->All() << parlo_->Output();
        for (const std::string& piece : row.pieces) EXPECT_NE(c.fields.find(piece), std::string::npos) << piece << "\n" << c.fields;
        for (const std::string& piece : row.absent) EXPECT_EQ(c.fields.find(piece), std::string::npos) << c.fields;
    }
    // A merge that fails answers FAILURE_CONF and sends nothing.
    const size_t sent = CstaCount();
    const uint32_t invoke = s->Send(MakeCall("6403", "5556", " ECC.user.list[7]=x"));
    const std::string answer = s->WaitFor([&](const std::string& l) { return CtiSession::HasInvoke(l, invoke); });
    EXPECT_TRUE(CtiSession::Is(answer, "FAILURE_CONF")) << answer;
    EXPECT_TRUE(CstaOf(s->Send(kHoldUnknown)).found());
    EXPECT_EQ(sent + 1, CstaCount()) << opc_->Output();
}

// With DisableUTF8Conversion set before the start, a Tressik session's texts go as they came.
class CallDataUnconverted : public CallControl {
protected:
    void BeforeStart() override { parlotest::SetDword(parlotest::kConfigKey, "DisableUTF8Conversion", 1); }
};

TEST_F(CallDataUnconverted, TressikTextsGoAsTheyCame) {
    auto tressik = Open("tressik", 0x94, {"ClientSignature=Tressik"});
    ASSERT_TRUE(tressik);
    const uint32_t invoke = tressik->Send(MakeCall("6403", "5556", " CallVariable1=\xc3\xa9t\xc3\xa9 CallWrapupData=\xc3\xa0"));
    const auto c = CstaOf(invoke);
    EXPECT_NE(c.fields.find(" CallVariable1=\"\\xc3\\xa9t\\xc3\\xa9\" "), std::string::npos) << c.fields;
    EXPECT_NE(c.fields.find(" WrapupData=\"\\xc3\\xa0\" "), std::string::npos) << c.fields;
}

// The snapshot and query answers OPC gives, as the client gets them.
TEST_F(CallControl, SnapshotsAndQueriesGiveWhatOpcReportedWithinTheirLimits) {
    FlagPeripheral();
    // The application learns the peripheral's internal type from its agents' messages.
    auto agent = OpenAgent("1002");
    auto old = Open("v13", 0x94, {"VersionNumber=13", "CallMsgMask=0"});
    auto s = Open("snap", 0x94);
    ASSERT_TRUE(agent && old && s);

    // A device parlo does not track: the dotted entry of three is left out for version 13.
    OpcAgain("answer 122 entries=8001/6500/0/3/0,8002/6500.1/0/3/0,8003/6500/0/2/0", "parlo-opc: rule for type 122 set");
    uint32_t invoke = old->Send("SNAPSHOT_DEVICE_REQ" + kP + " SnapshotDeviceType=0 AgentInstrument=6500");
    std::string conf = old->Wait("SNAPSHOT_DEVICE_CONF", invoke);
    EXPECT_NE(conf.find("NumCalls:2 "), std::string::npos) << conf << old->All() << parlo_->Output();
    EXPECT_NE(conf.find("8001"), std::string::npos) << conf;
    EXPECT_NE(conf.find("8003"), std::string::npos) << conf;
    EXPECT_EQ(conf.find("8002"), std::string::npos) << conf;
    // Version 24 sees all three.
    invoke = s->Send("SNAPSHOT_DEVICE_REQ" + kP + " SnapshotDeviceType=0 AgentInstrument=6500");
    conf = s->Wait("SNAPSHOT_DEVICE_CONF", invoke);
    EXPECT_NE(conf.find("NumCalls:3 "), std::string::npos) << conf;

    // Lines: type 15 and handle 11 out of range, twelve lines for ten slots.
    OpcAgain("answer 37 lines=0/2,11/15,1/3,2/3,3/3,4/3,5/3,6/3,7/3,8/3,9/3,10/3", "parlo-opc: rule for type 37 set");
    invoke = s->Send("QUERY_DEVICE_INFO_REQ" + kP + " QueryDeviceDataType=0 AgentInstrument=6501");
    conf = s->Wait("QUERY_DEVICE_INFO_CONF", invoke);
    EXPECT_NE(conf, "") << s->All() << parlo_->Output();
    EXPECT_TRUE(parlo_->WaitText("*** ProcessQueryDeviceInfoConf: Invalid LineHandle 11 for line[1] ***"));
    EXPECT_TRUE(parlo_->WaitText("*** ProcessQueryDeviceInfoConf: Invalid LineType 15 for line[1] ***"));
    size_t handles = 0;
    for (size_t at = conf.find("LineHandle:"); at != std::string::npos; at = conf.find("LineHandle:", at + 1)) ++handles;
    EXPECT_EQ(10u, handles) << conf;
    EXPECT_NE(conf.find("NumLines:10 "), std::string::npos) << conf;
    // Line 1 goes as handle 65535 (printed as the 16-bit field's value text) and type 3.
    EXPECT_NE(conf.find("FltLineHandle:0 FltLineType:LINETYPE_INSIDE FltLineHandle:0xffffffff "
                        "FltLineType:LINETYPE_UNKNOWN FltLineHandle:1 "),
              std::string::npos)
        << conf;
    EXPECT_NE(conf.find("FltLineHandle:8 FltLineType:LINETYPE_UNKNOWN )"), std::string::npos) << conf;
}

// With VerifySnapshot on, a connection parlo tracks at the device that OPC's snapshot leaves
// out is freed. The tracked connection is one an earlier snapshot reported (on the flagged
// peripheral the check makes the calls it is told of).
TEST_F(CallControl, VerifySnapshotFreesWhatOpcNoLongerReports) {
    FlagPeripheral();
    parlotest::SetDword(parlotest::kDynamicKey, "VerifySnapshot", 1);
    ASSERT_TRUE(parlo_->WaitText("The setting VerifySnapshot changed from 0 to 1.")) << parlo_->Output();
    auto agent = OpenAgent("1002");  // the device 4002, of a peripheral of internal type 30
    auto s = Open("verify", 0x94);
    ASSERT_TRUE(agent && s);
    const std::string snapshot = "SNAPSHOT_DEVICE_REQ" + kP + " SnapshotDeviceType=0 AgentInstrument=4002";
    OpcAgain("answer 122 entries=8100/4002/0/3/0", "parlo-opc: rule for type 122 set");
    uint32_t invoke = s->Send(snapshot);
    std::string conf = s->Wait("SNAPSHOT_DEVICE_CONF", invoke);
    EXPECT_NE(conf.find("CallConnectionCallID:8100 "), std::string::npos) << conf << parlo_->Output();

    OpcAgain("answer 122 entries=none", "parlo-opc: rule for type 122 set");
    invoke = s->Send(snapshot);
    conf = s->Wait("SNAPSHOT_DEVICE_CONF", invoke);
    EXPECT_TRUE(parlo_->WaitText("NOT REPORTED BY PIM/OPC")) << parlo_->Output();
    EXPECT_EQ(conf.find("CallConnectionCallID:8100 "), std::string::npos) << conf;
    // Freed for good: the next snapshot does not find it either.
    invoke = s->Send(snapshot);
    conf = s->Wait("SNAPSHOT_DEVICE_CONF", invoke);
    EXPECT_NE(conf, "");
    EXPECT_EQ(conf.find("CallConnectionCallID:8100 "), std::string::npos) << conf;
}

}  // namespace
