// The size text of the status and progress lines ("%.0f KB" or "%.1f MB").
#include "transfer/size_text.h"

static const uint64_t largest_kb_count = 0xfffff;  // 1 MiB - 1: the last count shown in KB
static const int kb_shift = 10;
static const int mb_shift = 20;
static const int double_mantissa_bits = 53;

// `value` / 2^shift rounded to the nearest integer, a tie going to the even neighbour: what
// IEEE conversions do, and what glibc's printf does with the exact binary value of a double.
static uint64_t shift_right_rounded(uint64_t value, int shift)
{
    uint64_t quotient = value >> shift;
    uint64_t remainder = value & ((uint64_t(1) << shift) - 1);
    uint64_t half = uint64_t(1) << (shift - 1);
    if (remainder > half || (remainder == half && (quotient & 1) != 0)) {
        ++quotient;
    }
    return quotient;
}

static int bit_length(uint64_t value)
{
    int length = 0;
    for (; value != 0; value >>= 1) {
        ++length;
    }
    return length;
}

// The text is rounded here in integers rather than by printf: msvcrt's printf rounds exact ties
// (512 bytes is exactly 0.5 KB) away from zero where glibc and MinGW's own printf round to even,
// and the 32-bit build may convert through x87 registers; the launcher must show the same text
// whichever runtime and floating-point unit it is built for.
std::string format_size(uint64_t bytes)
{
    if (bytes <= largest_kb_count) {
        return std::to_string(shift_right_rounded(bytes, kb_shift)) + " KB";
    }
    // bytes / 1048576.0 as a double: the count rounded to 53 significant bits, then scaled by
    // 2^-20 exactly; from there the tenths of a MB are rounded once more.
    int dropped_bits = bit_length(bytes) - double_mantissa_bits;
    uint64_t mantissa = bytes;
    if (dropped_bits > 0) {
        mantissa = shift_right_rounded(bytes, dropped_bits);
    } else {
        dropped_bits = 0;
    }
    uint64_t tenths = shift_right_rounded(mantissa * 10, mb_shift - dropped_bits);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}
