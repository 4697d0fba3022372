#include "parlo/model/remask.h"

#include "ctimsg/basemsg.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/structured.h"
#include "nuvlib/ems.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"

CTIUpdateREMask::Masks CTIUpdateREMask::Compute(int32_t callID, uint16_t callType,
                                                int32_t state, int32_t agentState,
                                                int32_t deskSettingsMask, int32_t wrapUpMode,
                                                int32_t connectedCount, int32_t activeCount,
                                                int32_t destState) {
    Masks m;
    switch (agentState) {
        case agentstate::LOGOUT: m.agentMask = 0x01; break;
        case agentstate::NOT_READY:
            m.agentMask = 0x08 | (callID == -1 ? 0x02u : 0u);
            m.callMask |= 0x01 | 0x20;
            break;
        case agentstate::AVAILABLE: m.agentMask = 0x04; break;
        case agentstate::WORK_NOT_READY:
        case agentstate::WORK_READY: m.agentMask = 0x0C; break;
        case agentstate::TALKING:
        case agentstate::HOLD:
            if (wrapUpMode == 1 || wrapUpMode == 2 || wrapUpMode == -1) m.agentMask |= 0x0C;
            if (wrapUpMode == 1 || wrapUpMode == -1) m.agentMask |= 0x30;
            break;
        default: break;
    }
    if (callID != -1) {
        const bool heldWithConnected = state == 4 && connectedCount != 0;
        const bool single = activeCount == 1;
        uint32_t c = 0;
        if (state == 2) c |= 0x00004;
        if (state != 5 && state != 2 && state != -1 && state != 0) c |= 0x00008;
        if (state != 5 && state != 2) c |= 0x00400;
        if (state == 4) c |= 0x00100;
        if (heldWithConnected) c |= 0x40000 | 0x10000 | 0x00080 | 0x00002;
        if (agentState == agentstate::NOT_READY ||
            ((agentState == agentstate::TALKING || agentState == agentstate::HOLD) && single))
            c |= 0x00020;
        if ((state == 4 || state == 3) && single) c |= 0x08000;
        if (state == 3 && destState != 1) c |= 0x00040;
        if (state == 3) c |= 0x00200;
        if (state == 3 && destState != 1 && single) c |= 0x00010;
        if (state == 3 && single) c |= 0x20000;
        if (state == 3 && callType != 12 && callType != 23 && callType != 24 && single) c |= 0x00800;
        if ((callType == 15 || callType == 23) && single) c |= 0x01000;
        if (state == 3 && callType != 21) c |= 0x02000;
        m.callMask |= c;
    }
    // No desk settings (-1) has every bit: both flags, as the word says.
    if (deskSettingsMask & 0x10) m.functionFlag |= 0x08;
    if (deskSettingsMask & 0x08) m.functionFlag |= 0x10;
    if (wrapUpMode == 3) m.functionFlag |= 0x20;
    return m;
}

void CTIUpdateREMask::ComputeEntry(std::string_view instrument, std::string_view extension,
                                   int32_t callID, uint16_t callType, int32_t state,
                                   int32_t agentState, int32_t deskSettingsMask,
                                   int32_t wrapUpMode, int32_t connectedCount,
                                   int32_t activeCount, int32_t destState, REMaskEntry* pREMask) {
    NUV_ASSERT(NULL != pREMask);
    pREMask->Set(instrument, extension, static_cast<uint32_t>(callID));
    if (wrapUpMode == -1) EMSTraceMessage("CTIUpdateREMask - WARNING: Agent Desk Setting is set to -1.");
    const Masks m = Compute(callID, callType, state, agentState, deskSettingsMask, wrapUpMode,
                            connectedCount, activeCount, destState);
    // The agent mask's bits all sit in its one wire byte.
    pREMask->m_AgentMask.SetBits8(static_cast<uint8_t>(m.agentMask));
    pREMask->m_CallMask.SetBits32(m.callMask);
    pREMask->m_FunctionFlags.SetBits8(m.functionFlag);
}

void UpdateREMaskInMSG(BaseMSG* pMsg, CTICSTADevice* device) {
    NUV_ASSERT(NULL != pMsg);
    auto* element =
        static_cast<REMaskArray*>(pMsg->FindElement(model::Id(model::E::REMaskArray), 0, false));
    if (element == nullptr) return;
    element->Clear();
    if (device != nullptr) device->AddREMaskEntries(element, 0xFFFFFFFF, 0xFFFFFFFF);
}
