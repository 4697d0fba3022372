// A client's call-control request, decoded, through its handler to the CTI_CSTA_MESSAGE built
// in the MDS buffer (the link's output drops it): a hold, and a make call with ten call
// variables, 130 bytes of user-to-user data and a ten-variable call context to merge. The
// messages of a batch are made with the timer paused; their records are released likewise.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "ctimsg/eccdefs.h"
#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/messages/msgclass.h"
#include "ctimsg/msgtypes.h"
#include "ctimsg/servicemask.h"
#include "mdstimer/timer.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opclinkoutput.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/server/server.h"
#include "platform/clock.h"

namespace {

namespace el = elementid;
constexpr int32_t kSession = 1;
constexpr int kBatch = 256;

// Touches the last byte, so that the build is not optimised away, and drops the message.
class DroppingOutput final : public OPCLinkOutput {
public:
    void Send(uint8_t, uint8_t, OPCStorage storage, uint16_t length, uint32_t) override {
        benchmark::DoNotOptimize(storage[length - 1]);
    }
};

// The server, the application and one ALL_EVENTS + CLIENT_CONTROL session's record.
CTIApplication& TheApplication() {
    static CTIApplication* app = [] {
        const uint64_t now = plat::FileTimeNow();
        TimerMaster::Create(now, now, false, 0);
        auto* server = new Server;
        auto* registry = new CTIRegistry;
        registry->SetDynamic(CTIRegistry::MaxLockTimeout, 500);
        server->SetRegistry(registry);
        server->ResetMeters();
        MDSIO::SetServerNumber(3);
        static DroppingOutput output;
        (void)InstallOPCLinkOutput(&output);
        auto* application = new CTIApplication;
        ClientCB::InitHash();
        auto* client = new ClientCB(kSession, "bench");
        auto open = std::make_unique<OpenReqMSG>();
        open->SetUINT(el::ServiceMask, servicemask::ALL_EVENTS | servicemask::CLIENT_CONTROL);
        open->SetUINT(el::VersionNumber, 24);
        open->SetSTRING(el::ClientID, "bench");
        client->AcceptOpenRequest(std::move(open), {}, 0);
        client->TakeOpenReq().reset();
        for (int i = 0; i < 10; ++i)
            (void)AddECCVariableDefinition(7400 + i, "bench.var" + std::to_string(i), 40, 0, 0);
        return application;
    }();
    return *app;
}

BaseMSGPtr HoldRequest(uint32_t invokeID) {
    BaseMSGPtr m = catalog::CreateMessage(HOLD_CALL_REQ);
    m->SetUINT(el::InvokeID, invokeID);
    m->SetUINT(el::CTIPeripheralID, 5000);
    m->SetUINT(el::ConnectionCallID, 12345);
    m->SetUSHORT(el::ConnectionDeviceIDType, 0);
    m->SetBOOL(el::Reservation, 0);
    m->SetSTRING(el::ConnectionDeviceID, "4001");
    return m;
}

BaseMSGPtr MakeCallRequest(uint32_t invokeID) {
    BaseMSGPtr m = catalog::CreateMessage(MAKE_CALL_REQ);
    m->SetUINT(el::InvokeID, invokeID);
    m->SetUINT(el::CTIPeripheralID, 5000);
    for (uint32_t id : {el::CallPlacementType, el::CallMannerType, el::AlertRings, el::CallOption, el::FacilityType,
                        el::AnsweringMachine})
        m->SetUSHORT(id, 0);
    m->SetBOOL(el::Priority, 0);
    m->SetBOOL(el::PostRoute, 0);
    m->SetUINT(el::SkillGroupNumber, 0);
    m->SetSTRING(el::AgentInstrument, "4001");
    m->SetSTRING(el::DialedNumberField, "5551234");
    for (uint32_t i = 0; i < 10; ++i)
        m->SetSTRING(el::CallVariable1 + i, "call variable " + std::to_string(i + 1));
    std::vector<uint8_t> userToUser(130, 0x5A);
    m->SetUNSPEC(el::UserToUserField, userToUser.data(), static_cast<int>(userToUser.size()));
    for (int i = 0; i < 10; ++i)
        (void)m->SetECC(el::ExpandedCallContxt, "bench.var" + std::to_string(i), "value " + std::to_string(i));
    m->SetUSHORT(el::NumNamedVariables, 10);
    m->SetUSHORT(el::NumNamedArrays, 0);
    return m;
}

// The handler the dispatch table names for `type`, on batches of fresh requests.
void RunHandler(benchmark::State& state, uint32_t type, BaseMSGPtr (*make)(uint32_t)) {
    CTIApplication& app = TheApplication();
    const CTIApplication::ClientHandler handler = CTIApplication::FindClientRow(static_cast<int32_t>(type))->function;
    std::vector<BaseMSGPtr> batch(kBatch);
    uint32_t invokeID = 0;
    while (state.KeepRunningBatch(kBatch)) {
        state.PauseTiming();
        OPCReq::ReleaseSession(kSession);
        for (BaseMSGPtr& m : batch) m = make(++invokeID);
        state.ResumeTiming();
        for (BaseMSGPtr& m : batch) (app.*handler)(kSession, std::move(m), 0);
    }
    OPCReq::ReleaseSession(kSession);
}

void BM_HoldCallRequest(benchmark::State& state) { RunHandler(state, HOLD_CALL_REQ, HoldRequest); }
BENCHMARK(BM_HoldCallRequest);

void BM_MakeCallRequestWithCallData(benchmark::State& state) {
    RunHandler(state, MAKE_CALL_REQ, MakeCallRequest);
}
BENCHMARK(BM_MakeCallRequestWithCallData);

}  // namespace
