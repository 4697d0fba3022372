// The two ports that other layers own. Each factory answers a process-wide object; the
// session layer and the application replace these no-ops with their own.
#include "ctimsg/basemsg.h"
#include "ctimsg/names.h"
#include "nuvlib/ems.h"
#include "parlo/server/ctiregistry.h"
#include "parlo/server/server.h"
#include "parlo/server/serverports.h"
#include "platform/clock.h"

namespace {

// No session exists: nothing is sent, nothing is found.
class NoSessionSink : public model::SessionSink {
public:
    int WriteMSG(const char*, int32_t, BaseMSG&, int) override { return 0; }
    int WriteMSG(int32_t, BaseMSG&) override { return 0; }
    int SendFailureEventMSG(int32_t, uint32_t, bool) override { return 0; }
    int SendResponseMSG(int32_t, BaseMSG&, uint64_t) override { return 0; }
    bool FindSession(int32_t) override { return false; }
    int32_t FindSessionByUniqueInstanceID(const char*) override { return -1; }
    StdQueue* SessionMonitorList(void*) override { return nullptr; }
};

// No client exists. Messages are still validated as the application does, so that a
// model fault shows in the trace even while no one would receive the message.
class NoClientDirectory : public model::ClientDirectory {
public:
    bool Find(int32_t, model::ClientInfo&) override { return false; }
    int ValidateMessage(const char* caller, BaseMSG& msg) override {
        if (msg.ValidateToSend(24) == 0) return 1;
        static const char kStars[] = "*********************************************************************";
        EMSTraceMessage("%s", kStars);
        EMSTraceMessage("Warning: %s - INVALID MESSAGE, err:%s, element:%s", caller ? caller : "",
                        StatusCodeName(static_cast<int32_t>(msg.GetStatus())),
                        ElementName(static_cast<int32_t>(msg.GetFailingElement())));
        EMSTraceMessage("%s", kStars);
        return 0;
    }
    uint64_t FileTimeNow() override { return plat::FileTimeNow(); }
    void ReportECCTooMuchData(const char*, uint32_t, uint32_t) override {}
    bool GetDisableUTF8Conversion() override {
        const Server* server = Server::sm_Server;
        const CTIRegistry* registry = server ? server->GetRegistry() : nullptr;
        return registry != nullptr && registry->Config().DisableUTF8Conversion != 0;
    }
};

}  // namespace

model::SessionSink& ModelSessionSink() {
    static NoSessionSink sink;
    return sink;
}

model::ClientDirectory& ModelClientDirectory() {
    static NoClientDirectory directory;
    return directory;
}
