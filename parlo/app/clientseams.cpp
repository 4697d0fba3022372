#include "parlo/app/clientseams.h"

#include <atomic>

namespace {
ClientSeams g_Defaults;
std::atomic<ClientSeams*> g_Installed{nullptr};
}  // namespace

void SetClientSeams(ClientSeams* seams) { g_Installed.store(seams); }

ClientSeams& GetClientSeams() {
    ClientSeams* seams = g_Installed.load();
    return seams != nullptr ? *seams : g_Defaults;
}
