// parlo-opc over real MDS links: parlo-mds and parlo-opc run as child processes with a
// registry seeded from config/*.reg, and this test process registers as "parlo".
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nuvlib/mds/mds.h"
#include "peers/opc/arm_wire.h"
#include "peers/opc/opc_wire.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "tests/nuvlib/emt/spawn.h"
#include "tests/support/test_env.h"

namespace opcpeer {
namespace {

constexpr const char* kInstance = "ZUR\\parlo";
constexpr uint8_t kOpcHandle = 11;
constexpr uint8_t kParloHandle = 10;

struct Message {
    uint8_t sender = 0;
    uint8_t type = 0;
    std::vector<uint8_t> payload;
};

struct Inbox {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Message> messages;
    bool inService = false;

    // The first message of `type` within the time, taken off the inbox.
    bool Take(uint8_t type, Message* out, int64_t ms = 10000) {
        std::unique_lock<std::mutex> lock(mu);
        return plat::WaitUntil(cv, lock, plat::DeadlineAfterMs(ms), [&] {
            for (auto it = messages.begin(); it != messages.end(); ++it)
                if (it->type == type) {
                    *out = std::move(*it);
                    messages.erase(it);
                    return true;
                }
            return false;
        });
    }
};
Inbox& inbox = *new Inbox;

int OnStatus(const uint8_t* header, uint8_t*) {
    MDSHeader h = MDSDecodeHeader(header);
    if (h.messageClass == 0 && h.messageType == MDS_STATUS_IN_SERVICE) {
        std::lock_guard<std::mutex> g(inbox.mu);
        inbox.inService = true;
    }
    inbox.cv.notify_all();
    return 0;
}

int OnOpc(const uint8_t* header, uint8_t* payload) {
    MDSHeader h = MDSDecodeHeader(header);
    {
        std::lock_guard<std::mutex> g(inbox.mu);
        inbox.messages.push_back({h.sender, h.messageType,
                                  std::vector<uint8_t>(payload, payload + h.length)});
    }
    inbox.cv.notify_all();
    return 0;
}

void SetValue(const std::string& key, const char* name, uint32_t type, const void* data,
              uint32_t size) {
    plat::RegKey k = nullptr;
    ASSERT_EQ(plat::RegCreateKey(plat::RegRoot(), key.c_str(), &k), 0u);
    ASSERT_EQ(plat::RegSetValue(k, name, type, data, size), 0u);
    plat::RegCloseKey(k);
}

class OpcLink : public ::testing::Test {
protected:
    void SetUp() override {
        std::string cmd = std::string(PARLO_REG_BIN) + " import";
        for (const char* f : {"mbuf.reg", "mds.reg", "ems.reg"})
            cmd += std::string(" '") + PARLO_CONFIG_DIR + "/" + f + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        // What the message buffers need besides config/: this node's instance identity.
        const std::string company = "SOFTWARE\\Quenlo Systems, Inc.\\";
        const uint32_t zero = 0, one = 1;
        SetValue(company + "ZUR\\CurrentVersion", "InstanceNumber", plat::REG_DWORD, &zero, 4);
        SetValue(company + kInstance + "\\DMP\\CurrentVersion", "SystemID", plat::REG_DWORD, &one,
                 4);
        for (int attempt = 0; attempt < 5 && !mds_; ++attempt) {
            const std::string port = std::to_string(testsupport::FreePort());
            SetValue(company + kInstance + "\\MDS\\CurrentVersion\\Process", "MDSPort",
                     plat::REG_SZ, port.c_str(), static_cast<uint32_t>(port.size() + 1));
            mds_ = std::make_unique<testsupport::Child>(std::vector<std::string>{
                PARLO_MDS_BIN, "--port", port, "--instance", kInstance});
            if (mds_->WaitLine("parlo-mds: listening").empty()) mds_.reset();
        }
        ASSERT_NE(mds_, nullptr);
        MDSClientParams p{1, "parlo", 0, kInstance, OnStatus, OnStatus};
        uint8_t handle = 0;
        ASSERT_EQ(MDSRegisterClient(&p, &handle), 0u);
        ASSERT_EQ(handle, kParloHandle);
        ASSERT_EQ(MDSSetMessageHandler(kMdsClassOpc, OnOpc), 1);
        std::thread([] { MDSStartClient(); }).detach();
        std::unique_lock<std::mutex> lock(inbox.mu);
        ASSERT_TRUE(plat::WaitUntil(inbox.cv, lock, plat::DeadlineAfterMs(10000),
                                    [] { return inbox.inService; }));
    }
    void TearDown() override {
        MDSStopClient(0);
        opc_.reset();
        mds_.reset();
        testsupport::RemoveNamespaceShm();
    }
    // Starts parlo-opc with `script` and waits until it is in service.
    void StartOpc(const std::string& script) {
        testsupport::WriteFile(dir_ / "script.txt", script);
        opc_ = std::make_unique<testsupport::Child>(std::vector<std::string>{
            PARLO_OPC_BIN, "--instance", kInstance, "--script", (dir_ / "script.txt").string()});
        ASSERT_NE(opc_->WaitLine("parlo-opc: in service"), "");
    }
    static void Send(uint8_t type, const std::vector<uint8_t>& body, uint32_t server = 0xFFFFFFFF) {
        std::vector<uint8_t> payload;
        Put32(payload, 0, server);
        payload.insert(payload.end(), body.begin(), body.end());
        void* buf = MDSAllocBuffer(static_cast<uint32_t>(payload.size()));
        ASSERT_NE(buf, nullptr);
        std::memcpy(buf, payload.data(), payload.size());
        ASSERT_EQ(MDSSendOutput(kOpcHandle, kMdsClassOpc, type, buf,
                                static_cast<uint16_t>(payload.size())),
                  1);
    }
    static CstaEvent TakeEvent() {
        Message m;
        CstaEvent e;
        EXPECT_TRUE(inbox.Take(kCstaMessage, &m));
        if (m.payload.size() < 4) return e;
        EXPECT_EQ(m.sender, kOpcHandle);
        std::string error;
        EXPECT_TRUE(ReadEvent(m.payload.data() + 4, m.payload.size() - 4, &e, &error)) << error;
        return e;
    }

    testsupport::TempDir dir_{"opc"};
    std::unique_ptr<testsupport::Child> mds_;
    std::unique_ptr<testsupport::Child> opc_;
};

TEST_F(OpcLink, EveryRequestTypeIsAnsweredAndAScriptedFailureComesBack) {
    StartOpc("answer 21 failure error=7 pec=8\n");
    ASSERT_NE(opc_->WaitLine("parlo-opc: script done"), "");
    uint32_t invoke = 0x10;
    for (const RequestType& t : RequestTypes()) {
        CstaRequest r;
        r.peripheralID = r.headerPeripheralID = 5000;
        r.eventType = t.type;
        r.invokeID = ++invoke;
        r.clientInvokeID = invoke + 0x1000;
        r.uniqueInstanceID = "desk-" + std::to_string(t.type);
        r.opc.assign(t.privateDataSize, 0);
        if (t.type == 23) std::memcpy(r.body.data(), "5001", 4);
        Send(kCstaMessage, WriteRequest(r));
        const CstaEvent e = TakeEvent();
        SCOPED_TRACE(t.name);
        EXPECT_EQ(e.eventClass, 5);
        EXPECT_EQ(e.eventType, t.type == 21 ? 53 : t.confirmation);
        ASSERT_GE(e.body.size(), 8u);
        EXPECT_EQ(Get32(&e.body[0]), r.invokeID);
        EXPECT_EQ(Get32(&e.body[4]), r.clientInvokeID);
        EXPECT_EQ(e.strings[0], r.uniqueInstanceID);
        if (t.type == 21) {
            ASSERT_EQ(e.body.size(), 12u);
            EXPECT_EQ(Get32(&e.body[8]), 7u);
            ASSERT_EQ(e.opc.size(), 4u);
            EXPECT_EQ(Get32(&e.opc[0]), 8u);
        }
        if (t.type == 23) {
            const ConnectionID nc = GetConnection(&e.body[8]);
            EXPECT_EQ(nc.deviceID, "5001");
            ASSERT_EQ(e.opc.size(), 8u);
            EXPECT_EQ(Get32(&e.opc[4]), 2u);
        }
    }
    // A request that lies is printed and not answered; the next one is.
    CstaRequest r;
    r.eventType = 41;
    r.invokeID = 0x77;
    std::vector<uint8_t> bad = WriteRequest(r);
    Put32(bad, 216, 4);
    Send(kCstaMessage, bad);
    EXPECT_NE(opc_->WaitLine("parlo-opc: error: CTI_CSTA_MESSAGE from 10: lengths add up"), "");
    r.invokeID = 0x78;
    Send(kCstaMessage, WriteRequest(r));
    const CstaEvent e = TakeEvent();
    EXPECT_EQ(e.eventType, 42);
    EXPECT_EQ(Get32(&e.body[0]), 0x78u);
}

TEST_F(OpcLink, ScriptSetsIdleWaitsForTheAckAndInjectsEvents) {
    StartOpc("set-idle server=3 echo=5\n"
             "wait ok-ack\n"
             "event 4 service-initiated periph=5000 call=9 s2=1001 si.coccall=88 "
             "si.cocdev=1001 si.corr=abcde\n"
             "event 4 recording-target-info rti.corr=c1 rti.addr=10.0.0.1 rti.err=disk\n"
             "event 6 private opc.u32@0=8\n");
    Message m;
    ASSERT_TRUE(inbox.Take(kSetIdleReq, &m));
    ASSERT_GE(m.payload.size(), 24u);
    EXPECT_EQ(Get32(&m.payload[0]), 3u);
    EXPECT_EQ(Get32(&m.payload[4]), 1u);   // side
    EXPECT_EQ(Get32(&m.payload[8]), 5u);   // echoed value
    EXPECT_EQ(Get32(&m.payload[16]), 8503u);
    std::vector<uint8_t> ack;
    Put32(ack, 0, 1);
    Put32(ack, 4, kSetIdleReq);
    Put32(ack, 8, 5);
    Send(kOkAck, ack, 3);
    EXPECT_NE(opc_->WaitLine("parlo-opc: recv CTI_OK_ACK from 10 server 3 side 1 answers 0 "
                             "(CTI_SET_IDLE_REQ) value 5"),
              "");
    EXPECT_NE(opc_->WaitLine("parlo-opc: wait ok-ack done"), "");

    CstaEvent e = TakeEvent();
    EXPECT_EQ(e.eventClass, 4);
    EXPECT_EQ(e.eventType, 66);
    EXPECT_EQ(e.callID, 9u);
    EXPECT_EQ(e.strings[1], "1001");
    ASSERT_EQ(e.opc.size(), 124u);
    EXPECT_EQ(Get32(&e.opc[16]), 88u);
    size_t at = 116;
    std::string s;
    ASSERT_TRUE(ReadPadded(e.opc.data(), e.opc.size(), &at, &s));
    EXPECT_EQ(s, "abcde");

    e = TakeEvent();
    EXPECT_EQ(e.eventType, 208);
    at = 24;
    std::vector<std::string> strings;
    while (ReadPadded(e.opc.data(), e.opc.size(), &at, &s)) strings.push_back(s);
    EXPECT_EQ(strings, (std::vector<std::string>{"c1", "", "10.0.0.1", "", "", "", "", "",
                                                 "disk"}));

    e = TakeEvent();
    EXPECT_EQ(e.eventClass, 6);
    EXPECT_EQ(e.eventType, 93);
    EXPECT_EQ(Get32(&e.opc[0]), 8u);
}

TEST_F(OpcLink, ArmRequestsAreAnsweredAndScriptedArmEventsArrive) {
    StartOpc("arm-answer 51 failure status=29\n"
             "arm-members 5000/1,5001/1,5002/2\n"
             "arm-event 108 u32@4=5000 u32@8=300 t1=8000 t3=1001 ecc=0a0b\n");
    Message m;
    ASSERT_TRUE(inbox.Take(108, &m));
    ArmMessage route;
    std::string error;
    ASSERT_TRUE(ReadArm(*FindArmLayout(108), m.payload.data() + 4, m.payload.size() - 4, &route,
                        &error))
        << error;
    EXPECT_EQ(route.Word(8), 300u);
    EXPECT_EQ(route.texts[0], "8000");
    EXPECT_EQ(route.texts[2], "1001");
    EXPECT_EQ(route.ecc, (std::vector<uint8_t>{0x0A, 0x0B}));
    ASSERT_NE(opc_->WaitLine("parlo-opc: script done"), "");

    for (uint8_t type : {49, 53, 56, 59, 62, 74, 76, 80, 98, 103, 112, 114, 106, 51}) {
        const ArmLayout* l = FindArmLayout(type);
        ArmMessage req = NewArmMessage(*l);
        req.SetWord(l->invokeAt, 0x700 + type);
        req.SetWord(l->clientAt, 0x800 + type);
        req.SetWord(l->sessionAt, 40 + type);
        req.uniqueInstanceID = "desk-" + std::to_string(type);
        if (type == 98) {
            req.SetWord(4, 77);
            req.fixed[12] = 1;
        }
        std::vector<uint8_t> body;
        ASSERT_TRUE(WriteArm(*l, req, &body, &error)) << error;
        Send(type, body);
        const uint8_t expected = type == 51 ? 85 : l->answer;
        SCOPED_TRACE(l->name);
        ASSERT_TRUE(inbox.Take(expected, &m));
        const ArmLayout* al = FindArmLayout(expected);
        ArmMessage a;
        ASSERT_TRUE(ReadArm(*al, m.payload.data() + 4, m.payload.size() - 4, &a, &error)) << error;
        if (l->invokeAt >= 0) {
            EXPECT_EQ(a.Word(al->invokeAt), 0x700u + type);
        }
        if (al->uii) {
            EXPECT_EQ(a.uniqueInstanceID, "desk-" + std::to_string(type));
        }
        if (type == 98) {
            EXPECT_EQ(a.Word(8), 77u);
            EXPECT_EQ(a.Word(12), 40u + type);
            EXPECT_EQ(a.fixed[16], 1);
            EXPECT_EQ(a.list, (std::vector<uint32_t>{5000, 5001, 5002, 1, 1, 2}));
        }
        if (type == 51) {
            EXPECT_EQ(a.Word(4), 29u);
            EXPECT_EQ(a.Word(8), 51u);
            EXPECT_EQ(a.Word(12), 40u + 51);
        }
    }
    // The agent-tasks request event is followed by begin, list and end.
    ArmMessage ev = NewArmMessage(*FindArmLayout(116));
    ev.SetWord(0, 5005);
    ev.SetWord(4, 12);
    std::vector<uint8_t> body;
    ASSERT_TRUE(WriteArm(*FindArmLayout(116), ev, &body, &error));
    Send(116, body);
    for (uint8_t type : {117, 118, 120}) EXPECT_TRUE(inbox.Take(type, &m)) << int(type);
}

TEST(OpcCorpusCommand, WritesOneFilePerMessage) {
    testsupport::TempDir dir("corpus");
    const std::string cmd = std::string(PARLO_OPC_BIN) + " --write-corpus '" + dir.str() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_GT(e.file_size(), 0u);
        ++files;
    }
    EXPECT_EQ(files, 25u + 6u + 26u);
}

}  // namespace
}  // namespace opcpeer
