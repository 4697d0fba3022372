// parlo-opc: a stand-in for the peripheral controller (OPC). It registers with MDS as the
// client "opc", answers every CSTA request with its confirmation and runs a script of
// commands (see opc_standin.h) from a file or standard input.
//
//   parlo-opc --instance PATH [--script FILE|-] [--peer NAME] [--trace]
//             [--start [--side A|B] [--hb S] [--heartbeat MS]] [--control FIFO]
//   parlo-opc --instance PATH --duplex PORT [--hb S] [--heartbeat MS] [--watch MS]
//             [--client-type N]
//   parlo-opc --instance PATH --join PORT
//   parlo-opc --write-corpus DIR
//
// --peer names the MDS client that scripted messages go to ("parlo" by default); answers go
// to the sender of each request. --trace adds the bytes of every message as a hex line.
// --start (without a script) runs the normal start: set-idle, table 11 with one
// peripheral, table 0, set-active for the side (A by default) with heartbeat time S
// (5), then CTI_HEART_BEAT_EVENT every MS (1000).
// --control runs each line written into FIFO (a named pipe, made when missing) as a script,
// beside whatever else it does: `echo 'pg-status' > FIFO`.
// --duplex makes it the peripheral controller of a duplex pair (duplex.h): this node's
// server is side A, side B's node runs a parlo-opc with --join PORT that relays between its
// server and this one over 127.0.0.1:PORT. --watch is side A's (and B's) heartbeat period
// (6000), --client-type the ClientType of the table-11 peripheral (30: B stands by).
// --write-corpus writes one message of every kind the stand-in sends into DIR and exits.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "nuvlib/mds/mds.h"
#include "peers/opc/duplex.h"
#include "peers/opc/duplex_link.h"
#include "peers/opc/opc_corpus.h"
#include "peers/opc/opc_standin.h"
#include "platform/clock.h"

namespace {

std::mutex g_mu;
std::condition_variable g_cv;
bool g_inService = false;
opcpeer::StandIn* g_standIn = nullptr;
// Duplex: the controller (side A's node) or the relay (side B's node).
opcpeer::Duplex* g_duplex = nullptr;
opcpeer::DuplexLink* g_relay = nullptr;
uint8_t g_serverHandle = 0xFF;
// The stand-in's name for side B's server, which it reaches over the duplex link.
constexpr uint8_t kLinkHandle = 0xFE;

// One whole line at a time, from the script and the receive thread alike.
void PrintLine(const std::string& line) {
    static std::mutex mu;
    std::lock_guard<std::mutex> g(mu);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

int OnStatus(const uint8_t* header, uint8_t* payload) {
    MDSHeader h = MDSDecodeHeader(header);
    (void)payload;
    if (h.messageClass != 0) {
        PrintLine("parlo-opc: recv class " + std::to_string(h.messageClass) + " type " +
                  std::to_string(h.messageType) + " from " + std::to_string(h.sender) +
                  " (not handled)");
        return 0;
    }
    if (h.messageType == MDS_STATUS_IN_SERVICE) {
        PrintLine("parlo-opc: in service");
        {
            std::lock_guard<std::mutex> g(g_mu);
            g_inService = true;
        }
        g_cv.notify_all();
    } else if (h.messageType == MDS_STATUS_OUT_OF_SERVICE) {
        PrintLine("parlo-opc: out of service");
        std::lock_guard<std::mutex> g(g_mu);
        g_inService = false;
    }
    return 0;
}

int OnOpcMessage(const uint8_t* header, uint8_t* payload) {
    MDSHeader h = MDSDecodeHeader(header);
    if (g_relay) {
        if (!g_relay->Send(h.messageType, std::vector<uint8_t>(payload, payload + h.length)))
            PrintLine("parlo-opc: duplex: type " + std::to_string(h.messageType) +
                      " not relayed");
        return 0;
    }
    g_standIn->OnMessage(h.sender, h.messageType, payload, h.length);
    if (g_duplex && h.sender == g_serverHandle)
        g_duplex->OnMessage(opcpeer::Duplex::kSideA, h.messageType, payload, h.length);
    return 0;
}

void WaitInService() {
    std::unique_lock<std::mutex> lock(g_mu);
    plat::WaitUntil(g_cv, lock, plat::kNoDeadline, [] { return g_inService; });
}

bool SendToMds(uint8_t destination, uint8_t type, const std::vector<uint8_t>& payload) {
    void* buf = MDSAllocBuffer(static_cast<uint32_t>(payload.size()));
    if (!buf) return false;
    std::memcpy(buf, payload.data(), payload.size());
    // The library owns the buffer once the send is accepted or refused for its length.
    return MDSSendOutput(destination, opcpeer::kMdsClassOpc, type, buf,
                         static_cast<uint16_t>(payload.size())) == 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string instance, script, peer = "parlo", control;
    bool trace = false, start = false;
    opcpeer::StandIn::StartOptions startOptions;
    opcpeer::Duplex::Options duplexOptions;
    int duplexPort = 0, joinPort = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--instance" && i + 1 < argc) instance = argv[++i];
        else if (a == "--script" && i + 1 < argc) script = argv[++i];
        else if (a == "--peer" && i + 1 < argc) peer = argv[++i];
        else if (a == "--trace") trace = true;
        else if (a == "--start") start = true;
        else if (a == "--control" && i + 1 < argc) control = argv[++i];
        else if (a == "--side" && i + 1 < argc) startOptions.side = std::string(argv[++i]) == "B" ? 0 : 1;
        else if (a == "--hb" && i + 1 < argc) startOptions.hbSeconds = static_cast<uint32_t>(std::atoi(argv[++i]));
        else if (a == "--heartbeat" && i + 1 < argc) startOptions.heartbeatMs = static_cast<uint32_t>(std::atoi(argv[++i]));
        else if (a == "--duplex" && i + 1 < argc) duplexPort = std::atoi(argv[++i]);
        else if (a == "--join" && i + 1 < argc) joinPort = std::atoi(argv[++i]);
        else if (a == "--watch" && i + 1 < argc) duplexOptions.watchMs = static_cast<uint32_t>(std::atoi(argv[++i]));
        else if (a == "--client-type" && i + 1 < argc) duplexOptions.clientType = static_cast<uint32_t>(std::atoi(argv[++i]));
        else if (a == "--write-corpus" && i + 1 < argc) {
            std::string error;
            if (!opcpeer::WriteCorpus(argv[++i], &error)) {
                std::fprintf(stderr, "parlo-opc: %s\n", error.c_str());
                return 1;
            }
            return 0;
        }
        else {
            std::fprintf(stderr,
                         "usage: parlo-opc --instance PATH [--script FILE|-] [--peer NAME] "
                         "[--trace] [--start [--side A|B] [--hb S] [--heartbeat MS]] "
                         "[--control FIFO]\n"
                         "       parlo-opc --instance PATH --duplex PORT [--hb S] "
                         "[--heartbeat MS] [--watch MS] [--client-type N]\n"
                         "       parlo-opc --instance PATH --join PORT\n"
                         "       parlo-opc --write-corpus DIR\n");
            return 2;
        }
    }
    if (instance.empty()) {
        std::fprintf(stderr, "parlo-opc: --instance is required\n");
        return 2;
    }
    if (duplexPort < 0 || duplexPort > 65535 || joinPort < 0 || joinPort > 65535 ||
        (duplexPort && joinPort)) {
        std::fprintf(stderr, "parlo-opc: bad --duplex or --join port\n");
        return 2;
    }
    std::unique_ptr<std::ifstream> file;
    if (!script.empty() && script != "-") {
        file = std::make_unique<std::ifstream>(script);
        if (!*file) {
            std::fprintf(stderr, "parlo-opc: cannot read %s\n", script.c_str());
            return 2;
        }
    }
    MDSClientParams params{1, "opc", 0, instance.c_str(), OnStatus, OnStatus};
    uint8_t handle = 0xFF;
    const uint32_t r = MDSRegisterClient(&params, &handle);
    if (r != 0 && r != MDS_S_REGISTERED) {
        std::fprintf(stderr, "parlo-opc: registration failed (0x%08X)\n", r);
        return 1;
    }
    const uint8_t peerHandle = MDSGetHandle(peer.c_str());
    if (peerHandle == 0xFF) PrintLine("parlo-opc: no MDS client named " + peer);
    g_serverHandle = peerHandle;
    opcpeer::DuplexLink link;
    auto send = [&link](uint8_t destination, uint8_t type, const std::vector<uint8_t>& payload) {
        return destination == kLinkHandle ? link.Send(type, payload)
                                          : SendToMds(destination, type, payload);
    };
    opcpeer::StandIn standIn(send, PrintLine, peerHandle);
    standIn.SetTrace(trace);
    g_standIn = &standIn;
    if (!MDSSetMessageHandler(opcpeer::kMdsClassOpc, OnOpcMessage)) {
        std::fprintf(stderr, "parlo-opc: cannot install the message handler\n");
        return 1;
    }
    PrintLine("parlo-opc: registered as opc, handle " + std::to_string(handle));
    std::thread runner;
    std::unique_ptr<opcpeer::Duplex> duplex;
    if (joinPort) {
        g_relay = &link;
        runner = std::thread([&link, joinPort, peerHandle] {
            WaitInService();
            if (!link.Connect(static_cast<uint16_t>(joinPort), 600, 100)) {
                PrintLine("parlo-opc: duplex: no controller on port " + std::to_string(joinPort));
                std::_Exit(1);
            }
            PrintLine("parlo-opc: duplex: joined the controller on port " +
                      std::to_string(joinPort));
            uint8_t type = 0;
            std::vector<uint8_t> payload;
            while (link.Receive(&type, &payload))
                if (!SendToMds(peerHandle, type, payload))
                    PrintLine("parlo-opc: duplex: type " + std::to_string(type) + " not delivered");
            PrintLine("parlo-opc: duplex: the controller left");
            std::_Exit(1);
        });
        runner.detach();
    } else if (duplexPort) {
        if (!link.Listen(static_cast<uint16_t>(duplexPort))) {
            std::fprintf(stderr, "parlo-opc: cannot listen on port %d\n", duplexPort);
            return 1;
        }
        PrintLine("parlo-opc: duplex: listening on port " + std::to_string(duplexPort));
        duplexOptions.hbSeconds = startOptions.hbSeconds;
        duplexOptions.heartbeatMs = startOptions.heartbeatMs;
        duplex = std::make_unique<opcpeer::Duplex>(
            [&link, peerHandle](int side, uint8_t type, const std::vector<uint8_t>& payload) {
                return side == opcpeer::Duplex::kSideA ? SendToMds(peerHandle, type, payload)
                                                       : link.Send(type, payload);
            },
            PrintLine, duplexOptions);
        g_duplex = duplex.get();
        std::thread([&link, &standIn] {
            while (link.Accept()) {
                PrintLine("parlo-opc: duplex: side B joined");
                uint8_t type = 0;
                std::vector<uint8_t> payload;
                while (link.Receive(&type, &payload)) {
                    standIn.OnMessage(kLinkHandle, type, payload.data(), payload.size());
                    g_duplex->OnMessage(opcpeer::Duplex::kSideB, type, payload.data(),
                                        payload.size());
                }
                PrintLine("parlo-opc: duplex: side B left");
            }
        }).detach();
        runner = std::thread([] {
            WaitInService();
            g_duplex->Start();
        });
        runner.detach();
    } else if (start && script.empty()) {
        runner = std::thread([&] {
            {
                std::unique_lock<std::mutex> lock(g_mu);
                plat::WaitUntil(g_cv, lock, plat::kNoDeadline, [] { return g_inService; });
            }
            (void)standIn.RunStart(startOptions);
        });
        runner.detach();
    } else if (!script.empty()) {
        runner = std::thread([&] {
            {
                // Messages sent before MDS puts us in service would be dropped.
                std::unique_lock<std::mutex> lock(g_mu);
                plat::WaitUntil(g_cv, lock, plat::kNoDeadline, [] { return g_inService; });
            }
            const bool go = file ? standIn.RunScript(*file) : standIn.RunScript(std::cin);
            if (!go) {
                MDSStopClient(0);
                std::_Exit(0);
            }
        });
        runner.detach();
    }
    if (!control.empty()) {
        if (mkfifo(control.c_str(), 0600) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "parlo-opc: cannot make %s\n", control.c_str());
            return 2;
        }
        std::thread([&standIn, control] {
            {
                std::unique_lock<std::mutex> lock(g_mu);
                plat::WaitUntil(g_cv, lock, plat::kNoDeadline, [] { return g_inService; });
            }
            // Held open for reading and writing, the pipe never reads as ended and keeps what a
            // writer leaves in it; each whole line runs as a script of its own.
            const int fd = ::open(control.c_str(), O_RDWR);
            if (fd < 0) {
                PrintLine("parlo-opc: cannot read " + control);
                return;
            }
            std::string pending;
            char chunk[4096];
            for (;;) {
                const ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                pending.append(chunk, static_cast<size_t>(n));
                size_t end;
                while ((end = pending.find('\n')) != std::string::npos) {
                    std::istringstream line(pending.substr(0, end + 1));
                    pending.erase(0, end + 1);
                    (void)standIn.RunScript(line);
                }
                // A line that never ends is not a command: keep the memory bounded.
                if (pending.size() > 65536) pending.clear();
            }
            ::close(fd);
        }).detach();
    }
    MDSStartClient();
    std::fprintf(stderr, "parlo-opc: the MDS client ended\n");
    return 1;
}
