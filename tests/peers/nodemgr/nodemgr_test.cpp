// The node-manager stand-in against a process that runs the responder.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "nuvlib/nodemgr.h"
#include "nuvlib/pipe.h"
#include "platform/byteorder.h"
#include "platform/lasterror.h"
#include "platform/named.h"
#include "platform/registry.h"
#include "tests/support/test_env.h"

namespace {

constexpr const char* kBase = "NodeA";
constexpr const char* kProc = "parlo";

struct Outcome {
    int status = -1;  // the stand-in's exit status
    std::string out;
    bool Has(const std::string& line) const {
        return out.find(line + "\n") != std::string::npos;
    }
};

Outcome Supervise(const std::string& options, const std::string& targetArgs = "CLEAN") {
    const std::string cmd = std::string(NODEMGR_PEER) + " --timeout 5000 " + options + " -- " +
                            NM_TARGET + " " + kBase + " " + kProc + " " + targetArgs + " 2>&1";
    Outcome r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

void SetDebug(const std::map<std::string, uint32_t>& values) {
    const std::string path = std::string("SOFTWARE\\Quenlo Systems, Inc.\\") + kBase +
                             "\\NodeManager\\CurrentVersion\\Processes\\" + kProc;
    plat::RegKey key = nullptr;
    ASSERT_EQ(0u, plat::RegCreateKey(plat::RegRoot(), path.c_str(), &key));
    for (const auto& [name, value] : values)
        ASSERT_EQ(0u, plat::RegSetValue(key, name.c_str(), plat::REG_DWORD, &value, sizeof value));
    plat::RegCloseKey(key);
}

TEST(NodeManagerStandIn, PingThenShutdownEndsTheProcessWith200004) {
    Outcome r = Supervise("--send 1,1,4");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_TRUE(r.Has("ready")) << r.out;
    EXPECT_TRUE(r.Has("sent 1 reply 2")) << r.out;
    EXPECT_TRUE(r.Has("sent 4 reply 5")) << r.out;
    // 200004 keeps its low byte.
    EXPECT_TRUE(r.Has("exited 68")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Node Manager thread received shutdown message"));
    EXPECT_NE(std::string::npos,
              r.out.find("Node Manager thread sending NM_MSG_SHUTDOWN_REPLY_OK to Node Manager."));
    EXPECT_NE(std::string::npos,
              r.out.find("Node Manager thread completed clean shutdown dialog with Node Manager.  "
                         "Exiting process."));
}

TEST(NodeManagerStandIn, RepliesFollowTheCallbackAndTheDebugValues) {
    struct Case {
        std::map<std::string, uint32_t> debug;
        std::string send, targetArgs;
        std::vector<std::string> lines;
    } cases[] = {
        // A refused shutdown still ends the dialogue.
        {{{"DbgNackShutdown", 1}}, "4", "CLEAN", {"sent 4 reply 6", "exited 68"}},
        {{{"DbgNackPing", 1}}, "1,4", "CLEAN", {"sent 1 reply 3", "exited 68"}},
        // A maintenance reply outside 11..14 leaves the state at 12.
        {{}, "10,9,10,4", "CLEAN 7", {"sent 10 reply 12", "sent 9 reply 7", "sent 10 reply 12"}},
        {{}, "9,10,4", "CLEAN 13", {"sent 9 reply 13", "sent 10 reply 13"}},
        // Unknown messages go to the callback.
        {{}, "0,11,4", "CLEAN", {"sent 0 reply 1000", "sent 11 reply 1011", "exited 68"}},
        // After a dirty start with DbgIgnoreDbgIfDirty no debug value counts.
        {{{"DbgNackPing", 1}, {"DbgIgnoreDbgIfDirty", 1}}, "1,4", "DIRTY",
         {"sent 1 reply 2", "exited 68"}},
        {{{"DbgNackPing", 1}, {"DbgIgnoreDbgIfDirty", 1}}, "1,4", "CLEAN",
         {"sent 1 reply 3", "exited 68"}},
        // Dying beats delaying.
        {{{"DbgDieOnPing", 1}, {"DbgExitCode", 5}, {"DbgPingDelay", 60000}}, "1", "CLEAN",
         {"no reply to 1", "exited 5"}},
        {{{"DbgDieOnShutdown", 1}, {"DbgExitCode", 9}}, "1,4", "CLEAN",
         {"sent 1 reply 2", "no reply to 4", "exited 9"}},
        // Delays hold the answers back but change none of them.
        {{{"DbgStartupDelay", 50}, {"DbgShutdownDelay", 50}, {"DbgExitDelay", 50}}, "1,4", "CLEAN",
         {"Node Manager thread delaying startup by 50 milliseconds", "sent 1 reply 2",
          "Node Manager thread delaying shutdown response by 50 milliseconds", "sent 4 reply 5",
          "Node Manager thread delaying exit after shutdown by 50 milliseconds", "exited 68"}},
    };
    for (const auto& c : cases) {
        SetDebug({{"DbgNackShutdown", 0}, {"DbgNackPing", 0}, {"DbgIgnoreDbgIfDirty", 0},
                  {"DbgDieOnPing", 0}, {"DbgDieOnShutdown", 0}, {"DbgPingDelay", 0},
                  {"DbgExitCode", 0}, {"DbgStartupDelay", 0}, {"DbgShutdownDelay", 0},
                  {"DbgExitDelay", 0}});
        SetDebug(c.debug);
        Outcome r = Supervise("--send " + c.send, c.targetArgs);
        for (const auto& line : c.lines) EXPECT_TRUE(r.Has(line)) << c.send << "\n" << r.out;
    }
}

TEST(NodeManagerStandIn, SilentProcessIsNoticed) {
    SetDebug({{"DbgPingDelay", 60000}});
    Outcome r = Supervise("--timeout 500 --send 1");
    EXPECT_EQ(3, r.status);
    EXPECT_TRUE(r.Has("no reply to 1")) << r.out;
    EXPECT_TRUE(r.Has("still running")) << r.out;
    EXPECT_TRUE(r.Has("killed by signal 9")) << r.out;
}

TEST(NodeManagerStandIn, LosingTheSupervisorMidDialogueEndsTheProcessAtOnce) {
    Outcome r = Supervise("--send 1,1,4 --drop-after 1");
    EXPECT_TRUE(r.Has("sent 1 reply 2")) << r.out;
    EXPECT_TRUE(r.Has("exited 255")) << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("Process lost communication with the Node Manager.  Commiting Suicide"));
}

// A supervisor that sends something other than one 4-byte word: the process cannot trust
// the dialogue any more and ends at once.
TEST(NodeManagerResponder, MalformedWordFromTheSupervisorEndsTheProcess) {
    struct Case {
        std::string bytes, trace;
    } cases[] = {
        {std::string("\x01\x00", 2), "NMLib error read only 2 bytes from pipe."},
        {std::string("\x01\x00\x00\x00\x01\x00\x00\x00", 8), "NMLib error reading from pipe."},
    };
    for (const auto& c : cases) {
        testsupport::TempDir io("nm");
        const std::string out = (io / "out").string();
        std::fflush(stdout);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (!freopen(out.c_str(), "w", stdout)) _exit(90);
            execl(NM_TARGET, NM_TARGET, kBase, kProc, "CLEAN", static_cast<char*>(nullptr));
            _exit(127);
        }
        plat::NamedMarkerEvent ready(NMReadyEventName(static_cast<uint32_t>(pid)));
        ASSERT_EQ(plat::WAIT_OBJECT_0, ready.Wait(5000));
        NamedPipeClient pipe;
        ASSERT_EQ(0u, pipe.Connect(NMPipeName(static_cast<uint32_t>(pid))));
        ASSERT_EQ(0u, pipe.Write(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())));
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ready.Reset();
        ASSERT_TRUE(WIFEXITED(status)) << c.trace;
        EXPECT_EQ(255, WEXITSTATUS(status)) << c.trace;
        const std::string text = testsupport::ReadFile(out);
        EXPECT_NE(std::string::npos, text.find(c.trace)) << text;
        EXPECT_NE(std::string::npos,
                  text.find("Process lost communication with the Node Manager.  Commiting Suicide"))
            << text;
    }
}

// Of a short message only the bytes that came are taken; the rest of the word is 0.
TEST(NodeManagerResponder, ReadWordTakesOnlyWhatArrived) {
    struct Case {
        std::string bytes;
        uint32_t status;
        int got;
        uint32_t word;
    } cases[] = {
        {std::string("\xAA", 1), 0, 1, 0xAA},
        {std::string("\xAA\xBB\xCC", 3), 0, 3, 0xCCBBAA},
        {std::string("\x04\x00\x00\x00", 4), 0, 4, 4},
        {std::string("\x01\x02\x03\x04\x05", 5), plat::ERROR_MORE_DATA, 0, 0x5A5A5A5A},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds));
        ASSERT_EQ(static_cast<ssize_t>(c.bytes.size()), write(fds[1], c.bytes.data(), c.bytes.size()));
        uint32_t word = 0x5A5A5A5A;  // what a short read must not leave behind
        int got = -1;
        EXPECT_EQ(c.status, NMReadWord(fds[0], &word, &got));
        EXPECT_EQ(c.got, got);
        uint8_t want[4];
        plat::StoreLE32(want, c.word);
        EXPECT_EQ(0, std::memcmp(&word, want, 4));  // in the order the bytes came
        close(fds[1]);
        uint32_t more = 0;
        EXPECT_EQ(plat::ERROR_BROKEN_PIPE, NMReadWord(fds[0], &more, &got));
        close(fds[0]);
    }
}

TEST(NodeManagerStandIn, MessageBoxBecomesAFatalEvent) {
    Outcome r = Supervise("--timeout 500 --send 1", "CLEAN --messagebox");
    EXPECT_TRUE(r.Has("exited 162")) << r.out;  // 100002, a fatal report
    for (const char* line :
         {"MessageBox invoked by process or MFC assert.", "MessageBox parameters:", "\thWnd = 0",
          "\tlpText = \"Debug assertion failed\"", "\tlpCaption = \"Parlo\"", "\tuType = 16",
          "Calling EMSFailMessage."})
        EXPECT_NE(std::string::npos, r.out.find(line)) << line << "\n" << r.out;
}

TEST(NodeManagerResponder, MaintenanceStateTakesOnlyElevenToFourteen) {
    EXPECT_EQ(NM_MAINTENANCE_INITIAL, NMGetMaintenanceState());
    struct Case {
        uint32_t value;
        int ok;
        uint32_t after;
    } cases[] = {{7, 0, 12}, {11, 1, 11}, {15, 0, 11}, {14, 1, 14}, {10, 0, 14}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.ok, NMSetMaintenanceState(c.value)) << c.value;
        EXPECT_EQ(c.after, NMGetMaintenanceState());
    }
    EXPECT_EQ("NMPipeName42", NMPipeName(42));
    EXPECT_EQ("Global\\NMReadyToConnectEvent42", NMReadyEventName(42));
}

TEST(NodeManagerResponder, DefaultHandlerAnswersPingAndShutdown) {
    EXPECT_EQ(NM_MSG_PING_REPLY_OK, NMDefaultHandler(NM_MSG_PING));
    EXPECT_EQ(NM_MSG_SHUTDOWN_REPLY_OK, NMDefaultHandler(NM_MSG_SHUTDOWN));
    EXPECT_EQ(NM_MSG_UNKNOWN_REPLY, NMDefaultHandler(77));
}

}  // namespace
