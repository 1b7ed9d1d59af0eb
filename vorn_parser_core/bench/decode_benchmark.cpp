// Decoding a large Two_D section set, timed against a plain memcpy of its bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "data.h"

namespace {

using Clock = std::chrono::steady_clock;

// Four sections of 1024 x 1024 big-endian samples of the given width.
void BM_DecodeTwoD(benchmark::State& state)
{
    const auto width = static_cast<std::size_t>(state.range(0));
    const std::size_t side = 1024;
    const std::size_t bytes = 4 * side * side * width;
    std::vector<std::uint8_t> content(bytes);
    for (std::size_t i = 0; i < bytes; ++i) content[i] = static_cast<std::uint8_t>(i * 131 + 7);
    vorn::ByteSource src(content);
    std::vector<std::uint8_t> copy(bytes, 1);

    const std::vector<std::string> axis_types = {"Complex", "Complex", "None", "None", "None", "None", "None", "None"};
    const std::vector<std::uint32_t> points = {side, side, 0, 0, 0, 0, 0, 0};
    const std::string type = width == 4 ? "32Bit Float" : "64Bit Float";

    // Each iteration decodes the whole set (building and freeing its rows),
    // then copies the same number of bytes into a freshly allocated buffer,
    // and once more into a buffer kept warm across iterations. Only the
    // decode is the iteration's time; the copies are timed alongside for the
    // ratios. The fresh copy is the like-for-like baseline: the decode must
    // allocate its output and pays the first touch of that memory (page
    // faults, as glibc gives large freed blocks back to the system), and so
    // does the fresh copy. The warm copy touches no new memory; compare the
    // decode with it when the allocator keeps freed memory (for glibc, run
    // with GLIBC_TUNABLES=glibc.malloc.trim_threshold=...:glibc.malloc.mmap_threshold=...).
    double decode_seconds = 0;
    double fresh_copy_seconds = 0;
    double warm_copy_seconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        bool decoded;
        {
            (void)src.seek(0);
            auto data = vorn::read_data(src, vorn::ByteOrder::Big, axis_types, type, "Two_D", points);
            decoded = data.ok();
            benchmark::DoNotOptimize(data);
        }
        const auto t1 = Clock::now();
        if (!decoded) {
            state.SkipWithError("decode failed");
            break;
        }
        {
            std::unique_ptr<std::uint8_t[]> fresh(new std::uint8_t[bytes]);
            std::memcpy(fresh.get(), content.data(), bytes);
            benchmark::DoNotOptimize(fresh.get());
            benchmark::ClobberMemory();
        }
        const auto t2 = Clock::now();
        std::memcpy(copy.data(), content.data(), bytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
        const auto t3 = Clock::now();

        const double decode = std::chrono::duration<double>(t1 - t0).count();
        decode_seconds += decode;
        fresh_copy_seconds += std::chrono::duration<double>(t2 - t1).count();
        warm_copy_seconds += std::chrono::duration<double>(t3 - t2).count();
        state.SetIterationTime(decode);
    }
    const auto n = static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
    state.counters["decode_ms"] = decode_seconds / n * 1e3;
    state.counters["fresh_memcpy_ms"] = fresh_copy_seconds / n * 1e3;
    state.counters["warm_memcpy_ms"] = warm_copy_seconds / n * 1e3;
    state.counters["decode/fresh_memcpy"] = decode_seconds / fresh_copy_seconds;
    state.counters["decode/warm_memcpy"] = decode_seconds / warm_copy_seconds;
}

BENCHMARK(BM_DecodeTwoD)->ArgName("width")->Arg(8)->Arg(4)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
