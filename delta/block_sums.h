// The two checksums of a block: the weak sum that a search can roll along a file one byte at a
// time, and the MD5 whose first bytes confirm a block the weak sum only suggests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/md5.h"

// The weak sum of the `length` bytes at `data`: a = the sum of the bytes, b = the sum of
// (length - i) * byte i, both mod 2^16; the sum is a | b << 16.
uint32_t weak_sum(const unsigned char* data, size_t length);

// The weak sum of the window one byte further on: `out` leaves at its front and `in` enters at
// its back. Both halves stay exact mod 2^16 through the wrapping 32-bit arithmetic.
inline uint32_t roll_weak_sum(uint32_t weak, unsigned char out, unsigned char in, uint32_t window_length)
{
    uint32_t a = (weak & 0xffff) - out + in;
    uint32_t b = (weak >> 16) - window_length * out + a;
    return (a & 0xffff) | (b << 16);
}

// The MD5 of the `length` bytes at `data`; a block map keeps its first bytes as the strong sum.
void strong_sum(const unsigned char* data, uint32_t length, unsigned char (&digest)[md5_digest_length]);
