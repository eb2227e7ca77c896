// FIPS 180-4's SHA-256, written out plainly: the program depends on
// nothing beyond the standard library. Where the processor has the SHA
// extensions (x86-64), they do the rounds: a run hashes its whole file,
// and the plain rounds take four times as long as the stream itself into a
// card in RAM.
#include "run/sha256.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t Rotate(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void Compress(uint32_t state[8], const uint8_t block[64])
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) +
                            ROUND_CONSTANTS[i] + w[i];
        const uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
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

#if defined(__x86_64__)

bool HasShaInstructions()
{
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_SSSE3) == 0 || (c & bit_SSE4_1) == 0)
        return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_SHA) != 0;
}

// The state lives in two registers as the instructions want it: ABEF and
// CDGH, A in the highest lane. Each sha256rnds2 does two rounds, taking
// the two message words plus constants from the low half of its third
// operand; sha256msg1 and sha256msg2 extend the message four words at a
// time.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithInstructions(
    uint32_t state[8], const uint8_t* blocks, std::size_t count)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; count > 0; --count, blocks += 64) {
        const __m128i savedAbef = abef, savedCdgh = cdgh;
        __m128i w[4];
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), byteSwap);
        for (int group = 0; group < 16; ++group) {
            __m128i& words = w[group % 4];
            if (group >= 4) {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
                const __m128i& last = w[(group + 3) % 4];
                const __m128i sevenBack = _mm_alignr_epi8(last, w[(group + 2) % 4], 4);
                words = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(words, w[(group + 1) % 4]), sevenBack), last);
            }
            __m128i sum = _mm_add_epi32(
                words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(ROUND_CONSTANTS + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, sum);
            sum = _mm_shuffle_epi32(sum, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, sum);
        }
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#else

bool HasShaInstructions()
{
    return false;
}

void CompressWithInstructions(uint32_t*, const uint8_t*, std::size_t) {}

#endif

void CompressBlocks(Sha256* hash, const uint8_t* blocks, std::size_t count)
{
    if (hash->Hardware) {
        CompressWithInstructions(hash->State, blocks, count);
        return;
    }
    for (; count > 0; --count, blocks += 64)
        Compress(hash->State, blocks);
}

}  // namespace

void Sha256Start(Sha256* hash)
{
    static const uint32_t INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(hash->State, INITIAL, sizeof INITIAL);
    hash->Length = 0;
    hash->PendingCount = 0;
    static const bool hardware = HasShaInstructions();
    hash->Hardware = hardware;
}

void Sha256Add(Sha256* hash, const uint8_t* bytes, std::size_t count)
{
    hash->Length += count;
    if (hash->PendingCount > 0) {
        const std::size_t take = std::min(count, sizeof hash->Pending - hash->PendingCount);
        std::memcpy(hash->Pending + hash->PendingCount, bytes, take);
        hash->PendingCount += take;
        bytes += take;
        count -= take;
        if (hash->PendingCount < sizeof hash->Pending)
            return;
        CompressBlocks(hash, hash->Pending, 1);
        hash->PendingCount = 0;
    }
    const std::size_t whole = count / 64;
    CompressBlocks(hash, bytes, whole);
    bytes += 64 * whole;
    count -= 64 * whole;
    std::memcpy(hash->Pending, bytes, count);
    hash->PendingCount = count;
}

std::string Sha256Finish(Sha256* hash)
{
    const uint64_t bits = hash->Length * 8;
    uint8_t padding[72] = {0x80};
    const std::size_t zeros = (hash->PendingCount < 56 ? 56 : 120) - hash->PendingCount;
    for (int i = 0; i < 8; ++i)
        padding[zeros + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Sha256Add(hash, padding, zeros + 8);
    char text[65];
    for (int i = 0; i < 8; ++i)
        std::snprintf(text + 8 * i, 9, "%08x", static_cast<unsigned>(hash->State[i]));
    return std::string(text, 64);
}
