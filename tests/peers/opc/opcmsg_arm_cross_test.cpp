// The stand-in OPC against the server's ARM and ACMI messages, over real MDS links: each
// request is built and serialized by opcmsg and answered by parlo-opc; each answer and each
// scripted event is read by opcmsg's classes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opcmsg/acmimsg.h"
#include "opcmsg/armagent.h"
#include "opcmsg/armagentinit.h"
#include "opcmsg/armapppath.h"
#include "opcmsg/armtask.h"
#include "opcmsg/armtasklist.h"
#include "tests/peers/opc/opc_link_env.h"

namespace opcpeer {
namespace {

using linktest::inbox;
using linktest::Message;
using linktest::OpcLink;

class OpcmsgArmCross : public OpcLink {
protected:
    // Serializes `req` with its own writer and sends it to parlo-opc.
    template <class Req>
    void SendMsg(const Req& req) {
        std::vector<uint8_t> body(req.GetLength());
        ASSERT_NE(req.Serialize(body.data(), body.size()), nullptr);
        Send(static_cast<uint8_t>(req.GetMsgType()), body);
    }
    // The next message of `type` from parlo-opc, read by Resp.
    template <class Resp>
    Resp Take(uint8_t type) {
        Message m;
        EXPECT_TRUE(inbox.Take(type, &m)) << int(type);
        if (m.payload.size() < 4) m.payload.assign(4, 0);
        Resp r(m.payload.data() + 4, m.payload.size() - 4);
        EXPECT_TRUE(r.IsValid()) << int(type);
        return r;
    }
    // Sends a request with invoke ids and a unique instance id where it has them, and checks
    // that its answer echoes them.
    template <class Req, class Resp>
    Resp RoundTrip(uint8_t answerType, int32_t invoke, Req req = Req()) {
        req.SetInvokeID(invoke);
        if constexpr (requires { req.SetClientInvokeID(invoke); })
            req.SetClientInvokeID(static_cast<decltype(req.GetClientInvokeID())>(invoke + 0x1000));
        const std::string uii = "desk-" + std::to_string(req.GetMsgType());
        if constexpr (requires { req.SetUniqueInstanceID(uii); }) req.SetUniqueInstanceID(uii);
        SendMsg(req);
        Resp r = Take<Resp>(answerType);
        EXPECT_EQ(static_cast<int32_t>(r.GetInvokeID()), invoke) << int(answerType);
        if constexpr (requires { r.GetClientInvokeID(); req.GetClientInvokeID(); }) {
            EXPECT_EQ(static_cast<int32_t>(r.GetClientInvokeID()), invoke + 0x1000);
        }
        if constexpr (requires { r.GetUniqueInstanceID(); req.GetUniqueInstanceID(); }) {
            EXPECT_EQ(r.GetUniqueInstanceID(), uii);
        }
        return r;
    }
};

TEST_F(OpcmsgArmCross, EveryRequestAndTheRouteRegisterAreAnswered) {
    StartOpc("arm-members 5000/1,5001/1,5002/2\n");
    ASSERT_NE(opc_->WaitLine("parlo-opc: script done"), "");
    EXPECT_EQ((RoundTrip<ARMMediaLoginReqMsg, ARMMediaLoginRespMsg>(50, 0x31).GetStatus()), 0);
    RoundTrip<ARMMakeAgentNotRoutableReqMsg, ARMMakeAgentNotRoutableRespMsg>(54, 0x32);
    RoundTrip<ARMMakeAgentNotReadyReqMsg, ARMMakeAgentNotReadyRespMsg>(57, 0x33);
    RoundTrip<ARMOfferApplicationTaskReqMsg, ARMOfferApplicationTaskRespMsg>(60, 0x34);
    RoundTrip<ARMStartApplicationTaskReqMsg, ARMStartApplicationTaskRespMsg>(63, 0x35);
    RoundTrip<ARMChangeMaxTaskLimitReqMsg, ARMChangeMaxTaskLimitRespMsg>(75, 0x36);
    RoundTrip<ARMOverrideLimitReqMsg, ARMOverrideLimitRespMsg>(77, 0x37);
    RoundTrip<ARMAgentInitReqMsg, ARMAgentInitRespMsg>(81, 0x38);
    RoundTrip<ARMTaskInitReqMsg, ARMTaskInitRespMsg>(104, 0x39);
    RoundTrip<ARMGetAgentTasksReqMsg, ARMGetAgentTasksRespMsg>(113, 0x3A);
    RoundTrip<ARMSnapshotTaskReqMsg, ARMSnapshotTaskRespMsg>(115, 0x3B);
    ACMIRouteRegisterReqMsg reg;
    reg.SetRoutePoint("8000");
    reg.SetAction(1);
    EXPECT_EQ((RoundTrip<ACMIRouteRegisterReqMsg, ACMIRouteRegisterRespMsg>(107, 0x3C, reg)
                   .GetCause()),
              0);

    // The up response echoes the path, the session and the side, with the members.
    ARMAppPathUpReqMsg up;
    up.SetApplicationPathID(77);
    up.SetSessionID(12);
    up.SetSide(1);
    ARMAppPathUpRespMsg r = RoundTrip<ARMAppPathUpReqMsg, ARMAppPathUpRespMsg>(99, 0x3D, up);
    EXPECT_EQ(r.GetApplicationPathID(), 77);
    EXPECT_EQ(r.GetSessionID(), 12);
    EXPECT_EQ(r.GetSide(), 1);
    EXPECT_EQ(r.GetAppPathMemberCount(), 3);
}

TEST_F(OpcmsgArmCross, AScriptedFailureOfAnIndicationNamesItsTypeAndSession) {
    StartOpc("arm-answer 51 failure status=29\n");
    ASSERT_NE(opc_->WaitLine("parlo-opc: script done"), "");
    ARMMediaLogoutIndMsg ind;
    ind.SetInvokeID(9);
    ind.SetClientInvokeID(9);
    ind.SetSessionID(44);
    SendMsg(ind);
    ARMFailureRespMsg f = Take<ARMFailureRespMsg>(85);
    EXPECT_EQ(f.GetStatus(), 29);
    EXPECT_EQ(f.GetType(), 51);
    EXPECT_EQ(f.GetSessionID(), 44);
    // The agent-tasks request event is followed by begin, list and end.
    ARMAgentTasksReqEventMSG ev;
    ev.SetZURAgentID(5005);
    ev.SetSessionID(12);
    SendMsg(ev);
    EXPECT_EQ(Take<ARMAgentTasksBeginEventMSG>(117).GetSessionID(), 12);
    EXPECT_EQ(Take<ARMAgentTasksEventMSG>(118).GetTaskIDs().size(), 2u);
    EXPECT_EQ(Take<ARMAgentTasksEndEventMSG>(120).GetZURAgentID(), 5005);
    ARMEndAgentInitIndMsg end;
    end.SetSessionID(12);
    SendMsg(end);
    EXPECT_EQ(Take<ARMAgentInitReadyEventMsg>(84).GetSessionID(), 12);
}

TEST_F(OpcmsgArmCross, ScriptedEventsAreReadWithTheirValues) {
    StartOpc("arm-event 68 u32@0=5000 u32@4=5005\n"
             "arm-event 69 u32@0=7 u32@4=5000 u32@8=5001 u32@12=5005\n"
             "arm-event 72 u32@0=8 u32@4=5000 u32@8=5005\n"
             "arm-event 101 u32@0=1 u32@4=2 u32@8=3 u32@12=5005 u32@16=5000\n"
             "arm-event 105 u32@0=77\n"
             "arm-event 117 u32@0=5005 u32@4=12\n"
             "arm-event 118 u32@0=12 u32@4=5000 u32@8=5005 tasks=1/2/3,4/5/6,7/8/9\n"
             "arm-event 119 u32@0=12 u32@32=4 t1=script t4=cv1 eccfill=2100\n"
             "arm-event 120 u32@0=5005 u32@4=12 u32@8=3\n"
             "arm-event 108 u32@4=5000 u32@8=300 u16@18=0xFFFF t1=8000 t2=1001 t5=42 t15=cv10 "
             "ecc=0102\n"
             "arm-event 110 u32@4=300 u16@8=1008\n");
    EXPECT_EQ(Take<ARMAgentMadeNotRoutableEventMsg>(68).GetZURAgentID(), 5005);
    EXPECT_EQ(Take<ARMAgentInterruptAdvisoryEventMsg>(69).GetInterruptingMRDID(), 5001);
    EXPECT_EQ(Take<ARMAgentInterruptDoneAdvisoryEventMsg>(72).GetInvokeID(), 8);
    ARMMaxTaskLifetimeExceededEventMsg life = Take<ARMMaxTaskLifetimeExceededEventMsg>(101);
    EXPECT_EQ(life.GetAgentID(), 5005);
    EXPECT_EQ(life.GetMRDID(), 5000);
    EXPECT_EQ(Take<ARMAppPathRemovedEventMsg>(105).GetApplicationPathID(), 77);
    EXPECT_EQ(Take<ARMAgentTasksBeginEventMSG>(117).GetSessionID(), 12);
    ARMAgentTasksEventMSG tasks = Take<ARMAgentTasksEventMSG>(118);
    EXPECT_EQ(tasks.GetNumTasks(), 3u);
    ASSERT_EQ(tasks.GetTaskIDs().size(), 3u);
    EXPECT_EQ(tasks.GetTaskIDs()[2], (ARMTaskID{7, 8, 9}));
    ARMSnapshotTaskEventMSG snap = Take<ARMSnapshotTaskEventMSG>(119);
    EXPECT_EQ(snap.GetTaskState(), 4);
    EXPECT_EQ(snap.GetScriptSelector(), "script");
    int32_t size = 0;
    snap.GetExpandedCallContext(size);
    EXPECT_EQ(size, 2000);  // 2100 sent, 2000 kept
    EXPECT_EQ(Take<ARMAgentTasksEndEventMSG>(120).GetStatus(), 3);
    ACMIRouteRequestEventMsg route = Take<ACMIRouteRequestEventMsg>(108);
    EXPECT_EQ(route.GetxRefID(), 300u);
    EXPECT_EQ(route.GetTimeOut(), -1);
    EXPECT_EQ(route.GetCurrentRoute(), "8000");
    EXPECT_EQ(route.GetCallingDevice(), "1001");
    EXPECT_EQ(route.GetCED(), "42");
    EXPECT_EQ(route.GetCallVariable10(), "cv10");
    route.GetExpandedCallContext(size);
    EXPECT_EQ(size, 2);
    ACMIRouteEndEventMsg end = Take<ACMIRouteEndEventMsg>(110);
    EXPECT_EQ(end.GetxRefID(), 300u);
    EXPECT_EQ(end.GetStatus(), 1008);
}

}  // namespace
}  // namespace opcpeer
