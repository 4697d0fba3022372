// Agent events from OPC over real client sessions: the application thread applies each
// CTI_AGENT_EVENT to the model, completes waiting agent-mode sessions, counts agents and
// sends AGENT_STATE_EVENT. OPC's side is a capture of the link's output and injected input; every
// check waits for a fence (a SYSTEM_EVENT with its own text) that follows the input in the
// application's queue, so all earlier input has been served when it arrives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "parlo/app/appport.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/mrdomain.h"
#include "parlo/common/importmetrics.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "platform/byteorder.h"
#include "platform/perfcounters.h"
#include "tests/parlo/app/active_app.h"
#include "tests/parlo/app/running_app.h"
#include "tests/parlo/opclink/output_capture.h"
#include "tests/parlo/server/session_fixture.h"
#include "tests/support/wait.h"

namespace {

using sesstest::Client;
using sesstest::Received;
using srvtest::Events;

constexpr uint32_t kAgentStateEvent = 30, kSystemEvent = 31, kOpenConf = 4, kFailureEvent = 2;
constexpr uint8_t kGetAgentStateReq = 12, kGetAgentStateResp = 13, kAgentEvent = 14,
                  kSetClientStatusReq = 16, kSetClientStatusResp = 17, kPGStatus = 39;
constexpr int32_t kPeriph = 5000;
constexpr uint16_t kPeriphType = 30;

// Little-endian OPC bodies, the ServerNumber word first.
struct Body {
    std::vector<uint8_t> bytes{0, 0, 0, 0};
    Body& U32(uint32_t v) {
        bytes.resize(bytes.size() + 4);
        plat::StoreLE32(bytes.data() + bytes.size() - 4, v);
        return *this;
    }
    Body& U16(uint16_t v) {
        bytes.resize(bytes.size() + 2);
        plat::StoreLE16(bytes.data() + bytes.size() - 2, v);
        return *this;
    }
    Body& Text(const std::string& s) {
        const size_t start = bytes.size();
        U16(static_cast<uint16_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.resize(start + ((s.size() + 6) & ~size_t{3}), 0);
        return *this;
    }
};

// One CTI_AGENT_EVENT record as OPC writes it.
struct Record {
    int16_t state = 0;
    uint16_t reason = 0;
    int16_t groupState = 9;
    uint32_t groupWord = 0xFFFFFFFF;
    int32_t skillTargetID = 100;
    uint32_t teamID = 0;
    uint32_t clientStatus = 0;
    uint32_t mrd = 1;
    uint32_t availability = 0;
    std::string agentID = "1001", extension = "5001", instrument = "5001", signature = "";

    void AppendTo(Body& b) const {
        b.U32(kPeriph).U16(kPeriphType).U16(static_cast<uint16_t>(groupState));
        b.U16(static_cast<uint16_t>(state)).U16(reason);
        b.U32(0).U32(0).U32(static_cast<uint32_t>(skillTargetID)).U32(teamID).U32(0).U32(groupWord);
        b.U16(0).U16(0).U32(clientStatus).U32(mrd).U32(0).U32(0).U32(0).U32(0).U32(availability).U32(0);
        b.Text(extension).Text(agentID).Text(instrument).Text(signature).Text("").Text("");
    }
};

// CTI_GET_AGENT_STATE_RESP answering the open road's request.
Body AgentStateResp(uint32_t invokeID, int16_t state, const std::string& agentID, const std::string& ext,
                    const std::string& instrument) {
    Body b;
    b.U32(invokeID).U32(kPeriph).U16(kPeriphType).U16(static_cast<uint16_t>(state)).U32(0).U32(100).U32(0);
    b.U32(0).U32(0xFFFFFFFF).U16(0).U16(0).U32(0).U16(0).U16(1).U32(0).U32(1);
    b.U32(0).U32(0).U32(0).U32(0).U32(0).U32(0);
    b.Text("").Text(ext).Text(agentID).Text(instrument).Text("");
    return b;
}

// A string of an OPC body at `*at`; moves `*at` past it.
std::string TextAt(const std::vector<uint8_t>& p, size_t* at) {
    if (*at + 2 > p.size()) return {};
    const size_t n = plat::LoadLE16(p.data() + *at);
    std::string s(p.begin() + static_cast<long>(*at + 2),
                  p.begin() + static_cast<long>(std::min(p.size(), *at + 2 + n)));
    *at += (n + 6) & ~size_t{3};
    return s.substr(0, s.find('\0'));
}
uint32_t WordAt(const std::vector<uint8_t>& p, size_t at) {
    return at + 4 > p.size() ? 0 : plat::LoadLE32(p.data() + at);
}

struct StatusRequest {
    uint32_t invokeID, status;
    std::string agentID, signature;
};

// A registry that reads nothing: only AgentLoginRequired is set.
class TestRegistry final : public CTIRegistry {
public:
    explicit TestRegistry(uint32_t loginRequired) : m_LoginRequired(loginRequired) {}
    void FixMaxQueueAllEventClient() override {}
    void FixMaxLockTimeout() override {}
    void ReadDynamic(DynamicBlock&) override {}
    void ReadConfigRegistryData(ConfigBlock& block) override { block.AgentLoginRequired = m_LoginRequired; }

private:
    uint32_t m_LoginRequired;
};

class AgentEventTest : public srvtest::ServerTest {
protected:
    virtual uint32_t LoginRequired() const { return 0; }

    void SetUp() override {
        ServerTest::SetUp();
        capture_ = apptest::BeginOPCLink();
        appRegistry_ = std::make_unique<TestRegistry>(LoginRequired());
        appRegistry_->SetIdentity("ZUR\\parlo", true);
        appRegistry_->Init("Parlo");
        for (CTIRegistry* r : {registry_.get(), static_cast<CTIRegistry*>(appRegistry_.get())}) {
            apptest::SetSessionLimits(*r, 100);
            r->SetDynamic(CTIRegistry::MaxLockTimeout, 500);
        }
        ASSERT_TRUE(ImportMetrics::Instance().Init("agentevt"));
        app_ = apptest::StartActiveApplication(*server_, port_, *appRegistry_);
        ASSERT_FALSE(HasFailure());
    }
    void TearDown() override {
        MDSIO::SetServerActive(0);
        apptest::EndApplication(app_, clock_);
        port_.JoinAll();
        port_.Uninstall();
        apptest::EndOPCLink(capture_);
        ImportMetrics::Instance().reset();
        ServerTest::TearDown();
    }

    int Port() const { return app_->BoundPort(false); }
    void Inject(uint8_t type, const Body& b) {
        app_->ProcessOPCInput(type, static_cast<int>(b.bytes.size()), b.bytes.data());
    }
    void InjectRecords(std::initializer_list<Record> records) {
        Body b;
        b.U32(static_cast<uint32_t>(records.size()));
        for (const Record& r : records) r.AppendTo(b);
        Inject(kAgentEvent, b);
    }
    // A SYSTEM_EVENT with its own text behind everything injected so far.
    std::string Fence() {
        const std::string text = "fence " + std::to_string(++fences_);
        Body b;
        b.U32(0).U32(5).U32(0).U32(0).U32(0).Text(text);
        Inject(kPGStatus, b);
        return text;
    }
    // What the client received before the fence (the fence itself not included).
    static std::vector<Received> Until(Client& c, const std::string& fence) {
        std::vector<Received> got;
        for (;;) {
            Received r = c.Read();
            if (r.type == 0) break;
            if (r.type == kSystemEvent && r.msg->GetSTRING(elementid::CTIText) != nullptr &&
                fence == r.msg->GetSTRING(elementid::CTIText))
                break;
            got.push_back(std::move(r));
        }
        return got;
    }
    static size_t Count(const std::vector<Received>& got, uint32_t type) {
        size_t n = 0;
        for (const auto& r : got) n += r.type == type;
        return n;
    }
    static std::vector<Received> Only(std::vector<Received> got, uint32_t type) {
        std::vector<Received> out;
        for (auto& r : got)
            if (r.type == type) out.push_back(std::move(r));
        return out;
    }

    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> TakeSent(uint8_t type) {
        std::vector<std::pair<uint8_t, std::vector<uint8_t>>> out;
        for (auto& s : capture_->Take(type)) out.emplace_back(s.type, std::move(s.payload));
        return out;
    }
    std::vector<StatusRequest> TakeStatusRequests() {
        std::vector<StatusRequest> out;
        for (auto& [type, p] : TakeSent(kSetClientStatusReq)) {
            size_t at = 20;
            StatusRequest r{WordAt(p, 4), WordAt(p, 12), "", ""};
            r.agentID = TextAt(p, &at);
            r.signature = TextAt(p, &at);
            out.push_back(r);
        }
        return out;
    }

    bool OpenAllEvents(Client& c) {
        EXPECT_TRUE(c.Send(*sesstest::OpenReq(1, 30, 0x10, "watcher")));
        return c.Read().type == kOpenConf;
    }
    // An agent-mode open: the open road asks OPC for the agent, the answer says `state`.
    bool OpenAgentMode(Client& c, const char* clientID, const char* signature, const char* agentID,
                       const char* extension, int16_t state, const std::string& answerExt = "",
                       const std::string& answerInst = "") {
        auto open = sesstest::OpenReq(1, 30, 0x01 | 0x04, clientID);
        open->SetSTRING(elementid::ClientSignature, signature);
        if (*agentID) open->SetSTRING(elementid::AgentID, agentID);
        if (*extension) open->SetSTRING(elementid::AgentExtension, extension);
        EXPECT_TRUE(c.Send(*open));
        std::vector<uint8_t> request;
        EXPECT_TRUE(testsupport::WaitFor([&] {
            auto got = TakeSent(kGetAgentStateReq);
            if (got.empty()) return false;
            request = got.back().second;
            return true;
        }));
        Inject(kGetAgentStateResp, AgentStateResp(WordAt(request, 4), state, "1001", answerExt, answerInst));
        const Received r = c.Read();
        EXPECT_EQ(kOpenConf, r.type);
        return r.type == kOpenConf;
    }

    int32_t CounterValue(const std::string& name) {
        for (const auto& published : plat::ReadPublishedCounters("agentevt"))
            for (const auto& c : published.counters)
                if (c.name == name) return c.value;
        return -999;
    }
    static Agent* FindAgent(const char* agentID) { return Agent::FindAgentByAgentID(kPeriph, agentID, false); }

    apptest::ThreadStartingPort port_;
    std::unique_ptr<TestRegistry> appRegistry_;
    std::unique_ptr<CTIApplication> app_;
    std::unique_ptr<opclinktest::OutputCapture> capture_;
    int fences_ = 0;
};

// A first report of an agent makes it, binds it to its instrument's device and tells the
// ALL_EVENTS sessions; the same report again changes nothing and is not told.
TEST_F(AgentEventTest, AnUnknownAgentIsCreatedBoundAndReported) {
    Client watcher(Port());
    ASSERT_TRUE(OpenAllEvents(watcher));
    InjectRecords({Record{.state = 3, .agentID = "2001", .extension = "6001", .instrument = "6001"}});
    auto events = Only(Until(watcher, Fence()), kAgentStateEvent);
    ASSERT_EQ(1u, events.size());
    EXPECT_STREQ("2001", events[0].msg->GetSTRING(elementid::AgentID));
    EXPECT_STREQ("6001", events[0].msg->GetSTRING(elementid::AgentExtension));
    EXPECT_EQ(3u, events[0].msg->GetUSHORT(elementid::CTIAgentState));
    {
        model::ServerLockGuard guard(model::ServerLock());
        Agent* agent = FindAgent("2001");
        ASSERT_NE(nullptr, agent);
        ASSERT_NE(nullptr, agent->m_Device);
        EXPECT_EQ("6001", agent->m_Device->m_DeviceID);
        EXPECT_EQ(agent, agent->m_Device->m_Agent);
        EXPECT_EQ("6001", agent->m_Extension);
    }
    InjectRecords({Record{.state = 3, .agentID = "2001", .extension = "6001", .instrument = "6001"}});
    EXPECT_EQ(0u, Count(Until(watcher, Fence()), kAgentStateEvent));
}

// A report for another media routing domain makes the domain and the agent (by its
// SkillTargetID) and goes to the task sessions only; one without a SkillTargetID makes no agent.
TEST_F(AgentEventTest, NonVoiceReportsGoToTaskSessionsAndNameTheAgentBySkillTargetID) {
    Client watcher(Port()), tasks(Port());
    ASSERT_TRUE(OpenAllEvents(watcher));
    ASSERT_TRUE(tasks.Send(*sesstest::OpenReq(1, 30, 0x800, "tasks")));
    ASSERT_EQ(kOpenConf, tasks.Read().type);
    InjectRecords({Record{.state = 3, .skillTargetID = 4242, .mrd = 5, .agentID = "4001"},
                   Record{.state = 3, .skillTargetID = -1, .mrd = 5, .agentID = "4002"}});
    const std::string fence = Fence();
    EXPECT_EQ(0u, Count(Until(watcher, fence), kAgentStateEvent));
    auto events = Only(Until(tasks, fence), kAgentStateEvent);
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(5, events[0].msg->GetINT(elementid::MRDID));
    EXPECT_EQ(4242, events[0].msg->GetINT(elementid::ZURAgentID));
    model::ServerLockGuard guard(model::ServerLock());
    EXPECT_NE(nullptr, MRDomain::FindMRDomain(5));
    Agent* agent = Agent::FindAgentBySkillTargetID(kPeriph, 4242);
    ASSERT_NE(nullptr, agent);
    EXPECT_EQ(3, agent->GetAgentMRDState(5));
    EXPECT_EQ(9, agent->GetAgentMRDState(1));
    EXPECT_EQ(nullptr, FindAgent("4002"));
}

// Which reports are changes worth an event, in one agent's life.
TEST_F(AgentEventTest, OnlyChangesAreReported) {
    Client watcher(Port());
    ASSERT_TRUE(OpenAllEvents(watcher));
    struct Case {
        const char* what;
        Record record;
        bool event;
    };
    const Case cases[] = {
        {"login", Record{.state = 0}, true},
        {"not ready, reason 5", Record{.state = 2, .reason = 5}, true},
        {"the same not ready", Record{.state = 2, .reason = 5}, false},
        {"not ready, only the reason differs", Record{.state = 2, .reason = 7}, true},
        {"available", Record{.state = 3}, true},
        {"the same available", Record{.state = 3}, false},
        {"available, a reason that only counts for not ready", Record{.state = 3, .reason = 9}, false},
        {"availability status changes", Record{.state = 3, .availability = 1}, true},
        {"a skill group joins", Record{.state = 3, .groupState = 3, .groupWord = 17, .availability = 1}, true},
        {"logged out of that skill group", Record{.state = 3, .groupState = 1, .groupWord = 17, .availability = 1},
         true},
        {"a new extension", Record{.state = 3, .availability = 1, .extension = "5002"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InjectRecords({c.record});
        EXPECT_EQ(c.event ? 1u : 0u, Count(Until(watcher, Fence()), kAgentStateEvent));
    }
}

// The agent counters: a login, two state changes and a logout leave the agent counted only
// as logged out, whatever it was counted as on the way.
TEST_F(AgentEventTest, CountersFollowTheStatesAndALogoutLeavesOnlyLoggedOut) {
    Client watcher(Port());
    ASSERT_TRUE(OpenAllEvents(watcher));
    struct Step {
        Record record;
        int loggedIn, loggedOut, ready, notReady;
    };
    const Step steps[] = {
        {Record{.state = 0}, 1, 0, 0, 0},
        {Record{.state = 2, .reason = 3}, 1, 0, 0, 1},
        {Record{.state = 3}, 1, 0, 1, 0},
        {Record{.state = 1, .extension = "", .instrument = ""}, 0, 1, 0, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.record.state);
        InjectRecords({s.record});
        (void)Until(watcher, Fence());
        EXPECT_EQ(s.loggedIn, CounterValue("PARLO_LOGGEDIN_AGENTS"));
        EXPECT_EQ(s.loggedOut, CounterValue("PARLO_LOGGEDOUT_AGENTS"));
        EXPECT_EQ(s.ready, CounterValue("PARLO_READY_AGENTS"));
        EXPECT_EQ(s.notReady, CounterValue("PARLO_NOT_READY_AGENTS"));
    }
    model::ServerLockGuard guard(model::ServerLock());
    const Agent* agent = FindAgent("1001");
    ASSERT_NE(nullptr, agent);
    EXPECT_FALSE(agent->IsCountedLoggedIn() || agent->IsCountedIn(3) || agent->IsCountedIn(2) ||
                 agent->IsCountedIn(6) || agent->IsCountedIn(5));
}

// Every monitor of the agent's team sees the agent's state, not only the first one.
TEST_F(AgentEventTest, EveryTeamMonitorSeesTheEvent) {
    AgentTeamRecord team;
    team.PeripheralID = kPeriph;
    team.TeamID = 7;
    team.name = "seven";
    ASSERT_TRUE(AgentTeam::ConfigureAgentTeam(team));
    Client first(Port()), second(Port());
    for (Client* c : {&first, &second}) {
        ASSERT_TRUE(c->Send(*sesstest::OpenReq(1, 30, 0x20, c == &first ? "supervisor1" : "supervisor2")));
        Received r = c->Read();
        ASSERT_EQ(kOpenConf, r.type) << r.Status();
    }
    (void)Until(first, Fence());
    uint32_t monitorIDs[2] = {};
    for (int32_t session : {1, 2}) {
        CTICSTAMonitor* m = CTICSTAMonitor::Alloc(CTICSTAMonitor::AgentTeam, session, AgentTeam::FindAgentTeam(7));
        ASSERT_NE(nullptr, m);
        monitorIDs[session - 1] = m->m_MonitorID;
    }
    InjectRecords({Record{.state = 3, .teamID = 7}});
    const std::string fence = Fence();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        auto events = Only(Until(i == 0 ? first : second, fence), kAgentStateEvent);
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(monitorIDs[i], events[0].msg->GetUINT(elementid::MonitorID));
    }
}

// Of two sessions waiting for one agent, the login completes the first in the queue only.
TEST_F(AgentEventTest, ALoginCompletesTheFirstWaitingSessionOnly) {
    Client watcher(Port());
    ASSERT_TRUE(OpenAllEvents(watcher));
    Client byID(Port()), byExtension(Port());
    ASSERT_TRUE(OpenAgentMode(byID, "deskA", "sigA", "1001", "", 1));
    ASSERT_TRUE(OpenAgentMode(byExtension, "deskB", "sigB", "", "5001", 1));
    const int32_t first = 2, second = 3;
    ASSERT_EQ(2, app_->AgentLoginWaitQueue().Count());
    (void)TakeStatusRequests();

    InjectRecords({Record{.state = 3}});
    const std::string fence = Fence();
    EXPECT_EQ(1u, Count(Until(watcher, fence), kAgentStateEvent));
    auto own = Only(Until(byID, fence), kAgentStateEvent);
    ASSERT_EQ(1u, own.size());
    EXPECT_EQ(static_cast<uint32_t>(first), own[0].msg->GetUINT(elementid::SessionID));
    EXPECT_EQ(0u, Count(Until(byExtension, fence), kAgentStateEvent));

    const auto requests = TakeStatusRequests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(1u, requests[0].status);
    EXPECT_EQ("1001", requests[0].agentID);
    EXPECT_EQ("sigA", requests[0].signature);

    model::ServerLockGuard guard(model::ServerLock());
    Agent* agent = FindAgent("1001");
    ASSERT_NE(nullptr, agent);
    EXPECT_EQ(first, agent->ClientSessionID());
    ASSERT_NE(nullptr, ClientCB::Find(first));
    EXPECT_EQ(static_cast<uint32_t>(ClientCB::OPEN), ClientCB::Find(first)->GetState());
    EXPECT_EQ(agent, ClientCB::Find(first)->GetAgent());
    ASSERT_NE(nullptr, ClientCB::Find(second));
    EXPECT_EQ(static_cast<uint32_t>(ClientCB::AGENT_LOGIN_WAIT), ClientCB::Find(second)->GetState());
    EXPECT_EQ(1, app_->AgentLoginWaitQueue().Count());
    EXPECT_EQ(ClientCB::Find(second), app_->AgentLoginWaitQueue().First());
}

// A logged-in agent's open: OPEN_CONF at once with the agent's state and its device
// monitor's MonitorID, then BEGIN_CALL_EVENT through that monitor for each call already at
// the agent's device, and nothing for a call elsewhere.
TEST_F(AgentEventTest, ALoggedInAgentsOpenReportsTheCallsAlreadyAtItsDevice) {
    // The calls first: "CallLock" comes before the server lock.
    Call* first = Call::Alloc(kPeriph, 3001, 0, "5001", kPeriphType, 1, 0, 0, 0);
    Call* second = Call::Alloc(kPeriph, 3002, 0, "7001", kPeriphType, 1, 0, 0, 0);
    Call* other = Call::Alloc(kPeriph, 3003, 0, "5999", kPeriphType, 1, 0, 0, 0);
    {
        model::ServerLockGuard guard(model::ServerLock());
        CSTAExtendedDeviceID id{};
        model::CopyDeviceID(id.deviceID, "5001");
        CTICSTADevice* device = FindOrCreateCTICSTADevice(kPeriph, &id, "5001", "test", false, true);
        model::CopyDeviceID(id.deviceID, "5999");
        CTICSTADevice* elsewhere = FindOrCreateCTICSTADevice(kPeriph, &id, "5999", "test", false, true);
        ASSERT_NE(nullptr, device);
        ASSERT_NE(nullptr, elsewhere);
        CTICSTAConnection::Alloc(device, first, 3, 2, 0, "5001", "x");
        CTICSTAConnection::Alloc(device, second, 2, 2, 0, "5001", "x");
        CTICSTAConnection::Alloc(elsewhere, other, 3, 2, 0, "5999", "x");
    }
    Client desk(Port());
    auto open = sesstest::OpenReq(1, 30, 0x01 | 0x04, "desk1001");
    open->SetSTRING(elementid::AgentID, "1001");
    ASSERT_TRUE(desk.Send(*open));
    std::vector<uint8_t> request;
    ASSERT_TRUE(testsupport::WaitFor([&] {
        auto got = TakeSent(kGetAgentStateReq);
        if (got.empty()) return false;
        request = got.back().second;
        return true;
    }));
    Inject(kGetAgentStateResp, AgentStateResp(WordAt(request, 4), 3, "1001", "5001", "5001"));
    const Received conf = desk.Read();
    ASSERT_EQ(kOpenConf, conf.type);
    EXPECT_EQ(3u, conf.msg->GetUSHORT(elementid::CTIAgentState));
    const uint32_t monitorID = conf.msg->GetUINT(elementid::MonitorID);
    EXPECT_NE(0u, monitorID);

    auto begins = Only(Until(desk, Fence()), 23);  // BEGIN_CALL_EVENT
    ASSERT_EQ(2u, begins.size());
    std::vector<uint32_t> calls;
    for (const auto& b : begins) {
        EXPECT_EQ(monitorID, b.msg->GetUINT(elementid::MonitorID));
        calls.push_back(b.msg->GetUINT(elementid::ConnectionCallID));
    }
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ((std::vector<uint32_t>{3001, 3002}), calls);
    model::ServerLockGuard guard(model::ServerLock());
    Agent* agent = FindAgent("1001");
    ASSERT_NE(nullptr, agent);
    EXPECT_EQ(1, agent->ClientSessionID());  // the only session
}

// OPC's idea of the agent's client follows ours, one request at a time: while a request is
// unanswered no other goes out; the answer ends it, and a failed answer is reported.
TEST_F(AgentEventTest, ClientStatusGoesOutOnceUntilOPCAnswers) {
    Client watcher(Port());
    ASSERT_TRUE(OpenAllEvents(watcher));
    Client desk(Port());
    ASSERT_TRUE(OpenAgentMode(desk, "deskA", "sigA", "1001", "", 1));
    InjectRecords({Record{.state = 3}});  // the login binds the session: OPC is told
    (void)Until(watcher, Fence());
    auto requests = TakeStatusRequests();
    ASSERT_EQ(1u, requests.size());
    {
        model::ServerLockGuard guard(model::ServerLock());
        EXPECT_TRUE(FindAgent("1001")->IsClientStatusRequested());
    }
    // OPC still reports no client: nothing more while the request is pending.
    InjectRecords({Record{.state = 2, .reason = 1}});
    (void)Until(watcher, Fence());
    EXPECT_TRUE(TakeStatusRequests().empty());

    Body answer;
    answer.U32(requests[0].invokeID).U32(static_cast<uint32_t>(-3));
    Events::Take();
    Inject(kSetClientStatusResp, answer);
    (void)Until(watcher, Fence());
    const auto events = Events::Take();
    bool reported = false;
    for (const auto& e : events) reported |= e.id == 0xA12EC008;
    EXPECT_TRUE(reported);
    {
        model::ServerLockGuard guard(model::ServerLock());
        EXPECT_FALSE(FindAgent("1001")->IsClientStatusRequested());
    }
    EXPECT_EQ(nullptr, OPCReq::Find(requests[0].invokeID));

    // Still no client at OPC: now it is told again, with the session's signature.
    InjectRecords({Record{.state = 2, .reason = 2}});
    (void)Until(watcher, Fence());
    requests = TakeStatusRequests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(1u, requests[0].status);
    EXPECT_EQ("sigA", requests[0].signature);
    // OPC reports our client: nothing to tell.
    Inject(kSetClientStatusResp, Body().U32(requests[0].invokeID).U32(0));
    InjectRecords({Record{.state = 3, .clientStatus = 1, .signature = "sigA"}});
    (void)Until(watcher, Fence());
    EXPECT_TRUE(TakeStatusRequests().empty());
    // An answer nobody waits for is traced.
    Events::Take();
    Inject(kSetClientStatusResp, Body().U32(0x7777).U32(0));
    (void)Until(watcher, Fence());
    EXPECT_EQ(1u, Events::CountText(Events::Take(), "No pending request with uniqueID 0x7777"));
}

// Bodies that announce more than they hold are dropped whole: no agent, no event.
TEST_F(AgentEventTest, MalformedBodiesAreDroppedWhole) {
    Client watcher(Port());
    ASSERT_TRUE(OpenAllEvents(watcher));
    Body whole;
    whole.U32(1);
    Record{.agentID = "3001"}.AppendTo(whole);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"no count", {0, 0, 0, 0}},
        {"a count of records that are not there", Body().U32(0xFFFFFFFF).bytes},
        {"a record cut in its fixed part", std::vector<uint8_t>(whole.bytes.begin(), whole.bytes.begin() + 40)},
        {"a record cut in its strings", std::vector<uint8_t>(whole.bytes.begin(), whole.bytes.end() - 6)},
    };
    {
        // The first record whole, the second's AgentID string announcing 60000 characters.
        Body two;
        two.U32(2);
        Record{.agentID = "3002"}.AppendTo(two);
        Record{.agentID = "3003"}.AppendTo(two);
        const size_t second = whole.bytes.size();  // the second record starts where one ends
        const size_t agentIDString = second + 72 + 8;  // behind the extension "5001"
        two.bytes[agentIDString] = 0x60;
        two.bytes[agentIDString + 1] = 0xEA;
        cases.push_back({"a string longer than the body", two.bytes});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Events::Take();
        app_->ProcessOPCInput(kAgentEvent, static_cast<int>(c.bytes.size()), c.bytes.data());
        EXPECT_EQ(0u, Count(Until(watcher, Fence()), kAgentStateEvent));
        EXPECT_EQ(1u, Events::CountText(Events::Take(), "malformed CTI_AGENT_EVENT dropped"));
    }
    for (const char* id : {"3001", "3002", "3003"}) EXPECT_EQ(nullptr, FindAgent(id)) << id;
    // A short client status answer is dropped the same way.
    Inject(kSetClientStatusResp, Body().U16(1));
    (void)Until(watcher, Fence());
    EXPECT_EQ(1u, Events::CountText(Events::Take(), "ProcessClientStatusResponse - malformed body"));
}

// A logout: without AgentLoginRequired the agent-mode session waits for the next login and
// keeps the agent it named; with it the session is ended with FAILURE_EVENT 9.
class AgentLogoutTest : public AgentEventTest, public ::testing::WithParamInterface<bool> {
protected:
    uint32_t LoginRequired() const override { return GetParam() ? 1 : 0; }
};

TEST_P(AgentLogoutTest, ALogoutSendsTheSessionBackToWaitingOrEndsIt) {
    Client watcher(Port());
    ASSERT_TRUE(OpenAllEvents(watcher));
    InjectRecords({Record{.state = 3}});
    (void)Until(watcher, Fence());
    Client desk(Port());
    ASSERT_TRUE(OpenAgentMode(desk, "deskA", "sigA", "1001", "", 3, "5001", "5001"));
    const int32_t session = 2;
    {
        model::ServerLockGuard guard(model::ServerLock());
        ASSERT_EQ(session, FindAgent("1001")->ClientSessionID());
    }
    InjectRecords({Record{.state = 1, .extension = "", .instrument = ""}});
    const std::string fence = Fence();
    EXPECT_EQ(1u, Count(Until(watcher, fence), kAgentStateEvent));
    {
        model::ServerLockGuard guard(model::ServerLock());
        Agent* agent = FindAgent("1001");
        EXPECT_EQ(nullptr, agent->m_Device);
        if (CTICSTADevice* device = FindCTICSTADevice(kPeriph, 0, "5001", false)) {
            EXPECT_EQ(nullptr, device->m_Agent);
        }
    }
    if (GetParam()) {
        auto got = Until(desk, fence);
        bool failed = false;
        for (auto& r : got) failed |= r.type == kFailureEvent && r.Status() == 9;
        EXPECT_TRUE(failed);
        EXPECT_TRUE(desk.SeesEof());
        return;
    }
    auto got = Until(desk, fence);
    EXPECT_EQ(1u, Count(got, kAgentStateEvent));
    EXPECT_EQ(0u, Count(got, kFailureEvent));
    model::ServerLockGuard guard(model::ServerLock());
    ClientCB* record = ClientCB::Find(session);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(static_cast<uint32_t>(ClientCB::AGENT_LOGIN_WAIT), record->GetState());
    EXPECT_EQ(record, app_->AgentLoginWaitQueue().First());
    EXPECT_EQ("1001", record->GetAgentID());  // named at open: kept
    EXPECT_EQ("", record->GetAgentExtension());
    EXPECT_EQ("", record->GetAgentInstrument());
    EXPECT_EQ(session, FindAgent("1001")->ClientSessionID());
}

INSTANTIATE_TEST_SUITE_P(AgentLoginRequired, AgentLogoutTest, ::testing::Bool());

}  // namespace
