// Shared by the fuzz targets: each defines LLVMFuzzerTestOneInput; libFuzzer
// drives it in the fuzz build, replay_main.cpp in the ordinary host build
// (so every saved input is also a regression case).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Aborts with a message, so that both libFuzzer and the replay runner
// report the input that broke a property.
#define FUZZ_CHECK(condition)                                                         \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)
