// Incremental MD5 digest (RFC 1321) with a 32-digit lower-case text result.
#pragma once

#include <cstdint>
#include <string>

const uint32_t md5_digest_length = 16;

struct Md5Context {
    uint32_t state[4];       // chaining words A, B, C, D
    uint32_t count_lo;       // low word of the byte count fed so far
    uint32_t count_hi;       // high word of the byte count
    unsigned char buffer[64];  // the block being filled
    uint32_t fill;           // bytes held in buffer, 0..63 between calls
};

void md5_init(Md5Context& ctx);
void md5_update(Md5Context& ctx, const void* data, uint32_t length);
// Completes the message into its 16 bytes; the context is used up afterwards.
void md5_final_bytes(Md5Context& ctx, unsigned char (&digest)[md5_digest_length]);
// Completes the message into 32 lower-case hex digits; the context is used up afterwards.
std::string md5_final(Md5Context& ctx);
