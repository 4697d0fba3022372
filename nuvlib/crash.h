#pragma once
// The crash handler: the process's last line of defence. A fault on any thread (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT) or an uncaught C++ exception writes a dump file
// "<exe>_<yyyymmddhhmmssmmm>.mdmp" and a text report (exception code and name, fault address,
// registers, call stack), then the process dies by its signal. The handler runs on an
// alternate stack and uses only memory set aside when it was installed.
//
// Dump file (little-endian):
//   header   "PRLODUMP" u32 version(1) u32 signal u32 si_code u32 exception code
//            u64 fault address u32 pid u32 tid u64 time (FILETIME, UTC) u32 dump kind
//            u32 reserved
//   then sections, each u32 type, u32 reserved, u64 address, u64 length, then the bytes:
//            1 registers (the machine context), 2 memory map (procfs text),
//            3 the faulting thread's stack from its stack pointer, 4 one writable private
//            mapping (full dumps only); a section the process cannot read is left out.
#include <csignal>
#include <cstdint>
#include <string>

// Control word EMSGenerateSmallMemoryDump: bits 0-3 dump kind (1 small, 2 full, else none),
// bits 4-27 number of dumps to keep (0 keeps the current number), bit 31 no dump for a
// breakpoint. Bits 29 and 30 concern the platform's error dialogs and have no effect here.
constexpr uint32_t CRASH_DUMP_SMALL = 1;
constexpr uint32_t CRASH_DUMP_FULL = 2;
constexpr uint32_t CRASH_NO_DUMP_ON_BREAK = 0x80000000u;

constexpr uint32_t CRASH_ACCESS_VIOLATION = 0xC0000005;
constexpr uint32_t CRASH_BREAKPOINT = 0x80000003;
constexpr uint32_t CRASH_CPP_EXCEPTION = 0xE06D7363;
constexpr uint32_t CRASH_ABORT = 0x40000015;
constexpr uint32_t CRASH_UNEXPECTED = 0x8000FFFF;

// What the handler knows about one fault.
struct CrashInfo {
    int signo = 0;
    int sigCode = 0;
    uint32_t code = 0;
    void* address = nullptr;       // the fault address (data address for memory faults)
    const void* context = nullptr;  // the machine context (ucontext_t), may be null
};

class CExceptionHandlerEx {
public:
    CExceptionHandlerEx() = default;
    // Restores the previous handlers and frees the process mutex when installed.
    virtual ~CExceptionHandlerEx();
    // Owns the process mutex once installed: one handler per process, never copied.
    CExceptionHandlerEx(const CExceptionHandlerEx&) = delete;
    CExceptionHandlerEx& operator=(const CExceptionHandlerEx&) = delete;

    // 0 when installed now, 1 when it was installed already, else an error code.
    uint32_t InstallGlobalExceptionHandler();
    bool IsInstalled() const { return installed_; }

    // The handler proper: banner, uninstall, dump, report.
    static void Filter(const CrashInfo& info);
    static void WriteReport(const CrashInfo& info);
    static void Stack(const CrashInfo& info);
    static void ReportAppend(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // The module holding an address, the number of its loadable segment (from 1) and the
    // offset in it; false leaves section 0, offset 0 and an empty path.
    static bool GetLogicalAddress(uint64_t address, uint32_t* section, uint64_t* offset,
                                  const char** module);
    // The report as built so far (tests).
    static const char* ReportText();

private:
    bool installed_ = false;
    void* mutex_ = nullptr;
};

// The process's handler.
CExceptionHandlerEx& TheExceptionHandler();
// Installs TheExceptionHandler(); answers as its InstallGlobalExceptionHandler.
uint32_t InstallGlobalExceptionHandler();

void GenerateMiniDump(const CrashInfo& info);
// Deletes the oldest dumps of this executable beyond `keep`: 0 on success, 1 when there
// were none, else an error code.
uint32_t PruneMiniDumpFiles(uint32_t keep);

// The exception code and name of a signal.
uint32_t CrashCodeOf(int signo, int sigCode, const void* faultAddress, const void* context);
const char* CrashCodeName(uint32_t code);

// The directory dumps go to ("" = beside the executable) and the executable's name.
std::string CrashDumpDirectory();
std::string CrashExecutablePath();

// Takes the crash path on purpose with a real access violation (registry EMSDbgFaultNow).
[[noreturn]] void CrashRaiseAccessViolation();
