// The parlo process beside the stand-in MDS, with this test registered as the client "opc"
// sending the OPC's class-17 messages to parlo by handle.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "nuvlib/mds/mds.h"
#include "tests/parlo/process/parlo_env.h"
#include "platform/byteorder.h"

namespace {

using parlotest::Process;

constexpr uint8_t kOPCClass = 17;

std::mutex g_StatusLock;
std::condition_variable g_StatusChanged;
bool g_InService = false;

int OnStatus(const uint8_t* header, uint8_t*) {
    if (MDSDecodeHeader(header).messageType == MDS_STATUS_IN_SERVICE) {
        std::lock_guard<std::mutex> hold(g_StatusLock);
        g_InService = true;
        g_StatusChanged.notify_all();
    }
    return 1;
}

struct Body {
    std::vector<uint8_t> bytes;
    Body& U32(uint32_t v) {
        bytes.resize(bytes.size() + 4);
        plat::StoreLE32(bytes.data() + bytes.size() - 4, v);
        return *this;
    }
    Body& Text(const std::string& s) {
        bytes.push_back(static_cast<uint8_t>(s.size()));
        bytes.push_back(0);
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.resize(bytes.size() + ((s.size() + 6) & ~size_t{3}) - 2 - s.size(), 0);
        return *this;
    }
};

class OPCProcess : public parlotest::ParloEnv {
protected:
    // Starts parlo and registers this process as "opc".
    void StartBoth() {
        parlo_ = Start();
        ASSERT_TRUE(parlo_->WaitText("MDS is in service.")) << parlo_->Output();
        MDSClientParams p{1, "opc", 1, parlotest::kBase.c_str(), OnStatus, OnStatus};
        uint8_t handle = 0;
        ASSERT_EQ(MDSRegisterClient(&p, &handle), 0u);
        std::thread([] { MDSStartClient(); }).detach();
        {
            std::unique_lock<std::mutex> hold(g_StatusLock);
            ASSERT_TRUE(g_StatusChanged.wait_for(hold, std::chrono::seconds(20), [] { return g_InService; }));
        }
        parloHandle_ = MDSGetHandle("parlo");
        ASSERT_NE(parloHandle_, 0xFF);
    }
    void TearDown() override {
        MDSStopClient(0);
        parlo_.reset();
        ParloEnv::TearDown();
    }
    void Send(uint8_t type, const Body& body, uint32_t serverNumber = 3) {
        Body payload;
        payload.U32(serverNumber);
        payload.bytes.insert(payload.bytes.end(), body.bytes.begin(), body.bytes.end());
        void* buf = MDSAllocBuffer(static_cast<uint32_t>(payload.bytes.size()));
        ASSERT_NE(buf, nullptr);
        std::memcpy(buf, payload.bytes.data(), payload.bytes.size());
        ASSERT_EQ(MDSSendOutput(parloHandle_, kOPCClass, type, buf, static_cast<uint16_t>(payload.bytes.size())), 1);
    }
    void SetIdle(uint32_t version = 8503, uint32_t echo = 7) {
        Send(0, Body().U32(1).U32(echo).U32(0).U32(version).U32(1700000000).Text("idle"));
    }
    void SetActive(uint32_t hb = 1) { Send(1, Body().U32(1).U32(hb).U32(0).U32(8503).U32(1700000000).Text("go")); }
    void EndOfLoad() { Send(5, Body().U32(1).U32(0).U32(0).U32(0)); }

    std::unique_ptr<Process> parlo_;
    uint8_t parloHandle_ = 0xFF;
};

// The normal start, then the OPC falls silent: the fourth silent check ends parlo.
TEST_F(OPCProcess, GoesActiveAndDiesWhenTheOPCHeartbeatsStop) {
    StartBoth();
    SetIdle();
    ASSERT_TRUE(parlo_->WaitText("Sending CTI_OK_ACK for CTI_SET_IDLE_REQ with the value 7.")) << parlo_->Output();
    EndOfLoad();
    ASSERT_TRUE(parlo_->WaitText("The server's configuration is complete.")) << parlo_->Output();
    SetActive(1);
    ASSERT_TRUE(parlo_->WaitText("The server is Active.")) << parlo_->Output();
    EXPECT_NE(parlo_->Output().find("Sending CTI_OK_ACK for CTI_SET_ACTIVE_REQ with the value 0."), std::string::npos);
    EXPECT_EQ(parlo_->WaitExit(60000), 100002 & 0xFF) << parlo_->Output();
    EXPECT_NE(parlo_->Output().find("An OPC HeartBeat Timeout has occurred."), std::string::npos);
}

// Each start of the application thread takes the next generation for the invoke ids' top
// nibble (the registry's counter, modulo 16).
TEST_F(OPCProcess, IdleWhileActiveAndActiveAgain) {
    StartBoth();
    SetIdle();
    EndOfLoad();
    SetActive(30);
    ASSERT_TRUE(parlo_->WaitText("The server is Active.")) << parlo_->Output();
    const std::string first = parlotest::Get(parlotest::kConfigKey, "GenerationCounter");
    SetIdle(8503, 8);
    ASSERT_TRUE(parlo_->WaitText("Sending CTI_OK_ACK for CTI_SET_IDLE_REQ with the value 8.")) << parlo_->Output();
    EXPECT_EQ(parlo_->Count("The server is going idle."), 2u) << parlo_->Output();
    SetActive(30);
    ASSERT_TRUE(parlo_->WaitCount("The server is Active.", 2, 20000)) << parlo_->Output();
    const std::string second = parlotest::Get(parlotest::kConfigKey, "GenerationCounter");
    ASSERT_EQ(first.rfind("dword:", 0), 0u) << first;
    ASSERT_EQ(second.rfind("dword:", 0), 0u) << second;
    EXPECT_EQ(std::stoul(second.substr(6), nullptr, 16), (std::stoul(first.substr(6), nullptr, 16) + 1) % 16)
        << first << " then " << second;
    EXPECT_EQ(parlo_->WaitExit(300), -1);
}

TEST_F(OPCProcess, RefusalsEndTheProcess) {
    StartBoth();
    SetIdle(8502);
    ASSERT_TRUE(parlo_->WaitText("The peripheral controller speaks version 8502, not 8503")) << parlo_->Output();
    SetIdle();
    for (int i = 0; i < 3; ++i) SetActive();
    EXPECT_EQ(parlo_->WaitExit(30000), 100003 & 0xFF) << parlo_->Output();
    size_t refusals = 0;
    const std::string out = parlo_->Output();
    for (size_t at = out.find("Sending CTI_ERROR_ACK for CTI_SET_ACTIVE_REQ"); at != std::string::npos;
         at = out.find("Sending CTI_ERROR_ACK for CTI_SET_ACTIVE_REQ", at + 1))
        ++refusals;
    EXPECT_EQ(refusals, 3u);
}

TEST_F(OPCProcess, ShortAndHostileMessagesAreDroppedAndParloServesOn) {
    StartBoth();
    Send(0, Body().U32(1));  // a set-idle without its words
    SetIdle();
    Send(5, Body().U32(1).U32(11).U32(1000000).U32(0));  // a million peripherals promised
    EndOfLoad();
    SetActive(30);
    ASSERT_TRUE(parlo_->WaitText("The server is Active.")) << parlo_->Output();
    EXPECT_EQ(parlo_->WaitExit(300), -1);
}

TEST_F(OPCProcess, LosingMDSEndsTheProcess) {
    StartBoth();
    mds_.reset();
    EXPECT_EQ(parlo_->WaitExit(30000), 100003 & 0xFF) << parlo_->Output();
    EXPECT_NE(parlo_->Output().find("MDS is out of service."), std::string::npos);
}

}  // namespace
