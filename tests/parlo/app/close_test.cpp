// Client close and cleanup, agent removal by OPC, the connection look-ups, the broadcast text
// and the hourly ECC report: the application over real client sessions, with the object
// model and recording seams for what goes to OPC.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "parlo/app/appport.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "platform/byteorder.h"
#include "tests/parlo/app/running_app.h"
#include "tests/parlo/app/client_fixture.h"
#include "tests/parlo/server/session_fixture.h"
#include "tests/support/wait.h"

namespace {

using sesstest::Client;
using srvtest::Events;

constexpr int32_t kPeriph = 5000;
constexpr uint32_t kClientSessionClosedEvent = 100;
constexpr uint32_t kSystemEvent = 31;
constexpr uint32_t kClientSessionOpenedEvent = 99;

class PortStub final : public apptest::ThreadStartingPort {
public:
    int GetPGStatus() const override { return 2; }
    int64_t GetPGTime() override { return 7654321; }
};

// The recording seams, with the client count going back to the application as it does live.
class Seams final : public clienttest::RecordingSeams {
public:
    void CountedClientGone() override {
        if (app != nullptr) app->AddNumClients(-1);
    }
    CTIApplication* app = nullptr;
};

class CloseTest : public srvtest::ServerTest {
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
        seams_.app = app_.get();
        (void)SetClientSeams(&seams_);
        MDSIO::SetServerActive(1);
    }
    void TearDown() override {
        MDSIO::SetServerActive(0);
        apptest::EndApplication(app_, clock_, [] {
            ClientCB::DeleteAll();
            Agent::RemoveAgent(-1, "");
        });
        port_.JoinAll();
        (void)SetClientSeams(nullptr);
        port_.Uninstall();
        ServerTest::TearDown();
    }
    int Port() const { return app_->BoundPort(false); }
    bool Open(Client& c, uint32_t services) {
        EXPECT_TRUE(c.Send(*sesstest::OpenReq(1, 30, services)));
        const uint32_t type = c.Read().type;
        EXPECT_EQ(4u, type);
        return type == 4;
    }
    // The next message other than a session-opened event.
    static sesstest::Received Next(Client& c) {
        for (;;) {
            sesstest::Received r = c.Read();
            if (r.type != kClientSessionOpenedEvent) return r;
        }
    }
    // The session's record, made here when the open did not make one.
    static ClientCB* Record(int32_t sessionID, uint32_t services, uint32_t state, uint32_t applicationPathID = 0,
                            const std::string& signature = "sig") {
        model::ServerLockGuard guard(model::ServerLock());
        ClientCB* record = ClientCB::Find(sessionID);
        if (record == nullptr) record = new ClientCB(sessionID, "desk1");
        clienttest::OpenValues values;
        values.services = services;
        values.signature = signature;
        values.version = record->GetVersion();
        values.applicationPathID = applicationPathID;
        values.host = {record->GetHostName(), record->GetHostAddress(), record->GetHostPort()};
        clienttest::Accept(record, values);
        record->SetState(static_cast<ClientCB::State>(state));
        return record;
    }
    // The record's connection, as if the open had come from `host`.
    static void Rehost(ClientCB* record, const ClientCB::Host& host) {
        clienttest::OpenValues values;
        values.services = record->GetServiceMask();
        values.signature = record->GetClientSignature();
        values.version = record->GetVersion();
        values.applicationPathID = record->GetApplicationPathID();
        values.host = host;
        clienttest::Accept(record, values);
    }
    static Agent* NewAgent(const char* agentID, int32_t peripheralType = 48) {
        static int32_t skillTarget = 100;
        return new Agent(kPeriph, peripheralType, skillTarget++, 0, agentID, "", nullptr, false);
    }
    static void Bind(ClientCB* record, Agent* agent) {
        model::ServerLockGuard guard(model::ServerLock());
        record->BindAgent(agent);
        const model::ClientInfo info = record->Info();
        agent->SetClientCB(&info);
    }
    // CTI_AGENT_REMOVED_IND as OPC sends it: the ServerNumber word, PeripheralID, AgentID.
    static std::vector<uint8_t> RemovedInd(int32_t peripheralID, const std::string& agentID) {
        std::vector<uint8_t> out(10, 0);
        plat::StoreLE32(out.data() + 4, static_cast<uint32_t>(peripheralID));
        plat::StoreLE16(out.data() + 8, static_cast<uint16_t>(agentID.size()));
        out.insert(out.end(), agentID.begin(), agentID.end());
        out.push_back(0);
        while ((out.size() - 8) % 4 != 0) out.push_back(0);
        return out;
    }

    PortStub port_;
    Seams seams_;
    std::unique_ptr<CTIApplication> app_;
};

// The client monitor hears of a close only when the session had been confirmed (OPEN) or
// waits for its agent; a session still being validated closes silently. Every outstanding
// request of the session goes with it, and its record.
TEST_F(CloseTest, ClientMonitorsHearOfConfirmedClosesOnlyWithTheCloseStatus) {
    Client monitor(Port());
    ASSERT_TRUE(Open(monitor, 0x40));  // session 1
    struct Case {
        uint32_t state;
        uint32_t status;
        bool event;
    };
    const std::vector<Case> cases = {
        {ClientCB::AGENT_VALIDATION, 3, false},
        {ClientCB::OPEN, 12, true},
        {ClientCB::AGENT_LOGIN_WAIT, 0, true},
        {ClientCB::CLIENT_VALIDATION, 5, false},
    };
    int32_t id = 1;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.state);
        Client c(Port());
        ASSERT_TRUE(Open(c, 0x10));
        ++id;
        ClientCB* record = Record(id, 0x10, k.state);
        Rehost(record, {record->GetHostName(), "127.0.0.1", 4321});
        OPCReq* pending = OPCReq::Allocate(id, 77, 0x55000000u + static_cast<uint32_t>(id));
        pending->PrivateCallFlags = 0;
        CloseReqMSG close;
        close.SetUINT(elementid::InvokeID, 9);
        close.SetUINT(elementid::Status, k.status);
        ASSERT_TRUE(c.Send(close));
        EXPECT_EQ(8u, c.Read().type);  // CLOSE_CONF
        ASSERT_TRUE(testsupport::WaitFor([&] {
            model::ServerLockGuard guard(model::ServerLock());
            return ClientCB::Find(id) == nullptr;
        }));
        EXPECT_EQ(nullptr, OPCReq::Find(0x55000000u + static_cast<uint32_t>(id)));
        // A broadcast behind the close shows whether the monitor was told before it.
        app_->SendText("marker");
        sesstest::Received r = Next(monitor);
        if (k.event) {
            ASSERT_EQ(kClientSessionClosedEvent, r.type);
            EXPECT_EQ(static_cast<uint32_t>(id), r.msg->GetUINT(elementid::SessionID));
            EXPECT_EQ(k.status, r.msg->GetUINT(elementid::Status));
            EXPECT_EQ(4321u, r.msg->GetUINT(elementid::ClientPort));
            EXPECT_STREQ("desk1", r.msg->GetSTRING(elementid::ClientID));
            EXPECT_STREQ("sig", r.msg->GetSTRING(elementid::ClientSignature));
            r = Next(monitor);
        }
        EXPECT_EQ(kSystemEvent, r.type);
    }
}

// What OPC is told and which links are undone, by kind of session and cause. A close in
// maintenance (standby-capable client, cause 110) tells OPC nothing but still lets go.
TEST_F(CloseTest, CloseTellsOPCOnceAndUndoesEveryLinkNamingTheSession) {
    struct Case {
        const char* what;
        uint32_t services;
        int cause;
        bool agentMode;
        bool replaced;  // another session took the agent since
        size_t requests;
    };
    const std::vector<Case> cases = {
        {"all events", 0x10, 0, false, false, 1},
        {"peripheral monitor", 0x20, 5, false, false, 1},
        {"all events, maintenance", 0x2000010, 110, false, false, 0},
        {"all events, 110 without the bit", 0x10, 110, false, false, 1},
        {"standby-capable, other cause", 0x2000010, 5, false, false, 1},
        {"agent mode", 0x01, 0, true, false, 1},
        {"agent mode, maintenance", 0x2000001, 110, true, false, 0},
        {"agent mode, replaced", 0x01, 0, true, true, 0},
    };
    int32_t id = 100;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        ++id;
        seams_.requests.clear();
        Agent* agent = NewAgent(("A" + std::to_string(id)).c_str());
        ClientCB* record = Record(id, k.services, ClientCB::OPEN);
        if (k.agentMode) {
            Bind(record, agent);
            if (k.replaced) agent->SetClientSessionID(id + 1000);
        } else {
            AddToAssociateAgentList(record, agent->GetAgentID().c_str(), kPeriph, 1, 0);
            AddToAssociateAgentList(record, agent->GetAgentID().c_str(), kPeriph, 5, 0);
            const model::ClientInfo info = record->Info();
            agent->SetAssociateClientCB(&info);
            agent->AddAssociateNonVoiceClient(5, id);
        }
        app_->CloseClient(id, k.cause);
        ASSERT_EQ(k.requests, seams_.requests.size());
        if (k.requests == 1) {
            const clienttest::StatusRequest& r = seams_.requests[0];
            EXPECT_EQ(0u, r.status);
            EXPECT_EQ(id, r.recordSessionID);
            EXPECT_EQ(agent->GetAgentID(), r.agentID);
            EXPECT_EQ(kPeriph, r.peripheralID);
            const std::vector<int32_t> mrds =
                k.agentMode ? std::vector<int32_t>{1} : std::vector<int32_t>{1, 5};
            EXPECT_EQ(mrds, r.mrdIDs);
            EXPECT_EQ("", r.signature);
        }
        model::ServerLockGuard guard(model::ServerLock());
        EXPECT_EQ(nullptr, ClientCB::Find(id));
        EXPECT_NE(id, agent->AssociateSessionID());
        EXPECT_NE(id, agent->GetAssociateNonVoiceSessionID(5));
        EXPECT_EQ(k.replaced ? id + 1000 : -1, agent->ClientSessionID());
    }
}

// However a session ends, its record goes and with it the count and the agent's binding:
// the session layer's destruction hook, and a client that drops its socket.
TEST_F(CloseTest, ASessionEndedWithoutCloseLeavesNoRecordCountOrBinding) {
    {
        Agent* agent = NewAgent("7001");
        ClientCB* record = Record(500, 0x01, ClientCB::OPEN);
        record->MarkCounted();
        app_->AddNumClients(1);
        Bind(record, agent);
        ASSERT_NE(nullptr, OPCReq::Allocate(500, 44, 0x66000500u));
        const int before = app_->GetNumClients();
        EXPECT_EQ(1, app_->SessionDestroyed(500));
        model::ServerLockGuard guard(model::ServerLock());
        EXPECT_EQ(nullptr, ClientCB::Find(500));
        EXPECT_EQ(before - 1, app_->GetNumClients());
        EXPECT_EQ(-1, agent->ClientSessionID());
        // The destruction alone leaves the session's unanswered OPC requests until OPC
        // answers them.
        OPCReq* pending = OPCReq::Find(0x66000500u);
        ASSERT_NE(nullptr, pending);
        EXPECT_EQ(500, pending->SessionID);
        OPCReq::Release(pending);
    }
    Agent* agent = NewAgent("7002");
    {
        Client c(Port());
        ASSERT_TRUE(Open(c, 0x10));  // session 1
        ClientCB* record = Record(1, 0x01, ClientCB::OPEN);
        if (!record->IsCounted()) {
            record->MarkCounted();
            app_->AddNumClients(1);
        }
        Bind(record, agent);
        ASSERT_NE(nullptr, OPCReq::Allocate(1, 44, 0x66000001u));
    }  // the socket goes without CLOSE_REQ
    EXPECT_TRUE(testsupport::WaitFor([&] {
        model::ServerLockGuard guard(model::ServerLock());
        return ClientCB::Find(1) == nullptr;
    }));
    EXPECT_EQ(0, app_->GetNumClients());
    EXPECT_EQ(-1, agent->ClientSessionID());
    // The failed session's end reaches the application as the CLOSE_REQ that the session
    // layer queues for it in FailSession, so its OPC requests went with the close.
    EXPECT_EQ(nullptr, OPCReq::Find(0x66000001u));
}

// CTI_AGENT_REMOVED_IND never takes an agent bound to an agent-mode session by its name;
// no name (empty or "-1") removes every agent of the peripheral, bound ones too.
TEST_F(CloseTest, AgentRemovalSparesBoundAgentsUnlessItNamesNone) {
    struct Case {
        std::string agentID;
        int32_t peripheralID;
        bool boundKept, freeKept, otherPeripheralKept;
    };
    const std::vector<Case> cases = {
        {"B", kPeriph, true, true, true},
        {"F", kPeriph, true, false, true},
        {"F", kPeriph + 1, true, true, true},
        {"", kPeriph, false, false, true},
        {"-1", kPeriph, false, false, true},
        {"nobody", kPeriph, true, true, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE("\"" + k.agentID + "\"");
        Agent* bound = NewAgent("B");
        (void)NewAgent("F");
        (void)new Agent(kPeriph + 2, 48, 999, 0, "F", "", nullptr, false);
        ClientCB* record = Record(300, 0x01, ClientCB::OPEN);
        Bind(record, bound);
        const auto data = RemovedInd(k.peripheralID, k.agentID);
        app_->ProcessOPCMessage(15, static_cast<int>(data.size()), data.data());
        EXPECT_EQ(k.boundKept, Agent::FindAgentByAgentID(kPeriph, "B", false) != nullptr);
        EXPECT_EQ(k.freeKept, Agent::FindAgentByAgentID(kPeriph, "F", false) != nullptr);
        EXPECT_EQ(k.otherPeripheralKept,
                  Agent::FindAgentByAgentID(kPeriph + 2, "F", false) != nullptr);
        {
            model::ServerLockGuard guard(model::ServerLock());
            // A removed agent leaves no dangling pointer in its session.
            if (!k.boundKept) {
                EXPECT_EQ(nullptr, ClientCB::Find(300)->GetAgent());
            }
        }
        ClientCB::DeleteBySessionID(300);
        Agent::RemoveAgent(-1, "");
    }
}

TEST_F(CloseTest, AMalformedAgentRemovalIsDropped) {
    (void)NewAgent("F");
    auto data = RemovedInd(kPeriph, "F");
    for (size_t keep : {size_t{4}, size_t{7}, size_t{9}, size_t{10}}) {
        SCOPED_TRACE(keep);
        app_->ProcessOPCMessage(15, static_cast<int>(keep), data.data());
        EXPECT_NE(nullptr, Agent::FindAgentByAgentID(kPeriph, "F", false));
    }
}

TEST_F(CloseTest, SendTextReportsAndReachesEverySessionOnlyWhileEventsAreEnabled) {
    Client a(Port());
    ASSERT_TRUE(Open(a, 0x10));
    Client b(Port());
    ASSERT_TRUE(Open(b, 0x40));
    Events::Take();
    // The EMS line is cut to 255 characters; the event carries the text itself.
    auto broadcasts = [] {
        std::vector<std::string> lines;
        for (const auto& e : Events::Take())
            if (e.id == 0x212E000Fu && e.Text().rfind("BROADCAST MESSAGE: ", 0) == 0)
                lines.push_back(e.Text());
        return lines;
    };
    const std::string longText(300, 'x');
    app_->SendText(longText.c_str());
    EXPECT_EQ(std::vector<std::string>{"BROADCAST MESSAGE: " + std::string(236, 'x')}, broadcasts());
    for (Client* c : {&a, &b}) {
        sesstest::Received r = Next(*c);
        ASSERT_EQ(kSystemEvent, r.type);
        EXPECT_EQ(5u, r.msg->GetUINT(elementid::SystemEventID));
        EXPECT_EQ(2u, r.msg->GetUINT(elementid::PGStatus));
        EXPECT_EQ(7654321u, r.msg->GetUINT(elementid::CCTimestamp));
        EXPECT_EQ(0xFFFFu, r.msg->GetUSHORT(elementid::EventDeviceType));
        EXPECT_EQ(0, std::strncmp(longText.c_str(), r.msg->GetSTRING(elementid::CTIText), 200));
    }
    // Not enabled: the report only.
    MDSIO::SetServerActive(0);
    app_->SendText("quiet");
    EXPECT_EQ(std::vector<std::string>{"BROADCAST MESSAGE: quiet"}, broadcasts());
    MDSIO::SetServerActive(1);
    app_->SendText("loud");
    sesstest::Received r = Next(a);
    ASSERT_EQ(kSystemEvent, r.type);
    EXPECT_STREQ("loud", r.msg->GetSTRING(elementid::CTIText));
}

// A variable gone from the configuration: every session registered for it hears of it, keeps
// its session, and the registration goes; another variable's registrations stay.
TEST_F(CloseTest, DeletingARegisteredVariableTellsEachOfItsSessions) {
    struct Case {
        int32_t isArray;
        uint32_t status;
    };
    int32_t id = 0;
    // Every session stays to the end: a closing one would unregister on the application
    // thread while this thread registers (both belong to the application thread).
    std::vector<std::unique_ptr<Client>> all;
    for (const Case& k : {Case{1, 68}, Case{0, 67}}) {
        SCOPED_TRACE(k.status);
        std::vector<Client*> clients;
        for (int i = 0; i < 3; ++i) {
            all.push_back(std::make_unique<Client>(Port()));
            clients.push_back(all.back().get());
            ASSERT_TRUE(Open(*clients.back(), 0x10));
            ClientCB* record = Record(++id, 0x10, ClientCB::OPEN);
            app_->RegisterECCVariable(40, "user.gone", record);
            if (i == 0) app_->RegisterECCVariable(41, "user.kept", record);
        }
        ASSERT_EQ(2u, app_->ECCVariableRegistrationCount());
        app_->DeleteECCVariable(99, "user.unknown", k.isArray);
        app_->DeleteECCVariable(40, "user.gone", k.isArray);
        EXPECT_EQ(1u, app_->ECCVariableRegistrationCount());
        for (Client* c : clients) {
            sesstest::Received r = Next(*c);
            ASSERT_EQ(2u, r.type);  // FAILURE_EVENT
            EXPECT_EQ(k.status, r.Status());
            HeartbeatReqMSG beat;  // the session stays
            beat.SetUINT(elementid::InvokeID, 5);
            ASSERT_TRUE(c->Send(beat));
            EXPECT_EQ(6u, Next(*c).type);
        }
        app_->DeleteECCVariable(41, "user.kept", k.isArray);
        EXPECT_EQ(0u, app_->ECCVariableRegistrationCount());
        ASSERT_EQ(2u, Next(*clients[0]).type);
    }
}

// The connection a request is about, seen from its session: an agent-mode session acts at
// its agent's device, a named instrument at that device, any other session in the calls.
class LookupTest : public CloseTest {
protected:
    void SetUp() override {
        CloseTest::SetUp();
        d1_ = new CTICSTADevice(kPeriph, 0, "5001", "5001", "test");
        d2_ = new CTICSTADevice(kPeriph, 0, "5002", "5002", "test");
        auto* d5 = new CTICSTADevice(kPeriph, 0, "6001", "6001", "test");
        Agent* agent = NewAgent("A1");
        agent->SetDevice(d1_);
        Agent* guessing = NewAgent("A5", 5);  // its peripheral does not report every call
        guessing->SetDevice(d5);
        Call* call = Call::Alloc(kPeriph, 3001, 0, "5001", 48, 1, 0, 0, 0);
        at1_ = CTICSTAConnection::Alloc(d1_, call, 3, 1, 0, "5001", "test");
        at2_ = CTICSTAConnection::Alloc(d2_, call, 3, 1, 0, "5002", "test");
        Call* other = Call::Alloc(kPeriph, 3002, 0, "5002", 48, 1, 0, 0, 0);
        only2_ = CTICSTAConnection::Alloc(d2_, other, 3, 1, 0, "5002", "test");
        allEvents_ = Record(1, 0x10, ClientCB::OPEN);
        bound_ = Record(2, 0x01, ClientCB::OPEN);
        Bind(bound_, agent);
        unbound_ = Record(3, 0x01, ClientCB::OPEN);
        guess_ = Record(4, 0x01, ClientCB::OPEN);
        Bind(guess_, guessing);
    }
    CTICSTADevice *d1_ = nullptr, *d2_ = nullptr;
    CTICSTAConnection *at1_ = nullptr, *at2_ = nullptr, *only2_ = nullptr;
    ClientCB *allEvents_ = nullptr, *bound_ = nullptr, *unbound_ = nullptr, *guess_ = nullptr;
};

TEST_F(LookupTest, FindConnectionByModeAndWhatIsKnown) {
    struct Case {
        const char* what;
        ClientCB* client;
        uint32_t callID;
        const char* deviceID;
        const char* instrument;
        int selector;
        CTICSTAConnection* connection;
        int callKnown;
    };
    const std::vector<Case> cases = {
        {"call mode, found", allEvents_, 3001, "5001", "", 1, at1_, 1},
        {"call mode, call without that connection", allEvents_, 3001, "9999", "", 1, nullptr, 0},
        {"call mode, unknown call", allEvents_, 4000, "5001", "", 1, nullptr, 0},
        {"agent mode, at its device", bound_, 3001, "5001", "", 1, at1_, 1},
        {"agent mode, call not at its device", bound_, 3001, "5002", "", 1, nullptr, 1},
        {"agent mode, unknown call", bound_, 4000, "5001", "", 1, nullptr, 0},
        {"agent mode without agent", unbound_, 3001, "5001", "", 1, nullptr, 1},
        {"named instrument", allEvents_, 3001, "5002", "5002", 1, at2_, 1},
        {"named instrument without device", allEvents_, 3001, "5002", "7777", 1, nullptr, 1},
        {"type 5, another device's call", guess_, 4000, "7777", "", 1, nullptr, 1},
        {"type 5, its own device", guess_, 4000, "6001", "", 1, nullptr, 0},
        {"type 5, no device ID", guess_, 4000, "", "", 1, nullptr, 0},
        {"type 5, alerting selector", guess_, 4000, "7777", "", 4, nullptr, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        int known = -1;
        EXPECT_EQ(k.connection, app_->FindConnection(k.client, kPeriph, k.callID, 0, k.deviceID,
                                                     k.instrument, k.selector, &known));
        EXPECT_EQ(k.callKnown, known);
    }
}

TEST_F(LookupTest, FindRequestConnectionCodes) {
    struct Case {
        const char* what;
        ClientCB* client;
        uint32_t callID;
        const char* deviceID;
        int allowOtherDevice;
        CTICSTAConnection* connection;
        int callKnown;
        uint32_t code;
    };
    const std::vector<Case> cases = {
        {"its own connection", bound_, 3001, "5001", 0, at1_, 1, 0},
        {"another party of its call", bound_, 3001, "5002", 0, nullptr, 1, 8},
        {"another party, allowed", bound_, 3001, "5002", 1, at2_, 1, 0},
        {"a call it is not on", bound_, 3002, "5002", 1, nullptr, 1, 268},
        {"a call without that connection", bound_, 3001, "9999", 0, nullptr, 1, 13},
        {"no device context", allEvents_, 3001, "5002", 0, at2_, 1, 0},
        {"unknown call", bound_, 4000, "5001", 0, nullptr, 0, 0},
        {"unknown call, type 5", guess_, 4000, "7777", 0, nullptr, 1, 268},
        {"no call ID: the device's newest fitting", bound_, 0xFFFFFFFF, "", 0, at1_, 1, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        int known = -1;
        uint32_t code = 99;
        EXPECT_EQ(k.connection, app_->FindRequestConnection(k.client, kPeriph, k.callID, 0, k.deviceID,
                                                            "", 1, &known, k.allowOtherDevice, &code));
        EXPECT_EQ(k.callKnown, known);
        EXPECT_EQ(k.code, code);
    }
}

TEST_F(LookupTest, FindSupervisedConnectionSkipsTheOtherCall) {
    int found = 0;
    EXPECT_EQ(only2_, app_->FindSupervisedConnection(allEvents_, kPeriph, 0xFFFFFFFF, 0, "", "5002", 1,
                                                     &found, 3001, "5001"));
    EXPECT_EQ(1, found);
    found = 0;
    EXPECT_EQ(at2_, app_->FindSupervisedConnection(allEvents_, kPeriph, 0xFFFFFFFF, 0, "", "5002", 1,
                                                   &found, 3002, "5001"));
    EXPECT_EQ(1, found);
    found = 7;  // device mode leaves the caller's value when nothing fits
    EXPECT_EQ(nullptr, app_->FindSupervisedConnection(allEvents_, kPeriph, 3001, 0, "5001", "5002", 1,
                                                      &found, 3002, "5001"));
    EXPECT_EQ(7, found);
    found = 7;  // call mode starts from 0
    EXPECT_EQ(at2_, app_->FindSupervisedConnection(allEvents_, kPeriph, 3001, 0, "5002", "", 1, &found,
                                                   3002, "5001"));
    EXPECT_EQ(1, found);
    found = 7;
    EXPECT_EQ(nullptr, app_->FindSupervisedConnection(allEvents_, kPeriph, 4000, 0, "5002", "", 1,
                                                      &found, 3002, "5001"));
    EXPECT_EQ(0, found);
}

// The sessions of an application path, in hash order: only "Tressik" sessions let the walk
// go on, and it never gives more than four.
TEST_F(CloseTest, AppPathClientsStopAfterTheFirstOtherSignatureOrAtFour) {
    struct Case {
        std::vector<std::string> signatures;  // sessions 1.. of path 7, in hash order
        std::vector<int32_t> expected;
    };
    const std::vector<Case> cases = {
        {{"desk", "Tressik", "Tressik"}, {1}},
        {{"Tressik", "Tressik", "desk", "Tressik"}, {1, 2, 3}},
        {{"Tressik", "Tressik", "Tressik", "Tressik", "Tressik"}, {1, 2, 3, 4}},
        {{"tressik", "Tressik"}, {1}},
        {{}, {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.signatures.size());
        (void)Record(1026, 0x400, ClientCB::OPEN, 8);  // bucket 2, another path
        int32_t id = 0;
        for (const std::string& signature : k.signatures) {
            (void)Record(++id, 0x400, ClientCB::OPEN, 7, signature);
        }
        std::vector<int32_t> got;
        for (ClientCB* record : ClientCB::GetAppPathClients(7)) got.push_back(record->GetSessionID());
        EXPECT_EQ(k.expected, got);
        ClientCB::DeleteAll();
    }
}

TEST_F(CloseTest, TheECCReportComesFirstThenAtMostHourly) {
    auto reports = [] {
        size_t n = 0;
        for (const auto& e : Events::Take())
            if (e.id == 0xA12EC00Eu) ++n;
        return n;
    };
    Events::Take();
    struct Step {
        int64_t advanceMs;
        size_t reported;
    };
    // Three calls within the hour report once; past the hour (strictly) once more.
    const std::vector<Step> steps = {{0, 1},       {1, 0},       {1800000, 0},
                                     {1799999, 0}, {1, 1},       {3600000, 0},
                                     {1, 1}};
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        clock_.SetMonotonicNs(plat::MonotonicNs() + steps[i].advanceMs * 1000000);
        CTIApplication::ReportECCTooMuchData();
        EXPECT_EQ(steps[i].reported, reports());
    }
}

}  // namespace
