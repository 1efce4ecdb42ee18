// The block search: for every block of a new file, a place in the files the player already holds
// (the old copy, a kept .part) where the same bytes lie, found with the file's block map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "delta/block_map.h"

// A file the search may take blocks from. The search reads it only through `read`, in windows
// of at most a few MiB, on the thread that called it.
struct DeltaSource {
    // Reads up to `length` bytes at `offset` into `buffer` and returns how many it read: fewer
    // than asked only at the source's end or when reading failed.
    size_t (*read)(void* context, uint64_t offset, void* buffer, size_t length);
    void* context;  // handed to read as it is
    uint64_t size;  // bytes the source holds
    // Compared at the blocks' own offsets only, never rolled over: a file being rebuilt in place,
    // whose other bytes may be overwritten before they would be read.
    bool in_place_only = false;
};

// The origin of a block that no source holds.
const uint32_t block_not_found = 0xffffffff;

// Where one block of the new file was found: its bytes (block_map_block_length of them) lie at
// `offset` in source `source`, wholly inside that source.
struct BlockOrigin {
    uint64_t offset;  // where the block's bytes start in the source
    uint32_t source;  // index into the sources searched; block_not_found when none holds it
};

// Told how far a search has come after every window it reads or passes over.
struct SearchProgress {
    // `bytes_total` is twice the sources' sizes (each is passed over twice at most); a search
    // that ends early reports bytes_searched == bytes_total once. Returning false stops it.
    bool (*searched)(void* context, uint64_t bytes_searched, uint64_t bytes_total);
    void* context;  // handed to searched as it is
};

// What one search did, counted without a clock: the work a map and the sources' bytes made it do.
struct SearchStats {
    uint64_t bytes_read;           // source bytes read, both passes
    uint64_t strong_checks;        // MD5s of a block or a window, both passes
    uint64_t bytes_strong_summed;  // the bytes of those MD5s
    uint64_t lookups;              // weak sums the roll looked up in the map's index
    uint64_t bytes_unlooked;       // window starts the roll passed without a look, for want of credit
};

// Fills `origins` with one entry per block of `map`. First every source is compared at the
// blocks' own offsets (the weak sum first, the MD5 only when it matches), then the weak sum is
// rolled byte by byte over the parts of each source that did not match there, so data that moved
// is found too; after a match the search jumps a whole block. Every candidate is confirmed by
// its strong sum before it is taken, and one find serves every block with the same sums. Bytes
// past a source's end count as zeros for the sums, but a block is taken only where all its bytes
// lie inside the source. Besides the map and `origins` it holds the map's index (11 MiB at
// most, for 2^18 blocks), a byte per block per source, and a window of at most max(1 MiB, one
// block) plus one block, whatever the sizes; `progress` may be null.
// Its work has a bound whatever the map and the bytes: the roll passes a run of one byte value
// after one look at it, and the lookups and strong checks that find nothing cost it at most an
// MD5 of the bytes it rolls over (plus a few blocks); past that it stops looking for a block's
// length at a time, and what it did not find is fetched. `stats`, when given, receives its counts.
// False with the reason, `origins` then undefined: "can't read source N" (a read came back
// short inside the source's size), "stopped" (progress said so), "an inconsistent block map",
// "blocks too large to search" (over 16 MiB, a file of more than 4 TiB).
bool search_blocks(const BlockMap& map, const std::vector<DeltaSource>& sources, const SearchProgress* progress,
                   std::vector<BlockOrigin>& origins, std::string& error_text, SearchStats* stats = nullptr);
