// Message validation: every element of the chain gives its verdict, the first failure is kept.
#include <cstring>

#include "ctimsg/basemsg.h"

namespace {

constexpr int E_CTI_INVALID_MSG_TYPE_FOR_VERSION = 48;
// One more than the highest element id.
constexpr uint32_t kElementIdCount = 724;

}  // namespace

int BaseMSG::ValidateWalk(uint32_t version, Check which) {
    if (m_MinVersion > version) {
        SetFailure(E_CTI_INVALID_MSG_TYPE_FOR_VERSION, 0, 0);
        SetValidFromStatus();
        return static_cast<int>(m_Status);
    }
    SetFailure(0, 0, 0);
    uint16_t counts[kElementIdCount];
    std::memset(counts, 0, sizeof counts);
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
        uint32_t occurrence = id < kElementIdCount ? counts[id] : 0;
        if (m_Status == 0 && rc != 0) SetFailure(static_cast<uint32_t>(rc), id, occurrence);
        if (id < kElementIdCount) ++counts[id];
    }
    SetValidFromStatus();
    return static_cast<int>(m_Status);
}

int BaseMSG::Validate(uint32_t version) { return ValidateWalk(version, Check::Plain); }

int BaseMSG::ValidateReceived(uint32_t version) { return ValidateWalk(version, Check::Received); }

int BaseMSG::ValidateToSend(uint32_t version) { return ValidateWalk(version, Check::ToSend); }
