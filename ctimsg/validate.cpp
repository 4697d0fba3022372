// Message validation: every element of the chain gives its verdict, the first failure is kept.
#include "ctimsg/basemsg.h"
#include "ctimsg/statuscodes.h"
#include "ctimsg/structured.h"
#include "ctimsg/validatecounts.h"

namespace {

struct ValidatePass {};

// Members before element in the chain with its id: its occurrence as the walk counts it.
uint32_t CountEarlier(const BaseElement* chain, const BaseElement* element) {
    const uint32_t id = element->GetElementID();
    // Ids outside the element table have no occurrence count.
    if (id >= OccurrenceCounts<ValidatePass>::kIdCount) return 0;
    uint32_t n = 0;
    for (const BaseElement* e = chain; e != nullptr && e != element; e = e->GetNext()) {
        if (e->GetElementID() == id) ++n;
    }
    return n;
}

}  // namespace

int BaseMSG::ValidateWalk(uint32_t version, Check which) {
    if (m_MinVersion > version) {
        SetFailure(E_CTI_INVALID_MSG_TYPE_FOR_VERSION, 0, 0);
        SetValidFromStatus();
        return static_cast<int>(m_Status);
    }
    SetFailure(0, 0, 0);
    // Idle request-enablement entries are passed over: absent and not required, they pass.
    // One loop per kind of check, so that the loop does not choose again at every field.
    auto walk = [&](auto check) {
        const REMaskArray* masks = nullptr;
        for (BaseElement* e = m_Chain; e != nullptr; e = BusyNext(e, masks)) {
            int rc = check(e);
            // The failing occurrence is the number of earlier members with the same id; it
            // is counted only for the first failure, so a valid message pays nothing for it.
            if (m_Status == 0 && rc != 0) {
                SetFailure(static_cast<uint32_t>(rc), e->GetElementID(), CountEarlier(m_Chain, e));
            }
        }
    };
    switch (which) {
        case Check::Received:
            walk([version](BaseElement* e) { return e->ValidateReceived(version); });
            break;
        case Check::ToSend:
            walk([version](BaseElement* e) { return e->ValidateToSend(version); });
            break;
        default:
            walk([version](BaseElement* e) { return e->Validate(version); });
            break;
    }
    SetValidFromStatus();
    return static_cast<int>(m_Status);
}

int BaseMSG::Validate(uint32_t version) { return ValidateWalk(version, Check::Plain); }

int BaseMSG::ValidateReceived(uint32_t version) { return ValidateWalk(version, Check::Received); }

int BaseMSG::ValidateToSend(uint32_t version) { return ValidateWalk(version, Check::ToSend); }
