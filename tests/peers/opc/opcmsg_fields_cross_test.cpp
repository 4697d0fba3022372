// The stand-in's field-by-field line of each CSTA request against the server's request
// classes: opcmsg writes a request with chosen values, parlo-opc reads it with its own table
// of the layouts and prints it; a field in the wrong place shows as a wrong value.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "opcmsg/cstarequests.h"
#include "opcmsg/cstawire.h"
#include "tests/peers/opc/opc_link_env.h"

namespace opcpeer {
namespace {

using linktest::inbox;
using linktest::Message;
using linktest::OpcLink;

constexpr uint16_t kPeripheral = 5000;

// Ten 41-byte slots, the given ones first.
std::string Slots(const std::vector<std::string>& given) {
    std::string slots(410, '\0');
    for (size_t i = 0; i < given.size(); ++i) slots.replace(41 * i, given[i].size(), given[i]);
    return slots;
}

// A BINDATA: scalar 7 = "A17", array 9 with elements "x" and "yz".
const std::string kBindata = std::string("\x07\x00\x00\x00" "A17\0", 8) +
                             std::string("\xf7\xff\xff\xff\x02x\0yz\0", 10);

struct Case {
    const char* name;
    std::function<std::unique_ptr<TPCSTARequestMsg>()> make;
    std::vector<std::string> expected;  // pieces of the stand-in's line
};

template <class T>
std::unique_ptr<T> New() {
    return std::make_unique<T>(kPeripheral, 0x51, 0x52);
}

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"alternate",
         [] {
             auto r = New<TPCSTAAlternateCallMsg>();
             r->SetActiveCall(11, "4001", 0);
             r->SetOtherCall(12, "4002", 1);
             r->SetPDAnsweringDevice("4009");
             return r;
         },
         {"ActiveCall=(11,\"4001\",0) OtherCall=(12,\"4002\",1) AnsweringDevice=\"4009\""}},
        {"clear connection",
         [] {
             auto r = New<TPCSTAClearConnectionMsg>();
             r->SetCall(13, "4003", 1);
             r->SetPDSubjectDevice("4010");
             return r;
         },
         {"Call=(13,\"4003\",1) CompoundRequestType=-1 SubjectDevice=\"4010\""}},
        {"deflect",
         [] {
             auto r = New<TPCSTADeflectCallMsg>();
             r->SetDeflectCall(14, "4004", 0);
             r->SetCalledDevice("6000");
             r->SetPDAgentInstrument("4011");
             return r;
         },
         {"DeflectCall=(14,\"4004\",0) CalledDevice=\"6000\" AgentInstrument=\"4011\""}},
        {"hold",
         [] {
             auto r = New<TPCSTAHoldCallMsg>();
             r->SetActiveCall(-1, "4002", 0);
             r->SetReservation(1);
             return r;
         },
         {"ActiveCall=(-1,\"4002\",0) Reservation=1 CompoundRequestType=-1"}},
        {"send dtmf",
         [] {
             auto r = New<TPCSTASendDTMFMsg>();
             r->SetTransferParty(15, "4005", 0);
             r->SetReceiveParty(15, "4005", 0);
             r->SetDTMFSequence("12#");
             r->SetToneDuration(100);
             r->SetPauseDuration(1);
             return r;
         },
         {"TransferParty=(15,\"4005\",0) ReceiveParty=(15,\"4005\",0) DTMFSequence=\"12#\" "
          "ToneDuration=100 PauseDuration=1"}},
        {"supervise",
         [] {
             auto r = New<TPCSTASuperviseCallMsg>();
             r->SetAgentCall(16, "4002", 0);
             r->SetSupervisorCall(17, "4003", 0);
             r->SetAction(3);
             r->SetPDAgentExtension("4002");
             r->SetPDAgentID("1002");
             r->SetPDAgentInstrument("4002");
             r->SetPDSupervisorInstrument("4003");
             return r;
         },
         {"AgentCall=(16,\"4002\",0) SupervisorCall=(17,\"4003\",0) Action=3 AGExt=\"4002\" "
          "AGID=\"1002\" AGInst=\"4002\" SupervisorInstrument=\"4003\""}},
        {"emergency",
         [] {
             auto r = New<TPCSTAEmergencyCallMsg>();
             r->SetCall(18, "4002", 0);
             r->SetPDAgentExtension("4002");
             r->SetPDAgentID("1002");
             return r;
         },
         {"Call=(18,\"4002\",0) AGExt=\"4002\" AGID=\"1002\" AGInst=\"\""}},
        {"query device info",
         [] {
             auto r = New<TPCSTAQueryDeviceInfoMsg>();
             r->SetDevice("4002");
             r->SetPDDataRequest(5);
             return r;
         },
         {"Device=\"4002\" DataRequest=5"}},
        {"snapshot device",
         [] {
             auto r = New<TPCSTASnapshotDeviceMsg>();
             r->SetSnapshotObject("4002");
             return r;
         },
         {"SnapshotObject=\"4002\""}},
        {"make call",
         [] {
             auto r = New<TPCSTAMakeCallMsg>();
             r->SetCallingDevice("4002");
             r->SetCalledDevice("5551234");
             r->SetPDCallManner(2);
             r->SetPDAlertRings(4);
             r->SetPDPriority(1);
             r->SetPDCallVariables(Slots({"one", std::string(40, 'v')}).c_str());
             r->SetPDUserToUser("\x41\xff", 2);
             r->SetPDWrapupData("wrap");
             r->SetPDAccountCode("acct");
             r->SetPDCCT("cct1");
             r->SetPDECC(static_cast<int32_t>(kBindata.size()), kBindata.data());
             return r;
         },
         {"CallingDevice=\"4002\" CalledDevice=\"5551234\" CallPlacement=0 CallManner=2 "
          "ConsultType=0 AlertRings=4 ",
          "Priority=1 PostRoute=0 CallVariable1=\"one\" CallVariable2=\"" + std::string(40, 'v') +
              "\" CallVariable3=\"\"",
          "UserToUserLength=2 UserToUserMark=0xffff UserToUser=41ff WrapupData=\"wrap\"",
          "AccountCode=\"acct\" CCT=\"cct1\" ECCSize=18 ECC.Account=\"A17\" ECC.Items[0]=\"x\" "
          "ECC.Items[1]=\"yz\""}},
        {"predictive",
         [] {
             auto r = New<TPCSTAMakePredictiveCallMsg>();
             r->SetCallingDevice("4002");
             r->SetCalledDevice("5551");
             r->SetAllocationState(2);
             r->SetPDAnswerDetectTime(7);
             r->SetPDOriginatingLineID("line9");
             return r;
         },
         {"AllocationState=2 ", "AnswerDetectTime=7 AnswerDetectControl1=-1",
          "OriginatingLineID=\"line9\" CCT=\"\" ECCSize=0"}},
        {"consultation",
         [] {
             auto r = New<TPCSTAConsultationCallMsg>();
             r->SetActiveCall(19, "4002", 0);
             r->SetCalledDevice("4003");
             r->SetPDConsultType(2);
             r->SetCallingDevice("4002");
             r->SetPDCallVariables(Slots({"\xff"}).c_str());
             return r;
         },
         {"ActiveCall=(19,\"4002\",0) CalledDevice=\"4003\" ", "ConsultType=2 ",
          "CallVariable1=\"\\xff\"", "CallingDevice=\"4002\" ECCSize=0"}},
        {"conference",
         [] {
             auto r = New<TPCSTAConferenceCallMsg>();
             r->SetHeldCall(20, "4002", 0);
             r->SetActiveCall(21, "4002", 0);
             r->SetPDDialedNumber("777");
             return r;
         },
         {"HeldCall=(20,\"4002\",0) ActiveCall=(21,\"4002\",0) ", "DialedNumber=\"777\" CCT=\"\""}},
        {"transfer",
         [] {
             auto r = New<TPCSTATransferCallMsg>();
             r->SetHeldCall(-1, "4009", 0);
             r->SetActiveCall(22, "4002", 0);
             r->SetPDDialedNumber("888");
             return r;
         },
         {"HeldCall=(-1,\"4009\",0) ActiveCall=(22,\"4002\",0) ", "ConsultType=1 ",
          "DialedNumber=\"888\" ECCSize=0"}},
    };
    return cases;
}

class OpcmsgFieldsCross : public OpcLink {};

TEST_F(OpcmsgFieldsCross, TheStandInReadsEveryFieldWhereTheServerWritesIt) {
    // Table 3 names the ECC variables of the line.
    StartOpc("config 3 var=7/40/0/0/1/0/Account var=9/40/4/1/1/0/Items\n");
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<TPCSTARequestMsg> req = c.make();
        ::ConnectionID conn;
        const bool hasConnection = req->GetMainConnection(&conn);
        std::vector<uint8_t> buf(kCSTAMessageRoom);
        const int n = WriteCSTAMessage(buf.data(), kCSTAMessageRoom, hasConnection ? &conn : nullptr, 0,
                                       nullptr, *req, req->OPCBlock(), "desk");
        ASSERT_GT(n, 0);
        buf.resize(static_cast<size_t>(n));
        Send(kCstaMessage, buf);
        const std::string line = opc_->WaitLine("parlo-opc: csta ");
        ASSERT_NE(line, "");
        EXPECT_NE(line.find("invoke 0x51 "), std::string::npos) << line;
        for (const std::string& piece : c.expected) EXPECT_NE(line.find(piece), std::string::npos) << line;
        Message answer;
        ASSERT_TRUE(inbox.Take(kCstaMessage, &answer));
    }
}

}  // namespace
}  // namespace opcpeer
