#include "nuvlib/mdsport.h"

#include <atomic>

#include "platform/lasterror.h"

void* UnregisteredMDSClient::AllocBuffer(uint32_t) {
    plat::SetLastError(MDS_ERROR_NOT_REGISTERED);
    return nullptr;
}

int UnregisteredMDSClient::SendCheckpoint(uint32_t, uint32_t, uint32_t, void*, uint32_t) {
    plat::SetLastError(MDS_ERROR_NOT_REGISTERED);
    return 0;
}

namespace {
// Constant-initialised, so that it is valid during static initialisation of other units.
constinit UnregisteredMDSClient g_unregistered;
constinit std::atomic<MDSClientPort*> g_port{&g_unregistered};
}  // namespace

MDSClientPort* MDSInstallClientPort(MDSClientPort* port) {
    return g_port.exchange(port != nullptr ? port : &g_unregistered, std::memory_order_acq_rel);
}

MDSClientPort& MDSCurrentClientPort() { return *g_port.load(std::memory_order_acquire); }
