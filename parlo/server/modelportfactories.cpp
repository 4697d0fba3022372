// The two ports that other layers own, each a process-wide object: the session layer's sink
// and the application's client directory.
#include "parlo/app/clientdirectory.h"
#include "parlo/server/ctiregistry.h"
#include "parlo/server/server.h"
#include "parlo/server/serverports.h"
#include "parlo/server/sessionsink.h"

namespace {

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

model::SessionSink& ModelSessionSink() { return SessionSinkPort::Instance(); }

model::ClientDirectory& ModelClientDirectory() {
    static ApplicationClientDirectory directory;
    return directory;
}
