// Processor exceptions in the native process: ntdll's vectored handler list,
// and the time-stamp instructions made to fault (--time-stamp-faults), as
// they do where the system sets CR4.TSD. On Linux that is the thread's
// PR_SET_TSC state: the instruction then raises SIGSEGV, which the machine
// turns into STATUS_PRIVILEGED_INSTRUCTION delivered to the handlers, with
// the registers as CONTEXT; a handler that continues execution gets its
// CONTEXT back into the processor.
#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <ucontext.h>

#include <cstdio>
#include <list>
#include <memory>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"

namespace ntsim {
namespace {

struct VectoredHandler {
    PVECTORED_EXCEPTION_HANDLER handler;
};

struct ExceptionState {
    std::list<std::unique_ptr<VectoredHandler>> handlers;  // in the order they are called
    struct sigaction previous {};
    bool installed = false;
};

ExceptionState &State() { return Machine::Get().Extension<ExceptionState>("exceptions"); }

// RDTSC (0F 31) or RDTSCP (0F 01 F9): their length, else 0.
size_t TimeStampInstructionLength(const uint8_t *at) {
    if (at[0] == 0x0F && at[1] == 0x31) return 2;
    if (at[0] == 0x0F && at[1] == 0x01 && at[2] == 0xF9) return 3;
    return 0;
}

// Code of the executable (product and stand-in) is the native process's;
// the host's libraries (the C library's clock, in the vDSO) are the
// machine's, and their reads are done for them.
bool InNativeImage(const void *at) {
    Dl_info here{}, there{};
    return dladdr(reinterpret_cast<const void *>(&TimeStampInstructionLength), &here) &&
           dladdr(at, &there) && here.dli_fbase == there.dli_fbase;
}

void EmulateTimeStampRead(greg_t *registers, size_t length) {
    prctl(PR_SET_TSC, PR_TSC_ENABLE);
    uint32_t low, high, aux;
    __asm__ volatile("rdtscp" : "=a"(low), "=d"(high), "=c"(aux));
    prctl(PR_SET_TSC, PR_TSC_SIGSEGV);
    registers[REG_RAX] = low;
    registers[REG_RDX] = high;
    if (length == 3) registers[REG_RCX] = aux;
    registers[REG_RIP] += static_cast<greg_t>(length);
}

constexpr int kContextRegisters[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                       REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

void OnSegv(int signal, siginfo_t *info, void *context) {
    auto *uc = static_cast<ucontext_t *>(context);
    greg_t *registers = uc->uc_mcontext.gregs;
    const auto *at = reinterpret_cast<const uint8_t *>(registers[REG_RIP]);
    const size_t length = TimeStampInstructionLength(at);
    ExceptionState &state = State();
    if (!length) {
        // Not ours: whoever handled it before (the sanitizers), or the end.
        if (state.previous.sa_flags & SA_SIGINFO && state.previous.sa_sigaction) {
            state.previous.sa_sigaction(signal, info, context);
        } else {
            ::signal(SIGSEGV, SIG_DFL);
        }
        return;
    }
    if (!InNativeImage(at)) return EmulateTimeStampRead(registers, length);

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
    for (const auto &entry : state.handlers) {
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
    sigset_t segv;
    sigemptyset(&segv);
    sigaddset(&segv, SIGSEGV);
    pthread_sigmask(SIG_UNBLOCK, &segv, nullptr);
    machine.Terminate(record.ExceptionCode);
}

}  // namespace

void StartNativeThreadProcessor() {
    if (!Machine::Get().options().timeStampFaults) return;
    ExceptionState &state = State();
    if (!state.installed) {
        struct sigaction action {};
        action.sa_sigaction = OnSegv;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &state.previous);
        state.installed = true;
    }
    prctl(PR_SET_TSC, PR_TSC_SIGSEGV);
}

void EndNativeThreadProcessor() {
    ExceptionState &state = State();
    if (!state.installed) return;
    prctl(PR_SET_TSC, PR_TSC_ENABLE);
    sigaction(SIGSEGV, &state.previous, nullptr);
    state.installed = false;
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
