// Codec throughput on real inputs: the text and binary files made by
// bench/make_corpus.sh, read from $PELKO_CORPUS (default build/corpus).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "codec/huffman.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes& corpus(const std::string& name) {
    static std::vector<std::pair<std::string, Bytes>> loaded;
    for (auto& [n, data] : loaded)
        if (n == name) return data;
    const char* dir = std::getenv("PELKO_CORPUS");
    std::ifstream in(std::string(dir ? dir : "build/corpus") + "/" + name, std::ios::binary);
    loaded.emplace_back(name, Bytes(std::istreambuf_iterator<char>(in), {}));
    return loaded.back().second;
}

const char* kInputs[] = {"text.bin", "binary.bin"};

bool haveInput(benchmark::State& state, const Bytes& data) {
    if (!data.empty()) return true;
    state.SkipWithError("corpus missing: run bench/make_corpus.sh or set PELKO_CORPUS");
    return false;
}

void countOnly(benchmark::State& state) {
    const Bytes& data = corpus(kInputs[state.range(0)]);
    if (!haveInput(state, data)) return;
    for (auto _ : state) {
        pelko::ByteCounts counts{};
        pelko::countBytes(data, counts);
        benchmark::DoNotOptimize(counts);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void packOnly(benchmark::State& state) {
    const Bytes& data = corpus(kInputs[state.range(0)]);
    if (!haveInput(state, data)) return;
    pelko::ByteCounts counts{};
    pelko::countBytes(data, counts);
    const pelko::CodeTable code = pelko::buildCode(counts);
    Bytes out;
    out.reserve(pelko::blockLength(code, counts) + 16);
    for (auto _ : state) {
        out.clear();
        pelko::BitPacker packer;
        pelko::packBytes(code, packer, data, out);
        pelko::finishPack(packer, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void encode(benchmark::State& state) {
    const Bytes& data = corpus(kInputs[state.range(0)]);
    if (!haveInput(state, data)) return;
    size_t blockSize = 0;
    for (auto _ : state) {
        auto block = pelko::encodeBlock(data);
        blockSize = block ? block->size() : 0;
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
    state.counters["ratio"] = double(blockSize) / double(data.size());
}

// Count, build and pack as the archiver does: the whole input counted, then
// packed in 1 MiB pieces into one reused buffer that is emptied after each.
void encodePieces(benchmark::State& state) {
    const Bytes& data = corpus(kInputs[state.range(0)]);
    if (!haveInput(state, data)) return;
    constexpr size_t kPiece = size_t{1} << 20;
    Bytes out;
    out.reserve(kPiece + 1024);
    for (auto _ : state) {
        pelko::ByteCounts counts{};
        pelko::countBytes(data, counts);
        const pelko::CodeTable code = pelko::buildCode(counts);
        pelko::BitPacker packer;
        pelko::appendBlockHeader(code, data.size(), out);
        for (size_t at = 0; at < data.size(); at += kPiece) {
            pelko::packBytes(code, packer,
                             std::span(data).subspan(at, std::min(kPiece, data.size() - at)), out);
            benchmark::DoNotOptimize(out.data());
            out.clear();
        }
        pelko::finishPack(packer, out);
        out.clear();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void decode(benchmark::State& state) {
    const Bytes& data = corpus(kInputs[state.range(0)]);
    if (!haveInput(state, data)) return;
    auto block = pelko::encodeBlock(data);
    if (!block) return state.SkipWithError("encode failed");
    for (auto _ : state) {
        auto out = pelko::decodeBlock(*block);
        if (!out || *out != data) return state.SkipWithError("decode mismatch");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

// Decoding into a buffer reused across calls, as small entries are: the
// decoder's own speed, without fresh pages for every output.
void decodeInto(benchmark::State& state) {
    const Bytes& data = corpus(kInputs[state.range(0)]);
    if (!haveInput(state, data)) return;
    auto block = pelko::encodeBlock(data);
    if (!block) return state.SkipWithError("encode failed");
    // The output's pages are touched before timing: a first-iteration cost
    // of fresh memory would otherwise be all Google Benchmark measures.
    Bytes out(data.size(), 1);
    for (auto _ : state) {
        if (!pelko::decodeBlockInto(*block, out)) return state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (out != data) state.SkipWithError("decode mismatch");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

// Decoding as a large entry is extracted, in stretches on the number of
// threads given as the second argument, read from the block in memory and
// written into a buffer reused across calls.
void decodeLarge(benchmark::State& state) {
    const Bytes& data = corpus(kInputs[state.range(0)]);
    if (!haveInput(state, data)) return;
    auto block = pelko::encodeBlock(data);
    if (!block) return state.SkipWithError("encode failed");
    Bytes out(data.size(), 1);
    const unsigned threads = unsigned(state.range(1));
    pelko::Workers team(threads);
    Bytes memory(pelko::largeDecodeMemory(threads), 1);
    const std::span<const uint8_t> all(*block);
    const pelko::BlockIo io{[&](uint64_t at, std::span<uint8_t> into, size_t) {
                                std::copy_n(all.begin() + at, into.size(), into.begin());
                                return true;
                            },
                            [&](uint64_t at, std::span<const std::span<const uint8_t>> parts) {
                                for (auto part : parts) {
                                    std::copy(part.begin(), part.end(), out.begin() + at);
                                    at += part.size();
                                }
                                return true;
                            }};
    for (auto _ : state) {
        if (!pelko::decodeLargeBlock(all.first(std::min(all.size(), pelko::kMaxBlockHeader)),
                                     all.size(), io, team, threads, memory))
            return state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (out != data) state.SkipWithError("decode mismatch");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

// Every thread decodes the whole text or binary on its own, each into its
// own output: what the cores decode at once, the ceiling for one block
// shared among them.
void decodeEach(benchmark::State& state) {
    const Bytes& data = corpus(kInputs[state.range(0)]);
    if (!haveInput(state, data)) return;
    auto block = pelko::encodeBlock(data);
    if (!block) return state.SkipWithError("encode failed");
    Bytes out(data.size(), 1);
    for (auto _ : state) {
        if (!pelko::decodeBlockInto(*block, out)) return state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (out != data) state.SkipWithError("decode mismatch");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

}  // namespace

BENCHMARK(countOnly)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(packOnly)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(encodePieces)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(encode)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(decode)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
// Threaded runs are timed by the clock on the wall: the main thread's CPU
// time leaves out the other threads' share.
BENCHMARK(decodeInto)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeLarge)
    ->ArgNames({"binary", "threads"})
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(decodeEach)
    ->ArgName("binary")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
