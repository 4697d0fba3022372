#include "parlo/app/appport.h"

#include <atomic>

namespace {
std::atomic<AppServerPort*> g_Port{nullptr};
}

void SetAppServerPort(AppServerPort* port) { g_Port.store(port); }
AppServerPort* GetAppServerPort() { return g_Port.load(); }
