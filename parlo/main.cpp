// parlo ProcessName LastShutdownType DuplexConfig Side NUVRoot DMPSystemID RegBase
//       [/host PGHost] [/debug] [/tsy]
// The server process, as the node manager starts it.
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <thread>

#include "nuvlib/ems.h"
#include "nuvlib/reader.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/server/parlomain.h"
#include "parlo/server/server.h"

namespace {

// Process tests only: with PARLO_TEST_HOOKS set, SIGUSR2 ends the application thread as a
// failure would (no shutdown asked for). Blocked before any thread starts, so only the
// waiting thread takes it.
void StartTestHooks() {
    if (std::getenv("PARLO_TEST_HOOKS") == nullptr) return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    std::thread([set] {
        for (int sig = 0;;)
            if (sigwait(&set, &sig) == 0 && Server::sm_Server != nullptr)
                if (CTIApplication* application = Server::sm_Server->GetApplication())
                    application->FailThreadForTest();
    }).detach();
}

}  // namespace

int main(int argc, char** argv) {
    StartTestHooks();
    EMSTraceMessage("Main: argc = %d", argc);
    EMSTraceMessage("inside main");
    for (int i = 0; i < argc; ++i) EMSTraceMessage("Main: argv[%d] = %s", i, argv[i]);
    Reader* reader = new Reader;
    ParloMain* command = new ParloMain;
    reader->Run(command, argc, argv);
    delete command;
    delete reader;
    return 0;
}
