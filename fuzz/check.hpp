#pragma once
// Invariant checks for fuzz targets: a broken invariant aborts, so libFuzzer keeps
// the input as a crash artifact just as it would for a memory error.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                          \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n  (%s)\n", __FILE__, __LINE__, \
                         what, #condition);                                                  \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)
