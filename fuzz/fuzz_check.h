// Shared by the fuzz targets: the check that stops a run on a broken
// property, byte-order helpers for raw input, and the size limit.
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

namespace fuzzing {

// Blocks may declare any output size up to 4 GiB and still decode (missing
// stream bits count as 0); above this the targets skip the input so that the
// fuzzer measures behaviour, not allocation limits.
constexpr uint32_t kMaxDecodedSize = uint32_t{1} << 17;

}  // namespace fuzzing
