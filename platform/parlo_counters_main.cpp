// parlo-counters [--watch] [INSTANCE]
//
// Prints one line per counter of every published performance-counter instance (or of the
// named one): instance name, counter id, counter name or "-", signed value, separated by
// blanks. --watch prints them again every second. Exit status 1 when the named instance is
// not published (without --watch; a line on stderr says so), 2 on a usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/named.h"
#include "platform/perfcounters.h"

namespace {

int PrintOnce(const std::string& instance) {
    const auto found = plat::ReadPublishedCounters(instance);
    for (const auto& published : found)
        for (const auto& c : published.counters)
            std::printf("%s %u %s %d\n", published.instance.c_str(), c.id,
                        c.name.empty() ? "-" : c.name.c_str(), c.value);
    std::fflush(stdout);
    return !instance.empty() && found.empty() ? 1 : 0;
}

// Names the namespace too: a server started with another PARLO_NAMESPACE publishes there.
void NotPublished(const std::string& instance) {
    std::string ns = plat::MapObjectName("");
    ns.pop_back();  // the '.' before the object's own name
    std::fprintf(stderr, "parlo-counters: no instance %s is published in namespace %s (PARLO_NAMESPACE)\n",
                 instance.c_str(), ns.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    bool watch = false;
    std::string instance;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--watch") == 0) {
            watch = true;
        } else if (argv[i][0] == '-' || !instance.empty()) {
            std::fprintf(stderr, "usage: parlo-counters [--watch] [INSTANCE]\n");
            return 2;
        } else {
            instance = argv[i];
        }
    }
    if (!watch) {
        const int status = PrintOnce(instance);
        if (status != 0) NotPublished(instance);
        return status;
    }
    for (;;) {
        PrintOnce(instance);
        plat::SleepForMs(1000);
    }
}
