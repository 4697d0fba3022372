// OPC's answer to an agent-reporting client's application path: the session's ARM record is
// filled and its open goes on; a path brought up for no session is taken down again.
#include "parlo/app/openroad.h"

#include "nuvlib/ems.h"
#include "opcmsg/armapppath.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appperipherals.h"
#include "parlo/app/appqueue.h"
#include "parlo/app/clientcb.h"
#include "parlo/common/meterids.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/app/appport.h"
#include "parlo/session/session.h"

void OpenRoad::ProcessARMAppPathUpRespMsg(const uint8_t* data, size_t length) {
    if (data == nullptr || length < 4) return;
    const ARMAppPathUpRespMsg response(data + 4, length - 4);
    if ((EMSGetTraceMask() & tracebit::TR_PROC_6) != 0)
        EMSTraceMessage("ProcessARMAppPathUpRespMsg -- %s", response.ToString().c_str());
    if (!response.IsValid()) {
        EMSTraceMessage("ProcessARMAppPathUpRespMsg - malformed body of %d bytes, dropped.",
                        static_cast<int>(length - 4));
        return;
    }
    const bool serverActive = MDSIO::IsServerActive() != 0;
    OPCReq* record = serverActive ? OPCReq::Find(static_cast<uint32_t>(response.GetInvokeID())) : nullptr;
    ClientCB* client = record != nullptr ? ClientCB::Find(record->SessionID) : nullptr;
    if (record != nullptr && client != nullptr) {
        const uint64_t now = FileTimeNow();
        model::Server().UpdateMeter(meter::OPCResponse, now > record->SendTime ? static_cast<int>((now - record->SendTime) / 10000) : 0);
        {
            client->SetARMClientInfo(new ARMClientInfo(response.GetStatus(), response.GetApplicationPathID(),
                                                       response.GetAppPathMemberList()));
        }
        // Released before the open goes on, so that a refused open leaves no record behind.
        OPCReq::Release(record);
        OpenValidClient(client);
        return;
    }
    const int side = GetAppServerPort().GetSide() != 0 ? 1 : 0;
    if (response.GetSide() != side || response.GetStatus() != 0) return;
    // Brought up for this side, but no session will use it.
    ARMAppPathDownIndMsg down;
    down.SetApplicationPathID(response.GetApplicationPathID());
    down.SetSessionID(response.GetSessionID());
    down.SetSide(response.GetSide());
    (void)SendARMMsg(down);
    EMSTraceMessage(" *** ProcessAppPathUpResp: Failed to process the response. Sent ARMAppPathDownIndMsg, InvokeID: "
                    "0x%x, ActiveServer: %c, ClientID: %ld, ClientCB: 0x%p ***",
                    static_cast<unsigned>(response.GetInvokeID()), serverActive ? 'Y' : 'N',
                    record != nullptr ? static_cast<long>(record->SessionID) : -1L, static_cast<void*>(client));
}
