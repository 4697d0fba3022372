// The open road's steps on the application object, with the model's recording ports and the
// client seams recorded: refusals and failed confirmations leave no record, count, wait
// entry or agent binding behind; agents and sessions are matched as the road says.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/servicemask.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/app/openroad.h"
#include "parlo/model/modelutil.h"
#include "opcmsg/armapppath.h"
#include "parlo/model/call.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "peers/opc/opc_agents.h"
#include "tests/parlo/app/client_fixture.h"
#include "tests/parlo/app/running_app.h"
#include "tests/parlo/model/agent_test_access.h"
#include "tests/parlo/opclink/server_double.h"
#include "tests/parlo/session/server_double.h"
#include "tests/parlo/server/server_fixture.h"

namespace {

using namespace openroad;
using namespace servicemask;

// The client seams, with the application's own login-wait queue.
class AppSeams : public clienttest::RecordingSeams {
public:
    explicit AppSeams(CTIApplication& app) : app_(app) {}
    StdQueue& AgentLoginWaitQueue() override { return app_.AgentLoginWaitQueue(); }

private:
    CTIApplication& app_;
};

class OpenTest : public clienttest::ClientTest {
protected:
    OpenTest() : appSeams(app) {
        EMSInstallSeams(&srvtest::Events::kSeams);
        (void)SetClientSeams(&appSeams);
        // No server: the doubles of the ports above the session layer, the OPC link and the
        // application stand in for it.
        serverPort.Install();  // ACTIVE, no peripherals, unique IDs counted
        sessionServer.Install();
        linkServer.Install();
    }
    ~OpenTest() override {
        ClientCB::DeleteAll();
        (void)SetClientSeams(nullptr);
    }

    static BaseMSGPtr OpenReq(uint32_t version, uint32_t mask) {
        BaseMSGPtr open = catalog::CreateMessage(ctitype::OpenReqMSG);
        open->SetUINT(elementid::InvokeID, 9);
        open->SetUINT(elementid::VersionNumber, version);
        open->SetUINT(elementid::IdleTimeout, 30);
        open->SetINT(elementid::CTIPeripheralID, 5000);
        open->SetUINT(elementid::ServiceMask, mask);
        open->SetUINT(elementid::CallMsgMask, 0xFFFFFFFF);
        open->SetUINT(elementid::AgentStateMask, 0x3FFF);
        open->SetUINT(elementid::ConfigMsgMask, 0);
        open->SetSTRING(elementid::ClientID, "desk");
        return open;
    }
    void ProcessOpenRequest(int32_t sessionID, BaseMSGPtr msg) {
        (app.*(CTIApplication::FindClientRow(3)->function))(sessionID, std::move(msg), 0);
    }
    // An agent-mode record in the middle of the road: counted, its OPEN_REQ pending.
    ClientCB* Opening(int32_t sessionID, const char* clientID, const char* agentID, const char* ext = "",
                      const char* instrument = "", uint32_t services = CLIENT_EVENTS) {
        auto* c = new ClientCB(sessionID, clientID);
        clienttest::OpenValues values;
        values.services = services;
        values.signature = clientID;
        values.host = {"", "10.0.0.1", 4000};
        values.agentID = agentID;
        values.extension = ext;
        values.instrument = instrument;
        clienttest::Accept(c, values, true);
        c->MarkCounted();
        app.AddNumClients(1);
        return c;
    }
    Agent* LoggedIn(const char* agentID, const char* ext, const char* instrument) {
        auto* agent = new Agent(5000, 30, 9000 + static_cast<int32_t>(Agent::Count()), 7, agentID, ext, instrument,
                                false);
        AgentTestAccess::SetOverallState(agent, 3);  // AVAILABLE
        return agent;
    }
    static CTICSTADevice* Device(const char* id) {
        CSTAExtendedDeviceID device;
        model::CopyDeviceID(device.deviceID, id);
        return FindOrCreateCTICSTADevice(5000, &device, id, "test", false, true);
    }
    // Nothing of the session is left in the application.
    void ExpectNothingLeft(int32_t sessionID) {
        EXPECT_EQ(nullptr, ClientCB::Find(sessionID));
        EXPECT_EQ(0, app.GetNumClients());
        EXPECT_EQ(0, app.AgentLoginWaitQueue().Count());
    }

    apptest::ForwardingAppPort serverPort;
    sesstest::ServerDouble sessionServer;
    opclinktest::LinkServerDouble linkServer;
    CTIApplication app;
    AppSeams appSeams;
};

// Version and service checks: each refusal names its code and destroys the record
// uncounted; a request that passes them is counted, and when its confirmation cannot be
// made (no session to confirm, no OPC to ask) the record goes again and the count is back.
TEST_F(OpenTest, VersionAndServiceChecksAndAFailedConfirmationLeaveNoRecord) {
    constexpr const char* kVersion = "E_CTI_INVALID_VERSION";
    constexpr const char* kMask = "E_CTI_INVALID_SERVICE_MASK";
    const struct {
        uint32_t version, mask;
        const char* code;  // null: passes the checks
    } cases[] = {
        {1, 0x10, kVersion},   {4, 0x10, kVersion},       {25, 0x10, kVersion},         {2, 0x03, nullptr},
        {2, 0x04, kMask},      {24, 0x8000, kMask},       {24, 0x80000010, nullptr},    {24, 0x11, kMask},
        {24, 0x04, kMask},     {24, 0x80, kMask},         {24, 0x90, nullptr},          {8, 0x400, kMask},
        {24, 0x400, "E_CTI_INVALID_MR_DOMAIN"},
    };
    int32_t session = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "version " << c.version << " mask 0x" << std::hex << c.mask);
        srvtest::Events::Take();
        ProcessOpenRequest(++session, OpenReq(c.version, c.mask));
        const auto events = srvtest::Events::Take();
        for (const char* code : {kVersion, kMask}) {
            EXPECT_EQ(c.code == code ? 1u : 0u,
                      srvtest::Events::CountText(events, std::string("refused with ") + code));
        }
        if (c.code != nullptr) {
            EXPECT_EQ(1u, srvtest::Events::CountText(events, std::string("refused with ") + c.code));
        }
        if (c.code == nullptr && (c.mask & CLIENT_EVENTS) != 0) {
            // Counted, and waiting for OPC's answer on its agent.
            ClientCB* waiting = ClientCB::Find(session);
            ASSERT_NE(nullptr, waiting);
            EXPECT_EQ(ClientCB::AGENT_VALIDATION, waiting->GetState());
            EXPECT_EQ(1, app.GetNumClients());
            ClientCB::DeleteBySessionID(session);
            app.AddNumClients(-1);
        }
        ExpectNothingLeft(session);
    }
}

TEST_F(OpenTest, ForbiddenBitsFollowTheVersion) {
    EXPECT_EQ(0xFFFFFFFFu, ForbiddenServiceBits(0));
    EXPECT_EQ(0xFFFFFFFFu, ForbiddenServiceBits(4));
    EXPECT_EQ(0xFFFFFFFFu, ForbiddenServiceBits(25));
    EXPECT_EQ(0u, 0x80000000u & ForbiddenServiceBits(2));  // allowed at every version
    EXPECT_EQ(0x7E00C000u, ForbiddenServiceBits(16));
    EXPECT_EQ(0x7E00C000u, ForbiddenServiceBits(23));
    EXPECT_EQ(0x7C00C000u, ForbiddenServiceBits(24));
    // Every valid version, transcribed from the open's table.
    const struct {
        uint32_t from, to, forbidden;
    } table[] = {
        {2, 2, 0x7FFFFFEC},   {3, 3, 0x7FFFFFE0},   {5, 7, 0x7FFFFF80},   {8, 8, 0x7FFFFC00},
        {9, 9, 0x7FFFE000},   {10, 10, 0x7FF0E000}, {11, 11, 0x7FC0E000}, {12, 13, 0x7FC0C000},
        {14, 15, 0x7F80C000}, {16, 23, 0x7E00C000}, {24, 24, 0x7C00C000},
    };
    for (const auto& row : table)
        for (uint32_t version = row.from; version <= row.to; ++version)
            EXPECT_EQ(row.forbidden, ForbiddenServiceBits(version)) << version;
    EXPECT_EQ(0xFFFFFFFFu, ForbiddenServiceBits(1));
}

// The road's end when the confirmation fails: a waiting record leaves the queue, a bound one
// lets its agent go, both uncounted.
TEST_F(OpenTest, AFailedConfirmationUndoesTheWaitAndTheBinding) {
    Agent* out = NewAgent(5000, "1001", "4001");
    AgentTestAccess::SetOverallState(out, agentstate::LOGOUT);
    ClientCB* waiting = Opening(21, "desk1", "1001");
    app.OpenValidAgent(waiting, out, 30, 1);
    ExpectNothingLeft(21);

    Agent* in = LoggedIn("1002", "4002", "4002");
    ClientCB* bound = Opening(22, "desk2", "1002");
    app.OpenValidAgent(bound, in, 30, 1);
    ExpectNothingLeft(22);
    EXPECT_EQ(-1, in->ClientSessionID());
}

TEST_F(OpenTest, RefusalsOfStepFourDestroyTheRecord) {
    Agent* agent = LoggedIn("1002", "4002", "4002");
    const struct {
        const char* name;
        uint32_t mask;
        Agent* agent;
        uint16_t peripheralType;
    } cases[] = {
        {"supervisor without the flag", CLIENT_EVENTS | SUPERVISOR, agent, 30},
        {"supervisor without an agent", CLIENT_EVENTS | SUPERVISOR, nullptr, 30},
        {"unknown peripheral", CLIENT_EVENTS, agent, 0xFFFF},
    };
    int32_t session = 30;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ClientCB* client = Opening(++session, "desk", "1002", "", "", c.mask);
        app.OpenValidAgent(client, c.agent, c.peripheralType, 1);
        ExpectNothingLeft(session);
        EXPECT_EQ(-1, agent->ClientSessionID());
    }
}

// Only the identifiers the session gave are compared; the others come from the agent.
TEST_F(OpenTest, AssociationComparesOnlyGivenIdentifiers) {
    Agent* agent = LoggedIn("1002", "4002", "4002");
    const struct {
        const char *agentID, *ext, *instrument;
        int bound;
    } cases[] = {
        {"1002", "", "", 1}, {"", "4002", "", 1}, {"", "", "4002", 1},
        {"1003", "", "", 0}, {"1002", "4999", "", 0}, {"1002", "4002", "4999", 0},
    };
    int32_t session = 40;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.agentID << "/" << c.ext << "/" << c.instrument);
        ClientCB* client = Opening(++session, "desk", c.agentID, c.ext, c.instrument);
        // Alone on the agent each time.
        agent->SetClientCB(nullptr);
        EXPECT_EQ(c.bound, app.CompleteAgentAssociation(client, agent, 0));
        if (c.bound) {
            EXPECT_EQ(session, agent->ClientSessionID());
            EXPECT_EQ("1002", client->GetAgentID());
            EXPECT_EQ("4002", client->GetAgentExtension());
            EXPECT_EQ("4002", client->GetAgentInstrument());
            EXPECT_EQ(ClientCB::OPEN, client->GetState());
            ClientCB::DeleteBySessionID(session);
            app.AddNumClients(-1);
        } else {
            ExpectNothingLeft(session);
        }
    }
}

// A bound agent claimed again: the same ClientID and signature take it over (FAILURE_EVENT
// 11 to the first), another identity is refused with 10 and leaves nothing.
TEST_F(OpenTest, ASecondClaimOfABoundAgent) {
    Agent* agent = LoggedIn("1002", "4002", "4002");
    ClientCB* first = Opening(51, "desk", "1002");
    ASSERT_EQ(1, app.CompleteAgentAssociation(first, agent, 0));
    ClientCB* intruder = Opening(52, "other", "1002");
    EXPECT_EQ(0, app.CompleteAgentAssociation(intruder, agent, 0));
    EXPECT_EQ(nullptr, ClientCB::Find(52));
    EXPECT_EQ(51, agent->ClientSessionID());
    EXPECT_EQ(1, app.GetNumClients());

    ClientCB* again = Opening(53, "desk", "1002");
    EXPECT_EQ(1, app.CompleteAgentAssociation(again, agent, 0));
    EXPECT_EQ(53, agent->ClientSessionID());
    // FAILURE_EVENT 11 goes to the session layer, which holds no session here.
    EXPECT_EQ(1u, srvtest::Events::CountText(srvtest::Events::Take(), "SendFailureEventMSG: Session 51 not found"));
}

// Sessions waiting for one agent: another identity loses; the same one replaces; a session
// that names an instrument whose device is bound to another agent is inconsistent.
TEST_F(OpenTest, LoginWaitSettlesRivalsAndChecksTheInstrument) {
    ClientCB* first = Opening(61, "desk", "1001");
    ASSERT_EQ(1, app.LoginWait(first));
    EXPECT_EQ(ClientCB::AGENT_LOGIN_WAIT, first->GetState());
    ClientCB* rival = Opening(62, "other", "1001");
    EXPECT_EQ(0, app.LoginWait(rival));
    EXPECT_EQ(nullptr, ClientCB::Find(62));
    EXPECT_EQ(1, app.AgentLoginWaitQueue().Count());

    // The same identity replaces the waiting session, which stops waiting at once.
    ClientCB* same = Opening(63, "desk", "1001");
    EXPECT_EQ(1, app.LoginWait(same));
    EXPECT_EQ(1, app.AgentLoginWaitQueue().Count());
    EXPECT_EQ(same, app.AgentLoginWaitQueue().First());
    EXPECT_EQ(1u, srvtest::Events::CountText(srvtest::Events::Take(), "SendFailureEventMSG: Session 61 not found"));

    Agent* owner = LoggedIn("1002", "4002", "4002");
    app.SetAgentDevice(owner, Device("4002"));
    const int before = app.GetNumClients();
    ClientCB* borrower = Opening(64, "desk4", "1005", "", "4002");
    EXPECT_EQ(0, app.LoginWait(borrower));
    EXPECT_EQ(nullptr, ClientCB::Find(64));
    EXPECT_EQ(before, app.GetNumClients());
    ClientCB* owns = Opening(65, "desk5", "1002", "", "4002");
    EXPECT_EQ(1, app.LoginWait(owns));

    // The login binds a waiting session (confirmed already): it leaves the wait.
    owns->TakeOpenReq().reset();
    const int waitingBefore = app.AgentLoginWaitQueue().Count();
    EXPECT_EQ(1, app.CompleteAgentAssociation(owns, owner, 1));
    EXPECT_EQ(waitingBefore - 1, app.AgentLoginWaitQueue().Count());
    EXPECT_FALSE(owns->IsInLoginWait());
    EXPECT_EQ(ClientCB::OPEN, owns->GetState());
}

TEST_F(OpenTest, SetAgentDeviceUnbindsBothEarlierPartners) {
    Agent* a = LoggedIn("2001", "5001", "5001");
    Agent* b = LoggedIn("2002", "5002", "5002");
    CTICSTADevice* d = Device("6001");
    CTICSTADevice* e = Device("6002");
    app.SetAgentDevice(b, d);
    app.SetAgentDevice(a, e);
    app.SetAgentDevice(a, d);
    EXPECT_EQ(d, a->m_Device);
    EXPECT_EQ(a, d->m_Agent);
    EXPECT_EQ(nullptr, b->m_Device);
    EXPECT_EQ(nullptr, e->m_Agent);
    app.SetAgentDevice(a, nullptr);  // nothing without both
    EXPECT_EQ(d, a->m_Device);
}

// OPC's answer on an agent whose opener has gone: the record is released, the agent, its
// device and the call on its line are taken into the model, and nothing is completed.
TEST_F(OpenTest, AnAgentStateAnswerUpdatesTheModelEvenWhenTheOpenerIsGone) {
    const int liveBefore = OPCReq::CountLive();
    OPCReq::Allocate(77, 0, 0x500);
    opcpeer::AgentStateResp r;
    r.invokeID = 0x500;
    r.peripheralID = 5000;
    r.peripheralType = 30;
    r.agentState = 4;  // TALKING
    r.skillTargetID = 9002;
    r.agentID = "1002";
    r.extension = r.instrument = "4002";
    r.skillGroups = {{0x01000011, 9101, 4}, {0xFFFFFFFF, 0, 9}};
    r.lines = {{0, 0, 3001, 0, 0, "4002", "5551234"}, {1, 3, 0xFFFFFFFF, 0, 0, "", ""}};
    const std::vector<uint8_t> body = opcpeer::WriteAgentStateResp(r);
    (app.*(CTIApplication::FindOPCRow(13)->function))(body.data(), body.size());

    EXPECT_EQ(liveBefore, OPCReq::CountLive());
    Agent* agent = Agent::FindAgentByAgentID(5000, "1002", false);
    ASSERT_NE(nullptr, agent);
    EXPECT_EQ(4, agent->GetOverallState());
    EXPECT_EQ(1, agent->NumSkillGroups());
    ASSERT_NE(nullptr, agent->m_Device);
    EXPECT_EQ("4002", agent->m_Device->m_DeviceID);
    Call* call = Call::FindCall(5000, 3001, 0, "4002", 0);
    ASSERT_NE(nullptr, call);
    EXPECT_EQ(1, call->m_CallType);  // an inbound ACD line
    EXPECT_EQ(nullptr, ClientCB::Find(77));

    // A body cut inside its lines changes nothing.
    const size_t before = static_cast<size_t>(Agent::Count());
    r.agentID = "1009";
    const std::vector<uint8_t> whole = opcpeer::WriteAgentStateResp(r);
    (app.*(CTIApplication::FindOPCRow(13)->function))(whole.data(), whole.size() - 6);
    EXPECT_EQ(before, static_cast<size_t>(Agent::Count()));
    EXPECT_EQ(nullptr, Agent::FindAgentByAgentID(5000, "1009", false));
}

// OPC's answer on an agent-reporting client's path: a refusal fails the open with 88; an
// accepted path lets the open go on. Either way the path's request record is released.
TEST_F(OpenTest, TheApplicationPathAnswerRefusesOrContinuesTheOpen) {
    MDSIO::SetServerActive(1);
    const struct {
        int32_t status;
        size_t refusals;  // of the open with E_CTI_INVALID_MR_DOMAIN
    } cases[] = {{5, 1}, {0, 0}};
    int32_t session = 80;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        ++session;
        const int liveBefore = OPCReq::CountLive();
        auto* client = new ClientCB(session, "arm");
        clienttest::OpenValues values;
        values.services = AGENT_REPORTING;
        values.host = {"", "10.0.0.2", 4001};
        clienttest::Accept(client, values, true);
        client->SetState(ClientCB::APP_PATH_VALIDATION);
        client->MarkCounted();
        app.AddNumClients(1);
        const uint32_t invokeID = 0x700 + static_cast<uint32_t>(session);
        OPCReq::Allocate(session, 0, invokeID);

        ARMAppPathUpRespMsg response;
        response.SetInvokeID(static_cast<int32_t>(invokeID));
        response.SetStatus(c.status);
        response.SetApplicationPathID(77);
        response.SetSessionID(session);
        std::vector<uint8_t> data(4 + response.GetLength());
        ASSERT_NE(nullptr, response.Serialize(data.data() + 4, data.size() - 4));
        srvtest::Events::Take();
        (app.*(CTIApplication::FindOPCRow(99)->function))(data.data(), data.size());
        const auto events = srvtest::Events::Take();
        EXPECT_EQ(c.refusals, srvtest::Events::CountText(events, "refused with E_CTI_INVALID_MR_DOMAIN"));
        EXPECT_EQ(liveBefore, OPCReq::CountLive());
        ExpectNothingLeft(session);  // accepted, its confirmation still finds no session here
    }
    MDSIO::SetServerActive(0);
}

}  // namespace
