// The image CRC against zlib's crc32 over the same buffers, in one run: the board checks
// every update image twice before writing it, so the CRC must keep up with zlib's.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "image/bench_buffer.h"
#include "image/image_header.h"

namespace {

void BM_calcCrc32(benchmark::State& state) {
    auto buffer = benchBuffer(static_cast<std::size_t>(state.range(0)));
    std::uint32_t crc = 0;
    for (auto _ : state) {
        crc = calcCrc32(crc, buffer.data(), buffer.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_zlibCrc32(benchmark::State& state) {
    auto buffer = benchBuffer(static_cast<std::size_t>(state.range(0)));
    uLong crc = 0;
    for (auto _ : state) {
        crc = crc32(crc, buffer.data(), static_cast<uInt>(buffer.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_calcCrc32)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_zlibCrc32)->Arg(64)->Arg(4096)->Arg(1 << 20);

BENCHMARK_MAIN();
