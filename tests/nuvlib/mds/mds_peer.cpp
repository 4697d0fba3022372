// Test peer: registers as an MDS client and sends every class-17 message back to its
// sender, passing on the very buffer it was given.
//   mds_peer NAME INSTANCE [tcp]
// Prints "INSERVICE" whenever MDS puts it in service.
#include <cstdio>
#include <cstring>

#include "nuvlib/mds/mds.h"
#include "nuvlib/mds/mdsinternal.h"

namespace {
int Status(const uint8_t* h, uint8_t*) {
    if (h[14] == 0 && h[15] == MDS_STATUS_IN_SERVICE) {
        std::printf("INSERVICE\n");
        std::fflush(stdout);
    }
    return 0;
}
int Echo(const uint8_t* h, uint8_t* payload) {
    MDSHeader in = MDSDecodeHeader(h);
    // Registered, so the send takes the buffer whatever it answers.
    return MDSSendOutput(in.sender, in.messageClass, in.messageType, payload, in.length);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    if (argc > 3 && !std::strcmp(argv[3], "tcp")) MDSSetEmtConnectFlags(1);
    MDSClientParams p{1, argv[1], 0, argv[2], Status, Status};
    uint8_t handle = 0xFF;
    uint32_t r = MDSRegisterClient(&p, &handle);
    if (r != 0) {
        std::printf("FAILED 0x%08X\n", r);
        return 1;
    }
    if (!MDSSetMessageHandler(17, Echo)) return 1;
    std::printf("REGISTERED %d\n", handle);
    std::fflush(stdout);
    MDSStartClient();
    return 1;
}
