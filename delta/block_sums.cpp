// The weak and strong sums of blocks. The weak sum runs over every block of every file that
// make_manifest maps and over every block a search compares at its own offset, so it is written
// to cost a small part of what the MD5 beside it costs.
#include "delta/block_sums.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Bytes summed per step: within a chunk every byte has a fixed weight, and across chunks the
// bytes before count once more per byte after them.
static const size_t chunk_length = 16;

#if defined(__SSE2__)
// SSE2 lanes: the byte sums come from one psadbw, the weights of a chunk's bytes from two
// pmaddwd. The 32-bit lanes wrap, which leaves the low 16 bits exact.
static size_t sum_chunks(const unsigned char* data, size_t length, uint32_t& a, uint32_t& b)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i low_weights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i high_weights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    __m128i sums = zero;      // bytes so far, in lanes 0 and 2
    __m128i earlier = zero;   // the byte sums before each chunk, added once per chunk
    __m128i weighted = zero;  // each chunk's bytes by their weight within the chunk
    size_t done = 0;
    for (; done + chunk_length <= length; done += chunk_length) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + done));
        earlier = _mm_add_epi32(earlier, sums);
        sums = _mm_add_epi32(sums, _mm_sad_epu8(bytes, zero));
        __m128i low = _mm_madd_epi16(_mm_unpacklo_epi8(bytes, zero), low_weights);
        __m128i high = _mm_madd_epi16(_mm_unpackhi_epi8(bytes, zero), high_weights);
        weighted = _mm_add_epi32(weighted, _mm_add_epi32(low, high));
    }
    uint32_t sum_lanes[4];
    uint32_t earlier_lanes[4];
    uint32_t weighted_lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sum_lanes), sums);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(earlier_lanes), earlier);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(weighted_lanes), weighted);
    a = sum_lanes[0] + sum_lanes[2];
    b = static_cast<uint32_t>(chunk_length) * (earlier_lanes[0] + earlier_lanes[2]) + weighted_lanes[0] +
        weighted_lanes[1] + weighted_lanes[2] + weighted_lanes[3];
    return done;
}
#else
// Without SSE2 (the 32-bit Windows build): each chunk's fixed weights unroll into independent
// adds, which the loop of "a += byte; b += a" would chain one after another.
static size_t sum_chunks(const unsigned char* data, size_t length, uint32_t& a, uint32_t& b)
{
    a = 0;
    b = 0;
    size_t done = 0;
    for (; done + chunk_length <= length; done += chunk_length) {
        uint32_t sum = 0;
        uint32_t weighted = 0;
        for (size_t i = 0; i < chunk_length; ++i) {
            sum += data[done + i];
            weighted += static_cast<uint32_t>(chunk_length - i) * data[done + i];
        }
        b += static_cast<uint32_t>(chunk_length) * a + weighted;
        a += sum;
    }
    return done;
}
#endif

uint32_t weak_sum(const unsigned char* data, size_t length)
{
    uint32_t a = 0;
    uint32_t b = 0;
    size_t done = sum_chunks(data, length, a, b);
    for (; done < length; ++done) {
        a += data[done];
        b += a;
    }
    return (a & 0xffff) | (b << 16);
}

void strong_sum(const unsigned char* data, uint32_t length, unsigned char (&digest)[md5_digest_length])
{
    Md5Context context;
    md5_init(context);
    md5_update(context, data, length);
    md5_final_bytes(context, digest);
}
