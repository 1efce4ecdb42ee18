// Turns the blocks a search could not find into the ranges a launcher requests.
#include "delta/range_plan.h"

static void add_cut(uint64_t offset, uint64_t length, uint64_t max_range_length, std::vector<ByteRange>& ranges)
{
    while (max_range_length != 0 && length > max_range_length) {
        ranges.push_back(ByteRange{offset, max_range_length});
        offset += max_range_length;
        length -= max_range_length;
    }
    ranges.push_back(ByteRange{offset, length});
}

void plan_missing_ranges(const BlockMap& map, const std::vector<BlockOrigin>& origins, uint64_t max_range_length,
                         std::vector<ByteRange>& ranges)
{
    ranges.clear();
    const uint64_t max_gap = uint64_t(range_merge_gap_blocks) * map.block_size;
    bool open = false;
    uint64_t start = 0;
    uint64_t end = 0;
    for (uint32_t block = 0; block < origins.size(); ++block) {
        if (origins[block].source != block_not_found) {
            continue;
        }
        uint64_t offset = uint64_t(block) * map.block_size;
        if (open && offset - end > max_gap) {
            add_cut(start, end - start, max_range_length, ranges);
            open = false;
        }
        if (!open) {
            start = offset;
            open = true;
        }
        end = offset + block_map_block_length(map, block);
    }
    if (open) {
        add_cut(start, end - start, max_range_length, ranges);
    }
}
