#include "nuvlib/crash.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/named.h"
#include "platform/process.h"

namespace {

constexpr uint32_t kTraceBit = 0x10000000;
constexpr size_t kReportMax = 2047;
constexpr size_t kPathMax = 4096;
constexpr size_t kExeNameMax = 29;
constexpr size_t kMapsMax = 512 * 1024;
constexpr int kFramesMax = 64;
constexpr uint64_t kStackMax = 1 << 20;
constexpr uint64_t kMappingMax = 16 << 20;
constexpr uint64_t kFullDumpMax = 64 << 20;
constexpr const char* kDumpSuffixFormat = "_%.4d%.2d%.2d%.2d%.2d%.2d%.3d.mdmp";
constexpr size_t kStampLength = 17;  // the digits of the suffix
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};

// Everything the handler touches is set aside here before any fault.
char g_report[kReportMax + 1];
size_t g_reportLength = 0;
char g_note[kReportMax + 1];
char g_exePath[kPathMax];
char g_exeName[kExeNameMax + 1];
char g_dumpPath[kPathMax + 64];
char g_dumpDir[kPathMax];
char g_maps[kMapsMax];
void* g_frames[kFramesMax];
char* g_demangle = nullptr;
size_t g_demangleSize = 0;
alignas(16) char g_altStack[128 * 1024];
uint32_t g_keep = 5;
int g_biasMinutes = 0;
std::atomic<int> g_inHandler{0};
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];
std::terminate_handler g_previousTerminate = nullptr;
ucontext_t g_terminateContext;
uint8_t g_copy[64 * 1024];

// The executable's file name, at most 29 characters.
void SetExeName() {
    const char* slash = std::strrchr(g_exePath, '/');
    const char* name = slash ? slash + 1 : g_exePath;
    size_t n = strnlen(name, kExeNameMax);
    std::memcpy(g_exeName, name, n);
    g_exeName[n] = '\0';
}

bool TraceOn() { return (EMSGetTraceMask() & kTraceBit) != 0; }

// A note of the handler: an EMS trace when the EMS lock can be had at once, else a line on
// standard error.
void Note(bool withError, uint32_t error, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void Note(bool withError, uint32_t error, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(g_note, sizeof g_note, format, ap);
    va_end(ap);
    if (EMSTryLockGlobal()) {
        if (withError)
            EMSTraceMessageStatus(error, "%s", g_note);
        else
            EMSTraceMessage("%s", g_note);
        EMSUnlockGlobal();
        return;
    }
    size_t n = strnlen(g_note, kReportMax);
    ssize_t ignored = ::write(2, g_note, n);
    ignored = ::write(2, "\n", 1);
    (void)ignored;
}

void WriteAll(int fd, const void* data, size_t length, bool* ok) {
    const char* p = static_cast<const char*>(data);
    while (length > 0 && *ok) {
        ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *ok = false;
            return;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
}

// Copies readable memory word by word into the set-aside buffer, out of the sight of the
// sanitizers: a dump reads every byte, poisoned or not.
__attribute__((no_sanitize("address", "undefined"))) void CopyOut(uint64_t address, size_t length) {
    const volatile uint8_t* from = reinterpret_cast<const volatile uint8_t*>(address);
    volatile uint8_t* to = g_copy;
    for (size_t i = 0; i < length; ++i) to[i] = from[i];
}

// Writes a stretch of memory the maps call readable.
void WriteMemory(int fd, uint64_t address, uint64_t length, bool* ok) {
    while (length > 0 && *ok) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(length, sizeof g_copy));
        CopyOut(address, chunk);
        WriteAll(fd, g_copy, chunk, ok);
        address += chunk;
        length -= chunk;
    }
}

void WriteSectionHeader(int fd, uint32_t type, uint64_t address, uint64_t length, bool* ok) {
    uint8_t h[24] = {};
    plat::StoreLE32(h, type);
    plat::StoreLE64(h + 8, address);
    plat::StoreLE64(h + 16, length);
    WriteAll(fd, h, sizeof h, ok);
}

// Reads /proc/self/maps into the set-aside buffer; the text's length.
size_t ReadMaps() {
    int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t used = 0;
    while (used < sizeof g_maps - 1) {
        ssize_t n = ::read(fd, g_maps + used, sizeof g_maps - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    g_maps[used] = '\0';
    return used;
}

struct Mapping {
    uint64_t start = 0, end = 0;
    char perms[5] = {};
    bool named = false;  // has a path or a [name]
    const char* name = "";
    size_t nameLength = 0;
};

uint64_t ParseHex(const char*& p, const char* end) {
    uint64_t v = 0;
    while (p < end) {
        char c = *p;
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) break;
        v = v * 16 + static_cast<uint64_t>(d);
        ++p;
    }
    return v;
}

// Walks the maps text line by line; false at the end.
bool NextMapping(const char*& cursor, const char* end, Mapping* m) {
    while (cursor < end) {
        const char* line = cursor;
        const char* eol = static_cast<const char*>(std::memchr(line, '\n', end - line));
        if (!eol) eol = end;
        cursor = eol < end ? eol + 1 : end;
        const char* p = line;
        m->start = ParseHex(p, eol);
        if (p >= eol || *p != '-') continue;
        ++p;
        m->end = ParseHex(p, eol);
        if (p >= eol || *p != ' ' || eol - p < 5) continue;
        std::memcpy(m->perms, p + 1, 4);
        // Fields: perms offset dev inode, then the optional name.
        int spaces = 0;
        while (p < eol && spaces < 5) {
            if (*p == ' ') {
                ++spaces;
                while (p < eol && *p == ' ') ++p;
            } else {
                ++p;
            }
        }
        m->name = p;
        m->nameLength = static_cast<size_t>(eol - p);
        m->named = m->nameLength > 0;
        return true;
    }
    return false;
}

uint64_t ContextStackPointer(const void* context) {
#if defined(__x86_64__)
    if (!context) return 0;
    return static_cast<uint64_t>(
        static_cast<const ucontext_t*>(context)->uc_mcontext.gregs[REG_RSP]);
#else
    (void)context;
    return 0;
#endif
}

uint64_t ContextInstruction(const void* context) {
#if defined(__x86_64__)
    if (!context) return 0;
    return static_cast<uint64_t>(
        static_cast<const ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#else
    (void)context;
    return 0;
#endif
}

// The dump directory of the moment: EMSLogFileLocation itself when it names a directory
// (below the installation root for the node's own helper processes), else none.
const char* DumpDirectory() {
    EMSGlobals& ems = EMSState();
    g_dumpDir[0] = '\0';
    if (ems.logFileLocation[0] == '\0') return g_dumpDir;
    const char* proc = ems.processName;
    bool rooted = std::strcmp(proc, "edt") == 0 || std::strcmp(proc, "nm") == 0 ||
                  std::strcmp(proc, "QuenloCertMon") == 0;
    if (rooted && ems.logFileLocation[0] != '/' && ems.installRoot[0] != '\0')
        std::snprintf(g_dumpDir, sizeof g_dumpDir, "%s/%s", ems.installRoot,
                      ems.logFileLocation);
    else
        std::snprintf(g_dumpDir, sizeof g_dumpDir, "%s", ems.logFileLocation);
    struct stat st;
    if (::stat(g_dumpDir, &st) != 0 || !S_ISDIR(st.st_mode)) g_dumpDir[0] = '\0';
    return g_dumpDir;
}

// "<dir>/<exe name>" or the executable's own path: the part before the time stamp.
void DumpPrefix(char* out, size_t size) {
    const char* dir = DumpDirectory();
    if (dir[0] != '\0')
        std::snprintf(out, size, "%s/%s", dir, g_exeName);
    else
        std::snprintf(out, size, "%s", g_exePath);
}

void BuildDumpPath() {
    DumpPrefix(g_dumpPath, sizeof g_dumpPath);
    int64_t ns = plat::RealtimeNs() - static_cast<int64_t>(g_biasMinutes) * 60 * 1000000000LL;
    time_t secs = static_cast<time_t>(ns / 1000000000);
    tm t{};
    gmtime_r(&secs, &t);
    size_t used = strnlen(g_dumpPath, sizeof g_dumpPath);
    std::snprintf(g_dumpPath + used, sizeof g_dumpPath - used, kDumpSuffixFormat,
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<int>((ns / 1000000) % 1000));
}

bool WriteDump(int fd, const CrashInfo& info, uint32_t kind) {
    bool ok = true;
    uint8_t h[56] = {};
    std::memcpy(h, "PRLODUMP", 8);
    plat::StoreLE32(h + 8, 1);
    plat::StoreLE32(h + 12, static_cast<uint32_t>(info.signo));
    plat::StoreLE32(h + 16, static_cast<uint32_t>(info.sigCode));
    plat::StoreLE32(h + 20, info.code);
    plat::StoreLE64(h + 24, reinterpret_cast<uint64_t>(info.address));
    plat::StoreLE32(h + 32, static_cast<uint32_t>(getpid()));
    plat::StoreLE32(h + 36, plat::CurrentThreadId());
    plat::StoreLE64(h + 40, plat::FileTimeNow());
    plat::StoreLE32(h + 48, kind);
    WriteAll(fd, h, sizeof h, &ok);
#if defined(__x86_64__)
    if (info.context) {
        const auto* uc = static_cast<const ucontext_t*>(info.context);
        WriteSectionHeader(fd, 1, 0, sizeof uc->uc_mcontext.gregs, &ok);
        WriteAll(fd, uc->uc_mcontext.gregs, sizeof uc->uc_mcontext.gregs, &ok);
    }
#endif
    size_t mapsLength = ReadMaps();
    WriteSectionHeader(fd, 2, 0, mapsLength, &ok);
    WriteAll(fd, g_maps, mapsLength, &ok);

    const char* end = g_maps + mapsLength;
    const uint64_t sp = ContextStackPointer(info.context);
    if (sp != 0) {
        const char* cursor = g_maps;
        Mapping m;
        while (NextMapping(cursor, end, &m)) {
            if (sp < m.start || sp >= m.end || m.perms[0] != 'r') continue;
            uint64_t from = sp >= m.start + 128 ? sp - 128 : m.start;  // the red zone too
            uint64_t length = std::min<uint64_t>(m.end - from, kStackMax);
            WriteSectionHeader(fd, 3, from, length, &ok);
            WriteMemory(fd, from, length, &ok);
            break;
        }
    }
    if (kind == CRASH_DUMP_FULL) {
        uint64_t total = 0;
        const char* cursor = g_maps;
        Mapping m;
        while (NextMapping(cursor, end, &m)) {
            if (m.perms[0] != 'r' || m.perms[1] != 'w' || m.perms[3] != 'p') continue;
            uint64_t length = m.end - m.start;
            // Huge reservations (sanitizer shadow, arenas) would swamp the dump.
            if (length > kMappingMax || total + length > kFullDumpMax) continue;
            if (m.nameLength >= 6 && std::memcmp(m.name, "[vvar]", 6) == 0) continue;
            WriteSectionHeader(fd, 4, m.start, length, &ok);
            WriteMemory(fd, m.start, length, &ok);
            total += length;
        }
    }
    return ok;
}

// Module, section number and offset of an address; false leaves zeros and no path.
bool LogicalAddress(uint64_t address, uint32_t* section, uint64_t* offset, const char** module) {
    *section = 0;
    *offset = 0;
    *module = "";
    Dl_info dl;
    if (address == 0 || dladdr(reinterpret_cast<void*>(address), &dl) == 0 || !dl.dli_fbase)
        return false;
    const auto base = reinterpret_cast<uint64_t>(dl.dli_fbase);
    const auto* eh = static_cast<const ElfW(Ehdr)*>(dl.dli_fbase);
    if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_phnum > 512) return false;
    const auto* ph = reinterpret_cast<const ElfW(Phdr)*>(base + eh->e_phoff);
    // The load bias: the first loadable segment's address lies at the module base.
    uint64_t firstVaddr = 0;
    bool haveFirst = false;
    uint32_t index = 0;
    for (unsigned i = 0; i < eh->e_phnum; ++i) {
        if (ph[i].p_type != PT_LOAD) continue;
        if (!haveFirst) {
            firstVaddr = ph[i].p_vaddr & ~static_cast<uint64_t>(ph[i].p_align ? ph[i].p_align - 1 : 0);
            haveFirst = true;
        }
        ++index;
        uint64_t start = base + ph[i].p_vaddr - firstVaddr;
        uint64_t size = std::max<uint64_t>(ph[i].p_filesz, ph[i].p_memsz);
        if (address >= start && address <= start + size) {
            *section = index;
            *offset = address - start;
            *module = dl.dli_fname ? dl.dli_fname : "";
            return true;
        }
    }
    return false;
}

void OnSignal(int signo, siginfo_t* si, void* context) {
    if (g_inHandler.exchange(1) != 0) {
        ::signal(signo, SIG_DFL);
        ::raise(signo);
        return;
    }
    CrashInfo info;
    info.signo = signo;
    info.sigCode = si ? si->si_code : 0;
    // Only a signal the kernel raised for a fault carries a fault address.
    info.address = si && si->si_code > 0 ? si->si_addr : nullptr;
    info.context = context;
    info.code = CrashCodeOf(signo, info.sigCode, info.address, context);
    CExceptionHandlerEx::Filter(info);
    // Die by the signal: the raised copy is delivered, with the default action, when the
    // handler returns (a repeated fault would do the same).
    ::signal(signo, SIG_DFL);
    ::raise(signo);
}

[[noreturn]] void OnTerminate() {
    if (g_inHandler.exchange(1) == 0) {
        CrashInfo info;
        info.signo = SIGABRT;
        info.code = CRASH_CPP_EXCEPTION;
        if (getcontext(&g_terminateContext) == 0) {
            info.context = &g_terminateContext;
            info.address = reinterpret_cast<void*>(ContextInstruction(&g_terminateContext));
        }
        CExceptionHandlerEx::Filter(info);
    }
    ::signal(SIGABRT, SIG_DFL);
    std::abort();
}

}  // namespace

// ---------------------------------------------------------------------------------------

uint32_t CrashCodeOf(int signo, int sigCode, const void* faultAddress, const void* context) {
    switch (signo) {
        case SIGSEGV: {
            const uint64_t sp = ContextStackPointer(context);
            const auto a = reinterpret_cast<uint64_t>(faultAddress);
            // A fault just below the stack pointer is the guard page of an overflowing stack.
            if (sp != 0 && a != 0 && a + 65536 >= sp && a <= sp + 4096) return 0xC00000FD;
            return CRASH_ACCESS_VIOLATION;
        }
        case SIGBUS: return sigCode == BUS_ADRALN ? 0x80000002 : 0xC0000006;
        case SIGFPE:
            switch (sigCode) {
                case FPE_INTDIV: return 0xC0000094;
                case FPE_INTOVF: return 0xC0000095;
                case FPE_FLTDIV: return 0xC000008E;
                case FPE_FLTRES: return 0xC000008F;
                case FPE_FLTOVF: return 0xC0000091;
                case FPE_FLTUND: return 0xC0000093;
                case FPE_FLTSUB: return 0xC000008C;
                default: return 0xC0000090;
            }
        case SIGILL: return sigCode == ILL_PRVOPC ? 0xC0000096 : 0xC000001D;
        case SIGTRAP: return sigCode == TRAP_TRACE ? 0x80000004 : CRASH_BREAKPOINT;
        case SIGABRT: return CRASH_ABORT;
        default: return CRASH_UNEXPECTED;
    }
}

const char* CrashCodeName(uint32_t code) {
    switch (code) {
        case 0xC0000005: return "ACCESS_VIOLATION";
        case 0x80000001: return "GUARD_PAGE";
        case 0x80000002: return "DATATYPE_MISALIGNMENT";
        case 0x80000003: return "BREAKPOINT";
        case 0x80000004: return "SINGLE_STEP";
        case 0xC0000006: return "IN_PAGE_ERROR";
        case 0xC0000008: return "INVALID_HANDLE";
        case 0xC000001D: return "ILLEGAL_INSTRUCTION";
        case 0xC0000025: return "NONCONTINUABLE_EXCEPTION";
        case 0xC0000026: return "INVALID_DISPOSITION";
        case 0xC000008C: return "ARRAY_BOUNDS_EXCEEDED";
        case 0xC000008D: return "FLT_DENORMAL_OPERAND";
        case 0xC000008E: return "FLT_DIVIDE_BY_ZERO";
        case 0xC000008F: return "FLT_INEXACT_RESULT";
        case 0xC0000090: return "FLT_INVALID_OPERATION";
        case 0xC0000091: return "FLT_OVERFLOW";
        case 0xC0000092: return "FLT_STACK_CHECK";
        case 0xC0000093: return "FLT_UNDERFLOW";
        case 0xC0000094: return "INT_DIVIDE_BY_ZERO";
        case 0xC0000095: return "INT_OVERFLOW";
        case 0xC0000096: return "PRIV_INSTRUCTION";
        case 0xC00000FD: return "STACK_OVERFLOW";
        case 0xE06D7363: return "Microsoft Compiler Generated (Q185294)";
        case CRASH_ABORT: return "abort";
        default: return "unknown exception";
    }
}

std::string CrashDumpDirectory() { return DumpDirectory(); }
std::string CrashExecutablePath() { return g_exePath; }

CExceptionHandlerEx& TheExceptionHandler() {
    static CExceptionHandlerEx* handler = new CExceptionHandlerEx;  // lives to the end
    return *handler;
}

uint32_t InstallGlobalExceptionHandler() {
    return TheExceptionHandler().InstallGlobalExceptionHandler();
}

CExceptionHandlerEx::~CExceptionHandlerEx() {
    if (!installed_) return;
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    std::set_terminate(g_previousTerminate);
    auto* mutex = static_cast<plat::NamedMutex*>(mutex_);
    if (mutex) {
        mutex->Unlock();
        delete mutex;
    }
}

uint32_t CExceptionHandlerEx::InstallGlobalExceptionHandler() {
    char name[64];
    std::snprintf(name, sizeof name, "Global\\CExceptionHandler_0x%.8X", plat::CurrentProcessId());
    if (TraceOn())
        EMSTraceMessage("CExceptionHandlerEx::InstallGlobalExceptionHandler -- creating Mutex lock "
                        "(%s) for this process.",
                        name);
    auto* mutex = new plat::NamedMutex;
    if (!mutex->Create(name, true)) {
        uint32_t error = plat::GetLastError();
        EMSTraceMessageStatus(error,
                              "CExceptionHandlerEx::InstallGlobalExceptionHandler -- Mutex lock "
                              "(%s) could not be created.",
                              name);
        delete mutex;
        return error != 0 ? error : CRASH_UNEXPECTED;
    }
    if (mutex->Existed()) {
        if (TraceOn())
            EMSTraceMessage("CExceptionHandlerEx::InstallGlobalExceptionHandler -- Mutex lock "
                            "already exists (%s) for this process.",
                            name);
        delete mutex;
        return 1;
    }
    mutex_ = mutex;
    installed_ = true;

    // What the handler needs later, while allocating is still safe.
    ssize_t n = ::readlink("/proc/self/exe", g_exePath, sizeof g_exePath - 1);
    g_exePath[n > 0 ? n : 0] = '\0';
    SetExeName();
    g_biasMinutes = plat::LocalBiasMinutes();
    backtrace(g_frames, 2);  // loads the unwinder now, not inside the handler
    g_demangleSize = 1024;
    g_demangle = static_cast<char*>(std::malloc(g_demangleSize));

    stack_t alt{};
    alt.ss_sp = g_altStack;
    alt.ss_size = sizeof g_altStack;
    ::sigaltstack(&alt, nullptr);
    struct sigaction sa{};
    sa.sa_sigaction = OnSignal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
        ::sigaction(kSignals[i], &sa, &g_previous[i]);
    g_previousTerminate = std::set_terminate(OnTerminate);

    const uint32_t control = EMSState().generateSmallMemoryDump;
    const uint32_t keep = (control >> 4) & 0xFFFFFF;
    if (keep != 0) g_keep = keep;
    PruneMiniDumpFiles(g_keep);
    return 0;
}

void CExceptionHandlerEx::Filter(const CrashInfo& info) {
    static const char kBanner[] = "UNHANDLED EXCEPTION ********* STACK TRACE TO FOLLOW:\n";
    ssize_t ignored = ::write(2, kBanner, sizeof kBanner - 1);
    (void)ignored;
    // Uninstall first, so that a fault inside the handler ends the process.
    for (int s : kSignals) ::signal(s, SIG_DFL);
    GenerateMiniDump(info);
    WriteReport(info);
}

void CExceptionHandlerEx::ReportAppend(const char* format, ...) {
    char piece[kReportMax];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(piece, sizeof piece, format, ap);
    va_end(ap);
    if (n <= 0) return;
    size_t len = std::min<size_t>(static_cast<size_t>(n), sizeof piece - 1);
    // As much as still fits: the tail of an overlong report is cut, not whole lines.
    if (g_reportLength >= kReportMax) return;
    len = std::min(len, kReportMax - g_reportLength);
    std::memcpy(g_report + g_reportLength, piece, len);
    g_reportLength += len;
    g_report[g_reportLength] = '\0';
}

const char* CExceptionHandlerEx::ReportText() { return g_report; }

bool CExceptionHandlerEx::GetLogicalAddress(uint64_t address, uint32_t* section,
                                            uint64_t* offset, const char** module) {
    return LogicalAddress(address, section, offset, module);
}

void CExceptionHandlerEx::WriteReport(const CrashInfo& info) {
    g_reportLength = 0;
    g_report[0] = '\0';
    ReportAppend("Exception code: %08X %s\r\n", info.code, CrashCodeName(info.code));
    uint64_t ip = ContextInstruction(info.context);
    if (ip == 0) ip = reinterpret_cast<uint64_t>(info.address);
    uint32_t section;
    uint64_t offset;
    const char* module;
    GetLogicalAddress(ip, &section, &offset, &module);
    ReportAppend("Fault address:  %08llX %02X:%08llX %s\r\n", static_cast<unsigned long long>(ip),
                 section, static_cast<unsigned long long>(offset), module);
#if defined(__x86_64__)
    if (info.context) {
        const auto& g = static_cast<const ucontext_t*>(info.context)->uc_mcontext.gregs;
        auto r = [&](int i) { return static_cast<unsigned long long>(g[i]); };
        ReportAppend("\r\nRegisters:\r\n");
        ReportAppend("RAX:%016llX\r\nRBX:%016llX\r\nRCX:%016llX\r\nRDX:%016llX\r\nRSI:%016llX\r\n"
                     "RDI:%016llX\r\n",
                     r(REG_RAX), r(REG_RBX), r(REG_RCX), r(REG_RDX), r(REG_RSI), r(REG_RDI));
        ReportAppend("R8:%016llX\r\nR9:%016llX\r\nR10:%016llX\r\nR11:%016llX\r\nR12:%016llX\r\n"
                     "R13:%016llX\r\nR14:%016llX\r\nR15:%016llX\r\n",
                     r(REG_R8), r(REG_R9), r(REG_R10), r(REG_R11), r(REG_R12), r(REG_R13),
                     r(REG_R14), r(REG_R15));
        // cs, gs, fs and ss share one word; the data segments are flat.
        const unsigned long long seg = r(REG_CSGSFS);
        const unsigned cs = seg & 0xFFFF, gs = (seg >> 16) & 0xFFFF, fs = (seg >> 32) & 0xFFFF,
                       ss = (seg >> 48) & 0xFFFF;
        ReportAppend("CS:RIP:%04X:%016llX\r\n", cs, r(REG_RIP));
        ReportAppend("SS:RSP:%04X:%016llX  RBP:%016llX\r\n", ss, r(REG_RSP), r(REG_RBP));
        ReportAppend("DS:%04X  ES:%04X  FS:%04X  GS:%04X\r\n", 0u, 0u, fs, gs);
        ReportAppend("Flags:%08llX\r\n", r(REG_EFL));
    }
#endif
    Stack(info);
    ReportAppend("\r\n");

    if (EMSTryLockGlobal()) {
        EMSErrorMessage("%s", g_report);
        EMSUnlockGlobal();
    } else {
        ssize_t ignored = ::write(2, g_report, g_reportLength);
        (void)ignored;
    }
}

void CExceptionHandlerEx::Stack(const CrashInfo& info) {
    ReportAppend("\r\nCall stack:\r\n");
    ReportAppend("Address   Frame\r\n");
    int n = backtrace(g_frames, kFramesMax);
    // Start at the faulting instruction: the frames before it are the handler's own.
    const uint64_t ip = ContextInstruction(info.context);
    int first = 0;
    for (int i = 0; i < n && ip != 0; ++i) {
        if (reinterpret_cast<uint64_t>(g_frames[i]) == ip) {
            first = i;
            break;
        }
    }
    uint64_t frame = 0;
#if defined(__x86_64__)
    if (info.context)
        frame = static_cast<uint64_t>(
            static_cast<const ucontext_t*>(info.context)->uc_mcontext.gregs[REG_RBP]);
#endif
    for (int i = first; i < n; ++i) {
        const auto addr = reinterpret_cast<uint64_t>(g_frames[i]);
        ReportAppend("%016llX  %016llX  ", static_cast<unsigned long long>(addr),
                     static_cast<unsigned long long>(i == first ? frame : 0));
        Dl_info dl;
        if (dladdr(g_frames[i], &dl) != 0 && dl.dli_sname && dl.dli_saddr) {
            const char* name = dl.dli_sname;
            int status = -1;
            if (g_demangle) {
                size_t size = g_demangleSize;
                char* out = abi::__cxa_demangle(dl.dli_sname, g_demangle, &size, &status);
                if (status == 0 && out) {
                    g_demangle = out;  // it may have grown the buffer
                    g_demangleSize = std::max(g_demangleSize, size);
                    name = out;
                }
            }
            ReportAppend("%s+%llX\r\n", name,
                         static_cast<unsigned long long>(addr -
                                                         reinterpret_cast<uint64_t>(dl.dli_saddr)));
        } else {
            uint32_t section;
            uint64_t offset;
            const char* module;
            GetLogicalAddress(addr, &section, &offset, &module);
            ReportAppend("%04X:%016llX %s\r\n", section, static_cast<unsigned long long>(offset),
                         module);
        }
    }
}

void GenerateMiniDump(const CrashInfo& info) {
    const uint32_t control = EMSState().generateSmallMemoryDump;
    const uint32_t kind = control & 0xF;
    if (kind != CRASH_DUMP_SMALL && kind != CRASH_DUMP_FULL) {
        if (TraceOn()) Note(false, 0, "CExceptionHandlerEx::GenerateMiniDump -- User disabled minidump.");
        return;
    }
    if ((control & CRASH_NO_DUMP_ON_BREAK) && info.code == CRASH_BREAKPOINT) {
        if (TraceOn())
            Note(false, 0,
                 "CExceptionHandlerEx::GenerateMiniDump -- User disabled minidump on Debug Break "
                 "and this is an EXCEPTION_BREAKPOINT.");
        return;
    }
    if (g_exePath[0] == '\0') {
        Note(false, 0, "CExceptionHandlerEx::GenerateMiniDump -- ::GetModuleFileName() failed.");
        return;
    }
    BuildDumpPath();
    int fd = ::open(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        Note(true, plat::ErrnoToWin32(errno),
             "CExceptionHandlerEx::GenerateMiniDump -- ::CreateFile() failed.");
        return;
    }
    if (WriteDump(fd, info, kind))
        Note(false, 0, "CExceptionHandlerEx::GenerateMiniDump -- A Mini Dump File is available at %s",
             g_dumpPath);
    else
        Note(true, plat::ErrnoToWin32(errno),
             "CExceptionHandlerEx::GenerateMiniDump -- MiniDumpWriteDump() failed.");
    ::close(fd);
}

uint32_t PruneMiniDumpFiles(uint32_t keep) {
    if (g_exePath[0] == '\0') {
        ssize_t n = ::readlink("/proc/self/exe", g_exePath, sizeof g_exePath - 1);
        if (n <= 0) {
            uint32_t error = plat::ErrnoToWin32(errno);
            Note(true, error, "CExceptionHandlerEx::PruneMiniDumpFiles -- ::GetModuleFileName() failed.");
            return error;
        }
        g_exePath[n] = '\0';
        SetExeName();
    }
    char prefix[kPathMax + 64];
    DumpPrefix(prefix, sizeof prefix);
    const char* slash = std::strrchr(prefix, '/');
    if (!slash) {
        Note(false, 0,
             "CExceptionHandlerEx::PruneMiniDumpFiles -- Unable to find end of path to use for "
             "file name substitution.");
        return CRASH_UNEXPECTED;
    }
    const std::string dir(prefix, static_cast<size_t>(slash - prefix));
    const std::string stem(slash + 1);
    char pattern[kPathMax + 96];
    std::snprintf(pattern, sizeof pattern, "%s_?????????????????.mdmp", prefix);

    DIR* d = ::opendir(dir.empty() ? "/" : dir.c_str());
    if (!d) {
        uint32_t error = plat::ErrnoToWin32(errno);
        Note(true, error, "CExceptionHandlerEx::PruneMiniDumpFiles -- ::FindNextFile() failed.");
        return error;
    }
    // The time stamp in the name orders the dumps: this host keeps no creation time.
    std::vector<std::string> found;
    const size_t nameLength = stem.size() + 1 + kStampLength + 5;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() != nameLength || name.compare(0, stem.size(), stem) != 0 ||
            name[stem.size()] != '_' || name.compare(nameLength - 5, 5, ".mdmp") != 0)
            continue;
        bool digits = true;
        for (size_t i = stem.size() + 1; i < stem.size() + 1 + kStampLength; ++i)
            digits = digits && name[i] >= '0' && name[i] <= '9';
        struct stat st;
        const std::string path = dir + "/" + name;
        if (!digits || ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        found.push_back(name);
    }
    ::closedir(d);
    if (found.empty()) {
        if (TraceOn())
            EMSTraceMessage("CExceptionHandlerEx::PruneMiniDumpFiles -- There are no files matching "
                            "the pattern: %s.\n",
                            pattern);
        return 1;
    }
    std::sort(found.begin(), found.end(), [&](const std::string& a, const std::string& b) {
        return a.compare(stem.size() + 1, kStampLength, b, stem.size() + 1, kStampLength) < 0;
    });
    size_t oldest = 0;
    while (found.size() - oldest > keep) {
        const std::string path = dir + "/" + found[oldest++];
        if (::unlink(path.c_str()) != 0)
            Note(true, plat::ErrnoToWin32(errno),
                 "CExceptionHandlerEx::PruneMiniDumpFiles -- ::DeleteFile() failed to delete %s.",
                 path.c_str());
    }
    return 0;
}

__attribute__((no_sanitize("address", "undefined"))) void CrashRaiseAccessViolation() {
    // A page that exists but may not be touched: the fault is the platform's, not a
    // sanitizer's report.
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    volatile char* p = page == MAP_FAILED ? reinterpret_cast<volatile char*>(16)
                                          : static_cast<volatile char*>(page);
    *p = 1;
    ::raise(SIGSEGV);  // not reached
    std::abort();
}
