#include "peers/opc/arm_wire.h"

#include <algorithm>
#include <cstring>

#include "peers/opc/opc_wire.h"

namespace opcpeer {

namespace {

using L = ArmList;
using R = ArmRole;

// type, name, fixed, InvokeID, ClientInvokeID, SessionID, Status, texts, ECC, UII, list,
// list count, role, answer.
const std::vector<ArmLayout> kLayouts = {
    {49, "ARM_MEDIA_LOGIN_REQ", 44, 0, 40, -1, -1, 2, false, true, L::kNone, -1, R::kRequest, 50},
    {50, "ARM_MEDIA_LOGIN_RESP", 16, 0, 12, -1, 4, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {51, "ARM_MEDIA_LOGOUT_IND", 28, 0, 24, 16, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {52, "ARM_MAKE_AGENT_ROUTABLE_IND", 24, 0, 20, 16, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {53, "ARM_MAKE_AGENT_NOT_ROUTABLE_REQ", 16, 0, 12, -1, -1, 0, false, true, L::kNone, -1, R::kRequest, 54},
    {54, "ARM_MAKE_AGENT_NOT_ROUTABLE_RESP", 12, 0, 8, -1, 4, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {55, "ARM_MAKE_AGENT_READY_IND", 24, 0, 20, 16, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {56, "ARM_MAKE_AGENT_NOT_READY_REQ", 20, 0, 16, -1, -1, 0, false, true, L::kNone, -1, R::kRequest, 57},
    {57, "ARM_MAKE_AGENT_NOT_READY_RESP", 12, 0, 8, -1, 4, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {58, "ARM_OFFER_TASK_IND", 40, 0, 36, 32, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {59, "ARM_OFFER_APPLICATION_TASK_REQ", 40, 0, 32, -1, -1, 13, true, true, L::kNone, -1, R::kRequest, 60},
    {60, "ARM_OFFER_APPLICATION_TASK_RESP", 24, 0, 8, -1, 4, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {61, "ARM_START_TASK_IND", 40, 0, 36, 32, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {62, "ARM_START_APPLICATION_TASK_REQ", 40, 0, 32, -1, -1, 13, true, true, L::kNone, -1, R::kRequest, 63},
    {63, "ARM_START_APPLICATION_TASK_RESP", 24, 0, 8, -1, 4, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {64, "ARM_PAUSE_TASK_IND", 32, 0, 28, 24, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {65, "ARM_RESUME_TASK_IND", 32, 0, 28, 24, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {66, "ARM_WRAPUP_TASK_IND", 32, 0, 28, 24, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {67, "ARM_END_TASK_IND", 40, 0, 32, 28, -1, 2, false, true, L::kNone, -1, R::kIndication, 0},
    {68, "ARM_AGENT_MADE_NOT_ROUTABLE_EVENT", 8, -1, -1, -1, -1, 0, false, false, L::kNone, -1, R::kFromOpc, 0},
    {69, "ARM_AGENT_INTERRUPT_ADVISORY_EVENT", 16, 0, -1, -1, -1, 0, false, false, L::kNone, -1, R::kFromOpc, 0},
    {70, "ARM_AGENT_INTERRUPT_ACCEPTED_IND", 20, 0, 16, 12, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {71, "ARM_AGENT_INTERRUPT_UNACCEPTED_IND", 20, 0, 16, 12, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {72, "ARM_AGENT_INTERRUPT_DONE_ADVISORY_EVENT", 12, 0, -1, -1, -1, 0, false, false, L::kNone, -1, R::kFromOpc, 0},
    {73, "ARM_AGENT_INTERRUPT_DONE_ACCEPTED_IND", 20, 0, 16, 12, -1, 0, false, true, L::kNone, -1, R::kIndication, 0},
    {74, "ARM_CHANGE_MAX_TASK_LIMIT_REQ", 20, 0, 16, -1, -1, 0, false, true, L::kNone, -1, R::kRequest, 75},
    {75, "ARM_CHANGE_MAX_TASK_LIMIT_RESP", 24, 0, 16, -1, 12, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {76, "ARM_OVERRIDE_LIMIT_REQ", 16, 0, 12, -1, -1, 0, false, true, L::kNone, -1, R::kRequest, 77},
    {77, "ARM_OVERRIDE_LIMIT_RESP", 20, 0, 16, -1, 12, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {78, "ARM_UPDATE_TASK_CONTEXT_IND", 32, 0, 28, 24, -1, 13, true, true, L::kNone, -1, R::kIndication, 0},
    {79, "ARM_BEGIN_AGENT_INIT_IND", 8, -1, -1, 0, -1, 0, false, false, L::kNone, -1, R::kIndication, 0},
    {80, "ARM_AGENT_INIT_REQ", 68, 4, 64, 60, -1, 1, false, true, L::kNone, -1, R::kRequest, 81},
    {81, "ARM_AGENT_INIT_RESP", 12, 0, 8, -1, 4, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {82, "ARM_END_AGENT_INIT_IND", 4, -1, -1, 0, -1, 0, false, false, L::kNone, -1, R::kIndication, 0},
    {83, "ARM_TASK_INIT_IND", 72, 16, 68, 64, -1, 13, true, true, L::kNone, -1, R::kIndication, 0},
    {84, "ARM_AGENT_INIT_READY_EVENT", 8, -1, -1, 4, -1, 0, false, false, L::kNone, -1, R::kFromOpc, 0},
    {85, "ARM_FAILURE_RESP", 20, 0, 16, 12, 4, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {98, "ARM_APP_PATH_UP_REQ", 16, 0, -1, 8, -1, 0, false, false, L::kNone, -1, R::kRequest, 99},
    {99, "ARM_APP_PATH_UP_RESP", 20, 0, -1, 12, 4, 0, false, false, L::kMembers, -1, R::kFromOpc, 0},
    {100, "ARM_APP_PATH_DOWN_IND", 12, -1, -1, 4, -1, 0, false, false, L::kNone, -1, R::kIndication, 0},
    {101, "ARM_MAX_TASK_LIFETIME_EXCEEDED_EVENT", 20, -1, -1, -1, -1, 0, false, false, L::kNone, -1, R::kFromOpc, 0},
    {102, "ARM_SET_APP_PATH_DATA_IND", 16, 0, 12, 4, -1, 10, false, true, L::kNone, -1, R::kIndication, 0},
    {103, "ARM_TASK_INIT_REQ", 72, 16, 68, 64, -1, 13, true, true, L::kNone, -1, R::kRequest, 104},
    {104, "ARM_TASK_INIT_RESP", 24, 0, 8, -1, 4, 0, false, true, L::kNone, -1, R::kFromOpc, 0},
    {105, "ARM_APP_PATH_REMOVED_EVENT", 4, -1, -1, -1, -1, 0, false, false, L::kNone, -1, R::kFromOpc, 0},
    {106, "ACMI_ROUTE_REGISTER_EVENT", 16, 0, 4, -1, -1, 1, false, false, L::kNone, -1, R::kRequest, 107},
    {107, "ACMI_ROUTE_REGISTER_REPLY_EVENT", 12, 0, 4, -1, 8, 0, false, false, L::kNone, -1, R::kFromOpc, 0},
    {108, "ACMI_ROUTE_REQUEST_EVENT", 28, 0, -1, -1, -1, 15, true, false, L::kNone, -1, R::kFromOpc, 0},
    {109, "ACMI_ROUTE_SELECT_EVENT", 16, 0, -1, -1, -1, 11, true, false, L::kNone, -1, R::kToOpc, 0},
    {110, "ACMI_ROUTE_END_EVENT", 12, 0, -1, -1, 8, 0, false, false, L::kNone, -1, R::kToOpc, 0},
    {112, "ARM_GET_AGENT_TASKS_REQ", 20, 0, 16, 12, -1, 0, false, true, L::kNone, -1, R::kRequest, 113},
    {113, "ARM_GET_AGENT_TASKS_RESP", 24, 0, 20, -1, 12, 0, false, true, L::kTasks, 16, R::kFromOpc, 0},
    {114, "ARM_SNAPSHOT_TASK_REQ", 32, 0, 28, 24, -1, 0, false, true, L::kNone, -1, R::kRequest, 115},
    {115, "ARM_SNAPSHOT_TASK_RESP", 68, 0, 60, -1, 24, 13, true, true, L::kNone, -1, R::kFromOpc, 0},
    {116, "ARM_AGENT_TASKS_REQUEST_EVENT", 20, -1, -1, 4, -1, 0, false, false, L::kNone, -1, R::kToOpc, 0},
    {117, "ARM_AGENT_TASKS_BEGIN_EVENT", 8, -1, -1, 4, -1, 0, false, false, L::kNone, -1, R::kFromOpc, 0},
    {118, "ARM_AGENT_TASKS_EVENT", 16, -1, -1, 0, -1, 0, false, false, L::kTasks, 12, R::kFromOpc, 0},
    {119, "ARM_SNAPSHOT_TASK_EVENT", 60, -1, -1, 0, -1, 13, true, false, L::kNone, -1, R::kFromOpc, 0},
    {120, "ARM_AGENT_TASKS_END_EVENT", 12, -1, -1, 4, 8, 0, false, false, L::kNone, -1, R::kFromOpc, 0},
    {121, "ARM_DESKTOP_CONNECTED_IND", 24, 0, 20, 16, -1, 0, false, true, L::kMrds, 8, R::kIndication, 0},
};

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

size_t EccBlockSize(int64_t s) { return static_cast<size_t>((s + 7) & ~int64_t{3}); }

}  // namespace

const std::vector<ArmLayout>& ArmLayouts() { return kLayouts; }

int ArmPathAt(uint32_t type) {
    switch (type) {
        case 98: return 4;   // ARM_APP_PATH_UP_REQ
        case 99: return 8;   // ARM_APP_PATH_UP_RESP
        case 100: return 0;  // ARM_APP_PATH_DOWN_IND
        case 102: return 8;  // ARM_SET_APP_PATH_DATA_IND
        default: return -1;
    }
}

const ArmLayout* FindArmLayout(uint32_t type) {
    for (const auto& l : kLayouts)
        if (l.type == type) return &l;
    return nullptr;
}

std::string ArmTypeName(uint32_t type) {
    const ArmLayout* l = FindArmLayout(type);
    return l ? l->name : "<ARM Msg Type(" + std::to_string(type) + ")>";
}

uint32_t ArmMessage::Word(int at) const {
    if (at < 0 || static_cast<size_t>(at) + 4 > fixed.size()) return 0;
    return LoadLE32(fixed.data() + at);
}

void ArmMessage::SetWord(int at, uint32_t v) {
    if (at >= 0) PutLE32(fixed, static_cast<size_t>(at), v);
}

ArmMessage NewArmMessage(const ArmLayout& layout) {
    ArmMessage m;
    m.type = layout.type;
    m.fixed.assign(layout.fixed, 0);
    m.texts.assign(layout.texts, "");
    return m;
}

bool WriteArm(const ArmLayout& layout, const ArmMessage& m, std::vector<uint8_t>* out,
              std::string* error) {
    std::vector<uint8_t> b = m.fixed;
    b.resize(layout.fixed, 0);
    switch (layout.list) {
        case L::kNone: break;
        case L::kTasks:
            PutLE32(b, static_cast<size_t>(layout.listCountAt),
                  static_cast<uint32_t>(m.list.size() / 3));
            break;
        case L::kMrds:
            PutLE16(b, static_cast<size_t>(layout.listCountAt),
                  static_cast<uint16_t>(m.list.size()));
            break;
        case L::kMembers: PutLE32(b, b.size(), static_cast<uint32_t>(m.list.size() / 2)); break;
    }
    for (uint32_t w : m.list) PutLE32(b, b.size(), w);
    for (size_t i = 0; i < layout.texts; ++i)
        AppendPadded(b, i < m.texts.size() ? m.texts[i] : std::string());
    if (layout.ecc) {
        const size_t at = b.size();
        const size_t n = m.ecc.size();
        b.resize(at + EccBlockSize(static_cast<int64_t>(n)), 0);
        PutLE32(b, at, static_cast<uint32_t>(n));
        if (n) std::memcpy(b.data() + at + 4, m.ecc.data(), n);
    }
    if (layout.uii) AppendPadded(b, m.uniqueInstanceID);
    if (b.size() > kMaxBody)
        return Fail(error, "message of " + std::to_string(b.size()) + " bytes above 4008");
    *out = std::move(b);
    return true;
}

bool ReadArm(const ArmLayout& layout, const uint8_t* p, size_t len, ArmMessage* out,
             std::string* error) {
    if (len < layout.fixed)
        return Fail(error, std::to_string(len) + " bytes, shorter than the fixed part of " +
                               std::to_string(layout.fixed));
    ArmMessage m;
    m.type = layout.type;
    m.fixed.assign(p, p + layout.fixed);
    size_t at = layout.fixed;
    size_t words = 0;
    switch (layout.list) {
        case L::kNone: break;
        case L::kTasks: words = 3 * size_t{LoadLE32(p + layout.listCountAt)}; break;
        case L::kMrds: words = LoadLE16(p + layout.listCountAt); break;
        case L::kMembers:
            if (len - at < 4) return Fail(error, "no member count");
            words = 2 * size_t{LoadLE32(p + at)};
            at += 4;
            break;
    }
    if (words > (len - at) / 4)
        return Fail(error, "a list of " + std::to_string(words) + " words runs past the message");
    for (size_t i = 0; i < words; ++i, at += 4) m.list.push_back(LoadLE32(p + at));
    m.texts.resize(layout.texts);
    for (size_t i = 0; i < layout.texts; ++i)
        if (!ReadPadded(p, len, &at, &m.texts[i]))
            return Fail(error, "text " + std::to_string(i + 1) + " runs past the message");
    if (layout.ecc) {
        if (len - at < 4) return Fail(error, "no ECC size");
        m.eccSize = static_cast<int32_t>(LoadLE32(p + at));
        if (m.eccSize < 0) return Fail(error, "negative ECC size");
        const size_t block = EccBlockSize(m.eccSize);
        if (block > len - at) return Fail(error, "the ECC block runs past the message");
        const size_t kept = std::min<size_t>(static_cast<size_t>(m.eccSize), kMaxEcc);
        m.ecc.assign(p + at + 4, p + at + 4 + kept);
        at += block;
    }
    if (layout.uii && !ReadPadded(p, len, &at, &m.uniqueInstanceID))
        return Fail(error, "the unique instance id runs past the message");
    if (at != len)
        return Fail(error, std::to_string(len - at) + " bytes after the message's last item");
    *out = std::move(m);
    return true;
}

ArmMessage BuildArmAnswer(const ArmLayout& reqLayout, const ArmMessage& req,
                          const std::vector<std::pair<uint32_t, uint32_t>>& members,
                          const std::vector<uint32_t>& tasks, uint32_t* nextTask) {
    const ArmLayout* a = FindArmLayout(reqLayout.answer);
    if (!a) return BuildArmFailure(reqLayout, req, 1);
    ArmMessage m = NewArmMessage(*a);
    m.SetWord(a->invokeAt, req.Word(reqLayout.invokeAt));
    m.SetWord(a->clientAt, req.Word(reqLayout.clientAt));
    m.uniqueInstanceID = req.uniqueInstanceID;
    switch (a->type) {
        case 50: m.SetWord(8, req.Word(8)); break;  // AgentSkillTargetID: the agent's
        case 60:
        case 63:
        case 104:
            m.SetWord(12, (*nextTask)++);  // the new task
            m.SetWord(16, 1);
            m.SetWord(20, 0);
            break;
        case 75:
        case 77:
            m.SetWord(4, req.Word(4));  // MRDID
            m.SetWord(8, req.Word(8));  // ZURAgentID
            break;
        case 99:
            m.SetWord(8, req.Word(4));   // ApplicationPathID
            m.SetWord(12, req.Word(8));  // SessionID
            m.fixed[16] = req.fixed[12];  // Side
            for (const auto& mp : members) m.list.push_back(mp.first);
            for (const auto& mp : members) m.list.push_back(mp.second);
            break;
        case 113:
            m.SetWord(4, req.Word(4));
            m.SetWord(8, req.Word(8));
            m.list = tasks;
            break;
        case 115:
            m.SetWord(4, req.Word(4));
            m.SetWord(8, req.Word(8));
            for (int i = 0; i < 3; ++i) m.SetWord(12 + 4 * i, req.Word(12 + 4 * i));
            m.SetWord(36, 1);  // TaskState
            break;
        default: break;
    }
    return m;
}

ArmMessage BuildArmFailure(const ArmLayout& reqLayout, const ArmMessage& req, uint32_t status) {
    const ArmLayout* f = FindArmLayout(85);
    ArmMessage m = NewArmMessage(*f);
    m.SetWord(0, req.Word(reqLayout.invokeAt));
    m.SetWord(4, status);
    m.SetWord(8, reqLayout.type);
    m.SetWord(12, req.Word(reqLayout.sessionAt));
    m.SetWord(16, req.Word(reqLayout.clientAt));
    m.uniqueInstanceID = req.uniqueInstanceID;
    return m;
}

}  // namespace opcpeer
