#include "parlo/opclink/opclinkport.h"

#include <atomic>

#include "nuvlib/ems.h"

namespace {
std::atomic<OPCLinkServer*> g_Server{nullptr};
}  // namespace

OPCLinkServer* InstallOPCLinkServer(OPCLinkServer* server) { return g_Server.exchange(server); }

OPCLinkServer& GetOPCLinkServer() {
    OPCLinkServer* server = g_Server.load();
    if (server == nullptr) EMSFailMessage("*** The OPC link runs without its server port. ***");
    return *server;
}
