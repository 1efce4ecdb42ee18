// Groups the blocks of a map by their sums and hashes the groups by weak sum, for the search.
#include "delta/block_index.h"

#include <algorithm>
#include <cstring>

// Twice as many buckets as groups keeps most buckets to one group. The filter has 16 bits per
// bucket, so a weak sum that no group has passes it about one time in 32; 1 MiB for the largest
// maps, whose misses cost the roll less than the bucket lookups a smaller filter lets through.
static const uint32_t buckets_per_group_bits = 1;
static const uint32_t filter_bits_per_bucket_bits = 4;
static const uint32_t bits_per_filter_word = 32;  // as filter_may_hold reads them

struct BlockOrder {
    const BlockMap& map;

    const unsigned char* strong(uint32_t block) const
    {
        return &map.strong[size_t(block) * map.strong_length];
    }

    bool operator()(uint32_t left, uint32_t right) const
    {
        if (map.weak[left] != map.weak[right]) {
            return map.weak[left] < map.weak[right];
        }
        int order = std::memcmp(strong(left), strong(right), map.strong_length);
        return order != 0 ? order < 0 : left < right;
    }

    bool same_sums(uint32_t left, uint32_t right) const
    {
        return map.weak[left] == map.weak[right] && std::memcmp(strong(left), strong(right), map.strong_length) == 0;
    }
};

static uint32_t bits_for(uint32_t count)
{
    uint32_t bits = 0;
    while ((uint64_t(1) << bits) < count) {
        ++bits;
    }
    return bits;
}

static void make_groups(const BlockMap& map, BlockIndex& index)
{
    uint32_t blocks = static_cast<uint32_t>(map.weak.size());
    BlockOrder order = {map};
    index.members.resize(blocks);
    for (uint32_t block = 0; block < blocks; ++block) {
        index.members[block] = block;
    }
    std::sort(index.members.begin(), index.members.end(), order);
    index.group_start.clear();
    index.group_weak.clear();
    index.group_of_block.resize(blocks);
    for (uint32_t at = 0; at < blocks; ++at) {
        uint32_t block = index.members[at];
        if (at == 0 || !order.same_sums(index.members[at - 1], block)) {
            index.group_start.push_back(at);
            index.group_weak.push_back(map.weak[block]);
        }
        index.group_of_block[block] = static_cast<uint32_t>(index.group_weak.size() - 1);
    }
    index.group_start.push_back(blocks);
    uint32_t groups = static_cast<uint32_t>(index.group_weak.size());
    index.group_missing.resize(groups);
    for (uint32_t group = 0; group < groups; ++group) {
        index.group_missing[group] = index.group_start[group + 1] - index.group_start[group];
    }
}

static void make_buckets(BlockIndex& index)
{
    uint32_t groups = static_cast<uint32_t>(index.group_weak.size());
    uint32_t bucket_bits = bits_for(groups) + buckets_per_group_bits;
    uint32_t filter_bits = bucket_bits + filter_bits_per_bucket_bits;
    index.bucket_shift = 32 - bucket_bits;
    index.filter_shift = 32 - filter_bits;
    uint32_t buckets = uint32_t(1) << bucket_bits;
    index.bucket_start.assign(size_t(buckets) + 1, 0);
    index.filter.assign(((size_t(1) << filter_bits) + bits_per_filter_word - 1) / bits_per_filter_word, 0);
    for (uint32_t group = 0; group < groups; ++group) {
        uint32_t hash = weak_sum_hash(index.group_weak[group]);
        ++index.bucket_start[(hash >> index.bucket_shift) + 1];
        uint32_t bit = hash >> index.filter_shift;
        index.filter[bit / bits_per_filter_word] |= uint32_t(1) << (bit % bits_per_filter_word);
    }
    for (uint32_t bucket = 0; bucket < buckets; ++bucket) {
        index.bucket_start[bucket + 1] += index.bucket_start[bucket];
    }
    std::vector<uint32_t> next(index.bucket_start.begin(), index.bucket_start.end() - 1);
    index.bucket_groups.resize(groups);
    for (uint32_t group = 0; group < groups; ++group) {
        index.bucket_groups[next[weak_sum_hash(index.group_weak[group]) >> index.bucket_shift]++] = group;
    }
}

void build_block_index(const BlockMap& map, BlockIndex& index)
{
    make_groups(map, index);
    make_buckets(index);
}
