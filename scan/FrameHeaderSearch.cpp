#include "scan/FrameHeaderSearch.h"

#include "tools/tklframe/TklFrame.h"

#include <cstring>
#if defined(CORVO_HAVE_X86_SEARCH)
#include <immintrin.h>
#endif

namespace {

// The 8-byte header test at p (bytes p[0..7] must be readable).
inline bool headerAt(const unsigned char* p, FrameInfo& info)
{
    if (!tklframe::hasStartAndVariant(p))
        return false;
    // A length of 0 is refused after the time and stream are cleared.
    info.time = 0;
    info.stream = 0;
    std::size_t length = 0;
    if (!tklframe::parseHeader(p, &length))
        return false;
    info.length = qint32(length);
    return true;
}

// Positions i .. limit - 1 one by one.
inline bool scalarFrom(const unsigned char* window, qint32 i, qint32 limit, qint32& foundAt, FrameInfo& info)
{
    for (; i < limit; ++i) {
        const unsigned char* p = window + i;
        if (p[3] == 0xB7 && p[2] == 0x01 && headerAt(p, info)) {
            foundAt = i;
            return true;
        }
    }
    foundAt = limit;
    return false;
}

// Candidates of one block: bit k set where start i + k has 01 B7 at +2.
inline bool checkBits(const unsigned char* window, qint32 i, quint64 bits, qint32& foundAt, FrameInfo& info)
{
    while (bits) {
        const int k = __builtin_ctzll(bits);
        if (headerAt(window + i + k, info)) {
            foundAt = i + k;
            return true;
        }
        bits &= bits - 1;
    }
    return false;
}

} // namespace

namespace FrameHeaderSearch {

// Header starts examined are 0 .. n - 4 (limit = n - 3); each test reads 8
// bytes, so up to 4 past the window. The vector loops stop early enough that
// their loads stay inside the window; the scalar tail does the rest.

bool portable(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info)
{
    if (n < 4) {
        foundAt = 0;
        return false;
    }
    const qint32 limit = n - 3;
    qint32 i = 0;
    while (i < limit) {
        const void* hit = std::memchr(window + i + 3, 0xB7, size_t(limit - i));
        if (!hit)
            break;
        const qint32 at = qint32(static_cast<const unsigned char*>(hit) - window) - 3;
        if (headerAt(window + at, info)) {
            foundAt = at;
            return true;
        }
        i = at + 1;
    }
    foundAt = limit;
    return false;
}

#if defined(CORVO_HAVE_X86_SEARCH)

bool sse2(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info)
{
    if (n < 4) {
        foundAt = 0;
        return false;
    }
    const qint32 limit = n - 3;
    // Frames back to back: the next header is usually right here.
    if (headerAt(window, info)) {
        foundAt = 0;
        return true;
    }
    qint32 i = 0;
    const __m128i one = _mm_set1_epi8(0x01);
    const __m128i b7 = _mm_set1_epi8(char(0xB7));
    // Starts i .. i + 63 per step; loads reach byte i + 66 < n.
    while (i + 64 <= limit) {
        const unsigned char* p = window + i + 2;
        const auto pair = [&](int o) {
            return _mm_and_si128(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + o)), one),
                                 _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + o + 1)), b7));
        };
        const __m128i m0 = pair(0), m1 = pair(16), m2 = pair(32), m3 = pair(48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3)))) {
            const quint64 bits = quint64(unsigned(_mm_movemask_epi8(m0))) | quint64(unsigned(_mm_movemask_epi8(m1))) << 16
                | quint64(unsigned(_mm_movemask_epi8(m2))) << 32 | quint64(unsigned(_mm_movemask_epi8(m3))) << 48;
            if (checkBits(window, i, bits, foundAt, info))
                return true;
        }
        i += 64;
    }
    return scalarFrom(window, i, limit, foundAt, info);
}

__attribute__((target("avx2"))) bool avx2(const unsigned char* window, qint32 n, qint32& foundAt, FrameInfo& info)
{
    if (n < 4) {
        foundAt = 0;
        return false;
    }
    const qint32 limit = n - 3;
    if (headerAt(window, info)) {
        foundAt = 0;
        return true;
    }
    qint32 i = 0;
    const __m256i one = _mm256_set1_epi8(0x01);
    const __m256i b7 = _mm256_set1_epi8(char(0xB7));
    // Starts i .. i + 127 per step; loads reach byte i + 130 < n.
    while (i + 128 <= limit) {
        const unsigned char* p = window + i + 2;
// (a macro: a lambda would not inherit the avx2 target)
#define CORVO_PAIR256(o)                                                                              \
    _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + (o))), one), \
                     _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + (o) + 1)), b7))
        const __m256i m0 = CORVO_PAIR256(0), m1 = CORVO_PAIR256(32), m2 = CORVO_PAIR256(64), m3 = CORVO_PAIR256(96);
#undef CORVO_PAIR256
        const __m256i any = _mm256_or_si256(_mm256_or_si256(m0, m1), _mm256_or_si256(m2, m3));
        if (!_mm256_testz_si256(any, any)) {
            const quint64 lo = quint64(unsigned(_mm256_movemask_epi8(m0))) | quint64(unsigned(_mm256_movemask_epi8(m1))) << 32;
            if (checkBits(window, i, lo, foundAt, info))
                return true;
            const quint64 hi = quint64(unsigned(_mm256_movemask_epi8(m2))) | quint64(unsigned(_mm256_movemask_epi8(m3))) << 32;
            if (checkBits(window, i + 64, hi, foundAt, info))
                return true;
        }
        i += 128;
    }
    return scalarFrom(window, i, limit, foundAt, info);
}

bool avx2Supported()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

Search best()
{
    static const Search chosen = avx2Supported() ? &avx2 : &sse2;
    return chosen;
}

#else

Search best() { return &portable; }

#endif

} // namespace FrameHeaderSearch
