// Groups the blocks of a map by their sums and hashes the weak sums, for the search.
#include "delta/block_index.h"

#include <algorithm>
#include <cstring>

// Twice as many buckets as weak sums keeps most buckets to one entry. The filter has 16 bits per
// bucket, so a weak sum that no group has passes it about one time in 32; 1 MiB for the largest
// maps, whose misses cost the roll less than the bucket lookups a smaller filter lets through.
static const uint32_t buckets_per_entry_bits = 1;
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
    index.group_of_block.resize(blocks);
    for (uint32_t at = 0; at < blocks; ++at) {
        uint32_t block = index.members[at];
        if (at == 0 || !order.same_sums(index.members[at - 1], block)) {
            index.group_start.push_back(at);
        }
        index.group_of_block[block] = static_cast<uint32_t>(index.group_start.size() - 1);
    }
    uint32_t groups = static_cast<uint32_t>(index.group_start.size());
    index.group_start.push_back(blocks);
    index.group_missing.resize(groups);
    for (uint32_t group = 0; group < groups; ++group) {
        index.group_missing[group] = index.group_start[group + 1] - index.group_start[group];
    }
}

struct Entry {
    uint32_t hash;
    uint32_t groups;
    uint32_t groups_end;
    uint32_t missing;
};

// One entry per weak sum, from the groups in their order, where one weak sum's are neighbours.
static void make_entries(const BlockMap& map, BlockIndex& index)
{
    std::vector<Entry> entries;
    uint32_t groups = static_cast<uint32_t>(index.group_missing.size());
    for (uint32_t group = 0; group < groups; ++group) {
        uint32_t weak = map.weak[index.members[index.group_start[group]]];
        if (entries.empty() || entries.back().hash != weak_sum_hash(weak)) {
            entries.push_back(Entry{weak_sum_hash(weak), group, group, 0});
        }
        entries.back().groups_end = group + 1;
        entries.back().missing += index.group_missing[group];
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& left, const Entry& right) {
        return left.hash < right.hash;
    });
    index.entry_hash.resize(entries.size());
    index.entry_groups.resize(entries.size());
    index.entry_groups_end.resize(entries.size());
    index.entry_missing.resize(entries.size());
    for (size_t at = 0; at < entries.size(); ++at) {
        index.entry_hash[at] = entries[at].hash;
        index.entry_groups[at] = entries[at].groups;
        index.entry_groups_end[at] = entries[at].groups_end;
        index.entry_missing[at] = entries[at].missing;
    }
}

static void make_buckets(BlockIndex& index)
{
    uint32_t entries = static_cast<uint32_t>(index.entry_hash.size());
    uint32_t bucket_bits = bits_for(entries) + buckets_per_entry_bits;
    uint32_t filter_bits = bucket_bits + filter_bits_per_bucket_bits;
    index.bucket_shift = 32 - bucket_bits;
    index.filter_shift = 32 - filter_bits;
    uint32_t buckets = uint32_t(1) << bucket_bits;
    index.bucket_start.assign(size_t(buckets) + 1, 0);
    index.filter.assign(((size_t(1) << filter_bits) + bits_per_filter_word - 1) / bits_per_filter_word, 0);
    for (uint32_t entry = 0; entry < entries; ++entry) {
        uint32_t hash = index.entry_hash[entry];
        ++index.bucket_start[(hash >> index.bucket_shift) + 1];
        uint32_t bit = hash >> index.filter_shift;
        index.filter[bit / bits_per_filter_word] |= uint32_t(1) << (bit % bits_per_filter_word);
    }
    for (uint32_t bucket = 0; bucket < buckets; ++bucket) {
        index.bucket_start[bucket + 1] += index.bucket_start[bucket];
    }
}

void build_block_index(const BlockMap& map, BlockIndex& index)
{
    make_groups(map, index);
    make_entries(map, index);
    make_buckets(index);
}

uint32_t find_block_entry(const BlockIndex& index, uint32_t weak)
{
    uint32_t hash = weak_sum_hash(weak);
    uint32_t bucket = hash >> index.bucket_shift;
    const uint32_t* first = index.entry_hash.data() + index.bucket_start[bucket];
    const uint32_t* last = index.entry_hash.data() + index.bucket_start[bucket + 1];
    const uint32_t* found = std::lower_bound(first, last, hash);
    return found != last && *found == hash ? static_cast<uint32_t>(found - index.entry_hash.data()) : not_in_index;
}

uint32_t find_block_group(const BlockIndex& index, const BlockMap& map, uint32_t entry, const unsigned char* digest)
{
    uint32_t low = index.entry_groups[entry];
    uint32_t high = index.entry_groups_end[entry];
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        const unsigned char* strong = &map.strong[size_t(index.members[index.group_start[middle]]) * map.strong_length];
        int order = std::memcmp(strong, digest, map.strong_length);
        if (order == 0) {
            return middle;
        }
        if (order < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return not_in_index;
}
