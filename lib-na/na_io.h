// The completion scheme shared by the library's I/O operations: how a
// request is issued with its own status block, waited for when it comes
// back pending, and reported once when it fails.
#pragma once

#include "lib-na/na.h"

// Readies a status block on the caller's stack before a request is issued:
// Status holds STATUS_PENDING until the system writes the block, so a block
// that has not been written yet is recognisable after a wait.
inline void NaPrepareStatusBlock(IO_STATUS_BLOCK *ioStatus) {
    ioStatus->Status = STATUS_PENDING;
    ioStatus->Information = 0;
}

// Finishes one request that returned `status`, named `operation` in the
// messages. Returns 1 when the request succeeded (the block then holds the
// final status and count) and 0 after a report. With
// reportImmediateFailure 0 an immediate failure is silent; failures after
// waiting are always reported.
//
// Never returns while the request may still be outstanding: the block and
// the caller's buffers stay owned by the system until it has written the
// block.
int32_t NaCompleteRequest(HANDLE handle, NTSTATUS status, IO_STATUS_BLOCK *ioStatus, const WCHAR *operation,
                          int32_t reportImmediateFailure);
