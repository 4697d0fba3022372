// Modes of the node's private files: made 0600 (0640 below a setgid directory) whatever the
// umask, and what the registry store, the named objects and the counters make with them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/filemode.h"
#include "platform/named.h"
#include "platform/perfcounters.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tests/support/file_mode.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;

namespace {

using testsupport::ModeOf;
using testsupport::Umask;

constexpr mode_t kUmasks[] = {0, 022, 077};

void MakeSetgid(const fs::path& dir) {
    fs::create_directories(dir);
    ASSERT_EQ(::chmod(dir.c_str(), 02750), 0);
}

TEST(FileMode, FilesAndDirectoriesAreTheOwnersOrTheirGroupsWhateverTheUmask) {
    for (mode_t mask : kUmasks) {
        SCOPED_TRACE(testing::Message() << "umask 0" << std::oct << mask);
        testsupport::TempDir dir("mode");
        const fs::path shared = dir / "shared";
        MakeSetgid(shared);
        Umask hold(mask);
        const struct {
            fs::path where;
            int file, subdir;
        } cases[] = {{dir.path(), 0600, 0700}, {shared, 0640, 02750}};
        for (const auto& c : cases) {
            const int fd = plat::OpenPrivateFile((c.where / "log").string(), O_WRONLY | O_EXCL);
            ASSERT_GE(fd, 0) << c.where;
            ::close(fd);
            EXPECT_EQ(ModeOf(c.where / "log"), c.file) << c.where;
            ASSERT_TRUE(plat::MakePrivateDir((c.where / "sub").string()));
            EXPECT_EQ(ModeOf(c.where / "sub"), c.subdir) << c.where;
            // The rule carries down: a file in the new directory follows the directory.
            const int inner = plat::OpenPrivateFile((c.where / "sub" / "f").string(), O_WRONLY);
            ASSERT_GE(inner, 0);
            ::close(inner);
            EXPECT_EQ(ModeOf(c.where / "sub" / "f"), c.file) << c.where;
        }
    }
}

TEST(FileMode, AnExistingFileIsNarrowedAndAnExistingDirectoryKept) {
    testsupport::TempDir dir("mode");
    const fs::path file = dir / "old.log";
    testsupport::WriteFile(file, "x");
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    const int fd = plat::OpenPrivateFile(file.string(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(ModeOf(file), 0600);
    EXPECT_EQ(testsupport::ReadFile(file), "x");  // opened, not truncated

    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    EXPECT_TRUE(plat::MakePrivateDir(dir.str()));
    EXPECT_EQ(ModeOf(dir.path()), 0755);
    // A file cannot be made where the directory is missing.
    errno = 0;
    EXPECT_LT(plat::OpenPrivateFile((dir / "missing" / "f").string(), O_WRONLY), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(plat::MakePrivateDir((dir / "missing" / "d").string()));
}

// The registry's key directories and values files, in a plain store and in one whose root
// has the setgid bit.
TEST(FileMode, RegistryStore) {
    for (const bool group : {false, true}) {
        SCOPED_TRACE(group ? "setgid root" : "plain root");
        testsupport::TempDir dir("reg");
        const fs::path root = dir / "registry";
        if (group) MakeSetgid(root);
        ::setenv("PARLO_REGISTRY_ROOT", root.c_str(), 1);
        Umask hold(0);
        plat::RegKeyHolder key;
        ASSERT_EQ(plat::RegCreateKey(plat::RegRoot(), "SOFTWARE\\Quenlo\\Parlo", key.out()), 0u);
        const uint32_t v = 1;
        ASSERT_EQ(plat::RegSetValue(key.get(), "Secret", plat::REG_DWORD, &v, 4), 0u);
        EXPECT_EQ(ModeOf(root), group ? 02750 : 0700);
        EXPECT_EQ(ModeOf(root / "SOFTWARE"), group ? 02750 : 0700);
        EXPECT_EQ(ModeOf(root / "SOFTWARE" / "Quenlo" / "Parlo"), group ? 02750 : 0700);
        EXPECT_EQ(ModeOf(root / "SOFTWARE" / "Quenlo" / "Parlo" / ".values"), group ? 0640 : 0600);
    }
    ::setenv("PARLO_REGISTRY_ROOT", testsupport::RegistryRoot().c_str(), 1);
}

// Shared memory and lock files are the owner's alone, even under umask 0: a section, a
// mutex, a marker event, a counter block, and the run directory that holds the locks.
TEST(FileMode, NamedObjectsAndCounters) {
    testsupport::TempDir dir("run");
    const fs::path run = dir / "run";
    ::setenv("PARLO_RUN_DIR", run.c_str(), 1);
    Umask hold(0);
    const std::string mapped = plat::MapObjectName("Global\\ModeTest");

    plat::SharedSection section;
    ASSERT_TRUE(section.Create("Global\\ModeTest", 64));
    EXPECT_EQ(ModeOf(run), 0700);
    EXPECT_EQ(ModeOf(fs::path("/dev/shm") / mapped), 0600);
    EXPECT_EQ(ModeOf(run / (mapped + ".section")), 0600);

    plat::NamedMutex mutex;
    ASSERT_TRUE(mutex.Create("Global\\ModeTest"));
    EXPECT_EQ(ModeOf(run / (mapped + ".mutex")), 0600);

    plat::NamedMarkerEvent marker("Global\\ModeTest");
    ASSERT_TRUE(marker.Set());
    EXPECT_EQ(ModeOf(marker.Path()), 0600);

    plat::CounterInstance counters;
    ASSERT_TRUE(counters.Create(17, "modetest", {{1, "ONE"}}));
    EXPECT_EQ(ModeOf(fs::path("/dev/shm") / plat::MapObjectName(plat::CounterObjectName(17, "modetest"))),
              0600);

    // A lock file an earlier version left open to everyone is narrowed when it is made again.
    mutex.Close();
    ASSERT_EQ(::chmod((run / (mapped + ".mutex")).c_str(), 0666), 0);
    ASSERT_TRUE(mutex.Create("Global\\ModeTest"));
    EXPECT_EQ(ModeOf(run / (mapped + ".mutex")), 0600);
    ASSERT_TRUE(marker.Reset());
    ::setenv("PARLO_RUN_DIR", testsupport::RunDir().c_str(), 1);
}

}  // namespace
