// The stand-in OPC against the server's OPC message layer, over real MDS links: each request
// class is written by opcmsg and read by parlo-opc, each confirmation written by parlo-opc and
// read by opcmsg's unpacker and confirmation classes; scripted failures and events likewise.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/cstaeventpd.h"
#include "opcmsg/cstarequests.h"
#include "opcmsg/cstawire.h"
#include "opcmsg/opclib.h"
#include "tests/peers/opc/opc_link_env.h"

namespace opcpeer {
namespace {

using linktest::inbox;
using linktest::Message;
using linktest::OpcLink;

constexpr uint16_t kPeripheral = 5000;

using Factory = std::function<std::unique_ptr<TPCSTARequestMsg>(uint32_t invoke)>;

template <class T>
Factory Make() {
    return [](uint32_t invoke) { return std::make_unique<T>(kPeripheral, invoke, invoke + 0x1000); };
}

// Every request class the server sends.
const std::vector<Factory>& Requests() {
    static const std::vector<Factory> all = {
        Make<TPCSTAAlternateCallMsg>(),      Make<TPCSTAAnswerCallMsg>(),
        Make<TPCSTAClearCallMsg>(),          Make<TPCSTAClearConnectionMsg>(),
        Make<TPCSTAConferenceCallMsg>(),     Make<TPCSTAConsultationCallMsg>(),
        Make<TPCSTADeflectCallMsg>(),        Make<TPCSTAHoldCallMsg>(),
        Make<TPCSTAMakeCallMsg>(),           Make<TPCSTAMakePredictiveCallMsg>(),
        Make<TPCSTAQueryDeviceInfoMsg>(),    Make<TPCSTAReconnectCallMsg>(),
        Make<TPCSTARetrieveCallMsg>(),       Make<TPCSTASetAgentStateMsg>(),
        Make<TPCSTATransferCallMsg>(),       Make<TPCSTASnapshotCallMsg>(),
        Make<TPCSTASnapshotDeviceMsg>(),     Make<TPCSTASendDTMFMsg>(),
        Make<TPCSTASupervisorAssistMsg>(),   Make<TPCSTAEmergencyCallMsg>(),
        Make<TPCSTASuperviseCallMsg>(),      Make<TPCSTAAgentGreetingControlReqMsg>(),
        Make<TPCSTARecordCallReqMsg>(),      Make<TPCSTAStopRecordCallReqMsg>(),
    };
    return all;
}

class OpcmsgCross : public OpcLink {
protected:
    // Writes `req` with opcmsg, sends it to parlo-opc and unpacks the answer into `record`.
    void Exchange(const TPCSTAMsg& req, const ::ConnectionID* connection, const std::string& uii,
                  CSTAEventRecord* record, Message* answer) {
        std::vector<uint8_t> buf(kCSTAMessageRoom);
        const int n = WriteCSTAMessage(buf.data(), kCSTAMessageRoom, connection, 0, nullptr, req,
                                       req.OPCBlock(), uii);
        ASSERT_GT(n, 0);
        buf.resize(static_cast<size_t>(n));
        Send(kCstaMessage, buf);
        ASSERT_TRUE(inbox.Take(kCstaMessage, answer));
        ASSERT_TRUE(UnpackCSTAMessage(answer->payload.data() + 4,
                                      static_cast<uint32_t>(answer->payload.size() - 4), record));
    }
};

TEST_F(OpcmsgCross, EveryRequestIsReadAndEveryConfirmationComesBackIntoItsClass) {
    StartOpc("");
    uint32_t invoke = 0x40;
    ASSERT_EQ(Requests().size(), RequestTypes().size());
    for (const Factory& make : Requests()) {
        std::unique_ptr<TPCSTARequestMsg> req = make(++invoke);
        const uint16_t type = req->eventType();
        const RequestType* t = FindRequestType(type);
        ASSERT_NE(t, nullptr) << type;
        SCOPED_TRACE(t->name);
        if (auto* mc = dynamic_cast<TPCSTAMakeCallMsg*>(req.get())) mc->SetCallingDevice("5001");
        ::ConnectionID conn;
        const bool hasConnection = req->GetMainConnection(&conn);
        const std::string uii = "desk-" + std::to_string(type);
        CSTAEventRecord record;
        Message answer;
        Exchange(*req, hasConnection ? &conn : nullptr, uii, &record, &answer);
        EXPECT_EQ(record.EventClass(), 5);
        EXPECT_EQ(record.EventType(), t->confirmation);
        EXPECT_EQ(record.UniqueInstanceID, uii);
        std::unique_ptr<TPCSTAConfMsg> conf = CreateCSTAConfirmation(kPeripheral, record);
        ASSERT_NE(conf, nullptr);
        EXPECT_EQ(conf->eventType(), t->confirmation);
        EXPECT_EQ(conf->InvokeID(), invoke);
        EXPECT_EQ(conf->ClientInvokeID(), invoke + 0x1000);
        const CSTAConfBody body = conf->Description().body;
        if (body == CSTAConfBody::NewCall || body == CSTAConfBody::PartyList) {
            EXPECT_GE(conf->GetNewCall().callID, 1000);
            EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kLineHandle), 0u);
            EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kLineType), 2u);
        }
        if (type == 23) {
            EXPECT_STREQ(conf->GetNewCall().deviceID, "5001");
        }
    }
}

TEST_F(OpcmsgCross, ConfirmationsWithoutPrivateDataKeepTheirTypedDefaults) {
    StartOpc("answer 23 opclen=0\nanswer 37 opclen=0\nanswer 120 opclen=0\n");
    ASSERT_NE(opc_->WaitLine("parlo-opc: script done"), "");
    CSTAEventRecord record;
    Message answer;

    TPCSTAMakeCallMsg make(kPeripheral, 1, 2);
    Exchange(make, nullptr, "", &record, &answer);
    auto conf = CreateCSTAConfirmation(kPeripheral, record);
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(PrivateDataLength(conf->OPCBlock()), 0);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kLineHandle), 0xFFFFFFFFu);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kLineType), 3u);

    TPCSTAQueryDeviceInfoMsg info(kPeripheral, 3, 4);
    Exchange(info, nullptr, "", &record, &answer);
    conf = CreateCSTAConfirmation(kPeripheral, record);
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kPeripheralType), 0xFFFFFFFFu);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kNumLines), 0u);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kLineHandles), 0xFFFFFFFFu);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kLineTypes + 36), 3u);

    TPCSTASnapshotCallMsg snap(kPeripheral, 5, 6);
    Exchange(snap, nullptr, "", &record, &answer);
    conf = CreateCSTAConfirmation(kPeripheral, record);
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kCallTypeID), 0xFFFFFFFFu);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kCOC), 0xFFFFFFFFu);
}

TEST_F(OpcmsgCross, ScriptedUniversalFailureGivesErrorAndPeripheralErrorCode) {
    StartOpc("answer 21 failure error=12 pec=99\n");
    ASSERT_NE(opc_->WaitLine("parlo-opc: script done"), "");
    TPCSTAHoldCallMsg hold(kPeripheral, 0x71, 0x72);
    CSTAEventRecord record;
    Message answer;
    ::ConnectionID conn;
    ASSERT_TRUE(hold.GetMainConnection(&conn));
    Exchange(hold, &conn, "desk", &record, &answer);
    auto conf = CreateCSTAConfirmation(kPeripheral, record);
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(conf->eventType(), 53);
    EXPECT_EQ(conf->InvokeID(), 0x71u);
    EXPECT_EQ(conf->GetError(), 12u);
    EXPECT_EQ(conf->PrivateDataWord(cstaconfpd::kPeripheralErrorCode), 99u);
}

TEST_F(OpcmsgCross, ScriptedEventsParseIntoTheirPrivateDataViews) {
    StartOpc("event 4 service-initiated periph=5000 call=9 s2=1001 si.coccall=88 "
             "si.cocdev=1001 si.cocdevtype=1 si.corr=abcde si.agext=4711 si.sg=3\n"
             "event 4 recording-target-info rti.corr=c1 rti.s2=x rti.addr=10.0.0.1 rti.term=T1 "
             "rti.mfdname=M rti.guid=G rti.cluster=K rti.uri=sip:r rti.err=E rti.rtype=1\n");
    Message m;
    CSTAEventRecord record;
    ASSERT_TRUE(inbox.Take(kCstaMessage, &m));
    ASSERT_TRUE(UnpackCSTAMessage(m.payload.data() + 4, static_cast<uint32_t>(m.payload.size() - 4),
                                  &record));
    EXPECT_EQ(record.EventClass(), 4);
    EXPECT_EQ(record.EventType(), 66);
    EXPECT_EQ(record.DeviceID, "1001");
    CSTAServiceInitiatedEvent_PD si(record.OPCBlock());
    EXPECT_EQ(si.COC.callID, 88);
    EXPECT_STREQ(si.COC.deviceID, "1001");
    EXPECT_EQ(si.COC.deviceIDType, 1u);
    EXPECT_EQ(si.CorrData, "abcde");
    EXPECT_EQ(si.AGExt, "4711");
    EXPECT_EQ(si.SkillGroupNumber, 3);

    ASSERT_TRUE(inbox.Take(kCstaMessage, &m));
    ASSERT_TRUE(UnpackCSTAMessage(m.payload.data() + 4, static_cast<uint32_t>(m.payload.size() - 4),
                                  &record));
    EXPECT_EQ(record.EventType(), 208);
    CSTARecordingTargetInfoEvent_PD rti(record.OPCBlock());
    const std::vector<std::string> strings = {
        rti.CorrData, rti.Uninterpreted, rti.RecorderAddress, rti.TerminalName,
        rti.MediaForkingDeviceName, rti.ProtocolReferenceGUID, rti.MediaForkingClusterID,
        rti.RecorderURI, rti.RecorderErrorMsg};
    EXPECT_EQ(strings, (std::vector<std::string>{"c1", "x", "10.0.0.1", "T1", "M", "G", "K",
                                                 "sip:r", "E"}));
    EXPECT_EQ(rti.RecorderType, 1);
    EXPECT_EQ(rti.RecorderStatus, CSTARecordingTargetInfoEvent_PD::kNoValue);
}

}  // namespace
}  // namespace opcpeer
