// parlo ProcessName LastShutdownType DuplexConfig Side NUVRoot DMPSystemID RegBase
//       [/host PGHost] [/debug] [/tsy]
// The server process, as the node manager starts it.
#include "nuvlib/ems.h"
#include "nuvlib/reader.h"
#include "parlo/server/parlomain.h"

int main(int argc, char** argv) {
    StartTestHooks();
    StartStopSignals();
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
