// The pieces of start-up that split the command line and count the
// environment, apart so that they can be examined on their own.
#pragma once

#include <stdint.h>

#include "nt/nt.h"

// Number of tokens in the ANSI command line (runs of bytes 0x21 to 0x7F).
uint32_t NaCountTokens(const char *text, uint32_t length);
// Copies at most maxTokens tokens, each NUL-terminated, into store (which
// holds length + 1 bytes at least), points argv at them and ends argv with a
// null pointer (argv holds maxTokens + 1 slots). Returns the count.
uint32_t NaSplitTokens(const char *text, uint32_t length, char *store, char **argv, uint32_t maxTokens);
// Number of strings in an environment block (null or empty: none).
uint32_t NaCountEnvironment(const WCHAR *environment);
