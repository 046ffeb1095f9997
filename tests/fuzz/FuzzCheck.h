#pragma once
// The properties a fuzz target asserts. A violated one prints what failed and traps, so that
// libFuzzer keeps the input as a reproducer (crash-...) and scripts/fuzz reports it.

#include <cstdio>

#define VQX_FUZZ_CHECK(condition)                                                                  \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz property violated: %s (%s:%d)\n", #condition, __FILE__,     \
                         __LINE__);                                                                \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (false)
