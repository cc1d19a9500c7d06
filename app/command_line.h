// The run settings and the command line that chooses them.
#pragma once

#include <stdint.h>

#include "app/app_context.h"
#include "app/command_line_rules.h"

// Chosen by the command line, held by main itself.
struct RUN_SETTINGS {
    int32_t Ea;           // EA_ID, default 1 (AES)
    int32_t Prf;          // PRF_ID, default 2 (SHA-1)
    uint32_t Iterations;  // of the key-material derivation
};

// Sets the defaults of a run: container "c:\pelmar.tc", drive T:, image
// "c:\pelmar.img", AES, SHA-1.
void SetRunDefaults(APP_CONTEXT *context, RUN_SETTINGS *settings);

// Fills DriveLetter, ContainerPath and ImagePath of the context and the run
// settings from argv[1] to argv[6]. An absent or rejected argument keeps its
// default; nothing is reported.
void ParseCommandLine(int32_t argc, char **argv, APP_CONTEXT *context, RUN_SETTINGS *settings);
