// Test peer: listens for EMT connections and echoes every frame back.
//   emt_peer PORT [tcp-only] [stall]
// Prints "READY <port>" once listening; "stall" accepts but never reads.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "nuvlib/emt/emt.h"

int main(int argc, char** argv) {
    int port = argc > 1 ? std::atoi(argv[1]) : 0;
    bool tcpOnly = false, stall = false;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "tcp-only")) tcpOnly = true;
        if (!std::strcmp(argv[i], "stall")) stall = true;
    }
    if (EMTInitialize(nullptr, 0, 0, 0) != 0) return 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    uint32_t lh = 0;
    uint32_t r = EMTListen(&a, &lh, tcpOnly, nullptr);
    if (r != 0) {
        std::printf("FAILED 0x%08X\n", r);
        return 1;
    }
    std::printf("READY %d\n", port);
    std::fflush(stdout);
    for (;;) {
        uint32_t h = 0;
        sockaddr_in remote{};
        if (EMTAccept(lh, nullptr, &remote, &h) != 0) return 1;
        std::printf("ACCEPTED %u\n", h);
        std::fflush(stdout);
        if (stall) continue;
        std::thread([h] {
            std::vector<uint8_t> buf(65540);
            while (EMTReceive(h, buf.data(), static_cast<uint32_t>(buf.size())) == 0)
                if (EMTSend(h, buf.data()) != 0) break;
            EMTDisconnect(h);
        }).detach();
    }
}
