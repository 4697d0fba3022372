#include "parlo/app/clientseams.h"

#include <atomic>

#include "nuvlib/ems.h"

namespace {
std::atomic<ClientSeams*> g_Installed{nullptr};
}  // namespace

ClientSeams* SetClientSeams(ClientSeams* seams) { return g_Installed.exchange(seams); }

ClientSeams& GetClientSeams() {
    ClientSeams* seams = g_Installed.load();
    if (seams == nullptr) EMSFailMessage("*** The client records run without the application's seams. ***");
    return *seams;
}
