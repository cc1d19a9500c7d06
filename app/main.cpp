// The frame of a run: debugger switch, run context, defaults, command line,
// echo, wipe, final pause and exit status.
#include <tomcrypt.h>

#include "app/app_context.h"
#include "app/command_line.h"
#include "app/sequence.h"
#include "lib-na/na.h"

namespace {

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

void SetRunDefaults(APP_CONTEXT *context, RUN_SETTINGS *settings) {
    COMMAND_LINE_CHOICE defaults = CommandLineDefaults();
    context->ContainerPath = kDefaultContainerPath;
    context->DriveLetter = defaults.DriveLetter;
    context->ImagePath = kDefaultImagePath;
    settings->Ea = defaults.Ea;
    settings->Prf = defaults.Prf;
    settings->Iterations = defaults.Iterations;
}

// The rules are the shared ones (command_line_rules.cpp); what is left here
// is where their results go, and the paths' conversion, in the same order.
void ParseCommandLine(int32_t argc, char **argv, APP_CONTEXT *context, RUN_SETTINGS *settings) {
    COMMAND_LINE_CHOICE choice{settings->Ea, settings->Prf, settings->Iterations, context->DriveLetter,
                               nullptr, nullptr};
    ReadCommandLine(argc, argv, &choice);
    settings->Ea = choice.Ea;
    settings->Prf = choice.Prf;
    settings->Iterations = choice.Iterations;
    context->DriveLetter = choice.DriveLetter;
    if (choice.ContainerPath) {
        if (const WCHAR *path = ConvertPath(choice.ContainerPath)) context->ContainerPath = path;
    }
    if (choice.ImagePath) {
        if (const WCHAR *path = ConvertPath(choice.ImagePath)) context->ImagePath = path;
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
