// The frame of a run: debugger switch, run context, defaults, command line,
// echo, wipe, final pause and exit status.
#include <tomcrypt.h>

#include "app/app_context.h"
#include "app/command_line.h"
#include "app/sequence.h"
#include "lib-na/na.h"

namespace {

const WCHAR kDefaultContainerPath[] = u"c:\\pelmar.tc";
const WCHAR kDefaultImagePath[] = u"c:\\pelmar.img";

// Converts a narrow argument, its NUL included, into a UTF-16 string the
// platform allocates; it lives until the process ends.
const WCHAR *ConvertPath(const char *argument) {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, argument);
    ansi.Length = static_cast<USHORT>(ansi.Length + 1);
    ansi.MaximumLength = static_cast<USHORT>(ansi.MaximumLength + 1);
    UNICODE_STRING wide;
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&wide, &ansi, 1))) return nullptr;
    return wide.Buffer;
}

}  // namespace

int32_t EaFromCode(const char *code) {
    switch (code[0]) {
        case 'A':
            if (code[1] != 'T') return 1;
            return code[2] == 'S' ? 8 : 7;
        case 'B':
            return 2;
        case 'C':
            return 3;
        case 'D':
            return 5;
        case 'S':
            if (code[1] == 'A') return 9;
            if (code[1] == 'T' && code[2] == 'A') return 10;
            return 4;
        case 'T':
            return code[1] == 'S' ? 11 : 6;
        default:
            return 1;
    }
}

void SetRunDefaults(APP_CONTEXT *context, RUN_SETTINGS *settings) {
    context->ContainerPath = kDefaultContainerPath;
    context->DriveLetter = u'T';
    context->ImagePath = kDefaultImagePath;
    settings->Ea = 1;
    settings->Prf = 2;
    settings->Iterations = 2000;
}

void ParseCommandLine(int32_t argc, char **argv, APP_CONTEXT *context, RUN_SETTINGS *settings) {
    if (argc >= 2) settings->Ea = EaFromCode(argv[1]);
    if (argc >= 3) settings->Prf = argv[2][0] == 'r' ? 1 : argv[2][0] == 'w' ? 3 : 2;

    uint32_t start = settings->Prf == 3 ? 1000 : 2000;
    settings->Iterations = start;
    if (argc >= 4) {
        int32_t v = atoi(argv[3]);
        if (v >= 2 && v <= 2000000) {
            settings->Iterations = start * static_cast<uint32_t>(v);
        } else if (v < -static_cast<int32_t>(start)) {
            // A negative argument is an absolute count; -v is safe here
            // because v lies strictly below -start.
            settings->Iterations = static_cast<uint32_t>(-static_cast<int64_t>(v));
        }
    }

    if (argc >= 5) {
        int letter = toupper(argv[4][0]);
        if (letter >= 'A' && letter <= 'Z') context->DriveLetter = static_cast<WCHAR>(letter);
    }
    if (argc >= 6) {
        if (const WCHAR *path = ConvertPath(argv[5])) context->ContainerPath = path;
    }
    if (argc >= 7) {
        if (const WCHAR *path = ConvertPath(argv[6])) context->ImagePath = path;
    }
}

namespace pelmar {

NTSTATUS main(int32_t argc, char **argv, WCHAR ** /*envp*/, ULONG /*debugFlags*/) {
    if (argc != 0 && NaStrICmp(argv[argc - 1], "dbg") == 0) {
        --argc;
        argv[argc] = nullptr;
        DbgBreakPoint();
    }

    APP_CONTEXT *context = nullptr;
    if (!NaInit(reinterpret_cast<void **>(&context), AppContextRequestSize(), APP_CONTEXT_ALIGNMENT))
        return STATUS_NO_MEMORY;

    GatherFirstEntropy(context);

    RUN_SETTINGS settings;
    SetRunDefaults(context, &settings);
    ParseCommandLine(argc, argv, context, &settings);

    for (int32_t i = 0; i < argc; ++i) NaPrint(u"%S ", argv[i]);
    NaPrint(u"\n\n");

    RunMainSequence(context, &settings);

    // Every byte of the run, secrets included, is gone before the process ends.
    zeromem(context, AppContextRequestSize());
    NaExitWait();
    return STATUS_SUCCESS;
}

}  // namespace pelmar
