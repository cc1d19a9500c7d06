// NtQuerySystemInformation: the fifteen classes the product gathers entropy
// from, answered from the host's live state (clocks, /proc/stat,
// /proc/meminfo, /proc/vmstat, /proc/self/*, /proc/interrupts, the process's
// mappings and descriptors, the boot id, the machine's own call counts and
// handles), so their contents change from call to call and boot to boot.
//
// Records have the x64 layouts of the target system where they are known:
// SYSTEM_TIMEOFDAY_INFORMATION 48 bytes, SYSTEM_PROCESS_INFORMATION 256 and
// SYSTEM_THREAD_INFORMATION 80 bytes, RTL_PROCESS_MODULE_INFORMATION 296,
// SYSTEM_HANDLE_TABLE_ENTRY_INFO 24, SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION
// 48 and SYSTEM_INTERRUPT_INFORMATION 24 per processor, SYSTEM_FILECACHE_
// INFORMATION 64, SYSTEM_EXCEPTION_INFORMATION 16, SYSTEM_CONTEXT_SWITCH_
// INFORMATION 48, SYSTEM_LEGACY_DRIVER_INFORMATION 24 plus its text,
// SYSTEM_LOOKASIDE_INFORMATION 32 each, SYSTEM_NUMA_INFORMATION 8 plus 8 per
// node. SYSTEM_PERFORMANCE_INFORMATION is 312 bytes here: its leading fields
// are the native ones, the rest carry further host counters.
// SystemCallCountInformation carries the machine's own call counts (length,
// one table, its number of entries, the counts).
//
// Length rules, as the native system applies them:
// - most classes need room for the whole reply, else STATUS_INFO_LENGTH_
//   MISMATCH with the needed length in the return length;
// - the time of day accepts any length up to its record and copies that
//   much (longer: STATUS_INFO_LENGTH_MISMATCH);
// - per-processor performance, lookaside lists and the NUMA map deliver as
//   many whole records as fit, given room for the shortest reply;
// - the verifier class answers no entries (no driver is being verified);
// - unknown classes: STATUS_INVALID_INFO_CLASS.
// Nothing is ever written beyond the length given. Options::sysinfoZeroCount
// lists classes whose successful replies then report a count of 0.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"
#include "ntsim/sync.h"

namespace ntsim {
namespace {

struct Reply {
    enum class Fit { Whole, UpTo, Records } fit = Fit::Whole;
    std::vector<uint8_t> bytes;
    size_t header = 0;   // Records: bytes before the first record
    size_t record = 0;   // Records: size of one record
    size_t minimum = 0;  // Records: the shortest length accepted
};

template <class T>
void Put(std::vector<uint8_t> &bytes, size_t offset, T value) {
    if (offset + sizeof value <= bytes.size()) std::memcpy(bytes.data() + offset, &value, sizeof value);
}

std::string ReadText(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

uint64_t Number(const std::string &text) {
    try {
        return std::stoull(text);
    } catch (...) {
        return 0;
    }
}

// "key value" lines (meminfo in KiB, vmstat, /proc/self/io, status).
std::map<std::string, uint64_t> KeyValues(const std::string &path) {
    std::map<std::string, uint64_t> values;
    std::istringstream in(ReadText(path));
    for (std::string line; std::getline(in, line);) {
        auto words = Words(line);
        if (words.size() < 2) continue;
        std::string key = words[0];
        if (!key.empty() && key.back() == ':') key.pop_back();
        values[key] = Number(words[1]);
    }
    return values;
}

struct CpuTimes {
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
};

struct HostStat {
    CpuTimes total;
    std::vector<CpuTimes> cpus;
    uint64_t interrupts = 0, contextSwitches = 0, bootTime = 0, processes = 0, running = 0, blocked = 0;
    std::vector<uint64_t> softirqs;
};

HostStat ReadHostStat() {
    HostStat stat;
    std::istringstream in(ReadText("/proc/stat"));
    for (std::string line; std::getline(in, line);) {
        auto w = Words(line);
        if (w.empty()) continue;
        if (w[0].rfind("cpu", 0) == 0 && w.size() >= 8) {
            CpuTimes t{Number(w[1]), Number(w[2]), Number(w[3]), Number(w[4]), Number(w[5]), Number(w[6]), Number(w[7])};
            if (w[0] == "cpu") stat.total = t;
            else stat.cpus.push_back(t);
        } else if (w[0] == "intr" && w.size() > 1) {
            stat.interrupts = Number(w[1]);
        } else if (w[0] == "ctxt" && w.size() > 1) {
            stat.contextSwitches = Number(w[1]);
        } else if (w[0] == "btime" && w.size() > 1) {
            stat.bootTime = Number(w[1]);
        } else if (w[0] == "processes" && w.size() > 1) {
            stat.processes = Number(w[1]);
        } else if (w[0] == "procs_running" && w.size() > 1) {
            stat.running = Number(w[1]);
        } else if (w[0] == "procs_blocked" && w.size() > 1) {
            stat.blocked = Number(w[1]);
        } else if (w[0] == "softirq") {
            for (size_t i = 1; i < w.size(); ++i) stat.softirqs.push_back(Number(w[i]));
        }
    }
    if (stat.cpus.empty()) stat.cpus.push_back(stat.total);
    return stat;
}

// Clock ticks to 100-ns units.
int64_t Ticks(uint64_t ticks) {
    static const long hz = std::max(1L, sysconf(_SC_CLK_TCK));
    return static_cast<int64_t>(ticks * (10000000 / hz));
}

int64_t UnixToSystemTime(uint64_t seconds) { return 116444736000000000LL + static_cast<int64_t>(seconds) * 10000000LL; }

int64_t MonotonicUnits() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 10000000LL + ts.tv_nsec / 100;
}

// Per-processor interrupt counts from /proc/interrupts.
std::vector<uint64_t> InterruptsPerCpu(size_t cpus) {
    std::vector<uint64_t> counts(cpus, 0);
    std::istringstream in(ReadText("/proc/interrupts"));
    std::string line;
    std::getline(in, line);  // the CPU header
    while (std::getline(in, line)) {
        auto w = Words(line);
        for (size_t i = 0; i < cpus && i + 1 < w.size(); ++i) counts[i] += Number(w[i + 1]);
    }
    return counts;
}

struct ProcStat {
    std::string name;
    uint64_t pid = 0, ppid = 0, minflt = 0, majflt = 0, utime = 0, stime = 0, priority = 0, threads = 1,
             start = 0, vsize = 0, rss = 0;
};

ProcStat ReadProcStat(const std::string &path) {
    ProcStat p;
    std::string text = ReadText(path);
    size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return p;
    p.pid = Number(text.substr(0, open));
    p.name = text.substr(open + 1, close - open - 1);
    auto w = Words(text.substr(close + 1));
    // Fields from the state on: state(3) ppid(4) ... minflt(10) majflt(12)
    // utime(14) stime(15) priority(18) num_threads(20) starttime(22)
    // vsize(23) rss(24); w[0] is field 3.
    auto field = [&](size_t n) { return n - 3 < w.size() ? Number(w[n - 3]) : 0; };
    p.ppid = field(4);
    p.minflt = field(10);
    p.majflt = field(12);
    p.utime = field(14);
    p.stime = field(15);
    p.priority = field(18);
    p.threads = std::max<uint64_t>(1, field(20));
    p.start = field(22);
    p.vsize = field(23);
    p.rss = field(24);
    return p;
}

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

void PutUnicodeString(std::vector<uint8_t> &bytes, size_t offset, uintptr_t base, size_t textOffset,
                      const std::u16string &text) {
    Put<USHORT>(bytes, offset, static_cast<USHORT>(text.size() * 2));
    Put<USHORT>(bytes, offset + 2, static_cast<USHORT>(text.size() * 2 + 2));
    Put<uint64_t>(bytes, offset + 8, text.empty() ? 0 : base + textOffset);
    if (textOffset + text.size() * 2 <= bytes.size()) std::memcpy(bytes.data() + textOffset, text.data(), text.size() * 2);
}

// --- the classes -----------------------------------------------------------

Reply Performance() {
    Reply r;
    r.bytes.assign(312, 0);
    HostStat stat = ReadHostStat();
    auto mem = KeyValues("/proc/meminfo");
    auto vm = KeyValues("/proc/vmstat");
    auto io = KeyValues("/proc/self/io");
    Put<int64_t>(r.bytes, 0, Ticks(stat.total.idle));
    Put<uint64_t>(r.bytes, 8, io["rchar"]);
    Put<uint64_t>(r.bytes, 16, io["wchar"]);
    Put<uint64_t>(r.bytes, 24, static_cast<uint64_t>(MonotonicUnits()));
    Put<ULONG>(r.bytes, 32, static_cast<ULONG>(io["syscr"]));
    Put<ULONG>(r.bytes, 36, static_cast<ULONG>(io["syscw"]));
    Put<ULONG>(r.bytes, 40, static_cast<ULONG>(stat.interrupts));
    Put<ULONG>(r.bytes, 44, static_cast<ULONG>(mem["MemAvailable"] / 4));
    Put<ULONG>(r.bytes, 48, static_cast<ULONG>(mem["Committed_AS"] / 4));
    Put<ULONG>(r.bytes, 52, static_cast<ULONG>(mem["CommitLimit"] / 4));
    Put<ULONG>(r.bytes, 56, static_cast<ULONG>(mem["Committed_AS"] / 4));
    Put<ULONG>(r.bytes, 60, static_cast<ULONG>(vm["pgfault"]));
    size_t offset = 64;
    for (const auto &[key, value] : vm) {
        if (offset + 4 > r.bytes.size()) break;
        Put<ULONG>(r.bytes, offset, static_cast<ULONG>(value));
        offset += 4;
    }
    return r;
}

Reply TimeOfDay() {
    Reply r;
    r.fit = Reply::Fit::UpTo;
    r.bytes.assign(48, 0);
    HostStat stat = ReadHostStat();
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    Put<int64_t>(r.bytes, 0, UnixToSystemTime(stat.bootTime));               // BootTime
    Put<int64_t>(r.bytes, 8, SystemTimeNow());                               // CurrentTime
    Put<int64_t>(r.bytes, 16, -static_cast<int64_t>(local.tm_gmtoff) * 10000000LL);  // TimeZoneBias
    Put<ULONG>(r.bytes, 24, 0);                                              // TimeZoneId
    Put<int64_t>(r.bytes, 32, 0);                                            // BootTimeBias
    Put<int64_t>(r.bytes, 40, 0);                                            // SleepTimeBias
    return r;
}

Reply Processes(uintptr_t base) {
    HostStat stat = ReadHostStat();
    struct Entry {
        std::u16string name;
        uint64_t pid, parent;
        ProcStat host;
        int64_t kernel, user;
        size_t threads;
    };
    ProcStat self = ReadProcStat("/proc/self/stat");
    ProcStat first = ReadProcStat("/proc/1/stat");
    size_t selfThreads = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++selfThreads;
    selfThreads = std::clamp<size_t>(selfThreads, 1, 16);
    // The processes of a machine at boot time.
    std::vector<Entry> entries = {
        {u"", 0, 0, ProcStat{}, Ticks(stat.total.idle), 0, stat.cpus.size()},
        {u"System", 4, 0, ProcStat{}, Ticks(stat.total.system + stat.total.irq + stat.total.softirq), 0, 1},
        {u"smss.exe", 4 * (first.pid + 100), 4, first, Ticks(first.stime), Ticks(first.utime), 1},
        {u"pelmar.exe", 4 * (self.pid + 100), 4 * (first.pid + 100), self, Ticks(self.stime), Ticks(self.utime),
         selfThreads},
    };
    size_t total = 0;
    std::vector<size_t> sizes;
    for (const auto &e : entries) {
        sizes.push_back(Align8(256 + 80 * e.threads + (e.name.size() + 1) * 2));
        total += sizes.back();
    }
    Reply r;
    r.bytes.assign(total, 0);
    size_t at = 0;
    int64_t now = SystemTimeNow();
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry &e = entries[i];
        bool last = i + 1 == entries.size();
        Put<ULONG>(r.bytes, at + 0, last ? 0 : static_cast<ULONG>(sizes[i]));
        Put<ULONG>(r.bytes, at + 4, static_cast<ULONG>(e.threads));
        Put<int64_t>(r.bytes, at + 24, MonotonicUnits());  // CycleTime
        Put<int64_t>(r.bytes, at + 32, e.host.start ? UnixToSystemTime(stat.bootTime) + Ticks(e.host.start) : 0);
        Put<int64_t>(r.bytes, at + 40, e.user);
        Put<int64_t>(r.bytes, at + 48, e.kernel);
        size_t nameOffset = at + 256 + 80 * e.threads;
        PutUnicodeString(r.bytes, at + 56, base, nameOffset, e.name);
        Put<LONG>(r.bytes, at + 72, static_cast<LONG>(8 + e.host.priority % 8));
        Put<uint64_t>(r.bytes, at + 80, e.pid);
        Put<uint64_t>(r.bytes, at + 88, e.parent);
        Put<ULONG>(r.bytes, at + 96, static_cast<ULONG>(e.threads * 4 + i));
        Put<uint64_t>(r.bytes, at + 112, e.host.vsize);
        Put<uint64_t>(r.bytes, at + 120, e.host.vsize);
        Put<ULONG>(r.bytes, at + 128, static_cast<ULONG>(e.host.minflt + e.host.majflt));
        Put<uint64_t>(r.bytes, at + 136, e.host.rss * 4096);
        Put<uint64_t>(r.bytes, at + 144, e.host.rss * 4096);
        for (size_t t = 0; t < e.threads; ++t) {
            size_t th = at + 256 + 80 * t;
            Put<int64_t>(r.bytes, th + 0, e.kernel / static_cast<int64_t>(e.threads));
            Put<int64_t>(r.bytes, th + 8, e.user / static_cast<int64_t>(e.threads));
            Put<int64_t>(r.bytes, th + 16, now - static_cast<int64_t>(t) * 1000);
            Put<uint64_t>(r.bytes, th + 40, reinterpret_cast<uintptr_t>(&Processes) + t * 16);  // StartAddress
            Put<uint64_t>(r.bytes, th + 48, e.pid);
            Put<uint64_t>(r.bytes, th + 56, e.pid + 4 * (t + 1));
            Put<LONG>(r.bytes, th + 64, 8);
            Put<ULONG>(r.bytes, th + 68, static_cast<ULONG>(stat.contextSwitches + t));
            Put<ULONG>(r.bytes, th + 72, 5);  // waiting
        }
        at += sizes[i];
    }
    return r;
}

Reply CallCounts() {
    // The machine's own call counts: they grow with every call.
    static const char *const kCalls[] = {"NtCreateFile", "NtReadFile", "NtWriteFile", "NtQueryInformationFile",
                                         "NtSetInformationFile", "NtDeviceIoControlFile", "NtFsControlFile",
                                         "NtWaitForSingleObject", "NtClose", "NtQuerySystemInformation",
                                         "NtCreateEvent", "NtDisplayString", "DbgPrint", "RtlAllocateHeap"};
    constexpr size_t kCount = sizeof kCalls / sizeof kCalls[0];
    Reply r;
    r.bytes.assign(12 + 4 * kCount, 0);
    Put<ULONG>(r.bytes, 0, static_cast<ULONG>(r.bytes.size()));
    Put<ULONG>(r.bytes, 4, 1);
    Put<ULONG>(r.bytes, 8, kCount);
    for (size_t i = 0; i < kCount; ++i)
        Put<ULONG>(r.bytes, 12 + 4 * i, static_cast<ULONG>(Machine::Get().CallCount(kCalls[i])));
    return r;
}

Reply ProcessorPerformance() {
    HostStat stat = ReadHostStat();
    auto interrupts = InterruptsPerCpu(stat.cpus.size());
    Reply r;
    r.fit = Reply::Fit::Records;
    r.record = 48;
    r.minimum = 48;
    r.bytes.assign(48 * stat.cpus.size(), 0);
    for (size_t i = 0; i < stat.cpus.size(); ++i) {
        const CpuTimes &t = stat.cpus[i];
        size_t at = 48 * i;
        Put<int64_t>(r.bytes, at + 0, Ticks(t.idle));
        Put<int64_t>(r.bytes, at + 8, Ticks(t.system + t.idle + t.irq + t.softirq));  // kernel time includes idle
        Put<int64_t>(r.bytes, at + 16, Ticks(t.user + t.nice));
        Put<int64_t>(r.bytes, at + 24, Ticks(t.softirq));
        Put<int64_t>(r.bytes, at + 32, Ticks(t.irq));
        Put<ULONG>(r.bytes, at + 40, static_cast<ULONG>(interrupts[i]));
    }
    return r;
}

Reply Modules(uintptr_t base) {
    (void)base;
    struct Module {
        std::string path;
        uint64_t start, end;
    };
    std::vector<Module> modules;
    std::istringstream in(ReadText("/proc/self/maps"));
    for (std::string line; std::getline(in, line);) {
        auto w = Words(line);
        if (w.size() < 6 || w[5].empty() || w[5][0] != '/') continue;
        size_t dash = w[0].find('-');
        uint64_t start = std::stoull(w[0].substr(0, dash), nullptr, 16);
        uint64_t end = std::stoull(w[0].substr(dash + 1), nullptr, 16);
        auto it = std::find_if(modules.begin(), modules.end(), [&](const Module &m) { return m.path == w[5]; });
        if (it != modules.end()) it->end = std::max(it->end, end);
        else if (modules.size() < 24) modules.push_back({w[5], start, end});
    }
    Reply r;
    r.bytes.assign(8 + 296 * modules.size(), 0);
    Put<ULONG>(r.bytes, 0, static_cast<ULONG>(modules.size()));
    for (size_t i = 0; i < modules.size(); ++i) {
        size_t at = 8 + 296 * i;
        std::string file = std::filesystem::path(modules[i].path).filename().string();
        std::string full = "\\SystemRoot\\System32\\" + file.substr(0, 200);
        Put<uint64_t>(r.bytes, at + 8, modules[i].start);   // MappedBase
        Put<uint64_t>(r.bytes, at + 16, modules[i].start);  // ImageBase
        Put<ULONG>(r.bytes, at + 24, static_cast<ULONG>(modules[i].end - modules[i].start));
        Put<ULONG>(r.bytes, at + 28, 0x09004000);
        Put<USHORT>(r.bytes, at + 32, static_cast<USHORT>(i));
        Put<USHORT>(r.bytes, at + 34, static_cast<USHORT>(i));
        Put<USHORT>(r.bytes, at + 36, 1);
        Put<USHORT>(r.bytes, at + 38, static_cast<USHORT>(full.size() - file.substr(0, 200).size()));
        std::memcpy(r.bytes.data() + at + 40, full.data(), std::min<size_t>(full.size(), 255));
    }
    return r;
}

Reply Handles() {
    struct Entry {
        uint64_t value, object;
        uint8_t type;
        ULONG access;
    };
    std::vector<Entry> entries;
    Machine &machine = Machine::Get();
    for (const auto &description : machine.OpenHandleDescriptions()) {
        uint64_t value = std::stoull(description, nullptr, 16);
        auto object = machine.Lookup(reinterpret_cast<HANDLE>(value));
        uint8_t type = description.find("File") != std::string::npos ? 28 : 9;
        entries.push_back({value, reinterpret_cast<uintptr_t>(object.get()), type, 0x0012019F});
    }
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator() && entries.size() < 96; it.increment(error)) {
        uint64_t fd = Number(it->path().filename().string());
        std::error_code linkError;
        std::string target = std::filesystem::read_symlink(it->path(), linkError).string();
        entries.push_back({0x1000 + fd * 4, std::hash<std::string>{}(target), 28, 0x00100001});
    }
    Reply r;
    r.bytes.assign(8 + 24 * entries.size(), 0);
    Put<ULONG>(r.bytes, 0, static_cast<ULONG>(entries.size()));
    auto pid = static_cast<USHORT>(getpid() * 4);
    for (size_t i = 0; i < entries.size(); ++i) {
        size_t at = 8 + 24 * i;
        Put<USHORT>(r.bytes, at + 0, pid);
        Put<UCHAR>(r.bytes, at + 4, entries[i].type);
        Put<USHORT>(r.bytes, at + 6, static_cast<USHORT>(entries[i].value));
        Put<uint64_t>(r.bytes, at + 8, entries[i].object);
        Put<ULONG>(r.bytes, at + 16, entries[i].access);
    }
    return r;
}

Reply FileCache() {
    auto mem = KeyValues("/proc/meminfo");
    auto vm = KeyValues("/proc/vmstat");
    Reply r;
    r.bytes.assign(64, 0);
    Put<uint64_t>(r.bytes, 0, mem["Cached"] * 1024);
    Put<uint64_t>(r.bytes, 8, (mem["Cached"] + mem["Buffers"]) * 1024);
    Put<ULONG>(r.bytes, 16, static_cast<ULONG>(vm["pgfault"]));
    Put<uint64_t>(r.bytes, 24, mem["Active(file)"] * 1024);
    Put<uint64_t>(r.bytes, 32, mem["Inactive(file)"] * 1024);
    Put<uint64_t>(r.bytes, 40, mem["Dirty"] / 4);
    Put<uint64_t>(r.bytes, 48, mem["Writeback"] / 4 + mem["MemFree"] / 4);
    Put<ULONG>(r.bytes, 56, static_cast<ULONG>(vm["pgsteal_kswapd"] + vm["pgscan_kswapd"]));
    Put<ULONG>(r.bytes, 60, 0);
    return r;
}

Reply Interrupts() {
    HostStat stat = ReadHostStat();
    auto interrupts = InterruptsPerCpu(stat.cpus.size());
    Reply r;
    r.bytes.assign(24 * stat.cpus.size(), 0);
    uint64_t perCpuSwitches = stat.contextSwitches / stat.cpus.size();
    for (size_t i = 0; i < stat.cpus.size(); ++i) {
        size_t at = 24 * i;
        Put<ULONG>(r.bytes, at + 0, static_cast<ULONG>(perCpuSwitches + interrupts[i]));  // ContextSwitches
        Put<ULONG>(r.bytes, at + 4, static_cast<ULONG>(Ticks(stat.cpus[i].softirq)));       // DpcCount
        Put<ULONG>(r.bytes, at + 8, static_cast<ULONG>(MonotonicUnits() % 1000));          // DpcRate
        Put<ULONG>(r.bytes, at + 12, 156250);                                               // TimeIncrement
        Put<ULONG>(r.bytes, at + 16, static_cast<ULONG>(interrupts[i]));                   // DpcBypassCount
        Put<ULONG>(r.bytes, at + 20, static_cast<ULONG>(stat.cpus[i].irq));                 // ApcBypassCount
    }
    return r;
}

Reply Exceptions() {
    ProcStat self = ReadProcStat("/proc/self/stat");
    auto vm = KeyValues("/proc/vmstat");
    Reply r;
    r.bytes.assign(16, 0);
    Put<ULONG>(r.bytes, 0, static_cast<ULONG>(vm["pgmajfault"]));
    Put<ULONG>(r.bytes, 4, static_cast<ULONG>(self.minflt));
    Put<ULONG>(r.bytes, 8, static_cast<ULONG>(self.majflt));
    Put<ULONG>(r.bytes, 12, static_cast<ULONG>(MonotonicUnits()));
    return r;
}

Reply ContextSwitches() {
    HostStat stat = ReadHostStat();
    auto status = KeyValues("/proc/self/status");
    Reply r;
    r.bytes.assign(48, 0);
    Put<ULONG>(r.bytes, 0, static_cast<ULONG>(stat.contextSwitches));
    Put<ULONG>(r.bytes, 4, static_cast<ULONG>(stat.processes));
    Put<ULONG>(r.bytes, 8, static_cast<ULONG>(stat.running));
    Put<ULONG>(r.bytes, 12, static_cast<ULONG>(stat.blocked));
    Put<ULONG>(r.bytes, 16, static_cast<ULONG>(status["voluntary_ctxt_switches"]));
    Put<ULONG>(r.bytes, 20, static_cast<ULONG>(status["nonvoluntary_ctxt_switches"]));
    Put<ULONG>(r.bytes, 24, static_cast<ULONG>(stat.interrupts));
    Put<ULONG>(r.bytes, 28, static_cast<ULONG>(MonotonicUnits()));
    for (size_t i = 0; i < 4 && i < stat.softirqs.size(); ++i)
        Put<ULONG>(r.bytes, 32 + 4 * i, static_cast<ULONG>(stat.softirqs[i]));
    return r;
}

Reply LegacyDrivers(uintptr_t base) {
    // The veto list names this boot: it differs from boot to boot.
    std::string boot = ReadText("/proc/sys/kernel/random/boot_id");
    while (!boot.empty() && (boot.back() == '\n' || boot.back() == ' ')) boot.pop_back();
    std::u16string text = Utf8ToUtf16(boot);
    Reply r;
    r.bytes.assign(24 + (text.size() + 1) * 2, 0);
    Put<ULONG>(r.bytes, 0, 0);
    PutUnicodeString(r.bytes, 8, base, 24, text);
    return r;
}

Reply Lookaside() {
    auto mem = KeyValues("/proc/meminfo");
    ProcStat self = ReadProcStat("/proc/self/stat");
    Reply r;
    r.fit = Reply::Fit::Records;
    r.record = 32;
    r.minimum = 0;
    r.bytes.assign(32 * mem.size(), 0);
    size_t i = 0;
    for (const auto &[key, value] : mem) {
        size_t at = 32 * i;
        Put<USHORT>(r.bytes, at + 0, static_cast<USHORT>(value & 0xFF));
        Put<USHORT>(r.bytes, at + 2, 256);
        Put<ULONG>(r.bytes, at + 4, static_cast<ULONG>(value));
        Put<ULONG>(r.bytes, at + 8, static_cast<ULONG>(self.minflt + i));
        Put<ULONG>(r.bytes, at + 12, static_cast<ULONG>(value >> 8));
        Put<ULONG>(r.bytes, at + 16, static_cast<ULONG>(self.utime + self.stime));
        Put<ULONG>(r.bytes, at + 20, static_cast<ULONG>(i % 2));
        ULONG tag = 0;
        std::memcpy(&tag, key.data(), std::min<size_t>(4, key.size()));
        Put<ULONG>(r.bytes, at + 24, tag);
        Put<ULONG>(r.bytes, at + 28, static_cast<ULONG>(32 << (i % 8)));
        ++i;
    }
    return r;
}

Reply Verifier() { return Reply{}; }

Reply NumaMap() {
    cpu_set_t set;
    CPU_ZERO(&set);
    uint64_t mask = 0;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        for (int cpu = 0; cpu < 64; ++cpu)
            if (CPU_ISSET(cpu, &set)) mask |= uint64_t{1} << cpu;
    Reply r;
    r.fit = Reply::Fit::Records;
    r.header = 8;
    r.record = 8;
    r.minimum = 8;
    r.bytes.assign(16, 0);
    Put<ULONG>(r.bytes, 0, 0);  // highest node number: one node
    Put<uint64_t>(r.bytes, 8, mask);
    return r;
}

std::optional<Reply> Build(SYSTEM_INFORMATION_CLASS infoClass, uintptr_t base) {
    switch (infoClass) {
    case SystemPerformanceInformation: return Performance();
    case SystemTimeOfDayInformation: return TimeOfDay();
    case SystemProcessInformation: return Processes(base);
    case SystemCallCountInformation: return CallCounts();
    case SystemProcessorPerformanceInformation: return ProcessorPerformance();
    case SystemModuleInformation: return Modules(base);
    case SystemHandleInformation: return Handles();
    case SystemFileCacheInformation: return FileCache();
    case SystemInterruptInformation: return Interrupts();
    case SystemExceptionInformation: return Exceptions();
    case SystemContextSwitchInformation: return ContextSwitches();
    case SystemLegacyDriverInformation: return LegacyDrivers(base);
    case SystemLookasideInformation: return Lookaside();
    case SystemVerifierInformation: return Verifier();
    case SystemNumaProcessorMap: return NumaMap();
    default: return std::nullopt;
    }
}

}  // namespace
}  // namespace ntsim

using ntsim::Call;

extern "C" NTSTATUS NTAPI NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS informationClass, PVOID information,
                                                   ULONG length, PULONG returnLength) {
    Call call("NtQuerySystemInformation");
    call.ArgDec("class", informationClass).ArgDec("length", length);
    if (call.faulted()) return call.Return(call.faultStatus());
    // The query is always answered at once.
    if (call.pended()) call.Note("never pends: answered at once");
    if (!information && length) return call.Return(STATUS_ACCESS_VIOLATION);
    auto reply = ntsim::Build(informationClass, reinterpret_cast<uintptr_t>(information));
    if (!reply) return call.Return(STATUS_INVALID_INFO_CLASS);

    using Fit = ntsim::Reply::Fit;
    size_t full = reply->bytes.size();
    size_t copy = 0;
    bool fits = true;
    switch (reply->fit) {
    case Fit::Whole:
        fits = length >= full;
        copy = full;
        break;
    case Fit::UpTo:
        fits = length <= full;
        copy = length;
        break;
    case Fit::Records:
        fits = length >= reply->minimum;
        if (fits) {
            size_t records = (full - reply->header) / reply->record;
            size_t room = length >= reply->header ? (length - reply->header) / reply->record : 0;
            copy = length >= reply->header ? reply->header + std::min(records, room) * reply->record : 0;
        }
        break;
    }
    if (!fits) {
        if (returnLength) *returnLength = static_cast<ULONG>(full);
        call.ArgDec("needed", static_cast<int64_t>(full));
        return call.Return(STATUS_INFO_LENGTH_MISMATCH);
    }
    if (copy) std::memcpy(information, reply->bytes.data(), copy);
    ULONG reported = static_cast<ULONG>(copy);
    const auto &zero = ntsim::Machine::Get().options().sysinfoZeroCount;
    if (std::find(zero.begin(), zero.end(), informationClass) != zero.end()) {
        reported = 0;
        call.Note("count reported as 0");
    }
    if (returnLength) *returnLength = reported;
    call.ArgDec("returned", reported);
    return call.Return(STATUS_SUCCESS);
}
