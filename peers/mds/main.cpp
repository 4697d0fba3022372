// parlo-mds: a stand-in for the node's message delivery service. It listens for EMT
// connections (TCP on a loopback port, and shared memory), takes client registrations,
// puts each started client in service, routes data frames between the registered clients
// by handle, answers stop, and takes a client out of service when its link goes.
//
//   parlo-mds [--port N] [--instance PATH] [--tcp-only] [--trace]
//
// --trace prints one line for every data frame taken from a client, with its header.
// Input messages (destination 1) of class 17 are the server's messages to OPC when the
// instance configures a client named "opc": they go to that client, and only to it, while
// it is in service. Other input (and class 17 where no "opc" is configured) comes back to
// its sender, stamped either way, as a simplex MDS orders it. Output messages go to the
// client with the destination handle; checkpoints end here. A message whose client is not
// in service is dropped with a line that says so: it never goes to another client. On
// SIGTERM or SIGINT every client is told it is out of service.
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nuvlib/emt/emt.h"
#include "nuvlib/mds/mds.h"
#include "nuvlib/emsseams.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/registry.h"

namespace {

std::atomic<bool> g_stop{false};
bool g_trace = false;
void OnSignal(int) { g_stop = true; }

struct Conn {
    uint32_t emt = 0;
    std::mutex sendMu;
    int client = -1;  // the MDS handle it registered, -1 before
    std::atomic<bool> started{false};
    std::atomic<bool> stopped{false};
    std::thread reader;
};

std::mutex g_mu;
std::map<int, std::shared_ptr<Conn>> g_clients;  // by MDS handle
std::vector<std::shared_ptr<Conn>> g_conns;
uint32_t g_stamp = 0;
std::map<int, std::string> g_names;  // handle -> client name, from the registry
int g_opcHandle = -1;                // the configured "opc" client's handle, -1 for none
constexpr uint8_t kOpcClass = 17;

// The handle configured for the client named "opc", -1 when the instance has none.
int OpcHandle() {
    for (const auto& [handle, name] : g_names)
        if (name == "opc") return handle;
    return -1;
}

// The connection of the client with that handle while it is in service; call with g_mu.
std::shared_ptr<Conn> InServiceLocked(int handle) {
    auto it = g_clients.find(handle);
    if (it != g_clients.end() && it->second->started && !it->second->stopped) return it->second;
    return nullptr;
}

std::string NameOf(int handle) {
    auto it = g_names.find(handle);
    return it != g_names.end() ? it->second : "?";
}

void LoadNames(const std::string& instance) {
    if (instance.empty()) return;
    std::string path =
        "SOFTWARE\\Quenlo Systems, Inc.\\" + instance + "\\MDS\\CurrentVersion\\Clients";
    plat::RegKey k = nullptr;
    if (plat::RegOpenKey(plat::RegRoot(), path.c_str(), &k) != 0) return;
    std::string name;
    for (uint32_t i = 0; i < 256 && plat::RegEnumKey(k, i, &name) == 0; ++i) {
        plat::RegKey c = nullptr;
        if (plat::RegOpenKey(k, name.c_str(), &c) != 0) continue;
        uint32_t type = 0, v = 0, size = 4;
        if (plat::RegQueryValue(c, "Handle", &type, &v, &size) == 0 && type == plat::REG_DWORD &&
            v < 256)
            g_names[static_cast<int>(v)] = name;
        plat::RegCloseKey(c);
    }
    plat::RegCloseKey(k);
}

uint32_t Send(Conn& c, const uint8_t* frame) {
    std::lock_guard<std::mutex> g(c.sendMu);
    return EMTSend(c.emt, frame);
}

void SendStatus(Conn& c, uint8_t type) {
    uint8_t f[4 + MDS_HEADER_SIZE];
    EmtSetHeader(f, MDS_HEADER_SIZE, MDS_EMT_CLASS, MDS_MSG_DATA);
    MDSHeader h;
    h.sender = 1;
    h.destination = static_cast<uint8_t>(c.client);
    h.messageClass = 0;
    h.messageType = type;
    MDSEncodeHeader(h, f + 4);
    Send(c, f);
}

void SendReply(Conn& c, uint8_t type, uint32_t status) {
    uint8_t f[8];
    EmtSetHeader(f, 4, MDS_EMT_CLASS, type);
    plat::StoreLE32(f + 4, status);
    Send(c, f);
}

// Takes the handle for this connection unless a live link holds it.
bool Claim(const std::shared_ptr<Conn>& c, int handle) {
    std::lock_guard<std::mutex> g(g_mu);
    auto it = g_clients.find(handle);
    if (it != g_clients.end() && it->second != c) return false;
    g_clients[handle] = c;
    c->client = handle;
    return true;
}

void Route(const std::shared_ptr<Conn>& from, uint8_t* f) {
    MDSHeader h = MDSDecodeHeader(f + 4);
    if (g_trace) {
        std::printf("parlo-mds: data from %d to %d class %d type %d stamp %u seq %u flags %d "
                    "caller %d length %d\n",
                    h.sender, h.destination, h.messageClass, h.messageType, h.stamp, h.sequence,
                    h.flags, h.caller, h.length);
        std::fflush(stdout);
    }
    if (h.flags & 4) return;  // checkpoints end here
    // Input for OPC belongs to OPC alone: while it is away the message is lost, as it
    // would be on a node whose OPC is down, and never comes back to the server.
    const int opc = h.destination == MDS_DESTINATION_MDS && h.messageClass == kOpcClass
                        ? g_opcHandle
                        : -1;
    std::shared_ptr<Conn> to;
    {
        std::lock_guard<std::mutex> g(g_mu);
        if (opc >= 0)
            to = InServiceLocked(opc);
        else if (h.destination == MDS_DESTINATION_MDS)
            to = from;
        else
            to = InServiceLocked(h.destination);
        if (++g_stamp == 0xFFFFFFFF) g_stamp = 0;
        h.stamp = g_stamp;
    }
    if (!to) {
        if (opc >= 0)
            std::printf("parlo-mds: no client %d (opc) in service for a message from %d, class %d "
                        "type %d: dropped\n",
                        opc, h.sender, h.messageClass, h.messageType);
        else
            std::printf("parlo-mds: no client %d in service for a message from %d\n",
                        h.destination, h.sender);
        std::fflush(stdout);
        return;
    }
    MDSEncodeHeader(h, f + 4);
    Send(*to, f);
}

void Reader(std::shared_ptr<Conn> c) {
    std::vector<uint8_t> buf(65540);
    for (;;) {
        uint32_t r = EMTReceive(c->emt, buf.data(), static_cast<uint32_t>(buf.size()));
        if (r != 0) {
            int handle = -1;
            {
                std::lock_guard<std::mutex> g(g_mu);
                if (c->client >= 0) {
                    auto it = g_clients.find(c->client);
                    if (it != g_clients.end() && it->second == c) g_clients.erase(it);
                    handle = c->client;
                }
            }
            if (handle >= 0 && !c->stopped) {
                std::printf("parlo-mds: client %d (%s) out of service (0x%08X)\n", handle,
                            NameOf(handle).c_str(), r);
                std::fflush(stdout);
            }
            EMTDisconnect(c->emt);
            return;
        }
        uint8_t* f = buf.data();
        uint32_t body = EmtBodyLength(f);
        if (f[2] != MDS_EMT_CLASS) continue;
        switch (f[3]) {
            case MSG_REGISTER_CLIENT:
            case MSG_RECONNECT_CLIENT: {
                if (body < 4) break;
                bool reg = f[3] == MSG_REGISTER_CLIENT;
                int handle = f[4];
                bool ok = handle != 0xFF && handle != MDS_DESTINATION_MDS && Claim(c, handle);
                SendReply(*c, reg ? MSG_REGISTER_REPLY : MSG_RECONNECT_REPLY,
                          ok ? 0 : MDS_E_ALREADY_REGISTERED);
                std::printf("parlo-mds: client %d (%s) %s%s\n", handle, NameOf(handle).c_str(),
                            reg ? "registered" : "reconnected", ok ? "" : " refused");
                std::fflush(stdout);
                if (ok && !reg) {
                    c->started = true;
                    SendStatus(*c, MDS_STATUS_IN_SERVICE);
                }
                break;
            }
            case MSG_START_CLIENT:
                if (c->client < 0) break;
                c->started = true;
                SendStatus(*c, MDS_STATUS_IN_SERVICE);
                std::printf("parlo-mds: client %d (%s) in service\n", c->client,
                            NameOf(c->client).c_str());
                std::fflush(stdout);
                break;
            case MSG_STOP_CLIENT: {
                uint8_t ack[4];
                EmtSetHeader(ack, 0, MDS_EMT_CLASS, MSG_STOP_CLIENT_ACK);
                {
                    std::lock_guard<std::mutex> g(g_mu);
                    c->stopped = true;
                }
                Send(*c, ack);
                std::printf("parlo-mds: client %d (%s) stopped\n", c->client,
                            NameOf(c->client).c_str());
                std::fflush(stdout);
                break;
            }
            case MDS_MSG_DATA: {
                if (c->client < 0 || body < MDS_HEADER_SIZE) break;
                uint32_t plen = plat::LoadLE16(f + 6);
                if (plen > body - MDS_HEADER_SIZE) break;
                Route(c, f);
                break;
            }
            default:
                break;
        }
    }
}

// The usual causes of a failed listen in words, for the one line ./run shows.
const char* ListenFailure(uint32_t r) {
    if (r == EMT_WSA_EADDRINUSE) return ": the port is in use";
    // Its shared-memory listener's name is taken by a process that has not ended (or not
    // yet been reaped by its parent).
    if (r == plat::ERROR_ALREADY_EXISTS)
        return ": another process of this namespace (PARLO_NAMESPACE) listens on it";
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    int port = 40020;
    bool tcpOnly = false;
    std::string instance;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else if (a == "--instance" && i + 1 < argc) {
            instance = argv[++i];
        } else if (a == "--tcp-only") {
            tcpOnly = true;
        } else if (a == "--trace") {
            g_trace = true;
        } else {
            std::fprintf(stderr, "usage: parlo-mds [--port N] [--instance PATH] [--tcp-only] [--trace]\n");
            return 2;
        }
    }
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "parlo-mds: bad port %d\n", port);
        return 2;
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    LoadNames(instance);
    g_opcHandle = OpcHandle();
    if (uint32_t r = EMTInitialize(nullptr, 0, 0, 0)) {
        std::fprintf(stderr, "parlo-mds: EMT initialisation failed (0x%08X)\n", r);
        return 1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    uint32_t lh = 0;
    if (uint32_t r = EMTListen(&addr, &lh, tcpOnly ? 1 : 0, nullptr)) {
        std::fprintf(stderr, "parlo-mds: cannot listen on port %d%s (0x%08X / %u)\n", port,
                     ListenFailure(r), r, r);
        return 1;
    }
    std::printf("parlo-mds: listening on port %d%s\n", port, tcpOnly ? " (TCP only)" : "");
    std::fflush(stdout);
    while (!g_stop.load()) {
        auto c = std::make_shared<Conn>();
        sockaddr_in remote{};
        uint32_t r = EMTAccept(lh, nullptr, &remote, &c->emt, 200);
        if (r == EMT_WSA_ETIMEDOUT) continue;
        if (r != 0) {
            std::fprintf(stderr, "parlo-mds: accept failed (0x%08X)\n", r);
            break;
        }
        c->reader = std::thread(Reader, c);
        c->reader.detach();
        std::lock_guard<std::mutex> g(g_mu);
        g_conns.push_back(c);
    }
    std::vector<std::shared_ptr<Conn>> live;
    {
        std::lock_guard<std::mutex> g(g_mu);
        for (auto& [h, c] : g_clients)
            if (c->started && !c->stopped) live.push_back(c);
    }
    for (auto& c : live) SendStatus(*c, MDS_STATUS_OUT_OF_SERVICE);
    std::printf("parlo-mds: stopping, %zu clients told out of service\n", live.size());
    std::fflush(stdout);
    // Let the last frames leave before the links are torn down; the listening socket's
    // name goes with the listener.
    plat::SleepForMs(200);
    // Closing the listener wakes its thread with a failed read, which it would report: on a
    // clean stop there is nothing to report.
    static const EMSSeams quiet{};
    EMSInstallSeams(&quiet);
    EMTDisconnect(lh);
    std::_Exit(0);
}
