#include "nuvlib/mdshooks.h"

#include <atomic>

#include "platform/lasterror.h"

namespace {

int32_t DefaultGetLastInputStamp() { return -1; }
int DefaultIsSynchronized() { return 0; }
void* DefaultAllocBuffer(uint32_t) {
    plat::SetLastError(MDS_ERROR_NOT_REGISTERED);
    return nullptr;
}
void DefaultFreeBuffer(void*) {}
int DefaultSendCheckpoint(uint32_t, uint32_t, uint32_t, void*, uint32_t) {
    plat::SetLastError(MDS_ERROR_NOT_REGISTERED);
    return 0;
}
void DefaultStopClient(int) {}

constexpr MDSHooks kDefaults = {DefaultGetLastInputStamp, DefaultIsSynchronized,
                                DefaultAllocBuffer,       DefaultFreeBuffer,
                                DefaultSendCheckpoint,    DefaultStopClient};

// Constant-initialised, so it is valid during static initialisation of other units.
constinit std::atomic<const MDSHooks*> g_hooks{&kDefaults};

}  // namespace

void MDSInstallHooks(const MDSHooks* hooks) {
    g_hooks.store(hooks != nullptr ? hooks : &kDefaults, std::memory_order_release);
}

const MDSHooks& MDSCurrentHooks() { return *g_hooks.load(std::memory_order_acquire); }

const MDSHooks& MDSDefaultHooks() { return kDefaults; }
