// Reading of the unsigned decimal numbers in the update list and the digest cache file.
#pragma once

#include <cstdint>

// The number at the start of [begin, end), read as msvcrt's _strtoui64 in base 10 reads it:
// leading white space skipped, optional sign, digits up to the first non-digit. Never fails:
// no digits give 0, a minus sign negates modulo 2^64, a value past the range gives 2^64 - 1.
uint64_t read_unsigned_decimal(const char* begin, const char* end);
