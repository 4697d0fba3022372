// The snapshot-device confirmation as VerifySnapshot reads it. Kept apart from the call's
// sources: OPC's records have a ConnectionID of their own.
#include "opcmsg/cstaconfirmations.h"
#include "parlo/model/csta.h"
#include "platform/byteorder.h"

bool CTICSTADevice::VerifySnapshot(const TPCSTASnapshotDeviceConfEventMsg& conf, bool fix,
                                   bool createCalls) {
    const uint8_t* body = conf.GetSnapshotData();
    uint32_t length = PrivateDataLength(conf.RawBlock());
    if (length > kRawPrivateDataRoom) length = kRawPrivateDataRoom;
    return VerifySnapshot(PeripheralIDToLong(conf.PeripheralID()),
                          static_cast<int32_t>(plat::LoadLE32(body)), plat::LoadLE32(body + 4),
                          PrivateDataPointer(conf.RawBlock(), 0), length, fix, createCalls);
}
