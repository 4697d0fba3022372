// What the runtime writes for the node's user alone: the EMS log files and the event log
// file, 0600 (0640 below a setgid directory), and the shared memory of the IMT links, 0600,
// whatever the umask.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "nuvlib/emsinternal.h"
#include "nuvlib/emt/emt.h"
#include "nuvlib/eventlog.h"
#include "platform/named.h"
#include "tests/nuvlib/emt/spawn.h"
#include "tests/support/file_mode.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;

namespace {

using testsupport::ModeOf;
using testsupport::Umask;

// One root as ./run makes it, and one that an operator gave a group with the setgid bit.
struct Root {
    const char* name;
    bool group;
};
constexpr Root kRoots[] = {{"plain", false}, {"setgid", true}};

TEST(PrivateFiles, EmsLogFile) {
    for (const Root& r : kRoots) {
        SCOPED_TRACE(r.name);
        testsupport::TempDir dir("ems");
        if (r.group) {
            ASSERT_EQ(::chmod(dir.path().c_str(), 02750), 0);
        }
        EMSGlobals& ems = EMSState();
        EMSCopyText(ems.processName, sizeof ems.processName, "modes");
        EMSCopyText(ems.installRoot, sizeof ems.installRoot, dir.str().c_str());
        ems.logFileLocation[0] = '\0';
        Umask hold(0);
        ASSERT_EQ(EMSOpenLogFile(), 1);
        const std::string name = EMSLogFileSnapshot().currentName;
        EMSCloseLog();
        EXPECT_EQ(ModeOf(dir / name), r.group ? 0640 : 0600) << name;
    }
}

TEST(PrivateFiles, EventLogFileAndItsFolder) {
    for (const Root& r : kRoots) {
        SCOPED_TRACE(r.name);
        testsupport::TempDir dir("evt");
        if (r.group) {
            ASSERT_EQ(::chmod(dir.path().c_str(), 02750), 0);
        }
        Umask hold(0);
        EventLog log;
        ASSERT_TRUE(log.Register("modes", (dir / "root").string()));
        EXPECT_EQ(ModeOf(dir / "root"), r.group ? 02750 : 0700);
        EXPECT_EQ(ModeOf(dir / "root" / "eventlog"), r.group ? 02750 : 0700);
        EXPECT_EQ(ModeOf(log.FilePath()), r.group ? 0640 : 0600) << log.FilePath();
        log.Close();
    }
}

// The listening end of a shared-memory link, named after its port.
TEST(PrivateFiles, ImtSharedMemory) {
    ASSERT_EQ(EMTInitialize(nullptr, 0, 0, 0), 0u);
    Umask hold(0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(testsupport::FreePort());
    uint32_t lh = 0;
    ASSERT_EQ(EMTListen(&at, &lh, 0, nullptr), 0u);
    const std::string shm = plat::MapObjectName("Global\\IMT.PID:0.PORT:" + std::to_string(ntohs(at.sin_port)));
    EXPECT_EQ(ModeOf(fs::path("/dev/shm") / shm), 0600) << shm;
    EMTDisconnect(lh);
    testsupport::RemoveNamespaceShm();
}

}  // namespace
