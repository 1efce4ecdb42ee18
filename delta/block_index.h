// The search's index of a block map: blocks with the same sums gathered into one group, the
// groups of one weak sum found by that sum in constant time, which the search asks at every byte
// it rolls, and the one group that can hold a strong sum found among them by halving.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/block_map.h"

// The groups of one weak sum are neighbours in group order, which is by weak sum, then strong
// sum. An entry is one weak sum with its groups; entries are ordered by the hash of their weak
// sum, so a bucket (the hash's top bits) is a run of entries, and so are those of one filter bit.
struct BlockIndex {
    std::vector<uint32_t> members;         // block numbers ordered by their sums: a group's are neighbours
    std::vector<uint32_t> group_start;     // group g holds members[group_start[g] .. group_start[g + 1])
    std::vector<uint32_t> group_missing;   // blocks of group g that no source has given yet
    std::vector<uint32_t> group_of_block;  // the group of every block
    std::vector<uint32_t> entry_hash;      // the hash of entry e's weak sum, ascending
    std::vector<uint32_t> entry_groups;    // entry e holds the groups [entry_groups[e], entry_groups_end[e])
    std::vector<uint32_t> entry_groups_end;
    std::vector<uint32_t> entry_missing;   // blocks of entry e's groups that no source has given yet
    std::vector<uint32_t> bucket_start;    // entries of bucket h: [bucket_start[h], bucket_start[h + 1])
    std::vector<uint32_t> filter;          // one bit per filter hash of an entry's weak sum
    uint32_t bucket_shift;                 // a weak sum's bucket: its hash >> bucket_shift
    uint32_t filter_shift;                 // its filter bit: its hash >> filter_shift
};

// What the finds below answer when the map has no such weak sum or group.
const uint32_t not_in_index = 0xffffffff;

// Builds the index of `map`, every group missing all its blocks.
void build_block_index(const BlockMap& map, BlockIndex& index);

// The entry of the weak sum `weak`, or not_in_index (the hash is a bijection, so equal hashes are
// equal weak sums). Halves the entries of its bucket, so a map whose weak sums all share a bucket
// costs a few steps, not a scan of them all.
uint32_t find_block_entry(const BlockIndex& index, uint32_t weak);

// The group among those of `entry` whose strong sum starts `digest`'s first map.strong_length
// bytes, or not_in_index.
uint32_t find_block_group(const BlockIndex& index, const BlockMap& map, uint32_t entry, const unsigned char* digest);

inline uint32_t weak_sum_hash(uint32_t weak)
{
    return weak * 0x9e3779b1u;
}

// False when no entry has the weak sum `weak`: a bit of the index's filter answers most bytes a
// search rolls over without a look at the buckets. The filter's words and shift come apart from
// the index, so that the loop over every byte keeps them in registers.
inline bool filter_may_hold(const uint32_t* filter, uint32_t filter_shift, uint32_t weak)
{
    uint32_t bit = weak_sum_hash(weak) >> filter_shift;
    return (filter[bit >> 5] >> (bit & 31)) & 1;
}
