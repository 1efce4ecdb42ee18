// Fuzzes block maps: the reader on any bytes, and the search and range plan on any map the reader
// accepts; the bytes taken as a file are mapped in two pieces, read back and found whole in
// themselves.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "delta/block_map.h"
#include "delta/block_search.h"
#include "delta/block_sums.h"
#include "delta/range_plan.h"

static void require(bool condition)
{
    if (!condition)
        abort();
}

static size_t read_bytes(void* context, uint64_t offset, void* buffer, size_t length)
{
    const std::string& bytes = *static_cast<const std::string*>(context);
    size_t count = offset >= bytes.size() ? 0 : std::min<size_t>(length, bytes.size() - offset);
    std::memcpy(buffer, bytes.data() + offset, count);
    return count;
}

// Every block found holds the sums the map gives it, counting the bytes past its length as zeros.
static void check_found(const BlockMap& map, const std::string& source, const std::vector<BlockOrigin>& origins)
{
    require(origins.size() == map.weak.size());
    std::vector<unsigned char> block(map.block_size);
    for (uint32_t index = 0; index < origins.size(); ++index) {
        if (origins[index].source == block_not_found) {
            continue;
        }
        uint32_t length = block_map_block_length(map, index);
        require(origins[index].source == 0 && origins[index].offset + length <= source.size());
        std::fill(block.begin(), block.end(), 0);
        std::memcpy(block.data(), source.data() + origins[index].offset, length);
        require(weak_sum(block.data(), block.size()) == map.weak[index]);
        unsigned char digest[md5_digest_length];
        strong_sum(block.data(), map.block_size, digest);
        require(std::memcmp(digest, &map.strong[size_t(index) * map.strong_length], map.strong_length) == 0);
    }
}

// The ranges cover exactly the blocks not found, apart from the gaps merged into them.
static void check_ranges(const BlockMap& map, const std::vector<BlockOrigin>& origins, std::vector<ByteRange>& ranges)
{
    plan_missing_ranges(map, origins, 0, ranges);
    uint64_t end = 0;
    for (size_t at = 0; at < ranges.size(); ++at) {
        require(ranges[at].length > 0 && ranges[at].offset + ranges[at].length <= map.file_size);
        require(at == 0 || ranges[at].offset - end > uint64_t(range_merge_gap_blocks) * map.block_size);
        end = ranges[at].offset + ranges[at].length;
    }
    for (uint32_t index = 0; index < origins.size(); ++index) {
        if (origins[index].source != block_not_found) {
            continue;
        }
        uint64_t offset = uint64_t(index) * map.block_size;
        bool covered = false;
        for (const ByteRange& range : ranges) {
            covered = covered || (range.offset <= offset && offset + block_map_block_length(map, index) <=
                                                                range.offset + range.length);
        }
        require(covered);
    }
}

static std::vector<BlockOrigin> search_in(const BlockMap& map, const std::string& bytes)
{
    std::vector<DeltaSource> sources = {DeltaSource{read_bytes, const_cast<std::string*>(&bytes), bytes.size()}};
    std::vector<BlockOrigin> origins;
    std::string error_text;
    require(search_blocks(map, sources, nullptr, origins, error_text));
    check_found(map, bytes, origins);
    return origins;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    uint64_t claimed = 0;
    for (size_t i = 16; i > 8 && size >= 16; --i) {
        claimed = (claimed << 8) | data[i - 1];
    }
    BlockMap map;
    std::string error_text;
    std::vector<ByteRange> ranges;
    if (read_block_map(data, size, claimed, map, error_text)) {
        require(size == max_block_map_size(claimed) && map.weak.size() == block_map_block_count(claimed));
        check_ranges(map, search_in(map, bytes), ranges);
    } else {
        require(!error_text.empty());
    }

    BlockMapWriter writer;
    start_block_map(size, writer);
    size_t split = size == 0 ? 0 : data[0] % size;
    feed_block_map(writer, data, split);
    feed_block_map(writer, data + split, size - split);
    std::string written;
    require(finish_block_map(writer, written, error_text));
    require(read_block_map(written.data(), written.size(), size, map, error_text));
    std::vector<BlockOrigin> origins = search_in(map, bytes);
    check_ranges(map, origins, ranges);
    require(ranges.empty());
    return 0;
}
