// The incremental MD5 digest of RFC 1321 that names file contents in the list, the cache and
// the download check; written for speed because every byte of every update passes through it.
#include "digest/md5.h"

#include <cstring>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "md5_blocks loads message words with memcpy and needs a little-endian target"
#endif

static const uint32_t block_size = 64;
static const uint32_t length_offset = 56;  // where the bit count starts in the last block

static inline uint32_t rotate_left(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

// MD5 is bound by the chain of steps, each needing the word the step before it made (b). So
// every step first adds what does not depend on b (the message word, the constant, the parts of
// the auxiliary function built from older words) and meets b as late as it can.
static inline void step_f(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t k, int s)
{
    a += x + k;
    a += d ^ (b & (c ^ d));
    a = rotate_left(a, s) + b;
}

// G(b, c, d) = (b & d) | (c & ~d); the two halves never share a bit, so they may be added apart.
static inline void step_g(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t k, int s)
{
    a += x + k;
    a += c & ~d;
    a += b & d;
    a = rotate_left(a, s) + b;
}

// Grouping c ^ d first leaves b one xor from the sum; measured faster than sharing b ^ c
// between neighbouring steps, which leaves it two.
static inline void step_h(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t k, int s)
{
    a += x + k;
    a += b ^ (c ^ d);
    a = rotate_left(a, s) + b;
}

static inline void step_i(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t k, int s)
{
    a += x + k;
    a += c ^ (b | ~d);
    a = rotate_left(a, s) + b;
}

// Runs the block transform over `count` consecutive 64-byte blocks, keeping the chaining words
// in locals between blocks.
static void md5_blocks(uint32_t state[4], const unsigned char* data, size_t count)
{
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];
    for (; count != 0; --count, data += block_size) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) {
            std::memcpy(&x[i], data + 4 * i, sizeof x[i]);
        }
        const uint32_t a0 = a;
        const uint32_t b0 = b;
        const uint32_t c0 = c;
        const uint32_t d0 = d;

        step_f(a, b, c, d, x[0], 0xd76aa478, 7);
        step_f(d, a, b, c, x[1], 0xe8c7b756, 12);
        step_f(c, d, a, b, x[2], 0x242070db, 17);
        step_f(b, c, d, a, x[3], 0xc1bdceee, 22);
        step_f(a, b, c, d, x[4], 0xf57c0faf, 7);
        step_f(d, a, b, c, x[5], 0x4787c62a, 12);
        step_f(c, d, a, b, x[6], 0xa8304613, 17);
        step_f(b, c, d, a, x[7], 0xfd469501, 22);
        step_f(a, b, c, d, x[8], 0x698098d8, 7);
        step_f(d, a, b, c, x[9], 0x8b44f7af, 12);
        step_f(c, d, a, b, x[10], 0xffff5bb1, 17);
        step_f(b, c, d, a, x[11], 0x895cd7be, 22);
        step_f(a, b, c, d, x[12], 0x6b901122, 7);
        step_f(d, a, b, c, x[13], 0xfd987193, 12);
        step_f(c, d, a, b, x[14], 0xa679438e, 17);
        step_f(b, c, d, a, x[15], 0x49b40821, 22);

        step_g(a, b, c, d, x[1], 0xf61e2562, 5);
        step_g(d, a, b, c, x[6], 0xc040b340, 9);
        step_g(c, d, a, b, x[11], 0x265e5a51, 14);
        step_g(b, c, d, a, x[0], 0xe9b6c7aa, 20);
        step_g(a, b, c, d, x[5], 0xd62f105d, 5);
        step_g(d, a, b, c, x[10], 0x02441453, 9);
        step_g(c, d, a, b, x[15], 0xd8a1e681, 14);
        step_g(b, c, d, a, x[4], 0xe7d3fbc8, 20);
        step_g(a, b, c, d, x[9], 0x21e1cde6, 5);
        step_g(d, a, b, c, x[14], 0xc33707d6, 9);
        step_g(c, d, a, b, x[3], 0xf4d50d87, 14);
        step_g(b, c, d, a, x[8], 0x455a14ed, 20);
        step_g(a, b, c, d, x[13], 0xa9e3e905, 5);
        step_g(d, a, b, c, x[2], 0xfcefa3f8, 9);
        step_g(c, d, a, b, x[7], 0x676f02d9, 14);
        step_g(b, c, d, a, x[12], 0x8d2a4c8a, 20);

        step_h(a, b, c, d, x[5], 0xfffa3942, 4);
        step_h(d, a, b, c, x[8], 0x8771f681, 11);
        step_h(c, d, a, b, x[11], 0x6d9d6122, 16);
        step_h(b, c, d, a, x[14], 0xfde5380c, 23);
        step_h(a, b, c, d, x[1], 0xa4beea44, 4);
        step_h(d, a, b, c, x[4], 0x4bdecfa9, 11);
        step_h(c, d, a, b, x[7], 0xf6bb4b60, 16);
        step_h(b, c, d, a, x[10], 0xbebfbc70, 23);
        step_h(a, b, c, d, x[13], 0x289b7ec6, 4);
        step_h(d, a, b, c, x[0], 0xeaa127fa, 11);
        step_h(c, d, a, b, x[3], 0xd4ef3085, 16);
        step_h(b, c, d, a, x[6], 0x04881d05, 23);
        step_h(a, b, c, d, x[9], 0xd9d4d039, 4);
        step_h(d, a, b, c, x[12], 0xe6db99e5, 11);
        step_h(c, d, a, b, x[15], 0x1fa27cf8, 16);
        step_h(b, c, d, a, x[2], 0xc4ac5665, 23);

        step_i(a, b, c, d, x[0], 0xf4292244, 6);
        step_i(d, a, b, c, x[7], 0x432aff97, 10);
        step_i(c, d, a, b, x[14], 0xab9423a7, 15);
        step_i(b, c, d, a, x[5], 0xfc93a039, 21);
        step_i(a, b, c, d, x[12], 0x655b59c3, 6);
        step_i(d, a, b, c, x[3], 0x8f0ccc92, 10);
        step_i(c, d, a, b, x[10], 0xffeff47d, 15);
        step_i(b, c, d, a, x[1], 0x85845dd1, 21);
        step_i(a, b, c, d, x[8], 0x6fa87e4f, 6);
        step_i(d, a, b, c, x[15], 0xfe2ce6e0, 10);
        step_i(c, d, a, b, x[6], 0xa3014314, 15);
        step_i(b, c, d, a, x[13], 0x4e0811a1, 21);
        step_i(a, b, c, d, x[4], 0xf7537e82, 6);
        step_i(d, a, b, c, x[11], 0xbd3af235, 10);
        step_i(c, d, a, b, x[2], 0x2ad7d2bb, 15);
        step_i(b, c, d, a, x[9], 0xeb86d391, 21);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

void md5_init(Md5Context& ctx)
{
    ctx.state[0] = 0x67452301;
    ctx.state[1] = 0xefcdab89;
    ctx.state[2] = 0x98badcfe;
    ctx.state[3] = 0x10325476;
    ctx.count_lo = 0;
    ctx.count_hi = 0;
    ctx.fill = 0;
}

void md5_update(Md5Context& ctx, const void* data, uint32_t length)
{
    ctx.count_lo += length;
    if (ctx.count_lo < length) {
        ++ctx.count_hi;
    }
    if (length == 0) {
        return;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    if (ctx.fill != 0) {
        uint32_t take = block_size - ctx.fill;
        if (take > length) {
            take = length;
        }
        std::memcpy(ctx.buffer + ctx.fill, bytes, take);
        ctx.fill += take;
        bytes += take;
        length -= take;
        if (ctx.fill < block_size) {
            return;
        }
        md5_blocks(ctx.state, ctx.buffer, 1);
        ctx.fill = 0;
    }
    // Whole blocks are hashed where they lie; copying them through `buffer` first would give
    // the same digest at a cost on every byte.
    uint32_t whole_blocks = length / block_size;
    if (whole_blocks != 0) {
        md5_blocks(ctx.state, bytes, whole_blocks);
        bytes += whole_blocks * block_size;
        length -= whole_blocks * block_size;
    }
    if (length != 0) {
        std::memcpy(ctx.buffer, bytes, length);
        ctx.fill = length;
    }
}

void md5_final_bytes(Md5Context& ctx, unsigned char (&digest)[md5_digest_length])
{
    uint64_t bit_count = ((static_cast<uint64_t>(ctx.count_hi) << 32) | ctx.count_lo) * 8;

    // 0x80, then zeros until the block holds 56 bytes, then the bit count, low byte first.
    unsigned char padding[block_size + length_offset] = {0x80};
    uint32_t padding_length = ctx.fill < length_offset ? length_offset - ctx.fill
                                                       : block_size + length_offset - ctx.fill;
    md5_update(ctx, padding, padding_length);
    unsigned char length_bytes[8];
    for (int i = 0; i < 8; ++i) {
        length_bytes[i] = static_cast<unsigned char>(bit_count >> (8 * i));
    }
    md5_update(ctx, length_bytes, sizeof length_bytes);

    size_t at = 0;
    for (uint32_t word : ctx.state) {
        for (int i = 0; i < 4; ++i) {
            digest[at++] = static_cast<unsigned char>(word >> (8 * i));
        }
    }
}

std::string md5_final(Md5Context& ctx)
{
    unsigned char digest[md5_digest_length];
    md5_final_bytes(ctx, digest);
    static const char hex_digits[] = "0123456789abcdef";
    std::string text(2 * md5_digest_length, '0');
    size_t at = 0;
    for (unsigned char byte : digest) {
        text[at++] = hex_digits[byte >> 4];
        text[at++] = hex_digits[byte & 0x0f];
    }
    return text;
}
