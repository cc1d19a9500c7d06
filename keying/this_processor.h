// The derivation paths of the processor this code runs on, asked directly
// (CPUID, XGETBV): for the programs that are not the native process, the
// tests and the benchmarks. The native process asks through nt/nt.h
// (app/sequence.cpp), where the stand-in can hide what the processor has.
// Not part of the product's keying library.
#pragma once

#include <stdint.h>

uint32_t DerivationPathsOfThisProcessor();
