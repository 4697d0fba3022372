#pragma once
// EMS state shared by event reporting, its settings and its log files, and read by the sinks
// that plug in through nuvlib/emsseams.h (process and computer names, log directory, settings).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"

constexpr uint32_t EMS_PATH_MAX = 259;
constexpr uint32_t EMS_USER_DATA_MAX = 260;
constexpr int EMS_ZIP_NOT_READ = -1;

struct EMSGlobals {
    std::recursive_mutex lock;

    char registryBase[EMS_PATH_MAX + 1] = {};
    char installRoot[EMS_PATH_MAX + 1] = {};
    char processName[16] = {};
    char computerName[16] = {};
    uint8_t systemId = 0;
    uint8_t side = 0;
    std::atomic<uint8_t> systemType{0};
    std::atomic<bool> initialised{false};
    bool eventSourceRegistered = false;

    // Settings (read without the lock by the reporting threads where atomic).
    std::atomic<uint32_t> traceMask{0};
    std::atomic<uint32_t> ntEventLogLevel{4};
    std::atomic<uint32_t> debugBreak{0};
    std::atomic<uint32_t> breakOnInit{0};
    std::atomic<uint32_t> breakOnExit{0};
    std::atomic<bool> displayToScreen{true};
    bool displayDisabled = false;
    uint32_t enableGlobalExceptionHandler = 1;
    uint32_t generateSmallMemoryDump = 1;
    std::atomic<uint8_t> userData[EMS_USER_DATA_MAX] = {};
    std::atomic<uint32_t> userDataLength{0};

    // Log-file settings: used under the lock only.
    uint32_t logFileMax = 1000000;
    uint32_t allLogFilesMax = 2000000;
    uint32_t logFileCountMax = 1000;
    char logFileLocation[EMS_PATH_MAX + 1] = {};
    int zipCompressionEnabled = EMS_ZIP_NOT_READ;
    char zipFormat[EMS_PATH_MAX + 1] = {};
    char zipExtension[EMS_PATH_MAX + 1] = {};

    plat::RegKey processKey = nullptr;
};

EMSGlobals& EMSState();

// Settings (settings module).
void EMSInitSettings();
void EMSReadSettings(plat::RegKey processKey);
// Stops the watch thread (used at exit and by tests); harmless when none runs.
void EMSStopSettingsWatch();

// Log files (log-file module). All run under the EMS global lock.
int EMSInitLogFile();
void EMSReportEvent(const uint8_t* block, uint32_t length);
void EMSCloseLogFile();
int EMSOpenLogFile();
int DeleteOldestLogFile();
int BuildFilesList(const char* patternPath);
void DisableEMSCompression();
int ProcessCompressPostamble(const char* path, uint32_t sizeLow, uint32_t sizeHigh);
void UpdateCompressedFileInfo(uint32_t sizeLow, uint32_t sizeHigh);
void EMSCompressionLibError(int result, const char* text);
void EMSCloseLog();
// The log directory from the installation root and EMSLogFileLocation.
std::string EMSLogDirectory();

struct EMSLogFileView {
    bool open = false;
    std::string currentName;
    uint64_t currentSize = 0;
    uint64_t totalSize = 0;
    std::vector<std::pair<std::string, uint64_t>> files;  // listed old files, oldest first
};
// A copy of the log-file bookkeeping (diagnostics and tests).
EMSLogFileView EMSLogFileSnapshot();

// Bounded copy that always terminates: at most size - 1 characters.
void EMSCopyText(char* dest, size_t size, const char* src);
