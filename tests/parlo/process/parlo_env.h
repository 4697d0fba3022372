#pragma once
// The end-to-end setting of the server: the test's registry seeded from config/*.reg, the
// stand-in MDS on a free loopback port, and processes whose output a test waits for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/byteorder.h"
#include "platform/registry.h"
#include "platform/regtext.h"
#include "tests/nuvlib/emt/spawn.h"
#include "tests/support/certificate.h"
#include "tests/support/test_env.h"
#include "tests/support/run_command.h"
#include "tests/support/wait.h"

namespace parlotest {

inline const std::string kBase = "ZUR\\parlo";
inline const std::string kCompany = "SOFTWARE\\Quenlo Systems, Inc.\\";
inline const std::string kDynamicKey = kCompany + kBase + "\\CG\\CurrentVersion\\Parlo\\Dynamic";
inline const std::string kConfigKey = kCompany + kBase + "\\CG\\CurrentVersion\\Parlo\\Config";

// Runs a command line; its exit status and output.
using testsupport::Ran;
using testsupport::RunCommand;

inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

inline Ran Reg(const std::string& args) { return RunCommand(std::string(PARLO_REG_BIN) + " " + args); }
// Values are written in-process, through the library parlo-reg uses: a process of its own
// for each costs more than the write (parlo-reg's own tests cover its command line).
inline void SetValue(const std::string& key, const std::string& name, uint32_t type, const void* data,
                     uint32_t size) {
    plat::RegKeyHolder k;
    ASSERT_EQ(plat::RegCreateKey(plat::RegRoot(), key.c_str(), k.out()), 0u) << key;
    ASSERT_EQ(plat::RegSetValue(k.get(), name.c_str(), type, data, size), 0u) << key << " " << name;
}
inline void SetDword(const std::string& key, const std::string& name, uint32_t v) {
    uint8_t le[4];
    plat::StoreLE32(le, v);
    SetValue(key, name, plat::REG_DWORD, le, sizeof le);
}
inline void SetString(const std::string& key, const std::string& name, const std::string& v) {
    SetValue(key, name, plat::REG_SZ, v.c_str(), static_cast<uint32_t>(v.size() + 1));
}
inline void DelValue(const std::string& key, const std::string& name) {
    plat::RegKeyHolder k;
    ASSERT_EQ(plat::RegOpenKey(plat::RegRoot(), key.c_str(), k.out()), 0u) << key;
    ASSERT_EQ(plat::RegDeleteValue(k.get(), name.c_str()), 0u) << key << " " << name;
}
// The value as `parlo-reg get` shows it ("dword:000001f4", "\"text\""); "" when missing.
inline std::string Get(const std::string& key, const std::string& name) {
    plat::RegKeyHolder k;
    if (plat::RegOpenKey(plat::RegRoot(), key.c_str(), k.out()) != 0) return "";
    plat::RegValue v{name, 0, {}};
    uint32_t size = 0;
    if (plat::RegQueryValue(k.get(), name.c_str(), &v.type, nullptr, &size) != 0) return "";
    v.data.resize(size);
    if (plat::RegQueryValue(k.get(), name.c_str(), &v.type, v.data.data(), &size) != 0) return "";
    v.data.resize(size);
    const std::string line = plat::FormatRegValue(v);
    return line.substr(plat::QuoteRegText(name).size() + 1);
}

// A process with its standard output (and error) on a pipe.
class Process {
public:
    explicit Process(std::vector<std::string> argv) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int st;
            ::waitpid(pid_, &st, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // True once the output holds text (within ms); everything read is kept.
    bool WaitText(const std::string& text, int ms = 20000) { return WaitCount(text, 1, ms); }
    // True once the output holds text n times (within ms).
    bool WaitCount(const std::string& text, size_t n, int ms = 20000) {
        const testsupport::RealTimer bound(ms);
        while (Count(text) < n) {
            if (bound.Expired() || !ReadSome(bound.LeftMs())) return false;
        }
        return true;
    }
    // The exit code (low byte), -1 when killed or still running after ms.
    int WaitExit(int ms = 20000) {
        const testsupport::RealTimer bound(ms);
        int st = 0;
        // Reads meanwhile, a slice at a time: a process blocked on a full pipe never ends.
        const bool exited = testsupport::WaitFor(
            [&] {
                (void)ReadSome(std::min(200, bound.LeftMs()));
                return ::waitpid(pid_, &st, WNOHANG) == pid_;
            },
            ms);
        if (!exited) return -1;
        pid_ = -1;
        status_ = st;
        while (ReadSome(100)) {
        }
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    // The signal that ended it, once WaitExit saw it end; 0 when it exited or runs on.
    int Signal() const { return pid_ < 0 && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }
    size_t Count(const std::string& text) const {
        size_t n = 0;
        for (size_t at = all_.find(text); at != std::string::npos; at = all_.find(text, at + 1)) ++n;
        return n;
    }
    const std::string& Output() const { return all_; }
    pid_t Pid() const { return pid_; }

private:
    bool ReadSome(int ms) {
        if (out_ < 0) return false;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        char buf[4096];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            return false;
        }
        all_.append(buf, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = 0;
    std::string all_;
};

// The registry seeded from config/*.reg with the stand-in MDS on a port of its own.
class ParloEnv : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RunCommand(std::string(PARLO_REG_BIN) + " import " + PARLO_CONFIG_DIR + "/*.reg").status, 0);
        root_ = std::make_unique<testsupport::TempDir>("parlo");
        for (int attempt = 0; attempt < 5 && !mds_; ++attempt) {
            const std::string port = std::to_string(testsupport::FreePort());
            SetString(kCompany + kBase + "\\MDS\\CurrentVersion\\Process", "MDSPort", port);
            if (HasFatalFailure()) return;
            auto mds = std::make_unique<Process>(
                std::vector<std::string>{PARLO_MDS_BIN, "--port", port, "--instance", kBase});
            if (mds->WaitText("parlo-mds: listening", 10000)) mds_ = std::move(mds);
        }
        ASSERT_TRUE(mds_);
    }
    void TearDown() override { testsupport::RemoveNamespaceShm(); }

    // The root as a path relative to the working directory: the command line takes a word
    // that starts with '/' for a switch.
    std::string RootArg() const {
        return std::filesystem::relative(root_->path(), std::filesystem::current_path()).string();
    }
    std::vector<std::string> Args(const std::string& side = "A") const {
        return {PARLO_BIN, "parlo", "CLEAN", "SIMPLEX", side, RootArg(), "0", kBase};
    }
    std::unique_ptr<Process> Start() {
        auto p = std::make_unique<Process>(Args());
        return p;
    }
    // The stand-in OPC's normal start (`--start`, then opcArgs), then the server, until the
    // stand-in has made it ACTIVE; a fatal failure when either does not come.
    void StartActiveServer(std::unique_ptr<Process>* opc, std::unique_ptr<Process>* parlo,
                           const std::vector<std::string>& opcArgs = {}) {
        std::vector<std::string> argv{PARLO_OPC_BIN, "--instance", kBase, "--start"};
        argv.insert(argv.end(), opcArgs.begin(), opcArgs.end());
        *opc = std::make_unique<Process>(argv);
        ASSERT_TRUE((*opc)->WaitText("parlo-opc: in service")) << (*opc)->Output();
        *parlo = Start();
        ASSERT_TRUE((*parlo)->WaitText("The server is Active.", 30000)) << (*parlo)->Output() << (*opc)->Output();
    }
    // A throw-away certificate and key where the server looks for its pair (<root>/tls).
    testsupport::CertificateFiles MakeServerCertificate() const {
        return testsupport::MakeCertificate(root_->path() / "tls", "parlo-cert.pem", "parlo-key.pem");
    }

    std::unique_ptr<testsupport::TempDir> root_;
    std::unique_ptr<Process> mds_;
};

}  // namespace parlotest
