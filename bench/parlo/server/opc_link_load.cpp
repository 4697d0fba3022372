// opc_link_load [--tcp] [--count N] [--writes N] [--window N]
//
// The OPC link under load, through the stand-in MDS (a child process on a loopback port of
// its own, in a registry of its own). A forked child plays the OPC: it registers as "opc"
// and sends CTI_HEART_BEAT_EVENT to the server's handle as the stand-in OPC does; this
// process is the server's side: a Server object and the link's input manager, registered
// as "parlo". Reported:
//   - OPC messages per second that reach the server's OPC dispatch (meter 17);
//   - messages per second the writers send back through MDS to the OPC (CTI_ACTIVE_HEART_BEAT_EVENT
//     and CTI_CSTA_MESSAGE), counted where the OPC receives them.
// At most `window` messages are in flight (the receiving side reports its count through a
// pipe), so neither end queues without bound. --tcp makes both links TCP (else shared
// memory, IMT). Run the release build by hand.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/parlo/server/freeport.h"
#include "mdstimer/timer.h"
#include "nuvlib/emt/emt.h"
#include "nuvlib/mds/mds.h"
#include "nuvlib/mds/mdsinternal.h"
#include "opcmsg/cstarequests.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/opclink/mdsio.h"
#include "opcmsg/opctypes.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/server/server.h"
#include "platform/byteorder.h"
#include "platform/clock.h"

namespace {

const char* const kBase = "ZUR\\parlo";
constexpr uint8_t kOPCClass = 17;

struct Options {
    bool tcp = false;
    uint64_t count = 1000000;
    uint64_t writes = 200000;
    uint64_t window = 4000;
};

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "opc_link_load: %s\n", why.c_str());
    std::exit(1);
}

int Run(const std::string& command) { return std::system(command.c_str()); }

uint16_t FreeLoopbackPort() {
    const uint16_t port = FreePort();
    if (port == 0) Die("no free port");
    return port;
}

// A node of its own: registry, run directory and namespace under a fresh directory.
std::string MakeNode(uint16_t port) {
    char dir[] = "/tmp/parlo-load-XXXXXX";
    if (!::mkdtemp(dir)) Die("no temporary directory");
    const std::string root = dir;
    ::setenv("PARLO_REGISTRY_ROOT", (root + "/registry").c_str(), 1);
    ::setenv("PARLO_RUN_DIR", (root + "/run").c_str(), 1);
    ::setenv("PARLO_NAMESPACE", ("load" + std::to_string(::getpid())).c_str(), 1);
    const std::string reg = PARLO_REG_BIN;
    if (Run(reg + " import " PARLO_CONFIG_DIR "/*.reg >/dev/null") != 0 ||
        Run(reg + " set 'SOFTWARE\\Quenlo Systems, Inc.\\ZUR\\parlo\\MDS\\CurrentVersion\\Process'"
                  " MDSPort sz " + std::to_string(port) + " >/dev/null") != 0)
        Die("cannot seed the registry");
    return root;
}

// The stand-in MDS with its output on a pipe; waits for its "listening" line.
struct Mds {
    pid_t pid = -1;
    int out = -1;
    std::string seen;
    bool WaitText(const std::string& text) {
        char buf[4096];
        while (seen.find(text) == std::string::npos) {
            const ssize_t n = ::read(out, buf, sizeof buf);
            if (n <= 0) return false;
            seen.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
};

Mds StartMds(uint16_t port, bool tcp) {
    int fds[2];
    if (::pipe(fds) != 0) Die("no pipe");
    Mds m;
    m.pid = ::fork();
    if (m.pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        const std::string p = std::to_string(port);
        if (tcp)
            ::execl(PARLO_MDS_BIN, PARLO_MDS_BIN, "--port", p.c_str(), "--instance", kBase,
                    "--tcp-only", static_cast<char*>(nullptr));
        else
            ::execl(PARLO_MDS_BIN, PARLO_MDS_BIN, "--port", p.c_str(), "--instance", kBase,
                    static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    m.out = fds[0];
    if (!m.WaitText("parlo-mds: listening")) Die("the stand-in MDS did not start");
    return m;
}

void WriteCount(int fd, uint64_t n) {
    if (::write(fd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) {
        // The other end is gone: the run is over.
    }
}

// The other end's count, read from a pipe; a sender waits on it while its window is full.
class Count {
public:
    uint64_t Get() {
        std::lock_guard<std::mutex> g(mu_);
        return n_;
    }
    void Set(uint64_t n) {
        {
            std::lock_guard<std::mutex> g(mu_);
            n_ = n;
        }
        cv_.notify_all();
    }
    // Waits until the count reaches `n`.
    void WaitFor(uint64_t n) {
        std::unique_lock<std::mutex> lock(mu_);
        plat::WaitUntil(cv_, lock, plat::kNoDeadline, [&] { return n_ >= n; });
    }
    // Reads counts from `fd` until the pipe closes.
    std::thread Reader(int fd) {
        return std::thread([this, fd] {
            uint64_t n = 0;
            while (::read(fd, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) Set(n);
        });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    uint64_t n_ = 0;
};

// ---- The OPC's side (the forked child) ------------------------------------------------

std::atomic<bool> g_opcInService{false};
std::atomic<uint64_t> g_opcReceived{0};
int g_opcReport = -1;
uint64_t g_opcWrites = 0;  // messages in each writer's run

int OpcStatus(const uint8_t* header, uint8_t*) {
    if (MDSDecodeHeader(header).messageType == MDS_STATUS_IN_SERVICE) g_opcInService = true;
    return 1;
}

int OpcMessage(const uint8_t*, uint8_t*) {
    const uint64_t n = g_opcReceived.fetch_add(1) + 1;
    if ((n & 255) == 0 || n % g_opcWrites == 0) WriteCount(g_opcReport, n);
    return 1;
}

[[noreturn]] void RunOpc(const Options& o, int fromServer, int toServer) {
    if (o.tcp) MDSSetEmtConnectFlags(EMT_FLAG_TCP_ONLY);
    g_opcReport = toServer;
    g_opcWrites = o.writes ? o.writes : 1;
    MDSClientParams params{1, "opc", 1, kBase, OpcStatus, OpcStatus};
    uint8_t handle = 0;
    if (MDSRegisterClient(&params, &handle) != 0) Die("opc: registration failed");
    if (!MDSSetMessageHandler(kOPCClass, OpcMessage)) Die("opc: no handler");
    std::thread([] { MDSStartClient(); }).detach();
    const uint8_t parlo = MDSGetHandle("parlo");
    while (!g_opcInService.load()) plat::SleepForMs(1);
    // The server's first count says both links are in service: the run begins.
    uint64_t first = 0;
    if (::read(fromServer, &first, sizeof first) != static_cast<ssize_t>(sizeof first)) std::_Exit(0);
    Count dispatched;
    std::thread reader = dispatched.Reader(fromServer);
    for (uint64_t sent = 0; sent < o.count;) {
        if (sent >= o.window) dispatched.WaitFor(sent - o.window + 1);
        void* buf = MDSAllocBuffer(4);
        if (!buf) Die("opc: no buffer");
        plat::StoreLE32(static_cast<uint8_t*>(buf), 3);  // ServerNumber
        if (MDSSendOutput(parlo, kOPCClass, CTI_HEART_BEAT_EVENT, buf, 4) != 1) Die("opc: send failed");
        ++sent;
    }
    reader.join();  // the server closes the pipe when it is done
    std::_Exit(0);
}

// ---- The server's side ----------------------------------------------------------------

double PerSecond(uint64_t n, int64_t ns) { return ns > 0 ? n * 1e9 / static_cast<double>(ns) : 0; }

template <typename Write>
void Writers(const char* name, const Options& o, Count& received, Write write,
             const char* transport) {
    const uint64_t base = received.Get();
    const int64_t t0 = plat::MonotonicNs();
    for (uint64_t sent = 0; sent < o.writes;) {
        if (sent >= o.window) received.WaitFor(base + sent - o.window + 1);
        if (!write()) Die(std::string("the writer of ") + name + " failed");
        ++sent;
    }
    received.WaitFor(base + o.writes);
    const int64_t ns = plat::MonotonicNs() - t0;
    std::printf("writers over %s: %llu %s in %.0f ms: %.0f messages/s\n", transport,
                static_cast<unsigned long long>(o.writes), name, ns / 1e6, PerSecond(o.writes, ns));
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--tcp") o.tcp = true;
        else if (a == "--count" && i + 1 < argc) o.count = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--writes" && i + 1 < argc) o.writes = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--window" && i + 1 < argc) o.window = std::strtoull(argv[++i], nullptr, 10);
        else Die("usage: opc_link_load [--tcp] [--count N] [--writes N] [--window N]");
    }
    if (o.count == 0 || o.window == 0) Die("count and window must be positive");
    const char* transport = o.tcp ? "TCP" : "IMT";
    const uint16_t port = FreeLoopbackPort();
    const std::string root = MakeNode(port);
    Mds mds = StartMds(port, o.tcp);
    int toOpc[2], toServer[2];
    if (::pipe(toOpc) != 0 || ::pipe(toServer) != 0) Die("no pipe");
    const pid_t opc = ::fork();
    if (opc == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(toOpc[1]);
        ::close(toServer[0]);
        RunOpc(o, toOpc[0], toServer[1]);
    }
    ::close(toOpc[0]);
    ::close(toServer[1]);

    const uint64_t now = plat::FileTimeNow();
    TimerMaster::Create(now, now, false, 0);
    auto* server = new Server;
    auto* registry = new CTIRegistry;
    registry->SetDynamic(CTIRegistry::MaxLockTimeout, 500);
    server->SetRegistry(registry);
    server->ResetMeters();
    if (o.tcp) MDSSetEmtConnectFlags(EMT_FLAG_TCP_ONLY);
    std::thread([] { MDSIO::CTIInputManager("parlo", kBase, 1, 1); }).detach();
    if (!mds.WaitText("client 10 (parlo) in service")) Die("the server's link did not come up");
    Count opcReceived;
    std::thread reader = opcReceived.Reader(toServer[0]);
    if (!mds.WaitText("client 11 (opc) in service")) Die("the OPC's link did not come up");

    // OPC to the server's dispatch.
    const int64_t t0 = plat::MonotonicNs();
    WriteCount(toOpc[1], 0);
    uint64_t last = 0;
    while (last < o.count) {
        plat::SleepForMs(1);
        const uint64_t got = static_cast<uint64_t>(server->GetMeter(17));
        if (got != last) WriteCount(toOpc[1], last = got);
    }
    const int64_t ns = plat::MonotonicNs() - t0;
    std::printf("OPC to dispatch over %s: %llu CTI_HEART_BEAT_EVENT in %.0f ms: %.0f messages/s "
                "(window %llu)\n",
                transport, static_cast<unsigned long long>(o.count), ns / 1e6, PerSecond(o.count, ns),
                static_cast<unsigned long long>(o.window));

    // The writers back to the OPC (meter 17 counts these too).
    if (o.writes > 0) {
        MDSIO::SetServerNumber(3);
        Writers("CTI_ACTIVE_HEART_BEAT_EVENT", o, opcReceived,
                [] { return SendActiveHeartBeatEvent(3); }, transport);
        TPCSTAHoldCallMsg hold(5000, 0x0100000A, 0x33);
        Writers("CTI_CSTA_MESSAGE", o, opcReceived, [&] {
            return SendCSTAMessage(nullptr, -1, nullptr, hold, nullptr, kNoSession);
        }, transport);
    }
    std::fflush(stdout);
    ::kill(opc, SIGKILL);
    ::waitpid(opc, nullptr, 0);
    // Stopped first, so that the stand-in's stop does not end this process as MDS out of
    // service would.
    MDSStopClient(0);
    ::kill(mds.pid, SIGTERM);
    ::waitpid(mds.pid, nullptr, 0);
    Run("rm -rf '" + root + "'");
    // The named objects of this run's namespace.
    Run(std::string("rm -f /dev/shm/") + std::getenv("PARLO_NAMESPACE") + ".*");
    std::_Exit(0);
}
