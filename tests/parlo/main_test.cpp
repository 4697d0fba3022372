// The parlo process: starts EMS, says it runs, and ends cleanly when told to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "nuvlib/emsrecord.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace {

// The texts of every record in the parlo log files under dir.
std::vector<std::string> LogTexts(const std::filesystem::path& dir) {
    std::vector<std::string> texts;
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("parlo_", 0) == 0) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        const std::string bytes = testsupport::ReadFile(f);
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
        for (size_t at = 0; at + 8 <= bytes.size();) {
            const uint32_t total = EMSGet32(p + at);
            if (total < 44 || at + total > bytes.size()) break;
            EMSParsedRecord r;
            EMSParseRecord(p + at, total, &r);
            std::string text;
            for (uint32_t i = 0; i < r.argCount; ++i) text += r.args[i];
            texts.push_back(text);
            at += total;
        }
    }
    return texts;
}

bool Has(const std::vector<std::string>& texts, const std::string& what) {
    for (const auto& t : texts)
        if (t.find(what) != std::string::npos) return true;
    return false;
}

TEST(ParloProcess, StartsAndStopsCleanly) {
    const struct {
        const char* stop;  // "eof", "SIGTERM" or "SIGINT"
        bool importDefaults;
        const char* reason;
    } cases[] = {
        {"SIGINT", false, "parlo stopping on SIGINT."},  // first: a registry without its keys
        {"eof", true, "parlo stopping on end of input."},
        {"SIGTERM", true, "parlo stopping on SIGTERM."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stop);
        if (c.importDefaults) {
            const std::string cmd = std::string(PARLO_REG_BIN) + " import " + PARLO_CONFIG_DIR + "/ems.reg";
            ASSERT_EQ(std::system(cmd.c_str()), 0);
        }
        testsupport::TempDir root("parlo");
        int input[2];
        ASSERT_EQ(::pipe(input), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_addclose(&actions, input[1]);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        std::string rootArg = root.str();
        char* argv[] = {const_cast<char*>(PARLO_BIN), const_cast<char*>("ZUR\\parlo"), rootArg.data(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, PARLO_BIN, &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);

        bool running = false;
        for (int i = 0; i < 500 && !running; ++i) {
            running = Has(LogTexts(root.path()), "parlo running");
            if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(running);
        if (std::string(c.stop) == "SIGTERM") ::kill(pid, SIGTERM);
        if (std::string(c.stop) == "SIGINT") ::kill(pid, SIGINT);
        ::close(input[1]);  // for "eof"; harmless after a signal

        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const auto texts = LogTexts(root.path());
        EXPECT_TRUE(Has(texts, "parlo starting: "));
        EXPECT_TRUE(Has(texts, c.reason));
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), "Process exiting with exit code 0.");
    }
}

// The node manager's stand-in pings the process and asks it to shut down: it answers 2 and
// 5, then ends with the node manager's exit code (200004, whose low byte is 68).
TEST(ParloProcess, AnswersTheNodeManager) {
    testsupport::TempDir root("parlo");
    const std::string out = (root / "nodemgr.out").string();
    int input[2];  // held open, so the process does not stop on the end of its input
    ASSERT_EQ(::pipe(input), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string rootArg = root.str();
    char* argv[] = {const_cast<char*>(NODEMGR_BIN), const_cast<char*>("--timeout"),
                    const_cast<char*>("10000"), const_cast<char*>("--send"),
                    const_cast<char*>("1,4"), const_cast<char*>("--"),
                    const_cast<char*>(PARLO_BIN), const_cast<char*>("ZUR\\parlo"),
                    rootArg.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, NODEMGR_BIN, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(input[1]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string said = testsupport::ReadFile(out);
    EXPECT_NE(said.find("sent 1 reply 2"), std::string::npos) << said;
    EXPECT_NE(said.find("sent 4 reply 5"), std::string::npos) << said;
    EXPECT_NE(said.find("exited 68"), std::string::npos) << said;
}

}  // namespace
