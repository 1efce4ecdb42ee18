// The two checksums of a block: the weak sum that a search can roll along a file one byte at a
// time, and the MD5 whose first bytes confirm a block the weak sum only suggests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/md5.h"

// The weak sum of the `length` bytes at `data`: a = the sum of the bytes, b = the sum of
// (length - i) * byte i, both mod 2^16; the sum is a | b << 16.
uint32_t weak_sum(const unsigned char* data, size_t length);

// A weak sum rolling along a file, kept as its two halves: each step then adds once to each, and
// the next step need not wait for the two to be packed again. Both halves stay exact mod 2^16
// through the wrapping 32-bit arithmetic.
struct RollingSum {
    uint32_t a;  // the sum of the window's bytes, in its low 16 bits
    uint32_t b;  // the sum weighted by distance from the window's end, in its low 16 bits
};

inline RollingSum start_rolling_sum(uint32_t weak)
{
    return RollingSum{weak & 0xffff, weak >> 16};
}

// Moves the window one byte on: `out` leaves at its front and `in` enters at its back.
inline void roll_sum(RollingSum& sum, unsigned char out, unsigned char in, uint32_t window_length)
{
    sum.a += uint32_t(in) - uint32_t(out);
    sum.b += sum.a - window_length * out;
}

inline uint32_t rolled_weak_sum(const RollingSum& sum)
{
    return (sum.a & 0xffff) | (sum.b << 16);
}

// The MD5 of the `length` bytes at `data`; a block map keeps its first bytes as the strong sum.
void strong_sum(const unsigned char* data, uint32_t length, unsigned char (&digest)[md5_digest_length]);
