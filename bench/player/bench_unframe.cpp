// Header stripping in km2 must never be what limits a preview: compare it
// with a plain copy of the same bytes (the floor for any pass over them).
#include "tools/tklframe/TklFrame.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

namespace {
std::string framedStream(std::size_t payloadBytes, std::size_t frame)
{
    std::mt19937 rng(1);
    std::string p(payloadBytes, '\0');
    for (char& c : p)
        c = char(rng() % 200 + 2);
    return tklframe::frame(reinterpret_cast<const std::uint8_t*>(p.data()), p.size(), frame);
}

void BM_Copy(benchmark::State& state)
{
    const std::string in = framedStream(32 << 20, std::size_t(state.range(0)));
    std::string out(in.size(), '\0');
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(in.size()));
}

// As km2 runs it: 1 MiB reads through the streaming wrapper.
void BM_Unframe(benchmark::State& state)
{
    const std::string in = framedStream(32 << 20, std::size_t(state.range(0)));
    std::string out;
    out.reserve(in.size());
    for (auto _ : state) {
        tklframe::Unframer u;
        out.clear();
        for (std::size_t at = 0; at < in.size(); at += 1 << 20)
            u.feed(reinterpret_cast<const std::uint8_t*>(in.data()) + at, std::min<std::size_t>(1 << 20, in.size() - at),
                   out);
        u.finish(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(in.size()));
}

// Junk between frames forces the byte-by-byte resync search.
void BM_UnframeJunk(benchmark::State& state)
{
    std::string in(32 << 20, '\x05');
    std::string out;
    for (auto _ : state) {
        out.clear();
        tklframe::unframe(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(), true, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(in.size()));
}
} // namespace

BENCHMARK(BM_Copy)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unframe)->Arg(4000)->Arg(60000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnframeJunk)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
