// Reading of the unsigned decimal numbers in the update list and the digest cache file.
#pragma once

#include <cstddef>
#include <cstdint>

// The number at the start of [begin, end), read as msvcrt's _strtoui64 in base 10 reads it:
// leading white space skipped, optional sign, digits up to the first non-digit. Never fails:
// no digits give 0, a minus sign negates modulo 2^64, a value past the range gives 2^64 - 1.
uint64_t read_unsigned_decimal(const char* begin, const char* end);

// Reads a number that decides something (a release's "Sequence", a size that must be exact):
// decimal digits and nothing else, at least one, at most 2^64 - 1. Such a number is never guessed
// at: no blanks, no sign, no wrapping. False, with `value` untouched, otherwise.
bool read_decimal_digits(const char* digits, size_t length, uint64_t& value);
