// A check that holds in every fuzz harness build: a broken property aborts
// with its text, so libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
                         #condition);                                                \
            std::abort();                                                            \
        }                                                                            \
    } while (false)

// Stops with `what` as the broken property.
#define FUZZ_FAIL(what)                                                              \
    do {                                                                             \
        std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, what); \
        std::abort();                                                                \
    } while (false)
