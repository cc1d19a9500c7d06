// The private heap, the process record and the application's context, and
// the end of the run.
#include "lib-na/na.h"

NA_GLOBALS NaGlobals;

namespace {
const WCHAR kSourceFile[] = u"lib-na\\na_init.cpp";
const WCHAR kNoMemoryText[] = u"\nCannot allocate memory for NA_PROCESS_INFO!\n";

// Written directly: the output operations need the message buffer that
// could not be had.
void ShowNoMemory() {
    DbgPrint("%ls\n", kNoMemoryText);
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, kNoMemoryText);
    NtDisplayString(&text);
}
}  // namespace

int32_t NaInit(void **context, size_t contextSize, size_t alignment) {
    if (NaGlobals.ProcessInfo) return 0;

    // A heap that cannot be created leaves no memory for the record: the
    // same answer as an allocation that fails.
    if (!NaGlobals.Heap) NaGlobals.Heap = RtlCreateHeap(HEAP_GROWABLE, nullptr, 0, 0, nullptr, nullptr);

    // Record, context and the room to align it; a request whose size does
    // not fit in the address space is no memory either.
    size_t blockSize = sizeof(NA_PROCESS_INFO) + contextSize;
    bool sizeFits = blockSize >= contextSize && blockSize + alignment >= blockSize;
    void *block = nullptr;
    if (NaGlobals.Heap && sizeFits) block = RtlAllocateHeap(NaGlobals.Heap, HEAP_ZERO_MEMORY, blockSize + alignment);
    if (!block) {
        ShowNoMemory();
        return 0;
    }
    NaGlobals.ProcessInfo = static_cast<NA_PROCESS_INFO *>(block);

    if (alignment == 0) {
        // No aligned address exists for a zero alignment: the report is
        // made, and no context is delivered.
        NaAssertFailed(kSourceFile, __LINE__);
        return 0;
    }
    if (context) {
        uintptr_t start = reinterpret_cast<uintptr_t>(block) + sizeof(NA_PROCESS_INFO) + alignment - 1;
        *context = reinterpret_cast<void *>(start & ~(static_cast<uintptr_t>(alignment) - 1));
    }
    return 1;
}

void NaExitWait(void) {
    if (!NaGlobals.ProcessInfo || NaGlobals.ProcessInfo->ErrorReported) NaSleep(5000);
}

void NaSleep(uint32_t milliseconds) {
    HANDLE event;
    OBJECT_ATTRIBUTES attributes = {sizeof(OBJECT_ATTRIBUTES), nullptr, nullptr, 0, nullptr, nullptr};
    if (!NT_SUCCESS(NtCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, SynchronizationEvent, 0))) return;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    NtWaitForSingleObject(event, 0, &timeout);
    NtClose(event);
}
