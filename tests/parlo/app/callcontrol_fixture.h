#pragma once
// The running application with real client sessions and OPC's side played by the stand-in
// OPC's agent table (agent-mode opens are answered from it) and a capture of the link's
// output, from which the CSTA requests are read back with the stand-in's own reader.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/servicemask.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/importmetrics.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "peers/opc/opc_agents.h"
#include "peers/opc/opc_wire.h"
#include "platform/byteorder.h"
#include "tests/parlo/app/active_app.h"
#include "tests/parlo/app/running_app.h"
#include "tests/parlo/opclink/output_capture.h"
#include "tests/parlo/server/session_fixture.h"
#include "tests/support/wait.h"

namespace calltest {

using sesstest::Client;
using sesstest::Received;

constexpr int32_t kPeriph = 5000;
constexpr uint8_t kCstaMessage = 28;
constexpr uint32_t kOpenConf = 4, kFailureConf = 1, kControlFailureConf = 35, kSystemEvent = 31;
constexpr uint8_t kPGStatus = 39;

// A registry that reads nothing; the test sets the live values and the two start values.
class CallRegistry final : public CTIRegistry {
public:
    uint32_t disableUTF8 = 0;
    void FixMaxQueueAllEventClient() override {}
    void FixMaxLockTimeout() override {}
    void ReadDynamic(DynamicBlock&) override {}
    void ReadConfigRegistryData(ConfigBlock& block) override {
        block.AgentLoginRequired = 0;
        block.DisableUTF8Conversion = disableUTF8;
    }
};

class CallControlTest : public srvtest::ServerTest {
protected:
    // Set before SetUp runs (a derived fixture's constructor).
    uint32_t disableUTF8_ = 0;

    void SetUp() override {
        ServerTest::SetUp();
        capture_ = apptest::BeginOPCLink();
        appRegistry_ = std::make_unique<CallRegistry>();
        appRegistry_->disableUTF8 = disableUTF8_;
        appRegistry_->SetIdentity("ZUR\\parlo", true);
        appRegistry_->Init("Parlo");
        for (CTIRegistry* r : {registry_.get(), static_cast<CTIRegistry*>(appRegistry_.get())}) {
            apptest::SetSessionLimits(*r, 100);
            r->SetDynamic(CTIRegistry::MaxLockTimeout, 500);
        }
        ASSERT_TRUE(ImportMetrics::Instance().Init("callctl"));
        app_ = apptest::StartActiveApplication(*server_, port_, *appRegistry_);
        ASSERT_FALSE(HasFailure());
    }
    void TearDown() override {
        MDSIO::SetServerActive(0);
        // The records of this test's sessions go with it, not with the next test's opens.
        apptest::EndApplication(app_, clock_, [] { ClientCB::DeleteAll(); });
        port_.JoinAll();
        // The model's tables outlive the test's server: empty them for the next test.
        Call::RemovePeripheralCalls(0xFFFFFFFF);
        Agent::RemoveAgent(-1, "");
        AgentTeam::ForEachTeam([](const AgentTeam& team) { teams_.push_back(team.m_TeamID); });
        for (int32_t id : teams_) {
            AgentTeamRecord gone;
            gone.Operation = 2;
            gone.TeamID = id;
            (void)AgentTeam::ConfigureAgentTeam(gone);
        }
        teams_.clear();
        port_.Uninstall();
        apptest::EndOPCLink(capture_);
        ImportMetrics::Instance().reset();
        ServerTest::TearDown();
    }

    int Port() const { return app_->BoundPort(false); }
    void SetDynamic(CTIRegistry::DynamicValue v, uint32_t value) { appRegistry_->SetDynamic(v, value); }

    // OPC input with a zero ServerNumber word in front of `body`.
    void Inject(uint8_t type, const std::vector<uint8_t>& body) {
        std::vector<uint8_t> data(4, 0);
        data.insert(data.end(), body.begin(), body.end());
        app_->ProcessOPCInput(type, static_cast<int>(data.size()), data.data());
    }
    // Waits for the server's request of `type` and lets the stand-in's agent side answer it.
    bool AnswerAgentRequest(uint8_t type) {
        opclinktest::Sent sent;
        if (!capture_->WaitFor(type, &sent)) return false;
        opcpeer::ServerRequest request;
        std::string error;
        if (!opcpeer::ReadServerRequest(type, sent.payload.data() + 4, sent.payload.size() - 4, &request, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        for (const opcpeer::Outgoing& out : agents_.Answer(0, type, request)) Inject(out.type, out.body);
        return true;
    }
    // A script line of the stand-in's agent side (for example "agent 5000 2001 inst=4101").
    void Agents(const std::vector<std::string>& args) {
        std::vector<opcpeer::Outgoing> out;
        std::string error;
        ASSERT_TRUE(agents_.RunCommand(args, &out, &error)) << error;
        for (const opcpeer::Outgoing& o : out) Inject(o.type, o.body);
    }

    // An open session that is not agent-mode.
    bool Open(Client& c, uint32_t services, const char* clientID, const char* signature = nullptr) {
        auto open = sesstest::OpenReq(1, 30, services, clientID);
        if (signature != nullptr) open->SetSTRING(elementid::ClientSignature, signature);
        EXPECT_TRUE(c.Send(*open));
        const Received r = c.Read();
        EXPECT_EQ(kOpenConf, r.type);
        return r.type == kOpenConf;
    }
    // An agent-mode session (CLIENT_EVENTS | CLIENT_CONTROL and `more`) of the stand-in's
    // agent with that AgentID; the stand-in answers the agent-state request.
    bool OpenAgent(Client& c, const char* agentID, const char* clientID, uint32_t more = 0,
                   const char* signature = nullptr) {
        auto open = sesstest::OpenReq(1, 30, servicemask::CLIENT_EVENTS | servicemask::CLIENT_CONTROL | more,
                                      clientID);
        open->SetSTRING(elementid::AgentID, agentID);
        open->SetSTRING(elementid::ClientSignature, signature != nullptr ? signature : clientID);
        EXPECT_TRUE(c.Send(*open));
        EXPECT_TRUE(AnswerAgentRequest(opcpeer::kGetAgentStateReq));
        Received r = c.Read();
        EXPECT_EQ(kOpenConf, r.type);
        return r.type == kOpenConf;
    }

    // A SYSTEM_EVENT with its own text behind everything injected so far.
    std::string Fence() {
        const std::string text = "fence " + std::to_string(++fences_);
        Inject(kPGStatus, opcpeer::WritePGStatusEvent(0, 5, 0, 0, 0, text));
        return text;
    }
    // What the client received before the fence (the fence not included).
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

    // Every CSTA request the server has handed to the link so far, read back.
    std::vector<opcpeer::CstaRequest> TakeCsta() {
        std::vector<opcpeer::CstaRequest> out;
        for (const opclinktest::Sent& s : capture_->Take(kCstaMessage)) {
            opcpeer::CstaRequest r;
            std::string error;
            EXPECT_TRUE(opcpeer::ReadRequest(s.payload.data() + 4, s.payload.size() - 4, &r, &error)) << error;
            out.push_back(std::move(r));
        }
        return out;
    }
    // Waits for the next CSTA request and reads it back.
    bool NextCsta(opcpeer::CstaRequest* out) {
        opclinktest::Sent s;
        if (!capture_->WaitFor(kCstaMessage, &s)) return false;
        std::string error;
        const bool ok = opcpeer::ReadRequest(s.payload.data() + 4, s.payload.size() - 4, out, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }

    // ---- the model (set up from the test thread while the application thread waits) ----
    static CTICSTADevice* Device(const char* id) {
        CSTAExtendedDeviceID device;
        model::CopyDeviceID(device.deviceID, id);
        return FindOrCreateCTICSTADevice(kPeriph, &device, id, "test", false, true);
    }
    // A call with a connection in `state` at each of the devices (static IDs).
    static Call* NewCall(uint32_t callID, const std::vector<std::pair<const char*, int32_t>>& parties,
                         uint16_t srcType = 0) {
        Call* call = Call::Alloc(kPeriph, callID, srcType, parties.empty() ? "" : parties[0].first, 30, 1, 0, 0, 0);
        int type = 1;
        for (const auto& [device, state] : parties) {
            (void)CTICSTAConnection::Alloc(Device(device), call, state, type, 0, device, "test");
            type = 2;
        }
        return call;
    }
    static Agent* FindAgent(const char* agentID) { return Agent::FindAgentByAgentID(kPeriph, agentID, false); }
    // A team of the peripheral with its members' and supervisors' SkillTargetIDs.
    static void ConfigureTeam(int32_t teamID, const std::vector<int32_t>& members,
                              const std::vector<int32_t>& supervisors) {
        AgentTeamRecord team;
        team.PeripheralID = kPeriph;
        team.TeamID = teamID;
        team.name = "team" + std::to_string(teamID);
        ASSERT_TRUE(AgentTeam::ConfigureAgentTeam(team));
        for (const auto& [kind, ids] : {std::pair{AgentTeamRecord::Member, &members},
                                        std::pair{AgentTeamRecord::Supervisor, &supervisors}})
            for (int32_t id : *ids) {
                AgentTeamRecord r;
                r.kind = kind;
                r.TeamID = teamID;
                r.SkillTargetID = id;
                ASSERT_TRUE(kind == AgentTeamRecord::Member ? AgentTeam::ConfigureAgentTeamMember(r)
                                                            : AgentTeam::ConfigureAgentTeamSupervisor(r));
            }
    }

    apptest::ThreadStartingPort port_;
    std::unique_ptr<CallRegistry> appRegistry_;
    std::unique_ptr<CTIApplication> app_;
    std::unique_ptr<opclinktest::OutputCapture> capture_;
    opcpeer::AgentSide agents_;
    int fences_ = 0;
    static inline std::vector<int32_t> teams_;
};

}  // namespace calltest
