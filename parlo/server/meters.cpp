// The server's meters: updates, reads, the console texts and the half-hour and midnight
// reports. Every text is formatted by one unlocked formatter that the callers run under a
// single hold of "MeterLock".
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "ctimsg/names.h"
#include "nuvlib/datetime.h"
#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "nuvlib/release.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/buildinfo.h"
#include "parlo/server/server.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kEvStatus = 0x612E000B;
constexpr uint32_t kEvPeriod = 0x612E000C;
constexpr uint32_t kEvMeterLog = 0x612E000D;
constexpr int kHeartbeatRequest = 5;  // CTI message type HEARTBEAT_REQ

std::string Format(const char* format, ...) EMS_PRINTF(1, 2);
std::string Format(const char* format, ...) {
    char line[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    return line;
}

// Meters are 32-bit counters that wrap; the arithmetic is unsigned.
void Add(int32_t& meter, int64_t v) {
    meter = static_cast<int32_t>(static_cast<uint32_t>(meter) + static_cast<uint32_t>(v));
}
int32_t Diff(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// Minimum, maximum today and maximum ever at read indexes min, min+1, min+2.
void MinMaxEver(int32_t* value, int min, int32_t v) {
    if (v < value[min]) value[min] = v;
    if (v > value[min + 1]) {
        value[min + 1] = v;
        if (value[min + 1] > value[min + 2]) value[min + 2] = value[min + 1];
    }
}

// Maximum today and maximum ever at read indexes max, max+1.
void MaxEver(int32_t* value, int max, int32_t v) {
    if (v > value[max]) {
        value[max] = v;
        if (value[max] > value[max + 1]) value[max + 1] = value[max];
    }
}

constexpr int kMinima[] = {25, 29, 33, 40, 44, 51, 55};
constexpr int kMaximaToday[] = {26, 30, 34, 37, 41, 45, 52, 56};

std::string HoursMinutesSeconds(const char* label, int64_t seconds) {
    return Format("%-31.31s %d hrs %d min %d sec\n", label, static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
}

double Rate(double amount, double seconds) { return seconds > 0 ? amount / seconds : 0.0; }

double Busy(int64_t idle, int64_t work1, int64_t work2) {
    const int64_t total = idle + work1 + work2;
    return total > 0 ? static_cast<double>(work1 + work2) * 100.0 / static_cast<double>(total) : 0.0;
}

}  // namespace

const char* MeterOPCTypeName(int32_t type) {
    // Until the OPC vocabulary is at hand, each type is named by its number.
    static char names[ServerMeters::kOPCTypes][24];
    static const bool built = [] {
        for (int i = 0; i < ServerMeters::kOPCTypes; ++i) std::snprintf(names[i], sizeof names[i], "OPC_MSG_TYPE_%d", i);
        return true;
    }();
    (void)built;
    return type >= 0 && type < ServerMeters::kOPCTypes ? names[type] : "*INVALID*";
}

void Server::UpdateMeter(int meter, int32_t v) {
    LockGuard<CTILockObject> hold(*m_MeterLock, "Server::UpdateMeter");
    int32_t* value = m_Meters.value;
    switch (meter) {
        case 0:
        case 59: {
            int64_t& start = meter == 0 ? m_Meters.activeStart : m_Meters.standbyStart;
            const int accumulated = meter == 0 ? 1 : 60;
            if (v != 0) {
                if (!value[meter]) {
                    value[meter] = 1;
                    start = NowSeconds();
                }
            } else if (value[meter]) {
                Add(value[accumulated], NowSeconds() - start);
                value[meter] = 0;
            }
            break;
        }
        case 3:
        case 9: {
            // today, max today and max ever: 6, 7, 8 for connections; 10, 11, 12 for calls
            const int today = meter == 3 ? 6 : 10;
            Add(value[meter], v);
            if (v > 0) {
                Add(value[today], 1);
                if (value[meter] > value[today + 1]) value[today + 1] = value[meter];
                if (value[meter] > value[today + 2]) value[today + 2] = value[meter];
            }
            break;
        }
        case 4: case 5: case 13: case 15: case 16: case 18: case 19: case 47: case 48: case 49:
            Add(value[meter], v);
            break;
        case 14: case 21:
            Add(value[meter], 1);
            break;
        case 17:
            Add(value[17], 1);
            if (v >= 0 && v < ServerMeters::kOPCTypes) Add(m_Meters.opcTypes[v], 1);
            break;
        case 20:
            Add(value[20], 1);
            if (v >= 0 && v < ServerMeters::kCTITypes) Add(m_Meters.ctiTypes[v], 1);
            break;
        case 22: case 23:
            if (v > value[meter]) value[meter] = v;
            break;
        case 24: case 28: case 32: case 39: case 43:
            MinMaxEver(value, meter + 1, v);
            break;
        case 36:
            MaxEver(value, 37, v);
            break;
        case 50:
            Add(value[50], v);
            MinMaxEver(value, 51, v);
            break;
        case 54:
            Add(value[58], 1);
            Add(value[54], v);
            MinMaxEver(value, 55, v);
            break;
        default:
            break;  // no rule: nothing changes
    }
}

int32_t Server::GetMeter(int index) {
    LockGuard<CTILockObject> hold(*m_MeterLock, "Server::GetMeter");
    const int64_t now = NowSeconds();
    switch (index) {
        case 1:
            return m_Meters.value[1] + (m_Meters.value[0] ? static_cast<int32_t>(now - m_Meters.activeStart) : 0);
        case 60:
            return m_Meters.value[60] + (m_Meters.value[59] ? static_cast<int32_t>(now - m_Meters.standbyStart) : 0);
        case 2:
            return static_cast<int32_t>(now - m_Meters.metersStart);
        default:
            return index >= 0 && index < ServerMeters::kReadIndexes ? m_Meters.value[index] : 0;
    }
}

void Server::ResetMeters() {
    LockGuard<CTILockObject> hold(*m_MeterLock, "Server::ResetMeters");
    m_Meters = ServerMeters{};
    for (int i : kMinima) m_Meters.value[i] = ServerMeters::kMinimumStart;
    m_Meters.metersStart = NowSeconds();
}

// The period lines against the half-hour baselines over `period` seconds; they raise the
// two peaks. The caller holds "MeterLock".
void Server::FormatPeriodLines(int64_t period, std::vector<std::string>& lines, bool dumpForm) {
    const int32_t* value = m_Meters.value;
    const ServerMeters::Baseline& b = m_Meters.base;
    const double T = static_cast<double>(period);
    const int32_t connections = Diff(value[6], b.connectionsToday);
    const int32_t calls = Diff(value[10], b.callsToday);
    const std::string end = dumpForm ? "\n" : "";
    lines.push_back(Format("   Period connection(s): %-5d   Period call(s): %d (%.2f calls/sec)", connections,
                           calls, Rate(calls, T)) + end);
    const int32_t messages = Diff(value[20], b.clientMessages);
    lines.push_back(Format("   Period Velquar traffic: %d messages (%.2f msgs/sec)", messages, Rate(messages, T)) + end);
    const uint32_t bytes = static_cast<uint32_t>(value[18]) + static_cast<uint32_t>(value[19]) -
                           static_cast<uint32_t>(b.clientBytesOut) - static_cast<uint32_t>(b.clientBytesIn);
    const double byteRate = Rate(bytes, T);
    lines.push_back(Format("                                 %d bytes / %d seconds (%.2f bytes/sec)",
                           static_cast<int>(bytes), static_cast<int>(period), byteRate) + end);
    if (byteRate > m_Meters.peakBytesPerSecond) m_Meters.peakBytesPerSecond = static_cast<int32_t>(byteRate + 0.99);
    const int32_t heartbeats = Diff(m_Meters.ctiTypes[kHeartbeatRequest], b.heartbeats);
    const double hbRate = Rate(heartbeats, T);
    lines.push_back(Format(dumpForm ? "                                 %d heartbeat messages (%.2f hb/sec)"
                                    : "                                 %d heartbeats (%.2f hb/sec)",
                           heartbeats, hbRate) + end);
    if (hbRate > m_Meters.peakHeartbeatsPerSecond)
        m_Meters.peakHeartbeatsPerSecond = static_cast<int32_t>(hbRate + 0.99);
    const int32_t count = Diff(value[58], b.cpuCount);
    const double queue = count > 0 ? static_cast<double>(Diff(value[50], b.queueSum)) / count : 0.0;
    const double cpu = count > 0 ? static_cast<double>(Diff(value[54], b.cpuSum)) / count : 0.0;
    lines.push_back(Format("                                 %.2fms average queue time/msg", queue) + end);
    lines.push_back(Format("                                 %.2fms average CPU time/msg (%.2f%% busy)", cpu,
                           Busy(Diff(value[47], b.idle), Diff(value[48], b.work1), Diff(value[49], b.work2))) +
                    end);
}

// The meter text: the console form (lines end in "\n", blank lines kept) or the midnight
// log form (its own differences, no line ends). The caller holds "MeterLock".
void Server::FormatMeterLines(bool forLog, std::vector<std::string>& lines) {
    const int32_t* value = m_Meters.value;
    const int64_t now = NowSeconds();
    const int64_t active = value[1] + (value[0] ? now - m_Meters.activeStart : 0);
    const int64_t standby = value[60] + (value[59] ? now - m_Meters.standbyStart : 0);
    const int64_t since = now - m_Meters.metersStart;
    const std::string release = std::string(GetReleaseString()).substr(0, 119);
    lines.push_back(Format("%-31.31s %s\n", "Velquar Server version:", release.c_str()));
    lines.push_back(Format("%-31.31s %s\n", "   Build date:", BuildDateText().c_str()));
    const int64_t up = now - m_StartTime;
    const std::string upText = Format("%d days %d hours %d minutes", static_cast<int>(up / 86400),
                                      static_cast<int>(up / 3600 % 24), static_cast<int>(up / 60 % 60));
    lines.push_back(Format("%-31.31s %s\n", "   Parlo UP time:", upText.c_str()));
    lines.push_back("\n");
    lines.push_back(HoursMinutesSeconds("Velquar Meters from last:", since));
    if (since > 0) {
        lines.push_back(Format("%-31.31s %d %s (%.2f %s)\n", "   Parlo-OPC traffic:", value[17], "messages",
                               Rate(value[17], since), "msgs/sec"));
        const uint32_t bytes = static_cast<uint32_t>(value[15]) + static_cast<uint32_t>(value[16]);
        lines.push_back(Format("%-31.31s %d %s (%.2f %s)\n", " ", static_cast<int>(bytes), "bytes",
                               Rate(bytes, since), "bytes/sec"));
    }
    lines.push_back(HoursMinutesSeconds("   Active time:", active));
    if (forLog) lines.push_back(HoursMinutesSeconds("   Standby time:", standby));
    const int64_t divisor = forLog ? active + standby : active;
    if (divisor > 0) {
        lines.push_back(Format("%-31.31s %d\n", "   Number of Connections Today:", value[6]));
        lines.push_back(Format("%-31.31s %d / %d\n", "   Max Connections Today/Ever:", value[7], value[8]));
        lines.push_back(Format("%-31.31s %d\n", "   Number of Calls Today:", value[10]));
        lines.push_back(Format("%-31.31s %d / %d\n", "   Max Calls Today/Ever:", value[11], value[12]));
        lines.push_back(Format("%-31.31s %d %s (%.2f %s)\n", "   Velquar traffic:", value[20], "messages",
                               Rate(value[20], divisor), "msgs/sec"));
        const uint32_t bytes = static_cast<uint32_t>(value[18]) + static_cast<uint32_t>(value[19]);
        if (bytes != 0) {
            lines.push_back(Format("%-31.31s %d %s (%.2f %s)\n", " ", static_cast<int>(bytes), "bytes",
                                   Rate(bytes, divisor), "bytes/sec"));
            lines.push_back(Format("%-31.31s %d %s\n", " ", m_Meters.peakBytesPerSecond, "bytes/sec (peak)"));
            lines.push_back(Format("%-31.31s %d %s\n", " ", m_Meters.peakHeartbeatsPerSecond, "hb/sec (peak)"));
            lines.push_back(Format("%-31.31s %d\n", "   Invalid Velquar Msgs Rec'd:", value[21]));
            lines.push_back(Format("%-31.31s %d\n", "   Max Global Transmit Queue:", value[22]));
            lines.push_back(Format("%-31.31s %d\n", "   Max Client Transmit Queue:", value[23]));
            const std::pair<const char*, int> responses[] = {{"   OPCResponse Min/Max/Ever:", 40},
                                                             {"   OpenResponse Min/Max/Ever:", 25},
                                                             {"   HBResponse Min/Max/Ever:", 29},
                                                             {"   CtrlResponse Min/Max/Ever:", 44},
                                                             {"   OtherResponse Min/Max/Ever:", 33}};
            for (const auto& [label, at] : responses)
                lines.push_back(Format("%-31.31s %d / %d / %d\n", label, value[at], value[at + 1], value[at + 2]));
            lines.push_back(Format("%-31.31s %d / %d\n", "   Max Xmit Delay Today/Ever:", value[37], value[38]));
        }
        const int32_t count = value[58];
        lines.push_back(Format("%-31.31s %.2fms / %.2fms (%.2f%% busy)\n", "   Average Msg Queue/CPU Time:",
                               count ? static_cast<double>(value[50]) / count : 0.0,
                               count ? static_cast<double>(value[54]) / count : 0.0,
                               Busy(value[47], value[48], value[49])));
        lines.push_back(Format("%-31.31s %d / %d / %d\n", "   MessageQueue Min/Max/Ever:", value[51], value[52], value[53]));
        lines.push_back(Format("%-31.31s %d / %d / %d\n", "   MessageCPU Min/Max/Ever:", value[55], value[56], value[57]));
        lines.push_back(Format("%-31.31s %d\n", "   ValidateCall Errors Today:", value[14]));
        if (!forLog && active > m_Meters.base.active) {
            lines.push_back("\nVelquar Meters from current half hour:\n");
            FormatPeriodLines(active - m_Meters.base.active, lines, true);
        }
    }
    lines.push_back(Format("   %d Active Call(s), %d Total Call(s) in progress\n", value[13], value[9]));
}

void Server::DumpMeters(bool perType, std::string& text) {
    LockGuard<CTILockObject> hold(*m_MeterLock, "Server::DumpMeters");
    if (!perType) {
        std::vector<std::string> lines;
        FormatMeterLines(false, lines);
        for (const auto& line : lines) text += line;
        return;
    }
    std::vector<std::string> lines;
    const std::string release = std::string(GetReleaseString()).substr(0, 119);
    const int64_t since = NowSeconds() - m_Meters.metersStart;
    auto header = [&](const char* label) {
        text += Format("%-39.39s %d hrs %d min %d sec\n", label, static_cast<int>(since / 3600),
                       static_cast<int>(since / 60 % 60), static_cast<int>(since % 60));
    };
    header("OPC/Parlo Message Meters from last:");
    for (int type = 0; type < ServerMeters::kOPCTypes; ++type)
        text += Format("   %-36.36s %d\n", MeterOPCTypeName(type), m_Meters.opcTypes[type]);
    text += "\n";
    header("Velquar Message Meters from last:");
    for (int type = 1; type < ServerMeters::kCTITypes; ++type)
        text += Format("   %-36.36s %d\n", MsgTypeName(type), m_Meters.ctiTypes[type]);
}

void Server::GetStatusText(std::string& text) {
    char now[kDateTimeTextSize];
    char changed[kDateTimeTextSize];
    FormatFileTimeText(LocalFileTimeNow(), now, sizeof now, false);
    FormatFileTimeText(GetStateChangeTime(), changed, sizeof changed, false);
    text += "\nServerStatus:\n";
    text += Format("CurrentTime: %s\n", now);
    text += "ServerNumber  Side   State             LastStateChange\n";
    text += Format("  %-10d    %c    %-16.16s  %-28s\n", m_ServerNumber, m_Side == 1 ? 'A' : 'B',
                   GetStateName(GetState()), changed);
    if (CTIApplication* application = GetApplication()) application->GetCTILinkStatus(text);
    text += "\n";
    text += Format("%d CTI Client(s) connected[NonSecure:%d, Secure:%d]\n", GetMeter(3), GetMeter(4), GetMeter(5));
    text += Format("%d Active Call(s), %d Total Call(s) in progress\n", GetMeter(13), GetMeter(9));
    text += "\n";
}

void Server::LogStatusEvent() {
    char status[32];
    std::snprintf(status, sizeof status, "0x%x", static_cast<unsigned>(m_PGStatus));
    EMSEvent2I2S(kEvStatus, 0, 0, GetMeter(3), GetMeter(9), GetStateName(GetState()), status);
}

void Server::ReportPeriodMeters(bool report, bool save) {
    LockGuard<CTILockObject> hold(*m_MeterLock, "Server::ReportPeriodMeters");
    const int32_t* value = m_Meters.value;
    const int64_t now = NowSeconds();
    const int64_t active = value[1] + (value[0] ? now - m_Meters.activeStart : 0);
    const int64_t standby = value[60] + (value[59] ? now - m_Meters.standbyStart : 0);
    ServerMeters::Baseline& b = m_Meters.base;
    if (report) {
        const int64_t period = active + standby - (b.active + b.standby);
        if (period > 0) {
            std::vector<std::string> lines;
            FormatPeriodLines(period, lines, false);
            for (const auto& line : lines) EMSEvent0I1S(kEvPeriod, 0, 0, line.c_str());
        }
    }
    if (save) {
        b.connectionsToday = value[6];
        b.callsToday = value[10];
        b.clientBytesOut = value[18];
        b.clientBytesIn = value[19];
        b.clientMessages = value[20];
        b.active = active;
        b.standby = standby;
        b.heartbeats = m_Meters.ctiTypes[kHeartbeatRequest];
        b.idle = value[47];
        b.work1 = value[48];
        b.work2 = value[49];
        b.cpuCount = value[58];
        b.queueSum = value[50];
        b.cpuSum = value[54];
    }
}

void Server::LogMeters(bool report, bool reset) {
    LockGuard<CTILockObject> hold(*m_MeterLock, "Server::LogMeters");
    if (report) {
        std::vector<std::string> lines;
        FormatMeterLines(true, lines);
        for (std::string line : lines) {
            while (!line.empty() && line.back() == '\n') line.pop_back();
            if (line.empty()) continue;
            EMSEvent0I1S(kEvMeterLog, 0, 0, line.c_str());
        }
    }
    if (!reset) return;
    int32_t* value = m_Meters.value;
    const int64_t now = NowSeconds();
    m_Meters.metersStart = now;
    value[1] = 0;
    value[60] = 0;
    if (value[0]) m_Meters.activeStart = now;
    if (value[59]) m_Meters.standbyStart = now;
    value[7] = value[3];
    value[11] = value[9];
    for (int i : {6, 10, 14, 15, 16, 17, 18, 19, 20, 21, 47, 48, 49, 50, 54, 58}) value[i] = 0;
    for (int32_t& c : m_Meters.opcTypes) c = 0;
    for (int32_t& c : m_Meters.ctiTypes) c = 0;
    for (int i : kMaximaToday) value[i] = 0;
    for (int i : kMinima) value[i] = ServerMeters::kMinimumStart;
}

void Server::CheckMeterPeriods() {
    // Local time as the platform layer defines it, so that a test's clock moves it.
    const int64_t local = plat::RealtimeNs() / 1000000000 - static_cast<int64_t>(plat::LocalBiasMinutes()) * 60;
    const int64_t ofDay = ((local % 86400) + 86400) % 86400;
    const int halfHour = static_cast<int>(ofDay / 3600) * 2 + static_cast<int>(ofDay / 60 % 60) / 30;
    if (halfHour == m_LastHalfHour) return;
    if (m_LastHalfHour >= 0) {
        LogStatusEvent();
        ReportPeriodMeters(true, false);
        if (halfHour == 0) {
            if (CTIApplication* application = GetApplication()) application->ResetIDCounters();
            LogMeters(true, true);
        }
    }
    ReportPeriodMeters(false, true);
    m_LastHalfHour = halfHour;
}
