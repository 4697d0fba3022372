// The console's test requests are answered in the trace only.
#include "nuvlib/ems.h"
#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/cstaconfirm.h"

void TPProcmonConf(const TPCSTAConfMsg& conf, uint32_t clientInvokeID) {
    const uint16_t type = conf.eventType();
    if (conf.Description().body == CSTAConfBody::Error)
        EMSTraceMessage("TPProcmonConf: %s (%d) InvokeID=0x%x ClientInvokeID=0x%x Error=%u",
                        CSTAEventTypeName(type), static_cast<int>(type), conf.InvokeID(), clientInvokeID,
                        conf.GetError());
    else
        EMSTraceMessage("TPProcmonConf: %s (%d) InvokeID=0x%x ClientInvokeID=0x%x", CSTAEventTypeName(type),
                        static_cast<int>(type), conf.InvokeID(), clientInvokeID);
}
