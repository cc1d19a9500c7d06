// The native process: its environment block and parameters, heaps, the
// debugger break and the end of the process.
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"
#include "ntsim/secret_scan.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace ntsim {
namespace {

constexpr ULONG kParamsNormalized = 0x1;
constexpr size_t kHeapAlignment = 16;
// A native heap promises 16-byte alignment and no more. Every block begins
// 16 bytes past an 8,192-byte boundary, so a caller that needs a coarser
// alignment must make it itself, and a caller that forgot to is seen at once.
constexpr size_t kHeapBoundary = 8192;
constexpr size_t kHeapBlockOffset = kHeapAlignment;

struct AlignedDelete {
    void operator()(uint8_t *block) const { operator delete[](block, std::align_val_t(kHeapBoundary)); }
};
using HeapBlock = std::unique_ptr<uint8_t[], AlignedDelete>;

struct Heap {
    ULONG flags = 0;
    std::vector<HeapBlock> blocks;
    std::vector<size_t> blockSizes;  // beside blocks, for the secret scan
};

struct HeapRegistry {
    std::map<const void *, std::unique_ptr<Heap>> heaps;
};

HeapRegistry &Heaps() { return Machine::Get().Extension<HeapRegistry>("heaps"); }

HANDLE CreateHeapObject(ULONG flags) {
    auto heap = std::make_unique<Heap>();
    heap->flags = flags;
    HANDLE handle = heap.get();
    Heaps().heaps.emplace(handle, std::move(heap));
    return handle;
}

// The process's memory: environment block, parameters and environment,
// kept on the machine for as long as the process lives.
struct ProcessImage {
    std::vector<uint8_t> params;  // RTL_USER_PROCESS_PARAMETERS and its strings
    std::vector<char16_t> environment;
    PEB peb{};
};

// Appends a string to the parameters block and returns its offset; the
// block is handed over denormalised (string buffers as offsets), as a new
// process receives it.
size_t AppendString(std::vector<uint8_t> &block, std::u16string_view text) {
    size_t offset = (block.size() + 7) & ~size_t{7};
    block.resize(offset + (text.size() + 1) * 2, 0);
    std::memcpy(block.data() + offset, text.data(), text.size() * 2);
    return offset;
}

void SetOffsetString(UNICODE_STRING &target, size_t offset, size_t chars) {
    target.Length = static_cast<USHORT>(chars * 2);
    target.MaximumLength = static_cast<USHORT>(chars * 2 + 2);
    target.Buffer = reinterpret_cast<PWSTR>(offset);
}

// The native thread's stack is machine memory, as a native process's stack
// is the memory its image asked the system for: 2 MiB, the reserve that
// mingw-w64's linker writes into an image by default, above a guard page.
// It lives until the machine is reset, so that what the process left in it
// can be searched after the process has ended. Fresh anonymous memory is
// zero, so the part the process used is where the non-zero bytes begin.
constexpr size_t kNativeStackBytes = 2 * 1024 * 1024;

struct NativeStack {
    uint8_t *mapping = nullptr;
    size_t mappingSize = 0;
    uint8_t *base = nullptr;  // lowest usable byte, above the guard page
    size_t size = 0;
    NativeStack() = default;
    NativeStack(const NativeStack &) = delete;
    NativeStack &operator=(const NativeStack &) = delete;
    ~NativeStack() {
        if (mapping) munmap(mapping, mappingSize);
    }
};

NativeStack &TheNativeStack() { return Machine::Get().Extension<NativeStack>("native stack"); }

bool MapNativeStack(NativeStack &stack) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *mapping = mmap(nullptr, kNativeStackBytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return false;
    stack.mapping = static_cast<uint8_t *>(mapping);
    stack.mappingSize = kNativeStackBytes + page;
    mprotect(stack.mapping, page, PROT_NONE);
    stack.base = stack.mapping + page;
    stack.size = kNativeStackBytes;
    return true;
}

std::u16string TrimToUshort(std::u16string text) {
    if (text.size() > 0x7FFE) text.resize(0x7FFE);
    return text;
}

}  // namespace

void AppendHeapRegions(std::vector<MemoryRegion> &out) {
    for (const auto &[handle, heap] : Heaps().heaps)
        for (size_t i = 0; i < heap->blocks.size(); ++i)
            out.push_back({"heap " + HandleText(const_cast<void *>(handle)) + " block " +
                               HandleText(heap->blocks[i].get() + kHeapBlockOffset),
                           heap->blocks[i].get() + kHeapBlockOffset, heap->blockSizes[i]});
}

void AppendNativeStackRegion(std::vector<MemoryRegion> &out) {
    NativeStack &stack = TheNativeStack();
    if (!stack.base) return;
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's marks on frames that ended by a jump do not concern
    // the machine, which reads its own memory here.
    __asan_unpoison_memory_region(stack.base, stack.size);
#endif
    size_t unused = 0;
    while (unused < stack.size && stack.base[unused] == 0) ++unused;
    out.push_back({"native stack (" + std::to_string(stack.size - unused) + " bytes used)", stack.base + unused,
                   stack.size - unused});
}

void AppendProcessImageRegions(std::vector<MemoryRegion> &out) {
    Machine &machine = Machine::Get();
    auto &image = machine.Extension<ProcessImage>("process");
    out.push_back({"process parameters", image.params.data(), image.params.size()});
    out.push_back({"environment block", reinterpret_cast<const uint8_t *>(image.environment.data()),
                   image.environment.size() * sizeof(char16_t)});
    out.push_back({"process environment block", reinterpret_cast<const uint8_t *>(&image.peb), sizeof image.peb});
    out.push_back({"thread environment block", static_cast<const uint8_t *>(machine.Teb()), 0x2000});
}

NTSTATUS RunNativeProcess(void (*entry)(PPEB)) {
    Machine &machine = Machine::Get();
    const Options &options = machine.options();
    auto &image = machine.Extension<ProcessImage>("process");

    if (options.timeStampFaults) {
        if (auto error = PrepareTimeStampFaults()) {
            fprintf(stderr, "ntsim: --time-stamp-faults cannot be honoured: %s\n", error->c_str());
            return STATUS_NOT_SUPPORTED;
        }
    }
    void InstallTrueCryptDriver(); InstallTrueCryptDriver();  // the driver model, ntsim/driver_model.h
    InstallSecretScan();
    machine.processHeap_ = CreateHeapObject(HEAP_GROWABLE);

    // Parameters, the way a freshly created native process receives them.
    std::u16string commandLine = TrimToUshort(options.commandLine.value_or(u""));
    std::u16string imagePath = TrimToUshort(options.imagePath);
    image.params.assign(0x400, 0);
    size_t imageOffset = imagePath.empty() ? 0 : AppendString(image.params, imagePath);
    size_t commandOffset = commandLine.empty() ? 0 : AppendString(image.params, commandLine);
    auto *params = reinterpret_cast<RTL_USER_PROCESS_PARAMETERS *>(image.params.data());
    params->MaximumLength = static_cast<ULONG>(image.params.size());
    params->Length = static_cast<ULONG>(image.params.size());
    params->Flags = 0;
    params->DebugFlags = options.debugFlags;
    if (!imagePath.empty()) SetOffsetString(params->ImagePathName, imageOffset, imagePath.size());
    if (!commandLine.empty()) SetOffsetString(params->CommandLine, commandOffset, commandLine.size());

    image.environment.clear();
    if (!options.noEnvironment) {
        for (const auto &entry : options.environment) {
            image.environment.insert(image.environment.end(), entry.begin(), entry.end());
            image.environment.push_back(0);
        }
        image.environment.push_back(0);
        params->Environment = image.environment.data();
    }

    image.peb = PEB{};
    image.peb.ProcessParameters = options.noProcessParameters ? nullptr : params;
    image.peb.ProcessHeap = machine.processHeap_;

    // The process runs on a thread of its own whose stack is machine memory
    // (above); the caller waits for it, as the loader waits for the
    // process to end.
    struct Start {
        void (*entry)(PPEB);
        PPEB peb;
    } start{entry, &image.peb};
    auto runProcess = [](void *argument) -> void * {
        auto *start = static_cast<Start *>(argument);
        Machine &machine = Machine::Get();
        std::jmp_buf processFrame;
        machine.terminateJump_ = &processFrame;
        StartNativeThreadProcessor();
        if (setjmp(processFrame) == 0) {
            start->entry(start->peb);
            // A native entry point never returns; if it does, the process
            // ends here as if it had terminated with success.
            fprintf(stderr, "ntsim: the native entry point returned instead of ending its process\n");
            machine.exitStatus_ = STATUS_SUCCESS;
        }
        machine.terminateJump_ = nullptr;
        EndNativeThreadProcessor();
        return nullptr;
    };
    NativeStack &stack = TheNativeStack();
    pthread_attr_t attributes;
    pthread_t thread;
    if (!stack.base && !MapNativeStack(stack)) {
        fprintf(stderr, "ntsim: no memory for the native stack\n");
        return STATUS_NO_MEMORY;
    }
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack.base, stack.size);
    const int created = pthread_create(&thread, &attributes, runProcess, &start);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        fprintf(stderr, "ntsim: cannot start the native thread\n");
        return STATUS_NO_MEMORY;
    }
    pthread_join(thread, nullptr);
    return machine.exitStatus_.value_or(STATUS_SUCCESS);
}

}  // namespace ntsim

using ntsim::Call;
using ntsim::Machine;

extern "C" {

PRTL_USER_PROCESS_PARAMETERS NTAPI RtlNormalizeProcessParams(PRTL_USER_PROCESS_PARAMETERS params) {
    Call call("RtlNormalizeProcessParams");
    call.ArgHex("params", reinterpret_cast<uintptr_t>(params));
    if (params && !(params->Flags & ntsim::kParamsNormalized)) {
        auto *base = reinterpret_cast<uint8_t *>(params);
        for (UNICODE_STRING *s : {&params->CurrentDirectory.DosPath, &params->DllPath, &params->ImagePathName,
                                  &params->CommandLine}) {
            if (s->Buffer) s->Buffer = reinterpret_cast<PWSTR>(base + reinterpret_cast<uintptr_t>(s->Buffer));
        }
        params->Flags |= ntsim::kParamsNormalized;
    }
    call.ReturnText(params ? ntsim::HandleText(params) : "null");
    return params;
}

PVOID NTAPI RtlCreateHeap(ULONG flags, PVOID base, SIZE_T reserve, SIZE_T commit, PVOID lock, PVOID parameters) {
    Call call("RtlCreateHeap");
    call.ArgHex("flags", flags)
        .ArgHex("base", reinterpret_cast<uintptr_t>(base))
        .ArgDec("reserve", static_cast<int64_t>(reserve))
        .ArgDec("commit", static_cast<int64_t>(commit))
        .ArgHex("lock", reinterpret_cast<uintptr_t>(lock))
        .ArgHex("parameters", reinterpret_cast<uintptr_t>(parameters));
    if (call.faulted() || base || lock) {
        // Heaps at a given base or with a caller's lock are not modelled.
        call.ReturnText("null");
        return nullptr;
    }
    HANDLE heap = ntsim::CreateHeapObject(flags);
    call.ReturnText(ntsim::HandleText(heap));
    return heap;
}

PVOID NTAPI RtlAllocateHeap(PVOID heapHandle, ULONG flags, SIZE_T size) {
    Call call("RtlAllocateHeap");
    call.Arg("heap", heapHandle).ArgHex("flags", flags).ArgDec("size", static_cast<int64_t>(size));
    Machine &machine = Machine::Get();
    auto &heaps = ntsim::Heaps().heaps;
    auto it = heaps.find(heapHandle);
    NTSTATUS failure = 0;
    if (call.faulted()) {
        failure = call.faultStatus();
    } else if (it == heaps.end()) {
        failure = STATUS_INVALID_HANDLE;
    } else if (size > (SIZE_T{1} << 36)) {
        failure = STATUS_NO_MEMORY;
    }
    if (failure) {
        machine.LastStatus() = failure;
        call.Note("last status " + ntsim::Hex32(static_cast<uint32_t>(failure)));
        call.ReturnText("null");
        return nullptr;
    }
    size_t rounded = (size + ntsim::kHeapAlignment - 1) & ~(ntsim::kHeapAlignment - 1);
    if (rounded == 0) rounded = ntsim::kHeapAlignment;
    ntsim::HeapBlock block(new (std::align_val_t(ntsim::kHeapBoundary))
                               uint8_t[ntsim::kHeapBlockOffset + rounded]);
    uint8_t *address = block.get() + ntsim::kHeapBlockOffset;
    // A native heap hands out memory that held anything before; only the
    // zero-fill flag promises zeros.
    std::memset(address, (flags & HEAP_ZERO_MEMORY) ? 0 : 0xBE, rounded);
    it->second->blocks.push_back(std::move(block));
    it->second->blockSizes.push_back(rounded);
    call.ReturnText(ntsim::HandleText(address));
    return address;
}

NTSTATUS NTAPI NtTerminateProcess(HANDLE process, NTSTATUS exitStatus) {
    {
        Call call("NtTerminateProcess");
        call.Arg("process", process).ArgHex("status", static_cast<uint32_t>(exitStatus));
        if (call.faulted()) return call.Return(call.faultStatus());
        if (process != NtCurrentProcess()) return call.Return(STATUS_INVALID_HANDLE);
        call.Note("open handles " + std::to_string(Machine::Get().OpenHandleCount()));
        call.Return(STATUS_SUCCESS);
    }
    Machine::Get().Terminate(exitStatus);
}

void NTAPI DbgBreakPoint(void) {
    Call call("DbgBreakPoint");
    // The stand-in's debugger notes the break (in the trace) and lets the
    // process go on.
    call.ReturnVoid();
}

}  // extern "C"
