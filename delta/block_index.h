// The search's index of a block map: blocks with the same sums gathered into one group, and the
// groups found by their weak sum in constant time, which the search asks at every byte it rolls.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/block_map.h"

struct BlockIndex {
    std::vector<uint32_t> members;         // block numbers ordered by their sums: a group's are neighbours
    std::vector<uint32_t> group_start;     // group g holds members[group_start[g] .. group_start[g + 1])
    std::vector<uint32_t> group_weak;      // the weak sum all blocks of group g share
    std::vector<uint32_t> group_missing;   // blocks of group g that no source has given yet
    std::vector<uint32_t> group_of_block;  // the group of every block
    std::vector<uint32_t> bucket_start;    // groups whose weak sum hashes to h: bucket_groups[bucket_start[h] ..]
    std::vector<uint32_t> bucket_groups;   // group numbers, bucket after bucket
    std::vector<uint32_t> filter;          // one bit per filter hash of a group's weak sum
    uint32_t bucket_shift;                 // a weak sum's bucket: its hash >> bucket_shift
    uint32_t filter_shift;                 // its filter bit: its hash >> filter_shift
};

// Builds the index of `map`, every group missing all its blocks.
void build_block_index(const BlockMap& map, BlockIndex& index);

inline uint32_t weak_sum_hash(uint32_t weak)
{
    return weak * 0x9e3779b1u;
}

// False when no group has the weak sum `weak`: a bit of the index's filter answers most bytes a
// search rolls over without a look at the buckets. The filter's words and shift come apart from
// the index, so that the loop over every byte keeps them in registers.
inline bool filter_may_hold(const uint32_t* filter, uint32_t filter_shift, uint32_t weak)
{
    uint32_t bit = weak_sum_hash(weak) >> filter_shift;
    return (filter[bit >> 5] >> (bit & 31)) & 1;
}
