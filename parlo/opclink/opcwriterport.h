#pragma once
// The object model's requests to OPC (model::OPCWriter) through the request writers; no state
// of its own (one instance serves the process, installed by the server).
#include <cstdint>

#include "parlo/model/ports.h"

class OPCWriterPort final : public model::OPCWriter {
public:
    // 1 when CTI_SEND_CALL_DATA_IND went out, else 0; a null deviceID is sent empty.
    [[nodiscard]] int SendGetCallDataReq(int32_t peripheralID, uint32_t callID, int deviceIDType,
                           const char* deviceID) override;
};
