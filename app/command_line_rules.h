// The rules of the command line, apart from where their results go: the
// boot-time run (main.cpp) stores them in its context, and the installer
// (pelmar-install.exe) checks a line with the very same code before it
// writes it into the boot-time programs. Nothing here allocates, converts or
// reports; it needs only atoi and toupper.
#pragma once

#include <stdint.h>

// What a command line asks for. Filled with the defaults by
// CommandLineDefaults; ReadCommandLine changes what the arguments choose.
struct COMMAND_LINE_CHOICE {
    int32_t Ea;                 // EA_ID
    int32_t Prf;                // PRF_ID
    uint32_t Iterations;        // of the key-material derivation
    char16_t DriveLetter;       // 'A' to 'Z'
    const char *ContainerPath;  // argv[5] as given (narrow), null: the default
    const char *ImagePath;      // argv[6] as given (narrow), null: the default
};

inline constexpr char16_t kDefaultContainerPath[] = u"c:\\pelmar.tc";
inline constexpr char16_t kDefaultImagePath[] = u"c:\\pelmar.img";

// AES, SHA-1, 2000 iterations, drive T:, the default paths (null).
COMMAND_LINE_CHOICE CommandLineDefaults();

// Applies argv[1] to argv[6] to the choice. An absent or rejected argument
// keeps what the choice held; nothing is reported. The path arguments are
// only pointed to: turning them into UTF-16 is the caller's.
void ReadCommandLine(int32_t argc, char **argv, COMMAND_LINE_CHOICE *choice);

// The encryption-algorithm letter codes: A, AT, ATS, B, C, D, S, SA, STA, T, TS.
int32_t EaFromCode(const char *code);
