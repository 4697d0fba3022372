// The layout rows of the ARM types: one row per type drives length, writing, reading and
// the trace text of its class.
#include "opcmsg/armmsg.h"

#include <cstdio>
#include <iterator>

#include "opcmsg/armagent.h"
#include "opcmsg/armagentinit.h"
#include "opcmsg/armapppath.h"
#include "opcmsg/armtask.h"
#include "opcmsg/armtasklist.h"

namespace {

using opcwire::Item;
using opcwire::ListKind;
using opcwire::TraceItem;

#define I_(label, C, F) TraceItem{label, Item::I32, C::k##F}
#define U_(label, C, F) TraceItem{label, Item::U16, C::k##F}
#define T_(label, C, F) TraceItem{label, Item::Task, C::k##F}
#define S_(label, C, F) TraceItem{label, Item::Text, C::k##F}
#define L_(label) TraceItem{label, Item::Label, 0}
#define UII_ TraceItem{", UniqueInstanceID = ", Item::OptUII, 0}
#define CV_(label, C, n) TraceItem{label, Item::Text, static_cast<uint16_t>(C::kCallVariable1 + (n)), true}
#define CALL_VARIABLES_(C)                                                                  \
    CV_(", CallVariable1 = ", C, 0), CV_("\nCallVariable2 = ", C, 1),                       \
        CV_(", CallVariable3 = ", C, 2), CV_(", CallVariable4 = ", C, 3),                   \
        CV_(", CallVariable5 = ", C, 4), CV_("\nCallVariable6 = ", C, 5),                   \
        CV_(", CallVariable7 = ", C, 6), CV_(", CallVariable8 = ", C, 7),                   \
        CV_(", CallVariable9 = ", C, 8), CV_("\nCallVariable10 = ", C, 9)
#define ECC_(variant) TraceItem{"", Item::ECC, variant}
#define HEAD_(C) I_("InvokeID = ", C, InvokeID), I_(", ClientInvokeID = ", C, ClientInvokeID)
#define AGENT_(C) I_(", MRDID = ", C, MRDID), I_(", ZURAgentID = ", C, ZURAgentID)

using Login = ARMMediaLoginReqMsg;
const TraceItem k49[] = {HEAD_(Login), AGENT_(Login), I_(", AgentMode = ", Login, AgentMode),
    I_("\nIsAvailable = ", Login, IsAvailable), I_(", MaxTaskLimit = ", Login, MaxTaskLimit),
    I_(", MaxBeyondTaskLimit = ", Login, MaxBeyondTaskLimit), S_(", AgentInfo = ", Login, AgentInfo),
    I_(", ApplicationPathID = ", Login, ApplicationPathID), I_(", PeripheralID = ", Login, PeripheralID),
    S_(", AgentID = ", Login, AgentID), UII_, L_("\n")};
using LoginResp = ARMMediaLoginRespMsg;
const TraceItem k50[] = {HEAD_(LoginResp), I_(", Status = ", LoginResp, Status),
    I_(", AgentSkillTargetID = ", LoginResp, AgentSkillTargetID), UII_, L_("\n")};
using Logout = ARMMediaLogoutIndMsg;
const TraceItem k51[] = {HEAD_(Logout), AGENT_(Logout), U_(", EventReasonCode = ", Logout, EventReasonCode),
    I_(", SessionID = ", Logout, SessionID), UII_, L_("\n")};
using Routable = ARMMakeAgentRoutableIndMsg;
const TraceItem k52[] = {HEAD_(Routable), AGENT_(Routable), I_(", MaxTasks = ", Routable, MaxTasks),
    I_(", SessionID = ", Routable, SessionID), UII_, L_("\n")};
using AgentReq = ARMAgentReqLayoutMsg;
const TraceItem k53[] = {HEAD_(AgentReq), AGENT_(AgentReq), UII_, L_("\n")};
using StatusResp = ARMStatusRespLayoutMsg;
const TraceItem k54[] = {HEAD_(StatusResp), I_(", Status = ", StatusResp, Status), UII_, L_("\n")};
using Ready = ARMMakeAgentReadyIndMsg;
const TraceItem k55[] = {HEAD_(Ready), AGENT_(Ready), I_(", MakeRoutable = ", Ready, MakeRoutable),
    I_(", SessionID = ", Ready, SessionID), UII_, L_("\n")};
using NotReady = ARMMakeAgentNotReadyReqMsg;
const TraceItem k56[] = {HEAD_(NotReady), AGENT_(NotReady), I_(", Reason = ", NotReady, Reason), UII_, L_("\n")};
using MadeNotRoutable = ARMAgentMadeNotRoutableEventMsg;
const TraceItem k68[] = {I_("MRDID = ", MadeNotRoutable, MRDID),
    I_(", ZURAgentID = ", MadeNotRoutable, ZURAgentID), L_("\n")};
using Advisory = ARMAgentInterruptAdvisoryEventMsg;
const TraceItem k69[] = {I_("InvokeID = ", Advisory, InvokeID), I_(", MRDID = ", Advisory, MRDID),
    I_(", InterruptingMRDID = ", Advisory, InterruptingMRDID), I_(", ZURAgentID = ", Advisory, ZURAgentID), L_("\n")};
using InterruptInd = ARMInterruptIndLayoutMsg;
const TraceItem k70[] = {HEAD_(InterruptInd), AGENT_(InterruptInd),
    I_(", SessionID = ", InterruptInd, SessionID), UII_, L_("\n")};
using DoneAdvisory = ARMAgentInterruptDoneAdvisoryEventMsg;
const TraceItem k72[] = {I_("InvokeID = ", DoneAdvisory, InvokeID), AGENT_(DoneAdvisory), L_("\n")};
using LimitReq = ARMChangeMaxTaskLimitReqMsg;
const TraceItem k74[] = {HEAD_(LimitReq), AGENT_(LimitReq), I_(", MaxTasks = ", LimitReq, MaxTasks), UII_, L_("\n")};
using LimitResp = ARMChangeMaxTaskLimitRespMsg;
const TraceItem k75[] = {HEAD_(LimitResp), AGENT_(LimitResp),
    I_(", DoThisWithTaskOnTheWay = ", LimitResp, DoThisWithTaskOnTheWay), I_(", Status = ", LimitResp, Status),
    UII_, L_("\n")};
using OverrideResp = ARMOverrideLimitRespMsg;
const TraceItem k77[] = {HEAD_(OverrideResp), AGENT_(OverrideResp), I_(", Status = ", OverrideResp, Status), UII_, L_("\n")};
using Failure = ARMFailureRespMsg;
const TraceItem k85[] = {HEAD_(Failure), I_(", Status = ", Failure, Status), I_(", Type = ", Failure, Type),
    I_(", SessionID = ", Failure, SessionID), UII_, L_("\n")};
using Desktop = ARMDesktopConnectedIndMSG;
const TraceItem k121[] = {HEAD_(Desktop), I_(", ZURAgentID = ", Desktop, ZURAgentID),
    U_(", NumMRDs = ", Desktop, NumMRDs), U_(", EventReasonCode = ", Desktop, EventReasonCode),
    I_(", SessionID = ", Desktop, SessionID), TraceItem{", MRDIDs = ", Item::WordList, 0}, UII_};

using TaskInd = ARMTaskIndLayoutMsg;
const TraceItem k58[] = {HEAD_(TaskInd), AGENT_(TaskInd), T_(", TaskID = ", TaskInd, TaskID),
    I_("\nSkillGroupID = ", TaskInd, SkillGroupID), I_(", ServiceID = ", TaskInd, ServiceID),
    I_(", SessionID = ", TaskInd, SessionID), UII_, L_("\n")};
using AppTaskReq = ARMApplicationTaskReqLayoutMsg;
const TraceItem k59[] = {I_("InvokeID = ", AppTaskReq, InvokeID), AGENT_(AppTaskReq),
    T_(", PreviousZURTaskID = ", AppTaskReq, PreviousZURTaskID), I_("\nSkillGroupID = ", AppTaskReq, SkillGroupID),
    I_(", ServiceID = ", AppTaskReq, ServiceID), I_(", XferInWhileLoggedOut = ", AppTaskReq, XferInWhileLoggedOut),
    S_(", ScriptSelector = ", AppTaskReq, ScriptSelector), S_("\nApplicationString1 = ", AppTaskReq, ApplicationString1),
    S_(", ApplicationString2 = ", AppTaskReq, ApplicationString2), CALL_VARIABLES_(AppTaskReq), L_("\n"), ECC_(0),
    UII_, L_("\n")};
using TaskResp = ARMTaskRespLayoutMsg;
const TraceItem k60[] = {HEAD_(TaskResp), I_(", Status = ", TaskResp, Status), T_(", TaskID = ", TaskResp, TaskID),
    UII_, L_("\n")};
using TaskStep = ARMTaskStepIndLayoutMsg;
const TraceItem k64[] = {HEAD_(TaskStep), T_(", TaskID = ", TaskStep, TaskID), I_(", SessionID = ", TaskStep, SessionID),
    UII_, L_("\n")};
using EndTask = ARMEndTaskIndMsg;
const TraceItem k67[] = {HEAD_(EndTask), T_(", TaskID = ", EndTask, TaskID),
    U_(", ZURDisposition = ", EndTask, ZURDisposition), U_(", ApplicationDisposition = ", EndTask, ApplicationDisposition),
    I_(", SessionID = ", EndTask, SessionID), S_("\nWrapupData = ", EndTask, WrapupData),
    S_(", ApplicationData = ", EndTask, ApplicationData), UII_, L_("\n")};
using Context = ARMUpdateTaskContextIndMsg;
const TraceItem k78[] = {I_("InvokeID = ", Context, InvokeID), T_(", TaskID = ", Context, TaskID),
    I_(", SessionID = ", Context, SessionID), S_("\nScriptSelector = ", Context, ScriptSelector),
    S_(", ApplicationString1 = ", Context, ApplicationString1), S_(", ApplicationString2 = ", Context, ApplicationString2),
    CALL_VARIABLES_(Context), L_("\n"), ECC_(0), UII_, L_("\n")};
using TaskInit = ARMTaskInitLayoutMsg;
#define TASK_INIT_TAIL_                                                                          \
    I_("MRDID = ", TaskInit, MRDID), I_(", AgentID = ", TaskInit, AgentID),                       \
        I_(", SkillGroupID = ", TaskInit, SkillGroupID), I_(", ServiceID = ", TaskInit, ServiceID), \
        I_(", Paused = ", TaskInit, Paused), I_("\nTaskState = ", TaskInit, TaskState),          \
        I_(", OfferDuration = ", TaskInit, OfferDuration), I_(", BeginDuration = ", TaskInit, BeginDuration), \
        I_(", InterruptDuration = ", TaskInit, InterruptDuration),                               \
        I_(", PauseDuration = ", TaskInit, PauseDuration), I_("\nWrapupDuration = ", TaskInit, WrapupDuration), \
        I_("\nApplicationRouted = ", TaskInit, ApplicationRouted), I_("SessionID = ", TaskInit, SessionID), \
        S_("\nScriptSelector = ", TaskInit, ScriptSelector),                                     \
        S_(", ApplicationString1 = ", TaskInit, ApplicationString1),                             \
        S_(", ApplicationString2 = ", TaskInit, ApplicationString2), CALL_VARIABLES_(TaskInit), L_("\n"), \
        ECC_(0), UII_, L_("\n")
const TraceItem k83[] = {T_("TaskID = ", ARMTaskInitIndMsg, TaskID), TASK_INIT_TAIL_};
const TraceItem k103[] = {I_("InvokeID = ", TaskInit, InvokeID),
    T_("PreviousZURTaskID = ", ARMTaskInitReqMsg, PreviousZURTaskID), TASK_INIT_TAIL_};

using SnapReq = ARMSnapshotTaskReqMsg;
const TraceItem k114[] = {HEAD_(SnapReq), AGENT_(SnapReq), T_(", TaskID = ", SnapReq, TaskID),
    I_(", SessionID = ", SnapReq, SessionID), UII_, L_("\n")};
using SnapResp = ARMSnapshotTaskRespMsg;
const TraceItem k115[] = {HEAD_(SnapResp), AGENT_(SnapResp), T_(", TaskID = ", SnapResp, TaskID),
    I_(", SkillGroupID = ", SnapResp, SkillGroupID), I_(", ServiceID = ", SnapResp, ServiceID),
    I_("\nTaskState = ", SnapResp, TaskState), I_(", OfferDuration = ", SnapResp, OfferDuration),
    I_(", BeginDuration = ", SnapResp, BeginDuration), I_(", InterruptDuration = ", SnapResp, InterruptDuration),
    I_(", PauseDuration = ", SnapResp, PauseDuration), I_("\nWrapupDuration = ", SnapResp, WrapupDuration),
    I_(", ApplicationRouted = ", SnapResp, ApplicationRouted), S_(", ScriptSelector = ", SnapResp, ScriptSelector),
    S_(", ApplicationString1 = ", SnapResp, ApplicationString1),
    S_(", ApplicationString2 = ", SnapResp, ApplicationString2), CALL_VARIABLES_(SnapResp), L_("\n"), ECC_(0),
    UII_, L_("\n")};
using SnapEvent = ARMSnapshotTaskEventMSG;
const TraceItem k119[] = {I_("SessionID = ", SnapEvent, SessionID), AGENT_(SnapEvent),
    T_(", TaskID = ", SnapEvent, TaskID), I_(", SkillGroupID = ", SnapEvent, SkillGroupID),
    I_(", ServiceID = ", SnapEvent, ServiceID), I_("TaskState = ", SnapEvent, TaskState),
    I_(", OfferDuration = ", SnapEvent, OfferDuration), I_(", BeginDuration = ", SnapEvent, BeginDuration),
    I_(", InterruptDuration = ", SnapEvent, InterruptDuration), I_(", PauseDuration = ", SnapEvent, PauseDuration),
    I_("WrapupDuration = ", SnapEvent, WrapupDuration), I_(", ApplicationRouted = ", SnapEvent, ApplicationRouted),
    S_(", ScriptSelector = ", SnapEvent, ScriptSelector), S_(", ApplicationString1 = ", SnapEvent, ApplicationString1),
    S_(", ApplicationString2 = ", SnapEvent, ApplicationString2),
    CV_(",\n CallVariable1 = ", SnapEvent, 0), CV_("CallVariable2 = ", SnapEvent, 1),
    CV_(", CallVariable3 = ", SnapEvent, 2), CV_(", CallVariable4 = ", SnapEvent, 3),
    CV_(", CallVariable5 = ", SnapEvent, 4), CV_("\nCallVariable6 = ", SnapEvent, 5),
    CV_(", CallVariable7 = ", SnapEvent, 6), CV_(", CallVariable8 = ", SnapEvent, 7),
    CV_(", CallVariable9 = ", SnapEvent, 8), CV_(", CallVariable10 = ", SnapEvent, 9), ECC_(1)};
using TasksReq = ARMGetAgentTasksReqMsg;
const TraceItem k112[] = {HEAD_(TasksReq), AGENT_(TasksReq), I_(", SessionID = ", TasksReq, SessionID), UII_, L_("\n")};
using TasksResp = ARMGetAgentTasksRespMsg;
const TraceItem k113[] = {HEAD_(TasksResp), AGENT_(TasksResp), I_(", Status = ", TasksResp, Status),
    I_(", NumTasks = ", TasksResp, NumTasks), TraceItem{", TaskIDs = ", Item::TaskList, 0}, UII_, L_("\n")};
using TasksEvent = ARMAgentTasksEventMSG;
const TraceItem k118[] = {I_("SessionID = ", TasksEvent, SessionID), AGENT_(TasksEvent),
    I_(", NumTasks = ", TasksEvent, NumTasks), TraceItem{", TaskIDs = ", Item::TaskList, 0}};
using TasksReqEvent = ARMAgentTasksReqEventMSG;
const TraceItem k116[] = {I_("ZURAgentID = ", TasksReqEvent, ZURAgentID), I_(", SessionID = ", TasksReqEvent, SessionID),
    I_(", ApplicationPathID = ", TasksReqEvent, ApplicationPathID),
    I_(", SendTasksInAllMRDs = ", TasksReqEvent, SendTasksInAllMRDs),
    I_(", DesktopConnectedFlag = ", TasksReqEvent, DesktopConnectedFlag)};
using TasksBegin = ARMAgentTasksBeginEventMSG;
const TraceItem k117[] = {I_("ZURAgentID = ", TasksBegin, ZURAgentID), I_(", SessionID = ", TasksBegin, SessionID)};
using TasksEnd = ARMAgentTasksEndEventMSG;
const TraceItem k120[] = {I_("ZURAgentID = ", TasksEnd, ZURAgentID), I_(", SessionID = ", TasksEnd, SessionID)};
using Lifetime = ARMMaxTaskLifetimeExceededEventMsg;
const TraceItem k101[] = {T_("TaskID = ", Lifetime, TaskID), I_(", AgentID = ", Lifetime, AgentID),
    I_(", MRDID = ", Lifetime, MRDID), L_("\n")};

using UpReq = ARMAppPathUpReqMsg;
const TraceItem k98[] = {I_("InvokeID = ", UpReq, InvokeID), I_(", ApplicationPathID = ", UpReq, ApplicationPathID)};
using UpResp = ARMAppPathUpRespMsg;
const TraceItem k99[] = {I_("InvokeID = ", UpResp, InvokeID), I_(", Status = ", UpResp, Status),
    I_(", ApplicationPathID = ", UpResp, ApplicationPathID), L_(", AppPathMemberList = ")};
using Down = ARMAppPathDownIndMsg;
const TraceItem k100[] = {I_("SessionID = ", Down, SessionID), I_(", ApplicationPathID = ", Down, ApplicationPathID),
    L_("\n")};
using AppData = ARMSetAppPathDataIndMsg;
const TraceItem k102[] = {HEAD_(AppData), I_(", SessionID = ", AppData, SessionID),
    I_(", ApplicationPathID = ", AppData, ApplicationPathID), S_(", ApplicationText1 = ", AppData, ApplicationText1),
    S_("\nApplicationText2 = ", AppData, ApplicationText2), S_(", ApplicationText3 = ", AppData, ApplicationText3),
    S_(", ApplicationText4 = ", AppData, ApplicationText4), S_(", ApplicationText5 = ", AppData, ApplicationText5),
    S_(", ApplicationText6 = ", AppData, ApplicationText6), S_("\nApplicationText7 = ", AppData, ApplicationText7),
    S_(", ApplicationText8 = ", AppData, ApplicationText8), S_(", ApplicationText9 = ", AppData, ApplicationText9),
    S_("\nApplicationText10 = ", AppData, ApplicationText10), L_("\n")};
using Removed = ARMAppPathRemovedEventMsg;
const TraceItem k105[] = {I_(", ApplicationPathID = ", Removed, ApplicationPathID), L_("\n")};

using BeginInit = ARMBeginAgentInitIndMsg;
const TraceItem k79[] = {I_("SessionID = ", BeginInit, SessionID), I_(", ApplicationPathID = ", BeginInit, ApplicationPathID),
    L_("\n")};
using InitReq = ARMAgentInitReqMsg;
const TraceItem k80[] = {I_("MRDID = ", InitReq, MRDID), I_(", InvokeID = ", InitReq, InvokeID),
    I_(", ClientInvokeID = ", InitReq, ClientInvokeID), I_(", AgentID = ", InitReq, AgentID),
    I_(", AgentMode = ", InitReq, AgentMode), I_("\nIsInterrupted = ", InitReq, IsInterrupted),
    I_(", InterruptingMRDID = ", InitReq, InterruptingMRDID),
    I_(", InterruptingInvokeID = ", InitReq, InterruptingInvokeID), I_(", IsNotReady = ", InitReq, IsNotReady),
    I_(", MaxTaskLimit = ", InitReq, MaxTaskLimit), I_(", MaxBeyondTaskLimit = ", InitReq, MaxBeyondTaskLimit),
    S_("\nAgentInfo = ", InitReq, AgentInfo), I_(", AvailableDuration = ", InitReq, AvailableDuration),
    I_("\nLogonDuration = ", InitReq, LogonDuration), I_("\nNotReadyDuration = ", InitReq, NotReadyDuration),
    I_("\nRoutableDuration = ", InitReq, RoutableDuration), I_(", NumTasks = ", InitReq, NumTasks),
    I_("SessionID = ", InitReq, SessionID), UII_, L_("\n")};
using EndInit = ARMEndAgentInitIndMsg;
const TraceItem k82[] = {I_("SessionID = ", EndInit, SessionID), L_("\n")};
using InitReady = ARMAgentInitReadyEventMsg;
const TraceItem k84[] = {I_("ReadyCount = ", InitReady, ReadyCount), I_(" SessionID = ", InitReady, SessionID), L_("\n")};

constexpr bool kOut = false;  // built by the server
constexpr bool kIn = true;    // sent by OPC

#define ROW_(type, fixed, texts, ecc, uii, list, countOff, dir, plainEmpty, trace) \
    opcwire::Layout{type, #type, fixed, texts, ecc, uii, list, countOff, dir, plainEmpty, trace, \
                    static_cast<uint8_t>(std::size(trace))}
#define PLAIN_(type, fixed, uii, dir, trace) ROW_(type, fixed, 0, false, uii, ListKind::None, 0, dir, false, trace)

const opcwire::Layout kRows[] = {
    ROW_(ARM_MEDIA_LOGIN_REQ, 44, 2, false, true, ListKind::None, 0, kOut, false, k49),
    PLAIN_(ARM_MEDIA_LOGIN_RESP, 16, true, kIn, k50),
    PLAIN_(ARM_MEDIA_LOGOUT_IND, 28, true, kOut, k51),
    PLAIN_(ARM_MAKE_AGENT_ROUTABLE_IND, 24, true, kOut, k52),
    PLAIN_(ARM_MAKE_AGENT_NOT_ROUTABLE_REQ, 16, true, kOut, k53),
    PLAIN_(ARM_MAKE_AGENT_NOT_ROUTABLE_RESP, 12, true, kIn, k54),
    PLAIN_(ARM_MAKE_AGENT_READY_IND, 24, true, kOut, k55),
    PLAIN_(ARM_MAKE_AGENT_NOT_READY_REQ, 20, true, kOut, k56),
    PLAIN_(ARM_MAKE_AGENT_NOT_READY_RESP, 12, true, kIn, k54),
    PLAIN_(ARM_OFFER_TASK_IND, 40, true, kOut, k58),
    ROW_(ARM_OFFER_APPLICATION_TASK_REQ, 40, 13, true, true, ListKind::None, 0, kOut, true, k59),
    PLAIN_(ARM_OFFER_APPLICATION_TASK_RESP, 24, true, kIn, k60),
    PLAIN_(ARM_START_TASK_IND, 40, true, kOut, k58),
    ROW_(ARM_START_APPLICATION_TASK_REQ, 40, 13, true, true, ListKind::None, 0, kOut, true, k59),
    PLAIN_(ARM_START_APPLICATION_TASK_RESP, 24, true, kIn, k60),
    PLAIN_(ARM_PAUSE_TASK_IND, 32, true, kOut, k64),
    PLAIN_(ARM_RESUME_TASK_IND, 32, true, kOut, k64),
    PLAIN_(ARM_WRAPUP_TASK_IND, 32, true, kOut, k64),
    ROW_(ARM_END_TASK_IND, 40, 2, false, true, ListKind::None, 0, kOut, false, k67),
    PLAIN_(ARM_AGENT_MADE_NOT_ROUTABLE_EVENT, 8, false, kIn, k68),
    PLAIN_(ARM_AGENT_INTERRUPT_ADVISORY_EVENT, 16, false, kIn, k69),
    PLAIN_(ARM_AGENT_INTERRUPT_ACCEPTED_IND, 20, true, kOut, k70),
    PLAIN_(ARM_AGENT_INTERRUPT_UNACCEPTED_IND, 20, true, kOut, k70),
    PLAIN_(ARM_AGENT_INTERRUPT_DONE_ADVISORY_EVENT, 12, false, kIn, k72),
    PLAIN_(ARM_AGENT_INTERRUPT_DONE_ACCEPTED_IND, 20, true, kOut, k70),
    PLAIN_(ARM_CHANGE_MAX_TASK_LIMIT_REQ, 20, true, kOut, k74),
    PLAIN_(ARM_CHANGE_MAX_TASK_LIMIT_RESP, 24, true, kIn, k75),
    PLAIN_(ARM_OVERRIDE_LIMIT_REQ, 16, true, kOut, k53),
    PLAIN_(ARM_OVERRIDE_LIMIT_RESP, 20, true, kIn, k77),
    ROW_(ARM_UPDATE_TASK_CONTEXT_IND, 32, 13, true, true, ListKind::None, 0, kOut, true, k78),
    PLAIN_(ARM_BEGIN_AGENT_INIT_IND, 8, false, kOut, k79),
    ROW_(ARM_AGENT_INIT_REQ, 68, 1, false, true, ListKind::None, 0, kOut, false, k80),
    PLAIN_(ARM_AGENT_INIT_RESP, 12, true, kIn, k54),
    PLAIN_(ARM_END_AGENT_INIT_IND, 4, false, kOut, k82),
    ROW_(ARM_TASK_INIT_IND, 72, 13, true, true, ListKind::None, 0, kOut, true, k83),
    PLAIN_(ARM_AGENT_INIT_READY_EVENT, 8, false, kIn, k84),
    PLAIN_(ARM_FAILURE_RESP, 20, true, kIn, k85),
    PLAIN_(ARM_APP_PATH_UP_REQ, 16, false, kOut, k98),
    ROW_(ARM_APP_PATH_UP_RESP, 20, 0, false, false, ListKind::Members, 0, kIn, false, k99),
    PLAIN_(ARM_APP_PATH_DOWN_IND, 12, false, kOut, k100),
    PLAIN_(ARM_MAX_TASK_LIFETIME_EXCEEDED_EVENT, 20, false, kIn, k101),
    ROW_(ARM_SET_APP_PATH_DATA_IND, 16, 10, false, true, ListKind::None, 0, kOut, false, k102),
    ROW_(ARM_TASK_INIT_REQ, 72, 13, true, true, ListKind::None, 0, kOut, true, k103),
    PLAIN_(ARM_TASK_INIT_RESP, 24, true, kIn, k60),
    PLAIN_(ARM_APP_PATH_REMOVED_EVENT, 4, false, kIn, k105),
    PLAIN_(ARM_GET_AGENT_TASKS_REQ, 20, true, kOut, k112),
    ROW_(ARM_GET_AGENT_TASKS_RESP, 24, 0, false, true, ListKind::TaskIDs, TasksResp::kNumTasks, kIn, false, k113),
    PLAIN_(ARM_SNAPSHOT_TASK_REQ, 32, true, kOut, k114),
    ROW_(ARM_SNAPSHOT_TASK_RESP, 68, 13, true, true, ListKind::None, 0, kIn, false, k115),
    PLAIN_(ARM_AGENT_TASKS_REQUEST_EVENT, 20, false, kOut, k116),
    PLAIN_(ARM_AGENT_TASKS_BEGIN_EVENT, 8, false, kIn, k117),
    ROW_(ARM_AGENT_TASKS_EVENT, 16, 0, false, false, ListKind::TaskIDs, TasksEvent::kNumTasks, kIn, false, k118),
    ROW_(ARM_SNAPSHOT_TASK_EVENT, 60, 13, true, false, ListKind::None, 0, kIn, false, k119),
    PLAIN_(ARM_AGENT_TASKS_END_EVENT, 12, false, kIn, k120),
    ROW_(ARM_DESKTOP_CONNECTED_IND, 24, 0, false, true, ListKind::Words, Desktop::kNumMRDs, kOut, false, k121),
};

constexpr uint32_t kFirstType = 49;
constexpr uint32_t kLastType = 121;

struct Index {
    const opcwire::Layout* byType[kLastType - kFirstType + 1] = {};
    Index() {
        for (const opcwire::Layout& row : kRows) byType[row.type - kFirstType] = &row;
    }
};

const Index& TheIndex() {
    static const Index index;
    return index;
}

const opcwire::Layout& Required(ARMMsgType type) {
    const opcwire::Layout* row = ARMLayout(type);
    if (row == nullptr) {
        EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "ARMLayout(type) != nullptr", "ARMMsg",
                       __LINE__);
    }
    return *row;
}

}  // namespace

const opcwire::Layout* ARMLayout(uint32_t type) {
    if (type < kFirstType || type > kLastType) return nullptr;
    return TheIndex().byType[type - kFirstType];
}

std::string ARMMsgTypeName(uint32_t type) {
    if (const opcwire::Layout* row = ARMLayout(type)) return row->name;
    char buf[40];
    std::snprintf(buf, sizeof buf, "<ARM Msg Type(%d)>", static_cast<int>(type));
    return buf;
}

ARMMsgCommon::ARMMsgCommon(ARMMsgType type) : m_Body(Required(type)) {}

ARMMsgCommon::ARMMsgCommon(ARMMsgType type, const uint8_t* body, size_t length)
    : m_Body(Required(type), body, length) {}
