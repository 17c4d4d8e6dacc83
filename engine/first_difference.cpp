#include "engine/first_difference.h"

#include <cstdint>
#include <cstring>

#if defined(_M_X64) || defined(__x86_64__)
#include <emmintrin.h>
#define KORVANE_SSE2 1
#define KORVANE_SSE2_ALWAYS 1
#elif defined(_M_IX86) || defined(__i386__)
#include <emmintrin.h>
#define KORVANE_SSE2 1
#endif

#if defined(KORVANE_SSE2) && defined(__GNUC__)
#define KORVANE_TARGET_SSE2 __attribute__((target("sse2")))
#else
#define KORVANE_TARGET_SSE2
#endif

namespace {

size_t FirstDifferingByte(const BYTE* a, const BYTE* b, size_t at, size_t length)
{
    while (at < length && a[at] == b[at])
        ++at;
    return at;
}

#ifdef KORVANE_SSE2
// 64 bytes a step, one branch per step; the step that differs is searched byte by byte.
KORVANE_TARGET_SSE2 size_t FirstDifferenceSse2(const BYTE* a, const BYTE* b, size_t length)
{
    size_t at = 0;
    for (; at + 64 <= length; at += 64) {
        const __m128i* x = reinterpret_cast<const __m128i*>(a + at);
        const __m128i* y = reinterpret_cast<const __m128i*>(b + at);
        const __m128i e0 = _mm_cmpeq_epi8(_mm_loadu_si128(x), _mm_loadu_si128(y));
        const __m128i e1 = _mm_cmpeq_epi8(_mm_loadu_si128(x + 1), _mm_loadu_si128(y + 1));
        const __m128i e2 = _mm_cmpeq_epi8(_mm_loadu_si128(x + 2), _mm_loadu_si128(y + 2));
        const __m128i e3 = _mm_cmpeq_epi8(_mm_loadu_si128(x + 3), _mm_loadu_si128(y + 3));
        const __m128i equal = _mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3));
        if (_mm_movemask_epi8(equal) != 0xFFFF)
            break;
    }
    return FirstDifferingByte(a, b, at, length);
}

bool HasSse2()
{
#ifdef KORVANE_SSE2_ALWAYS
    return true;
#else
    return IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != FALSE;
#endif
}
#endif

} // namespace

size_t FirstDifferenceByWords(const BYTE* a, const BYTE* b, size_t length)
{
    const size_t kBlock = 8 * sizeof(uintptr_t);
    size_t at = 0;
    for (; at + kBlock <= length; at += kBlock) {
        uintptr_t differs = 0;
        for (size_t k = 0; k < kBlock; k += sizeof(uintptr_t)) {
            uintptr_t x, y;
            memcpy(&x, a + at + k, sizeof(x));
            memcpy(&y, b + at + k, sizeof(y));
            differs |= x ^ y;
        }
        if (differs != 0)
            break;
    }
    return FirstDifferingByte(a, b, at, length);
}

size_t FirstDifference(const BYTE* a, const BYTE* b, size_t length)
{
#ifdef KORVANE_SSE2
    if (HasSse2())
        return FirstDifferenceSse2(a, b, length);
#endif
    return FirstDifferenceByWords(a, b, length);
}
