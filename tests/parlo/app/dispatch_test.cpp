// The application's dispatch: both tables against a transcription of their rows, the
// placeholder's answer, unknown types, and the PG status handler over real client sessions.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "ctimsg/names.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/appport.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/clientseams.h"
#include "parlo/model/ports.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/modelutil.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/session/sslchannel.h"
#include "platform/byteorder.h"
#include "tests/parlo/app/running_app.h"
#include "tests/parlo/server/session_fixture.h"
#include "tests/parlo/model/recording_ports.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

namespace {

using sesstest::Client;
using srvtest::Events;

struct ClientExpect {
    int32_t type;
    const char* handler;
};

// Transcribed from the design's table, not from dispatchtables.def.
const std::vector<ClientExpect> kClientRows = {
    {3, "ProcessOpenRequest"}, {26, "ProcessSetCallDataRequest"}, {28, "ProcessReleaseCallRequest"},
    {129, "ProcessSetAppDataRequest"}, {141, "ProcessSetDeviceAttributesRequest"},
    {139, "ProcessBadCallRequest"}, {259, "ProcessSessionFailedMsg"},
    {230, "ProcessConfigRequestKeyEventMSG"}, {231, "ProcessConfigKeyEventMSG"},
    {232, "ProcessConfigRequestEventMSG"}, {233, "ProcessConfigBeginEventMSG"},
    {234, "ProcessConfigEndEventMSG"}, {235, "ProcessConfigServiceEventMSG"},
    {236, "ProcessConfigSkillGroupEventMSG"}, {237, "ProcessConfigAgentEventMSG"},
    {238, "ProcessConfigDeviceEventMSG"}, {254, "ProcessConfigMRDEventMSG"},
    {260, "ProcessConfigPeripheralEventMSG"}, {261, "ProcessConfigAgentDeskSettingsEventMSG"},
    {36, "ProcessQueryAgentStateRequest"}, {38, "ProcessSetAgentStateRequest"},
    {40, "ProcessAlternateCallRequest"}, {42, "ProcessAnswerCallRequest"},
    {44, "ProcessClearCallRequest"}, {46, "ProcessClearConnectionRequest"},
    {48, "ProcessConferenceCallRequest"}, {50, "ProcessConsultationCallRequest"},
    {52, "ProcessDeflectCallRequest"}, {54, "ProcessHoldCallRequest"}, {56, "ProcessMakeCallRequest"},
    {58, "ProcessMakePredictiveCallRequest"}, {60, "ProcessReconnectCallRequest"},
    {62, "ProcessRetrieveCallRequest"}, {64, "ProcessTransferCallRequest"},
    {66, "ProcessUnsupportedRequest"}, {68, "ProcessUnsupportedRequest"}, {70, "ProcessUnsupportedRequest"},
    {72, "ProcessUnsupportedRequest"}, {74, "ProcessUnsupportedRequest"}, {76, "ProcessUnsupportedRequest"},
    {80, "ProcessUnsupportedRequest"}, {87, "ProcessUnsupportedRequest"}, {89, "ProcessUnsupportedRequest"},
    {78, "ProcessQueryDeviceInfoRequest"}, {82, "ProcessSnapshotCallRequest"},
    {84, "ProcessSnapshotDeviceRequest"}, {91, "ProcessSendDTMFSignalRequest"},
    {93, "ProcessMonitorStartRequest"}, {95, "ProcessMonitorStopRequest"},
    {97, "ProcessChangeMonitorMaskRequest"}, {101, "ProcessSessionMonitorStartRequest"},
    {103, "ProcessSessionMonitorStopRequest"}, {107, "ProcessUserMessageRequest"},
    {110, "ProcessRegisterVariablesRequest"}, {112, "ProcessQueryAgentStatisticsRequest"},
    {114, "ProcessQuerySkillGroupStatisticsRequest"}, {118, "ProcessSupervisorAssistRequest"},
    {121, "ProcessEmergencyCallRequest"}, {124, "ProcessSuperviseCallRequest"},
    {126, "ProcessAgentTeamConfigRequest"}, {131, "ProcessAgentDeskSettingsRequest"},
    {133, "ProcessListAgentTeamRequest"}, {135, "ProcessMonitorAgentTeamStartRequest"},
    {137, "ProcessMonitorAgentTeamStopRequest"}, {143, "ProcessRegisterServiceRequest"},
    {145, "ProcessUnRegisterServiceRequest"}, {147, "ProcessStartRecordingRequest"},
    {148, "ProcessStartRecordingConf"}, {149, "ProcessStopRecordingRequest"},
    {150, "ProcessStopRecordingConf"}, {187, "ProcessGetPrecallMessagesRequest"},
    {201, "ProcessTaskMonitorStartRequest"}, {203, "ProcessTaskMonitorStopRequest"},
    {205, "ProcessChangeTaskMonitorMaskRequest"}, {249, "ProcessAgentGreetingControlRequest"},
    {268, "ProcessStartNetworkRecordingRequest"}, {270, "ProcessStopNetworkRecordingRequest"},
    {7, "ProcessCloseRequest"}, {32, "ProcessClientEventReportRequest"}, {151, "ProcessMediaLoginReq"},
    {153, "ProcessMediaLogoutInd"}, {154, "ProcessMakeAgentRoutableInd"},
    {155, "ProcessMakeAgentNotRoutableReq"}, {157, "ProcessMakeAgentReadyInd"},
    {158, "ProcessMakeAgentNotReadyReq"}, {160, "ProcessOfferTaskInd"},
    {161, "ProcessOfferApplicationTaskReq"}, {163, "ProcessStartTaskInd"},
    {164, "ProcessStartApplicationTaskReq"}, {166, "ProcessPauseTaskInd"}, {167, "ProcessResumeTaskInd"},
    {168, "ProcessWrapupTaskInd"}, {169, "ProcessEndTaskInd"}, {172, "ProcessAgentInterruptAcceptedInd"},
    {173, "ProcessAgentInterruptUnacceptedInd"}, {175, "ProcessAgentInterruptDoneAcceptedInd"},
    {176, "ProcessChangeMaxTaskLimitReq"}, {178, "ProcessOverrideLimitReq"},
    {180, "ProcessUpdateTaskContextInd"}, {181, "ProcessBeginAgentInitInd"}, {182, "ProcessAgentInitReq"},
    {184, "ProcessEndAgentInitInd"}, {185, "ProcessTaskInitInd"}, {208, "ProcessSetAppPathDataInd"},
    {209, "ProcessTaskInitReq"}, {211, "ProcessRouteRegisterEventMSG"}, {214, "ProcessRouteSelectEventMSG"},
    {215, "ProcessRouteEndEventMSG"}, {255, "ProcessGetAgentTasksReqMSG"}, {257, "ProcessSnapshotTaskReqMSG"},
    {262, "ProcessAgentTasksReqEventMSG"}, {267, "ProcessDesktopConnectedIndMSG"},
    {279, "ProcessActiveMaintenanceResp"}, {281, "ProcessStoppingRequestsToThisSideInd"},
};

struct OPCExpect {
    int32_t type;
    const char* handler;  // null: consumed without a handler
    bool wholeData;
};

const std::vector<OPCExpect> kOPCRows = {
    {5, "ProcessConfigMessage", false}, {39, "ProcessPGStatusEvent", false},
    {33, "ProcessReleaseCallResponse", false}, {46, "ProcessSetDeviceAttributesResponse", false},
    {34, "ProcessPreRouteIndication", false}, {92, "ProcessOfferTaskEvent", false},
    {94, "ProcessPauseTaskEvent", false}, {95, "ProcessResumeTaskEvent", false},
    {14, "ProcessAgentEvent", false}, {13, "ProcessAgentStateResponse", false},
    {15, "ProcessAgentRemoved", false}, {42, "ProcessAppDataResponse", false},
    {48, "ProcessBadCallResponse", false}, {88, "ProcessAgentLegacyPrecallEvent", false},
    {19, "ProcessAgentStatisticsResponse", false}, {21, "ProcessSkillGroupStatisticsResponse", false},
    {6, "ProcessTimeNotificationEvent", false}, {11, "ProcessGetPersistentDataResponse", false},
    {17, "ProcessClientStatusResponse", false}, {22, "ProcessCallCreated", false},
    {23, "ProcessCallTerminated", false}, {24, "ProcessCallDataUpdate", false},
    {25, "ProcessCallReclassified", false}, {26, "ProcessCallDeactivated", false},
    {27, "ProcessCallReactivated", false}, {28, "ProcessCSTAMessage", false},
    {31, "ProcessCallDataResponse", false}, {35, "ProcessDeviceTargetPreCallIndication", false},
    {36, "ProcessDeviceTargetAbortIndication", false}, {38, "ProcessValidateCallResponse", false},
    {40, "ProcessDeviceTargetOTSIndication", false}, {50, "ProcessARMMediaLoginRespMsg", true},
    {54, "ProcessARMMakeAgentNotRoutableRespMsg", true}, {57, "ProcessARMMakeAgentNotReadyRespMsg", true},
    {60, "ProcessARMOfferApplicationTaskRespMsg", true}, {63, "ProcessARMStartApplicationTaskRespMsg", true},
    {68, "ProcessARMAgentMadeNotRoutableEventMsg", true},
    {69, "ProcessARMAgentInterruptAdvisoryEventMsg", true},
    {72, "ProcessARMAgentInterruptDoneAdvisoryEventMsg", true},
    {75, "ProcessARMChangeMaxTaskLimitRespMsg", true}, {77, "ProcessARMOverrideLimitRespMsg", true},
    {81, "ProcessARMAgentInitRespMsg", true}, {84, "ProcessARMAgentInitReadyEventMsg", true},
    {85, "ProcessARMFailureRespMsg", true}, {87, "ProcessGetPrecallMessagesResponse", false},
    {89, "ProcessTaskCreated", false}, {90, nullptr, false}, {91, "ProcessTaskDataUpdate", false},
    {93, "ProcessStartTaskEvent", false}, {96, "ProcessWrapupTaskEvent", false},
    {97, "ProcessEndTaskEvent", false}, {99, "ProcessARMAppPathUpRespMsg", true},
    {101, "ProcessARMMaxTaskLifetimeExceededEvent", true}, {104, "ProcessARMTaskInitRespMsg", true},
    {105, "ProcessARMAppPathRemovedEventMsg", true}, {107, "ProcessRouteRegisterReplyEventMsg", true},
    {108, "ProcessRouteRequestEventMSG", true}, {110, "ProcessOPCRouteEndEventMSG", true},
    {111, "ProcessCallTypeChangeEvent", false}, {113, "ProcessARMGetAgentTasksRespMsg", true},
    {115, "ProcessARMSnapshotTaskRespMsg", true}, {117, "ProcessARMAgentTasksBeginEventMSG", true},
    {118, "ProcessARMAgentTasksEventMSG", true}, {119, "ProcessARMSnapshotTaskEventMSG", true},
    {120, "ProcessARMAgentTasksEndEventMSG", true},
};

// Rows whose handler is written (the rest run the shared placeholder).
const std::set<int32_t> kBuiltClient = {3,  7,  259,
                                        // call control
                                        40, 42, 44, 46, 48, 50, 52, 54, 56, 58, 60, 62, 64, 91, 118, 121, 124};
const std::set<int32_t> kBuiltOPC = {5, 13, 14, 15, 17, 28, 39, 99};

TEST(DispatchTables, EveryClientTypeHasItsRowAndNoOtherTypeHasOne) {
    std::set<int32_t> listed;
    for (const auto& e : kClientRows) {
        SCOPED_TRACE(e.type);
        ASSERT_TRUE(listed.insert(e.type).second) << "listed twice";
        const CTIApplication::ClientRow* row = CTIApplication::FindClientRow(e.type);
        ASSERT_NE(nullptr, row);
        EXPECT_EQ(e.type, row->type);
        EXPECT_STREQ(MsgTypeName(e.type), row->typeName);
        EXPECT_EQ(std::string("CTIApplication::") + e.handler, row->handler);
        EXPECT_EQ(kBuiltClient.count(e.type) ? CTIApplication::RowState::Built
                                             : CTIApplication::RowState::Later,
                  row->state);
        EXPECT_NE(nullptr, row->function);
    }
    EXPECT_EQ(listed.size(), CTIApplication::ClientRows().size());
    for (int32_t type = -2; type <= 300; ++type)
        if (!listed.count(type)) {
            EXPECT_EQ(nullptr, CTIApplication::FindClientRow(type)) << type;
        }
}

TEST(DispatchTables, EveryOPCTypeHasItsRowAndNoOtherTypeHasOne) {
    std::set<int32_t> listed;
    for (const auto& e : kOPCRows) {
        SCOPED_TRACE(e.type);
        ASSERT_TRUE(listed.insert(e.type).second) << "listed twice";
        const CTIApplication::OPCRow* row = CTIApplication::FindOPCRow(e.type);
        ASSERT_NE(nullptr, row);
        EXPECT_EQ(e.type, row->type);
        EXPECT_EQ(e.wholeData, row->wholeData);
        if (e.handler == nullptr) {
            EXPECT_EQ(CTIApplication::RowState::Ignored, row->state);
            EXPECT_EQ(nullptr, row->function);
            continue;
        }
        EXPECT_EQ(std::string("CTIApplication::") + e.handler, row->handler);
        EXPECT_EQ(kBuiltOPC.count(e.type) ? CTIApplication::RowState::Built : CTIApplication::RowState::Later,
                  row->state);
        EXPECT_NE(nullptr, row->function);
        // The ACMI replies have no name in the OPC name table; every other row has its own.
        if (e.type != 107 && e.type != 108) {
            EXPECT_STREQ(OPCMessageTypeName(static_cast<uint32_t>(e.type)), row->typeName);
        }
    }
    EXPECT_EQ(listed.size(), CTIApplication::OPCRows().size());
    for (int32_t type = -2; type <= 300; ++type)
        if (!listed.count(type)) {
            EXPECT_EQ(nullptr, CTIApplication::FindOPCRow(type)) << type;
        }
}

// An OPC type outside the table ends the process: the OPC sends only the table's types, so
// anything else means the two sides disagree about the protocol.
TEST(DispatchTablesDeathTest, AnOPCTypeOutsideTheTableIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const uint8_t data[8] = {};
    for (int type : {12, 16, 0, 121, 4000}) {
        SCOPED_TRACE(type);
        EXPECT_EXIT(
            {
                EMSInstallSeams(&Events::kSeams);  // the fatal text goes to stderr
                CTIApplication app;
                app.ProcessOPCMessage(type, 8, data);
            },
            ::testing::ExitedWithCode(100002 & 0xFF),
            "Invalid OPC-CTI message type " + std::to_string(type));
    }
}

// Records what the application hands to the server.
class RecordingPort final : public apptest::ThreadStartingPort {
public:
    // While blocked, the configuration intake keeps the application thread until Unblock.
    void ProcessConfigMessage(const uint8_t* body, size_t length) override {
        std::unique_lock<std::mutex> hold(mu);
        configs.emplace_back(body, body + length);
        ++entered;
        unblocked.wait(hold, [this] { return !blocking; });
    }
    void Block() {
        std::lock_guard<std::mutex> hold(mu);
        blocking = true;
    }
    void Unblock() {
        {
            std::lock_guard<std::mutex> hold(mu);
            blocking = false;
        }
        unblocked.notify_all();
    }
    int Entered() {
        std::lock_guard<std::mutex> hold(mu);
        return entered;
    }
    std::vector<std::vector<uint8_t>> Configs() {
        std::lock_guard<std::mutex> hold(mu);
        return configs;
    }
    void SetPGStatus(int status) override { pgStatus = status; }
    int GetPGStatus() const override { return pgStatus; }
    void SetPeripheralStatus(int32_t peripheralID, int32_t id) override {
        peripheralStatus.emplace_back(peripheralID, id);
    }
    int64_t GetPGTime() override { return 1234567; }

    int pgStatus = -1;
    std::mutex mu;
    std::condition_variable unblocked;
    bool blocking = false;
    int entered = 0;
    std::vector<std::vector<uint8_t>> configs;
    std::vector<std::pair<int32_t, int32_t>> peripheralStatus;
};

// The session layer with the application as its master and its thread serving the clients.
class DispatchTest : public srvtest::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        const uint64_t now = plat::FileTimeNow();
        TimerMaster::Create(now, now, true, 0);
        apptest::SetSessionLimits(*registry_, 16);
        server_->SetState(Server::IDLE);
        port_.Install();
        app_ = apptest::MakeApplication(*registry_);
        ASSERT_EQ(1, apptest::ActivateWithServer(*server_, *app_));
    }
    void TearDown() override {
        MDSIO::SetServerActive(0);
        apptest::EndApplication(app_, clock_);
        port_.JoinAll();
        port_.Uninstall();
        ServerTest::TearDown();
    }
    int Port() const { return app_->BoundPort(false); }
    bool Open(Client& c, uint32_t services = 0x10) {
        EXPECT_TRUE(c.Send(*sesstest::OpenReq(1, 30, services)));
        const uint32_t type = c.Read().type;
        EXPECT_EQ(4u, type);
        return type == 4;
    }
    uint32_t SessionState(int32_t id) {
        LockGuard<CTILockObject> hold(app_->SessionLock(), "test");
        SessionProtocol* s = SessionProtocol::FindSession(static_cast<uint32_t>(id));
        return s ? s->GetSessionState() : 0xFFFFFFFF;
    }

    RecordingPort port_;
    std::unique_ptr<CTIApplication> app_;
};

TEST_F(DispatchTest, ARequestWhoseHandlerComesLaterGetsFailureConf17AndKeepsItsSession) {
    Client c(Port());
    ASSERT_TRUE(Open(c));
    MonitorStopReqMSG stop;
    stop.SetUINT(elementid::InvokeID, 4242);
    stop.SetUINT(elementid::MonitorID, 7);
    ASSERT_TRUE(c.Send(stop));
    sesstest::Received r = c.Read();
    ASSERT_EQ(1u, r.type);  // FAILURE_CONF
    EXPECT_EQ(4242u, r.msg->GetUINT(elementid::InvokeID));
    EXPECT_EQ(17u, r.Status());
    EXPECT_EQ(1u, Events::CountText(Events::Take(), "MONITOR_STOP_REQ from SessionID 1 is not served yet"));
    EXPECT_EQ(static_cast<uint32_t>(SessionProtocol::sessionOpen), SessionState(1));
    // The session still serves: a heartbeat is answered.
    HeartbeatReqMSG beat;
    beat.SetUINT(elementid::InvokeID, 5);
    ASSERT_TRUE(c.Send(beat));
    EXPECT_EQ(6u, c.Read().type);
}

// Types a client may not send: the session gets FAILURE_EVENT 17 and is failed.
TEST_F(DispatchTest, AClientTypeOutsideTheTableFailsOnlyItsSession) {
    Client bystander(Port());
    ASSERT_TRUE(Open(bystander));
    struct Case {
        const char* what;
        std::function<BaseMSGPtr()> make;
    };
    const std::vector<Case> cases = {
        {"FAILURE_EVENT (2)", [] {
             auto m = std::make_unique<FailureEventMSG>();
             m->SetUINT(elementid::Status, 1);
             return BaseMSGPtr(std::move(m));
         }},
        {"CLOSE_CONF (8)", [] {
             auto m = std::make_unique<CloseConfMSG>();
             m->SetUINT(elementid::InvokeID, 3);
             return BaseMSGPtr(std::move(m));
         }},
        {"FAILURE_CONF (1)", [] {
             auto m = std::make_unique<FailureConfMSG>();
             m->SetUINT(elementid::InvokeID, 3);
             m->SetUINT(elementid::Status, 1);
             return BaseMSGPtr(std::move(m));
         }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        Client c(Port());
        ASSERT_TRUE(Open(c));
        BaseMSGPtr m = k.make();
        ASSERT_TRUE(c.Send(*m));
        sesstest::Received r = c.Read();
        ASSERT_EQ(2u, r.type);  // FAILURE_EVENT
        EXPECT_EQ(17u, r.Status());
        EXPECT_TRUE(c.SeesEof());
    }
    HeartbeatReqMSG beat;
    beat.SetUINT(elementid::InvokeID, 5);
    ASSERT_TRUE(bystander.Send(beat));
    EXPECT_EQ(6u, bystander.Read().type);
}

// A CTI_PG_STATUS_EVENT body: five words and the text item.
std::vector<uint8_t> PGStatusData(uint32_t pgStatus, uint32_t id, int32_t arg1, const std::string& text) {
    std::vector<uint8_t> d;
    auto word = [&](uint32_t v) {
        d.resize(d.size() + 4);
        plat::StoreLE32(d.data() + d.size() - 4, v);
    };
    word(0);  // ServerNumber
    word(pgStatus);
    word(id);
    word(static_cast<uint32_t>(arg1));
    word(0);
    word(0);
    d.push_back(static_cast<uint8_t>(text.size() + 1));
    d.push_back(0);
    d.insert(d.end(), text.begin(), text.end());
    d.push_back(0);
    while (d.size() % 4) d.push_back(0);
    return d;
}

TEST_F(DispatchTest, PGStatusReachesEverySessionAsSystemEvent) {
    MDSIO::SetServerActive(1);
    Client a(Port());
    ASSERT_TRUE(Open(a, 0x10));
    Client b(Port());
    ASSERT_TRUE(Open(b, 0x10));
    struct Case {
        uint32_t id;
        int32_t arg1;
        std::string text;
        std::string suffix;  // of the status report
    };
    const std::vector<Case> cases = {
        {4, 5000, "", " (PeripheralID 5000)"},
        {3, 17, "", " (PeripheralID 17)"},
        {5, 0, "abc", " (abc)"},
        {1, 5000, "", ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.id);
        Events::Take();
        const auto data = PGStatusData(2, k.id, k.arg1, k.text);
        app_->ProcessOPCMessage(39, static_cast<int>(data.size()), data.data());
        EXPECT_EQ(2, port_.pgStatus);
        ASSERT_FALSE(port_.peripheralStatus.empty());
        EXPECT_EQ(std::make_pair(k.arg1, static_cast<int32_t>(k.id)), port_.peripheralStatus.back());
        bool reported = false;
        for (const auto& e : Events::Take())
            if (e.id == 0x612EC007) {
                ASSERT_GE(e.args.size(), 3u);
                EXPECT_EQ(k.suffix, e.args[1]);
                reported = true;
            }
        EXPECT_TRUE(reported);
        for (Client* c : {&a, &b}) {
            sesstest::Received r = c->Read();
            ASSERT_EQ(31u, r.type);  // SYSTEM_EVENT
            EXPECT_EQ(2u, r.msg->GetUINT(elementid::PGStatus));
            EXPECT_EQ(k.id, r.msg->GetUINT(elementid::SystemEventID));
            EXPECT_EQ(static_cast<uint32_t>(k.arg1), r.msg->GetUINT(elementid::SystemEventArg1));
            EXPECT_EQ(1234567u, r.msg->GetUINT(elementid::CCTimestamp));
            EXPECT_EQ(0xFFFFu, r.msg->GetUSHORT(elementid::EventDeviceType));
            EXPECT_EQ(k.text.empty() ? 0 : 1, r.msg->Present(elementid::CTIText));
            if (!k.text.empty()) {
                EXPECT_STREQ(k.text.c_str(), r.msg->GetSTRING(elementid::CTIText));
            }
        }
    }
}

TEST_F(DispatchTest, PGStatusWhileNotActiveOrStandbySendsNothingButIsStored) {
    MDSIO::SetServerActive(0);
    Client a(Port());
    ASSERT_TRUE(Open(a));
    const auto data = PGStatusData(0, 3, 9, "");
    app_->ProcessOPCMessage(39, static_cast<int>(data.size()), data.data());
    EXPECT_EQ(0, port_.pgStatus);
    app_->ProcessPGFailure("MDS out of service");
    HeartbeatReqMSG beat;
    beat.SetUINT(elementid::InvokeID, 5);
    ASSERT_TRUE(a.Send(beat));
    EXPECT_EQ(6u, a.Read().type);  // the heartbeat's answer is the first thing it gets
}

TEST_F(DispatchTest, PGFailureSendsPeripheralGatewayOfflineWithTheStoredStatus) {
    MDSIO::SetServerActive(1);
    Client a(Port());
    ASSERT_TRUE(Open(a));
    port_.pgStatus = 4;
    app_->ProcessPGFailure("MDS out of service");
    sesstest::Received r = a.Read();
    ASSERT_EQ(31u, r.type);
    EXPECT_EQ(5u, r.msg->GetUINT(elementid::PGStatus));
    EXPECT_EQ(6u, r.msg->GetUINT(elementid::SystemEventID));
    EXPECT_STREQ("MDS out of service", r.msg->GetSTRING(elementid::CTIText));
}

// A body that ends before what it announces is dropped with a trace; nothing is stored or sent.
TEST_F(DispatchTest, AMalformedPGStatusBodyIsDropped) {
    MDSIO::SetServerActive(1);
    Client a(Port());
    ASSERT_TRUE(Open(a));
    auto full = PGStatusData(2, 5, 0, "a long text for the cut");
    for (size_t keep : {size_t{4}, size_t{12}, size_t{24}, size_t{28}}) {
        SCOPED_TRACE(keep);
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(keep));
        app_->ProcessOPCMessage(39, static_cast<int>(cut.size()), cut.data());
        EXPECT_EQ(-1, port_.pgStatus);
    }
    EXPECT_EQ(4u, Events::CountText(Events::Take(), "ProcessPGStatusEvent - malformed body"));
    HeartbeatReqMSG beat;
    beat.SetUINT(elementid::InvokeID, 5);
    ASSERT_TRUE(a.Send(beat));
    EXPECT_EQ(6u, a.Read().type);
}

TEST_F(DispatchTest, OPCRowsWithoutAHandlerYetAreTracedAndDropped) {
    const uint8_t data[12] = {1, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9};
    Events::Take();
    app_->ProcessOPCMessage(19, sizeof data, data);     // CTI_GET_AGENT_STATS_RESP
    app_->ProcessOPCMessage(50, sizeof data, data);     // ARM_MEDIA_LOGIN_RESP
    app_->ProcessOPCMessage(90, sizeof data, data);     // ignored by design
    app_->ProcessOPCMessage(5, sizeof data, data);      // the server's configuration intake
    app_->ProcessOPCMessage(5, 3, data);                // no room for the ServerNumber word
    const auto events = Events::Take();
    EXPECT_EQ(1u, Events::CountText(events, "CTI_GET_AGENT_STATS_RESP (8 bytes) is not served yet"));
    EXPECT_EQ(1u, Events::CountText(events, "ARM_MEDIA_LOGIN_RESP (12 bytes) is not served yet"));
    EXPECT_EQ(0u, Events::CountText(events, "CTI_TASK_TERMINATED_EVENT"));
    ASSERT_EQ(1u, port_.Configs().size());
    EXPECT_EQ(std::vector<uint8_t>(data + 4, data + 12), port_.Configs()[0]);
}

// Maintenance: OPC input waits in the queue while client requests are still answered; on
// the release it runs in the order it arrived.
TEST_F(DispatchTest, AMaintenanceHoldKeepsOPCInputWhileClientsAreServed) {
    Client c(Port());
    ASSERT_TRUE(Open(c));
    app_->QueueMaintenanceRequest();
    ASSERT_TRUE(testsupport::WaitFor([&] { return app_->IsKeepingOPCMsgsInQueue(); }));
    for (uint8_t tag = 1; tag <= 3; ++tag) {
        const uint8_t data[5] = {0, 0, 0, 0, tag};
        app_->ProcessOPCInput(5, sizeof data, data);
    }
    MonitorStopReqMSG stop;
    stop.SetUINT(elementid::InvokeID, 77);
    stop.SetUINT(elementid::MonitorID, 1);
    ASSERT_TRUE(c.Send(stop));
    sesstest::Received r = c.Read();
    ASSERT_EQ(1u, r.type);
    EXPECT_EQ(77u, r.msg->GetUINT(elementid::InvokeID));
    EXPECT_TRUE(port_.Configs().empty());
    EXPECT_GE(app_->InputQueueCount(), 3u);
    app_->ProcessOPCMsgsFromQueue();
    ASSERT_TRUE(testsupport::WaitFor([&] { return port_.Configs().size() == 3; }));
    const auto configs = port_.Configs();
    for (uint8_t tag = 1; tag <= 3; ++tag) EXPECT_EQ(std::vector<uint8_t>{tag}, configs[tag - 1u]);
}

// The client records reach the application through the seams the application installs, and
// the session layer directly; the console's kill ends the session.
TEST_F(DispatchTest, TheApplicationInstallsTheClientSeams) {
    EXPECT_EQ(&app_->AgentLoginWaitQueue(), &GetClientSeams().AgentLoginWaitQueue());
    Client c(Port());
    ASSERT_TRUE(Open(c));
    SessionFacts session;
    session.secure = true;
    EXPECT_TRUE(FindSessionFacts(1, session));
    EXPECT_FALSE(session.secure);
    EXPECT_FALSE(FindSessionFacts(99, session));
    // The open made the session's record; the server's ports give the server lock.
    ASSERT_TRUE(testsupport::WaitFor([] { return ClientCB::Find(1) != nullptr; }));
    app_->KillClient(1);
    sesstest::Received r = c.Read();
    ASSERT_EQ(2u, r.type);  // FAILURE_EVENT
    EXPECT_EQ(17u, r.Status());
    EXPECT_TRUE(c.SeesEof());
    EXPECT_EQ(1u, Events::CountText(Events::Take(), "FORCED TERMINATION OF CLIENT \"desk1\" SESSION 1"));
    // The failed session's close reaches the application, which lets the record go.
    EXPECT_TRUE(testsupport::WaitFor([] { return ClientCB::Find(1) == nullptr; }));
}

TEST_F(DispatchTest, KillClientReportsAndFailsTheSession) {
    Client c(Port());
    ASSERT_TRUE(Open(c));
    ASSERT_TRUE(testsupport::WaitFor([] { return ClientCB::Find(1) != nullptr; }));
    int sent;
    {
        model::ServerLockGuard guard(model::ServerLock());
        sent = KillClientSession(ClientCB::Find(1), 30);
    }
    EXPECT_EQ(sent, 1);
    sesstest::Received r = c.Read();
    ASSERT_EQ(2u, r.type);  // FAILURE_EVENT
    EXPECT_EQ(30u, r.Status());
    EXPECT_TRUE(c.SeesEof()) << "the session is failed";
    EXPECT_EQ(1u, Events::CountText(Events::Take(), "FORCED TERMINATION OF CLIENT \"desk1\" SESSION 1"));
    EXPECT_EQ(KillClientSession(nullptr, 30), 0);
}

// The application's sessions over TLS too: a throw-away certificate for the secure port.
class DispatchTlsTest : public DispatchTest {
protected:
    void SetUp() override {
        const std::string cmd =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost "
            "-keyout " + (dir_ / "key.pem").string() + " -out " + (dir_ / "cert.pem").string() + " >/dev/null 2>&1";
        ASSERT_EQ(0, std::system(cmd.c_str()));
        ASSERT_TRUE(SecureChannelConfigure((dir_ / "cert.pem").string(), (dir_ / "key.pem").string()));
        ctx_ = SSL_CTX_new(TLS_client_method());
        ASSERT_NE(nullptr, ctx_);
        DispatchTest::SetUp();
    }
    void TearDown() override {
        DispatchTest::TearDown();
        SSL_CTX_free(ctx_);
    }
    // A TLS client that has sent `msg`; the connection stays open until the test ends.
    bool SendOverTls(BaseMSG& msg) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(app_->BoundPort(true)));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        if (SSL_connect(ssl_) != 1) return false;
        std::vector<uint8_t> buffer(static_cast<size_t>(msg.MaxEncodedSize(24) + 8));
        if (msg.Validate(24) != 0) return false;
        const int n = msg.Encode(buffer.data(), static_cast<int>(buffer.size()), 24, 0x3FF, nullptr, 0);
        return n > 0 && SSL_write(ssl_, buffer.data(), n) == n;
    }
    ~DispatchTlsTest() override {
        if (ssl_ != nullptr) SSL_free(ssl_);
        if (fd_ >= 0) close(fd_);
    }

    testsupport::TempDir dir_{"apptls"};
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
};

// The list line's connection type and unique instance ID are the session layer's: "N/A"
// without a session object (ClientTest.ListLines).
TEST_F(DispatchTlsTest, TheListLineShowsWhatTheSessionLayerKnows) {
    Client plain(Port());
    auto open = sesstest::OpenReq(1, 30, 0x10);
    open->SetSTRING(elementid::UniqueInstanceID, "uid-9");
    ASSERT_TRUE(plain.Send(*open));
    ASSERT_EQ(4u, plain.Read().type);
    auto secureOpen = sesstest::OpenReq(1, 30, 0x10, "desk2");
    secureOpen->SetSTRING(elementid::UniqueInstanceID, "uid-10");
    ASSERT_TRUE(SendOverTls(*secureOpen));
    ASSERT_TRUE(testsupport::WaitFor([] { return ClientCB::Find(1) != nullptr && ClientCB::Find(2) != nullptr; }));
    model::ServerLockGuard guard(model::ServerLock());
    const std::string plainLine = ClientCB::GetListEntry(ClientCB::Find(1));
    EXPECT_NE(plainLine.find(" non-secure    \tuid-9\n"), std::string::npos) << plainLine;
    const std::string secureLine = ClientCB::GetListEntry(ClientCB::Find(2));
    EXPECT_NE(secureLine.find(" secure        \tuid-10\n"), std::string::npos) << secureLine;
}

// A refused frame does not end the thread's turn: the frame behind it is served at once, not
// at the next wake-up, which never comes while the clock stands still. The thread serves the
// session queue on its own only while OPC input is held, so both frames are queued behind a
// maintenance hold while an OPC message keeps the thread.
TEST_F(DispatchTest, TheFrameBehindARefusedOneIsServedInTheSameTurn) {
    server_->SetDuplex(1);
    Client c(Port());
    ASSERT_TRUE(c.Send(*sesstest::OpenReq(1, 30, 0x10, "Quillet desk")));
    ASSERT_EQ(4u, c.Read().type);
    ASSERT_TRUE(testsupport::WaitFor([] { return ClientCB::Find(1) != nullptr; }));
    // Failover reported: every request but the close is refused.
    server_->SetFailoverReported(1);
    registry_->SetDynamic(CTIRegistry::NICStatusBasedFailover, 1);
    port_.Block();
    const uint8_t data[5] = {0, 0, 0, 0, 1};
    app_->ProcessOPCInput(5, sizeof data, data);
    ASSERT_TRUE(testsupport::WaitFor([&] { return port_.Entered() == 1; }));
    app_->QueueMaintenanceRequest();
    Events::Take();
    MonitorStopReqMSG stop;
    stop.SetUINT(elementid::InvokeID, 4242);
    stop.SetUINT(elementid::MonitorID, 7);
    ASSERT_TRUE(c.Send(stop));
    CloseReqMSG close;
    close.SetUINT(elementid::InvokeID, 9);
    close.SetUINT(elementid::Status, 0);
    ASSERT_TRUE(c.Send(close));
    ASSERT_TRUE(testsupport::WaitFor([] { return SessionProtocol::InputQueueLength() == 2; }));
    port_.Unblock();
    // The close, behind the refused request, reaches the application: the record goes.
    EXPECT_TRUE(testsupport::WaitFor([] { return ClientCB::Find(1) == nullptr; }));
    EXPECT_EQ(1u, Events::CountText(Events::Take(), "Received MsgType=95 from SESSION-1 when Parlo failover"));
    EXPECT_TRUE(app_->IsKeepingOPCMsgsInQueue());
    app_->ProcessOPCMsgsFromQueue();
}

// While a no-client failover is reported and the side fails over on its network status,
// only a session's close goes through.
TEST(FailoverRule, RefusesAllButCloseOnlyWhileBothHold) {
    const struct {
        bool nic;
        int reported;
        int32_t type;
        bool refused;
    } cases[] = {
        {true, 1, 3, true},    // OPEN_REQ
        {true, 1, 93, true},   // MONITOR_START_REQ
        {true, 1, 259, true},  // SESSION_FAILED_MSG
        {true, 1, 7, false},   // CLOSE_REQ
        {false, 1, 3, false},  {true, 0, 3, false}, {false, 0, 93, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CTIApplication::RefusedByFailover(c.nic, c.reported, c.type), c.refused)
            << c.nic << " " << c.reported << " " << c.type;
}

TEST_F(DispatchTest, DuringAReportedFailoverRequestsGetFailureEvent17AndCloseStillWorks) {
    // A duplex side whose only client does not count keeps its report: the thread's watch
    // clears it as soon as a counting client is there.
    server_->SetDuplex(1);
    Client c(Port());
    ASSERT_TRUE(c.Send(*sesstest::OpenReq(1, 30, 0x10, "Quillet desk")));
    ASSERT_EQ(4u, c.Read().type);
    server_->SetFailoverReported(1);
    MonitorStopReqMSG stop;
    stop.SetUINT(elementid::InvokeID, 4242);
    stop.SetUINT(elementid::MonitorID, 7);
    // Without NICStatusBasedFailover the request is dispatched as usual.
    ASSERT_TRUE(c.Send(stop));
    EXPECT_EQ(1u, c.Read().type);  // FAILURE_CONF of the placeholder
    registry_->SetDynamic(CTIRegistry::NICStatusBasedFailover, 1);
    Events::Take();
    ASSERT_TRUE(c.Send(stop));
    sesstest::Received r = c.Read();
    ASSERT_EQ(2u, r.type);  // FAILURE_EVENT
    EXPECT_EQ(17u, r.Status());
    EXPECT_EQ(1u, Events::CountText(Events::Take(),
                                    "!WARNING! ProcessSessionMessage - Received MsgType=95 from SESSION-1 when Parlo "
                                    "failover in progress"));
    EXPECT_EQ(static_cast<uint32_t>(SessionProtocol::sessionOpen), SessionState(1)) << "the session stays";
    CloseReqMSG close;
    close.SetUINT(elementid::InvokeID, 9);
    close.SetUINT(elementid::Status, 0);
    ASSERT_TRUE(c.Send(close));
    r = c.Read();
    EXPECT_EQ(8u, r.type);  // CLOSE_CONF
    EXPECT_EQ(9u, r.msg->GetUINT(elementid::InvokeID));
    EXPECT_TRUE(c.SeesEof()) << "the application closed the session";
    EXPECT_EQ(0u, Events::CountText(Events::Take(), "Received MsgType=7 from"));
}

}  // namespace
