#include "parlo/server/mdsio.h"

#include "nuvlib/ems.h"
#include "nuvlib/mds/mds.h"

namespace {

int StatusHandler(const uint8_t* header, uint8_t*) {
    const MDSHeader h = MDSDecodeHeader(header);
    EMSTraceMessage("MDSIO: MDS status message type %d.", static_cast<int>(h.messageType));
    return 1;
}

int DefaultHandler(const uint8_t* header, uint8_t*) {
    const MDSHeader h = MDSDecodeHeader(header);
    if (EMSGetTraceMask() & 0x01)
        EMSTraceMessage("MDSIO: message class %d type %d (%d bytes) not handled.",
                        static_cast<int>(h.messageClass), static_cast<int>(h.messageType),
                        static_cast<int>(h.length));
    return 1;
}

}  // namespace

void MDSIO::CTIInputManager(const char* processName, const char* registryBase, int side,
                            int mdsConnections) {
    MDSClientParams params{1, processName, static_cast<uint32_t>(side), registryBase,
                           StatusHandler, DefaultHandler};
    uint8_t handle = 0xFF;
    const uint32_t status = MDSRegisterClient(&params, &handle);
    if (status != 0) {
        EMSTraceMessage("MDSIO::CTIInputManager - MDSRegisterClient failed (0x%x).", status);
        return;
    }
    EMSTraceMessage("MDSIO::CTIInputManager - registered with MDS as %s (handle %d, connections %d).",
                    processName, static_cast<int>(handle), mdsConnections);
    MDSStartClient();
}
