// Output to the boot screen and the debugger, error and assertion reports.
#include "lib-na/na.h"

namespace {

// Formats into the shared message buffer and shows the text. A text that is
// empty or does not fit in the buffer is dropped whole: false.
bool FormatAndShow(const WCHAR *format, va_list args) {
    if (!NaGlobals.ProcessInfo) return false;
    int length = _vsnwprintf(NaGlobals.ProcessInfo->MessageBuffer, NA_MESSAGE_BUFFER_CHARS, format, args);
    if (length <= 0) return false;
    NaOutput(NaGlobals.ProcessInfo->MessageBuffer);
    return true;
}

}  // namespace

void NaOutput(const WCHAR *text) {
    if (!NaGlobals.FirstOutputDone) {
        // The first text of the process begins on a fresh line.
        NaGlobals.FirstOutputDone = 1;
        NaOutput(u"\n");
    }
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, text);
    NtDisplayString(&counted);
    DbgPrint("%ls", text);
}

void NaPrint(const WCHAR *format, ...) {
    va_list args;
    va_start(args, format);
    FormatAndShow(format, args);
    va_end(args);
}

void NaReportError(const WCHAR *format, ...) {
    va_list args;
    va_start(args, format);
    bool shown = FormatAndShow(format, args);
    va_end(args);
    if (!shown) return;
    NaOutput(u"\n");
    NaGlobals.ProcessInfo->ErrorReported = 1;
}

void NaAssertFailed(const WCHAR *sourceFile, int32_t line) {
    NaReportError(u"Assertion failed in %s line %ld", sourceFile, line);
}

int32_t NaStrICmp(const char *a, const char *b) {
    for (;;) {
        if (!*a) return *b ? -1 : 0;
        if (!*b) return 1;
        int la = tolower(static_cast<signed char>(*a++));
        int lb = tolower(static_cast<signed char>(*b++));
        uint8_t difference = static_cast<uint8_t>(la - lb);
        if (difference) return (difference & 0x80) ? -1 : 1;
    }
}
