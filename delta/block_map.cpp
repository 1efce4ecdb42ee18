// The block map format: its sizing rules and its reader. Every field follows from the listed
// file size, so a map the rules would not have written is refused whole rather than trusted.
#include "delta/block_map.h"

#include <cstring>

const char block_map_magic[8] = {'L', 'B', 'M', 'A', 'P', '0', '1', '\n'};

static const uint32_t min_block_size = 4096;
static const uint32_t max_block_size = uint32_t(1) << 31;
static const uint64_t max_block_count = uint64_t(1) << 18;
static const uint32_t min_strong_length = 4;
static const uint32_t max_strong_length = 16;
// Bits of the strong sum beyond log2(file size) + log2(block count).
static const uint32_t strong_margin_bits = 20;

static const size_t file_size_at = 8;
static const size_t block_size_at = 16;
static const size_t weak_length_at = 20;
static const size_t strong_length_at = 21;

uint32_t block_map_block_size(uint64_t file_size)
{
    uint64_t size = min_block_size;
    while (size * max_block_count < file_size && size < max_block_size) {
        size *= 2;
    }
    return static_cast<uint32_t>(size);
}

uint32_t block_map_block_count(uint64_t file_size)
{
    uint64_t block_size = block_map_block_size(file_size);
    return static_cast<uint32_t>(file_size / block_size + (file_size % block_size != 0 ? 1 : 0));
}

// With P = file size x block count, the rule asks for the smallest L with 2^(8L - 20) >= P. P
// stays below 2^68 and no threshold lies between 2^60 and 2^68, so every comparison is made as
// file size <= floor(2^(8L - 20) / block count) in 64 bits and is exact, which floating-point
// logarithms would not be on every compiler.
uint32_t block_map_strong_length(uint64_t file_size)
{
    uint64_t blocks = block_map_block_count(file_size);
    uint32_t length = min_strong_length;
    while (length < max_strong_length && blocks != 0) {
        uint32_t bits = 8 * length - strong_margin_bits;
        if (bits >= 64 || file_size <= (uint64_t(1) << bits) / blocks) {
            break;
        }
        ++length;
    }
    return length;
}

uint64_t max_block_map_size(uint64_t file_size)
{
    if (file_size > block_map_max_file_size) {
        return 0;
    }
    uint64_t entry = block_map_weak_length + block_map_strong_length(file_size);
    return block_map_header_length + uint64_t(block_map_block_count(file_size)) * entry;
}

uint32_t block_map_block_length(const BlockMap& map, uint32_t block)
{
    uint64_t start = uint64_t(block) * map.block_size;
    uint64_t left = map.file_size - start;
    return left < map.block_size ? static_cast<uint32_t>(left) : map.block_size;
}

static uint64_t read_little_endian(const unsigned char* bytes, size_t length)
{
    uint64_t value = 0;
    for (size_t i = length; i > 0; --i) {
        value = (value << 8) | bytes[i - 1];
    }
    return value;
}

static bool refuse(const char* reason, std::string& error_text)
{
    error_text = reason;
    return false;
}

bool read_block_map(const void* bytes, size_t length, uint64_t file_size, BlockMap& map, std::string& error_text)
{
    const unsigned char* at = static_cast<const unsigned char*>(bytes);
    if (length < block_map_header_length || std::memcmp(at, block_map_magic, sizeof block_map_magic) != 0) {
        return refuse("not a block map", error_text);
    }
    if (read_little_endian(at + file_size_at, 8) != file_size) {
        return refuse("a map for another file size", error_text);
    }
    if (file_size > block_map_max_file_size) {
        return refuse("a file too large for a block map", error_text);
    }
    if (read_little_endian(at + block_size_at, 4) != block_map_block_size(file_size)) {
        return refuse("a wrong block size", error_text);
    }
    if (at[weak_length_at] != block_map_weak_length) {
        return refuse("a wrong weak sum length", error_text);
    }
    if (at[strong_length_at] != block_map_strong_length(file_size)) {
        return refuse("a wrong strong sum length", error_text);
    }
    if (length != max_block_map_size(file_size)) {
        return refuse("a map of the wrong length", error_text);
    }
    map.file_size = file_size;
    map.block_size = block_map_block_size(file_size);
    map.strong_length = block_map_strong_length(file_size);
    uint32_t blocks = block_map_block_count(file_size);
    map.weak.resize(blocks);
    map.strong.resize(size_t(blocks) * map.strong_length);
    at += block_map_header_length;
    for (uint32_t block = 0; block < blocks; ++block) {
        map.weak[block] = static_cast<uint32_t>(read_little_endian(at, block_map_weak_length));
        std::memcpy(&map.strong[size_t(block) * map.strong_length], at + block_map_weak_length, map.strong_length);
        at += block_map_weak_length + map.strong_length;
    }
    return true;
}
