// Block maps: the two block sums, the sizing rules at their edges, the written format against a
// known answer, and every way the reader refuses a map the rules would not have written.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "delta/block_map.h"
#include "delta/block_sums.h"

static std::string random_bytes(size_t length, uint32_t seed)
{
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 23);
    }
    return bytes;
}

static const unsigned char* bytes_of(const std::string& text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The weak sum as defined, one byte at a time.
static uint32_t defined_weak_sum(const std::string& bytes)
{
    uint32_t a = 0;
    uint32_t b = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        a += static_cast<unsigned char>(bytes[i]);
        b += static_cast<uint32_t>(bytes.size() - i) * static_cast<unsigned char>(bytes[i]);
    }
    return (a & 0xffff) | (b << 16);
}

TEST(BlockSums, WeakSumIsItsDefinitionAtEveryLengthAndRollsExactly)
{
    const unsigned char three[] = {1, 2, 3};
    EXPECT_EQ(weak_sum(three, 3), 6u | (10u << 16));
    std::string bytes = random_bytes(5000, 7);
    for (size_t length : {0, 1, 15, 16, 17, 31, 33, 255, 4095, 4096, 5000}) {
        EXPECT_EQ(weak_sum(bytes_of(bytes), length), defined_weak_sum(bytes.substr(0, length))) << length;
    }
    EXPECT_EQ(weak_sum(bytes_of(std::string(4096, '\xff')), 4096), defined_weak_sum(std::string(4096, '\xff')));
    const uint32_t window = 4096;
    RollingSum rolled = start_rolling_sum(weak_sum(bytes_of(bytes), window));
    for (size_t at = 1; at + window <= bytes.size(); ++at) {
        roll_sum(rolled, bytes_of(bytes)[at - 1], bytes_of(bytes)[at + window - 1], window);
        ASSERT_EQ(rolled_weak_sum(rolled), weak_sum(bytes_of(bytes) + at, window)) << at;
    }
}

TEST(BlockMapSizes, FollowTheRulesAtTheirEdges)
{
    const uint64_t mib = 1024 * 1024;
    const uint64_t gib = 1024 * mib;
    EXPECT_EQ(block_map_block_size(0), 4096u);
    EXPECT_EQ(block_map_block_size(gib), 4096u);
    EXPECT_EQ(block_map_block_size(gib + 1), 8192u);
    EXPECT_EQ(block_map_block_size(5 * gib), 32768u);
    EXPECT_EQ(block_map_block_size(block_map_max_file_size), 1u << 31);
    EXPECT_EQ(block_map_block_count(0), 0u);
    EXPECT_EQ(block_map_block_count(4097), 2u);
    EXPECT_EQ(block_map_block_count(gib + 1), (1u << 17) + 1);
    EXPECT_EQ(block_map_block_count(block_map_max_file_size), 1u << 18);
    // 8L >= 20 + log2(size) + log2(blocks): 2^16 bytes in 16 blocks is exactly 2^20.
    EXPECT_EQ(block_map_strong_length(0), 4u);
    EXPECT_EQ(block_map_strong_length(65536), 5u);
    EXPECT_EQ(block_map_strong_length(65537), 6u);
    EXPECT_EQ(block_map_strong_length(mib), 6u);
    EXPECT_EQ(block_map_strong_length(gib), 9u);
    EXPECT_EQ(block_map_strong_length(5 * gib), 9u);
    EXPECT_EQ(block_map_strong_length(block_map_max_file_size), 11u);
    EXPECT_EQ(max_block_map_size(gib), 24u + (uint64_t(1) << 18) * 13);
    EXPECT_EQ(max_block_map_size(0), 24u);
    EXPECT_EQ(max_block_map_size(block_map_max_file_size + 1), 0u);
    for (uint64_t size = mib; size <= block_map_max_file_size; size = size * 3 / 2 + 1) {
        ASSERT_LE(max_block_map_size(size) * 200, size) << size;
    }
}

// A 5000-byte file: a block of 'a', then 904 'b' summed with 3192 zero bytes; 5 MD5 bytes.
static const std::string known_file = std::string(4096, 'a') + std::string(904, 'b');
static const std::string known_map(
    "LBMAP01\n\x88\x13\0\0\0\0\0\0\0\x10\0\0\x04\x05\0\0"
    "\x00\x10\x00\x08\x21\xa1\x99\xc5\x3f"
    "\x10\x5a\xc8\xa8\x9a\xdc\xac\xf2\x88",
    42);

static std::string map_in_pieces(const std::string& file, size_t piece)
{
    BlockMapWriter writer;
    start_block_map(file.size(), writer);
    for (size_t at = 0; at < file.size(); at += piece) {
        feed_block_map(writer, file.data() + at, std::min(piece, file.size() - at));
    }
    std::string map;
    std::string reason;
    EXPECT_TRUE(finish_block_map(writer, map, reason)) << reason;
    return map;
}

TEST(BlockMap, WritesTheKnownMapFromAnyPiecesAndReadsItBack)
{
    for (size_t piece : {1, 7, 4095, 4096, 4097, 5000}) {
        EXPECT_EQ(map_in_pieces(known_file, piece), known_map) << piece;
    }
    BlockMap map;
    std::string reason;
    ASSERT_TRUE(read_block_map(known_map.data(), known_map.size(), known_file.size(), map, reason)) << reason;
    EXPECT_EQ(map.file_size, 5000u);
    EXPECT_EQ(map.block_size, 4096u);
    EXPECT_EQ(map.strong_length, 5u);
    EXPECT_EQ(map.weak, (std::vector<uint32_t>{0x08001000u, 0xa8c85a10u}));
    EXPECT_EQ(std::string(map.strong.begin(), map.strong.end()), "\x21\xa1\x99\xc5\x3f\x9a\xdc\xac\xf2\x88");
    EXPECT_EQ(block_map_block_length(map, 0), 4096u);
    EXPECT_EQ(block_map_block_length(map, 1), 904u);

    std::string empty = map_in_pieces("", 1);
    EXPECT_EQ(empty.size(), 24u);
    ASSERT_TRUE(read_block_map(empty.data(), empty.size(), 0, map, reason)) << reason;
    EXPECT_TRUE(map.weak.empty());

    BlockMapWriter writer;
    start_block_map(5000, writer);
    feed_block_map(writer, known_file.data(), 4999);
    EXPECT_FALSE(finish_block_map(writer, empty, reason));
    EXPECT_EQ(reason, "the file's size changed while it was read");
}

TEST(BlockMap, ReaderRefusesWhatTheRulesWouldNotHaveWritten)
{
    struct Case {
        size_t at;          // byte changed, or npos to change the length
        char value;         // its new value
        uint64_t size;      // the listed file size
        const char* reason;
    };
    const size_t length_case = std::string::npos;
    const Case cases[] = {
        {0, 'l', 5000, "not a block map"},
        {7, '\r', 5000, "not a block map"},
        {0, 'L', 5001, "a map for another file size"},
        {15, '\x01', 5000, "a map for another file size"},
        {17, '\x20', 5000, "a wrong block size"},
        {20, '\x08', 5000, "a wrong weak sum length"},
        {21, '\x10', 5000, "a wrong strong sum length"},
        {length_case, '\0', 5000, "a map of the wrong length"},
    };
    for (const Case& c : cases) {
        std::string bytes = known_map;
        if (c.at == length_case) {
            bytes += c.value;
        } else {
            bytes[c.at] = c.value;
        }
        BlockMap map;
        std::string reason;
        EXPECT_FALSE(read_block_map(bytes.data(), bytes.size(), c.size, map, reason)) << c.reason;
        EXPECT_EQ(reason, c.reason);
    }
    BlockMap map;
    std::string reason;
    EXPECT_FALSE(read_block_map(known_map.data(), known_map.size() - 1, 5000, map, reason));
    EXPECT_EQ(reason, "a map of the wrong length");
    EXPECT_FALSE(read_block_map(known_map.data(), 23, 5000, map, reason));
    EXPECT_EQ(reason, "not a block map");
    std::string huge = known_map.substr(0, 24);
    huge[14] = '\x02';  // 2^49 + 5000
    EXPECT_FALSE(read_block_map(huge.data(), huge.size(), block_map_max_file_size + 5000, map, reason));
    EXPECT_EQ(reason, "a file too large for a block map");
}
