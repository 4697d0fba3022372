// The layout rows of the ACMI route messages.
#include "opcmsg/acmimsg.h"

#include <iterator>

#include "nuvlib/ems.h"

namespace {

using opcwire::Item;
using opcwire::ListKind;
using opcwire::TraceItem;

#define I_(label, C, F) TraceItem{label, Item::I32, C::k##F}
#define H_(label, C, F) TraceItem{label, Item::I16, C::k##F}
#define S_(label, C, F) TraceItem{label, Item::Text, C::k##F}
#define L_(label) TraceItem{label, Item::Label, 0}
#define CV_(label, C, n) TraceItem{label, Item::Text, static_cast<uint16_t>(C::kCallVariable1 + (n)), true}

using Reg = ACMIRouteRegisterReqMsg;
const TraceItem k106[] = {I_("InvokeID = ", Reg, InvokeID), H_(", Action = ", Reg, Action),
    S_(", RoutePoint = ", Reg, RoutePoint), L_("\n")};
using RegResp = ACMIRouteRegisterRespMsg;
const TraceItem k107[] = {I_("InvokeID = ", RegResp, InvokeID), H_(", Cause = ", RegResp, Cause), L_("\n")};
using Req = ACMIRouteRequestEventMsg;
const TraceItem k108[] = {I_("InvokeID = ", Req, InvokeID), I_(", CallID = ", Req, CallID),
    H_(", DeviceIDType = ", Req, DeviceIDType), H_(", TimeOut = ", Req, TimeOut),
    S_(", CurrentRoute = ", Req, CurrentRoute), S_(", CallingDevice = ", Req, CallingDevice),
    S_(", DeviceID = ", Req, DeviceID), I_(", COCConnectionCallID= ", Req, COCConnectionCallID),
    S_(", COCConnectionDeviceID = ", Req, COCConnectionDeviceID),
    H_(", COCConnectionDeviceIDType = ", Req, COCConnectionDeviceIDType),
    CV_(", CallVariable1 = ", Req, 0), CV_("\nCallVariable2 = ", Req, 1), CV_(", CallVariable3 = ", Req, 2),
    CV_(", CallVariable4 = ", Req, 3), CV_(", CallVariable5 = ", Req, 4), CV_("\nCallVariable6 = ", Req, 5),
    CV_(", CallVariable7 = ", Req, 6), CV_(", CallVariable8 = ", Req, 7), CV_(", CallVariable9 = ", Req, 8),
    CV_("\nCallVariable10 = ", Req, 9), H_(" Options = ", Req, Options), L_("\n")};
using Sel = ACMIRouteSelectEventMsg;
const TraceItem k109[] = {I_("InvokeID = ", Sel, InvokeID), I_(", ControlFlags = ", Sel, ControlFlags),
    I_(", EnterpriseQueueTime = ", Sel, EnterpriseQueueTime), S_(", RouteSelected = ", Sel, RouteSelected),
    CV_(", CallVariable1 = ", Sel, 0), CV_(", CallVariable2 = ", Sel, 1), CV_(", CallVariable3 = ", Sel, 2),
    CV_(", CallVariable4 = ", Sel, 3), CV_(", CallVariable5 = ", Sel, 4), CV_(", CallVariable6 = ", Sel, 5),
    CV_(", CallVariable7 = ", Sel, 6), CV_(", CallVariable8 = ", Sel, 7), CV_(", CallVariable9 = ", Sel, 8),
    CV_(", CallVariable10 = ", Sel, 9), L_("\n")};
using End = ACMIRouteEndEventMsg;
const TraceItem k110[] = {I_("InvokeID = ", End, InvokeID), H_(", status = ", End, Status), L_("\n")};

#define ROW_(type, fixed, texts, ecc, dir, plainEmpty, trace) \
    opcwire::Layout{type, #type, fixed, texts, ecc, false, ListKind::None, 0, dir, plainEmpty, trace, \
                    static_cast<uint8_t>(std::size(trace))}

const opcwire::Layout kRows[] = {
    ROW_(ACMI_ROUTE_REGISTER_REQ, 16, 1, false, false, false, k106),
    ROW_(ACMI_ROUTE_REGISTER_RESP, 12, 0, false, true, false, k107),
    ROW_(ACMI_ROUTE_REQUEST_EVENT, 28, 15, true, true, true, k108),
    ROW_(ACMI_ROUTE_SELECT_EVENT, 16, 11, true, false, true, k109),
    ROW_(ACMI_ROUTE_END_EVENT, 12, 0, false, true, false, k110),
};

const opcwire::Layout& Required(ACMIMsgType type) {
    const opcwire::Layout* row = ACMILayout(type);
    if (row == nullptr) {
        EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "ACMILayout(type) != nullptr", "ACMIMsg",
                       __LINE__);
    }
    return *row;
}

}  // namespace

const opcwire::Layout* ACMILayout(uint32_t type) {
    for (const opcwire::Layout& row : kRows) {
        if (row.type == type) return &row;
    }
    return nullptr;
}

ACMIMsgCommon::ACMIMsgCommon(ACMIMsgType type) : m_Body(Required(type)) {}

ACMIMsgCommon::ACMIMsgCommon(ACMIMsgType type, const uint8_t* body, size_t length)
    : m_Body(Required(type), body, length) {}
