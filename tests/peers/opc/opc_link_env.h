#pragma once
// Starts parlo-mds and parlo-opc as child processes with a registry seeded from config/*.reg,
// and registers this test process with MDS as "parlo". Each test case runs in a process of
// its own (a process registers with MDS once).
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nuvlib/mds/mds.h"
#include "peers/opc/opc_wire.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "tests/nuvlib/emt/spawn.h"
#include "tests/support/test_env.h"

namespace opcpeer {
namespace linktest {

inline constexpr const char* kInstance = "ZUR\\parlo";
inline constexpr uint8_t kOpcHandle = 11;
inline constexpr uint8_t kParloHandle = 10;

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
inline Inbox& inbox = *new Inbox;

inline int OnStatus(const uint8_t* header, uint8_t*) {
    MDSHeader h = MDSDecodeHeader(header);
    if (h.messageClass == 0 && h.messageType == MDS_STATUS_IN_SERVICE) {
        std::lock_guard<std::mutex> g(inbox.mu);
        inbox.inService = true;
    }
    inbox.cv.notify_all();
    return 0;
}

inline int OnOpc(const uint8_t* header, uint8_t* payload) {
    MDSHeader h = MDSDecodeHeader(header);
    {
        std::lock_guard<std::mutex> g(inbox.mu);
        inbox.messages.push_back({h.sender, h.messageType,
                                  std::vector<uint8_t>(payload, payload + h.length)});
    }
    inbox.cv.notify_all();
    return 0;
}

inline void SetValue(const std::string& key, const char* name, uint32_t type, const void* data,
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
        PutLE32(payload, 0, server);
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

}  // namespace linktest
}  // namespace opcpeer
