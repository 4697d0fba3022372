// A supervised process for the node-manager tests:
//   nmtarget <registry base> <process name> <CLEAN|DIRTY> [maintenance reply] [--messagebox]
// Its callback answers a ping with 2, a shutdown with 5, a maintenance message with the
// given reply (7 when none) and any other message m with 1000 + m.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "nuvlib/emstextsinks.h"
#include "nuvlib/nodemgr.h"

namespace {
uint32_t g_maintenanceReply = 7;

uint32_t Callback(uint32_t message) {
    switch (message) {
        case NM_MSG_PING: return NM_MSG_PING_REPLY_OK;
        case NM_MSG_SHUTDOWN: return NM_MSG_SHUTDOWN_REPLY_OK;
        case NM_MSG_MAINTENANCE_MODE: return g_maintenanceReply;
        default: return 1000 + message;
    }
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    bool messageBox = false;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--messagebox") == 0)
            messageBox = true;
        else
            g_maintenanceReply = static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 0));
    }
    EMSInstallStandardSinks();
    NMStartResponder(Callback, argv[1], argv[2], argv[3]);
    if (messageBox) NMMessageBox(nullptr, "Debug assertion failed", "Parlo", 16);
    for (;;) pause();
}
