// EMS log files: naming, rotation, pruning, restart and compression, read back byte by byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/emsrecord.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "tests/nuvlib/filecompress_double.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;

namespace {

class LogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        EMSGlobals& ems = EMSState();
        EMSCopyText(ems.processName, sizeof ems.processName, "abc");
        EMSCopyText(ems.computerName, sizeof ems.computerName, "host");
        EMSCopyText(ems.installRoot, sizeof ems.installRoot, dir.str().c_str());
        ems.logFileLocation[0] = '\0';
        ems.logFileMax = 1000;
        ems.allLogFilesMax = 100000;
        ems.logFileCountMax = 1000;
        ems.zipCompressionEnabled = 0;
    }
    void TearDown() override {
        EMSCloseLog();
        FileCompressInstall(nullptr);
    }

    // A record block of exactly n bytes (n a multiple of 4, at least 52).
    std::vector<uint8_t> Block(uint32_t n, uint8_t fill = 0x5A) {
        std::vector<uint8_t> data(n - 52, fill);
        EMSRecordInput in;
        in.processName = "abc";
        in.computerName = "host";
        in.eventId = EMS_ID_TRACE;
        in.data = data.data();
        in.dataLength = static_cast<uint32_t>(data.size());
        std::vector<uint8_t> block(EMS_RECORD_MAX);
        EXPECT_EQ(EMSFillRecord(block.data(), in), n);
        block.resize(n);
        return block;
    }
    void Write(uint32_t n) {
        auto b = Block(n);
        EMSReportEvent(b.data(), n);
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The block lengths of a log file, each checked against its closing length word.
    std::vector<uint32_t> BlocksOf(const std::string& name) const {
        const std::string bytes = testsupport::ReadFile(dir / name);
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
        std::vector<uint32_t> lengths;
        size_t at = 0;
        while (at + 8 <= bytes.size()) {
            uint32_t total = plat::LoadLE32(p + at);
            EXPECT_GE(total, 44u);
            EXPECT_LE(at + total, bytes.size());
            if (total < 44 || at + total > bytes.size()) break;
            EXPECT_EQ(plat::LoadLE32(p + at + total - 4), total);
            EXPECT_EQ(p[at + 4], EMS_RECORD_VERSION);
            lengths.push_back(total);
            at += total;
        }
        EXPECT_EQ(at, bytes.size());
        return lengths;
    }
    // An old log file of the given size, last written `ageSeconds` ago.
    void OldFile(const std::string& name, size_t size, int ageSeconds) {
        testsupport::WriteFile(dir / name, std::string(size, 'x'));
        fs::last_write_time(dir / name, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
    }

    testsupport::TempDir dir{"logs"};
    plat::FakeClock clock;
    plat::ScopedClock scoped{&clock};
};

TEST_F(LogFiles, RotationBySizeAndNamesOnAClash) {
    ASSERT_EQ(EMSInitLogFile(), 1);
    EXPECT_EQ(EMSLogFileSnapshot().currentName, "abc_210304_050607.ems");
    for (int i = 0; i < 4; ++i) Write(300);  // the fourth would pass 1000
    Write(1500);                             // larger than the limit: alone in a new file
    Write(100);
    EXPECT_EQ(Names(), (std::vector<std::string>{"abc_210304_050607.ems", "abc_210304_05060a.ems",
                                                 "abc_210304_05060b.ems", "abc_210304_05060c.ems"}));
    EXPECT_EQ(BlocksOf("abc_210304_050607.ems"), (std::vector<uint32_t>{300, 300, 300}));
    EXPECT_EQ(BlocksOf("abc_210304_05060a.ems"), (std::vector<uint32_t>{300}));
    EXPECT_EQ(BlocksOf("abc_210304_05060b.ems"), (std::vector<uint32_t>{1500}));
    EXPECT_EQ(BlocksOf("abc_210304_05060c.ems"), (std::vector<uint32_t>{100}));
    EMSLogFileView view = EMSLogFileSnapshot();
    ASSERT_EQ(view.files.size(), 3u);
    EXPECT_EQ(view.files[0], std::make_pair(std::string("abc_210304_050607.ems"), uint64_t{900}));
    EXPECT_EQ(view.totalSize, 900u + 300 + 1500 + 100);

    // A new second gives a plain name again; local time is UTC minus the bias.
    clock.AdvanceMs(3600 * 1000);
    clock.SetLocalBiasMinutes(-120);
    EMSCloseLogFile();
    ASSERT_EQ(EMSOpenLogFile(), 1);
    EXPECT_EQ(EMSLogFileSnapshot().currentName, "abc_210304_080607.ems");
}

TEST_F(LogFiles, NamesRunOutAfterZ) {
    ASSERT_EQ(EMSInitLogFile(), 1);
    for (char c = 'a'; c <= 'z'; ++c)
        testsupport::WriteFile(dir / (std::string("abc_210304_05060") + c + ".ems"), "");
    EMSCloseLogFile();
    EXPECT_EQ(EMSOpenLogFile(), 0);
}

TEST_F(LogFiles, AFailedRotationSuspendsWritingUntilAFileOpens) {
    ASSERT_EQ(EMSInitLogFile(), 1);
    for (int i = 0; i < 3; ++i) Write(300);
    for (char c = 'a'; c <= 'z'; ++c)
        testsupport::WriteFile(dir / (std::string("abc_210304_05060") + c + ".ems"), "");
    testing::internal::CaptureStdout();
    Write(300);  // no name left in this second
    EXPECT_NE(testing::internal::GetCapturedStdout().find("EMS log file activity suspended due to error "),
              std::string::npos);
    EXPECT_FALSE(EMSLogFileSnapshot().open);
    Write(200);  // still this second: dropped
    clock.AdvanceMs(1000);
    Write(100);  // the next record opens a file again
    EMSLogFileView view = EMSLogFileSnapshot();
    EXPECT_TRUE(view.open);
    EXPECT_EQ(view.currentName, "abc_210304_050608.ems");
    EXPECT_EQ(BlocksOf("abc_210304_050608.ems"), (std::vector<uint32_t>{100}));
    EXPECT_EQ(BlocksOf("abc_210304_050607.ems"), (std::vector<uint32_t>{300, 300, 300}));
}

// Start-up tried again (the first attempt found no computer name, say): the first attempt's
// file is closed and listed like any old file.
TEST_F(LogFiles, StartingAgainClosesTheEarlierFile) {
    const auto openFiles = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    const auto before = openFiles();
    ASSERT_EQ(EMSInitLogFile(), 1);
    Write(300);
    clock.AdvanceMs(1000);
    ASSERT_EQ(EMSInitLogFile(), 1);
    EXPECT_EQ(openFiles(), before + 1);
    EMSLogFileView view = EMSLogFileSnapshot();
    EXPECT_EQ(view.currentName, "abc_210304_050608.ems");
    ASSERT_EQ(view.files.size(), 1u);
    EXPECT_EQ(view.files[0], std::make_pair(std::string("abc_210304_050607.ems"), uint64_t{300}));
}

TEST_F(LogFiles, LogDirectoryFromRootAndLocation) {
    EMSGlobals& ems = EMSState();
    const struct {
        const char* root;
        const char* location;
        const char* dir;
    } cases[] = {
        {"", "", ""},          {"", "logs", "logs"},      {"/r", "", "/r"},
        {"/r", "logs", "/r/logs"}, {"/r", "/var/log", "/var/log"}, {"/r", "C:\\x", "C:\\x"},
    };
    for (const auto& c : cases) {
        EMSCopyText(ems.installRoot, sizeof ems.installRoot, c.root);
        EMSCopyText(ems.logFileLocation, sizeof ems.logFileLocation, c.location);
        EXPECT_EQ(EMSLogDirectory(), c.dir) << c.root << " + " << c.location;
    }
}

TEST_F(LogFiles, RestartPicksUpOldFilesOldestFirstAndPrunesByCount) {
    // Name order and age order differ: the list follows the age.
    OldFile("abc_200101_000000.ems", 100, 10);
    OldFile("abc_200102_000000.ems", 100, 30);  // the oldest
    for (int i = 0; i < 8; ++i) OldFile("abc_2002" + std::to_string(10 + i) + "_000000.ems", 100, 20 - i);
    OldFile("abd_200101_000000.ems", 100, 50);  // another process
    OldFile("abc_200101_000000.txt", 100, 50);  // not a log file
    EMSState().logFileCountMax = 10;
    ASSERT_EQ(EMSInitLogFile(), 1);
    EMSLogFileView view = EMSLogFileSnapshot();
    ASSERT_EQ(view.files.size(), 10u);
    EXPECT_EQ(view.files.front().first, "abc_200102_000000.ems");
    EXPECT_EQ(view.files.back().first, "abc_200101_000000.ems");
    EXPECT_EQ(view.totalSize, 1000u);

    Write(100);  // ten listed: the oldest goes first
    EXPECT_FALSE(fs::exists(dir / "abc_200102_000000.ems"));
    EXPECT_TRUE(fs::exists(dir / "abd_200101_000000.ems"));
    view = EMSLogFileSnapshot();
    EXPECT_EQ(view.files.size(), 9u);
    EXPECT_EQ(view.totalSize, 900u + 100);
}

TEST_F(LogFiles, PrunesByTotalSize) {
    for (int i = 0; i < 5; ++i) OldFile("abc_20010" + std::to_string(i + 1) + "_000000.ems", 400, 50 - i);
    EMSState().logFileMax = 1000;
    EMSState().allLogFilesMax = 3000;  // room for 2000 bytes besides the current file
    ASSERT_EQ(EMSInitLogFile(), 1);
    Write(200);  // 2000 + 200 > 2000: the oldest goes
    EMSLogFileView view = EMSLogFileSnapshot();
    ASSERT_EQ(view.files.size(), 4u);
    EXPECT_EQ(view.files.front().first, "abc_200102_000000.ems");
    EXPECT_EQ(view.totalSize, 1600u + 200);
    EXPECT_FALSE(fs::exists(dir / "abc_200101_000000.ems"));
    Write(800);  // same file (exactly 1000); 1800 + 800 > 2000: two more go
    view = EMSLogFileSnapshot();
    ASSERT_EQ(view.files.size(), 2u);
    EXPECT_EQ(view.files.front().first, "abc_200104_000000.ems");
    EXPECT_EQ(view.currentSize, 1000u);
    EXPECT_EQ(view.totalSize, 800u + 1000);
}

TEST_F(LogFiles, AFailedDeletionStillDropsTheEntry) {
    OldFile("abc_200101_000000.ems", 100, 20);
    OldFile("abc_200102_000000.ems", 100, 10);
    ASSERT_EQ(EMSInitLogFile(), 1);
    fs::remove(dir / "abc_200101_000000.ems");  // gone behind our back
    testing::internal::CaptureStdout();
    EXPECT_EQ(DeleteOldestLogFile(), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("DeleteOldestLogFile - Delete of file " + (dir / "abc_200101_000000.ems").string() +
                       " failed with GetLastError=2"),
              std::string::npos)
        << out;
    EMSLogFileView view = EMSLogFileSnapshot();
    ASSERT_EQ(view.files.size(), 1u);
    EXPECT_EQ(view.totalSize, 100u);
    EXPECT_EQ(DeleteOldestLogFile(), 1);
    EXPECT_EQ(DeleteOldestLogFile(), 0);
    EXPECT_EQ(EMSLogFileSnapshot().totalSize, 0u);
}

TEST_F(LogFiles, MissingDirectoryFailsStartUp) {
    EMSCopyText(EMSState().logFileLocation, sizeof EMSState().logFileLocation, "missing");
    testing::internal::CaptureStdout();
    EXPECT_EQ(EMSInitLogFile(), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("BuildFilesList failed with error 3."),
              std::string::npos);
    EXPECT_FALSE(EMSLogFileSnapshot().open);
    Write(100);  // nothing to write to: dropped quietly
}

class CompressedLogFiles : public LogFiles {
protected:
    void SetUp() override {
        LogFiles::SetUp();
        EMSGlobals& ems = EMSState();
        ems.zipCompressionEnabled = 1;
        EMSCopyText(ems.zipExtension, sizeof ems.zipExtension, ".gz");
        EMSCopyText(ems.zipFormat, sizeof ems.zipFormat, "gzip %s");
        FileCompressDoubleService::initResult = 0;
        FileCompressInstall(&FileCompressDoubleService::kService);
    }
    FileCompressDouble& Compressor() { return *FileCompressDoubleService::last; }
};

TEST_F(CompressedLogFiles, ClosedFilesAreCompressedAndListedWithTheExtension) {
    OldFile("abc_200101_000000.ems.gz", 50, 30);
    OldFile("abc_200102_000000.ems", 400, 20);  // left uncompressed by the last run
    ASSERT_EQ(EMSInitLogFile(), 1);
    FileCompressDouble& c = Compressor();
    EXPECT_EQ(c.params.directory, dir.str());
    EXPECT_EQ(c.params.waitingPattern, "abc_??????_??????.ems");
    EXPECT_EQ(c.params.timeoutMs, 30000u);
    EMSLogFileView view = EMSLogFileSnapshot();
    ASSERT_EQ(view.files.size(), 1u);  // the compressed file only
    EXPECT_EQ(view.totalSize, 50u);
    EXPECT_EQ(c.totals.compressedBytes, 50u);
    EXPECT_EQ(c.totals.uncompressedBytes, 400u);  // queued by Init

    for (int i = 0; i < 4; ++i) Write(300);  // rotation queues the first file
    EXPECT_EQ(c.queue.size(), 2u);
    EXPECT_EQ(EMSLogFileSnapshot().files.size(), 1u);
    EXPECT_EQ(EMSLogFileSnapshot().totalSize, 50u);  // current and queued bytes are the compressor's

    c.CompressAll();
    view = EMSLogFileSnapshot();
    ASSERT_EQ(view.files.size(), 3u);
    EXPECT_EQ(view.files[1], std::make_pair(std::string("abc_200102_000000.ems.gz"), uint64_t{200}));
    EXPECT_EQ(view.files[2], std::make_pair(std::string("abc_210304_050607.ems.gz"), uint64_t{450}));
    EXPECT_EQ(view.totalSize, 50u + 200 + 450);
    EXPECT_TRUE(fs::exists(dir / "abc_210304_050607.ems.gz"));
    EXPECT_FALSE(fs::exists(dir / "abc_210304_050607.ems"));

    // Deleting a compressed file takes it off the compressor's totals too.
    const uint64_t before = c.totals.compressedBytes;
    EXPECT_EQ(DeleteOldestLogFile(), 1);
    EXPECT_EQ(c.totals.compressedBytes, before - 50);
}

TEST_F(CompressedLogFiles, SwitchingOffListsEveryFileOnce) {
    OldFile("abc_200101_000000.ems.gz", 50, 30);
    OldFile("abc_200102_000000.ems", 400, 20);
    ASSERT_EQ(EMSInitLogFile(), 1);
    Compressor().queueResult = 7;   // the next close cannot be queued
    for (int i = 0; i < 4; ++i) Write(300);  // rotation: compression goes off
    EXPECT_EQ(EMSState().zipCompressionEnabled, 0);
    EXPECT_EQ(Compressor().shutdowns, 1);
    EMSLogFileView view = EMSLogFileSnapshot();
    std::vector<std::string> listed;
    uint64_t sum = 0;
    for (const auto& f : view.files) {
        listed.push_back(f.first);
        sum += f.second;
        EXPECT_EQ(f.second, fs::file_size(dir / f.first)) << f.first;
    }
    std::sort(listed.begin(), listed.end());
    // Every file but the open one, once; the closed file included.
    EXPECT_EQ(listed, (std::vector<std::string>{"abc_200101_000000.ems.gz", "abc_200102_000000.ems",
                                                "abc_210304_050607.ems"}));
    EXPECT_EQ(view.totalSize, sum + view.currentSize);
    EXPECT_EQ(view.currentName, "abc_210304_05060a.ems");
}

TEST_F(CompressedLogFiles, InitFailureSwitchesCompressionOff) {
    FileCompressDoubleService::initResult = 5;
    OldFile("abc_200102_000000.ems", 400, 20);
    testing::internal::CaptureStdout();
    ASSERT_EQ(EMSInitLogFile(), 1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Compression Failed error 5(UNKNOWN RETURN VALUE)"),
              std::string::npos);
    EXPECT_EQ(EMSState().zipCompressionEnabled, 0);
    EXPECT_EQ(EMSLogFileSnapshot().files.size(), 1u);  // the plain files are listed
}

TEST_F(CompressedLogFiles, NoServiceMeansNoCompression) {
    FileCompressInstall(nullptr);
    ASSERT_EQ(EMSInitLogFile(), 1);
    EXPECT_EQ(EMSState().zipCompressionEnabled, 0);
}

}  // namespace
