// Frame header search speed on the data a raw scan meets: random bytes
// (encrypted or compressed payload, unused sectors), zero-filled stretches
// (formatted disks) and back-to-back frames. Each benchmark walks a 4 MiB
// window the way the scan does: search, skip the frame found, search again.
// BM_Random etc. use findFrameHeader (the best search for this processor);
// the *_Reference variants run the plain byte-by-byte search for comparison,
// the others each implementation by name.

#include "support/ReferenceRecogniser.h"
#include "scan/CFragmentFit.h"
#include "scan/FrameHeaderSearch.h"

#include <benchmark/benchmark.h>
#include <random>
#include <vector>

namespace {

constexpr int kWindow = 4 * 1048576;

std::vector<unsigned char> randomData()
{
    std::vector<unsigned char> b(kWindow + 8);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i + 8 <= b.size(); i += 8) {
        const unsigned long long v = rng();
        for (int k = 0; k < 8; ++k)
            b[i + k] = (unsigned char)(v >> (8 * k));
    }
    return b;
}

std::vector<unsigned char> zeroData() { return std::vector<unsigned char>(kWindow + 8, 0); }

std::vector<unsigned char> denseFrames()
{
    std::vector<unsigned char> b = randomData();
    std::mt19937 rng(2);
    size_t at = 0;
    int variant = 0;
    while (at + 8 <= size_t(kWindow)) {
        // Typical recorder frames: mostly a few KiB, key frames larger.
        const unsigned len = rng() % 30 == 0 ? 20000 + rng() % 45000 : 500 + rng() % 6000;
        const unsigned char h[8] = {0, 0, 1, 0xB7, (unsigned char)len, (unsigned char)(len >> 8),
                                    (unsigned char)(variant ? 0 : 0x40), (unsigned char)(variant ? 0x40 : 0)};
        std::copy(h, h + 8, b.begin() + long(at));
        variant ^= 1;
        at += len;
    }
    return b;
}

template <bool (*Find)(const unsigned char*, qint32, qint32&, FrameInfo&)>
void walk(benchmark::State& state, const std::vector<unsigned char>& data)
{
    qint64 frames = 0;
    for (auto _ : state) {
        qint32 cursor = 0;
        FrameInfo info;
        while (cursor < kWindow) {
            qint32 at = 0;
            if (!Find(data.data() + cursor, kWindow - cursor, at, info))
                break;
            cursor += at + info.length;
            ++frames;
        }
        benchmark::DoNotOptimize(cursor);
    }
    state.SetBytesProcessed(qint64(state.iterations()) * kWindow);
    state.counters["frames/window"] = double(frames) / double(state.iterations());
}

const std::vector<unsigned char>& random() { static const auto d = randomData(); return d; }
const std::vector<unsigned char>& zeros() { static const auto d = zeroData(); return d; }
const std::vector<unsigned char>& dense() { static const auto d = denseFrames(); return d; }

void BM_Random(benchmark::State& s) { walk<CFragmentFit::findFrameHeader>(s, random()); }
void BM_Zeros(benchmark::State& s) { walk<CFragmentFit::findFrameHeader>(s, zeros()); }
void BM_DenseFrames(benchmark::State& s) { walk<CFragmentFit::findFrameHeader>(s, dense()); }
void BM_Random_Reference(benchmark::State& s) { walk<referenceFindFrameHeader>(s, random()); }
void BM_Zeros_Reference(benchmark::State& s) { walk<referenceFindFrameHeader>(s, zeros()); }
void BM_DenseFrames_Reference(benchmark::State& s) { walk<referenceFindFrameHeader>(s, dense()); }

void BM_Random_Portable(benchmark::State& s) { walk<FrameHeaderSearch::portable>(s, random()); }
#if defined(CORVO_HAVE_X86_SEARCH)
void BM_Random_Sse2(benchmark::State& s) { walk<FrameHeaderSearch::sse2>(s, random()); }
void BM_Zeros_Sse2(benchmark::State& s) { walk<FrameHeaderSearch::sse2>(s, zeros()); }
#endif

} // namespace

BENCHMARK(BM_Random_Portable);
#if defined(CORVO_HAVE_X86_SEARCH)
BENCHMARK(BM_Random_Sse2);
BENCHMARK(BM_Zeros_Sse2);
#endif
BENCHMARK(BM_Random);
BENCHMARK(BM_Zeros);
BENCHMARK(BM_DenseFrames);
BENCHMARK(BM_Random_Reference);
BENCHMARK(BM_Zeros_Reference);
BENCHMARK(BM_DenseFrames_Reference);
BENCHMARK_MAIN();
