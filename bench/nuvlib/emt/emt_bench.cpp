// Messages of 256 bytes from one MDS client to another through the stand-in MDS, over
// shared memory and over TCP, beside a raw loopback TCP ping-pong of the same size.
//
// Each MDS case runs three processes: parlo-mds, an echo client and a sending client
// (this program again, in its --echo and --send modes), because a process registers once.
// Counters: msgs_per_s one way (sender to receiver, the receiver only counts), and the
// round-trip latency median and 99th percentile in microseconds.
#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "nuvlib/mds/mds.h"
#include "nuvlib/mds/mdsinternal.h"
#include "platform/byteorder.h"
#include "platform/registry.h"

namespace {

constexpr uint16_t kSize = 256;
constexpr int kOneWay = 200000;
constexpr int kRoundTrips = 20000;
const char* kInstance = "ZUR\\Bench";
using Clock = std::chrono::steady_clock;

// ----- environment ---------------------------------------------------------------------

void SetString(plat::RegKey k, const char* name, const std::string& v) {
    plat::RegSetValue(k, name, plat::REG_SZ, v.c_str(), static_cast<uint32_t>(v.size() + 1));
}
void SetDword(plat::RegKey k, const char* name, uint32_t v) {
    plat::RegSetValue(k, name, plat::REG_DWORD, &v, 4);
}
void Key(const std::string& path, const std::vector<std::pair<const char*, uint32_t>>& dwords,
         const std::vector<std::pair<const char*, std::string>>& texts = {}) {
    plat::RegKey k = nullptr;
    if (plat::RegCreateKey(plat::RegRoot(), ("SOFTWARE\\Quenlo Systems, Inc.\\" + path).c_str(), &k) != 0)
        return;
    for (auto& [n, v] : dwords) SetDword(k, n, v);
    for (auto& [n, v] : texts) SetString(k, n, v);
    plat::RegCloseKey(k);
}

std::string g_root;  // removed when the program ends

uint16_t SetUpEnvironment() {
    static uint16_t port = 0;
    if (port) return port;
    char dir[] = "/tmp/parlo-emt-bench-XXXXXX";
    std::string root = mkdtemp(dir);
    g_root = root;
    std::string reg = root + "/registry", run = root + "/run";
    std::system(("mkdir -p " + reg + " " + run).c_str());
    setenv("PARLO_REGISTRY_ROOT", reg.c_str(), 1);
    setenv("PARLO_RUN_DIR", run.c_str(), 1);
    setenv("PARLO_NAMESPACE", ("bench" + std::to_string(getpid())).c_str(), 1);
    port = static_cast<uint16_t>(47000 + getpid() % 2000);
    Key("ZUR\\SystemSettings\\MBufMemLimit", {{"TotalLimitInPctOfRAM", 10}, {"MinTotalLimit", 256},
                                               {"MBufLimitTblRecs", 64}, {"ShrinkThresInUsagePct", 50}});
    Key("ZUR\\SystemSettings\\MBufMemLimit\\Increment\\Process", {{"Other", 1048576}});
    Key("ZUR\\SystemSettings\\MBufMemLimit\\Initial\\Process", {{"Other", 16777216}});
    Key("ZUR\\SystemSettings\\MBufMemLimit\\MaxInPctOfTotalLimit\\Process", {{"Other", 50}});
    Key("ZUR\\CurrentVersion", {{"InstanceNumber", 0}});
    Key(std::string(kInstance) + "\\DMP\\CurrentVersion", {{"SystemID", 1}});
    Key(std::string(kInstance) + "\\MDS\\CurrentVersion\\Process", {},
        {{"Node", "127.0.0.1"}, {"MDSPort", std::to_string(port)},
         {"StateXferPort", std::to_string(port + 1)}});
    for (auto [name, handle] : {std::pair{"sender", 10u}, std::pair{"echo", 11u}})
        Key(std::string(kInstance) + "\\MDS\\CurrentVersion\\Clients\\" + name,
            {{"Handle", handle}, {"HeartBeatInterval", 10}, {"Synchronized", 0},
             {"EnablePerformanceMonitor", std::getenv("PARLO_BENCH_PERFMON") ? 1u : 0u}},
            {{"Node", "127.0.0.1"}});
    return port;
}

struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string buf;
    explicit Child(std::vector<std::string> argv) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char*> a;
            for (auto& s : argv) a.push_back(s.data());
            a.push_back(nullptr);
            execv(a[0], a.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
    }
    ~Child() {
        if (pid > 0) {
            // A clean stop first, so that nothing is left in shared memory.
            kill(pid, SIGTERM);
            for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) usleep(20000);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }
    std::string Line(const std::string& prefix, int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t nl;
            while ((nl = buf.find('\n')) != std::string::npos) {
                std::string l = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                if (l.rfind(prefix, 0) == 0) return l;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return "";
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char t[512];
            ssize_t n = read(out, t, sizeof t);
            if (n <= 0) return "";
            buf.append(t, static_cast<size_t>(n));
        }
    }
};

// ----- the two MDS clients ------------------------------------------------------------

std::mutex g_mu;
std::condition_variable g_cv;
int g_inService = 0;
int g_replies = 0;
uint32_t g_count = 0;

int Status(const uint8_t* h, uint8_t*) {
    if (h[14] == 0 && h[15] == MDS_STATUS_IN_SERVICE) {
        std::lock_guard<std::mutex> l(g_mu);
        ++g_inService;
        g_cv.notify_all();
        std::printf("INSERVICE\n");
        std::fflush(stdout);
    }
    return 0;
}

// Echo side: type 1 goes back, type 2 is only counted, type 3 answers with the count.
int EchoData(const uint8_t* h, uint8_t* payload) {
    MDSHeader m = MDSDecodeHeader(h);
    if (m.messageType == 1) {
        (void)MDSSendOutput(m.sender, 17, 1, payload, m.length);
    } else if (m.messageType == 2) {
        ++g_count;
    } else if (m.messageType == 3) {
        plat::StoreLE32(payload, g_count);
        g_count = 0;
        (void)MDSSendOutput(m.sender, 17, 3, payload, m.length);
    }
    return 0;
}

int SenderData(const uint8_t*, uint8_t*) {
    std::lock_guard<std::mutex> l(g_mu);
    ++g_replies;
    g_cv.notify_all();
    return 0;
}

bool Register(const char* name, bool tcp, MDSHandler data) {
    if (tcp) MDSSetEmtConnectFlags(1);
    MDSClientParams p{1, name, 0, kInstance, Status, Status};
    uint8_t handle = 0;
    if (MDSRegisterClient(&p, &handle) != 0) return false;
    if (!MDSSetMessageHandler(17, data)) return false;
    return true;
}

int EchoMain(bool tcp) {
    if (!Register("echo", tcp, EchoData)) return 1;
    MDSStartClient();
    return 1;
}

void WaitReplies(int n) {
    std::unique_lock<std::mutex> l(g_mu);
    g_cv.wait_for(l, std::chrono::seconds(60), [n] { return g_replies >= n; });
}

int SendMain(bool tcp) {
    if (!Register("sender", tcp, SenderData)) return 1;
    std::thread([] { MDSStartClient(); }).detach();
    {
        std::unique_lock<std::mutex> l(g_mu);
        if (!g_cv.wait_for(l, std::chrono::seconds(20), [] { return g_inService > 0; })) return 1;
    }
    auto send = [](uint8_t type) {
        void* p = MDSAllocBuffer(kSize);
        std::memset(p, type, kSize);
        (void)MDSSendOutput(11, 17, type, p, kSize);
    };
    // One way: the sender's output queue is drained by its output thread as fast as the
    // links take the frames; the echo side confirms the count at the end.
    auto t0 = Clock::now();
    for (int i = 0; i < kOneWay; ++i) {
        send(2);
        // Keep the output queue from holding every message at once.
        if ((i & 1023) == 1023) {
            send(3);
            WaitReplies(g_replies + 1);
        }
    }
    int base = g_replies;
    send(3);
    WaitReplies(base + 1);
    double oneWay = std::chrono::duration<double>(Clock::now() - t0).count();

    std::vector<double> rtt;
    rtt.reserve(kRoundTrips);
    for (int i = 0; i < kRoundTrips; ++i) {
        int want = g_replies + 1;
        auto s = Clock::now();
        send(1);
        WaitReplies(want);
        rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
    }
    std::sort(rtt.begin(), rtt.end());
    std::printf("RESULT %.0f %.2f %.2f %.6f\n", kOneWay / oneWay, rtt[rtt.size() / 2],
                rtt[rtt.size() * 99 / 100], oneWay);
    std::fflush(stdout);
    return 0;
}

std::string g_self;

void BM_MdsThroughStandIn(benchmark::State& state) {
    const bool tcp = state.range(0) != 0;
    uint16_t port = SetUpEnvironment();
    for (auto _ : state) {
        Child mds({PARLO_MDS_BIN, "--port", std::to_string(port), "--instance", kInstance});
        if (mds.Line("parlo-mds: listening", 10000).empty()) {
            state.SkipWithError("parlo-mds did not start");
            return;
        }
        std::string t = tcp ? "tcp" : "imt";
        Child echo({g_self, "--echo", t});
        if (echo.Line("INSERVICE", 20000).empty()) {
            state.SkipWithError("echo client not in service");
            return;
        }
        Child sender({g_self, "--send", t});
        std::string r = sender.Line("RESULT", 120000);
        double rate = 0, median = 0, p99 = 0, secs = 1;
        if (std::sscanf(r.c_str(), "RESULT %lf %lf %lf %lf", &rate, &median, &p99, &secs) != 4) {
            state.SkipWithError("no result from the sender");
            return;
        }
        state.SetIterationTime(secs);
        state.counters["msgs_per_s"] = rate;
        state.counters["rtt_median_us"] = median;
        state.counters["rtt_p99_us"] = p99;
    }
}
BENCHMARK(BM_MdsThroughStandIn)->ArgName("tcp")->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same sizes over a plain loopback TCP connection, without EMT or MDS.
void BM_RawTcpPingPong(benchmark::State& state) {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    listen(l, 1);
    int c = socket(AF_INET, SOCK_STREAM, 0);
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int s = accept(l, nullptr, nullptr);
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto readAll = [](int fd, char* b, size_t n) {
        size_t got = 0;
        while (got < n) {
            ssize_t r = recv(fd, b + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    };
    std::thread echo([&] {
        char b[kSize];
        // Type byte 1: echo; 2: count only; 3: answer.
        while (readAll(s, b, kSize)) {
            if (b[0] == 2) continue;
            send(s, b, kSize, 0);
        }
    });
    char b[kSize];
    std::vector<double> rtt;
    for (auto _ : state) {
        std::memset(b, 1, kSize);
        auto t = Clock::now();
        send(c, b, kSize, 0);
        readAll(c, b, kSize);
        rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    auto t0 = Clock::now();
    std::memset(b, 2, kSize);
    for (int i = 0; i < kOneWay; ++i) send(c, b, kSize, 0);
    std::memset(b, 3, kSize);
    send(c, b, kSize, 0);
    readAll(c, b, kSize);
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    shutdown(c, SHUT_RDWR);
    echo.join();
    close(c);
    close(s);
    close(l);
    std::sort(rtt.begin(), rtt.end());
    state.counters["msgs_per_s"] = kOneWay / secs;
    state.counters["rtt_median_us"] = rtt[rtt.size() / 2];
    state.counters["rtt_p99_us"] = rtt[rtt.size() * 99 / 100];
}
BENCHMARK(BM_RawTcpPingPong)->Iterations(kRoundTrips);

}  // namespace

int main(int argc, char** argv) {
    g_self = argv[0];
    if (argc > 2 && !std::strcmp(argv[1], "--echo"))
        return EchoMain(!std::strcmp(argv[2], "tcp"));
    if (argc > 2 && !std::strcmp(argv[1], "--send"))
        return SendMain(!std::strcmp(argv[2], "tcp"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_root.empty()) std::filesystem::remove_all(g_root);
    return 0;
}
