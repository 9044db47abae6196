// CRC-32 throughput: the dispatching entry point against the portable
// slicing-by-8 path, on buffers from cache-sized to memory-sized.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "archive/crc32.h"

namespace {

std::vector<uint8_t> randomBytes(size_t n) {
    std::vector<uint8_t> v(n);
    std::mt19937_64 rng(1);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

void BM_Crc32(benchmark::State& state) {
    auto data = randomBytes(size_t(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(pelko::crc32(data.data(), data.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_Crc32Portable(benchmark::State& state) {
    auto data = randomBytes(size_t(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(pelko::crc32Portable(0, data.data(), data.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Crc32)->Arg(4096)->Arg(1 << 20)->Arg(64 << 20);
BENCHMARK(BM_Crc32Portable)->Arg(4096)->Arg(1 << 20)->Arg(64 << 20);

}  // namespace
