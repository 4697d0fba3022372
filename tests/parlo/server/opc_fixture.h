#pragma once
// The server beside an in-process OPC: messages the server sends are captured by the link's
// output (tests/parlo/opclink/output_capture.h), and the test delivers OPC messages straight
// to the link's dispatch.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "opcmsg/opctypes.h"
#include "platform/byteorder.h"
#include "tests/parlo/opclink/output_capture.h"
#include "tests/parlo/server/server_fixture.h"

namespace srvtest {

using opclinktest::Sent;

// Little-endian payload builder.
class Payload {
public:
    Payload& U32(uint32_t v) {
        bytes.resize(bytes.size() + 4);
        plat::StoreLE32(bytes.data() + bytes.size() - 4, v);
        return *this;
    }
    Payload& U16(uint16_t v) {
        bytes.resize(bytes.size() + 2);
        plat::StoreLE16(bytes.data() + bytes.size() - 2, v);
        return *this;
    }
    Payload& Text(const std::string& s) {  // u16 length, characters, NUL, padding
        U16(static_cast<uint16_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        const size_t total = (s.size() + 6) & ~size_t{3};
        bytes.resize(bytes.size() + total - 2 - s.size(), 0);
        return *this;
    }
    std::vector<uint8_t> bytes;
};

// From a clean link state on, every message the server sends to the OPC is captured instead
// of going to MDS.
inline std::unique_ptr<opclinktest::OutputCapture> CaptureSent() {
    MDSIO::ResetForTest();
    MDSIO::SetMDSConnections(1);
    return std::make_unique<opclinktest::OutputCapture>();
}
// MDS again, the link state and the outstanding requests cleared.
inline void StopCapturingSent(std::unique_ptr<opclinktest::OutputCapture>& capture) {
    capture.reset();
    MDSIO::ResetForTest();
    OPCReq::ClearAll();
}

class OPCTest : public ServerTest {
protected:
    void SetUp() override {
        // The fixture's threads may hold locks at a fork: a dying child starts afresh.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ServerTest::SetUp();
        capture_ = CaptureSent();
    }
    void TearDown() override {
        server_.reset();  // joins the application thread while the capture is in force
        StopCapturingSent(capture_);
        ServerTest::TearDown();
    }

    void Deliver(uint8_t type, const Payload& p) { MDSIO::ProcessOPCMessage(type, p.bytes.data(), p.bytes.size()); }
    static Payload Idle(uint32_t serverNumber, uint32_t side, uint32_t echo, uint32_t version = 8503,
                        const std::string& text = "idle") {
        Payload p;
        p.U32(serverNumber).U32(side).U32(echo).U32(0).U32(version).U32(1700000000).Text(text);
        return p;
    }
    static Payload Active(uint32_t side, uint32_t heartbeat = 5, uint32_t version = 8503) {
        Payload p;
        p.U32(0).U32(side).U32(heartbeat).U32(0).U32(version).U32(1700000000).Text("go");
        return p;
    }
    static Payload Config(uint32_t op, uint32_t table, uint32_t num, uint32_t update,
                          const std::vector<uint8_t>& records = {}) {
        Payload p;
        p.U32(0).U32(op).U32(table).U32(num).U32(update);
        p.bytes.insert(p.bytes.end(), records.begin(), records.end());
        return p;
    }

    std::vector<Sent> TakeSent() { return capture_->Take(); }
    // Waits (bounded, in real time) until a message of `type` was sent; returns it.
    bool WaitSent(uint8_t type, Sent* out) { return capture_->WaitFor(type, out); }
    bool WaitState(int state) {
        if (!capture_->WaitUntil([&] { return server_->GetState() == state; })) return false;
        // The activation event is set last, after the heartbeat timer started.
        if (state != Server::ACTIVE && state != Server::STANDBY) return true;
        if (server_->ActivationEvent().Wait(0xFFFFFFFF) != 0) return false;
        // Then the 0x612E0007 report, the application thread's last step: a death test
        // must not fork while that thread is inside EMS.
        return capture_->WaitUntil([] {
            std::lock_guard<std::mutex> hold(Events::mu);
            for (const auto& e : Events::seen)
                if (e.id == 0x612E0007) return true;
            return false;
        });
    }
    // The set-idle, the peripheral table and table 0: what the OPC sends before activating.
    void Prepare(uint32_t serverNumber = 3, bool standbyPeripheral = false) {
        server_->CreateApplication();
        Deliver(CTI_SET_IDLE_REQ, Idle(serverNumber, 1, 0x55));
        if (standbyPeripheral) {
            Payload rec;
            rec.U32(5000).U32(30).U32(0).U32(0);
            Deliver(CTI_CONFIGURE_REQ, Config(1, 11, 1, 0, rec.bytes));
        }
        Deliver(CTI_CONFIGURE_REQ, Config(1, 0, 0, 0));
        TakeSent();
        Events::Take();
    }

    std::unique_ptr<opclinktest::OutputCapture> capture_;
};

}  // namespace srvtest
