#include "nuvlib/crash.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <chrono>
#include <thread>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/emstextsinks.h"
#include "platform/byteorder.h"
#include "tests/nuvlib/ems_testutil.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;

namespace {

struct ChildResult {
    int status = 0;
    std::string out, err;
};

// Runs a scenario in a child process with its output captured in files.
ChildResult RunChild(const std::function<void()>& scenario) {
    testsupport::TempDir io("io");
    const fs::path out = io / "out", err = io / "err";
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(90);
        setvbuf(stdout, nullptr, _IONBF, 0);
        scenario();
        _exit(0);
    }
    ChildResult r;
    waitpid(pid, &r.status, 0);
    r.out = testsupport::ReadFile(out);
    r.err = testsupport::ReadFile(err);
    return r;
}

// Prepares the child: console sinks, the dump settings, the handler.
void PrepareChild(const std::string& logLocation, uint32_t control) {
    EMSInstallStandardSinks();
    EMSGlobals& ems = EMSState();
    EMSCopyText(ems.logFileLocation, sizeof ems.logFileLocation, logLocation.c_str());
    ems.generateSmallMemoryDump = control;
    if (InstallGlobalExceptionHandler() != 0) _exit(91);
}

std::vector<fs::path> Dumps(const fs::path& dir) {
    std::vector<fs::path> v;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".mdmp") v.push_back(e.path());
    std::sort(v.begin(), v.end());
    return v;
}

const uint8_t* At(const std::string& dump, size_t at) {
    return reinterpret_cast<const uint8_t*>(dump.data()) + at;
}

// Section types of a dump, checking that the sections fill the file exactly.
std::vector<uint32_t> SectionTypes(const std::string& dump) {
    std::vector<uint32_t> types;
    EXPECT_EQ("PRLODUMP", dump.substr(0, 8));
    size_t at = 56;
    while (at + 24 <= dump.size()) {
        types.push_back(plat::LoadLE32(At(dump, at)));
        at += 24 + plat::LoadLE64(At(dump, at + 16));
    }
    EXPECT_EQ(dump.size(), at);
    return types;
}

std::string Exe() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return std::string(buf, n > 0 ? n : 0);
}

TEST(CrashHandler, FaultWritesASmallDumpAndTheReportAndDiesBySegv) {
    testsupport::TempDir logs;
    ChildResult r = RunChild([&] {
        PrepareChild(logs.str(), 1);
        CrashRaiseAccessViolation();
    });
    ASSERT_TRUE(WIFSIGNALED(r.status)) << r.status << r.out << r.err;
    EXPECT_EQ(SIGSEGV, WTERMSIG(r.status));
    EXPECT_NE(std::string::npos,
              r.err.find("UNHANDLED EXCEPTION ********* STACK TRACE TO FOLLOW:\n"));
    const size_t report = r.out.find("Exception code: C0000005 ACCESS_VIOLATION\r\n");
    ASSERT_NE(std::string::npos, report) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Fault address:  "));
    EXPECT_NE(std::string::npos, r.out.find("\r\nRegisters:\r\nRAX:"));
    // The log keeps the first 1195 characters of the report (and the console adds "\n").
    EXPECT_LE(r.out.size() - report, 1195u + 1u);

    auto dumps = Dumps(logs.path());
    ASSERT_EQ(1u, dumps.size());
    const std::string name = dumps[0].filename().string();
    const std::string exeName = fs::path(Exe()).filename().string().substr(0, 29);
    EXPECT_EQ(exeName + "_", name.substr(0, exeName.size() + 1));
    EXPECT_EQ(exeName.size() + 1 + 17 + 5, name.size());
    EXPECT_NE(std::string::npos,
              r.out.find("CExceptionHandlerEx::GenerateMiniDump -- A Mini Dump File is available at " +
                         dumps[0].string()));
    std::string dump = testsupport::ReadFile(dumps[0]);
    EXPECT_EQ(static_cast<uint32_t>(SIGSEGV), plat::LoadLE32(At(dump, 12)));
    EXPECT_EQ(CRASH_ACCESS_VIOLATION, plat::LoadLE32(At(dump, 20)));
    EXPECT_EQ(1u, plat::LoadLE32(At(dump, 48)));
    EXPECT_EQ((std::vector<uint32_t>{1, 2, 3}), SectionTypes(dump));
}

TEST(CrashHandler, KeepsTheNewestDumpsAndAFullDumpHoldsWritableMemory) {
    testsupport::TempDir logs;
    const std::string exeName = fs::path(Exe()).filename().string().substr(0, 29);
    const char* stamps[] = {"20200101000000001", "20210101000000000", "20190101000000000",
                            "20220101000000000", "20230101000000000"};
    for (const char* s : stamps) testsupport::WriteFile(logs / (exeName + "_" + s + ".mdmp"), "x");
    testsupport::WriteFile(logs / ("other_" + std::string(stamps[0]) + ".mdmp"), "x");
    testsupport::WriteFile(logs / (exeName + "_2019.mdmp"), "x");

    // Control word 0x32: a full dump, keep three.
    ChildResult start = RunChild([&] { PrepareChild(logs.str(), 0x32); });
    ASSERT_TRUE(WIFEXITED(start.status) && WEXITSTATUS(start.status) == 0) << start.out;
    std::vector<std::string> left;
    for (const auto& p : Dumps(logs.path())) left.push_back(p.filename().string());
    EXPECT_EQ((std::vector<std::string>{exeName + "_2019.mdmp",
                                        exeName + "_20210101000000000.mdmp",
                                        exeName + "_20220101000000000.mdmp",
                                        exeName + "_20230101000000000.mdmp",
                                        "other_20200101000000001.mdmp"}),
              left);

    ChildResult crash = RunChild([&] {
        PrepareChild(logs.str(), 0x32);
        CrashRaiseAccessViolation();
    });
    ASSERT_TRUE(WIFSIGNALED(crash.status)) << crash.status << crash.out << crash.err;
    fs::path newest;
    for (const auto& p : Dumps(logs.path())) {
        const std::string n = p.filename().string();
        if (n.rfind(exeName + "_", 0) == 0 && n.size() == exeName.size() + 23) newest = p;
    }
    EXPECT_NE(logs / (exeName + "_20230101000000000.mdmp"), newest);
    ASSERT_FALSE(newest.empty());
    std::string dump = testsupport::ReadFile(newest);
    EXPECT_EQ(2u, plat::LoadLE32(At(dump, 48)));
    auto types = SectionTypes(dump);
    EXPECT_GT(std::count(types.begin(), types.end(), 4u), 0);

    // After a restart only the three newest remain.
    ChildResult restart = RunChild([&] { PrepareChild(logs.str(), 0x32); });
    ASSERT_TRUE(WIFEXITED(restart.status));
    size_t mine = 0;
    for (const auto& p : Dumps(logs.path()))
        if (p.filename().string().size() == exeName.size() + 23) ++mine;
    EXPECT_EQ(3u, mine);
}

TEST(CrashHandler, KindZeroWritesTheReportButNoDump) {
    testsupport::TempDir logs;
    ChildResult r = RunChild([&] {
        PrepareChild(logs.str(), 0x10);
        CrashRaiseAccessViolation();
    });
    ASSERT_TRUE(WIFSIGNALED(r.status));
    EXPECT_EQ(SIGSEGV, WTERMSIG(r.status));
    EXPECT_NE(std::string::npos, r.out.find("Exception code: C0000005 ACCESS_VIOLATION"));
    EXPECT_TRUE(Dumps(logs.path()).empty());
}

TEST(CrashHandler, ReportGoesToStandardErrorWhileAnotherThreadHoldsTheEventLock) {
    testsupport::TempDir logs;
    ChildResult r = RunChild([&] {
        PrepareChild(logs.str(), 0);
        std::atomic<bool> held{false};
        std::thread([&] {
            EMSLockGlobal();
            held = true;
            pause();
        }).detach();
        while (!held) std::this_thread::yield();
        CrashRaiseAccessViolation();
    });
    ASSERT_TRUE(WIFSIGNALED(r.status));
    EXPECT_EQ(SIGSEGV, WTERMSIG(r.status));
    EXPECT_NE(std::string::npos, r.err.find("Exception code: C0000005 ACCESS_VIOLATION\r\n"));
    EXPECT_NE(std::string::npos, r.err.find("\r\nCall stack:\r\nAddress   Frame\r\n"));
    EXPECT_EQ(std::string::npos, r.out.find("Exception code")) << r.out;
}

TEST(CrashHandler, WithoutTheLogDirectoryTheDumpLandsBesideTheExecutable) {
    const std::string exe = Exe();
    ChildResult r = RunChild([&] {
        PrepareChild("/nonexistent/logs", 1);
        CrashRaiseAccessViolation();
    });
    ASSERT_TRUE(WIFSIGNALED(r.status));
    const fs::path dir = fs::path(exe).parent_path();
    const std::string stem = fs::path(exe).filename().string() + "_";
    int found = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string n = e.path().filename().string();
        if (n.rfind(stem, 0) == 0 && e.path().extension() == ".mdmp") {
            ++found;
            fs::remove(e.path());
        }
    }
    EXPECT_EQ(1, found);
    EXPECT_NE(std::string::npos, r.out.find("A Mini Dump File is available at " + exe + "_"));
}

TEST(CrashHandler, UncaughtExceptionTakesTheCrashPathAndDiesByAbort) {
    testsupport::TempDir logs;
    ChildResult r = RunChild([&] {
        PrepareChild(logs.str(), 0);
        std::thread([] { throw std::runtime_error("nobody catches this"); }).join();
    });
    ASSERT_TRUE(WIFSIGNALED(r.status));
    EXPECT_EQ(SIGABRT, WTERMSIG(r.status));
    EXPECT_NE(std::string::npos,
              r.out.find("Exception code: E06D7363 Microsoft Compiler Generated (Q185294)"))
        << r.out << r.err;
}

TEST(CrashHandler, SecondInstallFindsItsMutex) {
    ChildResult r = RunChild([] {
        PrepareChild("", 0);
        _exit(static_cast<int>(InstallGlobalExceptionHandler()));
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(1, WEXITSTATUS(r.status));
}

TEST(CrashHandler, SignalsMapToExceptionCodesAndNames) {
    struct Case {
        int signo, code;
        uint32_t expected;
        const char* name;
    } cases[] = {
        {SIGSEGV, SEGV_MAPERR, 0xC0000005, "ACCESS_VIOLATION"},
        {SIGBUS, BUS_ADRALN, 0x80000002, "DATATYPE_MISALIGNMENT"},
        {SIGBUS, BUS_ADRERR, 0xC0000006, "IN_PAGE_ERROR"},
        {SIGFPE, FPE_INTDIV, 0xC0000094, "INT_DIVIDE_BY_ZERO"},
        {SIGFPE, FPE_INTOVF, 0xC0000095, "INT_OVERFLOW"},
        {SIGFPE, FPE_FLTDIV, 0xC000008E, "FLT_DIVIDE_BY_ZERO"},
        {SIGFPE, FPE_FLTRES, 0xC000008F, "FLT_INEXACT_RESULT"},
        {SIGFPE, FPE_FLTINV, 0xC0000090, "FLT_INVALID_OPERATION"},
        {SIGFPE, FPE_FLTOVF, 0xC0000091, "FLT_OVERFLOW"},
        {SIGFPE, FPE_FLTUND, 0xC0000093, "FLT_UNDERFLOW"},
        {SIGILL, ILL_PRVOPC, 0xC0000096, "PRIV_INSTRUCTION"},
        {SIGILL, ILL_ILLOPC, 0xC000001D, "ILLEGAL_INSTRUCTION"},
        {SIGTRAP, TRAP_BRKPT, 0x80000003, "BREAKPOINT"},
        {SIGTRAP, TRAP_TRACE, 0x80000004, "SINGLE_STEP"},
        {SIGABRT, SI_TKILL, CRASH_ABORT, "abort"},
    };
    for (const auto& c : cases) {
        uint32_t code = CrashCodeOf(c.signo, c.code, reinterpret_cast<void*>(16), nullptr);
        EXPECT_EQ(c.expected, code) << c.signo << "/" << c.code;
        EXPECT_STREQ(c.name, CrashCodeName(code));
    }
    EXPECT_STREQ("STACK_OVERFLOW", CrashCodeName(0xC00000FD));
}

}  // namespace

namespace {

// The operator's way in: EMSDbgFaultNow makes a started process take the crash path.
TEST(CrashHandler, FaultOnRequestLeavesDumpAndReportInTheLogDirectory) {
    testsupport::TempDir logs;
    const std::string exeName = fs::path(Exe()).filename().string().substr(0, 29);
    ChildResult r = RunChild([&] {
        emstest::Process p;
        p.SetString("EMSLogFileLocation", logs.str());
        p.SetDword("EMSGenerateSmallMemoryDump", 0x31);  // small dumps, keep three
        p.Init();
        // The settings watch sees the change and takes the crash path.
        p.SetDword("EMSDbgFaultNow", 1);
        for (;;) pause();  // the crash path ends the process
    });
    ASSERT_TRUE(WIFSIGNALED(r.status)) << r.status << r.out << r.err;
    EXPECT_EQ(SIGSEGV, WTERMSIG(r.status));
    const auto records = emstest::ReadLogs(logs.path());
    const emstest::Record* report =
        emstest::FindText(records, "Exception code: C0000005 ACCESS_VIOLATION");
    ASSERT_NE(nullptr, report) << r.out;
    EXPECT_EQ(EMS_ID_ERROR, report->id);
    EXPECT_LE(report->Text().size(), 1195u);  // the log keeps the report's first 1195 characters
    EXPECT_NE(nullptr, emstest::FindText(records, "A Mini Dump File is available at " +
                                                      (logs / exeName).string() + "_"));
    ASSERT_EQ(1u, Dumps(logs.path()).size());

    // Older dumps pile up; a restart keeps the three newest.
    for (const char* s : {"20100101000000000", "20110101000000000", "20120101000000000"})
        testsupport::WriteFile(logs / (exeName + "_" + s + ".mdmp"), "x");
    ChildResult restart = RunChild([&] {
        emstest::Process p;
        p.SetString("EMSLogFileLocation", logs.str());
        p.SetDword("EMSGenerateSmallMemoryDump", 0x31);
        p.Init();
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(restart.status)) << restart.out << restart.err;
    auto left = Dumps(logs.path());
    ASSERT_EQ(3u, left.size());
    EXPECT_EQ(exeName + "_20110101000000000.mdmp", left[0].filename().string());
}

}  // namespace

namespace {

// The report buffer keeps 2047 characters: a piece that does not fit whole is cut, so the
// last frames of a long stack still show as far as there is room.
TEST(CrashHandler, ReportKeepsWhatFitsOfTheLastPiece) {
    const std::string big(3000, 'x');
    CExceptionHandlerEx::ReportAppend("%s", big.c_str());
    EXPECT_EQ(std::string(2046, 'x'), CExceptionHandlerEx::ReportText());
    CExceptionHandlerEx::ReportAppend("yz");
    CExceptionHandlerEx::ReportAppend("more");
    const std::string text = CExceptionHandlerEx::ReportText();
    ASSERT_EQ(2047u, text.size());
    EXPECT_EQ('y', text.back());
}

int ResolvableFunction() { return 7; }

TEST(CrashHandler, LogicalAddressNamesTheModuleAndTheOffsetInItsSegment) {
    uint32_t section = 99;
    uint64_t offset = 99;
    const char* module = "unset";
    const auto code = reinterpret_cast<uint64_t>(&ResolvableFunction);
    ASSERT_TRUE(CExceptionHandlerEx::GetLogicalAddress(code, &section, &offset, &module));
    EXPECT_GE(section, 1u);
    EXPECT_LT(offset, code);
    EXPECT_EQ(fs::canonical(Exe()), fs::canonical(module));

    // Nothing known at the address: zeros and no module.
    for (uint64_t address : {uint64_t{0}, uint64_t{16}}) {
        section = 99;
        offset = 99;
        module = "unset";
        EXPECT_FALSE(CExceptionHandlerEx::GetLogicalAddress(address, &section, &offset, &module));
        EXPECT_EQ(0u, section);
        EXPECT_EQ(0u, offset);
        EXPECT_STREQ("", module);
    }
}

}  // namespace
