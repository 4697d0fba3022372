// The two ports that other layers own. Each factory answers a process-wide object: the
// session sink is a no-op until the session layer replaces it.
#include "parlo/app/clientdirectory.h"
#include "parlo/server/ctiregistry.h"
#include "parlo/server/server.h"
#include "parlo/server/serverports.h"

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

// The application's directory over the ClientCB hash. The setting DisableUTF8Conversion is
// the registry's until the application keeps its own copy.
class ApplicationClientDirectory : public ClientCBDirectory {
public:
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
    static ApplicationClientDirectory directory;
    return directory;
}
