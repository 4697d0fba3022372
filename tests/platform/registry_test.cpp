// The registry store: value forms on disk, Win32 results, names without case, change
// notification (also from another process), and the parlo-reg CLI.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

using namespace plat;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes Sz(std::string_view s) {
    Bytes b = B(s);
    b.push_back(0);
    return b;
}

// Bound for an event that must come: long enough for a loaded machine, reached only when
// the code is wrong.
constexpr uint32_t kEventBoundMs = 10000;

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RegCreateKey(RegRoot(), "SOFTWARE\\Acme, Inc.\\Base", key_.out()), 0u);
    }
    RegKey key() { return key_.get(); }

    uint32_t Set(RegKey k, const char* name, uint32_t type, const Bytes& data) {
        return RegSetValue(k, name, type, data.data(), static_cast<uint32_t>(data.size()));
    }
    // Reads a value through a fresh handle, so that nothing cached can answer.
    uint32_t Get(const char* path, const char* name, uint32_t* type, Bytes* out) {
        RegKeyHolder k;
        if (uint32_t rc = RegOpenKey(RegRoot(), path, k.out())) return rc;
        uint32_t size = 0;
        if (uint32_t rc = RegQueryValue(k.get(), name, type, nullptr, &size)) return rc;
        out->assign(size, 0xCC);
        return RegQueryValue(k.get(), name, type, out->data(), &size);
    }
    std::string ValuesFile() {
        return testsupport::ReadFile(testsupport::RegistryRoot() / "SOFTWARE" / "Acme, Inc." /
                                     "Base" / ".values");
    }

    // Every change made before this call has reached the process's watches: one inotify
    // queue delivers in order, so a watch of another key firing after a later change
    // shows that everything queued before it has been handled.
    bool AwaitWatcherCaughtUp() {
        RegKeyHolder barrier;
        if (RegCreateKey(RegRoot(), "Barrier", barrier.out()) != 0) return false;
        Event ev(true, false);
        uint32_t v = 1;
        if (RegNotifyChangeKeyValue(barrier.get(), &ev) != 0 ||
            RegSetValue(barrier.get(), "Tick", REG_DWORD, &v, 4) != 0)
            return false;
        return ev.Wait(kEventBoundMs) == WAIT_OBJECT_0;
    }

    RegKeyHolder key_;
};

constexpr const char* kBase = "SOFTWARE\\Acme, Inc.\\Base";

}  // namespace

TEST_F(Registry, EveryTypeRoundTripsThroughItsFileForm) {
    struct Case {
        const char* name;
        uint32_t type;
        Bytes data;
        const char* line;  // the line in .values
    };
    const std::vector<Case> cases = {
        {"EMSTraceMask", REG_DWORD, {0x10, 0, 0, 0}, "\"EMSTraceMask\"=dword:00000010"},
        {"Big", REG_DWORD, {0x78, 0x56, 0x34, 0xF2}, "\"Big\"=dword:f2345678"},
        {"Loc", REG_SZ, Sz("c:\\logs \"x\""), "\"Loc\"=\"c:\\\\logs \\\"x\\\"\""},
        {"Empty", REG_SZ, Sz(""), "\"Empty\"=\"\""},
        {"NoNul", REG_SZ, B("ab"), "\"NoNul\"=hex(1):61,62"},
        {"Tab", REG_SZ, Sz("a\tb"), "\"Tab\"=hex(1):61,09,62,00"},
        {"Path", REG_EXPAND_SZ, Sz("%ROOT%\\bin"), "\"Path\"=expand:\"%ROOT%\\\\bin\""},
        {"EMSUserData", REG_BINARY, {0x01, 0x80}, "\"EMSUserData\"=hex:01,80"},
        {"NoBytes", REG_BINARY, {}, "\"NoBytes\"=hex:"},
        {"Names", REG_MULTI_SZ, B(std::string("one\0two\0\0", 9)), "\"Names\"=multi:\"one\",\"two\""},
        {"NoNames", REG_MULTI_SZ, {0}, "\"NoNames\"=multi:"},
        {"OddMulti", REG_MULTI_SZ, B(std::string("a\0", 2)), "\"OddMulti\"=hex(7):61,00"},
        {"Short", REG_DWORD, {1, 2}, "\"Short\"=hex(4):01,02"},
        {"Quad", 11, {1, 2, 3, 4, 5, 6, 7, 8}, "\"Quad\"=hex(b):01,02,03,04,05,06,07,08"},
        {"", REG_SZ, Sz("default"), "@=\"default\""},
    };
    for (const auto& c : cases) ASSERT_EQ(Set(key(), c.name, c.type, c.data), 0u) << c.name;
    std::string file = ValuesFile();
    for (const auto& c : cases) {
        EXPECT_NE(file.find(std::string(c.line) + "\n"), std::string::npos) << c.line << "\n" << file;
        uint32_t type = 99;
        Bytes got;
        ASSERT_EQ(Get(kBase, c.name, &type, &got), 0u) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(got, c.data) << c.name;
    }
}

TEST_F(Registry, QueryGivesSizesAndWin32Errors) {
    ASSERT_EQ(Set(key(), "Eight", REG_BINARY, Bytes(8, 7)), 0u);
    uint32_t type = 0, size = 0;
    EXPECT_EQ(RegQueryValue(key(), "Eight", &type, nullptr, &size), 0u);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, REG_BINARY);

    // Too small: 234, the size needed, and the buffer left alone.
    uint8_t four[4] = {1, 2, 3, 4};
    size = 4;
    EXPECT_EQ(RegQueryValue(key(), "Eight", &type, four, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(four[0], 1);

    size = 4;
    EXPECT_EQ(RegQueryValue(key(), "Missing", &type, four, &size), ERROR_FILE_NOT_FOUND);
    RegKey none = nullptr;
    EXPECT_EQ(RegOpenKey(RegRoot(), "SOFTWARE\\Nobody", &none), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
    // Registry calls answer with their result and leave the last error alone.
    SetLastError(0);
    EXPECT_EQ(RegQueryValue(key(), "Missing", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(Registry, NamesMatchWithoutCaseAndKeepTheirFirstSpelling) {
    RegKeyHolder other;
    bool created = true;
    ASSERT_EQ(RegCreateKey(RegRoot(), "software\\ACME, INC.\\base", other.out(), &created), 0u);
    EXPECT_FALSE(created);
    uint32_t one = 1, two = 2;
    ASSERT_EQ(RegSetValue(key(), "EMSTraceMask", REG_DWORD, &one, 4), 0u);
    ASSERT_EQ(RegSetValue(other.get(), "emstracemask", REG_DWORD, &two, 4), 0u);

    uint32_t got = 0, size = 4;
    EXPECT_EQ(RegQueryValue(key(), "EMSTRACEMASK", nullptr, &got, &size), 0u);
    EXPECT_EQ(got, 2u);
    std::string name;
    EXPECT_EQ(RegEnumValue(key(), 0, &name, nullptr), 0u);
    EXPECT_EQ(name, "EMSTraceMask");
    EXPECT_EQ(RegEnumValue(key(), 1, &name, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegKeyPath(other.get()), RegKeyPath(key()));
}

TEST_F(Registry, KeysEnumerateDeleteAndRefuseBadNames) {
    for (const char* sub : {"beta", "Alpha", "gamma\\deep"}) {
        RegKeyHolder k;
        ASSERT_EQ(RegCreateKey(key(), sub, k.out()), 0u) << sub;
    }
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; RegEnumKey(key(), i, &name) == 0; ++i) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    EXPECT_EQ(RegEnumKey(key(), 3, &name), ERROR_NO_MORE_ITEMS);

    RegKeyInfo info;
    uint32_t v = 5;
    ASSERT_EQ(RegSetValue(key(), "Five", REG_DWORD, &v, 4), 0u);
    ASSERT_EQ(RegQueryInfoKey(key(), &info), 0u);
    EXPECT_EQ(info.subKeys, 3u);
    EXPECT_EQ(info.maxSubKeyLen, 5u);
    EXPECT_EQ(info.values, 1u);
    EXPECT_EQ(info.maxValueLen, 4u);

    // A key with subkeys stays; a deleted key's handle answers 1018.
    EXPECT_EQ(RegDeleteKey(key(), "GAMMA"), ERROR_ACCESS_DENIED);
    RegKeyHolder deep;
    ASSERT_EQ(RegOpenKey(key(), "gamma\\deep", deep.out()), 0u);
    ASSERT_EQ(RegSetValue(deep.get(), "x", REG_DWORD, &v, 4), 0u);
    EXPECT_EQ(RegDeleteKey(key(), "gamma\\DEEP"), 0u);
    EXPECT_EQ(RegDeleteKey(key(), "gamma"), 0u);
    EXPECT_EQ(RegQueryValue(deep.get(), "x", nullptr, nullptr, &v), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValue(deep.get(), "x", REG_DWORD, &v, 4), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKey(key(), "gamma"), ERROR_FILE_NOT_FOUND);

    RegKey bad = nullptr;
    const std::string tooLong(256, 'k');
    for (const char* path : {"..", "a\\..\\b", ".values", "a/b", tooLong.c_str()})
        EXPECT_EQ(RegCreateKey(key(), path, &bad), ERROR_INVALID_PARAMETER) << path;
    EXPECT_EQ(RegSetValue(key(), "line\nbreak", REG_DWORD, &v, 4), ERROR_INVALID_PARAMETER);
    Bytes huge(kRegMaxValueSize + 1);
    EXPECT_EQ(RegSetValue(key(), "huge", REG_BINARY, huge.data(), static_cast<uint32_t>(huge.size())),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteValue(key(), "Five"), 0u);
    EXPECT_EQ(RegDeleteValue(key(), "Five"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ReadsAHandWrittenFileAndSkipsBrokenLines) {
    testsupport::WriteFile(testsupport::RegistryRoot() / "SOFTWARE" / "Acme, Inc." / "Base" /
                               ".values",
                           "; written by an operator\r\n"
                           "\"Mask\" = dword:ff\r\n"
                           "\"Bin\"=hex:01,02,\\\n"
                           "    03\n"
                           "\"Exp\"=hex(2):41,00\n"
                           "\"Bad\"=dword:123456789\n"
                           "\"Worse\"=\"unterminated\n"
                           "garbage\n"
                           "\"Mask2\"=dword:1\n");
    struct Case { const char* name; uint32_t type; Bytes data; };
    for (const auto& c : {Case{"mask", REG_DWORD, {0xff, 0, 0, 0}},
                          Case{"Bin", REG_BINARY, {1, 2, 3}},
                          Case{"Exp", REG_EXPAND_SZ, Sz("A")},
                          Case{"Mask2", REG_DWORD, {1, 0, 0, 0}}}) {
        uint32_t type = 0;
        Bytes got;
        ASSERT_EQ(Get(kBase, c.name, &type, &got), 0u) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(got, c.data) << c.name;
    }
    for (const char* name : {"Bad", "Worse"}) {
        uint32_t size = 0;
        EXPECT_EQ(RegQueryValue(key(), name, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    }
    // A file larger than any the store writes is refused, not read into memory.
    testsupport::WriteFile(testsupport::RegistryRoot() / "SOFTWARE" / "Acme, Inc." / "Base" /
                               ".values",
                           std::string(kRegMaxFileSize + 1, ';'));
    uint32_t size = 0;
    EXPECT_EQ(RegQueryValue(key(), "mask", nullptr, nullptr, &size), ERROR_BADDB);
}

TEST_F(Registry, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 4, kEach = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            RegKeyHolder k;
            ASSERT_EQ(RegOpenKey(RegRoot(), kBase, k.out()), 0u);
            for (int i = 0; i < kEach; ++i) {
                uint32_t v = static_cast<uint32_t>(t * 1000 + i);
                std::string name = "v" + std::to_string(v);
                ASSERT_EQ(RegSetValue(k.get(), name.c_str(), REG_DWORD, &v, 4), 0u);
            }
        });
    }
    // A reader meanwhile always sees whole files.
    for (int i = 0; i < 50; ++i) {
        RegKeyInfo info;
        ASSERT_EQ(RegQueryInfoKey(key(), &info), 0u);
    }
    for (auto& th : threads) th.join();
    RegKeyInfo info;
    ASSERT_EQ(RegQueryInfoKey(key(), &info), 0u);
    EXPECT_EQ(info.values, static_cast<uint32_t>(kThreads * kEach));
    EXPECT_EQ(RegFlushKey(key()), 0u);
}

TEST_F(Registry, NotifiesOnceForChangesOfTheKeysOwnValues) {
    RegKeyHolder sub;
    ASSERT_EQ(RegCreateKey(key(), "Sub", sub.out()), 0u);
    uint32_t v = 1;
    ASSERT_EQ(RegSetValue(key(), "Before", REG_DWORD, &v, 4), 0u);  // before the watch: unseen

    Event ev(true, false);
    ASSERT_EQ(RegNotifyChangeKeyValue(key(), &ev), 0u);
    ASSERT_EQ(RegSetValue(sub.get(), "InSubkey", REG_DWORD, &v, 4), 0u);
    RegKeyHolder subsub;
    ASSERT_EQ(RegCreateKey(key(), "Another", subsub.out()), 0u);
    ASSERT_TRUE(AwaitWatcherCaughtUp());
    EXPECT_FALSE(ev.IsSet());

    ASSERT_EQ(RegSetValue(key(), "EMSTraceMask", REG_DWORD, &v, 4), 0u);
    EXPECT_EQ(ev.Wait(kEventBoundMs), WAIT_OBJECT_0);

    // One shot: a later change needs a new registration.
    ev.Reset();
    ASSERT_EQ(RegSetValue(key(), "EMSTraceMask", REG_DWORD, &v, 4), 0u);
    ASSERT_TRUE(AwaitWatcherCaughtUp());
    EXPECT_FALSE(ev.IsSet());
    ASSERT_EQ(RegNotifyChangeKeyValue(key(), &ev), 0u);
    ASSERT_EQ(RegDeleteValue(key(), "Before"), 0u);
    EXPECT_EQ(ev.Wait(kEventBoundMs), WAIT_OBJECT_0);
    EXPECT_EQ(RegPendingWatches(), 0u);
}

TEST_F(Registry, ClosingTheKeyWakesABlockedWatch) {
    RegKey k = nullptr;
    ASSERT_EQ(RegOpenKey(RegRoot(), kBase, &k), 0u);
    std::promise<uint32_t> woke;
    std::thread watcher([&] { woke.set_value(RegNotifyChangeKeyValue(k, nullptr)); });
    ASSERT_TRUE(testsupport::WaitFor([] { return RegPendingWatches() == 1; }));
    auto result = woke.get_future();
    ASSERT_EQ(RegCloseKey(k), 0u);
    bool woken = result.wait_for(std::chrono::milliseconds(kEventBoundMs)) == std::future_status::ready;
    if (!woken) {
        // Nothing else can free it: fail rather than hang.
        watcher.detach();
        FAIL() << "closing the key left the watch blocked";
    }
    watcher.join();
    EXPECT_EQ(result.get(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegPendingWatches(), 0u);
}

// ---- the CLI -----------------------------------------------------------------------------

namespace {

// Runs parlo-reg with args; out (optional) gets stdout, or stderr when errors is set. env
// holds NAME=value settings for the run ("-u NAME" unsets).
int RunCli(const std::vector<std::string>& args, std::string* out = nullptr,
           bool errors = false, const std::vector<std::string>& env = {}) {
    std::string cmd = "env";
    for (const auto& e : env) cmd += " " + e;
    cmd += std::string(" '") + PARLO_REG_BIN + "'";
    for (const auto& a : args) cmd += " '" + a + "'";
    cmd += errors ? " 2>&1 >/dev/null" : " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p)) text.append(buf, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(Registry, ChangeByAnotherProcessWakesABlockedWatch) {
    RegKey k = nullptr;
    ASSERT_EQ(RegOpenKey(RegRoot(), kBase, &k), 0u);
    std::promise<uint32_t> woke;
    std::thread watcher([&] { woke.set_value(RegNotifyChangeKeyValue(k, nullptr)); });
    ASSERT_TRUE(testsupport::WaitFor([] { return RegPendingWatches() == 1; }));
    ASSERT_EQ(RunCli({"set", "software/acme, inc./base", "EMSTraceMask", "dword", "0x20"}), 0);
    auto result = woke.get_future();
    bool seen = result.wait_for(std::chrono::milliseconds(kEventBoundMs)) == std::future_status::ready;
    // A missed change must fail the test, not hang it: closing the key frees the watcher.
    RegCloseKey(k);
    watcher.join();
    ASSERT_TRUE(seen);
    EXPECT_EQ(result.get(), 0u);
    uint32_t v = 0, size = 4;
    EXPECT_EQ(RegQueryValue(key(), "EMSTraceMask", nullptr, &v, &size), 0u);
    EXPECT_EQ(v, 0x20u);
}

TEST_F(Registry, CliSetsGetsDumpsImportsAndDeletes) {
    struct Case { std::vector<std::string> set; std::string shown; };
    const std::vector<Case> cases = {
        {{"Mask", "dword", "4096"}, "dword:00001000"},
        {{"Loc", "sz", "a \"b\""}, "\"a \\\"b\\\"\""},
        {{"Exp", "expand", "%X%"}, "expand:\"%X%\""},
        {{"Bin", "binary", "01,80"}, "hex:01,80"},
        {{"Multi", "multi", "a", "b"}, "multi:\"a\",\"b\""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"set", "SOFTWARE/Acme, Inc./Base/Cli"};
        args.insert(args.end(), c.set.begin(), c.set.end());
        ASSERT_EQ(RunCli(args), 0) << c.set[0];
        std::string out;
        ASSERT_EQ(RunCli({"get", "software\\acme, inc.\\base\\cli", c.set[0]}, &out), 0);
        EXPECT_EQ(out, c.shown + "\n");
    }
    std::string out;
    EXPECT_EQ(RunCli({"get", "SOFTWARE/Acme, Inc./Base/Cli", "Nope"}), 1);
    EXPECT_EQ(RunCli({"set", "SOFTWARE/Acme, Inc./Base/Cli", "Mask", "dword", "4294967296"}), 2);

    // dump, delete everything, import the dump: the same tree again.
    std::string dump;
    ASSERT_EQ(RunCli({"dump", "SOFTWARE"}, &dump), 0);
    EXPECT_NE(dump.find("[SOFTWARE\\Acme, Inc.\\Base\\Cli]\n\"Mask\"=dword:00001000\n"),
              std::string::npos)
        << dump;
    testsupport::TempDir tmp;
    testsupport::WriteFile(tmp / "saved.reg", dump);
    ASSERT_EQ(RunCli({"delete", "SOFTWARE/Acme, Inc./Base/Cli", "Mask"}), 0);
    EXPECT_EQ(RunCli({"get", "SOFTWARE/Acme, Inc./Base/Cli", "Mask"}), 1);
    key_.reset();
    ASSERT_EQ(RunCli({"del", "SOFTWARE"}), 0);
    EXPECT_EQ(RunCli({"dump", "SOFTWARE"}), 1);
    ASSERT_EQ(RunCli({"import", (tmp / "saved.reg").string()}), 0);
    std::string again;
    ASSERT_EQ(RunCli({"dump", "SOFTWARE"}, &again), 0);
    EXPECT_EQ(again, dump);

    // An import file in the usual form, with a broken line reported (and the rest kept).
    testsupport::WriteFile(tmp / "in.reg",
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imported]\n"
                           "\"A\"=dword:00000001\n"
                           "\"B\"=nonsense\n"
                           "\"C\"=\"c\"\n");
    EXPECT_EQ(RunCli({"import", (tmp / "in.reg").string()}), 1);
    ASSERT_EQ(RunCli({"get", "SOFTWARE/Imported", "C"}, &out), 0);
    EXPECT_EQ(out, "\"c\"\n");
}

TEST_F(Registry, CliSaysWhatIsMissingInWords) {
    testsupport::TempDir home;
    const std::string root = testsupport::RegistryRoot().string();
    const std::string none = (home / "none").string();
    struct Case {
        std::vector<std::string> env;
        std::vector<std::string> args;
        std::string said;
    };
    const std::vector<Case> cases = {
        {{"-u", "PARLO_REGISTRY_ROOT", "HOME=" + home.str()},
         {"dump"},
         "no registry at " + home.str() + "/.parlo/registry (PARLO_REGISTRY_ROOT is not set)"},
        {{"PARLO_REGISTRY_ROOT=" + none},
         {"get", "SOFTWARE", "X"},
         "no registry at " + none + " (named by PARLO_REGISTRY_ROOT)"},
        {{}, {"get", "SOFTWARE/Nobody", "X"}, "no key SOFTWARE\\Nobody in the registry at " + root},
        {{}, {"dump", "SOFTWARE/Nobody"}, "no key SOFTWARE\\Nobody in the registry at " + root},
        {{}, {"del", "SOFTWARE/Nobody"}, "no key SOFTWARE\\Nobody in the registry at " + root},
        {{}, {"get", kBase, "Nope"}, std::string("no value \"Nope\" in key ") + kBase},
        {{}, {"del", kBase, "Nope"}, std::string("no value \"Nope\" in key ") + kBase},
        {{},
         {"set", "SOFTWARE/.hidden", "X", "dword", "1"},
         "key SOFTWARE\\.hidden: not a valid key name (a name may not start with '.' or be "
         "longer than 255 characters)"},
    };
    for (const auto& c : cases) {
        std::string said;
        EXPECT_EQ(RunCli(c.args, &said, true, c.env), 1) << c.args[0];
        EXPECT_EQ(said, "parlo-reg: " + c.said + "\n");
    }
    // Looking does not make a store where there was none.
    EXPECT_FALSE(std::filesystem::exists(home / ".parlo"));
    EXPECT_FALSE(std::filesystem::exists(none));
}

TEST(DefaultRegistryFiles, ImportCleanly) {
    // Every area's defaults in config/ must load without a complaint.
    std::vector<std::string> args = {"import"};
    for (const auto& e : std::filesystem::directory_iterator(PARLO_CONFIG_DIR))
        if (e.path().extension() == ".reg") args.push_back(e.path().string());
    ASSERT_GT(args.size(), 1u);
    EXPECT_EQ(RunCli(args), 0);
    std::string out;
    ASSERT_EQ(RunCli({"get",
                      "SOFTWARE/Quenlo Systems, Inc./ZUR/parlo/EMS/CurrentVersion/Library/"
                      "Processes/parlo",
                      "EMSDisplayToScreen"},
                     &out),
              0);
    EXPECT_EQ(out, "dword:00000001\n");
}
