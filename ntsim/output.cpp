// The boot screen (NtDisplayString) and the debugger output (DbgPrint).
#include <cstdarg>

#include "ntsim/call.h"
#include "ntsim/format.h"
#include "ntsim/ntsim.h"

using ntsim::Call;
using ntsim::Machine;

extern "C" {

NTSTATUS NTAPI NtDisplayString(PUNICODE_STRING text) {
    Call call("NtDisplayString");
    if (!text) return call.Return(STATUS_ACCESS_VIOLATION);
    std::u16string_view view(text->Buffer ? text->Buffer : u"", text->Buffer ? text->Length / 2 : 0);
    call.ArgWide("text", view);
    if (call.faulted()) return call.Return(call.faultStatus());
    Machine::Get().BootScreen(ntsim::Utf16ToUtf8(view));
    return call.Return(STATUS_SUCCESS);
}

ULONG NT_CDECL DbgPrint(PCSTR format, ...) {
    Call call("DbgPrint");
    if (call.faulted()) return static_cast<ULONG>(call.Return(call.faultStatus()));
    va_list args;
    va_start(args, format);
    std::u16string text = ntsim::FormatNarrow(format, args);
    va_end(args);
    call.ArgWide("text", text);
    Machine::Get().DebugOutput(ntsim::Utf16ToUtf8(text));
    return static_cast<ULONG>(call.Return(STATUS_SUCCESS));
}

}  // extern "C"
