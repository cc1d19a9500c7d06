// Processor exceptions in the native process: ntdll's vectored handler list,
// and the time-stamp instructions made to fault (--time-stamp-faults), as
// they do where the system sets CR4.TSD.
//
// Linux's own switch for that (PR_SET_TSC) is not honoured everywhere: under
// some hypervisors the instruction goes on reading the counter. So the
// machine makes the instructions fault itself, the same way on every
// x86-64 host: the build lists every RDTSC and RDTSCP of the executable
// (cmake/time-stamp-sites.cmake, the file EXECUTABLE.time-stamp-sites), and
// while the native thread runs each listed instruction is replaced by UD2,
// padded to its length, which every processor refuses with SIGILL. A SIGILL
// at a listed instruction on the native thread becomes
// STATUS_PRIVILEGED_INSTRUCTION delivered to the handlers, with the
// registers as CONTEXT; a handler that continues execution gets its CONTEXT
// back into the processor. Anywhere else the read is done for the code that
// made it. The host's libraries are not the executable: their reads (the C
// library's clock) run as they are.
#include <elf.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <memory>
#include <sstream>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"

namespace ntsim {
namespace {

struct VectoredHandler {
    PVECTORED_EXCEPTION_HANDLER handler;
};

struct ExceptionState {
    std::list<std::unique_ptr<VectoredHandler>> handlers;  // in the order they are called
};

ExceptionState &State() { return Machine::Get().Extension<ExceptionState>("exceptions"); }

// One listed instruction: where it is in this process, and its bytes.
struct TimeStampSite {
    uint8_t *at;
    size_t length;
    uint8_t original[3];
};

// The executable's sites: read once per Linux process, as they belong to
// the executable and not to a machine. Sorted by address, so that the
// signal handler finds a site without allocating.
struct TimeStampFaults {
    bool loaded = false;
    std::string error;  // why the option cannot be honoured
    std::vector<TimeStampSite> sites;
    uint64_t (*read)(uint32_t *aux) = nullptr;  // RDTSCP outside the executable
    struct sigaction previous {};
    bool patched = false;
};

TimeStampFaults &Faults() {
    static TimeStampFaults faults;
    return faults;
}

thread_local bool onNativeThread = false;

// RDTSC (0F 31) or RDTSCP (0F 01 F9): their length, else 0.
size_t TimeStampInstructionLength(const uint8_t *at, size_t available) {
    if (available >= 2 && at[0] == 0x0F && at[1] == 0x31) return 2;
    if (available >= 3 && at[0] == 0x0F && at[1] == 0x01 && at[2] == 0xF9) return 3;
    return 0;
}

// The executable's load bias and its executable segments.
struct Segment {
    uintptr_t start, end;
};
struct ExecutableLayout {
    uintptr_t bias = 0;
    std::vector<Segment> code;
};

ExecutableLayout LayoutOfExecutable() {
    ExecutableLayout layout;
    // The first object dl_iterate_phdr reports is the executable itself.
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) -> int {
            auto *out = static_cast<ExecutableLayout *>(data);
            out->bias = info->dlpi_addr;
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr) &header = info->dlpi_phdr[i];
                if (header.p_type == PT_LOAD && (header.p_flags & PF_X))
                    out->code.push_back({info->dlpi_addr + header.p_vaddr,
                                         info->dlpi_addr + header.p_vaddr + header.p_memsz});
            }
            return 1;
        },
        &layout);
    return layout;
}

std::string ExecutablePath() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

std::string HexOf(const uint8_t *bytes, size_t length) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

// Reads and checks the list: every line names a time-stamp instruction that
// lies in the executable's code and holds exactly the listed bytes. A list
// of another build of the executable fails here instead of patching
// whatever now lies at its addresses.
std::string LoadSites(std::vector<TimeStampSite> &sites) {
    const std::string list = ExecutablePath() + ".time-stamp-sites";
    std::ifstream in(list);
    if (!in) return "no list of the executable's time-stamp instructions at " + list + " (the build writes it)";
    const ExecutableLayout layout = LayoutOfExecutable();
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string address, hex;
        fields >> address >> hex;
        const std::string where = list + " line " + std::to_string(number);
        uint64_t offset = 0;
        uint8_t bytes[3] = {};
        const size_t length = hex.size() / 2;
        bool wellFormed = !address.empty() && address.size() <= 16 && hex.size() % 2 == 0 && length >= 2 &&
                          length <= 3 && address.find_first_not_of("0123456789abcdef") == std::string::npos &&
                          hex.find_first_not_of("0123456789abcdef") == std::string::npos;
        if (wellFormed) {
            offset = std::stoull(address, nullptr, 16);
            for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
            wellFormed = TimeStampInstructionLength(bytes, length) == length;
        }
        if (!wellFormed) return where + " names no time-stamp instruction: \"" + line + "\"";
        const uintptr_t at = layout.bias + offset;
        const bool inCode = std::any_of(layout.code.begin(), layout.code.end(), [&](const Segment &segment) {
            return at >= segment.start && at + length <= segment.end;
        });
        if (!inCode) return where + ": address " + address + " lies outside the executable's code";
        auto *site = reinterpret_cast<uint8_t *>(at);
        if (std::memcmp(site, bytes, length) != 0)
            return where + ": the executable holds " + HexOf(site, length) + " at " + address + ", not " + hex +
                   " (a list of another build)";
        TimeStampSite entry{site, length, {}};
        std::memcpy(entry.original, bytes, length);
        sites.push_back(entry);
    }
    std::sort(sites.begin(), sites.end(), [](const TimeStampSite &a, const TimeStampSite &b) { return a.at < b.at; });
    return {};
}

// RDTSCP where no list reaches: a few bytes of code of the machine's own,
// outside the executable. rdtscp; mov [rdi], ecx; shl rdx, 32; or rax, rdx;
// ret.
std::string MakeReader(uint64_t (*&read)(uint32_t *)) {
    static const uint8_t code[] = {0x0F, 0x01, 0xF9, 0x89, 0x0F, 0x48, 0xC1, 0xE2, 0x20, 0x48, 0x09, 0xD0, 0xC3};
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *memory = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return "no memory for the machine's own time-stamp read";
    std::memcpy(memory, code, sizeof code);
    if (mprotect(memory, page, PROT_READ | PROT_EXEC) != 0) {
        munmap(memory, page);
        return "the host does not let the machine run code of its own (mprotect PROT_EXEC refused)";
    }
    read = reinterpret_cast<uint64_t (*)(uint32_t *)>(memory);
    return {};
}

// Writes bytes over a site of the executable's code, whose pages are made
// writable for the moment.
bool WriteCode(uint8_t *at, const uint8_t *bytes, size_t length) {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = reinterpret_cast<uintptr_t>(at) & ~(page - 1);
    const size_t span = reinterpret_cast<uintptr_t>(at) + length - first;
    void *start = reinterpret_cast<void *>(first);
    if (mprotect(start, span, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) return false;
    std::memcpy(at, bytes, length);
    return mprotect(start, span, PROT_READ | PROT_EXEC) == 0;
}

const TimeStampSite *SiteAt(const uint8_t *at) {
    const std::vector<TimeStampSite> &sites = Faults().sites;
    auto it = std::lower_bound(sites.begin(), sites.end(), at,
                               [](const TimeStampSite &site, const uint8_t *address) { return site.at < address; });
    return it != sites.end() && it->at == at ? &*it : nullptr;
}

void EmulateTimeStampRead(greg_t *registers, const TimeStampSite &site) {
    uint32_t aux = 0;
    const uint64_t value = Faults().read(&aux);
    registers[REG_RAX] = static_cast<greg_t>(value & 0xFFFFFFFFu);
    registers[REG_RDX] = static_cast<greg_t>(value >> 32);
    if (site.length == 3) registers[REG_RCX] = aux;
    registers[REG_RIP] += static_cast<greg_t>(site.length);
}

constexpr int kContextRegisters[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                       REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

void OnIllegalInstruction(int signal, siginfo_t *info, void *context) {
    auto *uc = static_cast<ucontext_t *>(context);
    greg_t *registers = uc->uc_mcontext.gregs;
    const auto *at = reinterpret_cast<const uint8_t *>(registers[REG_RIP]);
    const TimeStampSite *site = SiteAt(at);
    if (!site) {
        // Not ours: whoever handled it before, or the end.
        const struct sigaction &previous = Faults().previous;
        if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
            previous.sa_sigaction(signal, info, context);
        } else {
            ::signal(SIGILL, SIG_DFL);
        }
        return;
    }
    if (!onNativeThread) return EmulateTimeStampRead(registers, *site);

    EXCEPTION_RECORD record{};
    record.ExceptionCode = STATUS_PRIVILEGED_INSTRUCTION;
    record.ExceptionAddress = const_cast<uint8_t *>(at);
    CONTEXT cpu{};
    ULONGLONG *integer = &cpu.Rax;
    for (int i = 0; i < 16; ++i) integer[i] = static_cast<ULONGLONG>(registers[kContextRegisters[i]]);
    cpu.Rip = static_cast<ULONGLONG>(registers[REG_RIP]);
    cpu.EFlags = static_cast<ULONG>(registers[REG_EFL]);
    EXCEPTION_POINTERS pointers{&record, &cpu};
    Machine &machine = Machine::Get();
    for (const auto &entry : State().handlers) {
        if (entry->handler(&pointers) != EXCEPTION_CONTINUE_EXECUTION) continue;
        machine.Trace("exception " + Hex32(static_cast<uint32_t>(record.ExceptionCode)) + " at " +
                      HandleText(record.ExceptionAddress) + ": continued by a vectored handler at " +
                      HandleText(reinterpret_cast<void *>(cpu.Rip)));
        for (int i = 0; i < 16; ++i) registers[kContextRegisters[i]] = static_cast<greg_t>(integer[i]);
        registers[REG_RIP] = static_cast<greg_t>(cpu.Rip);
        registers[REG_EFL] = static_cast<greg_t>(cpu.EFlags);
        return;
    }
    // Unhandled: the process ends with the exception's code.
    machine.Trace("exception " + Hex32(static_cast<uint32_t>(record.ExceptionCode)) + " at " +
                  HandleText(record.ExceptionAddress) + ": unhandled, the process ends");
    fprintf(stderr, "ntsim: unhandled exception %s in the native process\n",
            Hex32(static_cast<uint32_t>(record.ExceptionCode)).c_str());
    sigset_t illegal;
    sigemptyset(&illegal);
    sigaddset(&illegal, SIGILL);
    pthread_sigmask(SIG_UNBLOCK, &illegal, nullptr);
    machine.Terminate(record.ExceptionCode);
}

// UD2 (0F 0B), padded with NOP to the instruction's length: the processor
// faults on its first byte, where the instruction began.
void PatchSites(bool faulting) {
    TimeStampFaults &faults = Faults();
    for (const TimeStampSite &site : faults.sites) {
        const uint8_t ud2[3] = {0x0F, 0x0B, 0x90};
        if (!WriteCode(site.at, faulting ? ud2 : site.original, site.length)) {
            fprintf(stderr, "ntsim: cannot %s the time-stamp instruction at %p\n", faulting ? "patch" : "restore",
                    static_cast<void *>(site.at));
            abort();
        }
    }
    faults.patched = faulting;
}

}  // namespace

std::optional<std::string> PrepareTimeStampFaults() {
    TimeStampFaults &faults = Faults();
    if (!faults.loaded) {
        faults.loaded = true;
        faults.error = LoadSites(faults.sites);
        if (faults.error.empty()) faults.error = MakeReader(faults.read);
        if (!faults.error.empty()) faults.sites.clear();
    }
    if (!faults.error.empty()) return faults.error;
    return std::nullopt;
}

void StartNativeThreadProcessor() {
    onNativeThread = true;
    if (!Machine::Get().options().timeStampFaults || PrepareTimeStampFaults()) return;
    TimeStampFaults &faults = Faults();
    struct sigaction action {};
    action.sa_sigaction = OnIllegalInstruction;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGILL, &action, &faults.previous);
    PatchSites(true);
}

void EndNativeThreadProcessor() {
    onNativeThread = false;
    TimeStampFaults &faults = Faults();
    if (!faults.patched) return;
    PatchSites(false);
    sigaction(SIGILL, &faults.previous, nullptr);
}

}  // namespace ntsim

using ntsim::Call;

extern "C" {

PVOID NTAPI RtlAddVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler) {
    Call call("RtlAddVectoredExceptionHandler");
    call.ArgHex("first", first).ArgHex("handler", reinterpret_cast<uintptr_t>(handler));
    if (call.faulted() || !handler) {
        call.ReturnText("null");
        return nullptr;
    }
    auto &handlers = ntsim::State().handlers;
    auto entry = std::make_unique<ntsim::VectoredHandler>(ntsim::VectoredHandler{handler});
    PVOID handle = entry.get();
    if (first) {
        handlers.push_front(std::move(entry));
    } else {
        handlers.push_back(std::move(entry));
    }
    call.ReturnText(ntsim::HandleText(handle));
    return handle;
}

ULONG NTAPI RtlRemoveVectoredExceptionHandler(PVOID handle) {
    Call call("RtlRemoveVectoredExceptionHandler");
    call.Arg("handle", handle);
    auto &handlers = ntsim::State().handlers;
    if (!call.faulted()) {
        for (auto it = handlers.begin(); it != handlers.end(); ++it)
            if (it->get() == handle) {
                handlers.erase(it);
                call.ReturnText("1");
                return 1;
            }
    }
    call.ReturnText("0");
    return 0;
}

}  // extern "C"
