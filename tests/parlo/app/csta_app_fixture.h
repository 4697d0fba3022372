#pragma once
// A running application with real client sessions for the CSTA tests: OPC's side is a
// capture of the link's output and CTI_CSTA_MESSAGEs injected into the application's queue.
// A check waits for a fence (a SYSTEM_EVENT with its own text) that follows the input in the
// queue, so all earlier input has been served when it arrives.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "nuvlib/lockguard.h"
#include "parlo/app/appport.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/meterids.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/session/session.h"
#include "platform/byteorder.h"
#include "tests/parlo/app/csta_message_builder.h"
#include "tests/parlo/app/active_app.h"
#include "tests/parlo/app/running_app.h"
#include "tests/parlo/opclink/output_capture.h"
#include "tests/parlo/server/session_fixture.h"
#include "tests/support/wait.h"

namespace cstatest {

constexpr uint8_t kCSTAMessageType = 28, kPGStatusType = 39;
constexpr uint32_t kOpenConfType = 4, kSystemEventType = 31;

// The application's server port, with the response times of CSTA confirmations (meter 43)
// kept for the tests.
class MeterRecordingPort : public apptest::ThreadStartingPort {
public:
    void UpdateMeter(int meter, int32_t value) override {
        if (meter == meter::ControlResponse) {
            std::lock_guard<std::mutex> hold(mu_);
            controlResponses_.push_back(value);
        }
        ThreadStartingPort::UpdateMeter(meter, value);
    }
    std::vector<int32_t> TakeControlResponses() {
        std::lock_guard<std::mutex> hold(mu_);
        std::vector<int32_t> out;
        out.swap(controlResponses_);
        return out;
    }

private:
    std::mutex mu_;
    std::vector<int32_t> controlResponses_;
};

class CSTAAppTest : public srvtest::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        capture_ = apptest::BeginOPCLink();
        apptest::SetSessionLimits(*registry_, 100);
        app_ = apptest::StartActiveApplication(*server_, port_, *registry_);
        ASSERT_FALSE(HasFailure());
    }
    void TearDown() override {
        MDSIO::SetServerActive(0);
        apptest::EndApplication(app_, clock_);
        port_.JoinAll();
        port_.Uninstall();
        apptest::EndOPCLink(capture_);
        ServerTest::TearDown();
    }

    int Port() const { return app_->BoundPort(false); }
    void InjectPayload(uint8_t type, const Bytes& payload) {
        app_->ProcessOPCInput(type, static_cast<int>(payload.size()), payload.data());
    }
    void Inject(const CSTAMessageBuilder& m) { InjectPayload(kCSTAMessageType, m.Payload()); }

    // A SYSTEM_EVENT with its own text behind everything injected so far.
    std::string Fence() {
        const std::string text = "fence " + std::to_string(++fences_);
        Bytes b;
        for (uint32_t w : {0u, 0u, 5u, 0u, 0u, 0u}) opctest::Add32(b, w);
        opctest::AddString(b, text);
        InjectPayload(kPGStatusType, b);
        return text;
    }
    // Waits until the application served everything injected so far: the fence's own report,
    // which does not need the server-active flag.
    bool Drain() {
        const std::string text = "(" + Fence() + ")";
        return testsupport::WaitFor([&] {
            std::lock_guard<std::mutex> hold(srvtest::Events::mu);
            for (const srvtest::Event& e : srvtest::Events::seen)
                if (e.Text().find(text) != std::string::npos) return true;
            return false;
        });
    }
    // What the client received before the fence, other fences left out.
    static std::vector<sesstest::Received> Until(sesstest::Client& c, const std::string& fence) {
        std::vector<sesstest::Received> got;
        for (;;) {
            sesstest::Received r = c.Read();
            if (r.type == 0) break;
            const char* text = r.type == kSystemEventType ? r.msg->GetSTRING(elementid::CTIText) : nullptr;
            if (text != nullptr && fence == text) break;
            // The fences of earlier waits (Drain) are no news.
            if (text != nullptr && std::string(text).rfind("fence ", 0) == 0) continue;
            got.push_back(std::move(r));
        }
        return got;
    }

    // Opens an ALL_EVENTS session (plus `services`) with that unique instance ID; returns its
    // SessionID, -1 when the open failed.
    int32_t Open(sesstest::Client& c, const std::string& uniqueID, uint32_t services = 0x10,
                 const char* clientID = "desk1") {
        auto open = sesstest::OpenReq(1, 30, services, clientID);
        if (!uniqueID.empty()) open->SetSTRING(elementid::UniqueInstanceID, uniqueID);
        if (!c.Send(*open) || c.Read().type != kOpenConfType) return -1;
        return SessionIDOf(uniqueID);
    }
    static int32_t SessionIDOf(const std::string& uniqueID) {
        SessionProtocol* master = SessionProtocol::Master();
        if (master == nullptr) return -1;
        LockGuard<CTILockObject> hold(master->SessionLock(), "test");
        SessionProtocol* s = SessionProtocol::FindSessionByUniqueInstanceID(uniqueID);
        return s != nullptr ? s->GetSessionID() : -1;
    }
    // An outstanding request of the session, as a request handler leaves it.
    static OPCReq* Outstanding(int32_t sessionID, uint32_t clientInvokeID, uint32_t opcInvokeID,
                               const std::string& wexaCILClientID = "") {
        OPCReq* r = OPCReq::Allocate(sessionID, clientInvokeID, opcInvokeID);
        r->WEXACILClientID = wexaCILClientID;
        r->ReceiveTime = r->SendTime = plat::FileTimeNow();
        return r;
    }
    // The traces so far (EMS trace texts) that hold `part`.
    static size_t Traced(const std::string& part) {
        return srvtest::Events::CountText(srvtest::Events::Take(), part);
    }

    MeterRecordingPort port_;
    std::unique_ptr<CTIApplication> app_;
    std::unique_ptr<opclinktest::OutputCapture> capture_;
    int fences_ = 0;
};

}  // namespace cstatest
