// VerifySnapshot over OPC's snapshot-device confirmation itself: it reads the body's count
// and entry offset and the raw block's data, bounded by the block's stated length.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/opcbytes.h"
#include "parlo/model/csta.h"
#include "platform/byteorder.h"
#include "tests/ctimsg/trace_capture.h"
#include "tests/parlo/model/recording_ports.h"
#include "tests/support/fake_clock.h"

namespace modeltest {
namespace {

class SnapshotConfirmation : public testsupport::FakeClockTest {
protected:
    SnapshotConfirmation() {
        ports.Install();
        CTICSTADevice::InitHashTables();
        CTICSTAConnection::InitFreeList();
        CTICSTAMonitor::InitHashTable();
        ports.peripheralTypes[5000] = 48;
    }

    // A received confirmation with two entries (calls 71 and 72 at "1002") and their states.
    std::unique_ptr<TPCSTASnapshotDeviceConfEventMsg> Received() {
        auto record = std::make_unique<CSTAEventRecord>();
        uint8_t* b = record->Bytes();
        plat::StoreLE16(b, 5000);
        plat::StoreLE16(b + 2, kCSTAClassConfirmation);
        plat::StoreLE16(b + 4, 123);
        plat::StoreLE32(b + kCSTARecBody, 2);       // count
        plat::StoreLE32(b + kCSTARecBody + 4, 8);   // entries after two state words
        uint8_t* raw = b + kCSTARecRawBlock;
        plat::StoreLE16(raw + kPrivateDataLengthOffset, 8 + 2 * 84);
        uint8_t* data = raw + kPrivateDataHeadSize;
        plat::StoreLE32(data, 3);
        plat::StoreLE32(data + 4, 2);
        for (uint32_t i = 0; i < 2; ++i) {
            uint8_t* e = data + 8 + 84 * i;
            plat::StoreLE32(e, 71 + i);
            memcpy(e + 4, "1002", 4);
            plat::StoreLE32(e + 72, 1);
            plat::StoreLE32(e + 76, 4 * i);
        }
        return std::make_unique<TPCSTASnapshotDeviceConfEventMsg>(5000, *record, nullptr);
    }

    RecordingPorts ports;
};

TEST_F(SnapshotConfirmation, ReadsTheEntriesAndRefusesWhatLiesOutside) {
    CSTAExtendedDeviceID id;
    memcpy(id.deviceID, "1002", 5);
    CTICSTADevice* d = FindOrCreateCTICSTADevice(5000, &id, "", "test", false, true);
    ASSERT_NE(d, nullptr);
    auto conf = Received();
    ctimsgtest::TraceCapture traces;
    EXPECT_TRUE(d->VerifySnapshot(*conf, true, false));
    std::string text = traces.Take();
    EXPECT_NE(text.find("CS_CONNECT -> 71.1002(s) SM_NONE CALL NOT TRACKED BY PARLO"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("CS_ALERTING -> 72.1002(s) SM_NONE CALL NOT TRACKED BY PARLO"),
              std::string::npos)
        << text;
    // A count beyond the data, then a state list beyond it: traced, nothing read or made.
    const uint32_t entries = plat::LoadLE32(conf->GetSnapshotData() + 4);
    plat::StoreLE32(conf->Body(), 12);
    EXPECT_FALSE(d->VerifySnapshot(*conf, true, true));
    EXPECT_NE(traces.Take().find("entry 2 of 12"), std::string::npos);
    plat::StoreLE32(conf->Body(), 2);
    plat::StoreLE32(PrivateDataPointer(conf->RawBlock(), entries + 84 + 76), 980);
    EXPECT_FALSE(d->VerifySnapshot(*conf, true, true));
    EXPECT_NE(traces.Take().find("entry 1: 1 states at offset 980 lie outside"), std::string::npos);
    EXPECT_EQ(d->GetNumConnections(), 0);
    EXPECT_TRUE(ports.lines.empty()) << ports.Take();
}

}  // namespace
}  // namespace modeltest
