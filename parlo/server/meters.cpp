// The server's meters: updates, reads, the console texts and the half-hour and midnight
// reports. Every text is formatted by one unlocked formatter that the callers run under a
// single hold of "MeterLock".
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "ctimsg/msgtypes.h"
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

using namespace meterindex;

// Minimum, maximum today and maximum ever at the read indexes min and the two after it.
void MinMaxEver(int32_t* value, int min, int32_t v) {
    if (v < value[min]) value[min] = v;
    if (v > value[min + kMaxToday]) {
        value[min + kMaxToday] = v;
        if (value[min + kMaxToday] > value[min + kMaxEver]) value[min + kMaxEver] = value[min + kMaxToday];
    }
}

// Maximum today and maximum ever of the transmit delay.
void MaxEver(int32_t* value, int32_t v) {
    if (v > value[TransmitDelayMaxToday]) {
        value[TransmitDelayMaxToday] = v;
        if (value[TransmitDelayMaxToday] > value[TransmitDelayMaxEver])
            value[TransmitDelayMaxEver] = value[TransmitDelayMaxToday];
    }
}

// The minimum slots: they start at ServerMeters::kMinimumStart.
constexpr int kMinima[] = {OpenResponseMin, HeartbeatResponseMin, OtherResponseMin, OPCResponseMin,
                           ControlResponseMin, MessageQueueMin, MessageProcessingMin};
// The maxima of the day, back to 0 at midnight.
constexpr int kMaximaToday[] = {OpenResponseMin + kMaxToday,    HeartbeatResponseMin + kMaxToday,
                                OtherResponseMin + kMaxToday,   TransmitDelayMaxToday,
                                OPCResponseMin + kMaxToday,     ControlResponseMin + kMaxToday,
                                MessageQueueMin + kMaxToday,    MessageProcessingMin + kMaxToday};

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

void Server::UpdateMeter(int number, int32_t v) {
    LockGuard<CTILockObject> hold(*m_MeterLock, "Server::UpdateMeter");
    int32_t* value = m_Meters.value;
    switch (number) {
        case meter::ActiveClock:
        case meter::StandbyClock: {
            const bool active = number == meter::ActiveClock;
            int64_t& start = active ? m_Meters.activeStart : m_Meters.standbyStart;
            const int accumulated = active ? ActiveSeconds : StandbySeconds;
            if (v != 0) {
                if (!value[number]) {
                    value[number] = 1;
                    start = NowSeconds();
                }
            } else if (value[number]) {
                Add(value[accumulated], NowSeconds() - start);
                value[number] = 0;
            }
            break;
        }
        case meter::Connections:
        case meter::CallsInProgress: {
            const bool connections = number == meter::Connections;
            const int today = connections ? ConnectionsToday : CallsToday;
            const int maxToday = connections ? MaxConnectionsToday : MaxCallsToday;
            const int maxEver = connections ? MaxConnectionsEver : MaxCallsEver;
            Add(value[number], v);
            if (v > 0) {
                Add(value[today], 1);
                if (value[number] > value[maxToday]) value[maxToday] = value[number];
                if (value[number] > value[maxEver]) value[maxEver] = value[number];
            }
            break;
        }
        case meter::PlainConnections: case meter::SecureConnections: case meter::ActiveCalls:
        case meter::OPCBytesSent: case meter::OPCBytesReceived: case meter::ClientBytesSent:
        case meter::ClientBytesReceived: case meter::AppIdle: case meter::AppWork: case meter::AppAudit:
            Add(value[number], v);
            break;
        case meter::ValidateCallErrors: case meter::InvalidClientMessages:
            Add(value[number], 1);
            break;
        case meter::OPCMessages:
            Add(value[OPCMessages], 1);
            if (v >= 0 && v < ServerMeters::kOPCTypes) Add(m_Meters.opcTypes[v], 1);
            break;
        case meter::ClientMessages:
            Add(value[ClientMessages], 1);
            if (v >= 0 && v < ServerMeters::kCTITypes) Add(m_Meters.ctiTypes[v], 1);
            break;
        case meter::GlobalTransmitQueue: case meter::ClientTransmitQueue:
            if (v > value[number]) value[number] = v;
            break;
        case meter::OpenResponse: MinMaxEver(value, OpenResponseMin, v); break;
        case meter::HeartbeatResponse: MinMaxEver(value, HeartbeatResponseMin, v); break;
        case meter::OtherResponse: MinMaxEver(value, OtherResponseMin, v); break;
        case meter::OPCResponse: MinMaxEver(value, OPCResponseMin, v); break;
        case meter::ControlResponse: MinMaxEver(value, ControlResponseMin, v); break;
        case meter::TransmitDelay:
            MaxEver(value, v);
            break;
        case meter::MessageQueue:
            Add(value[MessageQueueSum], v);
            MinMaxEver(value, MessageQueueMin, v);
            break;
        case meter::MessageProcessing:
            Add(value[MessageCount], 1);
            Add(value[MessageProcessingSum], v);
            MinMaxEver(value, MessageProcessingMin, v);
            break;
        default:
            break;  // no rule: nothing changes
    }
}

int32_t Server::GetMeter(int index) {
    LockGuard<CTILockObject> hold(*m_MeterLock, "Server::GetMeter");
    const int64_t now = NowSeconds();
    const int32_t* value = m_Meters.value;
    switch (index) {
        case ActiveSeconds:
            return value[ActiveSeconds] + (value[ActiveClock] ? static_cast<int32_t>(now - m_Meters.activeStart) : 0);
        case StandbySeconds:
            return value[StandbySeconds] +
                   (value[StandbyClock] ? static_cast<int32_t>(now - m_Meters.standbyStart) : 0);
        case MetersAge:
            return static_cast<int32_t>(now - m_Meters.metersStart);
        default:
            return index >= 0 && index < ServerMeters::kReadIndexes ? value[index] : 0;
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
    const int32_t connections = Diff(value[ConnectionsToday], b.connectionsToday);
    const int32_t calls = Diff(value[CallsToday], b.callsToday);
    const std::string end = dumpForm ? "\n" : "";
    lines.push_back(Format("   Period connection(s): %-5d   Period call(s): %d (%.2f calls/sec)", connections,
                           calls, Rate(calls, T)) + end);
    const int32_t messages = Diff(value[ClientMessages], b.clientMessages);
    lines.push_back(Format("   Period Velquar traffic: %d messages (%.2f msgs/sec)", messages, Rate(messages, T)) + end);
    const uint32_t bytes = static_cast<uint32_t>(value[ClientBytesSent]) +
                           static_cast<uint32_t>(value[ClientBytesReceived]) -
                           static_cast<uint32_t>(b.clientBytesOut) - static_cast<uint32_t>(b.clientBytesIn);
    const double byteRate = Rate(bytes, T);
    lines.push_back(Format("                                 %d bytes / %d seconds (%.2f bytes/sec)",
                           static_cast<int>(bytes), static_cast<int>(period), byteRate) + end);
    if (byteRate > m_Meters.peakBytesPerSecond) m_Meters.peakBytesPerSecond = static_cast<int32_t>(byteRate + 0.99);
    const int32_t heartbeats = Diff(m_Meters.ctiTypes[HEARTBEAT_REQ], b.heartbeats);
    const double hbRate = Rate(heartbeats, T);
    lines.push_back(Format(dumpForm ? "                                 %d heartbeat messages (%.2f hb/sec)"
                                    : "                                 %d heartbeats (%.2f hb/sec)",
                           heartbeats, hbRate) + end);
    if (hbRate > m_Meters.peakHeartbeatsPerSecond)
        m_Meters.peakHeartbeatsPerSecond = static_cast<int32_t>(hbRate + 0.99);
    const int32_t count = Diff(value[MessageCount], b.cpuCount);
    const double queue = count > 0 ? static_cast<double>(Diff(value[MessageQueueSum], b.queueSum)) / count : 0.0;
    const double cpu = count > 0 ? static_cast<double>(Diff(value[MessageProcessingSum], b.cpuSum)) / count : 0.0;
    lines.push_back(Format("                                 %.2fms average queue time/msg", queue) + end);
    lines.push_back(Format("                                 %.2fms average CPU time/msg (%.2f%% busy)", cpu,
                           Busy(Diff(value[AppIdle], b.idle), Diff(value[AppWork], b.work1),
                                Diff(value[AppAudit], b.work2))) +
                    end);
}

// The meter text: the console form (lines end in "\n", blank lines kept) or the midnight
// log form (its own differences, no line ends). The caller holds "MeterLock".
void Server::FormatMeterLines(bool forLog, std::vector<std::string>& lines) {
    const int32_t* value = m_Meters.value;
    const int64_t now = NowSeconds();
    const int64_t active = value[ActiveSeconds] + (value[ActiveClock] ? now - m_Meters.activeStart : 0);
    const int64_t standby = value[StandbySeconds] + (value[StandbyClock] ? now - m_Meters.standbyStart : 0);
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
        lines.push_back(Format("%-31.31s %d %s (%.2f %s)\n", "   Parlo-OPC traffic:", value[OPCMessages], "messages",
                               Rate(value[OPCMessages], since), "msgs/sec"));
        const uint32_t bytes = static_cast<uint32_t>(value[OPCBytesSent]) + static_cast<uint32_t>(value[OPCBytesReceived]);
        lines.push_back(Format("%-31.31s %d %s (%.2f %s)\n", " ", static_cast<int>(bytes), "bytes",
                               Rate(bytes, since), "bytes/sec"));
    }
    lines.push_back(HoursMinutesSeconds("   Active time:", active));
    if (forLog) lines.push_back(HoursMinutesSeconds("   Standby time:", standby));
    const int64_t divisor = forLog ? active + standby : active;
    if (divisor > 0) {
        lines.push_back(Format("%-31.31s %d\n", "   Number of Connections Today:", value[ConnectionsToday]));
        lines.push_back(Format("%-31.31s %d / %d\n", "   Max Connections Today/Ever:", value[MaxConnectionsToday],
                               value[MaxConnectionsEver]));
        lines.push_back(Format("%-31.31s %d\n", "   Number of Calls Today:", value[CallsToday]));
        lines.push_back(Format("%-31.31s %d / %d\n", "   Max Calls Today/Ever:", value[MaxCallsToday], value[MaxCallsEver]));
        lines.push_back(Format("%-31.31s %d %s (%.2f %s)\n", "   Velquar traffic:", value[ClientMessages], "messages",
                               Rate(value[ClientMessages], divisor), "msgs/sec"));
        const uint32_t bytes =
            static_cast<uint32_t>(value[ClientBytesSent]) + static_cast<uint32_t>(value[ClientBytesReceived]);
        if (bytes != 0) {
            lines.push_back(Format("%-31.31s %d %s (%.2f %s)\n", " ", static_cast<int>(bytes), "bytes",
                                   Rate(bytes, divisor), "bytes/sec"));
            lines.push_back(Format("%-31.31s %d %s\n", " ", m_Meters.peakBytesPerSecond, "bytes/sec (peak)"));
            lines.push_back(Format("%-31.31s %d %s\n", " ", m_Meters.peakHeartbeatsPerSecond, "hb/sec (peak)"));
            lines.push_back(Format("%-31.31s %d\n", "   Invalid Velquar Msgs Rec'd:", value[InvalidClientMessages]));
            lines.push_back(Format("%-31.31s %d\n", "   Max Global Transmit Queue:", value[GlobalTransmitQueue]));
            lines.push_back(Format("%-31.31s %d\n", "   Max Client Transmit Queue:", value[ClientTransmitQueue]));
            const std::pair<const char*, int> responses[] = {{"   OPCResponse Min/Max/Ever:", OPCResponseMin},
                                                             {"   OpenResponse Min/Max/Ever:", OpenResponseMin},
                                                             {"   HBResponse Min/Max/Ever:", HeartbeatResponseMin},
                                                             {"   CtrlResponse Min/Max/Ever:", ControlResponseMin},
                                                             {"   OtherResponse Min/Max/Ever:", OtherResponseMin}};
            for (const auto& [label, at] : responses)
                lines.push_back(Format("%-31.31s %d / %d / %d\n", label, value[at], value[at + kMaxToday],
                                       value[at + kMaxEver]));
            lines.push_back(Format("%-31.31s %d / %d\n", "   Max Xmit Delay Today/Ever:", value[TransmitDelayMaxToday],
                                   value[TransmitDelayMaxEver]));
        }
        const int32_t count = value[MessageCount];
        lines.push_back(Format("%-31.31s %.2fms / %.2fms (%.2f%% busy)\n", "   Average Msg Queue/CPU Time:",
                               count ? static_cast<double>(value[MessageQueueSum]) / count : 0.0,
                               count ? static_cast<double>(value[MessageProcessingSum]) / count : 0.0,
                               Busy(value[AppIdle], value[AppWork], value[AppAudit])));
        for (const auto& [label, at] : {std::pair<const char*, int>{"   MessageQueue Min/Max/Ever:", MessageQueueMin},
                                        {"   MessageCPU Min/Max/Ever:", MessageProcessingMin}})
            lines.push_back(Format("%-31.31s %d / %d / %d\n", label, value[at], value[at + kMaxToday],
                                   value[at + kMaxEver]));
        lines.push_back(Format("%-31.31s %d\n", "   ValidateCall Errors Today:", value[ValidateCallErrors]));
        if (!forLog && active > m_Meters.base.active) {
            lines.push_back("\nVelquar Meters from current half hour:\n");
            FormatPeriodLines(active - m_Meters.base.active, lines, true);
        }
    }
    lines.push_back(Format("   %d Active Call(s), %d Total Call(s) in progress\n", value[ActiveCalls],
                           value[CallsInProgress]));
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
    text += Format("%d CTI Client(s) connected[NonSecure:%d, Secure:%d]\n", GetMeter(Connections),
                   GetMeter(PlainConnections), GetMeter(SecureConnections));
    text += Format("%d Active Call(s), %d Total Call(s) in progress\n", GetMeter(ActiveCalls),
                   GetMeter(CallsInProgress));
    text += "\n";
}

void Server::LogStatusEvent() {
    char status[32];
    std::snprintf(status, sizeof status, "0x%x", static_cast<unsigned>(m_PGStatus));
    EMSEvent2I2S(kEvStatus, 0, 0, GetMeter(Connections), GetMeter(CallsInProgress), GetStateName(GetState()),
                 status);
}

void Server::ReportPeriodMeters(bool report, bool save) {
    LockGuard<CTILockObject> hold(*m_MeterLock, "Server::ReportPeriodMeters");
    const int32_t* value = m_Meters.value;
    const int64_t now = NowSeconds();
    const int64_t active = value[ActiveSeconds] + (value[ActiveClock] ? now - m_Meters.activeStart : 0);
    const int64_t standby = value[StandbySeconds] + (value[StandbyClock] ? now - m_Meters.standbyStart : 0);
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
        b.connectionsToday = value[ConnectionsToday];
        b.callsToday = value[CallsToday];
        b.clientBytesOut = value[ClientBytesSent];
        b.clientBytesIn = value[ClientBytesReceived];
        b.clientMessages = value[ClientMessages];
        b.active = active;
        b.standby = standby;
        b.heartbeats = m_Meters.ctiTypes[HEARTBEAT_REQ];
        b.idle = value[AppIdle];
        b.work1 = value[AppWork];
        b.work2 = value[AppAudit];
        b.cpuCount = value[MessageCount];
        b.queueSum = value[MessageQueueSum];
        b.cpuSum = value[MessageProcessingSum];
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
    value[ActiveSeconds] = 0;
    value[StandbySeconds] = 0;
    if (value[ActiveClock]) m_Meters.activeStart = now;
    if (value[StandbyClock]) m_Meters.standbyStart = now;
    value[MaxConnectionsToday] = value[Connections];
    value[MaxCallsToday] = value[CallsInProgress];
    for (int i : {ConnectionsToday, CallsToday, ValidateCallErrors, OPCBytesSent, OPCBytesReceived, OPCMessages,
                  ClientBytesSent, ClientBytesReceived, ClientMessages, InvalidClientMessages, AppIdle, AppWork,
                  AppAudit, MessageQueueSum, MessageProcessingSum, MessageCount})
        value[i] = 0;
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
