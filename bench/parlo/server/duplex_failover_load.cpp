// duplex_failover_load [--runs N] [--hbtime S]
//
// The failover time of a duplex pair on this machine: two nodes (registry, run directory,
// namespace and stand-in MDS each), parlo side A and side B, and the stand-in OPC as their
// controller (parlo-opc --duplex on node A, --join on node B). Once A is ACTIVE and B
// STANDBY, A is killed (SIGKILL), and the controller's lines are timed as they arrive:
//   detection  from the kill to "side A sent no heartbeat" (the controller gives up after
//              three of A's heartbeat periods, OPCHeartbeatTime + 1 s each);
//   activation from there to "side B is active" (B's CTI_OK_ACK to the set-active).
// Run the release build by hand.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/parlo/server/freeport.h"
#include "platform/clock.h"

namespace {

const std::string kBase = "ZUR\\parlo";
const std::string kCompany = "SOFTWARE\\Quenlo Systems, Inc.\\";

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "duplex_failover_load: %s\n", why.c_str());
    std::exit(1);
}

uint16_t FreeLoopbackPort() {
    const uint16_t port = FreePort();
    if (port == 0) Die("no free port");
    return port;
}

// A child process with its output on a pipe, run through env(1) with the node's variables.
class Proc {
public:
    Proc(const std::vector<std::string>& env, const std::vector<std::string>& argv) {
        int fds[2];
        if (::pipe(fds) != 0) Die("no pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<std::string> all{"/usr/bin/env"};
            all.insert(all.end(), env.begin(), env.end());
            all.insert(all.end(), argv.begin(), argv.end());
            std::vector<char*> args;
            for (auto& a : all) args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Proc() {
        Kill(SIGKILL);
        if (out_ >= 0) ::close(out_);
    }
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    void Kill(int sig) {
        if (pid_ <= 0) return;
        ::kill(pid_, sig);
        if (sig == SIGKILL) {
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    // Waits (at most ms) until the output holds text; returns the monotonic time at which
    // the text arrived, or -1.
    int64_t WaitText(const std::string& text, int ms = 60000) {
        const int64_t end = plat::DeadlineAfterMs(ms);
        for (;;) {
            const size_t at = all_.find(text);
            if (at != std::string::npos) {
                // The arrival of the read that brought it.
                auto it = std::upper_bound(reads_.begin(), reads_.end(), at,
                                           [](size_t a, const std::pair<size_t, int64_t>& r) {
                                               return a < r.first;
                                           });
                return it == reads_.end() ? plat::MonotonicNs() : it->second;
            }
            const int64_t left = (end - plat::MonotonicNs()) / 1000000;
            if (left <= 0 || out_ < 0) return -1;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) {
                ::close(out_);
                out_ = -1;
                continue;
            }
            all_.append(buf, static_cast<size_t>(n));
            reads_.emplace_back(all_.size(), plat::MonotonicNs());  // end offset, arrival
        }
    }
    const std::string& Output() const { return all_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string all_;
    std::vector<std::pair<size_t, int64_t>> reads_;
};

struct Node {
    std::filesystem::path dir;
    std::vector<std::string> env;
    std::unique_ptr<Proc> mds, parlo, opc;
};

void SetUpNode(Node& n, const std::string& name, int hbTime) {
    n.dir = std::filesystem::temp_directory_path() /
            ("parlo-failover-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(n.dir);
    std::filesystem::create_directories(n.dir / "run");
    n.env = {"PARLO_REGISTRY_ROOT=" + (n.dir / "registry").string(),
             "PARLO_RUN_DIR=" + (n.dir / "run").string(),
             "PARLO_NAMESPACE=failover" + std::to_string(::getpid()) + name};
    std::string prefix = "env";
    for (const auto& e : n.env) prefix += " '" + e + "'";
    const std::string reg = prefix + " " PARLO_REG_BIN " ";
    const std::string port = std::to_string(FreeLoopbackPort());
    if (std::system((reg + "import " PARLO_CONFIG_DIR "/*.reg >/dev/null").c_str()) != 0 ||
        std::system((reg + "set '" + kCompany + kBase +
                     "\\MDS\\CurrentVersion\\Process' MDSPort sz " + port + " >/dev/null")
                        .c_str()) != 0 ||
        std::system((reg + "set '" + kCompany + kBase +
                     "\\CG\\CurrentVersion\\Parlo\\Dynamic' OPCHeartbeatTime dword " +
                     std::to_string(hbTime) + " >/dev/null")
                        .c_str()) != 0)
        Die("cannot seed the registry of node " + name);
    n.mds = std::make_unique<Proc>(
        n.env, std::vector<std::string>{PARLO_MDS_BIN, "--port", port, "--instance", kBase});
    if (n.mds->WaitText("parlo-mds: listening", 10000) < 0) Die("no MDS on node " + name);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3, hbTime = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (a == "--hbtime" && i + 1 < argc) hbTime = std::atoi(argv[++i]);
        else Die("usage: duplex_failover_load [--runs N] [--hbtime S]");
    }
    if (runs < 1 || hbTime < 1) Die("runs and hbtime must be positive");
    const std::string watch = std::to_string((hbTime + 1) * 1000);
    for (int run = 1; run <= runs; ++run) {
        Node a, b;
        SetUpNode(a, "a", hbTime);
        SetUpNode(b, "b", hbTime);
        const auto rel = [](const std::filesystem::path& p) {
            return std::filesystem::relative(p, std::filesystem::current_path()).string();
        };
        a.parlo = std::make_unique<Proc>(a.env, std::vector<std::string>{
            PARLO_BIN, "parlo", "CLEAN", "DUPLEX", "A", rel(a.dir), "0", kBase});
        b.parlo = std::make_unique<Proc>(b.env, std::vector<std::string>{
            PARLO_BIN, "parlo", "CLEAN", "DUPLEX", "B", rel(b.dir), "0", kBase});
        const std::string port = std::to_string(FreeLoopbackPort());
        a.opc = std::make_unique<Proc>(a.env, std::vector<std::string>{
            PARLO_OPC_BIN, "--instance", kBase, "--duplex", port, "--watch", watch});
        if (a.opc->WaitText("parlo-opc: duplex: listening") < 0) Die("no controller");
        b.opc = std::make_unique<Proc>(b.env, std::vector<std::string>{
            PARLO_OPC_BIN, "--instance", kBase, "--join", port});
        if (a.opc->WaitText("parlo-opc: duplex: side B is standby") < 0 ||
            a.opc->WaitText("recv CTI_ACTIVE_HEART_BEAT_EVENT from 10") < 0)
            Die("the pair did not start:\n" + a.opc->Output());
        const int64_t killed = plat::MonotonicNs();
        a.parlo->Kill(SIGKILL);
        const int64_t detected = a.opc->WaitText("parlo-opc: duplex: side A sent no heartbeat");
        const int64_t active = a.opc->WaitText("parlo-opc: duplex: side B is active");
        if (detected < 0 || active < 0) Die("no failover:\n" + a.opc->Output());
        std::printf("run %d: kill to CTI_OK_ACK %.1f ms = detection %.1f ms + activation %.2f ms "
                    "(heartbeat period %s ms)\n",
                    run, (active - killed) / 1e6, (detected - killed) / 1e6, (active - detected) / 1e6,
                    watch.c_str());
        std::fflush(stdout);
        for (Node* n : {&b, &a}) {
            n->opc.reset();
            n->parlo.reset();
            n->mds.reset();
            std::filesystem::remove_all(n->dir);
            // Shared-memory sockets the killed processes left behind.
            const std::string ns = n->env[2].substr(n->env[2].find('=') + 1) + ".";
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec))
                if (e.path().filename().string().rfind(ns, 0) == 0) std::filesystem::remove(e.path(), ec);
        }
    }
    return 0;
}
