#include "image/sha256.h"

#include <cstring>

#if defined(_M_X64) || defined(__x86_64__) || defined(_M_IX86) || defined(__i386__)
#define KORVANE_SHA_ROUNDS 1
#include <immintrin.h>
#ifdef _MSC_VER
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

#if defined(KORVANE_SHA_ROUNDS) && defined(__GNUC__)
#define KORVANE_TARGET_SHA __attribute__((target("sha,sse4.1")))
#else
#define KORVANE_TARGET_SHA
#endif

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t Rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

inline uint32_t LoadBigEndian(const BYTE* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void CompressPortable(uint32_t state[8], const BYTE* data, size_t blocks)
{
    for (; blocks != 0; --blocks, data += 64) {
        uint32_t w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = LoadBigEndian(data + 4 * t);
        for (int t = 16; t < 64; ++t) {
            const uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const uint32_t t1 =
                h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRoundConstants[t] + w[t];
            const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef KORVANE_SHA_ROUNDS
#if defined(__GNUC__)
#define KORVANE_INLINE inline __attribute__((always_inline))
#else
#define KORVANE_INLINE __forceinline
#endif

// Four rounds of the processor's SHA instructions (two per instruction) on the
// schedule words w[g & 3], and the schedule's next step. Inlined with a constant
// `g`, so that the words stay in registers.
KORVANE_TARGET_SHA KORVANE_INLINE void FourRounds(int g, __m128i& abef, __m128i& cdgh, __m128i w[4])
{
    const __m128i current = w[g & 3];
    __m128i message =
        _mm_add_epi32(current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * g)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
    if (g >= 3 && g <= 14) {
        // The next four words of the schedule, from the last sixteen.
        const __m128i shifted = _mm_alignr_epi8(current, w[(g - 1) & 3], 4);
        w[(g + 1) & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(w[(g + 1) & 3], shifted), current);
    }
    message = _mm_shuffle_epi32(message, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    if (g >= 1 && g <= 12)
        w[(g - 1) & 3] = _mm_sha256msg1_epu32(w[(g - 1) & 3], current);
}

// The state is kept as the instructions want it, ABEF and CDGH.
KORVANE_TARGET_SHA void CompressWithShaRounds(uint32_t state[8], const BYTE* data, size_t blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    abcd = _mm_shuffle_epi32(abcd, 0xB1);             // CDAB
    efgh = _mm_shuffle_epi32(efgh, 0x1B);             // EFGH
    __m128i abef = _mm_alignr_epi8(abcd, efgh, 8);    // ABEF
    __m128i cdgh = _mm_blend_epi16(efgh, abcd, 0xF0); // CDGH
    for (; blocks != 0; --blocks, data += 64) {
        const __m128i abefSaved = abef;
        const __m128i cdghSaved = cdgh;
        __m128i w[4];
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
        FourRounds(0, abef, cdgh, w);
        FourRounds(1, abef, cdgh, w);
        FourRounds(2, abef, cdgh, w);
        FourRounds(3, abef, cdgh, w);
        FourRounds(4, abef, cdgh, w);
        FourRounds(5, abef, cdgh, w);
        FourRounds(6, abef, cdgh, w);
        FourRounds(7, abef, cdgh, w);
        FourRounds(8, abef, cdgh, w);
        FourRounds(9, abef, cdgh, w);
        FourRounds(10, abef, cdgh, w);
        FourRounds(11, abef, cdgh, w);
        FourRounds(12, abef, cdgh, w);
        FourRounds(13, abef, cdgh, w);
        FourRounds(14, abef, cdgh, w);
        FourRounds(15, abef, cdgh, w);
        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));  // DCBA
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8)); // HGFE
}

bool AskProcessorForShaRounds()
{
#if defined(_M_IX86) || defined(__i386__)
    // The 32-bit build also runs where the system doesn't keep the SSE registers.
    if (!IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE))
        return false;
#endif
    unsigned int basic[4] = {}, extended[4] = {};
#ifdef _MSC_VER
    int regs[4] = {};
    __cpuid(regs, 0);
    if (regs[0] < 7)
        return false;
    __cpuid(regs, 1);
    basic[2] = static_cast<unsigned int>(regs[2]);
    __cpuidex(regs, 7, 0);
    extended[1] = static_cast<unsigned int>(regs[1]);
#else
    if (__get_cpuid_max(0, nullptr) < 7 || !__get_cpuid(1, &basic[0], &basic[1], &basic[2], &basic[3]))
        return false;
    __cpuid_count(7, 0, extended[0], extended[1], extended[2], extended[3]);
#endif
    const bool ssse3 = (basic[2] & (1u << 9)) != 0;
    const bool sse41 = (basic[2] & (1u << 19)) != 0;
    const bool sha = (extended[1] & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}
#endif

void Compress(Sha256& hash, const BYTE* data, size_t blocks)
{
#ifdef KORVANE_SHA_ROUNDS
    if (!hash.portable && Sha256HasProcessorRounds()) {
        CompressWithShaRounds(hash.state, data, blocks);
        return;
    }
#endif
    CompressPortable(hash.state, data, blocks);
}

} // namespace

bool Sha256HasProcessorRounds()
{
#ifdef KORVANE_SHA_ROUNDS
    // Asked once; a race between two first calls gives both the same answer.
    static const bool has = AskProcessorForShaRounds();
    return has;
#else
    return false;
#endif
}

void Sha256Init(Sha256& hash, bool portable)
{
    std::memcpy(hash.state, kInitialState, sizeof(hash.state));
    hash.length = 0;
    hash.pendingSize = 0;
    hash.portable = portable;
}

void Sha256Update(Sha256& hash, const BYTE* data, size_t size)
{
    hash.length += size;
    if (hash.pendingSize != 0) {
        const size_t take = size < 64 - hash.pendingSize ? size : 64 - hash.pendingSize;
        std::memcpy(hash.pending + hash.pendingSize, data, take);
        hash.pendingSize += take;
        data += take;
        size -= take;
        if (hash.pendingSize < 64)
            return;
        Compress(hash, hash.pending, 1);
        hash.pendingSize = 0;
    }
    const size_t blocks = size / 64;
    if (blocks != 0)
        Compress(hash, data, blocks);
    data += blocks * 64;
    size -= blocks * 64;
    std::memcpy(hash.pending, data, size);
    hash.pendingSize = size;
}

void Sha256Final(Sha256& hash, BYTE digest[kSha256Size])
{
    const uint64_t bits = hash.length * 8;
    BYTE tail[128] = {};
    std::memcpy(tail, hash.pending, hash.pendingSize);
    tail[hash.pendingSize] = 0x80;
    // The length takes the last 8 bytes of the last block.
    const size_t total = hash.pendingSize + 1 + 8 <= 64 ? 64 : 128;
    for (int i = 0; i < 8; ++i)
        tail[total - 1 - i] = static_cast<BYTE>(bits >> (8 * i));
    Compress(hash, tail, total / 64);
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<BYTE>(hash.state[i] >> 24);
        digest[4 * i + 1] = static_cast<BYTE>(hash.state[i] >> 16);
        digest[4 * i + 2] = static_cast<BYTE>(hash.state[i] >> 8);
        digest[4 * i + 3] = static_cast<BYTE>(hash.state[i]);
    }
}

std::wstring DigestHex(const BYTE digest[kSha256Size])
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (size_t i = 0; i < kSha256Size; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 15];
    }
    return text;
}
