#include "parlo/session/sessionports.h"

#include <atomic>

#include "nuvlib/ems.h"

namespace {
std::atomic<SessionServer*> g_Server{nullptr};
}  // namespace

SessionServer* InstallSessionServer(SessionServer* server) { return g_Server.exchange(server); }

SessionServer& GetSessionServer() {
    SessionServer* server = g_Server.load();
    if (server == nullptr) EMSFailMessage("*** The session layer runs without its server port. ***");
    return *server;
}
