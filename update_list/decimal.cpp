// The one decimal reader of the core, so that list sizes and cache numbers agree on every build.
#include "update_list/decimal.h"

// White space as isspace sees it in the C locale; bytes of 0x80 and above are never space.
static bool is_c_space(unsigned char byte)
{
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

uint64_t read_unsigned_decimal(const char* begin, const char* end)
{
    const char* at = begin;
    while (at != end && is_c_space(static_cast<unsigned char>(*at))) {
        ++at;
    }
    bool negative = false;
    if (at != end && (*at == '+' || *at == '-')) {
        negative = *at == '-';
        ++at;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; at != end && *at >= '0' && *at <= '9'; ++at) {
        uint64_t digit = static_cast<uint64_t>(*at - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            overflow = true;
        } else {
            value = value * 10 + digit;
        }
    }
    // msvcrt reports an overflow as the largest value before it looks at the sign, so "-"
    // followed by a number past the range still gives 2^64 - 1, not its negation.
    if (overflow) {
        return UINT64_MAX;
    }
    return negative ? 0 - value : value;
}

bool read_decimal_digits(const char* digits, size_t length, uint64_t& value)
{
    if (length == 0) {
        return false;
    }
    uint64_t number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(digits[i] - '0');
        if (number > (UINT64_MAX - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    value = number;
    return true;
}
