#include "parlo/opclink/opclinkoutput.h"

#include <cstdlib>
#include <mutex>

#include "nuvlib/ems.h"
#include "nuvlib/mds/mds.h"
#include "opcmsg/opctypes.h"
#include "parlo/opclink/mdsio.h"

void OPCStorageFree::operator()(uint8_t* storage) const {
    if (storage == nullptr) return;
    if (pooled) MDSFreeBuffer(storage); else std::free(storage);
}

void MDSLinkOutput::Send(uint8_t cls, uint8_t type, OPCStorage storage, uint16_t length,
                         uint32_t flag) {
    if (!MDSIO::GetMDSConnections() || !storage.get_deleter().pooled) {
        // No MDS to hand it to (/tsy, or not registered): the message ends here.
        EMSTraceMessage("MDSIO::SendInput: msgtype %d (%s) of %d bytes not sent: no MDS link.", type,
                        OPCMessageTypeName(type), static_cast<int>(length));
        return;
    }
    // MDS takes the buffer on every path once registered, which pooled storage implies.
    (void)MDSSendInput(cls, type, flag, storage.release(), length);
}

namespace {
// Constant-initialised, so that it is in force before any other unit's start.
constinit MDSLinkOutput g_MDSOutput;
// Held across the Send of an installed output, so that installing waits for it.
constinit std::mutex g_OutputLock;
constinit OPCLinkOutput* g_Output = &g_MDSOutput;
}  // namespace

OPCLinkOutput* InstallOPCLinkOutput(OPCLinkOutput* output) {
    std::lock_guard<std::mutex> hold(g_OutputLock);
    OPCLinkOutput* previous = g_Output;
    g_Output = output != nullptr ? output : &g_MDSOutput;
    return previous;
}

void SendToOPCLinkOutput(uint8_t cls, uint8_t type, OPCStorage storage, uint16_t length,
                         uint32_t flag) {
    std::unique_lock<std::mutex> hold(g_OutputLock);
    OPCLinkOutput* output = g_Output;
    // MDS's own send needs no lock of ours: only an installed output may go away.
    if (output == &g_MDSOutput) hold.unlock();
    output->Send(cls, type, std::move(storage), length, flag);
}
