// EMS log files: records appended block by block to "<process>_YYMMDD_HHMMSS.ems", rotated
// by size, old files pruned by count and total size, optionally compressed once closed.
// Everything here runs under the EMS global lock except where a function takes it itself.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/emsseams.h"
#include "nuvlib/filecompress.h"
#include "platform/clock.h"
#include "platform/filemode.h"
#include "platform/lasterror.h"
#include "platform/named.h"

namespace {

struct LogFileEntry {
    uint64_t creationTime = 0;
    uint64_t lastAccessTime = 0;
    uint64_t lastWriteTime = 0;
    uint64_t size = 0;
    std::string name;  // without directory
};

struct LogFiles {
    int fd = -1;
    std::string currentName;
    uint64_t currentSize = 0;
    uint64_t totalSize = 0;
    bool haveList = false;
    std::deque<LogFileEntry> list;  // oldest first
    std::unique_ptr<FileCompress> compressor;
    bool suspended = false;  // a rotation could not open the next file
};

LogFiles& Log() {
    static LogFiles* log = new LogFiles;  // outlives every late report
    return *log;
}

std::recursive_mutex& GlobalLock() { return EMSState().lock; }

void PrintStatusLine() {
    const EMSSeams& seams = EMSCurrentSeams();
    if (seams.PrintLastErrorStatus != nullptr) seams.PrintLastErrorStatus();
}

bool Compressing() {
    return EMSState().zipCompressionEnabled == 1 && Log().compressor != nullptr;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

uint64_t FileTimeOf(const struct timespec& ts) {
    return plat::UnixNsToFileTime(static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec);
}

LogFileEntry NewEntry(const std::string& name, uint64_t size) {
    LogFileEntry e;
    e.creationTime = e.lastAccessTime = e.lastWriteTime = plat::FileTimeNow();
    e.size = size;
    e.name = name;
    return e;
}

// Splits a joined pattern path into its directory and its name pattern.
void SplitPattern(const std::string& path, std::string* dir, std::string* pattern) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        *dir = "";
        *pattern = path;
    } else {
        *dir = path.substr(0, slash);
        *pattern = path.substr(slash + 1);
    }
}

// Wildcards as the log directory has always matched them: case-insensitive, and a trailing
// ".*" also matches a name that ends before it.
bool NameMatches(const std::string& pattern, const char* name) {
    if (fnmatch(pattern.c_str(), name, FNM_CASEFOLD) == 0) return true;
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0)
        return fnmatch(pattern.substr(0, pattern.size() - 2).c_str(), name, FNM_CASEFOLD) == 0;
    return false;
}

std::string ProcessPattern(const char* format) {
    char pattern[EMS_PATH_MAX + 64];
    std::snprintf(pattern, sizeof pattern, format, EMSState().processName);
    return pattern;
}

int BuildFilesListExcept(const char* patternPath, const std::string& leaveOut);

// Writes all of a block; false with the last error set when the file refused it.
bool WriteAll(int fd, const uint8_t* data, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd, data + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            plat::SetLastErrorFromErrno();
            return false;
        }
        if (n == 0) {
            plat::SetLastError(plat::ERROR_WRITE_FAULT);
            return false;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

}  // namespace

std::string EMSLogDirectory() {
    const EMSGlobals& ems = EMSState();
    const std::string root = ems.installRoot;
    const std::string location = ems.logFileLocation;
    if (root.empty()) return location;
    if (location.empty()) return root;
    if (location.find(':') != std::string::npos || location[0] == '/') return location;
    return root + "/" + location;
}

int EMSOpenLogFile() {
    LogFiles& log = Log();
    const int64_t ns = plat::RealtimeNs() - static_cast<int64_t>(plat::LocalBiasMinutes()) * 60 * 1000000000;
    time_t seconds = static_cast<time_t>(ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0));
    struct tm local;
    gmtime_r(&seconds, &local);
    char name[EMS_PATH_MAX + 1];
    std::snprintf(name, sizeof name, "%s_%02d%02d%02d_%02d%02d%02d.ems", EMSState().processName,
                  local.tm_year % 100, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    const std::string dir = EMSLogDirectory();
    const size_t clash = std::strlen(name) - 5;  // the units digit of the seconds
    for (char suffix = 'a' - 1; suffix <= 'z'; ++suffix) {
        if (suffix >= 'a') name[clash] = suffix;
        const std::string path = JoinPath(dir, name);
        // Private to the node's user (or its group: platform/filemode.h): the log holds
        // what clients sent.
        int fd = plat::OpenPrivateFile(path, O_WRONLY | O_EXCL);
        if (fd >= 0) {
            log.fd = fd;
            log.currentName = name;
            log.currentSize = 0;
            log.suspended = false;
            return 1;
        }
        if (errno != EEXIST) break;
    }
    plat::SetLastErrorFromErrno();
    return 0;
}

int BuildFilesList(const char* patternPath) { return BuildFilesListExcept(patternPath, ""); }

namespace {

int BuildFilesListExcept(const char* patternPath, const std::string& leaveOut) {
    LogFiles& log = Log();
    if (!log.haveList || patternPath == nullptr || patternPath[0] == '\0') return 0;
    log.totalSize = 0;
    std::string dir, pattern;
    SplitPattern(patternPath, &dir, &pattern);
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) {
        // A directory that is not there is a missing path, not a missing file.
        if (errno == ENOENT)
            plat::SetLastError(plat::ERROR_PATH_NOT_FOUND);
        else
            plat::SetLastErrorFromErrno();
        std::printf("BuildFilesList failed with error %d.\n", static_cast<int>(plat::GetLastError()));
        std::fflush(stdout);
        return 0;
    }
    std::vector<LogFileEntry> found;
    errno = 0;
    while (struct dirent* de = ::readdir(d)) {
        if (!NameMatches(pattern, de->d_name) || leaveOut == de->d_name) continue;
        struct stat st;
        if (::fstatat(::dirfd(d), de->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        LogFileEntry e;
        e.creationTime = FileTimeOf(st.st_ctim);
        e.lastAccessTime = FileTimeOf(st.st_atim);
        e.lastWriteTime = FileTimeOf(st.st_mtim);
        e.size = static_cast<uint64_t>(st.st_size);
        e.name = de->d_name;
        found.push_back(e);
        errno = 0;
    }
    const int readError = errno;
    ::closedir(d);
    if (readError != 0) {
        std::printf("BuildFilesList failed with error %lu.\n",
                    static_cast<unsigned long>(plat::ErrnoToWin32(readError)));
        return 0;
    }
    for (const LogFileEntry& e : found) {
        log.totalSize += e.size;
        log.list.push_back(e);
        UpdateCompressedFileInfo(static_cast<uint32_t>(e.size), static_cast<uint32_t>(e.size >> 32));
    }
    std::stable_sort(log.list.begin(), log.list.end(),
                     [](const LogFileEntry& a, const LogFileEntry& b) {
                         return a.lastWriteTime < b.lastWriteTime;
                     });
    return 1;
}

}  // namespace

int EMSInitLogFile() {
    std::lock_guard<std::recursive_mutex> hold(GlobalLock());
    EMSGlobals& ems = EMSState();
    LogFiles& log = Log();
    log.list.clear();
    log.haveList = true;
    log.currentSize = 0;
    log.totalSize = 0;
    // A start-up that is tried again must not leave the earlier attempt's file open.
    if (log.fd >= 0) ::close(log.fd);
    log.fd = -1;
    log.currentName.clear();
    log.suspended = false;
    const std::string dir = EMSLogDirectory();

    if (ems.zipCompressionEnabled == 1) {
        if (log.compressor == nullptr) {
            FileCompressParams params;
            params.directory = dir;
            params.commandTemplate = ems.zipFormat;
            params.waitingPattern = ProcessPattern("%s_??????_??????.ems");
            params.extension = ems.zipExtension;
            params.timeoutMs = 30000;
            params.doneCallback = ProcessCompressPostamble;
            log.compressor = FileCompressCreate(params);
        }
        if (log.compressor == nullptr) {
            ems.zipCompressionEnabled = 0;
        } else {
            log.compressor->SetErrorCallback(EMSCompressionLibError);
            int rc = log.compressor->Init();
            if (rc != 0) {
                std::printf("Compression Failed error %d(%s)\n", rc, GetCompressReturnName(rc));
                ems.zipCompressionEnabled = 0;
            }
        }
    }

    std::string pattern = ems.zipCompressionEnabled == 1
                              ? ProcessPattern("%s_??????_??????.ems") + ems.zipExtension
                              : ProcessPattern("%s_??????_??????.ems.*");
    if (BuildFilesList(JoinPath(dir, pattern).c_str()) != 1) {
        std::fflush(stdout);
        return 0;
    }
    if (EMSOpenLogFile() != 1) {
        std::printf("EMSInitLogFile failed with error %lu.\n",
                    static_cast<unsigned long>(plat::GetLastError()));
        PrintStatusLine();
        std::fflush(stdout);
        return 0;
    }
    return 1;
}

void EMSReportEvent(const uint8_t* block, uint32_t n) {
    std::lock_guard<std::recursive_mutex> hold(GlobalLock());
    EMSGlobals& ems = EMSState();
    LogFiles& log = Log();
    if (log.fd < 0) {
        // After a failed rotation the next record tries again.
        if (!log.suspended || EMSOpenLogFile() != 1) return;
    }
    if (log.currentSize != 0 && log.currentSize + n > ems.logFileMax) {
        EMSCloseLogFile();
        if (EMSOpenLogFile() != 1) {
            log.suspended = true;
            std::printf("EMS log file activity suspended due to error %lu.\n",
                        static_cast<unsigned long>(plat::GetLastError()));
            PrintStatusLine();
            std::fflush(stdout);
            return;
        }
    }

    // Asked after the rotation: closing the last file may have switched compression off.
    const bool compressing = Compressing();

    while (log.list.size() >= ems.logFileCountMax && !log.list.empty()) DeleteOldestLogFile();

    auto pendingBytes = [&](bool* ok) -> uint64_t {
        FileTotals totals;
        *ok = log.compressor->GetFileTotals(&totals) == 0;
        return *ok ? totals.uncompressedBytes : 0;
    };
    uint64_t pending = 0;
    bool pendingOk = true;
    if (compressing) pending = pendingBytes(&pendingOk);
    const int64_t allowed =
        static_cast<int64_t>(ems.allLogFilesMax) - static_cast<int64_t>(ems.logFileMax);
    while (static_cast<int64_t>(log.totalSize + n + pending) > allowed) {
        if (DeleteOldestLogFile() == 0) break;
        if (compressing && pendingOk) {
            pending = pendingBytes(&pendingOk);
            if (!pendingOk) break;
        }
    }

    if (log.fd < 0) {
        std::printf("EMS error: log file not initialized.\n");
        std::fflush(stdout);
        return;
    }
    if (WriteAll(log.fd, block, n)) {
        log.currentSize += n;
        if (!compressing) log.totalSize += n;
    } else {
        std::printf("EMSReportEvent: error %lu writing to log file.\n",
                    static_cast<unsigned long>(plat::GetLastError()));
        PrintStatusLine();
        std::fflush(stdout);
    }
}

void EMSCloseLogFile() {
    std::lock_guard<std::recursive_mutex> hold(GlobalLock());
    LogFiles& log = Log();
    if (log.fd >= 0) ::close(log.fd);
    log.fd = -1;
    if (!Compressing()) {
        log.list.push_back(NewEntry(log.currentName, log.currentSize));
    } else if (log.compressor->QueueFileToCompress(log.currentName.c_str(),
                                                   static_cast<uint32_t>(log.currentSize),
                                                   static_cast<uint32_t>(log.currentSize >> 32)) != 0) {
        DisableEMSCompression();
        // The closed file is no longer current, so the rebuilt list holds it already.
    }
    log.currentSize = 0;
    log.currentName.clear();
}

int DeleteOldestLogFile() {
    std::lock_guard<std::recursive_mutex> hold(GlobalLock());
    LogFiles& log = Log();
    if (log.list.empty()) return 0;
    LogFileEntry e = log.list.front();
    log.list.pop_front();
    log.totalSize = log.totalSize >= e.size ? log.totalSize - e.size : 0;
    const std::string path = JoinPath(EMSLogDirectory(), e.name);
    if (::unlink(path.c_str()) != 0) {
        std::printf("DeleteOldestLogFile - Delete of file %s failed with GetLastError=%lu\n",
                    path.c_str(), static_cast<unsigned long>(plat::SetLastErrorFromErrno()));
        std::fflush(stdout);
    }
    const std::string ext = EMSState().zipExtension;
    if (Compressing() && !ext.empty() && e.name.size() >= ext.size() &&
        e.name.compare(e.name.size() - ext.size(), ext.size(), ext) == 0) {
        FileTotals delta;
        delta.compressedBytes = e.size;
        delta.compressedFiles = 1;
        log.compressor->DeductFileTotals(delta);
    }
    return 1;
}

void UpdateCompressedFileInfo(uint32_t sizeLow, uint32_t sizeHigh) {
    std::lock_guard<std::recursive_mutex> hold(GlobalLock());
    if (!Compressing()) return;
    FileTotals delta;
    delta.compressedBytes = static_cast<uint64_t>(sizeHigh) << 32 | sizeLow;
    delta.compressedFiles = 1;
    int rc = Log().compressor->AddFileTotals(delta);
    if (rc != 0) EMSTraceMessage("UpdateCompressedFileInfo - error(%d)", rc);
}

int ProcessCompressPostamble(const char* path, uint32_t sizeLow, uint32_t sizeHigh) {
    const uint64_t size = static_cast<uint64_t>(sizeHigh) << 32 | sizeLow;
    std::string name = path != nullptr ? path : "";
    size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    std::lock_guard<std::recursive_mutex> hold(GlobalLock());
    LogFiles& log = Log();
    log.totalSize += size;
    log.list.push_back(NewEntry(name + EMSState().zipExtension, size));
    FileTotals totals;
    int rc = log.compressor != nullptr ? log.compressor->GetFileTotals(&totals) : 0;
    if (rc != 0) {
        std::fprintf(stderr, "ProcessCompressPostamble - error(%d)", rc);
        DisableEMSCompression();
    }
    return 0;
}

void EMSCompressionLibError(int result, const char* text) {
    EMSTraceMessage("EMSCompressionLibError: %s(%d)", text != nullptr ? text : "", result);
}

void DisableEMSCompression() {
    std::lock_guard<std::recursive_mutex> hold(GlobalLock());
    LogFiles& log = Log();
    EMSState().zipCompressionEnabled = 0;
    EMSTraceMessage("DisableEMSCompression - Shutting down EMS Compression");
    if (log.compressor != nullptr) log.compressor->Shutdown();
    log.list.clear();
    // Only an open current file stays out: it joins the list when it is closed. A file
    // closed a moment ago is listed now, or it would never be pruned.
    BuildFilesListExcept(JoinPath(EMSLogDirectory(), ProcessPattern("%s_??????_??????.ems*")).c_str(),
                         log.fd >= 0 ? log.currentName : std::string());
    if (log.fd >= 0) log.totalSize += log.currentSize;
}

void EMSCloseLog() {
    std::lock_guard<std::recursive_mutex> hold(GlobalLock());
    LogFiles& log = Log();
    if (log.fd >= 0) ::close(log.fd);
    log.fd = -1;
    log.suspended = false;
    log.list.clear();
    log.haveList = false;
}

EMSLogFileView EMSLogFileSnapshot() {
    std::lock_guard<std::recursive_mutex> hold(GlobalLock());
    const LogFiles& log = Log();
    EMSLogFileView view;
    view.open = log.fd >= 0;
    view.currentName = log.currentName;
    view.currentSize = log.currentSize;
    view.totalSize = log.totalSize;
    for (const LogFileEntry& e : log.list) view.files.emplace_back(e.name, e.size);
    return view;
}

// ---- process status ----

namespace {

// Sections stay open for the life of the process, so the other processes can read them.
std::map<std::string, std::unique_ptr<plat::SharedSection>>& StatusSections() {
    static auto* sections = new std::map<std::string, std::unique_ptr<plat::SharedSection>>;
    return *sections;
}
std::mutex& StatusLock() {
    static auto* m = new std::mutex;
    return *m;
}

}  // namespace

void EMSUpdateStatusTitle(const char* title) {
    if (title == nullptr) return;
    std::vector<std::string> words;
    for (const char* p = title; *p != '\0';) {
        while (*p == ' ') ++p;
        const char* start = p;
        while (*p != '\0' && *p != ' ') ++p;
        if (p > start) words.emplace_back(start, p);
    }
    // Too few words name no process: publishing under a bare "Global\" would let every such
    // process overwrite the others.
    if (words.size() < 4) return;
    std::string name = words[0] + "-" + words[1];
    if (words[3].find("pim") != std::string::npos) name += "-" + words[3];
    const std::string sectionName = "Global\\" + name;

    std::lock_guard<std::mutex> hold(StatusLock());
    auto& slot = StatusSections()[sectionName];
    // A section published by an earlier call stays open whatever this call meets: the
    // other processes keep reading the last title that made it.
    const bool fresh = slot == nullptr;
    const auto dropFresh = [&] {
        if (fresh) StatusSections().erase(sectionName);
    };
    if (fresh) {
        auto section = std::make_unique<plat::SharedSection>();
        if (!section->Create(sectionName, 256)) {
            EMSTraceMessage("EMS :  Status update failed , Could not create file mapping object %d",
                            static_cast<int>(plat::GetLastError()));
            StatusSections().erase(sectionName);
            return;
        }
        slot = std::move(section);
    }
    if (slot->Data() == nullptr || slot->Size() < 256) {
        EMSTraceMessage("EMS : Status update failed , Could not map view of file %d",
                        static_cast<int>(plat::GetLastError()));
        dropFresh();
        return;
    }
    std::string text = title;
    if (text.size() > 255) {
        text.resize(255);
        EMSTraceMessage("EMS : The status title has been trucated to the maximum Buffer size allowed");
    }

    plat::NamedMutex mutex;
    if (!mutex.Create("Global\\TORVStatusMutex")) {
        EMSTraceMessage("EMS: Exiting due to the failure to create mutex to update process status. Error : %d",
                        static_cast<int>(plat::GetLastError()));
        dropFresh();
        return;
    }
    EMSTraceMessage("EMS : Requesting the mutex to update the process status.");
    uint32_t wait = mutex.Lock(10000);
    if (wait != plat::WAIT_OBJECT_0 && wait != plat::WAIT_ABANDONED) {
        EMSTraceMessage("EMS: Exiting due to failure to acquire the mutex to update the process status. Error : %d",
                        static_cast<int>(plat::GetLastError()));
        dropFresh();
        return;
    }
    std::memcpy(slot->Data(), text.c_str(), text.size() + 1);
    if (!mutex.Unlock())
        EMSTraceMessage("EMS: Releasing the mutex acquired for updating process status is failed. Error : %d",
                        static_cast<int>(plat::GetLastError()));
}
