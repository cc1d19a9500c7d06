// The main sequence of a run, inside the frame of main.
#pragma once

#include <stdint.h>

#include "app/app_context.h"
#include "app/command_line.h"

// The system-information classes mixed into the pool, in order, ended by 0.
extern const ULONG ENTROPY_INFO_CLASSES[16];

// The processor's 64-bit time-stamp counter, read after a serialising
// identification instruction; 0 when the read raises a processor exception.
uint64_t ReadTimeStampCounter();

// Before the defaults and the command line: the pool is initialised and
// fed time-stamp readings and the system-information classes.
void GatherFirstEntropy(APP_CONTEXT *context);

// After the echo: more entropy, the container's old header, the new header
// written over it, the mount, the restore (and the dismount if it fails).
void RunMainSequence(APP_CONTEXT *context, const RUN_SETTINGS *settings);
