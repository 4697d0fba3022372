#include "parlo/opclink/opcwriterport.h"

#include "parlo/opclink/opcwriters.h"

int OPCWriterPort::SendGetCallDataReq(int32_t peripheralID, uint32_t callID, int deviceIDType,
                                      const char* deviceID) {
    return ::SendGetCallDataReq(static_cast<uint32_t>(peripheralID), callID,
                                static_cast<uint32_t>(deviceIDType), deviceID ? deviceID : "")
               ? 1
               : 0;
}
