// Fuzz targets are written once, against libFuzzer's entry point. With clang
// and PELMAR_FUZZ=ON they link with -fsanitize=fuzzer for real fuzzing; in
// every other build they link with replay_main.cpp, which runs each target
// on its seeds and on a fixed stream of pseudo-random inputs as an ordinary
// test.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
