// The byte ranges of a new file that a launcher fetches once the block search has found what it
// could: few and large enough that each is worth one single-range request.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/block_map.h"
#include "delta/block_search.h"

struct ByteRange {
    uint64_t offset;  // first byte of the range in the new file
    uint64_t length;  // bytes, at least 1
};

// Two missing ranges with at most this many blocks between them are fetched as one: a request
// costs a round trip, which at common speeds carries more than these few blocks.
const uint32_t range_merge_gap_blocks = 4;

// A cap for plan_missing_ranges that lets several connections share one large missing region.
const uint64_t default_max_range_length = 8 * 1024 * 1024;

// The ranges of the map's file whose blocks `origins` (from search_blocks) leaves unfound, in
// file order and apart from each other: each block's bytes clipped to the file size, neighbours
// merged across gaps of up to range_merge_gap_blocks blocks, and any range longer than
// `max_range_length` cut into pieces of that length and a shorter last one (0: never cut).
void plan_missing_ranges(const BlockMap& map, const std::vector<BlockOrigin>& origins, uint64_t max_range_length,
                         std::vector<ByteRange>& ranges);
