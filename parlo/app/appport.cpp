#include "parlo/app/appport.h"

#include <atomic>

#include "nuvlib/ems.h"

namespace {
std::atomic<AppServerPort*> g_Port{nullptr};
}

AppServerPort* SetAppServerPort(AppServerPort* port) { return g_Port.exchange(port); }

AppServerPort& GetAppServerPort() {
    AppServerPort* port = g_Port.load();
    if (port == nullptr) EMSFailMessage("*** The application runs without its server port. ***");
    return *port;
}
