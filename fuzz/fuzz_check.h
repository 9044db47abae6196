// Shared by the fuzz targets: the check that stops a run on a broken
// property, and byte-order helpers for raw input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "codec/byte_order.h"

// Always on, also in release builds: a fuzz target without its checks only
// looks for crashes.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
