// Message validation: every element of the chain gives its verdict, the first failure is kept.
#include "ctimsg/basemsg.h"
#include "ctimsg/validatecounts.h"

namespace {

constexpr int E_CTI_INVALID_MSG_TYPE_FOR_VERSION = 48;
struct ValidatePass {};

}  // namespace

int BaseMSG::ValidateWalk(uint32_t version, Check which) {
    if (m_MinVersion > version) {
        SetFailure(E_CTI_INVALID_MSG_TYPE_FOR_VERSION, 0, 0);
        SetValidFromStatus();
        return static_cast<int>(m_Status);
    }
    SetFailure(0, 0, 0);
    OccurrenceCounts<ValidatePass> counts;
    for (BaseElement* e = m_Chain; e != nullptr; e = e->GetNext()) {
        int rc;
        switch (which) {
            case Check::Received:
                rc = e->ValidateReceived(version);
                break;
            case Check::ToSend:
                rc = e->ValidateToSend(version);
                break;
            default:
                rc = e->Validate(version);
                break;
        }
        uint32_t id = e->GetElementID();
        if (m_Status == 0 && rc != 0) SetFailure(static_cast<uint32_t>(rc), id, counts.Get(id));
        counts.Add(id);
    }
    SetValidFromStatus();
    return static_cast<int>(m_Status);
}

int BaseMSG::Validate(uint32_t version) { return ValidateWalk(version, Check::Plain); }

int BaseMSG::ValidateReceived(uint32_t version) { return ValidateWalk(version, Check::Received); }

int BaseMSG::ValidateToSend(uint32_t version) { return ValidateWalk(version, Check::ToSend); }
