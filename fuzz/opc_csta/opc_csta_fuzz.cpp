// A CTI_CSTA_MESSAGE body from OPC: the unpacker and the views it gives (strings and the ECC
// block), then the confirmation class its type selects, the OPC private data copied into a
// record, and both event private-data views, each traced. Nothing may read outside the input
// or the records.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "nuvlib/emsseams.h"
#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/cstaeventpd.h"
#include "opcmsg/cstawire.h"

namespace {

void Quiet(const uint8_t*, uint32_t) {}
// Where the views' bytes go, so that reading them is not optimised away.
volatile uint32_t g_viewSum = 0;
constexpr EMSSeams kQuiet = {Quiet, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (EMSInstallSeams(&kQuiet), true);
    (void)ready;
    if (size > 65535) return 0;
    static CSTAEventRecord record;
    if (!UnpackCSTAMessage(data, static_cast<uint32_t>(size), &record)) return 0;
    // Every view the record gives must lie inside the input.
    uint32_t sum = 0;
    for (std::string_view s : {record.UniqueInstanceID, record.DeviceID, record.ApplicationData,
                               record.ScriptSelector, record.ApplicationString1, record.ApplicationString2})
        for (char c : s) sum += static_cast<uint8_t>(c);
    for (std::string_view s : record.CallVariables)
        for (char c : s) sum += static_cast<uint8_t>(c);
    for (uint8_t b : record.ECC) sum += b;
    g_viewSum = sum;
    if (std::unique_ptr<TPCSTAConfMsg> conf = CreateCSTAConfirmation(5, record)) {
        conf->Trace("", 1, 1);
        conf->PrivateDataDump();
    }
    TPCSTAMsg copy(record.InvokeID(), record.ClientInvokeID());
    copy.SetPrivateData(record.OPCBlock());
    copy.PrivateDataDump();
    CSTAServiceInitiatedEvent_PD initiated(record.OPCBlock());
    initiated.Trace();
    CSTARecordingTargetInfoEvent_PD target(record.OPCBlock());
    target.Trace();
    return 0;
}
