#include "peers/client/loadconn.h"

#include <cstdio>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"

namespace parloload {

std::vector<uint8_t> Frame(BaseMSG& msg) {
    std::string error;
    std::vector<uint8_t> frame = cticlient::EncodeFrame(msg, 24, &error);
    if (frame.empty()) fprintf(stderr, "parlo-load: cannot encode: %s\n", error.c_str());
    return frame;
}

std::vector<uint8_t> CloseFrame() {
    CloseReqMSG close;
    close.SetUINT(elementid::InvokeID, 3);
    close.SetUINT(elementid::Status, 0);
    return Frame(close);
}

}  // namespace parloload
