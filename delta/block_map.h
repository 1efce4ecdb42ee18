// Block maps: the checksums of every block of a published file, with which a launcher that holds
// an older copy finds the blocks it has and fetches only the rest. The binary format and its
// sizing rules, the reader, and the writer that make_manifest feeds while it hashes the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The format, little-endian: a 24-byte header (8 bytes "LBMAP01\n", u64 file size, u32 block
// size, u8 weak sum length 4, u8 strong sum length, 2 zero bytes), then per block its u32 weak
// sum and the first strong-length bytes of its MD5. A short last block is summed as if padded
// with zero bytes to the block size.
extern const char block_map_magic[8];
const size_t block_map_header_length = 24;
const uint32_t block_map_weak_length = 4;
// The largest file a map describes: beyond it the block size would not fit its 32-bit field.
const uint64_t block_map_max_file_size = uint64_t(1) << 49;

// The block size the format requires for a file of `file_size` bytes: the smallest power of two
// of at least 4096 that cuts the file into at most 2^18 blocks. Up to block_map_max_file_size.
uint32_t block_map_block_size(uint64_t file_size);

// The blocks of a file of `file_size` bytes, the last one possibly short; at most 2^18.
uint32_t block_map_block_count(uint64_t file_size);

// The MD5 bytes each block keeps for a file of `file_size` bytes: the smallest L with
// 8L >= 20 + log2(file size) + log2(block count), within 4..16. The 20 bits beyond the
// file's block and offset count keep the odds that a wrong candidate passes near one in a
// million over a whole search.
uint32_t block_map_strong_length(uint64_t file_size);

// The size of the map of a file of `file_size` bytes: every valid map has exactly this size, so
// a launcher refuses a larger one before fetching it. 0 above block_map_max_file_size.
uint64_t max_block_map_size(uint64_t file_size);

struct BlockMap {
    uint64_t file_size;                 // bytes of the file the map describes
    uint32_t block_size;                // bytes per block, a power of two from 4096 up
    uint32_t strong_length;             // MD5 bytes kept per block, 4..16
    std::vector<uint32_t> weak;         // each block's weak sum, in file order
    std::vector<unsigned char> strong;  // each block's strong_length MD5 bytes, block after block
};

// The file's bytes in block `block`: the block size, or what is left for a short last block.
uint32_t block_map_block_length(const BlockMap& map, uint32_t block);

// Reads the `length` bytes of a map fetched for a listed file of `file_size` bytes into `map`.
// False with the reason, `map` then undefined: "not a block map" (magic), "a map for another file
// size", "a wrong block size", "a wrong weak sum length", "a wrong strong sum length" (each
// against the rules above for that size), "a map of the wrong length", "a file too large for a
// block map".
bool read_block_map(const void* bytes, size_t length, uint64_t file_size, BlockMap& map, std::string& error_text);

// A map being written while its file is read: fed the file's bytes in pieces of any size, it
// sums each block as it completes, so it holds at most one block besides the map.
struct BlockMapWriter {
    uint64_t file_size;                // the size the map is written for
    uint64_t fed;                      // bytes fed so far
    uint32_t block_size;               // from the file size, by the format's rule
    uint32_t strong_length;            // from the file size, by the format's rule
    std::vector<unsigned char> block;  // the block being filled when a piece ends inside it
    uint32_t filled;                   // bytes of `block` filled
    std::string map;                   // the header and the sums of every completed block
};

// Starts the map of a file of `file_size` bytes (at most block_map_max_file_size).
void start_block_map(uint64_t file_size, BlockMapWriter& writer);

// Feeds the file's next `length` bytes.
void feed_block_map(BlockMapWriter& writer, const void* data, size_t length);

// Sums the last block and hands over the map's bytes. False with the reason when the bytes fed
// were not the file size the map was started for ("the file's size changed while it was read")
// or that size is beyond the format ("a file too large for a block map").
bool finish_block_map(BlockMapWriter& writer, std::string& map_bytes, std::string& error_text);
