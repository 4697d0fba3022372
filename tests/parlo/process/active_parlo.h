#pragma once
// A real parlo made active by the stand-in OPC (`--start`, with a control pipe for script
// lines), its client ports of the test's own, and a parlo-client on the plain port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/parlo/process/parlo_env.h"

namespace parlotest {

class ActiveParlo : public ParloEnv {
protected:
    void SetUp() override {
        ParloEnv::SetUp();
        port_ = std::to_string(testsupport::FreePort());
        SetString(kConfigKey, "ListenPort", port_);
        SetString(kConfigKey, "SecuredListenPort", std::to_string(testsupport::FreePort()));
        SetDword(kDynamicKey, "OPCHeartbeatTime", 2);
        if (HasFatalFailure()) return;
        BeforeStart();
        fifo_ = (root_->path() / "opc.in").string();
        StartActiveServer(&opc_, &parlo_, {"--control", fifo_});
    }

    // Registry values of a test, set before the server starts.
    virtual void BeforeStart() {}

    // The server reported no sanitizer finding while it served the test.
    void TearDown() override {
        if (parlo_) {
            (void)parlo_->WaitText("\x01never", 200);
            EXPECT_EQ(std::string::npos, parlo_->Output().find("Sanitizer")) << parlo_->Output();
            EXPECT_EQ(std::string::npos, parlo_->Output().find("runtime error")) << parlo_->Output();
        }
        ParloEnv::TearDown();
    }

    // Script lines for the stand-in OPC, through its control pipe; the stand-in has taken
    // them once it printed `ack`.
    void Opc(const std::string& lines, const std::string& ack) {
        int fd = -1;
        for (int tries = 0; tries < 400 && fd < 0; ++tries) {
            fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) (void)opc_->WaitText("\x01never", 50);
        }
        ASSERT_GE(fd, 0) << "no reader on the control pipe";
        const std::string text = lines + "\n";
        ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(fd, text.data(), text.size()));
        ::close(fd);
        ASSERT_TRUE(opc_->WaitText(ack)) << opc_->Output();
    }

    // parlo-client on the plain port with OPEN_REQ `fields`, running `script` when given.
    std::unique_ptr<Process> Client(std::vector<std::string> fields, const std::string& script = "") {
        std::vector<std::string> argv{PARLO_CLIENT_BIN, "127.0.0.1", port_};
        if (!script.empty()) {
            const std::string path = (root_->path() / ("client" + std::to_string(++scripts_) + ".script")).string();
            std::ofstream(path) << script;
            argv.insert(argv.end(), {"--script", path});
        }
        argv.insert(argv.end(), fields.begin(), fields.end());
        return std::make_unique<Process>(argv);
    }

    // The last line `p` printed for a message of `type`, or "".
    static std::string LineOf(const Process& p, const std::string& type) {
        const std::string& out = p.Output();
        size_t at = out.rfind("\n" + type + " ");
        at = at == std::string::npos ? (out.rfind(type + " ", 0) == 0 ? 0 : std::string::npos) : at + 1;
        if (at == std::string::npos) return "";
        return out.substr(at, out.find('\n', at) - at);
    }

    std::string port_, fifo_;
    int scripts_ = 0;
    std::unique_ptr<Process> opc_, parlo_;
};

}  // namespace parlotest
